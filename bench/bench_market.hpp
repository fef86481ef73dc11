#pragma once
// The market the benchmarks' loopback servers answer with: daily bars of any
// code up to a given day, market-cap pages of a two-market universe, and batched
// polling quotes. Bodies are cheap to make (the weekday calendar is built once),
// so the server's own time stays small against the latency it sleeps: the
// measured wall is the client's, not the fixture's.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/registry.hpp"
#include "slow_server.hpp"
#include "tools/kr/screener/screen_chart.hpp"

namespace bench {

inline std::string ymd(std::chrono::sys_days d) {
  std::chrono::year_month_day x{d};
  char b[16];
  std::snprintf(b, sizeof b, "%04d%02u%02u", int(x.year()), unsigned(x.month()), unsigned(x.day()));
  return b;
}

inline std::chrono::sys_days day_of(int y, unsigned m, unsigned d) {
  return std::chrono::sys_days{std::chrono::year{y} / std::chrono::month{m} / std::chrono::day{d}};
}

struct Weekday {
  int day;            // days since the epoch
  std::string text;   // "YYYYMMDD"
};

// Weekdays ending at `last` (included when it is one), oldest first.
inline const std::vector<Weekday>& weekdays_up_to(std::chrono::sys_days last) {
  static std::mutex m;
  static std::unordered_map<long, std::vector<Weekday>> memo;
  std::lock_guard<std::mutex> lk(m);
  auto& v = memo[long(last.time_since_epoch().count())];
  if (v.empty()) {
    std::vector<Weekday> back;
    for (auto d = last; back.size() < 3000; d -= std::chrono::days(1)) {
      unsigned wd = std::chrono::weekday(d).c_encoding();
      if (wd != 0 && wd != 6) back.push_back({int(d.time_since_epoch().count()), ymd(d)});
    }
    v.assign(back.rbegin(), back.rend());
  }
  return v;
}

// `count` daily bars of `code` ending at `last`, in the chart API's XML (EUC-KR,
// its name "종목" in that charset like a real chart's Korean name). A day's
// values depend on the code and the day only, so a later request agrees with an
// earlier one over the days both cover.
inline std::string bars_xml(const std::string& code, int count, std::chrono::sys_days last) {
  const auto& days = weekdays_up_to(last);
  if (count > int(days.size())) count = int(days.size());
  unsigned base = 2166136261u;
  for (unsigned char ch : code) base = (base ^ ch) * 16777619u;
  std::string s = "<?xml version=\"1.0\" encoding=\"EUC-KR\" ?>\n<protocol>\n<chartdata symbol=\"" + code +
                  "\" name=\"\xC1\xBE\xB8\xF1\" count=\"" + std::to_string(count) + "\" timeframe=\"day\" precision=\"0\">\n";
  s.reserve(s.size() + size_t(count) * 56);
  for (size_t i = days.size() - size_t(count); i < days.size(); ++i) {
    unsigned seed = base * 2654435761u ^ unsigned(days[i].day) * 40503u;
    long long c = 10000 + seed % 500;
    s += "<item data=\"" + days[i].text + "|" + std::to_string(c) + "|" + std::to_string(c + 50) + "|" +
         std::to_string(c - 50) + "|" + std::to_string(c) + "|100000\" />\n";
  }
  return s + "</chartdata>\n</protocol>\n";
}

// Page `page` (100 rows) of a market of `per_market` stocks coded 1xxxxx
// (KOSPI) or 2xxxxx (KOSDAQ), largest first.
inline std::string cap_page(const std::string& market, int page, int per_market) {
  std::string s = "{\"stocks\":[";
  for (int i = (page - 1) * 100; i < std::min(page * 100, per_market); ++i) {
    char code[8];
    std::snprintf(code, sizeof code, "%c%05d", market == "KOSPI" ? '1' : '2', i + 1);
    if (i % 100) s += ",";
    s += "{\"itemCode\":\"" + std::string(code) + "\",\"stockName\":\"종목" + code +
         "\",\"stockEndType\":\"stock\",\"closePrice\":\"10,000\",\"marketValue\":\"" +
         std::to_string(900000 - i) + "\",\"tradeStopType\":{\"name\":\"TRADING\"}}";
  }
  return s + "],\"totalCount\":" + std::to_string(per_market) + ",\"page\":" + std::to_string(page) +
         ",\"pageSize\":100}";
}

// The polling answer for the comma list of codes in `target`: today's KRX
// figures, traded at 10:04:59 of `today` ("YYYY-MM-DD").
inline std::string polling(const std::string& target, const std::string& today) {
  std::string list = target.substr(target.find("/domestic/stock/") + 16);
  list = list.substr(0, list.find('?'));
  for (size_t p; (p = list.find("%2C")) != std::string::npos;) list.replace(p, 3, ",");
  std::string s = "{\"pollingInterval\":7000,\"datas\":[";
  for (size_t at = 0; at < list.size(); at += 7) {
    if (at) s += ",";
    s += "{\"itemCode\":\"" + list.substr(at, 6) + "\",\"closePrice\":\"10,100\",\"openPrice\":\"10,000\","
         "\"highPrice\":\"10,200\",\"lowPrice\":\"9,900\",\"accumulatedTradingVolume\":\"50,000\",\"marketStatus\":\"OPEN\","
         "\"localTradedAt\":\"" + today + "T10:04:59+09:00\",\"tradeStopType\":{\"name\":\"TRADING\"}}";
  }
  std::string stamp = today.substr(0, 4) + today.substr(5, 2) + today.substr(8, 2) + "100500";
  return s + "],\"time\":\"" + stamp + "\"}";
}

// Every Naver host the benchmarks reach, as one server: daily charts up to a
// last day, the market-cap pages, batched polling quotes of `today` and each
// stock's basic page (a KOSPI common stock).
struct Market {
  std::function<std::chrono::sys_days()> last_day;
  std::string today;   // "YYYY-MM-DD"
  int per_market = 1000;
  std::atomic<long long> bar_bytes{0}, bar_requests{0};

  Reply answer(const std::string& target) {
    if (target.find("/sise.nhn") != std::string::npos) {
      std::string body = bars_xml(param(target, "symbol"), std::atoi(param(target, "count").c_str()), last_day());
      bar_bytes += (long long)body.size();
      ++bar_requests;
      return {body, "text/xml"};
    }
    if (target.find("/api/realtime/domestic/stock/") != std::string::npos)
      return {polling(target, today), "application/json; charset=utf-8"};
    if (target.find("/api/stocks/marketValue/") != std::string::npos) {
      std::string market = target.find("KOSDAQ") != std::string::npos ? "KOSDAQ" : "KOSPI";
      return {cap_page(market, std::atoi(param(target, "page").c_str()), per_market), "application/json; charset=utf-8"};
    }
    if (target.find("/basic") != std::string::npos)
      return {"{\"stockEndType\":\"stock\",\"stockExchangeType\":{\"code\":\"KS\",\"nameEng\":\"KOSPI\"}}",
              "application/json; charset=utf-8"};
    return {"[]", "application/json; charset=utf-8"};
  }
};

// The screen every benchmark runs: the top `per_market` of each market, nothing
// excluded, one condition (the moving averages within 2.5 %).
inline tessaro::server::Args screen_args(int per_market) {
  tessaro::json a = tessaro::json::object();
  for (const auto& p : tessaro::server::find_tool("screen_chart")->params) a[p.name] = p.default_value;
  a["universe_top"] = per_market;
  a["exclude"] = "없음";
  a["market_cap_min"] = 0.0;
  a["ma_spread_max"] = 2.5;
  return tessaro::server::Args(a);
}

// The screen's real sources, with empty designation lists (nothing to exclude).
inline tessaro::tools::screen::Sources screen_sources() {
  tessaro::tools::screen::Sources src = tessaro::tools::screen::default_sources();
  src.management_codes = [] { return tessaro::json::array(); };
  src.alert_codes = [] { return tessaro::json::object(); };
  return src;
}

// Seconds since `t0`.
inline double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The floor of `requests` sent `bound` at a time, one `latency_ms` each, in seconds.
inline double floor_seconds(long requests, int bound, int latency_ms) {
  return std::ceil(double(requests) / bound) * latency_ms / 1000.0;
}

// One timed call: its wall time and the requests `srv` saw meanwhile.
struct Timed {
  double wall_s = 0;
  long requests = 0;
};
template <class F>
Timed timed(const SlowServer& srv, F&& call) {
  long before = srv.requests.load();
  auto t0 = std::chrono::steady_clock::now();
  call();
  return {seconds_since(t0), srv.requests.load() - before};
}

}  // namespace bench
