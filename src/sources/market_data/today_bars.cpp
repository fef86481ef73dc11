#include "sources/market_data/today_bars.hpp"

#include <algorithm>
#include <map>

#include "core/call_context.hpp"
#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/lookup.hpp"
#include "core/parallel.hpp"
#include "sources/market_data/daily_bars.hpp"
#include "sources/http.hpp"
#include "sources/naver/naver.hpp"
#include "sources/naver/parse_util.hpp"

namespace tessaro::bars_cache {

namespace {

constexpr const char* kQuoteSource = "naver.polling_today_bars";
constexpr const char* kChartSource = "naver.daily_chart";
// Batches in flight at once; the chart stand-ins keep the screen's own bound.
constexpr size_t kBatchConcurrency = 10;
constexpr size_t kChartConcurrency = 10;

std::string item_code(const json& it) {
  for (const char* k : {"itemCode", "symbolCode"})
    if (it.contains(k) && it[k].is_string()) return fmt::upper(it[k].get<std::string>());
  return "";
}

// A value of the KRX block: the raw digits when present (after the close), else
// the display text.
std::optional<double> krx_value(const json& it, const std::string& key) {
  auto raw = it.find(key + "Raw");
  if (raw != it.end()) {
    auto v = naver::parse::number(*raw);
    if (v) return v;
  }
  auto f = it.find(key);
  return f == it.end() ? std::nullopt : naver::parse::number(*f);
}

void say(std::string* why, const std::string& text) {
  if (why) *why = text;
}

}  // namespace

std::optional<QuoteBar> quote_bar(const json& it, std::string* why) {
  if (!it.is_object()) return say(why, "not an item"), std::nullopt;
  const json& stop = it.value("tradeStopType", json());
  if (stop.is_object() && naver::parse::text(stop, "name") != "TRADING") return say(why, "halted"), std::nullopt;
  if (naver::parse::text(it, "marketStatus") == "PREOPEN") return say(why, "before the open"), std::nullopt;
  std::string traded_at = naver::parse::text(it, "localTradedAt");
  if (traded_at.size() < 10 || traded_at[4] != '-' || traded_at[7] != '-') return say(why, "no trade time"), std::nullopt;
  auto o = krx_value(it, "openPrice"), h = krx_value(it, "highPrice"), l = krx_value(it, "lowPrice"),
       c = krx_value(it, "closePrice"), v = krx_value(it, "accumulatedTradingVolume");
  if (!o || !h || !l || !c || !v) return say(why, "a value did not read"), std::nullopt;
  // No trade yet shows as zeros: that is no bar, never a bar at 0.
  if (*o <= 0 || *h <= 0 || *l <= 0 || *c <= 0 || *v < 0) return say(why, "no trade"), std::nullopt;
  if (*l > std::min(*o, *c) || *h < std::max(*o, *c)) return say(why, "inconsistent high/low"), std::nullopt;
  QuoteBar b;
  b.traded_at = traded_at;
  b.row = json{{"date", traded_at.substr(0, 10)},
               {"open", naver::parse::to_json_number(*o)},
               {"high", naver::parse::to_json_number(*h)},
               {"low", naver::parse::to_json_number(*l)},
               {"close", naver::parse::to_json_number(*c)},
               {"volume", naver::parse::to_json_number(*v)}};
  return b;
}

TodayBarsReport prefetch_today_bars(const std::vector<std::string>& codes_in, int count) {
  TodayBarsReport rep;
  std::vector<std::string> codes;
  std::map<std::string, TodayGap> gaps;
  for (const auto& c0 : codes_in) {
    std::string c = fmt::upper(fmt::trim(c0));
    if (gaps.count(c)) continue;
    if (auto g = today_gap(c, count)) {
      gaps.emplace(c, *g);
      codes.push_back(c);
    }
  }
  rep.wanted = codes.size();
  if (codes.empty()) return rep;

  const size_t nb = (codes.size() + TODAY_QUOTE_BATCH - 1) / TODAY_QUOTE_BATCH;
  rep.batches = nb;
  // Each batch's bars are put in the cache as soon as its answer is in, while
  // the other batches are still on their way.
  // (Twice the workers of the bound, so the requests go on while answers are read.)
  std::vector<size_t> from_quote(nb, 0);
  Semaphore in_flight{int(kBatchConcurrency)};
  auto errs = parallel_for(nb, std::min(nb, 2 * kBatchConcurrency), [&](size_t b) {
    http::RequestBound bound(in_flight);
    const size_t from = b * TODAY_QUOTE_BATCH, to = std::min(codes.size(), (b + 1) * TODAY_QUOTE_BATCH);
    std::vector<std::string> batch(codes.begin() + long(from), codes.begin() + long(to));
    json j = naver::fetch_json("polling.finance.naver.com",
                               http::Target("/api/realtime/domestic/stock/{}", http::List{batch}), false,
                               "https://finance.naver.com/");
    if (!j.is_object() || !j.contains("datas") || !j["datas"].is_array())
      throw NaverParseError("시세 응답에서 datas를 읽지 못했습니다");
    std::map<std::string, const json*> by_code;
    for (const auto& it : j["datas"])
      if (it.is_object()) by_code[item_code(it)] = &it;
    for (size_t i = from; i < to; ++i) {
      const std::string& c = codes[i];
      auto f = by_code.find(c);
      if (f == by_code.end()) continue;   // left to the chart
      auto bar = quote_bar(*f->second);
      if (!bar) continue;
      const TodayGap& g = gaps.at(c);
      const std::string day = bar->row["date"].get<std::string>();
      bool put = false;
      if (day == g.today) {
        put = put_today_bar(c, g, bar->row, count);
      } else if (day == g.last_final_day && g.close_known && bar->row["close"].get<double>() == g.last_final_close) {
        // The last trade is the last final bar's: nothing has traded today yet.
        put = put_today_bar(c, g, std::nullopt, count);
      }
      if (put) ++from_quote[b];
    }
  });

  for (size_t b = 0; b < nb; ++b) {
    const size_t from = b * TODAY_QUOTE_BATCH, to = std::min(codes.size(), (b + 1) * TODAY_QUOTE_BATCH);
    if (errs[b]) {
      std::string reason = "error";
      try {
        std::rethrow_exception(errs[b]);
      } catch (const std::exception& e) {
        reason = lookup_reason(e);
      } catch (...) {
      }
      record_lookup(kQuoteSource, LookupStatus::failed, reason + " (" + std::to_string(to - from) + "종목)");
      ++rep.failed_batches;
      for (size_t i = from; i < to; ++i) rep.chart_fallback.push_back(codes[i]);
      continue;
    }
    record_lookup(kQuoteSource, LookupStatus::found);
    rep.from_quote += from_quote[b];
  }

  // The stocks of a failed batch: their own chart request, named as the stand-in.
  if (!rep.chart_fallback.empty()) {
    Semaphore charts_in_flight{int(kChartConcurrency)};
    auto cerrs = parallel_for(rep.chart_fallback.size(), 2 * kChartConcurrency, [&](size_t i) {
      http::RequestBound bound(charts_in_flight);
      get_ohlcv(rep.chart_fallback[i], "day", count);
    });
    size_t ok = 0;
    for (size_t i = 0; i < cerrs.size(); ++i) {
      if (!cerrs[i]) {
        ++ok;
        continue;
      }
      std::string reason = "error";
      try {
        std::rethrow_exception(cerrs[i]);
      } catch (const std::exception& e) {
        reason = lookup_reason(e);
      } catch (...) {
      }
      record_lookup(kChartSource, LookupStatus::failed, rep.chart_fallback[i] + ": " + reason, kQuoteSource);
    }
    if (ok > 0) record_lookup(kChartSource, LookupStatus::found, std::to_string(ok) + "종목", kQuoteSource);
  }
  return rep;
}

}  // namespace tessaro::bars_cache
