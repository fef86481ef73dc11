// The public minute-bar providers: Yahoo's chart API for US stocks and Naver's
// minute series for Korean stocks.
#include <algorithm>

#include "core/format.hpp"
#include "sources/market_data/market_data.hpp"
#include "sources/naver/naver.hpp"
#include "sources/yahoo/client.hpp"

namespace tessaro::market_data {
namespace {

using std::chrono::minutes;
using std::chrono::seconds;

long long unix_of(mt::Instant t) { return t.time_since_epoch().count(); }
mt::Instant instant_of(long long s) { return mt::Instant(seconds(s)); }

class YahooMinutes : public Provider {
 public:
  std::string id() const override { return "yahoo"; }
  bool is_broker() const override { return false; }
  std::string intraday_capability(const std::string& market, const std::string&) const override {
    return market == "US" ? "available" : "unsupported";
  }

  BarDataset fetch_bars(const BarRequest& req, const ProviderContext&) override {
    if (req.market != "US") throw ProviderError("야후 분봉은 미국 종목만 제공합니다.", id(), ST_UNSUPPORTED);
    auto sym = us::detail::normalize_symbol(req.symbol);
    if (!sym) throw SymbolMappingError("야후에서 쓸 수 없는 티커입니다: " + req.symbol, id());
    int mins = interval_minutes(req.interval).value_or(1);
    us::detail::Params p = {{"period1", std::to_string(unix_of(req.start_at))},
                            {"period2", std::to_string(unix_of(req.end_at))},
                            {"interval", req.interval},
                            {"includePrePost", "false"}};
    json body;
    try {
      body = us::detail::api_json(us::detail::Q2, "/v8/finance/chart/" + us::detail::url_encode(*sym), p);
    } catch (const HTTPStatusError& e) {
      throw ProviderError(std::string("야후 분봉 조회 실패: ") + e.what(), id(),
                          e.status() == 429 ? ST_RATE_LIMITED : ST_UNAVAILABLE);
    } catch (const HTTPError& e) {
      throw ProviderError(std::string("야후 분봉 조회 실패: ") + e.class_name() + ": " + e.what(), id(),
                          ST_UNAVAILABLE);
    }
    const json chart = body.is_object() ? body.value("chart", json()) : json();
    const json err = chart.is_object() ? chart.value("error", json()) : json();
    if (err.is_object()) {
      std::string code = err.value("code", "");
      if (code == "Not Found") throw SymbolMappingError("야후에 없는 티커입니다: " + *sym, id());
      throw ProviderError("야후 분봉 조회 실패: " + err.value("description", code), id(), ST_UNAVAILABLE);
    }
    BarDataset ds;
    ds.provider = id();
    ds.market = "US";
    ds.symbol = *sym;
    ds.source_interval = req.interval;
    ds.source_endpoint = "yahoo_chart";
    ds.timezone = mt::NEW_YORK;
    json r = chart.is_object() && chart["result"].is_array() && !chart["result"].empty() ? chart["result"][0] : json();
    if (!r.is_object() || !r["timestamp"].is_array()) {
      ds.coverage = {{"complete", true}, {"returned_rows", 0}};
      return ds;
    }
    const json& ts = r["timestamp"];
    json q = r["indicators"].is_object() && r["indicators"]["quote"].is_array() && !r["indicators"]["quote"].empty()
                 ? r["indicators"]["quote"][0]
                 : json::object();
    auto at = [&](const char* k, size_t i) { return us::detail::dnum(q.contains(k) && q[k].is_array() && i < q[k].size() ? q[k][i] : json()); };
    mt::Instant now = mt::now();
    int skipped = 0;
    for (size_t i = 0; i < ts.size(); ++i) {
      if (!ts[i].is_number()) continue;
      auto o = at("open", i), h = at("high", i), l = at("low", i), c = at("close", i), v = at("volume", i);
      if (!o || !h || !l || !c || !v) {
        ++skipped;   // a slot without a trade or without volume is not a bar
        continue;
      }
      Bar b;
      b.start_at = instant_of(ts[i].get<long long>());
      b.end_at = b.start_at + minutes(mins);
      if (b.start_at < req.start_at || b.start_at >= req.end_at) continue;
      if (b.end_at > req.end_at) {   // Yahoo's hourly 15:30 bar: the close cuts it to 30 minutes
        b.end_at = req.end_at;
        b.session_tail = true;
        b.actual_minutes = (int)std::chrono::duration_cast<minutes>(b.end_at - b.start_at).count();
      }
      b.open = *o, b.high = *h, b.low = *l, b.close = *c, b.volume = *v;
      b.complete = b.end_at <= now;
      ds.bars.push_back(b);
    }
    ds.bars = sort_and_dedupe(std::move(ds.bars));
    ds.coverage = {{"complete", true}, {"returned_rows", (int)ds.bars.size()}};
    return ds;
  }
};

// fchart items "YYYYMMDDHHMM|open|high|low|close|volume"; open/high/low may be the
// text "null" (the series then only has last prices and cannot make OHLC bars).
class NaverMinutes : public Provider {
 public:
  std::string id() const override { return "naver"; }
  bool is_broker() const override { return false; }
  std::string intraday_capability(const std::string& market, const std::string&) const override {
    return market == "KR" ? "available" : "unsupported";
  }

  BarDataset fetch_bars(const BarRequest& req, const ProviderContext&) override {
    if (req.market != "KR") throw ProviderError("네이버 분봉은 국내 종목만 제공합니다.", id(), ST_UNSUPPORTED);
    std::string code = fmt::trim(req.symbol);
    if (code.size() != 6) throw SymbolMappingError("6자리 종목코드가 아닙니다: " + req.symbol, id());
    std::string xml;
    try {
      xml = naver::fetch_text("fchart.stock.naver.com",
                              "/sise.nhn?symbol=" + code + "&timeframe=minute&count=1500&requestType=0", true);
    } catch (const HTTPStatusError& e) {
      throw ProviderError(std::string("네이버 분봉 조회 실패: ") + e.what(), id(),
                          e.status() == 429 ? ST_RATE_LIMITED : ST_UNAVAILABLE);
    } catch (const HTTPError& e) {
      throw ProviderError(std::string("네이버 분봉 조회 실패: ") + e.class_name() + ": " + e.what(), id(),
                          ST_UNAVAILABLE);
    }
    std::string day = fmt::replace_all(req.trading_date, "-", "");
    auto d = mt::parse_day(req.trading_date);
    BarDataset ds;
    ds.provider = id();
    ds.market = "KR";
    ds.symbol = code;
    ds.source_interval = "1m";
    ds.source_endpoint = "naver_fchart_minute";
    ds.timezone = mt::KST;
    bool price_only = false;
    std::vector<std::pair<Bar, double>> raw;   // bar, reported volume
    size_t pos = 0;
    while ((pos = xml.find("data=\"", pos)) != std::string::npos) {
      pos += 6;
      size_t end = xml.find('"', pos);
      if (end == std::string::npos) break;
      std::string item = xml.substr(pos, end - pos);
      pos = end;
      if (item.compare(0, 8, day) != 0 || item.size() < 12) continue;
      std::vector<std::string> f;
      size_t b = 0;
      for (size_t i = 0; i <= item.size(); ++i)
        if (i == item.size() || item[i] == '|') {
          f.push_back(item.substr(b, i - b));
          b = i + 1;
        }
      if (f.size() < 6 || !d) continue;
      auto o = fmt::parse_number(f[1]), h = fmt::parse_number(f[2]), l = fmt::parse_number(f[3]),
           c = fmt::parse_number(f[4]), v = fmt::parse_number(f[5]);
      if (!c) continue;
      if (!o || !h || !l) {
        price_only = true;
        continue;
      }
      int hh = std::atoi(item.substr(8, 2).c_str()), mm = std::atoi(item.substr(10, 2).c_str());
      Bar bar;
      bar.start_at = mt::from_kst(*d, hh, mm);
      bar.end_at = bar.start_at + minutes(1);
      if (bar.start_at < req.start_at || bar.start_at >= req.end_at) continue;
      bar.open = *o, bar.high = *h, bar.low = *l, bar.close = *c;
      raw.push_back({bar, v ? *v : -1});
    }
    if (raw.empty() && price_only)
      throw ProviderError(
          "네이버 분봉은 분마다 마지막 체결가만 주고 시가·고가·저가가 없어 분봉 OHLCV로 쓸 수 없습니다. 국내 분봉은 "
          "증권사 연결(kis 또는 kiwoom)이 필요합니다.",
          id(), ST_UNSUPPORTED);
    // The volume field is the day's running total when it never decreases.
    bool cumulative = raw.size() > 1;
    for (size_t i = 1; i < raw.size() && cumulative; ++i)
      if (raw[i].second < raw[i - 1].second) cumulative = false;
    mt::Instant now = mt::now();
    double prev = 0;
    for (auto& [bar, vol] : raw) {
      if (vol < 0) continue;   // no volume: not a usable bar
      bar.volume = cumulative ? vol - prev : vol;
      prev = vol;
      bar.complete = bar.end_at <= now;
      ds.bars.push_back(bar);
    }
    ds.bars = sort_and_dedupe(std::move(ds.bars));
    ds.coverage = {{"complete", true}, {"returned_rows", (int)ds.bars.size()}};
    return ds;
  }
};

const ProviderRegistration reg_yahoo{"yahoo", [] { return std::shared_ptr<Provider>(new YahooMinutes()); }};
const ProviderRegistration reg_naver{"naver", [] { return std::shared_ptr<Provider>(new NaverMinutes()); }};

}  // namespace
}  // namespace tessaro::market_data
