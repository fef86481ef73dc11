// Market division and the 15:30 regular close of one day.
#include <regex>

#include "core/format.hpp"
#include "sources/naver/naver.hpp"
#include "sources/naver/session_close.hpp"

namespace tessaro::naver {

std::optional<std::string> get_krx_sosok(const std::string& code) {
  // The division only decides extra labels: an unreachable or unreadable page
  // answers "unknown" instead of failing the caller.
  json j;
  try {
    j = fetch_json("m.stock.naver.com", "/api/stock/" + code + "/basic", false, "https://m.stock.naver.com/");
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (!j.is_object()) return std::nullopt;
  std::string end_type = fmt::lower(j.value("stockEndType", std::string()));
  if (end_type == "etf") return std::string("ETF");
  if (end_type == "etn") return std::string("ETN");
  if (j.contains("stockExchangeType") && j["stockExchangeType"].is_object()) {
    std::string c = j["stockExchangeType"].value("code", std::string());
    if (c == "KS") return std::string("KOSPI");
    if (c == "KQ") return std::string("KOSDAQ");
    std::string n = j["stockExchangeType"].value("nameEng", std::string());
    if (!n.empty()) return n;
  }
  return std::nullopt;
}

std::optional<double> get_regular_session_close(const std::string& code, const std::string& day) {
  return get_regular_session_close(code, day, "15:30");
}

std::optional<double> get_regular_session_close(const std::string& code, const std::string& day,
                                                const std::string& close_hm) {
  // Minute items "YYYYMMDDHHMM|open|high|low|close|volume", oldest first; the
  // after-market follows 15:30 in the same series, so reach back far enough.
  std::string xml = fetch_text("fchart.stock.naver.com",
                               "/sise.nhn?symbol=" + code + "&timeframe=minute&count=1500&requestType=0", true);
  std::string key = fmt::replace_all(day, "-", "") + fmt::replace_all(close_hm, ":", "") + "|";
  auto pos = xml.find("data=\"" + key);
  if (pos == std::string::npos) return std::nullopt;
  auto start = pos + 6;
  auto end = xml.find('"', start);
  std::string item = xml.substr(start, end - start);
  std::vector<std::string> f;
  size_t b = 0;
  for (size_t i = 0; i <= item.size(); ++i)
    if (i == item.size() || item[i] == '|') {
      f.push_back(item.substr(b, i - b));
      b = i + 1;
    }
  if (f.size() < 5) return std::nullopt;
  return fmt::parse_number(f[4]);
}

}  // namespace tessaro::naver
