#include "tools/intraday/intraday.hpp"

#include <algorithm>

#include "core/call_context.hpp"
#include "core/files.hpp"
#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "market_time/clock.hpp"
#include "server/arg_rules.hpp"
#include "server/meta.hpp"
#include "sources/market_data/screen_intraday.hpp"

namespace tessaro::intraday {

namespace md = market_data;
using std::chrono::minutes;

std::string broker_kr_endpoint(const std::string& broker) {
  if (broker == "kis") return "domestic_minute";
  if (broker == "kiwoom") return "kiwoom_kr_minute";
  if (broker == "toss") return "toss_candles";
  return "broker_minute";
}

json broker_state() {
  md::ConnectionState s = md::load_state_v2();
  json active_profile = nullptr;
  if (s.primary_provider) active_profile = s.providers[*s.primary_provider].profile;
  return {{"data_source_mode", s.data_source_mode},
          {"active_provider", s.primary_provider ? json(*s.primary_provider) : json(nullptr)},
          {"active_profile", active_profile},
          {"routing_generation", s.routing_generation},
          {"connection_generation", s.connection_generation},
          {"state_v2", s.raw}};
}

json broker_capabilities(const json& state) {
  json caps = {{"connected", false}, {"kr_intraday", false}, {"us_intraday", false}, {"kr_daily", false},
               {"us_daily", false}};
  if (!state.is_object() || !state["active_provider"].is_string()) return caps;
  std::string active = state["active_provider"].get<std::string>();
  std::optional<std::string> profile;
  // KIS decides its capabilities itself; the others need the profile (paper accounts differ).
  if (active != "kis" && state["active_profile"].is_string()) profile = state["active_profile"].get<std::string>();
  json r = md::provider_capabilities_v2(md::load_state_v2(), active, profile);
  caps["connected"] = true;
  caps["kr_intraday"] = r.value("KR", "") == "available";
  caps["us_intraday"] = r.value("US", "") == "available";
  caps["kr_daily"] = true;
  caps["us_daily"] = true;
  return caps;
}

std::string intraday_tz(const std::string& market) { return md::market_tz(market); }
mt::Instant intraday_now(const std::string&) { return mt::now(); }

std::string intraday_no_data_note(const std::string& day) {
  return day +
         "에 받은 봉이 없습니다. 분봉 보관 기간보다 오래된 날짜이거나, 거래가 없던 날(휴장·거래정지)이거나, "
         "종목코드가 틀렸을 수 있습니다. 응답만으로는 셋을 구분할 수 없습니다.";
}

json intraday_bar_labels(const std::string& market, const std::vector<md::Bar>& bars, const std::string& trading_date,
                         mt::Instant now, int unfinished_dropped) {
  json warnings = json::array();
  if (bars.empty()) return {{"bar_forming", false}, {"data_as_of", trading_date}, {"warnings", warnings}};
  const md::Bar& last = bars.back();
  std::string tz = intraday_tz(market);
  std::string last_day = mt::to_zone(last.start_at, tz).date_str();
  bool forming = !last.complete;
  auto asked = mt::parse_day(trading_date);
  if (last_day != trading_date) {
    if (unfinished_dropped > 0 && asked && md::session_window(market, *asked))
      // The day has bars; none of the requested length has ended yet, and
      // completed_only left the forming one out.
      warnings.push_back("기준일 " + trading_date + "의 봉은 아직 끝난 것이 없어(진행 중인 봉은 completed_only=true라 " +
                         "뺐습니다) 그 이전 거래일(" + last_day + ")까지의 끝난 봉입니다.");
    else if (asked && !md::session_window(market, *asked))
      warnings.push_back("기준일 " + trading_date + "은 거래일이 아니어서 그 이전 거래일(" + last_day + ")까지의 봉입니다.");
    else
      warnings.push_back("기준일 " + trading_date + "에는 봉이 없어 그 이전 거래일(" + last_day + ")까지의 봉입니다.");
  } else if (auto d = mt::parse_day(last_day)) {
    auto w = md::session_window(market, *d);
    if (w && now < w->close_at) {
      // A forming bar has not ended: the finished bars of the day end where it
      // starts, and there are none when it is the day's first.
      const bool first_of_day =
          forming && (bars.size() < 2 || mt::to_zone(bars[bars.size() - 2].start_at, tz).date_str() != last_day);
      std::string w1;
      if (first_of_day) {
        w1 = "정규장이 아직 진행 중입니다. 오늘 끝난 봉은 아직 없고, 장이 끝날 때까지 봉이 더 붙습니다.";
      } else {
        std::string ended = mt::to_zone(forming ? last.start_at : last.end_at, tz).hm();
        w1 = "정규장이 아직 진행 중입니다. " + ended + "에 끝난 봉까지만 담았고, 장이 끝날 때까지 봉이 더 붙습니다.";
      }
      if (forming)
        w1 += " 마지막 봉(" + mt::to_zone(last.start_at, tz).hm() + "~)은 아직 만들어지는 중입니다(" +
              mt::to_zone(now, tz).hm() + " 현재).";
      warnings.push_back(w1);
    }
  }
  return {{"bar_forming", forming}, {"data_as_of", last_day}, {"warnings", warnings}};
}

bool is_closing_auction_bar(const std::string& market, const md::Bar& bar) {
  if (market != "KR") return false;
  auto w = md::session_window(market, mt::to_zone(bar.start_at, intraday_tz(market)).date());
  // KRX prints the closing auction as a bar stamped at the close itself; a bar
  // starting there holds nothing else.
  return w && bar.start_at == w->close_at;
}

mt::Day previous_trading_day(const std::string& market, mt::Day day) {
  mt::Day d = day - std::chrono::days(1);
  for (int i = 0; i < 30 && !md::session_window(market, d); ++i) d -= std::chrono::days(1);
  return d;
}

bool trading_day_completed(const std::string& market, mt::Day day, mt::Instant now) {
  auto w = md::session_window(market, day);
  if (!w) return false;
  // The closing-auction print belongs to the day, so the day is finished after it.
  return now >= std::max(w->close_at, w->bars_end_at);
}

md::ProviderCache intraday_disk_cache() { return md::ProviderCache(home_dir() / "cache" / "intraday"); }

json broker_day_cache_key(const std::string& provider, const std::string& profile, const std::string& market,
                          const std::string& symbol, const std::string& venue, const std::string& session,
                          const std::string& trading_date) {
  return {{"provider", provider},
          {"profile", profile},
          {"market", market},
          {"symbol", symbol},
          {"venue", venue},
          {"session", session},
          {"source_interval", "1m"},
          {"trading_date", fmt::replace_all(trading_date, "-", "")},
          {"cursor", ""},
          {"adjustment", "unadjusted"}};
}

std::optional<std::vector<md::Bar>> load_cached_broker_day(const md::ProviderCache& cache, const json& key) {
  auto entry = cache.get(key);
  if (!entry || !entry->is_object() || entry->value("complete", false) != true) return std::nullopt;
  const json& payload = (*entry)["payload"];
  if (!payload.is_object() || !payload["bars"].is_array() || payload["bars"].empty()) return std::nullopt;
  std::string want = key.value("trading_date", "");
  std::string tz = intraday_tz(key.value("market", "KR"));
  std::vector<md::Bar> bars;
  try {
    for (const auto& b : payload["bars"]) {
      md::Bar bar = md::bar_from_dict(b);
      if (fmt::replace_all(mt::to_zone(bar.start_at, tz).date_str(), "-", "") != want) return std::nullopt;
      bars.push_back(bar);
    }
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return bars;
}

void store_broker_day(const md::ProviderCache& cache, const json& key, const std::vector<md::Bar>& bars) {
  std::string tz = intraday_tz(key.value("market", "KR"));
  json arr = json::array();
  for (const auto& b : bars) arr.push_back(md::bar_to_dict(b, tz));
  cache.put(key, {{"complete", true}, {"payload", {{"bars", arr}, {"trading_date", key.value("trading_date", "")}}}});
}

namespace {

struct DayResult {
  std::vector<md::Bar> bars;
  bool complete = true;
  bool cache_hit = false;
  std::string endpoint;
  std::string venue;   // where the provider says the bars are from
  std::vector<std::string> warnings;
};

// Rows the bars give in the requested interval; a bar still forming does not
// count when only finished bars will be returned.
size_t rows_in_interval(const std::vector<md::Bar>& bars, int minutes_requested, int minutes_source,
                        const std::string& market, mt::Instant now, bool completed_only) {
  std::vector<md::Bar> rows = md::sort_and_dedupe(bars);
  if (minutes_requested != minutes_source) rows = md::resample_intraday(rows, minutes_requested, market, now);
  return completed_only ? md::filter_completed(rows, now).size() : rows.size();
}

}  // namespace

std::pair<md::BarDataset, json> fetch_intraday_dataset(const DatasetRequest& r) {
  mt::Instant now = r.now ? *r.now : intraday_now(r.market);
  json state = broker_state();
  json caps = broker_capabilities(state);
  std::optional<std::string> primary;
  if (state["active_provider"].is_string()) primary = state["active_provider"].get<std::string>();
  md::Route route = md::resolve_source(state.value("data_source_mode", "legacy"), r.market, r.interval, r.source,
                                       caps, primary);
  md::ProviderRuntime& rt = md::runtime();
  std::string venue = r.market == "KR" ? "KRX" : r.venue.value_or("");
  int req_min = md::interval_minutes(r.interval).value_or(1);

  md::ProviderCache cache = intraday_disk_cache();
  // Only the first day with bars may move to another provider: a later move would put
  // two providers' bars in one dataset, so an earlier day that fails ends the back-fill.
  auto fetch_day = [&](mt::Day day, bool may_fail_over) -> DayResult {
    DayResult out;
    auto w = md::session_window(r.market, day);
    if (!w) return out;   // not a trading day: nothing to ask for
    const std::string& pid = route.selected_provider;
    bool broker_kr = md::is_broker_id(pid) && r.market == "KR";
    bool completed = trading_day_completed(r.market, day, now);
    std::string profile = rt.context_for(pid).profile;
    json key = broker_day_cache_key(pid, profile, r.market, r.symbol, venue, r.session, mt::day_str(day));
    if (broker_kr && completed) {
      if (auto cached = load_cached_broker_day(cache, key)) {
        out.bars = *cached;
        out.cache_hit = true;
        out.endpoint = broker_kr_endpoint(pid);
        return out;
      }
    }
    md::BarRequest req;
    req.market = r.market;
    req.symbol = r.symbol;
    req.venue = venue;
    req.session = r.session;
    req.interval = r.interval;
    req.trading_date = mt::day_str(day);
    req.start_at = w->start_at;
    req.end_at = w->bars_end_at;
    req.row_limit = r.row_limit;
    req.completed_only = r.completed_only;
    req.source = r.source;
    md::Route strict = route;
    if (!may_fail_over) strict.candidates = {route.selected_provider};
    md::BarDataset ds = md::fetch_with_failover(may_fail_over ? route : strict, req, rt);
    out.bars = ds.bars;
    out.complete = ds.coverage.value("complete", true);
    out.endpoint = ds.source_endpoint;
    out.venue = ds.venue;
    out.warnings = ds.warnings;
    if (md::is_broker_id(route.selected_provider) && r.market == "KR" && completed && out.complete &&
        !out.bars.empty()) {
      json k2 = broker_day_cache_key(route.selected_provider, rt.context_for(route.selected_provider).profile,
                                     r.market, r.symbol, venue, r.session, mt::day_str(day));
      try {
        store_broker_day(cache, k2, out.bars);
      } catch (const std::exception&) {
        // A cache that cannot be written only costs a refetch next time.
      }
    }
    return out;
  };

  auto day0 = mt::parse_day(r.trading_date);
  if (!day0) throw md::RouterError("기준 거래일을 읽을 수 없습니다: " + r.trading_date, md::ST_UNAVAILABLE);

  md::BarDataset ds;
  std::vector<md::Bar> bars;
  std::vector<std::string> warnings;
  bool complete = true, first_hit = false;
  std::string endpoint, answered_venue;
  int days = 0;
  mt::Day day = *day0;
  // A requested day without trading (a weekend, a holiday) asks for nothing and
  // uses none of the back-fill days: the history starts at the trading day before.
  for (int i = 0; i < 30 && !md::session_window(r.market, day); ++i) day -= std::chrono::days(1);
  std::string src_interval;
  for (; days < INTRADAY_MAX_FETCH_DAYS; ++days) {
    report_progress("분봉 보충", days, INTRADAY_MAX_FETCH_DAYS);
    DayResult d;
    if (days == 0) {
      d = fetch_day(day, true);
      first_hit = d.cache_hit;
    } else {
      try {
        d = fetch_day(day, bars.empty());
      } catch (const std::exception&) {
        warnings.push_back(mt::day_str(day) + " 분봉 조회에 실패해 그 이전 이력 없이 계산합니다.");
        complete = false;   // a day that could not be read is a gap, not the start of the history
        ++days;
        break;
      }
    }
    if (endpoint.empty()) endpoint = d.endpoint;
    if (answered_venue.empty()) answered_venue = d.venue;
    complete = complete && d.complete;
    for (auto& w : d.warnings)
      if (std::find(warnings.begin(), warnings.end(), w) == warnings.end()) warnings.push_back(w);
    bars.insert(bars.begin(), d.bars.begin(), d.bars.end());
    src_interval = route.selected_provider == "yahoo" ? r.interval : "1m";
    if (src_interval != "1m" && src_interval != "5m" && src_interval != "15m" && src_interval != "30m" &&
        src_interval != "60m")
      src_interval = "1m";
    int src_min = md::interval_minutes(src_interval).value_or(1);
    if (rows_in_interval(bars, req_min, src_min, r.market, now, r.completed_only) >= (size_t)r.row_limit) {
      ++days;
      break;
    }
    day = previous_trading_day(r.market, day);
  }
  bars = md::sort_and_dedupe(std::move(bars));
  const size_t source_rows = bars.size();
  int src_min = md::interval_minutes(src_interval).value_or(1);
  if (src_min != req_min) {
    bars = md::resample_intraday(bars, req_min, r.market, now);
    ds.aggregation_method = "resampled_from_" + src_interval;
  } else {
    for (auto& b : bars) b.complete = b.complete && b.end_at <= now;
  }
  const size_t before_filter = bars.size();
  if (r.completed_only) bars = md::filter_completed(bars, now);
  const size_t unfinished_dropped = before_filter - bars.size();
  if ((int)bars.size() > r.row_limit) bars.erase(bars.begin(), bars.end() - r.row_limit);

  ds.bars = std::move(bars);
  ds.market = r.market;
  ds.symbol = r.symbol;
  ds.provider = route.selected_provider;
  ds.profile = rt.context_for(route.selected_provider).profile;
  ds.venue = answered_venue.empty() ? venue : answered_venue;
  ds.timezone = intraday_tz(r.market);
  ds.session = r.session;
  ds.requested_interval = r.interval;
  ds.source_interval = src_interval;
  ds.adjustment_basis = "unadjusted";
  ds.source_endpoint = endpoint;
  ds.coverage = {{"complete", complete},
                 {"returned_rows", (int)ds.bars.size()},
                 {"cache_hit", first_hit},
                 {"days_fetched", days}};
  if (unfinished_dropped > 0) {
    // Bars still forming were left out (completed_only): with none left the
    // reply says none has finished yet (a 240m bar mid-session), else the labels
    // tell a day whose only bar is forming from a day without bars.
    ds.coverage["unfinished_bars_dropped"] = (int)unfinished_dropped;
    if (ds.bars.empty()) ds.coverage["source_rows"] = (int)source_rows;
  }
  ds.warnings = warnings;
  route.cache_hit = first_hit;
  return {ds, route.to_json()};
}

json intraday_meta_extra(const md::BarDataset& ds, const json& route) {
  json last_end = nullptr, as_of = nullptr;
  if (!ds.bars.empty()) {
    last_end = mt::iso_in_zone(ds.bars.back().end_at, ds.timezone);
    as_of = mt::iso_in_zone(ds.bars.back().end_at, ds.timezone);
  }
  json f = {{"provider", ds.provider},
            {"profile", ds.profile.empty() ? json(nullptr) : json(ds.profile)},
            {"provider_profile", ds.profile.empty() ? json(nullptr) : json(ds.profile)},
            {"provider_status", "ok"},
            {"requested_source", route.value("requested_source", json())},
            {"selection_reason", route.value("selection_reason", json())},
            {"fallback_used", route.value("fallback_used", false)},
            {"fallback_from", route.value("fallback_from", json())},
            {"primary_provider", route.value("primary_provider", json())},
            {"venue", ds.venue},
            {"timezone", ds.timezone},
            {"requested_interval", ds.requested_interval},
            {"source_interval", ds.source_interval},
            {"aggregation_method", ds.aggregation_method},
            {"adjustment_basis", ds.adjustment_basis},
            {"last_bar_end_at", last_end},
            {"provider_data_as_of", as_of},
            {"cache_hit", route.value("cache_hit", false)}};
  // Which session traded the bars, where the provider labels them (Naver's
  // minute chart): counts by session, so a reader sees that no closing-price
  // or after-market trade is mixed into the regular bars.
  json sessions = json::object();
  for (const auto& b : ds.bars)
    if (!b.session.empty()) sessions[b.session] = sessions.value(b.session, 0) + 1;
  if (!sessions.empty()) f["bar_sessions"] = sessions;
  if (ds.provider == "naver") f["volume_basis"] = "KRX";
  f["source_endpoint"] = ds.source_endpoint;
  return rmeta::provider_extension(f);
}

json bars_meta(const std::string& market, const std::string& symbol, const json& data_as_of, bool bar_forming,
               const std::string& completeness, const std::vector<std::string>& warnings, const json& coverage,
               const json& extra, bool regular_session) {
  auto fill = [&](auto& m) {
    m.kind = "bars";
    m.data_as_of = data_as_of;
    m.bar_forming = bar_forming;
    m.data_completeness = completeness;
    m.warnings = warnings;
    m.coverage = coverage;
    m.extra = extra.is_object() ? extra : json::object();
    // What the tool saw: the last bar still forming (named in the tool description).
    m.extra["bar_forming"] = bar_forming;
  };
  if (market == "US") {
    server::UsMetaArgs m;
    fill(m);
    m.ticker = symbol;
    return server::us_meta(m);
  }
  server::KrMetaArgs m;
  fill(m);
  m.code = symbol;
  if (regular_session) m.price_session = rmeta::PRICE_SESSION_REGULAR;
  return server::kr_meta(m);
}

std::string intraday_error_result(const std::string& symbol, const std::string& market, const std::string& message,
                                  const std::string& provider_status, const std::string& trading_date) {
  std::string text = message;
  if (provider_status == "unsupported") {
    text += "\n이 증권사는 해당 시장 분봉을 지원하지 않거나 데이터 계약이 검증되지 않았습니다. API 키 문제가 아닙니다. "
            "다른 source(예: 주 사용 증권사 또는 KR 일봉은 기본 데이터)를 사용하세요.";
  } else if (market == "US" && (provider_status == "rate_limited" || provider_status == "provider_unavailable" ||
                                provider_status == "authentication_failed" ||
                                provider_status == "permission_denied")) {
    text += "\n잠시 후 다시 시도하거나 source=\"yahoo\"로 요청하세요. 야후 분봉은 거래량 집계 기준이 증권사와 달라 "
            "거래량을 직접 비교하면 안 됩니다.";
  }
  json meta = bars_meta(market, symbol, trading_date, false, rmeta::NONE, {message}, nullptr,
                        {{"provider_status", provider_status}}, false);
  return server::append_result_meta(text, meta);
}

namespace {

// The fixed sets of the two intraday tools, checked below and shown in their schemas.
const server::Choices kMarkets{{"KR", "US"}};
const server::Choices kSessions{{"regular"}};
const server::Choices kIntervals{[] { return md::supported_intervals(); }};
const server::Choices kSources{public_intraday_sources, server::Fold::None, {"auto"}};
const server::ArgumentChoices reg_chart_market{"get_intraday_chart", "market", kMarkets};
const server::ArgumentChoices reg_chart_session{"get_intraday_chart", "session", kSessions};
const server::ArgumentChoices reg_chart_interval{"get_intraday_chart", "interval", kIntervals};
const server::ArgumentChoices reg_chart_source{"get_intraday_chart", "source", kSources};
const server::ArgumentChoices reg_ind_market{"get_intraday_indicators", "market", kMarkets};
const server::ArgumentChoices reg_ind_session{"get_intraday_indicators", "session", kSessions};
const server::ArgumentChoices reg_ind_interval{"get_intraday_indicators", "interval", kIntervals};
const server::ArgumentChoices reg_ind_source{"get_intraday_indicators", "source", kSources};

}  // namespace

Validation validate_intraday_args(const std::string& market, const std::string& interval, const std::string& source,
                                  const std::optional<std::string>& date_str, const std::string& session) {
  Validation v;
  if (!kMarkets.accepts(market)) {
    v.error = "market은 KR 또는 US여야 합니다.";
    return v;
  }
  if (!kSessions.accepts(session)) {
    v.error = "지원하지 않는 session입니다: " + session + " (현재 regular만 지원, 검증 후 확대 예정)";
    return v;
  }
  if (!kIntervals.accepts(interval)) {
    v.error = "지원하지 않는 interval입니다: " + interval + " (지원: " + fmt::join(kIntervals.values(), ", ") + ")";
    return v;
  }
  if (!kSources.accepts(source)) {
    v.error = "지원하지 않는 source입니다: " + source + " (지원: " + fmt::join(kSources.values(), ", ") + ")";
    return v;
  }
  if (!date_str || date_str->empty()) {
    json clock = mt::build_market_clock();
    json part = clock.value(market == "KR" ? "krx" : "us", json::object());
    json last = part.is_object() ? part.value("last_trading_day", json()) : json();
    if (!last.is_string() || last.get<std::string>().empty()) {
      v.error = "기준 거래일을 결정할 수 없습니다. date를 지정하세요.";
      return v;
    }
    v.trading_date = last.get<std::string>().substr(0, 10);
    return v;
  }
  std::string s = fmt::replace_all(fmt::trim(*date_str), ".", "-");
  if (s.size() == 8 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
    s = s.substr(0, 4) + "-" + s.substr(4, 2) + "-" + s.substr(6, 2);
  auto d = s.size() == 10 && s[4] == '-' && s[7] == '-' ? mt::parse_day(s) : std::nullopt;
  if (!d || mt::day_str(*d) != s) {
    v.error = "날짜 형식이 올바르지 않습니다 (YYYY-MM-DD).";
    return v;
  }
  v.trading_date = s;
  return v;
}

void install_screen_fetch() {
  screener::set_intraday_fetch([](const screener::IntradayRequest& q) -> json {
    DatasetRequest r;
    r.symbol = q.symbol;
    r.market = q.market;
    r.interval = q.interval;
    r.trading_date = q.trading_date;
    r.row_limit = q.row_limit;
    r.session = q.session;
    r.completed_only = q.completed_only;
    r.source = q.source;
    auto [ds, route] = fetch_intraday_dataset(r);
    json bars = json::array();
    for (const auto& b : ds.bars) bars.push_back(md::bar_to_dict(b, ds.timezone));
    return {{"bars", bars},
            {"coverage", {{"failure_status", nullptr}, {"complete", ds.coverage.value("complete", true)}}}};
  });
}

}  // namespace tessaro::intraday
