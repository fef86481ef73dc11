// Many stocks at once: realtime quotes in batches of the polling API, period
// statistics from daily bars, and the KOSPI/KOSDAQ index quote.
#include <algorithm>
#include <cmath>
#include <map>
#include <regex>
#include <set>

#include "core/call_context.hpp"
#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/clock.hpp"
#include "core/parallel.hpp"
#include "sources/contracts.hpp"
#include "sources/http.hpp"
#include "sources/naver/lists_common.hpp"
#include "sources/market_data/daily_bars.hpp"
#include "sources/naver/naver.hpp"
#include "sources/naver/parse_util.hpp"

namespace tessaro::naver {

static const contracts::Contract& kIndexDailyShape = contracts::declare(
    {"naver.index_daily", "네이버 지수 일별 시세", false,
     {{"[]", contracts::Kind::Object},
      {"[].localTradedAt", contracts::Kind::String},
      {"[].closePrice", contracts::Kind::Numeric},
      {"[].compareToPreviousClosePrice", contracts::Kind::Numeric},
      {"[].compareToPreviousPrice", contracts::Kind::Object},
      {"[].fluctuationsRatio", contracts::Kind::Numeric},
      {"[].openPrice", contracts::Kind::Numeric, false},
      {"[].highPrice", contracts::Kind::Numeric, false},
      {"[].lowPrice", contracts::Kind::Numeric, false}}});

namespace {

constexpr size_t kPollingBatch = 30;

std::vector<std::string> clean_codes(const std::vector<std::string>& codes) {
  static const std::regex re("^[A-Za-z0-9]{6}$");
  std::vector<std::string> out;
  std::set<std::string> seen;
  for (const auto& c0 : codes) {
    std::string c = fmt::upper(fmt::trim(c0));
    if (!std::regex_match(c, re) || !seen.insert(c).second) continue;
    out.push_back(c);
  }
  return out;
}

std::string item_code(const json& it) {
  for (const char* k : {"itemCode", "symbolCode"})
    if (it.contains(k) && it[k].is_string()) return fmt::upper(it[k].get<std::string>());
  return "";
}

}  // namespace

json get_multi_stocks(const std::vector<std::string>& codes_in) {
  std::vector<std::string> codes = clean_codes(codes_in);
  size_t nb = (codes.size() + kPollingBatch - 1) / kPollingBatch;
  std::vector<json> answers(nb);
  auto errs = parallel_for(nb, nb, [&](size_t b) {
    std::vector<std::string> batch(codes.begin() + b * kPollingBatch,
                                   codes.begin() + std::min(codes.size(), (b + 1) * kPollingBatch));
    json j = fetch_json("polling.finance.naver.com",
                        http::Target("/api/realtime/domestic/stock/{}", http::List{batch}), false,
                        "https://finance.naver.com/");
    if (!j.is_object() || !j.contains("datas") || !j["datas"].is_array())
      throw NaverParseError(contracts::problem(*contracts::find("naver.polling_stock"), j)
                                .value_or("시세 응답에서 datas를 읽지 못했습니다"));
    answers[b] = j["datas"];
  });
  // Every batch failed: that is an outage, not a list of unknown codes.
  bool all_failed = nb > 0;
  for (auto& e : errs) all_failed = all_failed && e;
  if (all_failed) std::rethrow_exception(errs.front());
  std::map<std::string, json> by_code;
  for (size_t b = 0; b < nb; ++b)
    if (!errs[b])
      for (const auto& it : answers[b])
        if (it.is_object()) by_code[item_code(it)] = it;
  // After the after-market opens a quote's session depends on the stock's market
  // division (ETFs and ETNs have no after-market): asked once per code that needs
  // it, all at once within the host's bound, rather than one row after another.
  std::vector<std::string> need;
  for (const auto& c : codes)
    if (auto f = by_code.find(c); f != by_code.end() && polling_item_needs_division(f->second)) need.push_back(c);
  std::vector<std::optional<std::string>> found(need.size());
  parallel_for(need.size(), size_t(http::per_host_limit()), [&](size_t i) { found[i] = get_krx_sosok(need[i]); });
  Divisions divisions;
  for (size_t i = 0; i < need.size(); ++i) divisions[need[i]] = found[i];
  json rows = json::array();
  for (const auto& c : codes) {
    auto f = by_code.find(c);
    if (f == by_code.end()) continue;
    json q = quote_from_polling_item(c, f->second, &divisions);
    json row = {{"code", c},
                {"name", q.value("name", std::string())},
                {"price", q.value("price", json())},
                {"change", q.value("change", json())},
                {"change_rate", ""},
                {"volume", q.value("volume", json())},
                {"price_session", q.value("price_session", json())}};
    // The day of the last trade: a halted or illiquid stock's quote is older than today's.
    if (q.contains("quote_date")) row["quote_date"] = q["quote_date"];
    // The ratio text carries no reliable sign; the signed change does.
    auto r = parse::number(f->second.value("fluctuationsRatio", json()));
    if (r && row["change"].is_number()) {
      double ch = row["change"].get<double>();
      double v = std::fabs(*r) * (ch < 0 ? -1 : 1);
      row["change_rate"] = ch == 0 ? "0.00%" : detail::rate_text(v);
    } else if (r) {
      row["change_rate"] = fmt::fixed(*r, 2) + "%";
    }
    if (q.contains(PARSE_MISS_KEY)) row[PARSE_MISS_KEY] = q[PARSE_MISS_KEY];
    rows.push_back(row);
  }
  return rows;
}

namespace {

std::optional<double> num_of(const json& row, const char* k) {
  if (!row.is_object() || !row.contains(k)) return std::nullopt;
  return detail::jnum(row[k]);
}

json chart_stats(const std::string& code, int days) {
  json bars = bars_cache::get_ohlcv(code, "day", days);
  json out = {{"code", code}};
  // The chart answered with no bar at all: the site has no such code.
  if (bars.is_array() && bars.empty()) return {{"code", code}, {"error", "not_found"}, {"bars_count", nullptr}, {"excluded_bars", 0}};
  int excluded = 0;
  struct Bar {
    std::string date;
    double high, low, close;
  };
  std::vector<Bar> ok;
  if (bars.is_array())
    for (const auto& b : bars) {
      auto o = num_of(b, "open"), h = num_of(b, "high"), l = num_of(b, "low"), c = num_of(b, "close");
      auto v = num_of(b, "volume");
      std::string d = b.is_object() && b.contains("date") && b["date"].is_string() ? b["date"].get<std::string>() : "";
      // A halted day is delivered as a placeholder bar (no trades, one price or
      // zeros); its high and low are not real and stay out of the statistics.
      bool placeholder = !o || !h || !l || !c || *c <= 0 || *h <= 0 || *l <= 0 || d.empty() ||
                         (v && *v == 0 && *o == *h && *h == *l && *l == *c);
      if (placeholder) {
        ++excluded;
        continue;
      }
      ok.push_back({d, *h, *l, *c});
    }
  out["bars_count"] = ok.size();
  out["excluded_bars"] = excluded;
  if (ok.empty()) {
    out["error"] = "no_bars";
    return out;
  }
  const Bar& last = ok.back();
  auto hi = std::max_element(ok.begin(), ok.end(), [](const Bar& a, const Bar& b) { return a.high < b.high; });
  auto lo = std::min_element(ok.begin(), ok.end(), [](const Bar& a, const Bar& b) { return a.low < b.low; });
  out["current_price"] = parse::to_json_number(last.close);
  out["current_date"] = last.date;
  out["high"] = parse::to_json_number(hi->high);
  out["high_date"] = hi->date;
  out["low"] = parse::to_json_number(lo->low);
  out["low_date"] = lo->date;
  out["drawdown_pct"] = (last.close - hi->high) / hi->high * 100.0;
  out["period_return_pct"] = (last.close / ok.front().close - 1.0) * 100.0;
  return out;
}

}  // namespace

json get_multi_chart_stats(const std::vector<std::string>& codes_in, int days) {
  std::vector<std::string> codes = clean_codes(codes_in);
  days = std::clamp(days, 1, 1000);
  std::vector<json> rows(codes.size());
  auto errs = parallel_for(codes.size(), 10, [&](size_t i) { rows[i] = chart_stats(codes[i], days); });
  json out = json::array();
  for (size_t i = 0; i < codes.size(); ++i) {
    if (errs[i]) {
      std::string why = "fetch_failed";
      try {
        std::rethrow_exception(errs[i]);
      } catch (const HTTPStatusError& e) {
        // A 404/410 is an address gone, never a code that does not exist.
        why = e.class_name() + std::string(" ") + std::to_string(e.status());
      } catch (const Error& e) {
        why = e.class_name();
      } catch (...) {
      }
      out.push_back({{"code", codes[i]}, {"error", why}, {"bars_count", nullptr}, {"excluded_bars", 0}});
      continue;
    }
    out.push_back(rows[i]);
  }
  return out;
}

namespace {
// The mobile site's per-index summary carries the same keys as one polling item.
// An index whose own summary could not be fetched is named in `failed` (code ->
// short cause), so that it reads as a failed request, not as unread fields.
json index_datas_from_basic(std::map<std::string, std::string>& failed) {
  json datas = json::array();
  std::exception_ptr first;
  for (const char* code : {"KOSPI", "KOSDAQ"}) {
    try {
      json b = fetch_json("m.stock.naver.com", http::Target("/api/index/{}/basic", code));
      if (b.is_object()) {
        if (!b.contains("itemCode") && !b.contains("symbolCode")) b["itemCode"] = code;
        datas.push_back(b);
      }
    } catch (const Error& e) {
      failed[code] = lookup_reason(e);
      if (!first) first = std::current_exception();
    }
  }
  if (datas.empty() && first) std::rethrow_exception(first);
  return datas;
}
}  // namespace

json get_market_index() {
  json j;
  std::map<std::string, std::string> failed;
  bool stand_in = false;
  try {
    j = fetch_json("stock.naver.com", http::Target("/api/polling/domestic/index?itemCodes=KOSPI,KOSDAQ"), false,
                   "https://stock.naver.com/");
  } catch (const Error&) {
    // The polling feed is down: each index's own summary on the mobile site;
    // when that fails too, the feed's own failure is the one reported.
    auto primary = std::current_exception();
    try {
      j = {{"datas", index_datas_from_basic(failed)}};
      stand_in = true;
      record_lookup("m.stock.naver.com/api/index/*/basic", LookupStatus::found, "",
                    "stock.naver.com/api/polling/domestic/index");
    } catch (const Error&) {
      std::rethrow_exception(primary);
    }
  }
  if (!j.is_object() || !j.contains("datas") || !j["datas"].is_array())
    throw NaverParseError(contracts::problem(*contracts::find("naver.polling_index"), j)
                              .value_or("지수 응답에서 datas를 읽지 못했습니다"));
  static const std::vector<std::pair<std::string, std::string>> wanted = {{"KOSPI", "코스피"}, {"KOSDAQ", "코스닥"}};
  json rows = json::array();
  for (const auto& [code, kname] : wanted) {
    const json* it = nullptr;
    for (const auto& d : j["datas"])
      if (d.is_object() && item_code(d) == code) it = &d;
    json row = {{"index", kname}, {"value", nullptr}, {"change_value", nullptr}, {"change_rate", nullptr}};
    if (stand_in) row["via"] = "index_basic";
    if (auto f = failed.find(code); f != failed.end()) {
      // Its request failed: nothing to read, and nothing "unread".
      row["failed"] = f->second;
      rows.push_back(row);
      continue;
    }
    std::vector<std::string> miss;
    if (it) {
      if (it->value("stockName", json()).is_string() && !(*it)["stockName"].get<std::string>().empty())
        row["index"] = (*it)["stockName"];
      auto put = [&](const char* key, const char* src) {
        auto v = parse::number(it->value(src, json()));
        if (v) row[key] = *v;
        else miss.push_back(key);
      };
      put("value", "closePrice");
      put("change_value", "compareToPreviousClosePrice");   // signed in this API
      put("change_rate", "fluctuationsRatio");
      if (it->value("marketStatus", json()).is_string()) row["market_status"] = (*it)["marketStatus"];
    } else {
      miss = {"value", "change_value", "change_rate"};
    }
    if (!miss.empty()) row[PARSE_MISS_KEY] = miss;
    rows.push_back(row);
  }
  return rows;
}

json get_index_daily(const std::string& index_code, int count) {
  const std::string code = fmt::upper(fmt::trim(index_code));
  if (code != "KOSPI" && code != "KOSDAQ") return json::array();
  count = std::clamp(count, 1, 60);
  json j = fetch_json("m.stock.naver.com", http::Target("/api/index/{}/price?pageSize={}&page=1", code, count),
                      false, "https://m.stock.naver.com/");
  if (!j.is_array()) throw NaverParseError(contracts::problem(kIndexDailyShape, j).value_or("지수 일별 시세가 배열이 아닙니다"));
  json out = json::array();
  for (const auto& r : j) {
    if (!r.is_object()) continue;
    auto day = mt::parse_day(parse::text(r, "localTradedAt").substr(0, 10));
    if (!day) continue;   // a row without its trading day cannot be matched to anything
    json row = {{"date", mt::day_str(*day)}};
    std::vector<std::string> miss;
    auto put = [&](const char* key, std::optional<double> v) {
      if (v) row[key] = *v;
      else {
        row[key] = nullptr;
        miss.push_back(key);
      }
    };
    auto mag = [&](const char* src) -> std::optional<double> {
      auto v = parse::number(r.value(src, json()));
      return v ? std::optional<double>(std::fabs(*v)) : std::nullopt;
    };
    put("close", mag("closePrice"));
    // Magnitudes from the text, the sign from the direction code: the change
    // text carries its minus, the ratio of a rising day carries no plus.
    const json dir = r.value("compareToPreviousPrice", json());
    bool disagree = false;
    put("change", parse::signed_change(r.value("compareToPreviousClosePrice", json()), dir, disagree));
    bool disagree_rate = false;
    put("change_rate", parse::signed_change(r.value("fluctuationsRatio", json()), dir, disagree_rate));
    put("open", mag("openPrice"));
    put("high", mag("highPrice"));
    put("low", mag("lowPrice"));
    if (disagree || disagree_rate) miss.push_back("direction");
    if (!miss.empty()) row[PARSE_MISS_KEY] = miss;
    out.push_back(row);
  }
  if (out.empty() && !j.empty())
    throw NaverParseError(contracts::problem(kIndexDailyShape, j).value_or("지수 일별 시세에서 날짜를 읽지 못했습니다"));
  return out;
}

}  // namespace tessaro::naver
