#include "support/naver_env.hpp"

#include <iconv.h>

#include <cmath>

#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "market_time/clock.hpp"
#include "sources/market_data/daily_bars.hpp"
#include "sources/naver/lists_common.hpp"

namespace tessaro::testing {

NaverEnv::NaverEnv(const char* kst) {
  naver::detail::clear_list_caches();
  if (kst) freeze(kst);
  // The exchange's designation lists answer, with nobody designated, unless a
  // test routes them otherwise: a list the loopback does not serve would be a
  // failed lookup of every reply that marks designations.
  const FixtureResponse none{200, "<html><body><table class=\"type_2\"><tr><th>종목명</th></tr></table></body></html>",
                             "text/html; charset=utf-8", {}};
  srv.route("/finance.naver.com/sise/investment_alert.naver", none);
  srv.route("/finance.naver.com/sise/management.naver", none);
  // Likewise any stock's market division (an ordinary stock) and the minute chart
  // API for a day it has not served (the fchart minutes are then read); every other
  // unrouted address answers 404 as before.
  srv.fallback([](const FixtureRequest& r) {
    auto ends = [&](const std::string& tail) {
      return r.path.size() >= tail.size() && r.path.compare(r.path.size() - tail.size(), tail.size(), tail) == 0;
    };
    if (r.path.rfind("/m.stock.naver.com/api/stock/", 0) == 0 && ends("/basic"))
      return FixtureResponse{200, R"({"stockEndType":"stock"})", "application/json; charset=utf-8", {}};
    if (r.path.rfind("/api.stock.naver.com/chart/domestic/item/", 0) == 0 && ends("/minute"))
      return FixtureResponse{200, "[]", "application/json; charset=utf-8", {}};
    return FixtureResponse{404, "not found: " + r.path, "text/plain", {}};
  });
}

NaverEnv::~NaverEnv() {
  bars_cache::flush_disk();   // no cache file lands in the home after it is removed
  mt::set_now_for_tests(std::nullopt);
  naver::detail::clear_list_caches();
}

void NaverEnv::freeze(const std::string& kst) {
  auto day = mt::parse_day(kst.substr(0, 10));
  if (!day || kst.size() < 16) throw std::invalid_argument("NaverEnv clock: " + kst);
  int secs = kst.size() >= 19 && kst[16] == ':' ? std::stoi(kst.substr(17, 2)) : 0;
  mt::set_now_for_tests(mt::from_kst(*day, std::stoi(kst.substr(11, 2)), std::stoi(kst.substr(14, 2))) +
                        std::chrono::seconds(secs));
}

std::string body_of(const std::string& reply) {
  auto p = reply.find(std::string("\n\n") + rmeta::START_MARKER);
  return p == std::string::npos ? reply : reply.substr(0, p);
}

json meta_of(const std::string& reply) {
  std::string start = std::string(rmeta::START_MARKER) + "\n";
  auto a = reply.find(start);
  if (a == std::string::npos) return nullptr;
  a += start.size();
  auto b = reply.find(std::string("\n") + rmeta::END_MARKER, a);
  return json::parse(reply.substr(a, b - a));
}

bool has_warning(const json& meta, const std::string& part) {
  if (!meta.is_object()) return false;
  for (const auto& w : meta.value("warnings", json::array()))
    if (w.is_string() && w.get<std::string>().find(part) != std::string::npos) return true;
  return false;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string saved_path_of(const std::string& reply) {
  const std::string mark = "경로: ";
  auto a = reply.find(mark);
  if (a == std::string::npos) return "";
  a += mark.size();
  return reply.substr(a, reply.find('\n', a) - a);
}

bool has_line(const std::string& text, const std::string& lines) {
  return ("\n" + text + "\n").find("\n" + lines + "\n") != std::string::npos;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  size_t b = 0;
  for (size_t i = 0; i <= text.size(); ++i)
    if (i == text.size() || text[i] == '\n') {
      out.push_back(text.substr(b, i - b));
      b = i + 1;
    }
  return out;
}

std::string to_cp949(const std::string& utf8) {
  iconv_t cd = iconv_open("CP949", "UTF-8");
  std::string out(utf8.size() * 2 + 16, '\0');
  char* in = const_cast<char*>(utf8.data());
  size_t in_left = utf8.size(), out_left = out.size();
  char* o = out.data();
  size_t rc = iconv(cd, &in, &in_left, &o, &out_left);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1)) throw std::invalid_argument("text not representable in CP949");
  out.resize(out.size() - out_left);
  return out;
}

FixtureResponse euckr_html(const std::string& utf8_html) {
  return reply(200, to_cp949(utf8_html), "text/html; charset=EUC-KR");
}

std::string fchart_xml(const std::vector<std::string>& items, const std::string& timeframe, const std::string& symbol) {
  std::string x = "<?xml version=\"1.0\" encoding=\"EUC-KR\" ?>\n<protocol>\n<chartdata symbol=\"" + symbol +
                  "\" count=\"" + std::to_string(items.size()) + "\" timeframe=\"" + timeframe + "\" precision=\"0\">\n";
  for (const auto& i : items) x += "<item data=\"" + i + "\" />\n";
  return x + "</chartdata>\n</protocol>\n";
}

std::string fchart_rows_xml(const json& rows, const std::string& symbol) {
  auto n = [](const json& v) { return std::to_string((long long)std::llround(v.get<double>())); };
  std::vector<std::string> items;
  for (const auto& r : rows)
    items.push_back(fmt::replace_all(r["date"].get<std::string>(), "-", "") + "|" + n(r["open"]) + "|" + n(r["high"]) +
                    "|" + n(r["low"]) + "|" + n(r["close"]) + "|" + n(r["volume"]));
  return fchart_xml(items, "day", symbol);
}

std::vector<std::string> weekdays_back(const std::string& last, int n) {
  std::vector<std::string> out;
  auto d = *mt::parse_day(last);
  while ((int)out.size() < n) {
    if (mt::weekday(d) < 5) out.push_back(fmt::replace_all(mt::day_str(d), "-", ""));
    d -= std::chrono::days(1);
  }
  return out;
}

std::string code6(int n) {
  char c[16];
  std::snprintf(c, sizeof c, "%06d", n);
  return c;
}

}  // namespace tessaro::testing
