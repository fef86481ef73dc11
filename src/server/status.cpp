#include "server/status.hpp"

#include <filesystem>
#include <fstream>
#include <system_error>

#include <unistd.h>

#include "core/files.hpp"
#include "core/format.hpp"
#include "market_time/clock.hpp"
#include "server/doctor.hpp"
#include "sources/market_data/daily_bars.hpp"
#include "sources/market_data/market_data.hpp"
#include "sources/metrics.hpp"
#include "sources/sec/sec.hpp"
#include "sources/user_notice.hpp"

namespace tessaro::server {
namespace {

namespace fs = std::filesystem;
namespace md = tessaro::market_data;

// True when a file can be created and removed in `dir` (created on demand).
bool writable(const fs::path& dir, std::string& why) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    why = ec.message();
    return false;
  }
  fs::path probe = dir / (".write_probe." + std::to_string(::getpid()));
  {
    std::ofstream f(probe);
    if (!f || !(f << "ok")) {
      why = "쓰기 실패";
      return false;
    }
  }
  fs::remove(probe, ec);
  return true;
}

json market_part(const json& part) {
  json out = json::object();
  out["status"] = part.value("status", std::string());
  out["is_open"] = part.value("is_open", false);
  out["current_session"] = part.value("current_session", std::string());
  out["last_trading_day"] = part.value("last_trading_day", std::string());
  out["next_trading_day"] = part.value("next_trading_day", std::string());
  return out;
}

}  // namespace

json build_status() {
  json st = json::object();
  st["version"] = TESSARO_VERSION;
  st["as_of"] = mt::iso_kst(mt::now());
  json clock = mt::build_market_clock();
  st["krx"] = market_part(clock.value("krx", json::object()));
  st["us"] = market_part(clock.value("us", json::object()));

  // Recent calls from today's and yesterday's usage log, newest last.
  json entries = metrics::load_metrics(2);
  const size_t keep = 20;
  json recent = json::array();
  long long ok = 0, failed = 0;
  size_t start = entries.size() > keep ? entries.size() - keep : 0;
  for (size_t i = start; i < entries.size(); ++i) {
    const json& e = entries[i];
    bool err = e.value("error", false);
    (err ? failed : ok) += 1;
    recent.push_back({{"tool", e.value("tool", std::string())}, {"ts", e.value("ts", std::string())}, {"error", err}});
  }
  st["recent"] = {{"ok", ok}, {"failed", failed}, {"calls", recent}};

  fs::path home = home_dir();
  std::string why_home, why_cache;
  bool home_ok = writable(home, why_home);
  bool cache_ok = writable(home / "cache", why_cache);
  st["home"] = {{"path", home.string()}, {"writable", home_ok}, {"error", home_ok ? json(nullptr) : json(why_home)}};
  st["cache"] = {{"path", (home / "cache").string()}, {"writable", cache_ok},
                 {"error", cache_ok ? json(nullptr) : json(why_cache)}};
  // The last `tessaro-mcp doctor` result, read from its file (no request here).
  json last = doctor::load_last_check();
  st["source_check"] = last.is_null() ? json(nullptr)
                                      : json{{"checked_at", last.value("checked_at", std::string())},
                                             {"checked", last.value("results", json::array()).size()},
                                             {"failed", last.value("failed", json::array())}};
  st["update_notice"] = notice::update_notice("Tessaro", "tessaro-mcp", TESSARO_VERSION, home);

  // Settings that decide which tools can work, from the environment and the local
  // broker state file (no request is made).
  json brokers = json::array();
  std::string broker_error;
  try {
    md::ConnectionState cs = md::load_state_v2();
    for (const auto& [id, p] : cs.providers)
      brokers.push_back({{"id", id},
                         {"profile", p.profile.empty() ? std::string("real") : p.profile},
                         {"primary", cs.primary_provider == id}});
  } catch (const std::exception& e) {
    broker_error = e.what();
  }
  st["settings"] = {{"sec_contact_set", sec::contact_configured()},
                    {"brokers", brokers},
                    {"broker_state_error", broker_error.empty() ? json(nullptr) : json(broker_error)}};
  return st;
}

std::string format_status(const json& st) {
  std::vector<std::string> lines;
  lines.push_back("🩺 Tessaro 상태 (v" + st.value("version", std::string()) + ", 조회 " + st.value("as_of", std::string()) + ")");
  lines.push_back("");
  auto market = [&](const char* label, const json& m) {
    std::string s = std::string("- ") + label + ": " + m.value("status", std::string()) + " (current_session: " +
                    m.value("current_session", std::string()) + ", 최근 거래일 " + m.value("last_trading_day", std::string()) +
                    ", 다음 거래일 " + m.value("next_trading_day", std::string()) + ")";
    lines.push_back(s);
  };
  lines.push_back("## 시장");
  market("한국장(KRX)", st["krx"]);
  market("미국장(NYSE/NASDAQ)", st["us"]);
  lines.push_back("");
  lines.push_back("## 최근 호출");
  const json& r = st["recent"];
  long long ok = r.value("ok", 0LL), failed = r.value("failed", 0LL);
  if (ok + failed == 0) {
    lines.push_back("- 기록된 최근 호출이 없습니다.");
  } else {
    lines.push_back("- 성공 " + std::to_string(ok) + "회 · 실패 " + std::to_string(failed) + "회 (최근 " +
                    std::to_string(ok + failed) + "회 기준)");
    std::vector<std::string> failed_tools;
    for (const auto& c : r["calls"])
      if (c.value("error", false)) failed_tools.push_back(c.value("tool", std::string()) + " " + c.value("ts", std::string()));
    if (!failed_tools.empty()) {
      size_t from = failed_tools.size() > 5 ? failed_tools.size() - 5 : 0;
      for (size_t i = from; i < failed_tools.size(); ++i) lines.push_back("  - ⚠️ 실패: " + failed_tools[i]);
    }
  }
  lines.push_back("");
  lines.push_back("## 설정");
  const json& set = st.contains("settings") ? st["settings"] : json::object();
  if (set.value("sec_contact_set", false))
    lines.push_back("- SEC 연락처(TESSARO_SEC_CONTACT): 설정됨");
  else
    lines.push_back("- SEC 연락처(TESSARO_SEC_CONTACT): ⚠️ 설정 안 됨 - 미국 공시·유동성 도구(get_us_filings, "
                    "get_us_filing_detail, get_us_liquidity, get_financial_soundness)가 동작하지 않습니다. MCP 호스트 "
                    "설정의 tessaro 항목 \"env\" 블록에 \"TESSARO_SEC_CONTACT\": \"이름 you@example.com\" 을 넣고 "
                    "호스트를 다시 시작하세요.");
  std::vector<std::string> connected;
  for (const auto& b : set.value("brokers", json::array()))
    connected.push_back(b.value("id", std::string()) + " (" + b.value("profile", std::string()) +
                        (b.value("primary", false) ? ", 주 사용" : "") + ")");
  if (set.contains("broker_state_error") && set["broker_state_error"].is_string())
    lines.push_back("- 증권사 연결: ⚠️ 연결 상태 파일을 읽지 못했습니다 (" + set["broker_state_error"].get<std::string>() + ")");
  else if (connected.empty())
    lines.push_back("- 증권사 연결: 없음 (분봉·수급 근거 도구는 Orvane Manager에서 증권사를 연결해야 쓸 수 있습니다)");
  else
    lines.push_back("- 증권사 연결: " + fmt::join(connected, ", "));
  lines.push_back("");
  lines.push_back("## 데이터 소스 점검");
  const json& sc = st.contains("source_check") ? st["source_check"] : json();
  if (!sc.is_object()) {
    lines.push_back("- 점검 기록 없음 (외부 사이트 응답 모양을 점검한 적이 없습니다)");
  } else {
    std::string when = sc.value("checked_at", std::string());
    when = when.size() >= 16 ? when.substr(0, 10) + " " + when.substr(11, 5) + " KST" : when;
    const json& bad = sc.contains("failed") && sc["failed"].is_array() ? sc["failed"] : json::array();
    if (bad.empty()) {
      lines.push_back("- 마지막 점검: " + when + " — 이상 없음");
    } else {
      lines.push_back("- 마지막 점검: " + when + " — ⚠️ " + std::to_string(bad.size()) + "곳 이상");
      size_t shown = 0;
      for (const auto& f : bad) {
        if (++shown > 8) {
          lines.push_back("  - … 외 " + std::to_string(bad.size() - 8) + "곳");
          break;
        }
        std::string d = f.value("detail", std::string());
        if (d.size() > 100) {
          size_t cut = d.find(':') < 40 ? d.find(':') : 100;
          while (cut > 0 && ((unsigned char)d[cut] & 0xC0) == 0x80) --cut;   // whole letters only
          d = d.substr(0, cut);
        }
        lines.push_back("  - " + f.value("endpoint", std::string()) + " (" + f.value("target", std::string()) + "): " +
                        f.value("status", std::string()) + (d.empty() ? "" : " — " + d));
      }
    }
  }
  lines.push_back("");
  lines.push_back("## 저장 공간");
  for (const char* key : {"home", "cache"}) {
    const json& d = st[key];
    bool w = d.value("writable", false);
    std::string label = std::string(key) == "home" ? "홈 폴더" : "캐시 폴더";
    lines.push_back("- " + label + ": " + (w ? "쓰기 가능" : "⚠️ 쓰기 불가") + " (" + d.value("path", std::string()) + ")");
  }
  if (auto p = bars_cache::disk_problem()) lines.push_back("- ⚠️ 일봉 캐시: 디스크에 저장하지 못해 메모리에만 둡니다 (" + *p + ")");
  std::string un = st.value("update_notice", std::string());
  if (!un.empty()) {
    lines.push_back("");
    lines.push_back(un);
  }
  bool trouble = failed > 0 || !st["home"].value("writable", false) || !st["cache"].value("writable", false);
  if (trouble) {
    lines.push_back("");
    lines.push_back("💡 문제가 계속되면 Orvane Manager의 Tessaro 카드에서 [진단]을 눌러 보고, 그래도 같으면 Orvane Manager 상단 [지원 문의]를 눌러 주세요.");
  }
  return fmt::join(lines, "\n");
}

}  // namespace tessaro::server
