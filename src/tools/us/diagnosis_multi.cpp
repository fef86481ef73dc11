// get_us_multi_diagnosis: chart statistics and technical state of up to 20 US
// tickers on completed daily bars, with optional estimates, earnings and short data.
#include <algorithm>
#include <cmath>
#include <mutex>
#include <set>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/parallel.hpp"
#include "market_time/clock.hpp"
#include "market_time/listing.hpp"
#include "server/output_schema.hpp"
#include "server/arg_rules.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "analysis/indicators/indicators.hpp"
#include "analysis/indicators/split_bars.hpp"
#include "sources/yahoo/us.hpp"
#include "tools/us/diagnostics.hpp"
#include "tools/us/us_format.hpp"

namespace tessaro::tools::us {

namespace {

const std::vector<std::string> kSections = {"estimates", "earnings", "short"};
constexpr size_t kMaxTickers = 20;

std::optional<double> dnum(const json& v) {
  if (!v.is_number()) return std::nullopt;
  double d = v.get<double>();
  return std::isfinite(d) ? std::optional<double>(d) : std::nullopt;
}

std::string day_of_row(const json& r) {
  std::string d = r.value("date", std::string());
  if (d.empty()) d = r.value("datetime", std::string());
  return d.substr(0, 10);
}

json unavailable(const std::string& reason) { return {{"status", "unavailable"}, {"reason", reason}}; }

std::string error_type(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& x) {
    return exception_class_name(x);
  } catch (...) {
    return "RuntimeError";
  }
}

json pct_change(const std::vector<double>& c, size_t back) {
  if (c.size() <= back) return nullptr;
  double base = c[c.size() - 1 - back];
  if (base == 0) return nullptr;
  return fmt::round_to((c.back() / base - 1) * 100, 2);
}

json sma(const std::vector<double>& c, size_t n) {
  if (c.size() < n) return nullptr;
  double s = 0;
  for (size_t i = c.size() - n; i < c.size(); ++i) s += c[i];
  return fmt::round_to(s / double(n), 4);
}

json versus(double price, const json& ma) {
  if (!ma.is_number()) return nullptr;
  double m = ma.get<double>();
  return price > m ? "above" : price < m ? "below" : "at";
}

struct Entity {
  std::string ticker;
  json out = json::object();
  std::string last_day;
  bool failed = false;
  std::vector<std::string> unavailable_sections;
  json bars_used = json::array();
};

void chart_section(Entity& e, const json& rows, const mt::Listing& listing, mt::Instant now) {
  auto split = indicators::split_valid_bars(rows);
  json bars = split.valid;
  json basis = "completed_bars";
  if (!bars.empty()) {
    // The listing's own exchange says whether the last bar has closed; a bar it
    // cannot confirm is not a completed one.
    auto d = mt::parse_day(day_of_row(bars.back()));
    auto closed = d ? mt::listing_day_closed(listing, *d, now) : std::optional<bool>();
    if (!closed.value_or(false)) {
      bars.erase(bars.size() - 1);
      basis = "dropped_in_progress_bar";
    }
  }
  std::vector<double> closes, vols;
  std::vector<std::string> dates;
  for (auto& b : bars) {
    auto c = dnum(b.value("close", json()));
    if (!c) continue;
    closes.push_back(*c);
    dates.push_back(day_of_row(b));
    vols.push_back(dnum(b.value("volume", json())).value_or(NAN));
  }
  if (closes.empty()) {
    e.out["chart"] = unavailable("no_history");
    e.out["technicals"] = unavailable("no_history");
    e.failed = true;
    return;
  }
  e.bars_used = bars;
  e.last_day = dates.back();
  size_t n52 = std::min<size_t>(252, closes.size());
  double hi = -INFINITY, lo = INFINITY;
  for (size_t i = closes.size() - n52; i < closes.size(); ++i) {
    const json& b = bars[i];
    hi = std::max(hi, dnum(b.value("high", json())).value_or(closes[i]));
    lo = std::min(lo, dnum(b.value("low", json())).value_or(closes[i]));
  }
  double last = closes.back();
  json avgv = nullptr;
  if (vols.size() >= 20) {
    double s = 0;
    bool ok = true;
    for (size_t i = vols.size() - 20; i < vols.size(); ++i) {
      ok = ok && std::isfinite(vols[i]);
      s += vols[i];
    }
    if (ok) avgv = fmt::round_to(s / 20, 0);
  }
  e.out["chart"] = {{"last_completed_bar", {{"date", e.last_day}, {"completeness", "completed"}}},
                    {"basis", basis},
                    {"last_close", last},
                    {"bars", closes.size()},
                    {"returns_pct", {{"5d", pct_change(closes, 5)}, {"20d", pct_change(closes, 20)}, {"60d", pct_change(closes, 60)}}},
                    {"52w",
                     {{"high", hi},
                      {"low", lo},
                      {"off_high_pct", hi > 0 ? json(fmt::round_to((last / hi - 1) * 100, 2)) : json(nullptr)},
                      {"above_low_pct", lo > 0 ? json(fmt::round_to((last / lo - 1) * 100, 2)) : json(nullptr)},
                      {"window_bars", n52}}},
                    {"avg_volume_20d", avgv}};
  json ma20 = sma(closes, 20), ma60 = sma(closes, 60);
  auto rsi = indicators::compute_rsi(closes, 14);
  json cross = closes.size() >= 60 ? indicators::compute_ma_cross(closes, dates, 20, 60, "day") : json(nullptr);
  e.out["technicals"] = {{"ma20", ma20},
                         {"ma60", ma60},
                         {"price_vs_ma20", versus(last, ma20)},
                         {"price_vs_ma60", versus(last, ma60)},
                         {"cross_20_60", cross.is_null() ? unavailable("insufficient_bars") : cross},
                         {"rsi14", rsi ? json(*rsi) : json(nullptr)}};
}

json estimates_section(const json& est) {
  if (!est.is_object()) return unavailable("no_data");
  json out = {{"currency", est.value("currency", json())}, {"financial_currency", est.value("financial_currency", json())}};
  json periods = json::object();
  for (const char* p : {"0q", "+1q"}) {
    json rec = json::object();
    for (auto& t : est.value("eps_trend", json::array()))
      if (t.value("period", json()) == p) rec["eps_trend"] = t;
    for (auto& t : est.value("eps_revisions", json::array()))
      if (t.value("period", json()) == p) rec["eps_revisions"] = t;
    if (!rec.empty()) periods[p] = rec;
  }
  if (periods.empty()) return unavailable("no_estimates");
  out["periods"] = periods;
  return out;
}

json earnings_section(const json& ev) {
  if (!ev.is_object()) return unavailable("no_data");
  json last;
  for (auto& e : ev.value("events", json::array())) {
    if (!e.value("eps_actual", json()).is_number()) continue;
    if (last.is_null() || e.value("date", std::string()) > last.value("date", std::string())) last = e;
  }
  if (last.is_null()) return unavailable("no_reported_event");
  return {{"date", last.value("date", json())},
          {"eps_estimate", last.value("eps_estimate", json())},
          {"eps_actual", last.value("eps_actual", json())},
          {"eps_surprise_pct", last.value("eps_surprise_pct", json())},
          {"financial_currency", ev.value("financial_currency", json())}};
}

json short_section(const json& s, long long at_unix_s) {
  if (!s.is_object()) return unavailable("no_data");
  json when = s.value("date_short_interest", json());
  json report = nullptr;
  if (when.is_number()) report = tessaro::us::epoch_day(when.get<long long>());
  else if (when.is_string()) report = when;
  json age = nullptr, stale = nullptr;
  if (report.is_string()) {
    ReportAge ra = short_report_age(report.get<std::string>(), at_unix_s);
    if (ra.days) {
      age = *ra.days;
      stale = ra.stale;
    }
  }
  json out = {{"short_percent_of_float", s.value("short_percent_of_float", json())},
              {"short_ratio", s.value("short_ratio", json())},
              {"days_to_cover", s.value("short_ratio", json())},
              {"shares_short", s.value("shares_short", json())},
              {"shares_short_prior_month", s.value("shares_short_prior_month", json())},
              {"report_date", report},
              {"age_days", age},
              {"stale", stale}};
  if (out["shares_short"].is_null() && out["short_percent_of_float"].is_null()) return unavailable("no_short_data");
  return out;
}

const char* kMultiDoc =
    "미국 여러 종목 진단(최대 20개) — 완성 일봉 기준 수익률·52주 위치·거래량·이평·RSI, 선택 섹션(include: estimates, "
    "earnings, short)을 JSON 으로 돌려줍니다. 점수·등급은 만들지 않습니다.\n\n"
    "Args:\n"
    "    tickers: 미국 티커 목록 (최대 20개, 예: [\"AAPL\", \"MSFT\"])\n"
    "    include: 더할 섹션 — estimates / earnings / short (없으면 기술 상태만)";

}  // namespace

std::string us_multi_diagnosis(const std::vector<std::string>& tickers_in, const std::optional<std::vector<std::string>>& include) {
  std::vector<std::string> tickers;
  for (auto& t : tickers_in) {
    std::string u = fmt::upper(fmt::trim(t));
    if (!u.empty() && std::find(tickers.begin(), tickers.end(), u) == tickers.end()) tickers.push_back(u);
  }
  if (tickers.empty()) return "티커 리스트가 비어있습니다.";
  std::vector<std::string> warnings;
  const size_t requested = tickers.size();
  bool truncated = requested > kMaxTickers;
  if (truncated) {
    tickers.resize(kMaxTickers);
    warnings.push_back("티커 요청 중 앞 " + std::to_string(kMaxTickers) + "개만 조회했습니다(상한 20).");
  }
  std::vector<std::string> sections, unknown;
  for (auto& s : include.value_or(std::vector<std::string>{})) {
    std::string k = fmt::lower(fmt::trim(s));
    if (std::find(kSections.begin(), kSections.end(), k) != kSections.end()) {
      if (std::find(sections.begin(), sections.end(), k) == sections.end()) sections.push_back(k);
    } else if (!k.empty()) {
      unknown.push_back(s);
    }
  }
  if (!unknown.empty())
    warnings.push_back("알 수 없는 include 섹션 " + fmt::join(unknown, ", ") + " - 유효: " + fmt::join(kSections, ", "));

  mt::Instant now = mt::now();
  std::vector<Entity> ents(tickers.size());
  auto has = [&](const char* s) { return std::find(sections.begin(), sections.end(), s) != sections.end(); };
  parallel_for(tickers.size(), 10, [&](size_t i) {
    Entity& e = ents[i];
    e.ticker = tickers[i];
    try {
      json series = tessaro::us::get_chart(e.ticker, "1y", "1d", false);
      json rows = series.value("rows", json::array());
      if (!rows.is_array() || rows.empty()) {
        e.out["chart"] = unavailable("no_history");
        e.out["technicals"] = unavailable("no_history");
        e.failed = true;
      } else {
        chart_section(e, rows,
                      mt::listing_of(text(series.value("symbol", json())).value_or(e.ticker),
                                     text(series.value("timezone", json())).value_or("")),
                      now);
      }
    } catch (...) {
      std::string why = "history_error:" + error_type(std::current_exception());
      e.out["chart"] = unavailable(why);
      e.out["technicals"] = unavailable(why);
      e.failed = true;
    }
    auto section = [&](const char* name, const std::function<json()>& fn) {
      if (!has(name)) return;
      json v;
      try {
        v = fn();
      } catch (...) {
        v = unavailable("fetch_error:" + error_type(std::current_exception()));
      }
      if (v.is_object() && v.value("status", json()) == "unavailable") e.unavailable_sections.push_back(std::string(name));
      e.out[name] = v;
    };
    section("estimates", [&] { return estimates_section(tessaro::us::get_analyst_estimates(e.ticker)); });
    section("earnings", [&] { return earnings_section(tessaro::us::get_earnings_events(e.ticker)); });
    section("short", [&] { return short_section(tessaro::us::get_short_interest(e.ticker), (long long)now.time_since_epoch().count()); });
  });

  json per = json::object(), per_day = json::object(), secs = json::object();
  std::vector<std::string> failed, unavail;
  std::string latest;
  json all_bars = json::array();
  for (auto& e : ents) {
    per[e.ticker] = e.out;
    per_day[e.ticker] = e.last_day.empty() ? json(nullptr) : json(e.last_day);
    secs[e.ticker] = e.unavailable_sections;
    if (e.failed) failed.push_back(e.ticker);
    for (auto& s : e.unavailable_sections) unavail.push_back(e.ticker + ":" + s);
    latest = std::max(latest, e.last_day);
  }
  if (!failed.empty()) warnings.push_back("조회 실패 티커: " + fmt::join(failed, ", "));
  if (!unavail.empty()) warnings.push_back("확인 불가 섹션(값이 없는 것이지 0이 아닙니다): " + fmt::join(unavail, ", "));
  bool complete = !truncated && failed.empty() && unavail.empty();

  json body = {{"tickers", per},
               {"note", "기술 상태는 완성 봉 기준입니다. 이 도구는 점수·등급을 만들지 않습니다 - 판정은 원값을 근거로 읽는 쪽이 합니다."}};
  server::UsMetaArgs m;
  m.kind = "bars";
  m.data_as_of = latest.empty() ? json(nullptr) : json(latest);
  m.bar_forming = false;
  m.data_completeness = complete ? rmeta::COMPLETE : rmeta::PARTIAL;
  m.coverage = {{"requested_entities", requested},
                {"returned_entities", tickers.size() - failed.size()},
                {"failed_entities", failed},
                {"unavailable_sections", unavail},
                {"truncated", truncated},
                {"coverage_complete", complete},
                {"reason", truncated ? json("server_cap") : complete ? json(nullptr) : json("source_limit")}};
  m.price_adjustment = tessaro::us::history_price_adjustment();
  m.extra = {{"per_entity_data_as_of", per_day}, {"sections", sections}};
  m.warnings = warnings;
  body["_meta"] = server::us_meta(m);
  return dump_compact(body);
}

namespace {
std::string get_us_multi_diagnosis(const server::Args& a) {
  return us_multi_diagnosis(a.str_list("tickers").value_or(std::vector<std::string>{}), a.str_list("include"));
}
const server::ToolRegistration reg_multi{"get_us_multi_diagnosis", kMultiDoc, get_us_multi_diagnosis};

// The reply is the JSON document below; the host sends it as structuredContent too.
const server::ToolDecorRegistration decor_multi{
    "get_us_multi_diagnosis",
    {server::json_reply_schema({{"tickers", server::object_schema()}, {"note", {{"type", "string"}}}}, {"tickers"})}};
const server::ArgumentShape shape_get_us_multi_diagnosis_tickers{"get_us_multi_diagnosis", "tickers", server::Shape::UsTicker};
}  // namespace

}  // namespace tessaro::tools::us
