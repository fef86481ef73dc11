#include "core/result_meta.hpp"

#include <cctype>

namespace tessaro::rmeta {

const char* const PROVIDER_STATUSES[] = {"ok",
                                         "cached",
                                         "not_connected",
                                         "not_configured",
                                         "authentication_failed",
                                         "permission_denied",
                                         "rate_limited",
                                         "provider_unavailable",
                                         "unsupported",
                                         "entity_not_found",
                                         "error"};
const size_t PROVIDER_STATUSES_COUNT = sizeof(PROVIDER_STATUSES) / sizeof(PROVIDER_STATUSES[0]);

bool is_provider_status(const std::string& s) {
  for (size_t i = 0; i < PROVIDER_STATUSES_COUNT; ++i)
    if (s == PROVIDER_STATUSES[i]) return true;
  return false;
}

json provider_extension(const json& fields) {
  static const char* const order[] = {"provider",         "provider_profile",  "provider_status", "requested_source",
                                      "selection_reason", "fallback_used",     "fallback_from",   "primary_provider",
                                      "venue",            "timezone",          "requested_interval",
                                      "source_interval",  "aggregation_method", "adjustment_basis",
                                      "last_bar_end_at",  "provider_data_as_of", "cache_hit"};
  json out = json::object();
  for (const char* k : order)
    if (fields.contains(k)) out[k] = fields[k];
  for (const auto& [k, v] : fields.items())
    if (!out.contains(k)) out[k] = v;
  if (out.contains("provider_status")) {
    const json& st = out["provider_status"];
    if (!st.is_string() || !is_provider_status(st.get<std::string>())) out["provider_status"] = "error";
  }
  return out;
}

std::optional<std::string> normalize_day(const std::string& raw) {
  // The usual shape, "YYYY-MM-DD", answered as it stands (every bar's date comes here).
  if (raw.size() == 10 && raw[4] == '-' && raw[7] == '-') {
    bool plain = true;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) plain = plain && raw[i] >= '0' && raw[i] <= '9';
    if (plain) {
      int mi = (raw[5] - '0') * 10 + (raw[6] - '0'), di = (raw[8] - '0') * 10 + (raw[9] - '0');
      if (mi < 1 || mi > 12 || di < 1 || di > 31) return std::nullopt;
      return raw;
    }
  }
  std::string s;
  for (char c : raw)
    if (!std::isspace((unsigned char)c) || !s.empty()) s.push_back(c);
  auto digits = [](const std::string& t) {
    for (char c : t)
      if (!std::isdigit((unsigned char)c)) return false;
    return !t.empty();
  };
  std::string y, m, d;
  if (s.size() >= 8 && digits(s.substr(0, 8)) && (s.size() == 8 || !std::isdigit((unsigned char)s[8]))) {
    y = s.substr(0, 4), m = s.substr(4, 2), d = s.substr(6, 2);
  } else if (s.size() >= 10 && (s[4] == '-' || s[4] == '.' || s[4] == '/') && s[7] == s[4] && digits(s.substr(0, 4)) &&
             digits(s.substr(5, 2)) && digits(s.substr(8, 2))) {
    y = s.substr(0, 4), m = s.substr(5, 2), d = s.substr(8, 2);
  } else {
    return std::nullopt;
  }
  int mi = std::stoi(m), di = std::stoi(d);
  if (mi < 1 || mi > 12 || di < 1 || di > 31) return std::nullopt;
  return y + "-" + m + "-" + d;
}

std::optional<std::string> normalize_day(const json& v) {
  if (v.is_string()) return normalize_day(v.get<std::string>());
  if (v.is_number_integer()) return normalize_day(std::to_string(v.get<long long>()));
  return std::nullopt;
}

json entity(const json& stock_code, const json& name) {
  return json{{"stock_code", stock_code.is_null() ? json(nullptr) : stock_code},
              {"name", name.is_null() ? json(nullptr) : name}};
}

json entity(const json& stock_code) { return json{{"stock_code", stock_code.is_null() ? json(nullptr) : stock_code}}; }

std::string append_meta(const std::string& text, const json& meta) {
  return text + "\n\n" + START_MARKER + "\n" + dump_compact(meta) + "\n" + END_MARKER;
}

}  // namespace tessaro::rmeta
