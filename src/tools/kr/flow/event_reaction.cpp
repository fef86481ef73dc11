// get_event_reaction / get_event_reactions: price, volume and investor flow of one
// stock lined up around one event date, and the history of its reactions to its
// recent disclosures.
#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "market_time/bar_state.hpp"
#include "market_time/clock.hpp"
#include "tools/kr/common/kr_common.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "analysis/event_reaction/event_reaction.hpp"
#include "sources/market_data/daily_bars.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::tools {
namespace {

namespace er = event_reaction;

constexpr int NAVER_FLOW_MAX_DAYS = 100;

const char* kReactionDoc =
    "이벤트반응 — 특정 날짜(event_date) 기준 전후 주가·거래량·수급 반응을 정렬합니다.\n\n"
    "이 도구는 시간축을 맞춰 보여 줄 뿐이며, 움직임의 원인을 지목하거나 매수·매도 판단을 하지 않습니다. "
    "event_date 에는 자매 공시 도구 Dorvik 의 scan_earnings_season·list_disclosures 가 보여 주는 접수일(공시일)을 넣으세요. "
    "휴장일이면 다음 거래일이 D0 입니다. 창을 분석할 수 없으면(보유 데이터 밖, 전 구간 거래정지, 수급 결측) "
    "수치 대신 validation 상태와 코드가 나오며, 결측을 0%나 순매수 0으로 보여 주지 않습니다.\n\n"
    "Args:\n"
    "    code: 6자리 종목코드\n"
    "    event_date: 사건일 YYYY-MM-DD 또는 YYYYMMDD\n"
    "    before: event_date 전 비교 거래일 수 (기본 5, 최대 60)\n"
    "    after: event_date 후 비교 거래일 수 (기본 20, 최대 60)";

const char* kHistoryDoc =
    "공시반응이력 — 최근 공시들에 이 종목이 **어떻게 반응해 왔는지** 한 번에.\n\n"
    "get_event_reaction 은 날짜 하나만 봅니다. 이 도구는 일봉과 수급을 한 번만 받아 최근 공시일 여러 개의 반응"
    "(D+1, 중간, 마지막 날 수익률과 거래량 배수)을 표로 만들고, 다음 날 오른 비율·중앙값·최근 반응의 강약을 요약합니다. "
    "과거에 잘 반응했다는 것이 앞으로를 보장하지 않습니다. 네이버 공시 목록에는 가격제한폭 확대 같은 시장 안내가 섞여 "
    "있어 회사 공시가 아닌 것도 있으니 제목을 확인하세요.\n\n"
    "Args:\n"
    "    code: 6자리 종목코드\n"
    "    max_events: 볼 공시일 수 (기본 8, 최대 15). 같은 날 공시 여러 건은 하나로 묶습니다.\n"
    "    before: 공시일 전 비교 거래일 수 (기본 5, 최대 60)\n"
    "    after: 공시일 후 비교 거래일 수 (기본 10, 최대 60)\n"
    "    include_types: 이 유형만 (행정, IR, 실적, 계약, 자금조달, 지배구조, 기타)\n"
    "    exclude_types: 이 유형은 빼기 (include_types 를 적용한 뒤에 적용)";

std::string py_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    const std::string& s = items[i];
    char q = (s.find('\'') != std::string::npos && s.find('"') == std::string::npos) ? '"' : '\'';
    out += q;
    for (char c : s) {
      if (c == '\\') out += "\\\\";
      else if (c == q) out += std::string("\\") + c;
      else out += c;
    }
    out += q;
  }
  return out + "]";
}

// Flow rows to ask for so that the oldest event window is covered: the source
// returns the newest N rows, so the window length alone does not reach an old event.
int event_flow_days(const json& ohlcv, const std::vector<std::string>& event_dates, int before, int after) {
  std::vector<std::string> dates, events;
  if (ohlcv.is_array())
    for (const auto& b : ohlcv)
      if (b.is_object())
        if (auto d = rmeta::normalize_day(b.value("date", json()))) dates.push_back(*d);
  for (const auto& e : event_dates)
    if (auto d = rmeta::normalize_day(e)) events.push_back(*d);
  auto bound = [](long v) { return static_cast<int>(std::max<long>(20, std::min<long>(NAVER_FLOW_MAX_DAYS, v))); };
  if (dates.empty() || events.empty()) return bound(before + after + 10);
  std::sort(dates.begin(), dates.end());
  std::string earliest = *std::min_element(events.begin(), events.end());
  long n = dates.end() - std::lower_bound(dates.begin(), dates.end(), earliest);
  return bound(n + before + 5);
}

std::string error_name(const std::exception& e) { return exception_class_name(e); }

// Dates of the "available" points of one reaction, as one-key records.
void available_point_dates(const json& reaction, json& out) {
  if (!reaction.contains("points") || !reaction["points"].is_object()) return;
  for (auto& [k, p] : reaction["points"].items())
    if (p.value("status", "") == "available" && p.contains("date") && p["date"].is_string())
      out.push_back(json{{"date", p["date"]}});
}

std::string after_market_note(const json& info) {
  return fmt::replace_all(mt::extended_bar_note(info, "일봉"), "이 표에서", "반응 계산에 쓴 봉 중");
}

bool non_empty(const json& v) { return v.is_object() ? !v.empty() : !v.is_null(); }

std::string get_event_reaction(const server::Args& a) {
  const std::string code = a.str("code");
  if (!server::is_code(code)) return "종목코드는 6자리 영숫자여야 합니다. 종목명이라면 먼저 search 도구로 코드를 확정하세요.";
  const std::string event_date = a.str("event_date");
  static const std::regex date_re(R"(^\d{4}-\d{2}-\d{2}$)");
  if (!std::regex_match(er::normalize_date(event_date), date_re))
    return "event_date는 YYYY-MM-DD 또는 YYYYMMDD 형식이어야 합니다.";
  const int before = static_cast<int>(std::clamp<long long>(a.integer("before"), 0, 60));
  const int after = static_cast<int>(std::clamp<long long>(a.integer("after"), 0, 60));

  json bars;
  try {
    bars = bars_cache::get_ohlcv(code, "day", 500);
    if (bars.is_array() && bars.empty()) return server::code_not_found_reply(code, "");
  } catch (const std::exception& e) {
    return "⚠️ `" + std::string(er::PROVIDER_ERROR) + "` — 종목코드 " + code + "의 일봉 조회에 실패했습니다 (" +
           error_name(e) + "). 데이터 없음이 아니라 조회 실패이므로 재시도하세요.";
  }
  int days = event_flow_days(bars, {event_date}, before, after);
  json flows = json::array();
  std::optional<std::string> flow_error;
  try {
    flows = naver::get_investor_flow(code, days);
  } catch (const std::exception& e) {
    flows = json::array();
    flow_error = error_name(e);
  }

  er::ReactionArgs ra{code, event_date, bars, flows, before, after, flow_error};
  json reaction = er::build_event_reaction(ra);
  json fields = er::reaction_meta_fields(reaction);

  json info = nullptr;
  if (mt::bars_can_include_after_market(naver::get_krx_sosok(code))) {
    json used = json::array();
    available_point_dates(reaction, used);
    info = mt::extended_bar_info(used);
  }
  std::string text = er::format_event_reaction(reaction);
  json extra = json::object();
  extra["event_window"] = fields["event_window"];
  extra["flow_window"] = fields["flow_window"];
  if (non_empty(info)) {
    text += "\n\n" + after_market_note(info);
    extra["session_mix"] = info;
  }

  json data_as_of = nullptr;
  const json& w = reaction["window"];
  if (w.contains("end_date") && w["end_date"].is_string() && !w["end_date"].get<std::string>().empty())
    data_as_of = w["end_date"];
  else
    data_as_of = fields["event_window"]["last_usable_trading_date"];

  server::KrMetaArgs ma;
  ma.kind = "bars";
  ma.code = code;
  ma.data_as_of = data_as_of;
  ma.bar_forming = mt::closed_if_before_latest_day(data_as_of);
  ma.data_completeness = fields["data_completeness"].get<std::string>();
  ma.coverage = fields["coverage"];
  ma.price_adjustment = reaction["price_adjustment"];
  ma.price_session = mt::price_session_for_bars(info);
  ma.extra = extra;
  for (const auto& wtext : fields["warnings"]) ma.warnings.push_back(wtext.get<std::string>());
  return server::append_result_meta(text, server::kr_meta(ma));
}

// ---- history ------------------------------------------------------------------

std::vector<std::string> trimmed_list(const std::optional<std::vector<std::string>>& in) {
  std::vector<std::string> out;
  if (!in) return out;
  for (const auto& s : *in) {
    std::string t = fmt::trim(s);
    if (!t.empty()) out.push_back(t);
  }
  return out;
}

bool contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

std::optional<double> point_value(const json& reaction, const std::string& key) {
  if (!reaction.contains("points") || !reaction["points"].is_object()) return std::nullopt;
  const json& pts = reaction["points"];
  if (!pts.contains(key) || !pts[key].is_object()) return std::nullopt;
  const json& p = pts[key];
  if (p.value("status", "") != "available" || !p.contains("return_pct") || !p["return_pct"].is_number())
    return std::nullopt;
  return p["return_pct"].get<double>();
}

std::string pct_text(std::optional<double> v) { return v ? fmt::fixed(*v, 2, false, true) + "%" : "-"; }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

struct Row {
  std::string date, title, type;
  json reaction;
};

std::string get_event_reactions(const server::Args& a) {
  const std::string code = a.str("code");
  if (!server::is_code(code)) return "⚠️ 종목코드 형식이 올바르지 않습니다: " + code;
  const int max_events = static_cast<int>(std::clamp<long long>(a.integer("max_events"), 1, 15));
  const int before = static_cast<int>(std::clamp<long long>(a.integer("before"), 0, 60));
  const int after = static_cast<int>(std::clamp<long long>(a.integer("after"), 1, 60));

  json disclosures = naver::get_disclosure_list(code, std::min(100, max_events * 5 + 20));
  if (!disclosures.is_array() || disclosures.empty()) {
    // The list did not come: unknown, not a stock without disclosures.
    const LedgerSummary looked = current_ledger_summary();
    if (looked.failed > 0 && looked.found == 0)
      return "⚠️ 종목 " + code + "의 공시 목록 조회 실패 (" + server::ledger_failure_text(looked) +
             ") — 공시가 없는 것이 아니라 확인하지 못했습니다. 잠시 후 다시 시도해 주세요.";
    return "종목 " + code + "의 공시 목록을 찾지 못했습니다.";
  }

  auto inc = trimmed_list(a.str_list("include_types"));
  auto exc = trimmed_list(a.str_list("exclude_types"));
  std::vector<std::string> unknown;
  for (const auto& list : {inc, exc})
    for (const auto& t : list)
      if (!contains(server::EVENT_TYPES, t)) unknown.push_back(t);

  // One group per filing date: the first disclosure of the day that passes the filter.
  std::vector<std::string> order;
  std::map<std::string, std::pair<std::string, std::string>> groups;
  int excluded_count = 0;
  json excluded_by_type = json::object();
  for (const auto& d : disclosures) {
    if (!d.is_object()) continue;
    const json& dv = d.value("date", json());
    std::string day = fmt::trim(fmt::replace_all(dv.is_string() ? dv.get<std::string>() : (dv.is_null() ? "" : dv.dump()), ".", "-"));
    if (fmt::cp_len(day) != 10) continue;
    const json& tv = d.value("title", json());
    std::string title = tv.is_string() ? tv.get<std::string>() : "";
    std::string type = server::classify_event_type(title);
    bool filtered = (!inc.empty() && !contains(inc, type)) || contains(exc, type);
    if (filtered) {
      if (!groups.count(day)) {
        ++excluded_count;
        excluded_by_type[type] = excluded_by_type.value(type, 0) + 1;
      }
    } else if (!groups.count(day)) {
      groups[day] = {title, type};
      order.push_back(day);
    }
    if ((int)groups.size() >= max_events) break;
  }
  auto list_or_dash = [](const std::vector<std::string>& v) { return v.empty() ? std::string("-") : py_list(v); };
  if (groups.empty()) {
    if (!inc.empty() || !exc.empty())
      return "종목 " + code + "의 최근 공시 중 유형 필터(include=" + list_or_dash(inc) + ", exclude=" + list_or_dash(exc) +
             ")를 통과한 공시가 없습니다. 필터에 걸려 제외된 공시는 " + std::to_string(excluded_count) +
             "건입니다 - 공시가 없는 것이 아니라 요청한 유형이 없는 것입니다.";
    return "종목 " + code + "의 공시에서 날짜를 읽지 못했습니다.";
  }

  json bars;
  try {
    bars = bars_cache::get_ohlcv(code, "day", 500);
    if (bars.is_array() && bars.empty()) return server::code_not_found_reply(code, "");
  } catch (const std::exception& e) {
    return "⚠️ `" + std::string(er::PROVIDER_ERROR) + "` — 일봉 조회 실패 (" + error_name(e) +
           "). 데이터 없음이 아니라 조회 실패이므로 재시도하세요.";
  }
  int days = event_flow_days(bars, order, before, after);
  json flows = json::array();
  std::optional<std::string> flow_error;
  try {
    flows = naver::get_investor_flow(code, days);
  } catch (const std::exception& e) {
    flows = json::array();
    flow_error = error_name(e);
  }

  std::vector<std::string> sorted = order;
  std::sort(sorted.rbegin(), sorted.rend());
  std::vector<Row> rows;
  for (const auto& day : sorted) {
    er::ReactionArgs ra{code, day, bars, flows, before, after, flow_error};
    rows.push_back({day, groups[day].first, groups[day].second, er::build_event_reaction(ra)});
  }
  if (rows.empty()) return "종목 " + code + "의 공시일을 주가 데이터와 맞추지 못했습니다.";

  const int mid = after >= 4 ? after / 2 : 1;
  const std::string mid_key = "D+" + std::to_string(mid);
  const std::string last_key = "D+" + std::to_string(after);
  std::vector<std::string> L;
  L.push_back("# 공시 반응 이력 — " + code + " (최근 " + std::to_string(rows.size()) + "건)");
  L.push_back("");
  if (!inc.empty() || !exc.empty()) {
    L.push_back("유형 필터: include=" + (inc.empty() ? std::string("전체") : py_list(inc)) +
                " / exclude=" + (exc.empty() ? std::string("없음") : py_list(exc)) + " · 필터로 제외 " +
                std::to_string(excluded_count) + "건");
    L.push_back("");
  }
  L.push_back("기준일 | 공시 | D+1 | " + mid_key + " | " + last_key + " | 당일거래량/직전평균");
  L.push_back("---|---|---:|---:|---:|---:");
  std::vector<double> d1;
  for (const auto& r : rows) {
    std::string title = fmt::cp_truncate(fmt::replace_all(r.title, "|", "/"), 34);
    auto v1 = point_value(r.reaction, "D+1");
    if (v1) d1.push_back(*v1);
    std::string ratio = "-";
    const json& vol = r.reaction.value("volume", json::object());
    if (vol.contains("basis") && vol["basis"].is_number() && vol.contains("pre_avg") && vol["pre_avg"].is_number() &&
        vol["pre_avg"].get<double>() != 0)
      ratio = fmt::fixed(vol["basis"].get<double>() / vol["pre_avg"].get<double>(), 1) + "배";
    L.push_back(r.date + " | [" + r.type + "] " + title + " | " + pct_text(v1) + " | " +
                pct_text(point_value(r.reaction, mid_key)) + " | " + pct_text(point_value(r.reaction, last_key)) + " | " +
                ratio);
  }
  if (!d1.empty()) {
    int ups = static_cast<int>(std::count_if(d1.begin(), d1.end(), [](double v) { return v > 0; }));
    double mean = 0;
    for (double v : d1) mean += v;
    mean /= d1.size();
    L.push_back("");
    L.push_back("## 이 종목의 반응 습관");
    L.push_back("- 계산된 공시 " + std::to_string(d1.size()) + "건 중 **다음 날 오른 경우 " + std::to_string(ups) + "건** (" +
                fmt::fixed(100.0 * ups / d1.size(), 0) + "%)");
    L.push_back("- D+1 중앙값 **" + fmt::fixed(median(d1), 2, false, true) + "%** · 평균 " + fmt::fixed(mean, 2, false, true) + "%");
    L.push_back("- 최대 " + fmt::fixed(*std::max_element(d1.begin(), d1.end()), 2, false, true) + "% / 최소 " +
                fmt::fixed(*std::min_element(d1.begin(), d1.end()), 2, false, true) + "%");
    if (d1.size() >= 4) {
      size_t half = d1.size() / 2;
      std::vector<double> recent(d1.begin(), d1.begin() + half), older(d1.begin() + half, d1.end());
      double rm = median(recent), om = median(older);
      std::string verdict = rm < om - 0.5 ? "약해지는 중" : (rm > om + 0.5 ? "강해지는 중" : "비슷");
      L.push_back("- 최근 " + std::to_string(recent.size()) + "건 중앙값 " + fmt::fixed(rm, 2, false, true) + "% vs 이전 " +
                  std::to_string(older.size()) + "건 " + fmt::fixed(om, 2, false, true) + "% → **" + verdict + "**");
      L.push_back("  · 좋은 소식이 계속 나오는데 반응이 약해진다면 기대가 이미 반영됐을 수 있습니다.");
    }
  }
  L.push_back("");
  L.push_back("※ 과거 반응이지 예측이 아닙니다. 같은 공시라도 시장 상황에 따라 다르게 움직입니다.");
  L.push_back("※ " + std::string(er::CORPORATE_ACTION_NOTE));
  L.push_back("※ 시장 전체가 크게 움직인 날은 개별 반응과 섞입니다 — get_index 로 그날 지수를 함께 보세요.");
  json info = nullptr;
  if (mt::bars_can_include_after_market(naver::get_krx_sosok(code))) {
    json used = json::array();
    for (const auto& r : rows) available_point_dates(r.reaction, used);
    info = mt::extended_bar_info(used);
    if (non_empty(info)) L.push_back(after_market_note(info));
  }
  if (flow_error) L.push_back("※ 수급 조회 실패(" + *flow_error + ") — 주가 반응만 계산했습니다.");

  // Coverage of the events.
  int usable = 0, partial = 0, unavailable = 0;
  bool post_short = false;
  std::string latest_end;
  std::set<std::string> types;
  for (const auto& r : rows) {
    const json& v = r.reaction.value("validation", json::object());
    std::string st = v.value("status", "");
    if (st == er::STATUS_USABLE) ++usable;
    else if (st == er::STATUS_PARTIAL) ++partial;
    else if (st == er::STATUS_UNAVAILABLE) ++unavailable;
    for (const auto& c : v.value("codes", json::array()))
      if (c == er::INSUFFICIENT_POST_EVENT_HISTORY) post_short = true;
    const json& w = r.reaction.value("window", json::object());
    if (w.contains("end_date") && w["end_date"].is_string()) latest_end = std::max(latest_end, w["end_date"].get<std::string>());
    types.insert(r.type);
  }
  const int not_full = partial + unavailable;
  json coverage = nullptr;
  if (not_full > 0)
    coverage = json{{"truncated", false},
                    {"coverage_complete", false},
                    {"reason", post_short ? "insufficient_post_event_history" : "source_limit"}};
  json data_as_of = latest_end.empty() ? json(nullptr) : json(latest_end);

  json extra = json::object();
  if (non_empty(info)) extra["session_mix"] = info;
  extra["event_coverage"] = json{{"events", rows.size()}, {"usable", usable}, {"partial", partial}, {"unavailable", unavailable}};
  json types_json = json::array();
  for (const auto& t : types) types_json.push_back(t);
  json inc_j = json::array(), exc_j = json::array();
  for (const auto& t : inc) inc_j.push_back(t);
  for (const auto& t : exc) exc_j.push_back(t);
  extra["event_type_filter"] = json{{"include_types", inc.empty() ? json(nullptr) : inc_j},
                                    {"excluded_types", exc.empty() ? json(nullptr) : exc_j},
                                    {"excluded_count", excluded_count},
                                    {"excluded_by_type", excluded_by_type.empty() ? json(nullptr) : excluded_by_type},
                                    {"types_in_result", types_json}};

  server::KrMetaArgs ma;
  ma.kind = "bars";
  ma.code = code;
  ma.data_as_of = data_as_of;
  ma.bar_forming = mt::closed_if_before_latest_day(data_as_of);
  ma.data_completeness = not_full > 0 ? rmeta::PARTIAL : rmeta::COMPLETE;
  ma.coverage = coverage;
  ma.price_adjustment = er::price_adjustment_meta();
  ma.price_session = mt::price_session_for_bars(info);
  ma.extra = extra;
  if (not_full > 0)
    ma.warnings.push_back(std::to_string(not_full) +
                          "건 사건은 창이 덜 찼거나 분석 불가입니다 - 표의 해당 칸은 값이 아니라 결측입니다.");
  if (!unknown.empty())
    ma.warnings.push_back("알 수 없는 유형 이름 " + py_list(unknown) + " - 유효한 유형: " + py_list(server::EVENT_TYPES));
  return server::append_result_meta(fmt::join(L, server::NEWLINE), server::kr_meta(ma));
}

const server::ToolRegistration reg_one{"get_event_reaction", kReactionDoc, get_event_reaction};
const server::ToolRegistration reg_history{"get_event_reactions", kHistoryDoc, get_event_reactions};

}  // namespace
}  // namespace tessaro::tools
