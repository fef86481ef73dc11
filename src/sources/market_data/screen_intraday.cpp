#include "sources/market_data/screen_intraday.hpp"

#include <mutex>

namespace tessaro::screener {

namespace {
std::mutex g_mu;
IntradayFetch& slot() {
  static IntradayFetch fn;
  return fn;
}
}  // namespace

void set_intraday_fetch(IntradayFetch fn) {
  std::lock_guard<std::mutex> lk(g_mu);
  slot() = std::move(fn);
}

json fetch_intraday_dataset(const IntradayRequest& req) {
  IntradayFetch fn;
  {
    std::lock_guard<std::mutex> lk(g_mu);
    fn = slot();
  }
  if (!fn) throw RouterError(NO_BROKER_TEXT);
  return fn(req);
}

}  // namespace tessaro::screener
