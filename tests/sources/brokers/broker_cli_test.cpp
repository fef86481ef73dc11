// `tessaro-mcp broker ...` run as a real process against the loopback token endpoint.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>

#include "core/files.hpp"
#include "sources/brokers/broker_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;
using namespace tessaro::testing::brokertest;

namespace {

// The server binary sits next to the test binary (TESSARO_BINARY overrides).
std::string binary() {
  std::string b = env_or("TESSARO_BINARY", "");
  if (!b.empty()) return b;
  return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "tessaro-mcp").string();
}

struct CliRun {
  int code = -1;
  std::string out;
};

class BrokerCliTest : public BrokerTest {
 protected:
  // Runs the binary with `stdin_text` on standard input; stdout and stderr together.
  CliRun run(const std::string& args, const std::string& stdin_text = "", const std::string& extra_env = "") {
    std::string input = std::string(home.path()) + "/stdin.txt";
    write_file_atomic(input, stdin_text);
    std::string cmd = "env -u TESSARO_KIS_APP_KEY -u TESSARO_KIS_APP_SECRET -u TESSARO_KIWOOM_APP_KEY "
                      "-u TESSARO_KIWOOM_APP_SECRET TESSARO_HOME='" +
                      home.path() + "' TESSARO_KIS_BASE_URL='" + srv.base_url() + "' TESSARO_KIWOOM_BASE_URL='" +
                      srv.base_url() + "' TESSARO_BROKER_RATE_PER_S=1000 " + extra_env + " '" + binary() + "' " +
                      args + " < '" + input + "' 2>&1";
    CliRun r;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = ::pclose(p);
    r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
  }
  json state() const {
    auto t = read_file(std::filesystem::path(home.path()) / "brokers" / "connections.json");
    return t ? json::parse(*t) : json();
  }
};

TEST_F(BrokerCliTest, ConnectReadsKeysFromStdinWritesAPrivateStateAndNeverPrintsThem) {
  srv.route(kKis + "/oauth2/tokenP",
            reply(200, R"({"access_token":"cli-token","token_type":"Bearer","expires_in":86400})"));
  CliRun c = run("broker connect kis", kAppKey + "\n" + kAppSecret + "\n");
  ASSERT_EQ(c.code, 0) << c.out;
  expect_no_secret(c.out);
  EXPECT_NE(c.out.find("****" + kAppKey.substr(kAppKey.size() - 4)), std::string::npos) << c.out;
  EXPECT_EQ(srv.hits(kKis + "/oauth2/tokenP"), 1);
  EXPECT_TRUE(std::filesystem::exists(token_file("kis")));

  struct stat st {};
  ASSERT_EQ(::stat((std::string(home.path()) + "/brokers/connections.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  json s = state();
  EXPECT_EQ(s["primary_provider"], "kis");
  EXPECT_EQ(s["providers"]["kis"]["app_secret"], kAppSecret);
  EXPECT_EQ(s["providers"]["kis"]["profile"], "real");
  EXPECT_EQ(s["connection_generation"], 1);

  CliRun st2 = run("broker status");
  EXPECT_EQ(st2.code, 0);
  expect_no_secret(st2.out);
  EXPECT_NE(st2.out.find("kis [주]"), std::string::npos) << st2.out;

  // A second broker from the environment, unverified: kis stays primary.
  CliRun k = run("broker connect kiwoom --paper --no-verify", "",
              "TESSARO_KIWOOM_APP_KEY=kwKEY00001111 TESSARO_KIWOOM_APP_SECRET=kwSECRET22223333");
  ASSERT_EQ(k.code, 0) << k.out;
  EXPECT_EQ(k.out.find("kwSECRET22223333"), std::string::npos);
  s = state();
  EXPECT_EQ(s["primary_provider"], "kis");
  EXPECT_EQ(s["providers"]["kiwoom"]["profile"], "paper");
  EXPECT_EQ(s["connection_generation"], 2);

  // Disconnecting the primary removes its token and hands primary to the other.
  CliRun d = run("broker disconnect kis");
  ASSERT_EQ(d.code, 0) << d.out;
  EXPECT_FALSE(std::filesystem::exists(token_file("kis")));
  s = state();
  EXPECT_FALSE(s["providers"].contains("kis"));
  EXPECT_EQ(s["primary_provider"], "kiwoom");
}

TEST_F(BrokerCliTest, KeysOnTheCommandLineAndRefusedKeysSaveNothing) {
  CliRun a = run("broker connect kis " + kAppSecret, kAppKey + "\n" + kAppSecret + "\n");
  EXPECT_EQ(a.code, 2);
  expect_no_secret(a.out);
  EXPECT_TRUE(state().is_null());

  srv.route(kKis + "/oauth2/tokenP",
            reply(403, R"({"error_code":"EGW00103","error_description":"유효하지 않은 AppKey입니다."})"));
  CliRun b = run("broker connect kis", kAppKey + "\n" + kAppSecret + "\n");
  EXPECT_EQ(b.code, 1);
  EXPECT_NE(b.out.find("authentication_failed"), std::string::npos) << b.out;
  expect_no_secret(b.out);
  EXPECT_TRUE(state().is_null());
}

}  // namespace
