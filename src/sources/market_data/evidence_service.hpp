#pragma once
// The evidence service: asks one broker for investor-flow records and supply-pressure
// blocks (shapes in evidence.hpp), for one stock or a batch, and keeps finished days
// on disk.
//
// Routing: "auto" is the connected primary broker and nothing else; a named broker is
// strict. Another broker's data is never put in place of a failed one; when another
// connected broker declares what the chosen one lacks, the result names it as
// `alternative_provider` and goes no further.
//
// Result (JSON object, keys in this order):
//   ok, error_code (null or a provider status / reason below), warnings, alternative_provider,
//   market "KR", provider, profile, measure, unit, data_availability {unavailable: [...]},
//   flow:     records [flow record...], entities [{code, returned_rows}], entity_failures [{code, reason}]
//   pressure: requested_kinds, entities [{code, items {kind: block}}], entity_failures,
//             fallback_blocks {kind: block}   (blocks decided without asking the broker:
//                                              unknown kind, kind the broker declares it lacks)
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "core/clock.hpp"
#include "sources/market_data/evidence.hpp"
#include "sources/market_data/market_data.hpp"

namespace tessaro::market_data {

// Failure reasons of the service, besides the provider statuses (ST_*).
inline constexpr const char* EV_PROVIDER_NOT_CONFIGURED = "provider_not_configured";
inline constexpr const char* EV_UNKNOWN_CAPABILITY = "unknown_capability";
inline constexpr const char* EV_PROVIDER_CHANGED = "provider_changed_during_request";
inline constexpr const char* EV_UNSUPPORTED = "unsupported_by_selected_provider";
inline constexpr const char* EV_UNVERIFIED = "unverified_by_selected_provider";
inline constexpr const char* EV_ALL_FAILED = "all_entities_failed";

// Finished trading days of evidence records, one file per provider, profile, stock
// and measure (flow) or kind (pressure):
//   <home>/cache/evidence/<provider>/<flow|pressure>/<profile>_<code>_<measure|kind>.json
// Only rows of days that have ended, marked final and with nothing unsettled are kept;
// files are written atomically.
class EvidenceCache {
 public:
  explicit EvidenceCache(std::filesystem::path home);
  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path path_of(const std::string& provider, const std::string& profile, const std::string& family,
                                const std::string& code, const std::string& what) const;
  // The record rebuilt from the cache when every one of `days` (newest first) is
  // stored; nullopt otherwise. coverage.cache_hit is true.
  std::optional<json> load(const std::string& provider, const std::string& profile, const std::string& family,
                           const std::string& code, const std::string& what,
                           const std::vector<std::string>& days) const;
  // Keeps the record's finished rows; returns how many rows it wrote.
  int store(const std::string& provider, const std::string& profile, const std::string& family,
            const std::string& code, const std::string& what, const json& record, mt::Instant now) const;

  // A row may be cached: its day has ended at `now`, it is not provisional and
  // nothing in it is unsettled.
  static bool row_is_final(const json& row, mt::Instant now);
  // The last `days` KRX trading days up to today (KST), newest first.
  static std::vector<std::string> expected_days(int days, mt::Instant now);

 private:
  std::filesystem::path root_;
};

class EvidenceService {
 public:
  // public_providers: the provider ids a request may name (experimental brokers
  // only while enabled). concurrency: broker calls at once in a batch.
  EvidenceService(const ProviderRuntime& rt, std::vector<std::string> public_providers,
                  std::optional<EvidenceCache> cache, size_t concurrency = 4);

  json investor_flow(const std::string& code, int days, const std::string& measure, const std::string& source) const;
  json investor_flow_batch(const std::vector<std::string>& codes, int days, const std::string& measure,
                           const std::string& source) const;
  json supply_pressure_batch(const std::vector<std::string>& codes, const std::vector<std::string>& kinds, int days,
                             const std::string& source) const;

 private:
  json flow_impl(const std::vector<std::string>& codes, int days, const std::string& measure,
                 const std::string& source, bool batch) const;

  const ProviderRuntime& rt_;
  std::vector<std::string> public_;
  std::optional<EvidenceCache> cache_;
  size_t concurrency_;
};

}  // namespace tessaro::market_data
