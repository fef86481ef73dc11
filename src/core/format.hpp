#pragma once
// Small shared formatting helpers: thousands separators, explicit signs, fixed
// decimals, code-point length and cutting.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::fmt {

// 1234567 -> "1,234,567"; with plus=true, positive numbers get "+" (Python "+,").
std::string thousands(long long v, bool plus = false);
// Fixed decimals with optional separators and sign: fixed(1234.5, 2, true, true) -> "+1,234.50".
std::string fixed(double v, int decimals, bool commas = false, bool plus = false);
// Python-like str() of a double: 12.0 -> "12.0", 0.1 -> "0.1" (shortest round-trip).
std::string pyfloat(double v);
// Python round() to n decimals (banker's rounding on the binary value).
double round_to(double v, int decimals);
// Python's int()/"{:,}" of an amount that may be fractional: rounds half to even.
long long round_ll(double v);

// Unicode code points of UTF-8 text.
size_t cp_len(std::string_view s);
// First n code points of s.
std::string cp_cut(std::string_view s, size_t n);
// First n code points, plus "…" when s was longer.
std::string cp_truncate(std::string_view s, size_t n, std::string_view ellipsis = "…");

std::string trim(std::string_view s);
std::string lower(std::string_view s);
std::string upper(std::string_view s);
bool starts_with(std::string_view s, std::string_view p);
bool ends_with(std::string_view s, std::string_view p);
std::string replace_all(std::string s, std::string_view from, std::string_view to);
std::string join(const std::vector<std::string>& parts, std::string_view sep);

// Parses numbers written by the sites: "+1,000", "-3.5%", "1,234원", "▲500".
// "-", "", "N/A" and other non-numbers give nullopt (missing, never 0).
std::optional<double> parse_number(std::string_view s);
std::optional<long long> parse_int(std::string_view s);

}  // namespace tessaro::fmt
