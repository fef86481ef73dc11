// Recording upstream answers (never a secret on disk) and replaying them with
// nothing sent to the network; a recorded tool call replays to the same reply.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "core/errors.hpp"
#include "core/files.hpp"
#include "sources/http.hpp"
#include "sources/recording.hpp"
#include "support/fixture_server.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;
namespace fs = std::filesystem;
namespace rec = tessaro::http::recording;

namespace {

struct TempDir {
  fs::path path;
  TempDir() {
    char tmpl[] = "/tmp/tessaro-rec-XXXXXX";
    path = ::mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

std::string all_files(const fs::path& dir, std::vector<fs::path>* names = nullptr) {
  std::string text;
  for (auto& e : fs::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    if (names) names->push_back(e.path());
    text += e.path().string() + "\n" + read_file(e.path()).value_or("") + "\n";
  }
  return text;
}

std::string call_binary(const std::string& tool, const std::string& args) {
  std::string bin = (fs::read_symlink("/proc/self/exe").parent_path() / "tessaro-mcp").string();
  FILE* f = ::popen((bin + " call " + tool + " '" + args + "' 2>/dev/null").c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while (f && (n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  if (f) ::pclose(f);
  return out;
}

}  // namespace

TEST(Recording, SecretsNeverReachTheDisk) {
  TempDir dir;
  FixtureServer srv;
  ScopedEnv base("TESSARO_KIS_BASE_URL", srv.base_url());
  ScopedEnv record("TESSARO_RECORD_DIR", dir.path.string());
  srv.route("/openapi.koreainvestment.com/oauth2/tokenP",
            FixtureResponse{200, R"({"access_token":"TOKSECRET1","token_type":"Bearer","expires_in":86400,
                                     "output":{"CANO":"87654321","ord_qty":"3"}})",
                            "application/json", {{"Set-Cookie", "JSESSIONID=COOKIESECRET; Path=/"}}});
  http::Request req;
  req.method = "POST";
  req.url = http::Url::given(srv.base_url() + "/openapi.koreainvestment.com/oauth2/tokenP?appkey=APPKEYSECRET&CANO=12345678&FID=005930");
  req.headers = {{"Authorization", "Bearer AUTHSECRET"}, {"appsecret", "APPSECRETVALUE"}};
  req.body = R"({"grant_type":"client_credentials","appkey":"APPKEYSECRET","appsecret":"APPSECRETVALUE"})";
  http::Response r = http::fetch(req);
  EXPECT_NE(r.body.find("TOKSECRET1"), std::string::npos);   // the caller still gets the real answer

  std::vector<fs::path> files;
  std::string disk = all_files(dir.path, &files);
  ASSERT_EQ(files.size(), 2u) << disk;   // one sidecar, one body
  for (const char* secret : {"TOKSECRET1", "APPKEYSECRET", "APPSECRETVALUE", "12345678", "87654321", "AUTHSECRET",
                             "COOKIESECRET", "JSESSIONID", "127.0.0.1"})
    EXPECT_EQ(disk.find(secret), std::string::npos) << secret << " written:\n" << disk;
  // Readable layout: a folder per host, the path in the file name, the real address in the sidecar.
  EXPECT_EQ(files[0].parent_path().filename(), "openapi.koreainvestment.com");
  EXPECT_NE(files[0].filename().string().find("POST_oauth2_tokenP"), std::string::npos) << files[0];
  EXPECT_NE(disk.find("https://openapi.koreainvestment.com/oauth2/tokenP?appkey=***&CANO=***&FID=005930"),
            std::string::npos)
      << disk;
  EXPECT_NE(disk.find("\"ord_qty\":\"3\""), std::string::npos) << disk;   // other values kept
}

TEST(Recording, ReplayAnswersInOrderAndNeverTouchesTheNetwork) {
  TempDir dir;
  auto srv = std::make_unique<FixtureServer>();
  std::string base_url = srv->base_url();
  ScopedEnv base("TESSARO_NAVER_BASE_URL", base_url);
  int n = 0;
  srv->route("/m.stock.naver.com/api/x", [&n](const FixtureRequest&) { return reply(200, "{\"n\":" + std::to_string(++n) + "}"); });
  std::string url = base_url + "/m.stock.naver.com/api/x?code=005930";
  {
    ScopedEnv record("TESSARO_RECORD_DIR", dir.path.string());
    EXPECT_EQ(http::get(http::Url::given(url)).body, "{\"n\":1}");
    EXPECT_EQ(http::get(http::Url::given(url)).body, "{\"n\":2}");
  }
  srv.reset();   // the site is gone
  ScopedEnv replay("TESSARO_REPLAY_DIR", dir.path.string());
  long long sent = http::request_count();
  EXPECT_EQ(http::get(http::Url::given(url)).body, "{\"n\":1}");
  EXPECT_EQ(http::get(http::Url::given(url)).body, "{\"n\":2}");
  http::Response again = http::get(http::Url::given(url));   // the last one repeats
  EXPECT_EQ(again.body, "{\"n\":2}");
  EXPECT_EQ(again.status, 200);
  EXPECT_EQ(again.header("content-type"), "application/json; charset=utf-8");
  // A request never recorded fails like a refused connection and says which one.
  try {
    http::get(http::Url::given(base_url + "/m.stock.naver.com/api/y"));
    FAIL() << "expected a connect failure";
  } catch (const ConnectError& e) {
    EXPECT_NE(std::string(e.what()).find("GET https://m.stock.naver.com/api/y"), std::string::npos) << e.what();
  }
  EXPECT_EQ(http::request_count(), sent);
}

// A tool call recorded against the loopback site replays to the same reply once the site is gone.
TEST(Recording, RecordedToolCallReplaysToTheSameReply) {
  TESSARO_REQUIRE_SAMPLE(index_body, "naver/stock_api_polling_domestic_index_KOSPI.json");
  TempDir dir;
  TempHome home;
  ScopedEnv timeout("TESSARO_HTTP_TIMEOUT_S", "1");
  auto srv = std::make_unique<FixtureServer>();
  ScopedEnv base("TESSARO_NAVER_BASE_URL", srv->base_url());
  srv->route("/stock.naver.com/api/polling/domestic/index", reply(200, index_body));
  std::string recorded;
  {
    ScopedEnv record("TESSARO_RECORD_DIR", dir.path.string());
    recorded = call_binary("get_index", "{}");
  }
  ASSERT_NE(recorded.find("5,791.91"), std::string::npos) << recorded;   // the captured KOSPI close
  srv.reset();
  std::string offline = call_binary("get_index", "{}");
  EXPECT_EQ(offline.find("5,791.91"), std::string::npos) << "the site is gone: " << offline;
  ScopedEnv replay("TESSARO_REPLAY_DIR", dir.path.string());
  std::string replayed = call_binary("get_index", "{}");
  EXPECT_EQ(body_of(replayed), body_of(recorded));
}
