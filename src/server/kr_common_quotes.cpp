// Session labels and the compact OHLCV table shared by the quote and chart tools.
#include <cmath>
#include <string>

#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "server/kr_common.hpp"

namespace tessaro::server {

const std::map<std::string, std::string> KR_SESSION_LABEL = {
    {rmeta::PRICE_SESSION_REGULAR, "KRX 정규장"},
    {rmeta::PRICE_SESSION_AFTER_MARKET, "KRX 애프터마켓"},
    {rmeta::PRICE_SESSION_UNKNOWN, "KRX, 세션 미확인"},
};

const std::map<std::string, std::string> SESSION_SHORT = {
    {rmeta::PRICE_SESSION_REGULAR, "정규장"},
    {rmeta::PRICE_SESSION_AFTER_MARKET, "애프터마켓"},
    {rmeta::PRICE_SESSION_UNKNOWN, "미확인"},
};

namespace {
std::string text_of(const json& raw) {
  if (raw.is_null()) return "";
  if (raw.is_string()) return raw.get<std::string>();
  if (raw.is_number_integer()) return std::to_string(raw.get<long long>());
  if (raw.is_number_unsigned()) return std::to_string(raw.get<unsigned long long>());
  if (raw.is_number_float()) return fmt::pyfloat(raw.get<double>());
  if (raw.is_boolean()) return raw.get<bool>() ? "True" : "False";
  return raw.dump();
}

double num_or_zero(const json& row, const char* key) {
  if (!row.is_object()) return 0;
  auto it = row.find(key);
  if (it == row.end() || !it->is_number()) return 0;
  return it->get<double>();
}
}  // namespace

std::string normalize_date(const json& raw, bool is_intraday) {
  std::string s = text_of(raw);
  if (s.size() == 8) {
    bool digits = true;
    for (char c : s) digits = digits && c >= '0' && c <= '9';
    if (digits) return s.substr(0, 4) + "-" + s.substr(4, 2) + "-" + s.substr(6, 2);
  }
  return fmt::cp_cut(s, is_intraday ? 16 : 10);
}

std::vector<std::string> format_ohlcv_rows(const json& rows, bool is_intraday, int decimals) {
  std::vector<std::string> lines = {"날짜|시가|고가|저가|종가|거래량", "---|---|---|---|---|---"};
  if (!rows.is_array()) return lines;
  for (const auto& r : rows) {
    json d = r.is_object() ? r.value("date", json()) : json();
    if (d.is_null() || (d.is_string() && d.get<std::string>().empty()))
      d = r.is_object() ? r.value("datetime", json()) : json();
    std::string line = normalize_date(d, is_intraday);
    for (const char* k : {"open", "high", "low", "close"}) line += "|" + fmt::fixed(num_or_zero(r, k), decimals);
    line += "|" + std::to_string(fmt::round_ll(num_or_zero(r, "volume")));
    lines.push_back(line);
  }
  return lines;
}

}  // namespace tessaro::server
