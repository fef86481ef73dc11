// get_indicators / get_indicators_bulk: indicator verdicts on daily, weekly or
// monthly bars of Korean stocks, as compact JSON with the meta under "_meta".
#include <algorithm>
#include <atomic>
#include <optional>
#include <mutex>
#include <string>
#include <vector>

#include "core/call_context.hpp"
#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/parallel.hpp"
#include "core/result_meta.hpp"
#include "market_time/bar_state.hpp"
#include "market_time/day_times.hpp"
#include "market_time/clock.hpp"
#include "tools/kr/common/kr_common.hpp"
#include "server/output_schema.hpp"
#include "server/arg_rules.hpp"
#include "server/wrappers.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "analysis/event_reaction/price_adjustment.hpp"
#include "analysis/indicators/indicators.hpp"
#include "analysis/indicators/split_bars.hpp"
#include "sources/market_data/daily_bars.hpp"
#include "sources/market_data/today_bars.hpp"
#include "sources/naver/naver.hpp"
#include "tools/kr/common/timeframes.hpp"

namespace tessaro::tools {
namespace {

const char* kIndicatorsDoc =
    "기술지표 — 이평선·RSI·MACD·볼린저·스토캐스틱 등 종합 판정 (JSON).\n\n"
    "숫자를 비교해야 할 때만 호출하세요. 차트 모양만 궁금하면 get_chart로 충분합니다. "
    "라벨 필드(phase_label, type_label, position)는 바꿔 말하지 말고 그대로 인용하세요.\n\n"
    "키 읽는 법:\n"
    "- volume.latest 와 latest_date 는 마지막 봉의 거래량입니다('오늘'이 아닐 수 있음).\n"
    "- volume.avg_20b, ratio_vs_avg_20b 는 20봉 기준입니다. volume.trade_value_est_krw 는 종가×거래량 추정치입니다.\n"
    "- volume.volume_rank_252b 는 최근 252봉 중 마지막 봉 거래량의 순위입니다(1 = 가장 많음).\n"
    "- position.bars_since_high/low 는 달력일이 아니라 봉 수입니다. 날짜는 high_date/low_date 를 쓰세요.\n"
    "- position.high_52w/low_52w 는 1년치 봉(일봉 252·주봉 52·월봉 12)이 없으면 null 이고, "
    "그때 조회 구간의 고가·저가는 lookback_high/low 에 있습니다.\n"
    "- 주봉·월봉의 교차(ma_cross, macd)는 days_ago 가 아니라 bars_ago 로 나옵니다.\n"
    "- _meta.data_basis 가 in_progress_bar 이면 마지막 봉이 진행 중이라 장 마감 때 판정이 바뀔 수 있습니다.\n\n"
    "Args:\n"
    "    code: 6자리 종목코드 (예: \"005930\")\n"
    "    days: 조회 일수 (기본 260, 30~500). 구조 분석 지표는 500+ 권장.\n"
    "    include: 지표 목록 (기본 [\"ma\", \"ma_phase\", \"volume\", \"candle\"]). 사용 가능: ma, ma_phase, ma_slope, "
    "ma_cross, rsi, macd, bollinger, stochastic, obv, volume, position, candle, support_resistance, volume_profile, "
    "price_channel\n"
    "    timeframe: \"day\" / \"week\" / \"month\" (분봉 지표는 get_intraday_indicators)\n"
    "    params: 지표별 파라미터 덮어쓰기, 예 {\"rsi\": {\"period\": 21}}. 사용자가 명시적으로 요청할 때만 쓰세요.";

const char* kBulkDoc =
    "기술지표벌크 — 여러 종목(최대 100개)의 지표를 병렬 판정. 스크리닝 핵심.\n\n"
    "종목마다 get_indicators 를 반복 호출하지 말고 이 도구를 쓰세요. 시계열 없이 판정값만 돌려줍니다. "
    "조회에 실패한 종목은 results 의 error 필드에 이유가 남고 나머지 종목 결과는 그대로 옵니다. "
    "봉이 모자란 지표 판단(indicator_coverage)은 가장 짧은 종목 기준이라, 이력이 긴 종목에는 값이 있을 수 있습니다. "
    "키 읽는 법은 get_indicators 와 같습니다(volume.latest 는 마지막 봉, bars_since_* 는 봉 수, "
    "high_52w/low_52w 는 1년치 미만이면 null, 주봉·월봉 교차는 bars_ago).\n\n"
    "Args:\n"
    "    codes: 6자리 종목코드 목록 (앞 100개만 사용)\n"
    "    days: 조회 일수 (기본 260, 30~500)\n"
    "    include: 지표 목록 (기본 [\"ma_phase\", \"volume\"]). 이름은 get_indicators 와 같습니다.\n"
    "    timeframe: \"day\" / \"week\" / \"month\"\n"
    "    params: 모든 종목에 같은 파라미터 덮어쓰기 (사용자가 명시적으로 요청할 때만)";

// Python's repr of a list of texts: ['a', 'b'].
std::string py_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    const std::string& s = items[i];
    bool dq = s.find('\'') != std::string::npos && s.find('"') == std::string::npos;
    char q = dq ? '"' : '\'';
    out += q;
    for (char c : s) {
      if (c == '\\') out += "\\\\";
      else if (c == q) out += std::string("\\") + c;
      else if (c == '\n') out += "\\n";
      else out += c;
    }
    out += q;
  }
  return out + "]";
}

const server::Range kDays{30, 500};
const server::Choices kIndicatorNames{[] { return indicators::AVAILABLE_INDICATORS; }};
const server::ArgumentRange reg_days{"get_indicators", "days", kDays};
const server::ArgumentRange reg_bulk_days{"get_indicators_bulk", "days", kDays};
const server::ArgumentChoices reg_include{"get_indicators", "include", kIndicatorNames};
const server::ArgumentChoices reg_bulk_include{"get_indicators_bulk", "include", kIndicatorNames};
const server::ArgumentChoices reg_timeframe{"get_indicators", "timeframe", daily_timeframes()};
const server::ArgumentChoices reg_bulk_timeframe{"get_indicators_bulk", "timeframe", daily_timeframes()};

std::optional<std::string> unknown_indicators_text(const std::vector<std::string>& include) {
  std::vector<std::string> bad;
  for (const auto& n : include)
    if (!kIndicatorNames.accepts(n)) bad.push_back(n);
  if (bad.empty()) return std::nullopt;
  return "지원하지 않는 지표: " + py_list(bad) + "\n사용 가능: " + py_list(indicators::AVAILABLE_INDICATORS);
}

int clamp_days(const server::Args& a) { return static_cast<int>(kDays.clamp(a.integer("days"))); }

json str_array(const std::vector<std::string>& v) {
  json out = json::array();
  for (const auto& s : v) out.push_back(s);
  return out;
}

std::vector<std::string> insufficient_keys(const json& coverage) {
  std::vector<std::string> out;
  for (const auto& k : coverage["insufficient"]) out.push_back(k.get<std::string>());
  return out;
}

// The source answered that it has nothing for the code (a chart without items):
// recorded as "not found" in this call's ledger. An empty result without such an
// answer (an argument never sent) is not.
bool source_said_not_found() {
  if (CallContext* c = current_call())
    for (const auto& e : c->ledger())
      if (e.outcome == LookupStatus::not_found) return true;
  return false;
}

std::string get_indicators(const server::Args& a) {
  const std::string code = a.str("code");
  if (code.empty()) return "종목코드가 필요합니다.";
  std::vector<std::string> include = a.str_list("include").value_or(std::vector<std::string>{"ma", "ma_phase", "volume", "candle"});
  if (auto bad = unknown_indicators_text(include)) return *bad;
  const int days = clamp_days(a);
  const std::string timeframe = a.str("timeframe");
  const json& params = a.value("params");

  auto got = server::code_lookup([&] { return bars_cache::get_ohlcv(code, timeframe, days); });
  if (got.failure()) return server::code_failed_reply(code, "봉 데이터", got.reason, "");
  if (got.missing() && source_said_not_found()) return server::code_not_found_reply(code, "");
  json rows = got.value;
  if (!rows.is_array() || rows.empty()) return "차트 데이터를 가져올 수 없습니다: " + code;
  auto split = indicators::split_valid_bars(rows);
  auto [exclusion, exclusion_warnings] = mt::bar_exclusion_info(split.excluded);
  const json& valid = split.valid;
  if (valid.empty())
    return "종목 " + code + ": 조회된 봉 전체가 거래정지 placeholder 등 비정상이라 지표를 계산할 수 없습니다.";

  json result = indicators::compute_indicators(valid, include, params, timeframe);
  json errors = server::indicator_error_list(result);
  const int n = static_cast<int>(valid.size());
  json coverage = server::indicator_coverage(str_array(include), n, params, timeframe);
  json extended = nullptr;
  // ETFs and ETNs have no after-market: their bars close with the regular session.
  const bool can_after = mt::bars_can_include_after_market(naver::get_krx_sosok(code));
  if (can_after) extended = mt::extended_bar_info(valid, timeframe);

  json body = json::object();
  body["code"] = code;
  body["timeframe"] = timeframe;
  body["days"] = days;
  body["indicators"] = result;

  std::vector<std::string> warnings;
  auto insufficient = insufficient_keys(coverage);
  if (!insufficient.empty())
    warnings.push_back("봉이 모자라 계산되지 않은 지표: " + fmt::join(insufficient, ", ") + " (보유 " + std::to_string(n) +
                       "봉). 값이 빠진 것은 '그런 신호가 없다'가 아니라 '아직 계산할 이력이 없다'는 뜻입니다.");
  if (!errors.empty()) warnings.push_back(server::indicator_error_warning(errors));
  warnings.insert(warnings.end(), exclusion_warnings.begin(), exclusion_warnings.end());

  json extra = json::object();
  extra["indicator_coverage"] = coverage;
  if (!errors.empty()) extra["indicator_errors"] = errors;
  if (!exclusion.is_null()) extra["bar_exclusions"] = exclusion;
  if (!extended.is_null()) extra["session_mix"] = extended;

  server::KrMetaArgs ma;
  ma.kind = "bars";
  ma.code = code;
  const mt::MarketCalendar& cal = mt::krx_calendar(can_after);
  ma.data_as_of = mt::bar_data_as_of(timeframe, valid.back().value("date", json()), cal, std::nullopt,
                                     server::latest_daily_day(code, timeframe));
  ma.bar_state = mt::bar_state(timeframe, valid, std::nullopt, &cal);
  if (ma.bar_state.is_object() && ma.bar_state["calculation_includes_incomplete"].is_boolean())
    ma.bar_forming = ma.bar_state["calculation_includes_incomplete"].get<bool>();
  ma.price_adjustment = event_reaction::price_adjustment_meta();
  ma.price_session = mt::price_session_for_bars(extended);
  ma.data_completeness = (!insufficient.empty() || !errors.empty()) ? rmeta::PARTIAL : rmeta::COMPLETE;
  if (!errors.empty()) ma.coverage = server::indicator_error_coverage();
  ma.warnings = warnings;
  ma.extra = extra;
  json meta = server::kr_meta(ma);
  body["_meta"] = meta;
  mt::mark_intraday_volume(body["indicators"], meta);
  return dump_compact(body);
}

struct StockOutcome {
  std::string code;
  json result;
  json bar_state;          // null when the stock failed
  int valid_bars = -1;     // -1 when not recorded
  int excluded = 0;
  bool after_market = false;
  json data_as_of;         // the day the last bar's numbers belong to
};

std::string get_indicators_bulk(const server::Args& a) {
  auto codes_opt = a.str_list("codes");
  if (!codes_opt || codes_opt->empty()) return "종목코드 리스트가 비어 있습니다.";
  std::vector<std::string> include = a.str_list("include").value_or(std::vector<std::string>{"ma_phase", "volume"});
  // The same code asked twice is one stock: fetched, counted and reported once.
  std::vector<std::string> codes;
  for (const auto& c : *codes_opt)
    if (std::find(codes.begin(), codes.end(), c) == codes.end()) codes.push_back(c);
  if (codes.size() > 100) codes.resize(100);
  if (auto bad = unknown_indicators_text(include)) return *bad;
  const int days = clamp_days(a);
  const std::string timeframe = a.str("timeframe");
  const json& params = a.value("params");

  // One task per stock, all at once; each keeps its own failure. Today's daily
  // bars of stocks cached up to yesterday come first, in a few batched quotes.
  ProgressStage progress("지표 계산");
  if (timeframe == "day") bars_cache::prefetch_today_bars(codes, days);
  // Each stock needs its chart and its market division; the two requests do not
  // depend on each other, so all of them go out together (one step, not a chart
  // and then a division per stock). Whichever of a stock's two requests ends last
  // computes that stock, so the arithmetic overlaps the others' waiting.
  const size_t n = codes.size();
  std::vector<json> fetched(n);
  std::vector<std::optional<std::string>> division(n);
  std::vector<std::vector<LedgerEntry>> division_ledger(n);
  std::vector<std::exception_ptr> chart_err(n);
  std::vector<std::atomic<int>> parts(n);   // requests of the stock answered so far
  std::vector<StockOutcome> out(n);
  auto compute = [&](size_t i) {
    StockOutcome& o = out[i];
    o.code = codes[i];
    try {
      if (chart_err[i]) std::rethrow_exception(chart_err[i]);
      const json& rows = fetched[i];
      if (!rows.is_array() || rows.empty()) {
        o.result = json{{"error", "OHLCV 없음"}};
        return;
      }
      auto split = indicators::split_valid_bars(rows);
      o.excluded = static_cast<int>(split.excluded.size());
      if (split.valid.empty()) {
        o.result = json{{"error", "봉 " + std::to_string(rows.size()) + "개 전체가 비정상 (거래정지 placeholder 등 입력 데이터 이상)"}};
        return;
      }
      o.valid_bars = static_cast<int>(split.valid.size());
      // The division was asked beside the chart; now that it labels bars, its request counts.
      record_held(std::move(division_ledger[i]));
      const bool can_after = mt::bars_can_include_after_market(division[i]);
      if (can_after && !mt::extended_bar_info(split.valid, timeframe).is_null()) o.after_market = true;
      // ETFs and ETNs close with the regular session.
      const mt::MarketCalendar& calendar = mt::krx_calendar(can_after);
      o.bar_state = mt::bar_state(timeframe, split.valid, std::nullopt, &calendar);
      o.data_as_of = mt::bar_data_as_of(timeframe, split.valid.back().value("date", json()), calendar, std::nullopt,
                                        server::latest_daily_day(o.code, timeframe));
      o.result = indicators::compute_indicators(split.valid, include, params, timeframe);
    } catch (const std::exception& e) {
      o.result = json{{"error", server::cause_text(e)}};
      o.bar_state = nullptr;
    }
    fetched[i] = json();   // the bars are let go here, in the worker, not all at the end
  };
  // A timeframe the chart source does not serve yields no bars and needs no division.
  const bool served = daily_timeframes().accepts(timeframe);
  auto fetch_errs = parallel_for(2 * n, 2 * n, [&](size_t k) {
    const size_t i = k / 2;
    if (k % 2 == 1 && !served) {
      // nothing to ask
    } else if (k % 2 == 0) {
      try {
        fetched[i] = bars_cache::get_ohlcv(codes[i], timeframe, days);
      } catch (...) {
        chart_err[i] = std::current_exception();
      }
    } else {
      LedgerHold hold;
      division[i] = naver::get_krx_sosok(codes[i]);   // never throws: unknown is nullopt
      division_ledger[i] = hold.take();
    }
    if (parts[i].fetch_add(1) == 1) compute(i);
  });
  // A stock whose request never started (the call was cancelled) has no outcome.
  std::vector<std::exception_ptr> errs(n);
  for (size_t i = 0; i < n; ++i)
    if (fetch_errs[2 * i] || fetch_errs[2 * i + 1]) errs[i] = fetch_errs[2 * i] ? fetch_errs[2 * i] : fetch_errs[2 * i + 1];
  for (size_t i = 0; i < errs.size(); ++i)
    if (errs[i]) {
      out[i].code = codes[i];
      out[i].result = json{{"error", "Error: 알 수 없는 실패"}};
      out[i].bar_state = nullptr;
    }

  int failed = 0, total_excluded = 0, min_valid = -1;
  json indicator_errors = json::array();
  json by_code = json::object();
  std::vector<json> states;
  json per_entity = json::object();
  json with_after = json::array();
  json results = json::object();
  std::string latest;
  for (const auto& o : out) {
    results[o.code] = o.result;
    if (o.result.contains("error")) ++failed;
    for (auto& e : server::indicator_error_list(o.result, o.code)) indicator_errors.push_back(e);
    if (o.excluded > 0) {
      total_excluded += o.excluded;
      by_code[o.code] = o.excluded;
    }
    if (o.valid_bars >= 0) min_valid = min_valid < 0 ? o.valid_bars : std::min(min_valid, o.valid_bars);
    if (o.after_market) with_after.push_back(o.code);
    if (o.bar_state.is_object()) {
      states.push_back(o.bar_state);
      std::string d = o.data_as_of.is_string() ? o.data_as_of.get<std::string>() : o.bar_state.value("last_bar_date", std::string());
      per_entity[o.code] = d;
      if (d > latest) latest = d;
    }
  }
  const int available = std::max(min_valid, 0);
  json coverage = server::indicator_coverage(str_array(include), available, params, timeframe);
  auto insufficient = insufficient_keys(coverage);
  json exclusions = nullptr;
  if (total_excluded > 0) exclusions = json{{"policy", "exclude"}, {"count", total_excluded}, {"by_code", by_code}};

  json body = json::object();
  body["timeframe"] = timeframe;
  body["days"] = days;
  body["include"] = str_array(include);
  body["count"] = codes.size();
  body["results"] = results;

  std::vector<std::string> warnings;
  if (failed) warnings.push_back(std::to_string(failed) + "개 종목 조회 실패 — results의 error 필드 확인.");
  if (!insufficient.empty())
    warnings.push_back("봉이 모자라 계산되지 않은 지표: " + fmt::join(insufficient, ", ") + " (가장 짧은 종목 " +
                       std::to_string(available) + "봉 기준).");
  if (!indicator_errors.empty()) {
    std::vector<std::string> parts;
    for (size_t i = 0; i < indicator_errors.size() && i < 8; ++i)
      parts.push_back(indicator_errors[i]["code"].get<std::string>() + ":" + indicator_errors[i]["indicator"].get<std::string>());
    warnings.push_back("계산에 실패한 지표 " + fmt::join(parts, ", ") + " - 값이 없는 것이지 신호가 없는 것이 아닙니다.");
  }
  if (!exclusions.is_null())
    warnings.push_back("거래정지 placeholder 등 비정상 봉 " + std::to_string(total_excluded) +
                       "개를 계산에서 제외했습니다(by_code 참고).");

  json session_mix = nullptr;
  if (!with_after.empty())
    session_mix = json{{"source", "naver_daily_bars"},
                       {"since", mt::KRX_AFTER_MARKET_START},
                       {"codes_with_after_market_bars", with_after},
                       {"after_market_last_trade", "close"},
                       {"regular_and_after_market", "high_low_volume"}};
  json extra = json::object();
  extra["indicator_coverage"] = coverage;
  extra["per_entity_data_as_of"] = per_entity;
  if (!session_mix.is_null()) extra["session_mix"] = session_mix;
  if (!indicator_errors.empty()) extra["indicator_errors"] = indicator_errors;
  if (!exclusions.is_null()) extra["bar_exclusions"] = exclusions;

  server::KrMetaArgs ma;
  ma.kind = "bars";
  ma.data_as_of = latest.empty() ? json(nullptr) : json(latest);
  ma.data_completeness =
      (failed || !insufficient.empty() || !indicator_errors.empty()) ? rmeta::PARTIAL : rmeta::COMPLETE;
  if (!indicator_errors.empty())
    ma.coverage = json{{"truncated", false}, {"coverage_complete", false}, {"reason", "indicator_error"}};
  ma.warnings = warnings;
  ma.bar_state = mt::merge_bar_states(states);
  ma.price_adjustment = event_reaction::price_adjustment_meta();
  ma.price_session = mt::price_session_for_bars(session_mix);
  ma.extra = extra;
  json meta = server::kr_meta(ma);
  body["_meta"] = meta;
  for (auto& [code, res] : body["results"].items()) mt::mark_intraday_volume(res, meta);
  return dump_compact(body);
}

const server::ToolRegistration reg_single{"get_indicators", kIndicatorsDoc, get_indicators};
const server::ToolRegistration reg_bulk{"get_indicators_bulk", kBulkDoc, get_indicators_bulk};
const server::ArgumentShape shape_get_indicators_code{"get_indicators", "code", server::Shape::KrCode};
const server::ArgumentShape shape_get_indicators_bulk_codes{"get_indicators_bulk", "codes", server::Shape::KrCode};

// The reply is the JSON document below; the host sends it as structuredContent too.
const server::ToolDecorRegistration decor_single{
    "get_indicators",
    {server::json_reply_schema({{"code", {{"type", "string"}}},
                                {"timeframe", {{"type", "string"}}},
                                {"days", {{"type", "integer"}}},
                                {"indicators", server::object_schema()}},
                               {"code", "timeframe", "indicators"})}};
const server::ToolDecorRegistration decor_bulk{
    "get_indicators_bulk",
    {server::json_reply_schema({{"timeframe", {{"type", "string"}}},
                                {"days", {{"type", "integer"}}},
                                {"include", server::array_schema()},
                                {"count", {{"type", "integer"}}},
                                {"results", server::object_schema()}},
                               {"results"})}};

}  // namespace
}  // namespace tessaro::tools
