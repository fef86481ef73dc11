#pragma once
// Result meta builders (Korean and US), the envelope builder and notice delivery.
#include <optional>
#include <string>
#include <vector>

#include "core/call_context.hpp"
#include "core/json.hpp"
#include "core/result_meta.hpp"

namespace tessaro::server {

struct KrMetaArgs {
  std::string kind;                 // "snapshot", "quote" (data_as_of: the last trade's day), "bars" or "filing"
  json data_as_of = nullptr;        // day text or null
  json data_period = nullptr;
  json code = nullptr;
  json name = nullptr;
  std::string data_completeness = rmeta::COMPLETE;
  json coverage = nullptr;
  json bar_state = nullptr;
  json price_adjustment = nullptr;
  json extra = nullptr;             // object: copied last, overriding
  std::vector<std::string> warnings;
  json price_session = nullptr;
  std::optional<bool> bar_forming;
};
json kr_meta(const KrMetaArgs& a);

struct UsMetaArgs {
  std::string kind;
  json ticker = nullptr;
  json data_as_of = nullptr;
  std::string data_completeness = rmeta::COMPLETE;
  json coverage = nullptr;
  json bar_state = nullptr;
  json price_adjustment = nullptr;
  json extra = nullptr;
  std::vector<std::string> warnings;
  std::optional<bool> bar_forming;
  // The listing's own exchange (mt::listing_market_part) when it is not a US one;
  // null reads the US market.
  json listing = nullptr;
};
json us_meta(const UsMetaArgs& a);

// rmeta.build_meta: adds as_of, viewer_tz (outside Korea only) and dst on its own.
struct BuildMetaArgs {
  std::string kiv = "tessaro";
  std::string data_basis;
  json data_as_of = nullptr;
  json data_period = nullptr;       // Korean only
  bool korean = true;
  std::string market;
  json session = nullptr;
  json price_session = nullptr;     // Korean only
  std::optional<bool> is_delayed;   // US only
  std::string data_completeness = rmeta::COMPLETE;
  json coverage = nullptr;
  json entity_info = nullptr;
  std::vector<std::string> warnings;
};
json build_meta(const BuildMetaArgs& a);

inline std::string append_result_meta(const std::string& text, const json& meta) {
  return rmeta::append_meta(text, meta);
}

// The call's ledger worked into a meta: completeness no higher than its failures
// and stand-ins allow (none when it obtained nothing), a "조회 실패" / stand-in
// warning unless one is given already, and `lookups` naming them. The builders
// below call it; a tool never needs to.
void apply_ledger(std::string& completeness, std::vector<std::string>& warnings, json& lookups);
// "source(reason, n건), …" of the failures; "source (other 대신), …" of the stand-ins.
std::string ledger_failure_text(const LedgerSummary& s);
std::string ledger_stand_in_text(const LedgerSummary& s);

std::string deliver_notices(const std::string& result, const std::vector<std::string>& notices);
void emit_coverage_counters(const std::string& kiv, const json& meta);

}  // namespace tessaro::server
