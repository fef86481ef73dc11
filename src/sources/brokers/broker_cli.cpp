// `tessaro-mcp broker connect|status|disconnect`: the broker connection state on
// the command line. Keys come from the environment (TESSARO_<ID>_APP_KEY,
// TESSARO_<ID>_APP_SECRET) or from standard input, never from arguments, and
// nothing printed shows more than the last four characters of a key.
#include <termios.h>
#include <unistd.h>

#include <iostream>

#include "core/cli.hpp"
#include "core/files.hpp"
#include "core/format.hpp"
#include "sources/brokers/broker_common.hpp"

namespace tessaro::brokers {

namespace {

constexpr const char* kUsage =
    "usage:\n"
    "  tessaro-mcp broker connect kis|kiwoom [--paper] [--primary] [--no-verify]\n"
    "      app key and secret: TESSARO_<ID>_APP_KEY / TESSARO_<ID>_APP_SECRET, else two lines on stdin\n"
    "  tessaro-mcp broker status\n"
    "  tessaro-mcp broker disconnect kis|kiwoom\n";

std::string upper_id(const std::string& id) { return fmt::upper(id); }

std::string read_line(std::istream& in) {
  std::string s;
  if (!std::getline(in, s)) return "";
  return fmt::trim(s);
}

void remove_tokens(const std::filesystem::path& home, const std::string& id) {
  std::error_code ec;
  for (const char* prof : {"real", "paper"}) {
    auto p = token_path(home, id, prof);
    std::filesystem::remove(p, ec);
    std::filesystem::remove(p.string() + ".lock", ec);
  }
}

int connect(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << kUsage;
    return 2;
  }
  std::string id = argv[2];
  if (id != "kis" && id != "kiwoom") {
    std::cerr << "지원하지 않는 증권사입니다: " << id << " (지원: kis, kiwoom)\n";
    return 2;
  }
  bool paper = false, primary = false, verify = true;
  for (int i = 3; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--paper")
      paper = true;
    else if (a == "--primary")
      primary = true;
    else if (a == "--no-verify")
      verify = false;
    else {
      // Never echo the argument: it may be a key typed in the wrong place.
      std::cerr << "알 수 없는 인자입니다. 앱 키와 시크릿은 명령줄 인자로 받지 않습니다 (환경 변수 또는 표준 입력).\n"
                << kUsage;
      return 2;
    }
  }
  std::string key = env_or(("TESSARO_" + upper_id(id) + "_APP_KEY").c_str(), "");
  std::string secret = env_or(("TESSARO_" + upper_id(id) + "_APP_SECRET").c_str(), "");
  if (key.empty() || secret.empty()) {
    bool tty = ::isatty(0);
    if (tty) std::cerr << "App key: " << std::flush;
    key = read_line(std::cin);
    if (tty) std::cerr << "App secret: " << std::flush;
    // The secret is not echoed on a terminal.
    termios old{};
    bool hidden = tty && ::tcgetattr(0, &old) == 0;
    if (hidden) {
      termios quiet = old;
      quiet.c_lflag &= ~tcflag_t(ECHO);
      ::tcsetattr(0, TCSANOW, &quiet);
    }
    secret = read_line(std::cin);
    if (hidden) {
      ::tcsetattr(0, TCSANOW, &old);
      std::cerr << "\n";
    }
  }
  if (key.empty() || secret.empty()) {
    std::cerr << "앱 키와 시크릿이 필요합니다 (TESSARO_" << upper_id(id) << "_APP_KEY / _APP_SECRET 또는 표준 입력 두 줄).\n";
    return 2;
  }
  md::ProviderContext ctx;
  ctx.provider = id;
  ctx.profile = paper ? "paper" : "real";
  ctx.app_key = key;
  ctx.app_secret = secret;
  ctx.account = env_or(("TESSARO_" + upper_id(id) + "_ACCOUNT").c_str(), "");
  ctx.home = home_dir();
  if (verify) {
    try {
      if (id == "kis")
        verify_kis(ctx);
      else
        verify_kiwoom(ctx);
    } catch (const md::ProviderError& e) {
      std::cerr << "연결 확인 실패 (" << e.status() << "): " << e.what() << "\n";
      return 1;
    }
  }
  md::ConnectionState st = md::load_state_v2();
  if (auto it = st.providers.find(id); it != st.providers.end() && it->second.profile != ctx.profile) {
    std::error_code ec;
    std::filesystem::remove(token_path(ctx.home, id, it->second.profile), ec);
  }
  md::ProviderProfile pp;
  pp.profile = ctx.profile;
  pp.app_key = key;
  pp.app_secret = secret;
  pp.account = ctx.account;
  pp.connected_at = mt::iso_kst(wall_now());
  st.providers[id] = pp;
  if (primary || !st.primary_provider) {
    if (st.primary_provider != id) ++st.routing_generation;
    st.primary_provider = id;
  }
  ++st.connection_generation;
  md::save_state_v2(st);
  std::cout << id << " (" << ctx.profile << ") 연결됨: 앱 키 " << mask_key(key)
            << (verify ? ", 토큰 발급 확인" : ", 확인 생략") << ", 주 사용 증권사: " << *st.primary_provider << "\n";
  return 0;
}

int status() {
  md::ConnectionState st = md::load_state_v2();
  if (st.providers.empty()) {
    std::cout << "연결된 증권사가 없습니다. `tessaro-mcp broker connect kis` (또는 kiwoom)로 연결하세요.\n";
    return 0;
  }
  std::string prim = st.primary_provider ? *st.primary_provider : std::string("없음");
  std::cout << "주 사용 증권사: " << prim << " (mode " << st.data_source_mode
            << ", connection_generation " << st.connection_generation << ")\n";
  auto home = home_dir();
  for (const auto& [id, p] : st.providers) {
    std::string prof = profile_or_real(p.profile);
    std::cout << "- " << id << (st.primary_provider == id ? " [주]" : "") << "  profile " << prof << "  앱 키 "
              << mask_key(p.app_key) << "  연결 " << (p.connected_at.empty() ? "-" : p.connected_at);
    auto t = load_token(token_path(home, id, prof));
    if (t && t->key_tag == key_tag(p.app_key) && t->expires_at > wall_now())
      std::cout << "  토큰 " << mt::iso_kst(t->expires_at) << "까지";
    else
      std::cout << "  토큰 없음";
    if (auto prov = md::provider(id))
      std::cout << "  분봉 KR " << prov->intraday_capability("KR", prof) << ", US "
                << prov->intraday_capability("US", prof);
    std::cout << "\n";
  }
  return 0;
}

int disconnect(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << kUsage;
    return 2;
  }
  std::string id = argv[2];
  md::ConnectionState st = md::load_state_v2();
  remove_tokens(home_dir(), id);
  if (!st.providers.erase(id)) {
    std::cout << id << " 는 연결되어 있지 않습니다.\n";
    return 1;
  }
  if (st.primary_provider == id) {
    // The remaining broker (if any) becomes primary.
    st.primary_provider = st.providers.empty() ? std::optional<std::string>()
                                               : std::optional<std::string>(st.providers.begin()->first);
    ++st.routing_generation;
  }
  ++st.connection_generation;
  md::save_state_v2(st);
  std::string prim = st.primary_provider ? *st.primary_provider : std::string("없음");
  std::cout << id << " 연결을 해제했습니다. 주 사용 증권사: " << prim << "\n";
  return 0;
}

int broker_main(int argc, char** argv) {
  std::string sub = argc >= 2 ? argv[1] : "";
  if (sub == "connect") return connect(argc, argv);
  if (sub == "status") return status();
  if (sub == "disconnect") return disconnect(argc, argv);
  std::cerr << kUsage;
  return sub.empty() || sub == "help" || sub == "--help" ? 0 : 2;
}

CliCommand cmd{"broker", "connect kis|kiwoom [--paper] [--primary] [--no-verify] | status | disconnect ID",
               broker_main};

}  // namespace

}  // namespace tessaro::brokers
