#include "tools/kr/screener/screen_chart.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "core/call_context.hpp"
#include "core/format.hpp"
#include "core/parallel.hpp"
#include "core/result_meta.hpp"
#include "market_time/clock.hpp"
#include "server/arg_rules.hpp"
#include "server/meta.hpp"
#include "server/wrappers.hpp"
#include "sources/http.hpp"
#include "sources/market_data/daily_bars.hpp"
#include "sources/market_data/today_bars.hpp"
#include "sources/naver/naver.hpp"
#include "analysis/screener/screener.hpp"
#include "tools/kr/screener/screen_report.hpp"

namespace tessaro::tools::screen {

namespace {

constexpr long long kMaxSpanBars = 20000;

const char* kDoc =
    "차트조건검색 — 이평선·변동성 조건에 맞는 종목을 추립니다. 일봉은 증권사 연결 없이 됩니다.\n\n"
    "시가총액 상위 종목(universe_top, 시장별)의 일봉을 받아 조건을 모두 만족하는 종목만 표로 돌려줍니다. "
    "refine 을 주면 두 단계로 돕니다: 일봉으로 빠르게 추려 순위를 매긴 뒤 상위 refine_top 종목만 증권사 연결로 받은 "
    "분봉에서 다시 재고, 조건은 분봉으로 판정합니다.\n\n"
    "용어:\n"
    "- 이평폭: 가장 높은 이평과 가장 낮은 이평의 차이를 종가로 나눈 % (사용자가 숫자를 말하지 않으면 2.5 % — "
    "프리셋 \"이평수렴\"의 값 — 를 쓰세요)\n"
    "- 변동성: 최근 20봉 밴드폭이 그 종목 자기 이력에서 차지하는 백분위\n"
    "- 고저폭축소: 최근 N봉 고저폭 ÷ 그 앞 N봉 고저폭 (일봉 N=5, 분봉 N=20)\n"
    "- 이평이격: 종가가 이평들의 중심에서 떨어진 정도 %\n\n"
    "크로스는 증권사 정의를 따릅니다(골든크로스: 한 봉 전에는 짧은 선이 긴 선 아래, 지금은 위). 거래량배수의 이동평균은 "
    "현재 봉을 포함합니다. 신고가·신저가는 종가 기준입니다. MACD 는 12, 26, 9 고정이며 get_indicators 와 같습니다. "
    "분봉 후보는 처음에 종목당 7초쯤 걸립니다(증권사 호출이 초당 16회로 제한됨).\n\n"
    "프리셋: 이평수렴, 정배열, 역배열, 변동성수축 (명시한 인자가 프리셋보다 우선). ma_set 은 쉼표로 최대 5개, "
    "각 2~240.\n\n"
    "Args:\n"
    "    market: \"KOSPI\" / \"KOSDAQ\" / \"ALL\"(기본)\n"
    "    universe_top: 시장별 시가총액 상위 몇 종목을 볼지 (기본 300, 10~2000)\n"
    "    preset: 이평수렴 / 정배열 / 역배열 / 변동성수축 (없으면 조건을 직접)\n"
    "    ma_set: 이평 기간들, 쉼표로 최대 5개 (기본 \"5,20,60\", 각 2~240)\n"
    "    ma_spread_max: 이평폭 상한 %\n"
    "    ma_order: 이평 배열 — 정배열 / 역배열 / 뒤엉킴\n"
    "    volatility_pct_max: 변동성 백분위 상한 (0~100)\n"
    "    contraction_max: 고저폭축소 비율 상한 (예: 0.7)\n"
    "    dist_center_max: 이평이격 상한 %\n"
    "    price_min, price_max: 종가 범위 (원)\n"
    "    above_ma: 종가가 이 기간 이평 위 (2~240)\n"
    "    below_ma: 종가가 이 기간 이평 아래 (2~240)\n"
    "    cross: 골든크로스 / 데드크로스 (cross_ma 의 두 이평)\n"
    "    cross_ma: 크로스를 볼 짧은·긴 이평 (기본 \"5,20\")\n"
    "    cross_within: 크로스가 최근 몇 봉 안에 났는지 (기본 1, 1~60)\n"
    "    volume_ratio_min, volume_ratio_max: 거래량배수 범위 (현재 봉 거래량 ÷ volume_ma 봉 평균)\n"
    "    volume_ma: 거래량배수의 평균 기간 (기본 20)\n"
    "    ma_trend: 상승 / 하락 — ma_trend_ma 이평의 방향\n"
    "    ma_trend_ma: 방향을 볼 이평 기간 (기본 20)\n"
    "    ma_trend_count: 그 방향이 이어진 봉 수 (기본 2, 1~20)\n"
    "    new_high_days: N봉 신고가 (종가 기준, 2~2000)\n"
    "    new_low_days: N봉 신저가 (종가 기준, 2~2000)\n"
    "    change_days: 등락률을 잴 봉 수 (기본 1)\n"
    "    change_min, change_max: change_days 봉 등락률 범위 %\n"
    "    range_days: 구간 위치를 잴 봉 수 (기본 60)\n"
    "    range_position_min, range_position_max: range_days 고저 구간 안의 종가 위치 범위 (0=저가, 100=고가)\n"
    "    macd: 골든크로스 / 데드크로스 — MACD 선과 시그널\n"
    "    macd_within: MACD 크로스가 최근 몇 봉 안에 났는지 (기본 1, 1~60)\n"
    "    macd_zone: 0선위 / 0선아래\n"
    "    rsi_min, rsi_max: RSI 범위 (0~100)\n"
    "    rsi_period: RSI 기간 (기본 14)\n"
    "    count: 한 쪽에 보여 줄 종목 수 (기본 30, 1~100)\n"
    "    page: 쪽 번호 (기본 1)\n"
    "    exclude: 뺄 종목 — \"기본\"(관리종목·우선주·거래정지·스팩·리츠펀드·시장경보) / \"없음\" / 쉼표 목록\n"
    "    market_cap_min: 시가총액 하한 (억원, 기본 1000; 0=미적용)\n"
    "    refine: 분봉으로 다시 잴 때의 간격 (1m~240m; 없으면 일봉만)\n"
    "    refine_ma_set: 분봉 단계의 이평 기간들 (기본 \"30,60,150\")\n"
    "    refine_top: 분봉으로 다시 잴 상위 종목 수 (기본 30, 5~100)";

std::string with_none_meta(const std::string& text, const std::vector<std::string>& warnings) {
  server::KrMetaArgs m;
  m.kind = "bars";
  m.data_completeness = rmeta::NONE;
  m.warnings = warnings;
  return server::append_result_meta(text, server::kr_meta(m));
}

std::set<std::string> code_set(const json& v) {
  std::set<std::string> out;
  if (v.is_array()) {
    for (const auto& e : v) {
      if (e.is_string()) out.insert(e.get<std::string>());
      else if (e.is_object() && e.contains("code") && e["code"].is_string()) out.insert(e["code"].get<std::string>());
    }
  } else if (v.is_object()) {
    for (auto it = v.begin(); it != v.end(); ++it) out.insert(it.key());
  }
  return out;
}

std::string text_of(const json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number_integer()) return std::to_string(v.get<long long>());
  return "";
}

void sleep_s(double s) {
  if (s > 0) std::this_thread::sleep_for(std::chrono::microseconds((long long)(s * 1e6)));
}

json opt_number(const server::Args& a, const char* k) {
  const json& v = a.value(k);
  return v.is_number() ? json(v.get<double>()) : json(nullptr);
}

}  // namespace

Sources default_sources() {
  Sources s;
  s.market_cap_page = [](const std::string& m, int page, int count) { return naver::get_market_cap_page(m, page, count); };
  s.management_codes = [] { return naver::get_management_codes(); };
  s.alert_codes = [] { return naver::get_alert_codes(); };
  s.daily_bars = [](const std::string& code, int count) { return bars_cache::get_ohlcv(code, "day", count); };
  s.today_bars = [](const std::vector<std::string>& codes, int count) { bars_cache::prefetch_today_bars(codes, count); };
  s.intraday = [](const screener::IntradayRequest& r) { return screener::fetch_intraday_dataset(r); };
  return s;
}

std::pair<std::vector<json>, json> screen_chart_universe(const Sources& src, const std::string& market, int top_n,
                                            const std::vector<std::string>& exclude_list, double cap_min,
                                            std::vector<std::string>* failed_markets,
                                            std::vector<std::string>* failed_filters) {
  std::set<std::string> exclude(exclude_list.begin(), exclude_list.end());
  std::vector<std::string> markets = market == "ALL" ? std::vector<std::string>{"KOSPI", "KOSDAQ"}
                                                     : std::vector<std::string>{market};
  std::set<std::string> admin, alert;
  if (exclude.count("관리종목")) {
    try {
      admin = code_set(src.management_codes());
    } catch (const Cancelled&) {
      throw;
    } catch (const std::exception& e) {
      // Not read is not "none designated": the screen says which filter did not apply.
      if (failed_filters) failed_filters->push_back("관리종목 목록(" + lookup_reason(e) + ")");
    }
  }
  if (exclude.count("시장경보")) {
    try {
      alert = code_set(src.alert_codes());
    } catch (const Cancelled&) {
      throw;
    } catch (const std::exception& e) {
      if (failed_filters) failed_filters->push_back("시장경보 목록(" + lookup_reason(e) + ")");
    }
  }
  std::vector<json> candidates;
  std::vector<double> caps;   // market cap of each candidate (억원), for the merge of two markets
  json dropped = json::object();
  auto drop = [&](const std::string& reason) { dropped[reason] = dropped.value(reason, 0) + 1; };
  std::string cap_reason = "시총 " + fmt::fixed(cap_min, 0, true) + "억 미만";
  for (const auto& m : markets) {
    std::vector<json> rows;
    try {
      for (int page = 1; int(rows.size()) < top_n; ++page) {
        json res = src.market_cap_page(m, page, 500);
        const json& pr = res.is_object() && res.contains("rows") ? res["rows"] : json::array();
        if (!pr.is_array() || pr.empty()) break;
        for (const auto& r : pr) rows.push_back(r);
        if (!res.value("has_next", false)) break;
      }
    } catch (const std::exception&) {
      if (failed_markets) failed_markets->push_back(m);
    }
    if (int(rows.size()) > top_n) rows.resize(size_t(top_n));
    for (const auto& r : rows) {
      std::string code = r.is_object() ? text_of(r.value("code", json(nullptr))) : "";
      if (code.empty()) continue;
      std::string name = text_of(r.value("name", json("")));
      std::string sec = text_of(r.value("security_type", json("")));
      bool stop = r.value("trade_stop", false) == true;
      double cap = r.contains("market_cap_billion") && r["market_cap_billion"].is_number()
                       ? r["market_cap_billion"].get<double>()
                       : 0.0;
      if (exclude.count("거래정지") && stop) drop("거래정지");
      else if (exclude.count("리츠펀드") && !sec.empty()) drop("리츠펀드");
      else if (exclude.count("우선주") && screener::is_preferred_share(code, name)) drop("우선주");
      else if (exclude.count("스팩") && screener::is_spac(name)) drop("스팩");
      else if (exclude.count("관리종목") && admin.count(code)) drop("관리종목");
      else if (exclude.count("시장경보") && alert.count(code)) drop("시장경보");
      else if (cap_min > 0 && cap < cap_min) drop(cap_reason);
      else {
        candidates.push_back({{"code", code}, {"name", name}, {"market", m}});
        caps.push_back(cap);
      }
    }
  }
  // Both markets: one market-cap order, so that "시가총액 큰 순" holds across them.
  if (markets.size() > 1) {
    std::vector<size_t> idx(candidates.size());
    for (size_t i = 0; i < idx.size(); ++i) idx[i] = i;
    std::stable_sort(idx.begin(), idx.end(), [&](size_t x, size_t y) { return caps[x] > caps[y]; });
    std::vector<json> merged;
    merged.reserve(idx.size());
    for (size_t i : idx) merged.push_back(std::move(candidates[i]));
    candidates = std::move(merged);
  }
  return {candidates, dropped};
}

std::pair<json, bool> screen_chart_intraday_rows(const Sources& src, const std::string& code, const std::string& interval,
                                    int need_bars) {
  std::map<std::string, json> bars;   // start_at -> bar
  bool complete = true;
  mt::Day ref = mt::to_kst(mt::now()).date();
  for (int call = 0; call < SCREEN_INTRADAY_MAX_CALLS; ++call) {
    screener::IntradayRequest req;
    req.symbol = code;
    req.market = "KR";
    req.interval = interval;
    req.trading_date = mt::day_str(ref);
    req.row_limit = 500;
    req.session = "regular";
    req.completed_only = true;
    req.source = "auto";
    json ds;
    bool got = false;
    for (int attempt = 1; attempt <= SCREEN_INTRADAY_RETRIES; ++attempt) {
      try {
        ds = src.intraday(req);
        got = true;
        break;
      } catch (const screener::BrokerApiError&) {
        if (attempt < SCREEN_INTRADAY_RETRIES) sleep_s(src.retry_base_seconds * attempt);
      }
      // SymbolMappingError and RouterError go to the caller unchanged.
    }
    if (!got) {
      complete = false;
      break;
    }
    std::string earliest;
    if (ds.is_object() && ds.contains("bars") && ds["bars"].is_array()) {
      for (const auto& b : ds["bars"]) {
        if (!b.is_object() || !b.contains("start_at") || !b["start_at"].is_string()) continue;
        std::string at = b["start_at"].get<std::string>();
        bars[at] = b;
        if (earliest.empty() || at < earliest) earliest = at;
      }
    }
    const json cov = ds.is_object() && ds.contains("coverage") ? ds["coverage"] : json::object();
    bool failed = cov.is_object() && cov.contains("failure_status") && !cov["failure_status"].is_null() &&
                  !(cov["failure_status"].is_string() && cov["failure_status"].get<std::string>().empty());
    if (failed || (cov.is_object() && cov.value("complete", true) == false)) {
      complete = false;
      break;
    }
    if (int(bars.size()) >= need_bars || earliest.empty()) break;
    auto d = mt::parse_day(earliest.substr(0, 10));
    if (!d) break;
    ref = *d - std::chrono::days(1);
  }
  json rows = json::array();
  for (auto& [at, b] : bars)
    rows.push_back({{"date", at}, {"open", b.value("open", json(nullptr))}, {"high", b.value("high", json(nullptr))},
                    {"low", b.value("low", json(nullptr))}, {"close", b.value("close", json(nullptr))},
                    {"volume", b.value("volume", json(nullptr))}});
  return {rows, complete};
}

constexpr long long kMaxPage = 1'000'000'000'000LL;   // keeps (page - 1) * count in range

// "" is the whole market; an empty refine is no refinement.
const server::Choices kMarkets{{"ALL", "KOSPI", "KOSDAQ"}, server::Fold::Upper, {""}};
const server::Choices kRefine{SCREEN_INTERVALS, server::Fold::Lower, {""}};
const server::ArgumentChoices reg_market{"screen_chart", "market", kMarkets};
const server::ArgumentChoices reg_refine{"screen_chart", "refine", kRefine};
// Preset names are read trimmed; "" is no preset.
const server::Choices kPresets{[] {
                                 std::vector<std::string> names;
                                 for (auto it = screener::PRESETS().begin(); it != screener::PRESETS().end(); ++it)
                                   names.push_back(it.key());
                                 return names;
                               },
                               server::Fold::Trim, {""}};
const server::ArgumentChoices reg_preset{"screen_chart", "preset", kPresets};
// The closed conditions: the schema lists the words their parsers take.
const server::Choices kCrossWords{screener::CROSS_WORDS, server::Fold::Lower, {""}};
const server::Choices kTrendWords{screener::TREND_WORDS, server::Fold::Lower, {""}};
const server::Choices kZoneWords{screener::MACD_ZONE_WORDS, server::Fold::Lower, {""}};
const server::Choices kMaOrders{[] { return screener::MA_ORDERS(); }, server::Fold::Trim, {""}};
const server::ArgumentChoices reg_cross{"screen_chart", "cross", kCrossWords};
const server::ArgumentChoices reg_macd{"screen_chart", "macd", kCrossWords};
const server::ArgumentChoices reg_trend{"screen_chart", "ma_trend", kTrendWords};
const server::ArgumentChoices reg_zone{"screen_chart", "macd_zone", kZoneWords};
const server::ArgumentChoices reg_order{"screen_chart", "ma_order", kMaOrders};
const server::ArgumentPattern reg_exclude{"screen_chart", "exclude", screener::exclude_pattern};

std::string screen_chart(const server::Args& a, const Sources& src) {
  // ---- arguments ---------------------------------------------------------
  std::string market = kMarkets.read(a.str("market"));
  if (market.empty()) market = "ALL";
  if (!kMarkets.accepts(market))
    return "⚠️ market 은 KOSPI, KOSDAQ, ALL 중 하나여야 합니다: " + a.str("market");
  int universe_top = int(std::clamp<long long>(a.integer("universe_top"), 10, 2000));
  long long requested_count = a.integer("count");
  int count = int(std::clamp<long long>(requested_count, 1, 100));
  // A huge page number is a page past the end, never page 1 (no narrowing).
  long long page = std::clamp<long long>(a.integer("page"), 1, kMaxPage);
  int refine_top = int(std::clamp<long long>(a.integer("refine_top"), 5, 100));

  std::optional<std::string> refine;
  if (auto r = a.opt_str("refine"); r && !r->empty()) {
    std::string v = kRefine.read(*r);
    if (!kRefine.accepts(v))
      return with_none_meta("⚠️ 지원하지 않는 분봉 주기입니다: \"" + *r + "\"\n사용할 수 있는 값: " +
                                fmt::join(SCREEN_INTERVALS, ", "),
                            {"지원하지 않는 분봉 주기: " + v});
    refine = v;
  }
  double cap_min = a.has("market_cap_min") ? a.number("market_cap_min") : 1000.0;
  int cross_within = int(std::clamp<long long>(a.integer("cross_within"), 1, 60));
  int volume_ma = int(std::clamp<long long>(a.integer("volume_ma"), 2, screener::MAX_MA_PERIOD));
  int trend_ma = int(std::clamp<long long>(a.integer("ma_trend_ma"), 2, screener::MAX_MA_PERIOD));
  int trend_count = int(std::clamp<long long>(a.integer("ma_trend_count"), 1, 20));
  // No lower than the table allows; the upper cap only keeps bar counts in range
  // (no listing has that many daily bars).
  int change_days = int(std::clamp<long long>(a.integer("change_days"), 1, kMaxSpanBars));
  int range_days = int(std::clamp<long long>(a.integer("range_days"), 2, kMaxSpanBars));
  int macd_within = int(std::clamp<long long>(a.integer("macd_within"), 1, 60));
  int rsi_period = int(std::clamp<long long>(a.integer("rsi_period"), 2, 240));

  std::vector<std::string> exclude;
  std::vector<int> ma_periods, refine_periods;
  json cross, trend, macd, macd_zone, conditions;
  std::optional<std::pair<int, int>> cross_pair;
  auto above_ma = a.opt_int("above_ma"), below_ma = a.opt_int("below_ma");
  auto new_high = a.opt_int("new_high_days"), new_low = a.opt_int("new_low_days");
  try {
    auto ex = screener::parse_exclude(a.str("exclude"));
    exclude.assign(ex.begin(), ex.end());
    ma_periods = screener::parse_ma_set(a.str("ma_set"));
    if (refine) refine_periods = screener::parse_ma_set(a.str("refine_ma_set"));
    cross = screener::parse_cross(a.value("cross"));
    if (!cross.is_null()) cross_pair = screener::parse_ma_pair(a.str("cross_ma"));
    trend = screener::parse_trend(a.value("ma_trend"));
    macd = screener::parse_macd(a.value("macd"));
    macd_zone = screener::parse_macd_zone(a.value("macd_zone"));
    for (auto [name, v] : {std::pair<const char*, std::optional<long long>>{"above_ma", above_ma},
                           std::pair<const char*, std::optional<long long>>{"below_ma", below_ma}}) {
      if (v && (*v < screener::MIN_MA_PERIOD || *v > screener::MAX_MA_PERIOD))
        throw screener::ScreenerInputError(std::string(name) + " 는 " + std::to_string(screener::MIN_MA_PERIOD) +
                                           " ~ " + std::to_string(screener::MAX_MA_PERIOD) + " 사이여야 합니다: " +
                                           std::to_string(*v));
    }
    for (auto [name, v] : {std::pair<const char*, std::optional<long long>>{"new_high_days", new_high},
                           std::pair<const char*, std::optional<long long>>{"new_low_days", new_low}}) {
      if (v && (*v < 2 || *v > 2000))
        throw screener::ScreenerInputError(std::string(name) + " 는 2 ~ 2000 사이여야 합니다: " + std::to_string(*v));
    }
    auto opt_int_json = [](const std::optional<long long>& v) { return v ? json(*v) : json(nullptr); };
    json ov = json::object();
    ov["ma_spread_max"] = opt_number(a, "ma_spread_max");
    std::string order = fmt::trim(a.str("ma_order"));
    ov["ma_order"] = order.empty() ? json(nullptr) : json(order);
    ov["volatility_pct_max"] = opt_number(a, "volatility_pct_max");
    ov["contraction_max"] = opt_number(a, "contraction_max");
    ov["dist_center_max"] = opt_number(a, "dist_center_max");
    ov["price_min"] = opt_number(a, "price_min");
    ov["price_max"] = opt_number(a, "price_max");
    ov["above_ma"] = opt_int_json(above_ma);
    ov["below_ma"] = opt_int_json(below_ma);
    ov["cross"] = cross;
    ov["volume_ratio_min"] = opt_number(a, "volume_ratio_min");
    ov["volume_ratio_max"] = opt_number(a, "volume_ratio_max");
    ov["ma_trend"] = trend;
    ov["new_high"] = opt_int_json(new_high);
    ov["new_low"] = opt_int_json(new_low);
    ov["change_min"] = opt_number(a, "change_min");
    ov["change_max"] = opt_number(a, "change_max");
    ov["range_position_min"] = opt_number(a, "range_position_min");
    ov["range_position_max"] = opt_number(a, "range_position_max");
    ov["macd"] = macd;
    ov["macd_zone"] = macd_zone;
    ov["rsi_min"] = opt_number(a, "rsi_min");
    ov["rsi_max"] = opt_number(a, "rsi_max");
    conditions = screener::resolve_conditions(a.value("preset"), ov);
  } catch (const screener::ScreenerInputError& e) {
    return std::string("⚠️ ") + e.what();
  }

  if (conditions.empty()) {
    std::vector<std::string> names;
    for (auto it = screener::PRESETS().begin(); it != screener::PRESETS().end(); ++it) names.push_back(it.key());
    std::string ind(10, ' ');
    std::vector<std::string> lines = {"조건을 하나 이상 지정해 주세요.",
                                      "",
                                      "프리셋: " + fmt::join(names, ", "),
                                      "개별 조건: ma_spread_max(이평폭 %), ma_order(정배열/역배열),",
                                      ind + "volatility_pct_max(변동성 백분위), contraction_max(고저폭 축소),",
                                      ind + "dist_center_max(이평 이격 %), price_min/price_max(주가),",
                                      ind + "above_ma/below_ma(종가가 N일선 위·아래), cross(골든/데드크로스),",
                                      ind + "volume_ratio_min/max(거래량이 평소의 몇 배), ma_trend(상승/하락),",
                                      ind + "new_high_days/new_low_days(N일 신고가·신저가),",
                                      ind + "change_days+change_min/max(기간 등락률),",
                                      ind + "range_days+range_position_min/max(기간내 고점·바닥 위치),",
                                      ind + "macd(골든/데드크로스)+macd_zone(0선위/0선아래), rsi_min/rsi_max"};
    return with_none_meta(fmt::join(lines, "\n"), {"조건이 비어 있어 검색하지 않았습니다."});
  }

  // ---- universe ------------------------------------------------------------
  std::vector<std::string> failed_markets, failed_filters;
  auto [candidates, dropped] =
      screen_chart_universe(src, market, universe_top, exclude, cap_min, &failed_markets, &failed_filters);
  if (candidates.empty()) {
    if (!failed_markets.empty())
      return with_none_meta("⚠️ " + market + " 후보 목록 조회 실패 — 시가총액 순위(" + fmt::join(failed_markets, ", ") +
                                ")를 받지 못해 검색하지 못했습니다. 조건을 만족하는 종목이 없는 것이 아니라 확인하지 "
                                "못했습니다.\n" + server::DOCTOR_HINT,
                            {"조회 실패: " + fmt::join(failed_markets, ", ") + " 시가총액 순위"});
    return with_none_meta(market + " 후보 목록을 가져올 수 없습니다.", {market + " 시가총액 순위를 가져오지 못했습니다."});
  }

  // ---- what to compute -------------------------------------------------------
  bool trend_on = !trend.is_null();
  bool macd_on = !macd.is_null() || !macd_zone.is_null();
  bool rsi_on = conditions.contains("rsi_min") || conditions.contains("rsi_max");
  std::optional<int> high_low_days, low_days;
  if (new_high) high_low_days = int(*new_high);
  else if (new_low) high_low_days = int(*new_low);
  if (new_high && new_low) low_days = int(*new_low);   // each extreme on its own window
  std::vector<int> extra_ma;
  if (above_ma) extra_ma.push_back(int(*above_ma));
  if (below_ma) extra_ma.push_back(int(*below_ma));
  bool change_on = conditions.contains("change_min") || conditions.contains("change_max");
  bool range_on = conditions.contains("range_position_min") || conditions.contains("range_position_max");

  auto need_for = [&](const std::vector<int>& stage_periods, int* largest) {
    std::vector<int> all = stage_periods;
    all.insert(all.end(), extra_ma.begin(), extra_ma.end());
    if (cross_pair) {
      all.push_back(cross_pair->first);
      all.push_back(cross_pair->second);
    }
    if (trend_on) all.push_back(trend_ma);
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    *largest = all.empty() ? 0 : all.back();
    int extra = 0;
    if (cross_pair) extra = std::max(extra, cross_within);
    if (high_low_days) extra = std::max(extra, *high_low_days);
    if (low_days) extra = std::max(extra, *low_days);
    if (change_on) extra = std::max(extra, change_days);
    if (range_on) extra = std::max(extra, range_days);
    if (trend_on) extra = std::max(extra, trend_count);
    if (macd_on) extra = std::max(extra, screener::MACD_SLOW + screener::MACD_SIGNAL + macd_within);
    if (rsi_on) extra = std::max(extra, 2 * rsi_period);
    return screener::bars_needed(all) + extra;
  };
  auto params_for = [&](const std::vector<int>& stage_periods, int contraction_window) {
    screener::EvalParams p;
    p.ma_periods = stage_periods;
    p.extra_ma = extra_ma;
    p.cross_pair = cross_pair;
    p.cross_within = cross_within;
    p.volume_ma = volume_ma;
    if (trend_on) p.trend_ma = trend_ma;
    p.trend_count = trend_count;
    p.high_low_days = high_low_days;
    p.low_days = low_days;
    p.change_days = change_days;
    p.range_days = range_days;
    p.macd_within = macd_within;
    p.rsi_period = rsi_period;
    p.contraction_window = contraction_window;
    return p;
  };
  json spans = {{"ma_trend_ma", trend_ma}, {"ma_trend_count", trend_count}, {"change_days", change_days},
                {"range_days", range_days}};

  // ---- stage 1: daily --------------------------------------------------------
  int largest = 0;
  int need = need_for(ma_periods, &largest);
  screener::EvalParams p1 = params_for(ma_periods, screener::DAILY_CONTRACTION_WINDOW);
  enum class St { Failed, Short, Ok };
  std::vector<St> status(candidates.size(), St::Failed);
  std::vector<json> measured(candidates.size());
  ProgressStage daily_progress("일봉 조건 검사");
  if (src.today_bars) {
    std::vector<std::string> codes;
    codes.reserve(candidates.size());
    for (const auto& c : candidates) codes.push_back(c["code"].get<std::string>());
    src.today_bars(codes, need);
  }
  // At most SCREEN_DAILY_CONCURRENCY daily requests are in flight; the bound is
  // held for each request's transfer only, so while some answers are read and
  // measured the next requests are already out.
  Semaphore daily_gate(SCREEN_DAILY_CONCURRENCY);
  parallel_for(candidates.size(), 2 * SCREEN_DAILY_CONCURRENCY, [&](size_t i) {
    json rows;
    {
      http::RequestBound bound(daily_gate);
      try {
        rows = src.daily_bars(candidates[i]["code"].get<std::string>(), need);
      } catch (const std::exception&) {
        status[i] = St::Failed;
        return;
      }
    }
    json m = screener::evaluate(rows, p1);
    if (m.is_null()) {
      status[i] = St::Short;
      return;
    }
    // Daily bars are dated YYYYMMDD in the measurement.
    if (m.contains("last_date") && m["last_date"].is_string()) {
      std::string d = m["last_date"].get<std::string>();
      if (d.size() == 10 && d[4] == '-' && d[7] == '-') m["last_date"] = d.substr(0, 4) + d.substr(5, 2) + d.substr(8, 2);
    }
    measured[i] = std::move(m);
    status[i] = St::Ok;
  });
  std::vector<Pair> evaluated;
  int failed = 0, short_bars = 0;
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (status[i] == St::Failed) ++failed;
    else if (status[i] == St::Short) ++short_bars;
    else evaluated.push_back({candidates[i], std::move(measured[i])});
  }
  measured.clear();

  std::string prefix = refine ? "1단계 일봉에서 " : "";
  std::vector<std::string> notes;
  for (const auto& m : failed_markets) notes.push_back(m + " 시가총액 순위 조회 실패 — 그 시장 종목은 검색하지 못했습니다.");
  for (const auto& f : failed_filters)
    notes.push_back(f + " 조회 실패 — 제외 조건을 적용하지 못해 해당 종목이 결과에 남아 있을 수 있습니다.");
  if (failed > 0) notes.push_back(prefix + "일봉 조회 실패 " + std::to_string(failed) + "종목 — 후보에서 제외했습니다.");
  // Every measurement failed: nothing was screened, which is not "nothing matched".
  if (evaluated.empty() && failed > 0 && short_bars == 0)
    return with_none_meta("⚠️ " + prefix + "일봉 조회 실패 " + std::to_string(failed) + "종목 (후보 " +
                              std::to_string(candidates.size()) +
                              "종목 전부) — 조건을 만족하는 종목이 없는 것이 아니라 일봉을 받지 못해 확인하지 "
                              "못했습니다. 잠시 후 다시 시도해 주세요.\n" + server::DOCTOR_HINT,
                          notes);
  if (short_bars > 0)
    notes.push_back(prefix + "봉이 모자라 계산하지 못한 종목 " + std::to_string(short_bars) + "개 — 제외했습니다(이평 " +
                    std::to_string(largest) + "일에는 최소 " + std::to_string(need) + "봉이 필요합니다).");
  std::string completeness = failed == 0 && short_bars == 0 && failed_markets.empty() && failed_filters.empty()
                                 ? rmeta::COMPLETE
                                 : rmeta::PARTIAL;

  // What failed is said in the text, not only in the meta: a reader of the table
  // must know which part of the market was not screened.
  std::vector<std::string> fail_notes;
  for (const auto& n : notes)
    if (n.find("실패") != std::string::npos) fail_notes.push_back("⚠️ " + n);
  auto say_failures = [fail_notes](std::string reply) {
    if (fail_notes.empty()) return reply;
    std::string add = "\n\n" + fmt::join(fail_notes, "\n");
    auto cut = reply.find(std::string("\n\n") + rmeta::START_MARKER);
    if (cut == std::string::npos) return reply + add;
    return reply.insert(cut, add);
  };

  auto rank_sorted = [&](std::vector<Pair> v) {
    std::vector<std::pair<double, size_t>> keys;
    for (size_t i = 0; i < v.size(); ++i) keys.push_back({screener::rank_score(v[i].second, conditions), i});
    std::stable_sort(keys.begin(), keys.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    std::vector<Pair> out;
    for (auto& k : keys) out.push_back(std::move(v[k.second]));
    return out;
  };

  RenderArgs r;
  r.conditions = conditions;
  r.universe = candidates;
  r.count = count;
  r.requested_count = requested_count;
  r.page = page;
  r.market = market;
  r.universe_top = universe_top;
  r.dropped = dropped;
  r.spans = spans;

  if (!refine) {
    std::vector<Pair> matched;
    for (const auto& pr : evaluated)
      if (screener::matches(pr.second, conditions)) matched.push_back(pr);
    r.timeframe_label = "일봉";
    r.unit = "일";
    r.periods = ma_periods;
    r.evaluated = std::move(evaluated);
    r.matched = rank_sorted(std::move(matched));
    r.warnings = notes;
    r.completeness = completeness;
    r.coverage_reason = "indicator_error";
    r.extra = {{"screen_timeframe", "day"}};
    return say_failures(screen_chart_render(r));
  }

  // ---- stage 2: intraday -------------------------------------------------------
  json price_only = json::object();
  for (const char* k : {"price_min", "price_max"})
    if (conditions.contains(k)) price_only[k] = conditions[k];
  std::vector<Pair> ranked;
  for (const auto& pr : evaluated)
    if (screener::matches(pr.second, price_only)) ranked.push_back(pr);
  ranked = rank_sorted(std::move(ranked));
  if (ranked.size() > size_t(refine_top)) ranked.resize(size_t(refine_top));
  const std::vector<Pair>& top = ranked;

  int largest2 = 0;
  int need2 = need_for(refine_periods, &largest2);
  screener::EvalParams p2 = params_for(refine_periods, screener::INTRADAY_CONTRACTION_WINDOW);
  std::mutex mu;
  std::atomic<bool> routed_out{false};
  std::string route_error;
  std::vector<St> st2(top.size(), St::Failed);
  std::vector<json> m2(top.size());
  std::vector<char> skipped(top.size(), 0);
  ProgressStage fine_progress("분봉 정밀 검사");
  Semaphore fine_gate(SCREEN_INTRADAY_CONCURRENCY);
  parallel_for(top.size(), SCREEN_INTRADAY_CONCURRENCY, [&](size_t i) {
    if (routed_out) {
      skipped[i] = 1;
      return;
    }
    std::pair<json, bool> got;
    {
      SemaphoreGuard g(fine_gate);
      if (routed_out) {
        skipped[i] = 1;
        return;
      }
      try {
        got = screen_chart_intraday_rows(src, top[i].first["code"].get<std::string>(), *refine, need2);
      } catch (const screener::RouterError& e) {
        std::lock_guard<std::mutex> lk(mu);
        if (!routed_out) route_error = e.what();
        routed_out = true;
        skipped[i] = 1;
        return;
      } catch (const std::exception&) {
        st2[i] = St::Failed;
        return;
      }
    }
    json m = screener::evaluate(got.first, p2);
    if (m.is_null()) {
      st2[i] = got.second ? St::Short : St::Failed;
      return;
    }
    m2[i] = std::move(m);
    st2[i] = St::Ok;
  });

  if (routed_out) {
    std::string first = "분봉 정밀검증을 할 수 없습니다: " + route_error;
    std::vector<std::string> lines = {first,
                                      "",
                                      "국내 분봉은 증권사(한국투자증권·키움증권) 연결이 있어야 받습니다.",
                                      "Orvane Manager 의 증권사 연결을 확인해 주세요.",
                                      "",
                                      "연결 없이 지금 사용할 수 있는 것: refine 을 빼고 같은 조건으로 일봉 검색을 하면 " +
                                          std::to_string(candidates.size()) + "종목을 몇 초 안에 살펴봅니다."};
    std::vector<std::string> w = notes;
    w.push_back(first);
    return with_none_meta(fmt::join(lines, "\n"), w);
  }

  std::vector<Pair> fine_evaluated;
  int fine_failed = 0, fine_short = 0;
  for (size_t i = 0; i < top.size(); ++i) {
    if (skipped[i]) continue;
    if (st2[i] == St::Failed) ++fine_failed;
    else if (st2[i] == St::Short) ++fine_short;
    else fine_evaluated.push_back({top[i].first, std::move(m2[i])});
  }
  if (fine_failed > 0) {
    notes.push_back("분봉을 끝까지 받지 못한 종목 " + std::to_string(fine_failed) +
                    "개 — 제외했습니다. 증권사 조회 한도에 걸린 것이라 **잠시 후 다시 하면 더 나옵니다** (봉이 없는 것과 다릅니다).");
    completeness = rmeta::PARTIAL;
  }
  if (fine_short > 0) {
    notes.push_back("분봉이 모자라 계산하지 못한 종목 " + std::to_string(fine_short) + "개 — 제외했습니다(이평 " +
                    std::to_string(largest2) + "봉에는 최소 " + std::to_string(need2) +
                    "봉이 필요한데 상장 기간이 짧습니다. 다시 해도 같습니다).");
    completeness = rmeta::PARTIAL;
  }
  std::vector<Pair> matched;
  for (const auto& pr : fine_evaluated)
    if (screener::matches(pr.second, conditions)) matched.push_back(pr);
  r.stage_line = "1단계 일봉 " + std::to_string(evaluated.size()) + "종목 → 상위 " + std::to_string(top.size()) +
                 " → 2단계 " + *refine + " 계산 " + std::to_string(fine_evaluated.size());
  r.timeframe_label = *refine + " 분봉";
  r.unit = "봉";
  r.periods = refine_periods;
  r.evaluated = std::move(fine_evaluated);
  r.matched = rank_sorted(std::move(matched));
  r.warnings = notes;
  r.completeness = completeness;
  r.coverage_reason = "server_cap";
  r.extra = {{"screen_timeframe", *refine}, {"screen_stage1_ma_set", ma_periods}, {"screen_refine_top", refine_top}};
  return say_failures(screen_chart_render(r));
}

namespace {
std::string screen_chart_tool(const server::Args& a) { return screen_chart(a, default_sources()); }
const server::ToolRegistration reg{"screen_chart", kDoc, screen_chart_tool};
}  // namespace

}  // namespace tessaro::tools::screen
