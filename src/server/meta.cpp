#include "server/meta.hpp"

#include "core/call_context.hpp"
#include "core/format.hpp"
#include "market_time/bar_state.hpp"
#include "market_time/clock.hpp"
#include "market_time/day_times.hpp"
#include "market_time/quote_standing.hpp"
#include "sources/metrics.hpp"

namespace tessaro::server {

json build_meta(const BuildMetaArgs& a) {
  mt::Instant at = mt::now();
  json clock = mt::build_market_clock(at);
  json m = json::object();
  m["kiv"] = a.kiv;
  m["as_of"] = mt::iso_kst(at);
  m["data_basis"] = a.data_basis;
  m["data_as_of"] = a.data_as_of;
  if (a.korean) m["data_period"] = a.data_period;
  m["market"] = a.market;
  m["session"] = a.session;
  if (a.korean) m["price_session"] = a.price_session;
  if (a.is_delayed) m["is_delayed"] = *a.is_delayed;
  m["data_completeness"] = a.data_completeness;
  if (!a.coverage.is_null()) m["coverage"] = a.coverage;
  m["entity"] = a.entity_info;
  m["warnings"] = a.warnings;
  std::string viewer = mt::viewer_zone();
  mt::Civil vc = mt::to_zone(at, viewer);
  if (mt::iso_in_zone(at, viewer).substr(19) != "+09:00" || (viewer != mt::KST && viewer != "Asia/Seoul")) {
    if (viewer != "Asia/Seoul" && viewer != "ROK")
      m["viewer_tz"] = json{{"name", viewer}, {"utc_offset", mt::iso_in_zone(at, viewer).substr(19)},
                            {"local_date", vc.date_str()}, {"local_time", vc.hm()}};
  }
  m["dst"] = clock["dst"];
  return m;
}

namespace {
std::string basis_for(const std::string& kind, std::optional<bool> bar_forming, bool open_or_after) {
  if (kind == "filing") return rmeta::BASIS_FILING;
  if (kind == "bars" && bar_forming) return *bar_forming ? rmeta::BASIS_IN_PROGRESS_BAR : rmeta::BASIS_LAST_CLOSE;
  if (open_or_after) return kind == "bars" ? rmeta::BASIS_IN_PROGRESS_BAR : rmeta::BASIS_REALTIME;
  return rmeta::BASIS_LAST_CLOSE;
}
bool truthy(const json& v) {
  if (v.is_null()) return false;
  if (v.is_string()) return !v.get<std::string>().empty();
  if (v.is_object() || v.is_array()) return !v.empty();
  if (v.is_boolean()) return v.get<bool>();
  return true;
}
void finish(json& meta, const json& bar_state, const json& price_adjustment, const json& extra) {
  if (truthy(bar_state)) meta["bar_state"] = bar_state;
  if (truthy(price_adjustment)) meta["price_adjustment"] = price_adjustment;
  if (extra.is_object())
    for (auto it = extra.begin(); it != extra.end(); ++it) meta[it.key()] = *it;
}

// What the tool saw in its bars: a bar state that knows whether its last bar is
// finished decides the basis, not the clock (a weekly bar on a Wednesday evening is
// still forming; yesterday's finished bar read at 09:00 is not).
std::optional<bool> forming_of(const std::string& kind, std::optional<bool> given, const json& bar_state) {
  if (given || kind != "bars" || !bar_state.is_object()) return given;
  const json& inc = bar_state.value("calculation_includes_incomplete", json());
  if (inc.is_boolean()) return inc.get<bool>();
  return given;
}
}  // namespace

namespace {
bool any_warning_has(const std::vector<std::string>& warnings, std::initializer_list<const char*> parts) {
  for (const auto& w : warnings)
    for (const char* p : parts)
      if (w.find(p) != std::string::npos) return true;
  return false;
}
}  // namespace

std::string ledger_failure_text(const LedgerSummary& s) {
  std::vector<std::string> items;
  for (size_t i = 0; i < s.failures.size(); ++i) {
    std::string item = s.failures[i].source + "(" + (s.failures[i].reason.empty() ? "실패" : s.failures[i].reason);
    if (s.failure_counts[i] > 1) item += ", " + fmt::fixed(double(s.failure_counts[i]), 0, true) + "건";
    items.push_back(item + ")");
  }
  return fmt::join(items, ", ");
}

std::string ledger_stand_in_text(const LedgerSummary& s) {
  std::vector<std::string> items;
  for (const auto& e : s.stand_ins) items.push_back(e.source + " (" + e.stood_in_for + " 대신)");
  return fmt::join(items, ", ");
}

void apply_ledger(std::string& completeness, std::vector<std::string>& warnings, json& lookups) {
  LedgerSummary s = current_ledger_summary();
  if (s.clean()) return;
  if (s.nothing_obtained()) completeness = rmeta::NONE;
  else if (completeness == rmeta::COMPLETE) completeness = rmeta::PARTIAL;
  if (s.failed > 0 && !any_warning_has(warnings, {"조회 실패", "조회에 실패", "조회하지 못"}))
    warnings.push_back("조회 실패: " + ledger_failure_text(s) + " — 없음이 아니라 모름입니다.");
  if (!s.stand_ins.empty() && !any_warning_has(warnings, {"대체", "대신"}))
    warnings.push_back("대체 출처 사용: " + ledger_stand_in_text(s) + " — 원래 출처보다 항목·기간이 적을 수 있습니다.");
  lookups = json::object();
  json failed = json::array();
  for (size_t i = 0; i < s.failures.size(); ++i)
    failed.push_back(json{{"source", s.failures[i].source}, {"reason", s.failures[i].reason}, {"count", s.failure_counts[i]}});
  json stood = json::array();
  for (const auto& e : s.stand_ins) stood.push_back(json{{"source", e.source}, {"stood_in_for", e.stood_in_for}});
  lookups["failed"] = failed;
  lookups["stood_in"] = stood;
}

namespace {
void finish_ledger(json& meta, const json& lookups) {
  if (!lookups.is_null()) meta["lookups"] = lookups;
}
// An `extra` that names a completeness cannot lift it above what the ledger allows.
void ledger_floor(json& meta) {
  LedgerSummary s = current_ledger_summary();
  if (s.clean()) return;
  std::string c = meta.value("data_completeness", std::string());
  if (s.nothing_obtained()) meta["data_completeness"] = rmeta::NONE;
  else if (c == rmeta::COMPLETE) meta["data_completeness"] = rmeta::PARTIAL;
}
}  // namespace

json kr_meta(const KrMetaArgs& a) {
  mt::CallInstant pin;
  json krx = mt::build_market_clock()["krx"];
  bool after = krx.value("current_session", std::string()) == mt::SESSION_AFTER_MARKET &&
               mt::is_extended_price_session(a.price_session);
  const std::optional<bool> forming = forming_of(a.kind, a.bar_forming, a.bar_state);
  std::string basis = basis_for(a.kind, forming, krx.value("is_open", false) || after);
  std::vector<std::string> warnings = a.warnings;
  json data_as_of = a.data_as_of;
  if (a.kind == "quote") {
    // A quote: its own trading day decides its day, its basis and its notes.
    mt::QuoteStanding st = mt::quote_standing(a.data_as_of, a.price_session, krx);
    basis = st.data_basis;
    data_as_of = st.data_as_of;
    warnings.insert(warnings.begin(), st.notes.begin(), st.notes.end());
  } else if (a.kind != "filing" && mt::data_is_latest_day(forming, a.data_as_of, krx)) {
    auto notes = mt::kr_market_note(&krx, a.price_session);
    warnings.insert(warnings.begin(), notes.begin(), notes.end());
  }
  std::string completeness = a.data_completeness;
  json coverage = a.coverage;
  mt::bar_state_effects(a.bar_state, completeness, coverage, warnings);
  json lookups;
  apply_ledger(completeness, warnings, lookups);
  BuildMetaArgs b;
  b.data_basis = basis;
  b.data_as_of = truthy(data_as_of) ? data_as_of : (a.kind == "filing" ? json(nullptr) : krx["last_trading_day"]);
  b.data_period = a.data_period;
  b.market = "KR";
  b.session = krx["status"];
  b.price_session = a.price_session;
  b.data_completeness = completeness;
  b.coverage = coverage;
  b.entity_info = rmeta::entity(a.code, a.name);
  b.warnings = warnings;
  json meta = build_meta(b);
  finish_ledger(meta, lookups);
  finish(meta, a.bar_state, a.price_adjustment, a.extra);
  ledger_floor(meta);
  emit_coverage_counters("tessaro", meta);
  return meta;
}

json us_meta(const UsMetaArgs& a) {
  mt::CallInstant pin;
  // The listing's own exchange decides; a listing outside the US and Korea has no
  // calendar here, so its session is unconfirmed and only the trade's own day says
  // whether the value is of an earlier day.
  const bool own_exchange = a.listing.is_object();
  json us = own_exchange ? a.listing : mt::build_market_clock()["us"];
  const bool unconfirmed = own_exchange && !us.value("calendar_known", true);
  const std::string market_name = !own_exchange || us.value("market", std::string()) == "NYSE/NASDAQ" ? "미국장"
                                  : us.value("market", std::string()) == "KRX"                        ? "KRX"
                                                                                                      : "이 거래소";
  bool open = us.value("is_open", false);
  const std::optional<bool> forming = forming_of(a.kind, a.bar_forming, a.bar_state);
  // Data of a day before the last trading day (a quote that has not traded for
  // days) is that day's close: never live, never delayed, whatever the session.
  const std::string last_day = unconfirmed ? us.value("local_date", std::string())
                                           : (us["last_trading_day"].is_string() ? us["last_trading_day"].get<std::string>() : "");
  auto data_day = rmeta::normalize_day(a.data_as_of);
  const bool older = data_day && !last_day.empty() && *data_day < last_day;
  if (unconfirmed) open = data_day && !older;   // traded today (its own zone): possibly still trading
  std::string basis = basis_for(a.kind, forming, open && !older);
  bool latest = !unconfirmed && mt::data_is_latest_day(forming, a.data_as_of, us) && !older;
  std::vector<std::string> warnings = a.warnings;
  if (unconfirmed && a.kind != "filing")
    warnings.insert(warnings.begin(),
                    "세션 미확인 — 이 거래소(" + us.value("market", std::string("?")) +
                        ")의 거래 시간표가 없어, 표시된 값이 장중 시세인지 그날 마감 값인지 확인하지 못했습니다" +
                        (data_day ? " (체결일 " + *data_day + ", 현지 기준)." : "."));
  if (market_name == "KRX" && a.kind != "filing" && latest) {
    // A Seoul listing: the KRX notes, which know the after-market.
    auto notes = mt::kr_market_note(&us, nullptr);
    warnings.insert(warnings.begin(), notes.begin(), notes.end());
  } else if (!unconfirmed && a.kind != "filing" && !open && !older && forming.value_or(false)) {
    // The regular session is over but the last bar is still forming: extended hours.
    warnings.insert(warnings.begin(), (market_name == "미국장" ? std::string("미국장") : market_name) +
                                          " 정규장은 마감 — 마지막 봉은 시간외(프리·애프터아워) 체결로 아직 만들어지는 "
                                          "중이라 값이 바뀔 수 있습니다. 정규장 종가로 부르지 마세요.");
  } else if (!unconfirmed && a.kind != "filing" && !open && (latest || older))
    warnings.insert(warnings.begin(), (market_name == "미국장" ? std::string("미국장 마감 상태") : market_name + " 장마감 상태") +
                                          " — 표시된 값은 최근 거래일(" +
                                          (older ? *data_day : last_day) + ") 기준입니다.");
  if (!unconfirmed && a.kind == "snapshot" && open && older)
    warnings.insert(warnings.begin(), market_name + " 거래 중이지만 표시된 값은 " + *data_day +
                                          " 종가입니다 — 실시간·지연 시세가 아니라 그날 이후 체결이 없는 값입니다.");
  std::string completeness = a.data_completeness;
  json coverage = a.coverage;
  mt::bar_state_effects(a.bar_state, completeness, coverage, warnings);
  json lookups;
  apply_ledger(completeness, warnings, lookups);
  BuildMetaArgs b;
  b.korean = false;
  b.data_basis = basis;
  b.data_as_of = truthy(a.data_as_of) ? a.data_as_of : (a.kind == "filing" ? json(nullptr) : us["last_trading_day"]);
  b.market = "US";
  b.session = us["status"];
  b.is_delayed = open && latest;
  b.data_completeness = completeness;
  b.coverage = coverage;
  b.entity_info = rmeta::entity(a.ticker);
  b.warnings = warnings;
  json meta = build_meta(b);
  if (own_exchange && market_name != "미국장")
    meta["listing_market"] = json{{"market", us.value("market", json())},
                                  {"zone", us.value("zone", json())},
                                  {"calendar_known", !unconfirmed},
                                  {"status", us.value("status", json())}};
  finish_ledger(meta, lookups);
  finish(meta, a.bar_state, a.price_adjustment, a.extra);
  ledger_floor(meta);
  return meta;
}

std::string deliver_notices(const std::string& result, const std::vector<std::string>& notices) {
  std::vector<std::string> notes;
  for (const auto& n : notices) {
    std::string t = fmt::trim(n);
    if (!t.empty()) notes.push_back(t);
  }
  if (notes.empty()) return result;
  size_t first = result.find_first_not_of(" \t\r\n");
  if (first != std::string::npos && result[first] == '{') {
    try {
      json j = json::parse(result);
      if (j.is_object()) {
        if (!j.contains("_meta") || !j["_meta"].is_object()) j["_meta"] = json::object();
        json& meta = j["_meta"];
        if (!meta.contains("warnings") || !meta["warnings"].is_array()) meta["warnings"] = json::array();
        std::vector<std::string> notice_lines;
        for (const auto& n : notes) {
          std::vector<std::string> parts;
          size_t pos = 0;
          while (pos <= n.size()) {
            size_t e = n.find('\n', pos);
            std::string line = fmt::trim(n.substr(pos, e == std::string::npos ? std::string::npos : e - pos));
            if (!line.empty() && line != "---") parts.push_back(line);
            if (e == std::string::npos) break;
            pos = e + 1;
          }
          meta["warnings"].push_back(fmt::join(parts, " "));
          notice_lines.push_back(fmt::join(parts, " "));
        }
        // Where the assistant is told to look for the notice in a JSON reply.
        meta["user_notice"] = fmt::join(notice_lines, "\n");
        return dump_compact(j);
      }
    } catch (const json::exception&) {
    }
  }
  std::string out = result;
  for (const auto& n : notes) out += "\n\n" + n;
  return out;
}

void emit_coverage_counters(const std::string& kiv, const json& meta) {
  auto tool = metrics::current_tool();
  if (!tool) return;
  const json& cov = meta.value("coverage", json());
  if (truthy(cov) && truthy(cov.value("truncated", json())))
    metrics::count_limitation("kiv_coverage_truncated_total",
                              json{{"kiv", kiv}, {"tool", *tool}, {"reason", cov.value("reason", json("unknown"))}});
  const json& bs = meta.value("bar_state", json());
  if (truthy(bs) && truthy(bs.value("calculation_includes_incomplete", json())))
    metrics::count_limitation("kiv_incomplete_bar_total",
                              json{{"kiv", kiv}, {"tool", *tool}, {"timeframe", bs.value("timeframe", json("unknown"))}});
  const json& pc = meta.value("period_coverage", json());
  if (truthy(pc) && pc.value("consistency", std::string()) == "mixed")
    metrics::count_limitation("kiv_mixed_period_total", json{{"kiv", kiv}, {"tool", *tool}});
  const json& pa = meta.value("price_adjustment", json());
  if (truthy(pa) && pa.value("status", std::string()) == "unknown")
    metrics::count_limitation("kiv_unknown_adjustment_total", json{{"kiv", kiv}, {"tool", *tool}});
}

}  // namespace tessaro::server
