// Vocabulary of the evidence records.
#include "sources/market_data/evidence.hpp"

namespace tessaro::market_data {

const std::vector<std::string>& evidence_measures() {
  static const std::vector<std::string> v = {MEASURE_NET_QUANTITY, MEASURE_NET_AMOUNT};
  return v;
}

std::string unit_of(const std::string& measure) {
  if (measure == MEASURE_NET_QUANTITY) return "shares";
  if (measure == MEASURE_NET_AMOUNT) return "million_krw";
  return "";
}

const std::vector<std::string>& pressure_kinds() {
  static const std::vector<std::string> v = {"program_trading",    "short_selling",   "credit",
                                             "securities_lending", "foreign_holding", "cfd"};
  return v;
}

const std::vector<std::string>& investor_categories() {
  static const std::vector<std::string> v = {
      "individual",        "foreign",       "foreign_registered", "foreign_unregistered", "institution_total",
      "financial_investment", "insurance",  "investment_trust",   "private_equity",       "bank",
      "other_finance",     "merchant_bank", "pension",            "government",           "other_corporation",
      "other_organization", "domestic_foreign", "other"};
  return v;
}

}  // namespace tessaro::market_data
