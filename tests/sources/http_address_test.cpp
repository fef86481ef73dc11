// Addresses are built from literal templates with every value percent-encoded,
// and every secret the HTTP layer sends is masked by value in anything written.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>

#include "core/errors.hpp"
#include "core/files.hpp"
#include "core/secrets.hpp"
#include "sources/http.hpp"
#include "sources/recording.hpp"
#include "sources/yahoo/client.hpp"
#include "support/fixture_server.hpp"

using namespace tessaro;
using namespace tessaro::testing;
namespace fs = std::filesystem;

namespace {

struct TempDir {
  fs::path path;
  TempDir() {
    char tmpl[] = "/tmp/tessaro-addr-XXXXXX";
    path = ::mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

}  // namespace

TEST(Address, ValuesAreEncodedWholeAndNeverClimb) {
  // The injected code of the financial tools stays inside its one segment.
  EXPECT_EQ(http::Target("/api/stock/{}/finance/annual", std::string("../x?y")).str(),
            "/api/stock/..%2Fx%3Fy/finance/annual");
  EXPECT_EQ(http::Target("/q?query={}&n={}", std::string("a&b=c#d e"), 5).str(), "/q?query=a%26b%3Dc%23d%20e&n=5");
  // An encoded climb is encoded once more: the server reads "%2e%2e", not "..".
  EXPECT_EQ(http::Target("/p/{}", std::string("%2e%2e")).str(), "/p/%252e%252e");
  EXPECT_EQ(http::Target("/p/{}", std::string("a\0b", 3)).str(), "/p/a%00b");
  EXPECT_EQ(http::Target("/p/{}", std::string("https://evil.example/x")).str(), "/p/https%3A%2F%2Fevil.example%2Fx");
  // A segment that would read "." or ".." (or nothing) is no address at all.
  EXPECT_THROW(http::Target("/p/{}/q", std::string("..")), std::invalid_argument);
  EXPECT_THROW(http::Target("/p/{}", std::string(".")), std::invalid_argument);
  EXPECT_THROW(http::Target("/p/{}/q", std::string()), std::invalid_argument);
  EXPECT_NO_THROW(http::Target("/p?x={}", std::string()));   // an empty query value is fine
  // Several values in one placeholder keep their literal separator.
  std::vector<std::string> codes = {"005930", "00/66"};
  EXPECT_EQ(http::Target("/s/{}", http::List{codes}).str(), "/s/005930,00%2F66");
  // Extra parameters are encoded too.
  http::Target t("/v7/finance/quote");
  t.param("symbols", "A B").param("n", 3);
  EXPECT_EQ(t.str(), "/v7/finance/quote?symbols=A%20B&n=3");
}

TEST(Address, GivenAddressesAndHeadersAreChecked) {
  EXPECT_THROW(http::Url::given("file:///etc/passwd"), std::invalid_argument);
  EXPECT_THROW(http::Url::given("https://a.example/x y"), std::invalid_argument);
  EXPECT_THROW(http::Target::given("/research/../files/x"), std::invalid_argument);
  EXPECT_EQ(http::Target::given("/research/company/123").str(), "/research/company/123");
  EXPECT_THROW(http::Url("NAVER", "m.stock.naver.com/evil", http::Target("/x")), std::invalid_argument);

  FixtureServer srv;
  http::Request req;
  req.url = http::Url::given(srv.base_url() + "/x");
  req.headers = {{"Referer", "https://finance.naver.com/item/main.naver?code=x\r\nX-Injected: 1"}};
  EXPECT_THROW(http::fetch(req), std::invalid_argument);
  EXPECT_EQ(srv.hits("/x"), 0);
  http::Request none;   // an address nobody built
  EXPECT_THROW(http::fetch(none), std::invalid_argument);
}

TEST(Secrets, MaskedByValueAndOnlyLongValues) {
  secrets::remember("VALUEsecret123/+");
  secrets::remember("01");   // too short to mask by value
  std::string t = secrets::mask("a VALUEsecret123/+ b VALUEsecret123%2F%2B c 01");
  EXPECT_EQ(t, "a *** b *** c 01");
  EXPECT_TRUE(secrets::holds_secret("xxVALUEsecret123/+"));
}

// An upstream that echoes what it was sent (a broker error body carrying the app
// key, the secret, the token and the account number under names of its own)
// leaves none of it in the recording, and the recording is the owner's alone.
TEST(Secrets, EchoedRequestNeverReachesARecording) {
  TempDir dir;
  FixtureServer srv;
  ScopedEnv base("TESSARO_KIS_BASE_URL", srv.base_url());
  ScopedEnv record("TESSARO_RECORD_DIR", dir.path.string());
  srv.route("/openapi.koreainvestment.com:9443/uapi/x", [](const FixtureRequest& r) {
    json echo = {{"msg1", "invalid request"},
                 {"echo_headers", r.headers},
                 {"echo_query", r.query},
                 {"echo_body", r.body}};
    return FixtureResponse{500, echo.dump(), "application/json", {{"X-Echo", r.headers.at("appsecret")}}};
  });
  http::Request req;
  req.url = http::Url("KIS", "openapi.koreainvestment.com:9443", http::Target("/uapi/x?FID={}", "005930"));
  req.headers = {{"authorization", "Bearer TOKENvalue-42abc"}, {"appkey", "APPKEYecho-7777"},
                 {"appsecret", "APPSECRETecho-8888"}};
  req.body = R"({"ACNT":"55667788","note":"x"})";
  req.method = "POST";
  req.retries = 0;
  req.throw_on_status = false;
  req.secrets = {"55667788"};
  http::Response r = http::fetch(req);
  EXPECT_EQ(r.status, 500);
  int files = 0;
  for (auto& e : fs::recursive_directory_iterator(dir.path)) {
    if (!e.is_regular_file()) continue;
    ++files;
    std::string text = read_file(e.path()).value_or("");
    for (const char* s : {"TOKENvalue-42abc", "APPKEYecho-7777", "APPSECRETecho-8888", "55667788"})
      EXPECT_EQ(text.find(s), std::string::npos) << s << " in " << e.path();
    struct stat st {};
    ASSERT_EQ(::stat(e.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << e.path();
  }
  EXPECT_EQ(files, 2);
}

// Yahoo's crumb is a whole answer body: recorded masked, then masked wherever it
// is echoed.
TEST(Secrets, CrumbIsRecordedMasked) {
  TempDir dir;
  FixtureServer srv;
  ScopedEnv base("TESSARO_YAHOO_BASE_URL", srv.base_url());
  ScopedEnv record("TESSARO_RECORD_DIR", dir.path.string());
  srv.route("/fc.yahoo.com/", FixtureResponse{404, "no", "text/html", {{"Set-Cookie", "A3=d=COOKIEvalue99; Path=/"}}});
  srv.route("/query1.finance.yahoo.com/v1/test/getcrumb", FixtureResponse{200, "CRUMBvalue77", "text/plain"});
  srv.route("/query1.finance.yahoo.com/v7/finance/quote", [](const FixtureRequest& r) {
    return reply(200, json{{"quoteResponse", {{"result", json::array()}, {"echo", r.query}}}}.dump());
  });
  us::detail::reset_session();
  us::detail::quote_rows({"AAPL"});
  us::detail::reset_session();
  std::string all;
  for (auto& e : fs::recursive_directory_iterator(dir.path))
    if (e.is_regular_file()) all += read_file(e.path()).value_or("");
  EXPECT_FALSE(all.empty());
  EXPECT_EQ(all.find("CRUMBvalue77"), std::string::npos) << all;
  EXPECT_EQ(all.find("COOKIEvalue99"), std::string::npos) << all;
}

// An error text names the address it failed on, never a secret in it.
TEST(Secrets, ErrorTextsCarryNoSecret) {
  FixtureServer srv;
  http::Request req;
  http::Target t("/v7/finance/quote");
  t.param("symbols", "AAPL").param("crumb", "CRUMBinError55");
  req.url = http::Url::given(srv.base_url() + t.str());
  req.retries = 0;
  try {
    http::fetch(req);
    FAIL() << "a 404 throws";
  } catch (const HTTPStatusError& e) {
    EXPECT_EQ(std::string(e.what()).find("CRUMBinError55"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("symbols=AAPL"), std::string::npos) << e.what();
  }
}
