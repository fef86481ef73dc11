// The public minute-bar providers: Yahoo's chart API for US stocks and Naver's
// minute chart for Korean stocks.
#include <algorithm>
#include <cstdio>
#include <map>

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
      body = us::detail::api_json(us::detail::Q2, http::Target("/v8/finance/chart/{}", *sym), p);
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

// Naver's minute chart (api.stock.naver.com): one request for the day's window
// with open, high, low, close and the volume of each minute (KRX). A minute
// without a trade has no bar. Every bar is labelled by the session that traded
// it: the window of a regular-session request ends with the day's closing
// auction (15:30; 16:30 on the exam day), so the closing-price trades after it
// and the after-market stay out.
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
    bool ok_code = code.size() == 6;
    for (unsigned char c : code) ok_code = ok_code && std::isalnum(c);
    if (!ok_code) throw SymbolMappingError("6자리 종목코드가 아닙니다: " + req.symbol, id());
    auto stamp = [](mt::Instant t) {
      mt::Civil c = mt::to_kst(t);
      return fmt::replace_all(c.date_str(), "-", "") + (c.minutes() / 60 < 10 ? "0" : "") +
             std::to_string(c.minutes() / 60) + (c.minutes() % 60 < 10 ? "0" : "") + std::to_string(c.minutes() % 60);
    };
    // Both ends are included by the API: stop at the window's last minute.
    std::string start = stamp(req.start_at), end = stamp(req.end_at - minutes(1));
    json rows;
    try {
      rows = naver::get_minute_chart(code, start, end);
    } catch (const HTTPStatusError& e) {
      // A 404/410 is the minute endpoint gone or moved, never a code that does not exist.
      throw ProviderError(std::string("네이버 분봉 조회 실패: ") + e.what(), id(),
                          e.status() == 429 ? ST_RATE_LIMITED : ST_UNAVAILABLE);
    } catch (const HTTPError& e) {
      throw ProviderError(std::string("네이버 분봉 조회 실패: ") + e.class_name() + ": " + e.what(), id(),
                          ST_UNAVAILABLE);
    } catch (const NaverParseError& e) {
      throw ProviderError(std::string("네이버 분봉 응답을 읽지 못했습니다: ") + e.what(), id(), ST_UNAVAILABLE);
    }
    BarDataset ds;
    ds.provider = id();
    ds.market = "KR";
    ds.symbol = code;
    ds.venue = "KRX";
    ds.source_interval = "1m";
    ds.source_endpoint = "naver_chart_minute";
    ds.timezone = mt::KST;
    mt::Instant now = mt::now();
    int unreadable = 0;
    // Each minute is labelled by its own day's regular close (16:30 on the exam
    // day, whose closing auction prints at 16:30), from the market calendar.
    std::map<mt::Day, std::string> closes;
    auto day_close = [&](mt::Day day) -> std::string {
      auto it = closes.find(day);
      if (it != closes.end()) return it->second;
      const auto& regular_session = calendar_rules().regular_session;
      auto reg = regular_session ? regular_session("KR", day) : std::nullopt;
      char hm[8] = "15:30";
      if (reg) std::snprintf(hm, sizeof hm, "%02d:%02d", reg->second / 60, reg->second % 60);
      return closes[day] = hm;
    };
    for (const auto& r : rows) {
      std::string dt = r.value("datetime", "");
      auto d = mt::parse_day(dt.substr(0, 10));
      bool whole = r.value("open", json()).is_number() && r.value("high", json()).is_number() &&
                   r.value("low", json()).is_number() && r.value("close", json()).is_number() &&
                   r.value("volume", json()).is_number();
      if (!d || dt.size() < 16 || !whole) {
        ++unreadable;   // never a bar with a made-up price or volume
        continue;
      }
      Bar b;
      b.start_at = mt::from_kst(*d, std::atoi(dt.substr(11, 2).c_str()), std::atoi(dt.substr(14, 2).c_str()));
      b.end_at = b.start_at + minutes(1);
      if (b.start_at < req.start_at || b.start_at >= req.end_at) continue;
      b.open = r["open"].get<double>(), b.high = r["high"].get<double>(), b.low = r["low"].get<double>();
      b.close = r["close"].get<double>(), b.volume = r["volume"].get<double>();
      b.session = naver::minute_session(dt.substr(11, 5), day_close(*d));
      b.complete = b.end_at <= now;
      ds.bars.push_back(b);
    }
    ds.bars = sort_and_dedupe(std::move(ds.bars));
    ds.coverage = {{"complete", unreadable == 0}, {"returned_rows", (int)ds.bars.size()}};
    if (unreadable)
      ds.warnings.push_back("네이버 분봉 " + std::to_string(unreadable) + "개는 값을 읽지 못해 뺐습니다.");
    return ds;
  }
};

const ProviderRegistration reg_yahoo{"yahoo", [] { return std::shared_ptr<Provider>(new YahooMinutes()); }};
const ProviderRegistration reg_naver{"naver", [] { return std::shared_ptr<Provider>(new NaverMinutes()); }};

}  // namespace
}  // namespace tessaro::market_data
