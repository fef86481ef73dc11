// Disk cache of finished evidence days. A file holds the record's head (everything
// but its rows, coverage and warnings) and its rows by date:
//   {"head": {...}, "rows": {"YYYY-MM-DD": row, ...}}
#include <algorithm>
#include <cctype>

#include "core/files.hpp"
#include "core/result_meta.hpp"
#include "sources/market_data/evidence_service.hpp"

namespace tessaro::market_data {

namespace {

constexpr size_t kKeepRows = 400;   // about a year and a half of trading days per file

std::string safe(const std::string& s) {
  std::string out;
  for (char c : s) out += (std::isalnum((unsigned char)c) || c == '-' || c == '.') ? c : '_';
  return out.empty() ? "_" : out;
}

std::optional<std::string> row_day(const json& row) {
  if (!row.is_object()) return std::nullopt;
  return rmeta::normalize_day(row.value("date", json()));
}

}  // namespace

EvidenceCache::EvidenceCache(std::filesystem::path home) : root_(std::move(home) / "cache" / "evidence") {}

std::filesystem::path EvidenceCache::path_of(const std::string& provider, const std::string& profile,
                                             const std::string& family, const std::string& code,
                                             const std::string& what) const {
  return root_ / safe(provider) / safe(family) / (safe(profile) + "_" + safe(code) + "_" + safe(what) + ".json");
}

bool EvidenceCache::row_is_final(const json& row, mt::Instant now) {
  auto d = row_day(row);
  if (!d) return false;
  if (row.value("data_state", json("final")) != json("final")) return false;
  if (row.contains("unsettled") && row["unsettled"].is_array() && !row["unsettled"].empty()) return false;
  std::string today = mt::to_kst(now).date_str();
  if (*d < today) return true;
  if (*d > today) return false;
  auto day = mt::parse_day(*d);
  if (!day) return false;
  const auto& krx_day_closed = calendar_rules().krx_day_closed;
  auto closed = krx_day_closed ? krx_day_closed(*day, now) : std::nullopt;
  return closed.value_or(false);
}

std::vector<std::string> EvidenceCache::expected_days(int days, mt::Instant now) {
  std::vector<std::string> out;
  if (days <= 0) return out;
  const auto& krx_trading_days = calendar_rules().krx_trading_days;
  mt::Day today = mt::to_kst(now).date();
  mt::Day from = today - std::chrono::days(days * 2 + 20);
  auto list = krx_trading_days ? krx_trading_days(from, today) : std::vector<mt::Day>{};
  for (auto it = list.rbegin(); it != list.rend() && (int)out.size() < days; ++it) out.push_back(mt::day_str(*it));
  return out;
}

std::optional<json> EvidenceCache::load(const std::string& provider, const std::string& profile,
                                        const std::string& family, const std::string& code, const std::string& what,
                                        const std::vector<std::string>& days) const {
  if (days.empty()) return std::nullopt;
  auto text = read_file(path_of(provider, profile, family, code, what));
  if (!text) return std::nullopt;
  json file;
  try {
    file = json::parse(*text);
  } catch (...) {
    return std::nullopt;
  }
  if (!file.is_object() || !file.contains("head") || !file["head"].is_object() || !file.contains("rows") ||
      !file["rows"].is_object())
    return std::nullopt;
  json rows = json::array();
  for (const auto& d : days) {
    if (!file["rows"].contains(d)) return std::nullopt;
    rows.push_back(file["rows"][d]);
  }
  json rec = file["head"];
  rec["data_state"] = "final";
  rec["coverage"] = {{"complete", true}, {"returned_rows", rows.size()}, {"truncated", false}, {"cache_hit", true}};
  rec["warnings"] = json::array();
  if (family == "pressure") {
    rec["status"] = ST_OK;
    rec["data_as_of"] = days.front();
    rec["data_completeness"] = "complete";
  }
  rec["rows"] = std::move(rows);
  return rec;
}

int EvidenceCache::store(const std::string& provider, const std::string& profile, const std::string& family,
                         const std::string& code, const std::string& what, const json& record,
                         mt::Instant now) const {
  if (!record.is_object() || !record.contains("rows") || !record["rows"].is_array()) return 0;
  json fresh = json::object();
  for (const auto& row : record["rows"]) {
    if (!row_is_final(row, now)) continue;
    json r = row;
    std::string d = *row_day(row);
    r["date"] = d;
    fresh[d] = std::move(r);
  }
  if (fresh.empty()) return 0;

  auto path = path_of(provider, profile, family, code, what);
  json rows = json::object();
  if (auto text = read_file(path)) {
    try {
      json old = json::parse(*text);
      if (old.is_object() && old.contains("rows") && old["rows"].is_object()) rows = old["rows"];
    } catch (...) {
    }
  }
  for (auto& [d, r] : fresh.items()) rows[d] = r;
  // Newest first, bounded.
  std::vector<std::string> dates;
  for (const auto& [d, r] : rows.items()) dates.push_back(d);
  std::sort(dates.rbegin(), dates.rend());
  if (dates.size() > kKeepRows) dates.resize(kKeepRows);
  json kept = json::object();
  for (const auto& d : dates) kept[d] = rows[d];

  json head = json::object();
  for (const auto& [k, v] : record.items())
    if (k != "rows" && k != "coverage" && k != "warnings" && k != "data_state" && k != "data_as_of" &&
        k != "data_completeness" && k != "status")
      head[k] = v;
  json file = {{"head", head}, {"rows", kept}};
  write_file_atomic(path, file.dump() + "\n");
  return (int)fresh.size();
}

}  // namespace tessaro::market_data
