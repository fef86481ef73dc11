// OHLCV table rows and the stock-code shape, shared by the Korean, US and intraday tools.
#include <cmath>
#include <string>

#include "core/format.hpp"
#include "server/tool_helpers.hpp"

namespace tessaro::server {

bool is_code(const std::string& s) {
  if (s.size() != 6) return false;
  for (unsigned char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
  return true;
}

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
bool has_number(const json& row, const char* key) {
  if (!row.is_object()) return false;
  auto it = row.find(key);
  return it != row.end() && it->is_number();
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
    // A value the source could not read is missing ("-"), never a zero.
    for (const char* k : {"open", "high", "low", "close"})
      line += "|" + (has_number(r, k) ? fmt::fixed(num_or_zero(r, k), decimals) : std::string("-"));
    line += "|" + (has_number(r, "volume") ? std::to_string(fmt::round_ll(num_or_zero(r, "volume"))) : std::string("-"));
    lines.push_back(line);
  }
  return lines;
}

}  // namespace tessaro::server
