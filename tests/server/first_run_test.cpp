// What a newcomer meets: the binary started by hand in a terminal, --help/--version,
// the SEC tools without a contact or refused with a 403, and tessaro_status showing
// those settings. The binary is run as a real process.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include "core/files.hpp"
#include "server/registry.hpp"
#include "server/status.hpp"
#include "sources/market_data/market_data.hpp"
#include "support/fixture_server.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

std::string binary() {
  std::string b = env_or("TESSARO_BINARY", "");
  if (!b.empty()) return b;
  return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "tessaro-mcp").string();
}

struct ProcResult {
  int code = -1;
  std::string out, err;
};

// Runs the binary with `args`. Standard input is a fresh terminal when `tty`, else
// /dev/null; stdout and stderr are pipes read separately. With a terminal, Ctrl-D is
// typed once stderr has shown `await` (or at once when it is empty).
ProcResult run_binary(const std::vector<std::string>& args, bool tty, const std::string& await = "") {
  ProcResult r;
  int out[2], err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) return r;
  int master = -1, slave = -1;
  if (tty && ::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return r;
  std::string bin = binary();
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    int in = tty ? slave : ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1], master, slave, in})
      if (fd > 2) ::close(fd);
    std::vector<char*> argv{const_cast<char*>(bin.c_str())};
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(bin.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (slave >= 0) ::close(slave);
  bool eof_sent = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool out_open = true, err_open = true;
  while ((out_open || err_open) && std::chrono::steady_clock::now() < deadline) {
    if (tty && !eof_sent && (await.empty() || r.err.find(await) != std::string::npos)) {
      const char eot = 0x04;   // Ctrl-D: end of input on a terminal in canonical mode
      eof_sent = ::write(master, &eot, 1) == 1;
    }
    pollfd fds[2] = {{out_open ? out[0] : -1, POLLIN, 0}, {err_open ? err[0] : -1, POLLIN, 0}};
    if (::poll(fds, 2, 200) <= 0) continue;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0)
        (i == 0 ? r.out : r.err).append(buf, size_t(n));
      else
        (i == 0 ? out_open : err_open) = false;
    }
  }
  if (out_open || err_open) ::kill(pid, SIGKILL);
  int st = 0;
  ::waitpid(pid, &st, 0);
  r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  ::close(out[0]);
  ::close(err[0]);
  if (master >= 0) ::close(master);
  return r;
}

const char* kEnvBlock = "\"env\" 블록에 \"TESSARO_SEC_CONTACT\": ";

}  // namespace

TEST(FirstRun, TerminalGetsTheHintOnStderrAndStdoutStaysEmpty) {
  TempHome home;
  ProcResult r = run_binary({}, true, "Ctrl-D");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "");   // nothing but JSON-RPC ever goes to stdout
  EXPECT_NE(r.err.find("MCP 도구 서버"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("stdin/stdout"), std::string::npos);
  EXPECT_NE(r.err.find("{\"mcpServers\": {\"tessaro\": {\"command\": \"" + binary() + "\""), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\"TESSARO_SEC_CONTACT\""), std::string::npos);
  EXPECT_NE(r.err.find("tessaro-mcp call get_market_clock"), std::string::npos);
  EXPECT_NE(r.err.find("Ctrl-D"), std::string::npos);

  // Started by a host (stdin not a terminal): no hint at all.
  ProcResult host = run_binary({}, false);
  EXPECT_EQ(host.code, 0);
  EXPECT_EQ(host.err.find("Ctrl-D"), std::string::npos) << host.err;
  EXPECT_EQ(host.out, "");
}

TEST(FirstRun, HelpAndVersionAnswerOnStdout) {
  ProcResult v = run_binary({"--version"}, false);
  EXPECT_EQ(v.code, 0);
  EXPECT_EQ(v.out, std::string("tessaro-mcp ") + TESSARO_VERSION + "\n");
  ProcResult h = run_binary({"--help"}, false);
  EXPECT_EQ(h.code, 0);
  EXPECT_NE(h.out.find("tessaro-mcp call TOOL"), std::string::npos) << h.out;
  EXPECT_NE(h.out.find("tessaro-mcp broker"), std::string::npos);   // sub-commands of other modules too
  EXPECT_NE(h.out.find("TESSARO_SEC_CONTACT"), std::string::npos);
  EXPECT_EQ(run_binary({"--no-such-flag"}, false).code, 2);
}

TEST(SecSetup, WithoutContactEverySecToolSaysWhatToSetAndWhere) {
  TempHome home;
  FixtureServer srv;   // must see no request at all
  ScopedEnv base("TESSARO_SEC_BASE_URL", srv.base_url());
  ScopedEnv none("TESSARO_SEC_CONTACT", "");
  const std::vector<std::pair<std::string, std::string>> calls = {
      {"get_us_filings", R"({"ticker":"AAPL"})"},
      {"get_us_filing_detail", R"({"ticker":"AAPL","accession_no":"0000320193-24-000123"})"},
      {"get_us_liquidity", R"({"ticker":"AAPL"})"},
      {"get_financial_soundness", R"({"symbol":"JPM"})"}};
  for (auto& [tool, args] : calls) {
    ProcResult r = run_binary({"call", tool, args}, false);
    EXPECT_EQ(r.code, 0) << tool << r.err;
    EXPECT_EQ(r.out.rfind("⚠️ SEC EDGAR 연락처(TESSARO_SEC_CONTACT)가 설정되지 않아", 0), 0u) << tool << ": " << r.out;
    EXPECT_NE(r.out.find(kEnvBlock), std::string::npos) << tool << ": " << r.out;
    EXPECT_NE(r.out.find("호스트를 다시 시작하세요"), std::string::npos) << tool;
    EXPECT_EQ(r.out.find("재시도"), std::string::npos) << tool << ": " << r.out;
  }
  EXPECT_EQ(srv.hits("/www.sec.gov/files/company_tickers.json"), 0);
  // The Korean path of the soundness tool needs no SEC request and still answers.
  ProcResult kr = run_binary({"call", "get_financial_soundness", R"({"symbol":"105560"})"}, false);
  EXPECT_NE(kr.out.find("\"market\":\"KR\""), std::string::npos) << kr.out;
}

TEST(SecSetup, A403NamesTheLikelyCauseAndTheSameFix) {
  TempHome home;
  FixtureServer srv;
  ScopedEnv base("TESSARO_SEC_BASE_URL", srv.base_url());
  ScopedEnv contact("TESSARO_SEC_CONTACT", "ops@example.com");
  ScopedEnv timeout("TESSARO_SEC_TIMEOUT_S", "2");
  // Written from the documented behaviour: EDGAR's refusal page for undeclared tools.
  srv.route("/www.sec.gov/files/company_tickers.json",
            reply(403, "<html><title>SEC.gov | Request Rate Threshold Exceeded</title>Please declare your traffic by "
                       "updating your user agent to include company specific information</html>",
                  "text/html"));
  for (const char* tool : {"get_us_filings", "get_us_liquidity"}) {
    ProcResult r = run_binary({"call", tool, R"({"ticker":"AAPL"})"}, false);
    EXPECT_NE(r.out.find("HTTP 403"), std::string::npos) << tool << ": " << r.out;
    EXPECT_NE(r.out.find("연락처를 밝히지 않았거나 요청 한도(초당 10건)를 넘은 클라이언트"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(kEnvBlock), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("재시도하세요"), std::string::npos) << r.out;
  }
  EXPECT_GE(srv.hits("/www.sec.gov/files/company_tickers.json"), 1);
}

TEST(StatusSettings, SecContactAndConnectedBrokersFromLocalStateOnly) {
  TempHome home;
  {
    ScopedEnv none("TESSARO_SEC_CONTACT", "");
    std::string s = server::format_status(server::build_status());
    EXPECT_NE(s.find("- SEC 연락처(TESSARO_SEC_CONTACT): ⚠️ 설정 안 됨"), std::string::npos) << s;
    EXPECT_NE(s.find(kEnvBlock), std::string::npos);
    EXPECT_NE(s.find("- 증권사 연결: 없음"), std::string::npos) << s;
  }
  namespace md = tessaro::market_data;
  md::ConnectionState st;
  st.primary_provider = "kis";
  st.providers["kis"] = md::ProviderProfile{"real", "APPKEY-123456", "SECRET-abcdef", "", ""};
  st.providers["kiwoom"] = md::ProviderProfile{"paper", "KW-KEY-999", "KW-SECRET-888", "", ""};
  md::save_state_v2(st);
  ScopedEnv contact("TESSARO_SEC_CONTACT", "Ops ops@example.com");
  std::string s = server::call_tool("tessaro_status", json::object());
  EXPECT_NE(s.find("- SEC 연락처(TESSARO_SEC_CONTACT): 설정됨"), std::string::npos) << s;
  EXPECT_NE(s.find("- 증권사 연결: kis (real, 주 사용), kiwoom (paper)"), std::string::npos) << s;
  EXPECT_EQ(s.find("SECRET"), std::string::npos);   // keys never shown
  EXPECT_EQ(s.find("APPKEY"), std::string::npos);
}
