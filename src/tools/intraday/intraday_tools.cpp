// get_intraday_chart / get_intraday_indicators: minute and hour bars of Korean and
// US stocks from the connected broker or a public source, and indicators on the
// very same bars.
#include <algorithm>

#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "server/output_schema.hpp"
#include "server/arg_rules.hpp"
#include "server/chart_view.hpp"
#include "server/tool_helpers.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "server/wrappers.hpp"
#include "analysis/indicators/indicators.hpp"
#include "tools/intraday/intraday.hpp"

namespace tessaro::tools {
namespace {

namespace md = market_data;
using intraday::DatasetRequest;

const char* kChartDoc =
    "분봉차트 — 국내·미국 분봉/시간봉 OHLCV (증권사 연결 필요 구간 있음).\n\n"
    "증권사(KIS 또는 키움)를 연결한 사용자는 주 사용 증권사에서 국내·미국 분봉을 받습니다. 연결하지 않은 사용자는 "
    "미국 분봉을 야후에서, 국내 정규장 분봉(KRX)을 네이버에서 받습니다. 일봉·주봉·월봉은 get_chart(국내) / get_us_chart(미국)를 쓰세요.\n"
    "_meta.bar_forming 이 true 이면 마지막 봉이 아직 만들어지는 중입니다. '세션 꼬리 봉'은 장 마감으로 짧게 끝난 봉이라 "
    "일반 봉과 거래량을 직접 비교하면 안 됩니다.\n\n"
    "Args:\n"
    "    symbol: 국내 6자리 종목코드 또는 미국 티커\n"
    "    market: \"KR\" 또는 \"US\"\n"
    "    interval: 1m|3m|5m|10m|15m|30m|60m|120m|240m (기본 5m)\n"
    "    date: 기준 거래일 YYYY-MM-DD (기본: 최근 거래일)\n"
    "    row_limit: 최대 반환 봉 수 (기본 120, 최대 500)\n"
    "    venue: KR은 KRX 고정. US를 증권사로 받을 때는 NYS|NAS|AMS 필요\n"
    "    session: regular (현재 정규장만 지원)\n"
    "    completed_only: true면 끝난 봉만 (기본 true)\n"
    "    source: auto|kis|kiwoom|naver|yahoo. auto는 주 사용 증권사에 고정되고, 증권사가 없으면 국내는 네이버, 미국은 "
    "야후를 씁니다. 증권사를 직접 지정하면 그 "
    "증권사만 씁니다(실패해도 다른 곳으로 바꾸지 않음).";

const char* kIndicatorsDoc =
    "분봉지표 — 분봉/시간봉 기술지표 (JSON). get_intraday_chart 와 같은 봉으로 계산합니다(출처를 섞지 않음).\n\n"
    "bars 는 일수가 아니라 봉 개수입니다. 일봉 지표(get_indicators)와 다른 키가 있습니다: "
    "position.lookback_high/low 는 52주가 아니라 받아온 구간의 고가·저가이고, bars_ago 는 봉 수이며, "
    "volume.trade_value_est_krw / _usd 는 종가×거래량 추정치입니다.\n\n"
    "Args:\n"
    "    symbol: 국내 6자리 종목코드 또는 미국 티커\n"
    "    market: \"KR\" 또는 \"US\"\n"
    "    interval: 1m|3m|5m|10m|15m|30m|60m|120m|240m (기본 60m)\n"
    "    bars: 계산에 쓸 봉 개수 (기본 260, 30~500)\n"
    "    include: 지표 목록 (기본 [\"ma\",\"ma_phase\",\"volume\",\"candle\"])\n"
    "    venue, session, completed_only, source: get_intraday_chart 와 같음\n"
    "    params: 지표별 파라미터 덮어쓰기, 예 {\"rsi\": {\"period\": 21}}";

long long clamp_ll(long long v, long long lo, long long hi) { return std::max(lo, std::min(hi, v)); }

struct Failure {
  std::string message, status;
};

// Runs the dataset fetch and turns bar-layer failures into (message, status).
std::optional<Failure> fetch(const DatasetRequest& r, md::BarDataset& ds, json& route) {
  try {
    auto got = intraday::fetch_intraday_dataset(r);
    ds = std::move(got.first);
    route = std::move(got.second);
    return std::nullopt;
  } catch (const md::SymbolMappingError& e) {
    return Failure{e.what(), md::ST_NOT_FOUND};
  } catch (const md::BrokerApiError& e) {
    return Failure{std::string("증권사 데이터 조회 실패: ") + e.what(), e.status()};
  } catch (const md::ProviderError& e) {
    return Failure{e.what(), e.status()};
  }
}

DatasetRequest request_of(const server::Args& a, const std::string& trading_date, int limit) {
  DatasetRequest r;
  r.symbol = fmt::trim(a.str("symbol"));
  r.market = a.str("market");
  r.interval = a.str("interval");
  r.trading_date = trading_date;
  r.row_limit = limit;
  r.venue = a.opt_str("venue");
  r.session = a.str("session");
  r.completed_only = a.boolean("completed_only");
  r.source = a.str("source");
  return r;
}

json meta_of(const std::string& market, const std::string& symbol, const json& labels, const std::string& completeness,
             const std::vector<std::string>& warnings, const json& coverage, const json& extra) {
  return intraday::bars_meta(market, symbol, labels["data_as_of"], labels["bar_forming"].get<bool>(), completeness,
                             warnings, coverage, extra);
}

std::vector<std::string> collect_warnings(const md::BarDataset& ds, const json& route, const json& labels) {
  std::vector<std::string> w;
  for (const auto& x : ds.warnings) w.push_back(server::mask_queries(x));
  if (route.value("fallback_used", false))
    w.push_back(route.value("fallback_from", json("")).get<std::string>() + " 사용 불가로 요청 전체를 " + ds.provider +
                "에서 새로 시작했습니다.");
  for (const auto& x : labels["warnings"]) w.push_back(x.get<std::string>());
  return w;
}

// What both tools do before their own part: check the arguments, fetch the
// dataset, label its last bar. `reply` is set when the call ends here.
struct Prepared {
  std::string symbol, market, day, interval;
  md::BarDataset ds;
  json route, labels, extra;
  std::vector<std::string> warnings;
  std::optional<std::string> reply;
};

Prepared prepare(const server::Args& a, int limit, const std::optional<std::string>& early_error = std::nullopt) {
  Prepared p;
  p.symbol = fmt::trim(a.str("symbol"));
  p.market = a.str("market");
  p.interval = a.str("interval");
  auto v = intraday::validate_intraday_args(p.market, p.interval, a.str("source"), a.opt_str("date"), a.str("session"));
  if (v.error) {
    p.reply = *v.error;
    return p;
  }
  if (early_error) {
    p.reply = *early_error;
    return p;
  }
  p.day = *v.trading_date;
  if (auto f = fetch(request_of(a, p.day, limit), p.ds, p.route)) {
    p.reply = intraday::intraday_error_result(p.symbol, p.market, server::mask_queries(f->message), f->status, p.day);
    return p;
  }
  p.labels = intraday::intraday_bar_labels(p.market, p.ds.bars, p.day, intraday::intraday_now(p.market),
                                           p.ds.coverage.value("unfinished_bars_dropped", 0));
  p.warnings = collect_warnings(p.ds, p.route, p.labels);
  p.extra = intraday::intraday_meta_extra(p.ds, p.route);
  return p;
}

// Bars as OHLCV rows, stamped with their start in the market's zone.
json bar_rows(const md::BarDataset& ds, const char* time_key) {
  json rows = json::array();
  for (const auto& b : ds.bars) {
    mt::Civil c = mt::to_zone(b.start_at, ds.timezone);
    rows.push_back({{time_key, c.date_str() + " " + c.hm()},
                    {"open", b.open},
                    {"high", b.high},
                    {"low", b.low},
                    {"close", b.close},
                    {"volume", b.volume}});
  }
  return rows;
}

// The view's bars: each one's state as the bar layer built it and the session
// that traded it (the requested session where the provider does not say).
json view_bars(const md::BarDataset& ds) {
  json out = json::array();
  for (const auto& b : ds.bars) {
    mt::Civil c = mt::to_zone(b.start_at, ds.timezone);
    json v = {{"t", c.date_str() + " " + c.hm()},
              {"open", b.open},
              {"high", b.high},
              {"low", b.low},
              {"close", b.close},
              {"volume", b.volume},
              {"state", b.complete ? server::BAR_FINAL : server::BAR_FORMING},
              {"session", b.session.empty() ? ds.session : b.session}};
    if (b.session_tail) {
      v["session_tail"] = true;
      v["minutes"] = b.actual_minutes;
    }
    out.push_back(std::move(v));
  }
  return out;
}

// The reply when no bar came back.
std::string no_bars_reply(const Prepared& p, const std::string& lead, json coverage) {
  json nl = {{"bar_forming", false}, {"data_as_of", p.day}, {"warnings", json::array()}};
  std::string text = lead + " (" + p.day + ").\n" + intraday::intraday_no_data_note(p.day);
  if (coverage.is_object() && coverage.value("unfinished_bars_dropped", 0) > 0) {
    // There are bars; none of the requested length has finished yet.
    text = p.symbol + " " + p.interval + " 봉 중 끝난 봉이 아직 없습니다 (" + p.day + ").\n원천 분봉은 " +
           std::to_string(coverage.value("source_rows", 0)) + "개 받았지만 " + p.interval +
           " 봉은 아직 하나도 끝나지 않았습니다(completed_only=true라 진행 중인 봉은 뺐습니다). 진행 중인 봉까지 보려면 "
           "completed_only=false로, 끝난 봉이 필요하면 더 짧은 interval로 조회하세요.";
    nl["bar_forming"] = true;
  }
  return server::append_result_meta(text, meta_of(p.market, p.symbol, nl, rmeta::NONE, p.warnings, coverage, p.extra));
}

std::string get_intraday_chart(const server::Args& a) {
  Prepared p = prepare(a, (int)clamp_ll(a.integer("row_limit"), 1, 500));
  if (p.reply) return *p.reply;
  const std::string &symbol = p.symbol, &market = p.market, &interval = p.interval;
  const md::BarDataset& ds = p.ds;
  if (ds.bars.empty()) return no_bars_reply(p, symbol + " " + interval + " 분봉 데이터가 없습니다", ds.coverage);
  json rows = bar_rows(ds, "datetime");
  std::vector<std::string> lines = {"**" + symbol + "** " + market + " " + interval + " 분봉 OHLCV (" +
                                        std::to_string(ds.bars.size()) + " bars, " + ds.venue + ", " + ds.session +
                                        " session)",
                                    ""};
  for (auto& l : server::format_ohlcv_rows(rows, true, market == "KR" ? 0 : 2)) lines.push_back(l);
  int tails = 0;
  const md::Bar* first_tail = nullptr;
  for (const auto& b : ds.bars)
    if (b.session_tail) {
      if (!first_tail) first_tail = &b;
      ++tails;
    }
  if (first_tail) {
    lines.push_back("");
    lines.push_back("※ 세션 꼬리 봉 " + std::to_string(tails) + "개 포함 (예: " +
                    mt::to_zone(first_tail->start_at, ds.timezone).hm() + "~" +
                    mt::to_zone(first_tail->end_at, ds.timezone).hm() + ", " +
                    std::to_string(first_tail->actual_minutes) + "분). 일반 " + interval +
                    " 봉과 거래량을 직접 비교하지 마세요.");
  }
  std::string completeness = ds.coverage.value("complete", true) ? rmeta::COMPLETE : rmeta::PARTIAL;
  server::offer_chart_bars(view_bars(ds), {{"timezone", ds.timezone}, {"venue", ds.venue}, {"provider", ds.provider}});
  return server::append_result_meta(fmt::join(lines, "\n"),
                                    meta_of(market, symbol, p.labels, completeness, p.warnings, ds.coverage, p.extra));
}

const server::Choices kIndicatorNames{[] { return indicators::AVAILABLE_INDICATORS; }};
const server::ArgumentChoices reg_include{"get_intraday_indicators", "include", kIndicatorNames};

std::string get_intraday_indicators(const server::Args& a) {
  std::vector<std::string> include = a.str_list("include").value_or(
      std::vector<std::string>{"ma", "ma_phase", "volume", "candle"});
  std::vector<std::string> unknown;
  for (const auto& k : include)
    if (!kIndicatorNames.accepts(k)) unknown.push_back(k);
  std::optional<std::string> refused;
  if (!unknown.empty())
    refused = "지원하지 않는 지표: " + fmt::join(unknown, ", ") + "\n사용 가능: " +
              fmt::join(indicators::AVAILABLE_INDICATORS, ", ");
  Prepared p = prepare(a, (int)clamp_ll(a.integer("bars"), 30, 500), refused);
  if (p.reply) return *p.reply;
  const std::string &symbol = p.symbol, &market = p.market, &interval = p.interval;
  const md::BarDataset& ds = p.ds;
  std::vector<std::string>& warnings = p.warnings;
  json& extra = p.extra;
  if (ds.bars.empty()) {
    json cov = ds.coverage;
    cov["reason"] = "no_session";
    return no_bars_reply(p, symbol + " " + interval + " 분봉 데이터가 없어 지표를 계산할 수 없습니다", cov);
  }
  json rows = bar_rows(ds, "date");
  int n = (int)rows.size();
  json params = a.value("params");
  const std::string ccy = market == "KR" ? "KRW" : "USD";
  json result = indicators::compute_indicators(rows, include, params, interval, ccy);
  // The closing auction's one-minute bar carries the auction's whole volume
  // (about ten times an ordinary minute): it is left out of the volume ratio and
  // rank, which are computed on the other bars, and the reply says so.
  if (std::find(include.begin(), include.end(), "volume") != include.end() && result.contains("volume")) {
    json ordinary = json::array();
    int auctions = 0;
    for (size_t i = 0; i < ds.bars.size(); ++i) {
      if (intraday::is_closing_auction_bar(market, ds.bars[i])) ++auctions;
      else ordinary.push_back(rows[i]);
    }
    if (auctions > 0 && !ordinary.empty()) {
      json vol = indicators::compute_indicators(ordinary, {"volume"}, params, interval, ccy).value("volume", json());
      if (vol.is_object()) {
        vol["closing_auction_bars_excluded"] = auctions;
        vol["closing_auction_note"] =
            "종가 단일가 봉(장 마감 시각에 찍힌 1분 체결) " + std::to_string(auctions) +
            "개는 거래량 비율·순위 계산에서 뺐습니다. 일반 봉과 거래량을 비교할 수 없는 봉이라서이며, 가격 지표에는 들어 있습니다.";
        if (intraday::is_closing_auction_bar(market, ds.bars.back()))
          vol["closing_auction_note"] = vol["closing_auction_note"].get<std::string>() +
                                        " 마지막 봉이 종가 단일가 봉이라 latest는 그 앞의 일반 봉입니다.";
        result["volume"] = vol;
        warnings.push_back("거래량 비율·순위는 종가 단일가 봉 " + std::to_string(auctions) + "개를 빼고 계산했습니다.");
      }
    }
  }
  json errors = server::indicator_error_list(result);
  json coverage = server::indicator_coverage(json(include), n, params, interval);
  extra["indicator_errors"] = errors;
  extra["indicator_coverage"] = coverage;
  std::vector<std::string> insufficient;
  for (const auto& k : coverage["insufficient"]) insufficient.push_back(k.get<std::string>());
  bool partial = !ds.coverage.value("complete", true);
  json meta_coverage = ds.coverage;
  if (!errors.empty()) {
    // The same rule as the daily indicators: a failed indicator is named and the reply is partial.
    warnings.push_back(server::indicator_error_warning(errors));
    partial = true;
    json ec = server::indicator_error_coverage();
    if (!meta_coverage.is_object()) meta_coverage = json::object();
    for (auto& [k, v] : ec.items()) meta_coverage[k] = v;
  }
  if (!insufficient.empty()) {
    warnings.push_back("봉이 모자라 계산되지 않은 지표: " + fmt::join(insufficient, ", ") + " (" + std::to_string(n) +
                       "봉 기준). 값이 없는 것이지 신호가 없는 것이 아닙니다.");
    partial = true;
  }
  json body = {{"symbol", symbol},
               {"market", market},
               {"interval", interval},
               {"bars", n},
               {"indicators", result},
               {"_meta", meta_of(market, symbol, p.labels, partial ? rmeta::PARTIAL : rmeta::COMPLETE, warnings,
                                 meta_coverage, extra)}};
  return dump_compact(body);
}

server::ChartCall describe_intraday_chart(const server::Args& a) {
  json request = json::object();
  for (const char* k : {"symbol", "market", "interval", "date", "row_limit", "venue", "session", "completed_only", "source"})
    request[k] = a.value(k);
  // A reply without meta is one of the argument checks: nothing was looked up.
  return {"get_intraday_chart", fmt::upper(a.str("market")), fmt::trim(a.str("symbol")), a.str("interval"), request,
          server::OUTCOME_REFUSED};
}

const server::ToolRegistration reg_chart{"get_intraday_chart", kChartDoc,
                                         server::chart_tool(describe_intraday_chart, get_intraday_chart)};
const server::ToolDecorRegistration reg_chart_view{"get_intraday_chart", server::chart_tool_decor()};
const server::ToolRegistration reg_ind{"get_intraday_indicators", kIndicatorsDoc, get_intraday_indicators};

// The reply is the JSON document below; the host sends it as structuredContent too.
const server::ToolDecorRegistration decor_ind{
    "get_intraday_indicators",
    {server::json_reply_schema({{"symbol", {{"type", "string"}}},
                                {"market", {{"type", "string"}}},
                                {"interval", {{"type", "string"}}},
                                {"bars", {{"type", "integer"}}},
                                {"indicators", server::object_schema()}},
                               {"symbol", "indicators"})}};
const server::ArgumentShape shape_get_intraday_chart_symbol{"get_intraday_chart", "symbol", server::Shape::KrCodeOrUsTicker};
const server::ArgumentShape shape_get_intraday_indicators_symbol{"get_intraday_indicators", "symbol", server::Shape::KrCodeOrUsTicker};
const bool screen_fetch_installed = (intraday::install_screen_fetch(), true);

}  // namespace
}  // namespace tessaro::tools
