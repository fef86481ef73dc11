#pragma once
// Supply-and-demand evidence from the user's broker: investor flow by detailed
// category and the supply-pressure kinds (program trading, short selling, credit,
// securities lending, foreign holding, CFD). Brokers deliver records in the JSON
// shapes below; the evidence service routes requests (a named broker is strict,
// "auto" is the primary broker), batches codes and caches finished days on disk.
//
// Flow record (Provider::investor_flow):
//   {symbol, provider, profile, market: "KR", measure, unit, data_state,
//    source_endpoint, coverage: {complete, returned_rows, truncated},
//    warnings: [...], unavailable: [categories this broker does not deliver],
//    rows: [{date: "YYYY-MM-DD", close, volume,
//            values: {category: number},     // a missing category has no key (never 0)
//            unsettled: [category...],        // delivered but not settled yet
//            data_state: "final" | "provisional",
//            balance_ok: true | false | null, // institution sub-categories add up
//            raw_categories: {broker field: raw text}}]}    newest row first
// Pressure block (Provider::supply_pressure):
//   {kind, status: "ok" | a provider status, provider, market: "KR",
//    granularity: "daily" | "intraday" | null, measure_units: {measure: unit},
//    data_as_of: "YYYY-MM-DD" | ISO time | null, data_completeness, unavailable_reason,
//    coverage, warnings, rows: [{date, observed_at (ISO or null), measures: {...}}],
//    items: [], raw_fields: [broker field names used]}
#include <string>
#include <vector>

#include "core/json.hpp"

namespace tessaro::market_data {

// Measures and their units.
inline constexpr const char* MEASURE_NET_QUANTITY = "net_quantity";   // shares
inline constexpr const char* MEASURE_NET_AMOUNT = "net_amount";       // million won
const std::vector<std::string>& evidence_measures();                 // net_quantity, net_amount
std::string unit_of(const std::string& measure);                      // "shares" / "million_krw"

// Pressure kinds, in reply order.
const std::vector<std::string>& pressure_kinds();   // program_trading short_selling credit
                                                    // securities_lending foreign_holding cfd
// Investor categories (keys of a flow row's `values`).
//   individual, foreign, foreign_registered, foreign_unregistered, institution_total,
//   financial_investment, insurance, investment_trust, private_equity, bank,
//   other_finance, merchant_bank, pension, government, other_corporation,
//   other_organization, domestic_foreign, other
// institution_total already contains its sub-categories.
const std::vector<std::string>& investor_categories();

// Batch limit of one request.
inline constexpr int EVIDENCE_MAX_CODES = 30;

}  // namespace tessaro::market_data
