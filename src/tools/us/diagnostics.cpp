// get_financial_soundness and get_us_liquidity: raw SEC XBRL facts with their
// dates, never a score. What could not be confirmed stays a status, never a 0.
#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>

#include "core/format.hpp"
#include "core/parallel.hpp"
#include "market_time/clock.hpp"
#include "server/output_schema.hpp"
#include "server/arg_rules.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "sources/sec/sec.hpp"
#include "tools/us/diagnostics.hpp"

namespace tessaro::tools::us {

namespace {

using Tags = std::vector<std::string>;

const std::vector<std::pair<std::string, Tags>> kLiqConcepts = {
    {"cash", {"CashAndCashEquivalentsAtCarryingValue"}},
    {"cash_incl_restricted", {"CashCashEquivalentsRestrictedCashAndRestrictedCashEquivalents"}},
    {"marketable_securities",
     {"ShortTermInvestments", "MarketableSecuritiesCurrent", "AvailableForSaleSecuritiesDebtSecuritiesCurrent"}},
    {"restricted_cash_current", {"RestrictedCashCurrent", "RestrictedCashAndCashEquivalentsAtCarryingValue"}},
    {"restricted_cash_noncurrent", {"RestrictedCashNoncurrent", "RestrictedCashAndCashEquivalentsNoncurrent"}},
    {"revolver_available", {"LineOfCreditFacilityRemainingBorrowingCapacity"}},
    {"debt_due_next_12m", {"LongTermDebtMaturitiesRepaymentsOfPrincipalInNextTwelveMonths", "LongTermDebtCurrent"}},
    {"lease_due_next_12m", {"LesseeOperatingLeaseLiabilityPaymentsDueNextTwelveMonths"}},
    {"purchase_obligation_next_12m",
     {"PurchaseObligationDueInNextTwelveMonths", "UnrecordedUnconditionalPurchaseObligationDueInNextTwelveMonths"}},
};

const std::vector<std::pair<std::string, Tags>> kSoundRatioConcepts = {
    {"cet1_ratio", {"BankingRegulationCommonEquityTier1CapitalRatioActual", "CommonEquityTierOneCapitalToRiskWeightedAssets"}},
    {"tier1_ratio", {"BankingRegulationTier1RiskBasedCapitalRatioActual", "TierOneRiskBasedCapitalToRiskWeightedAssets"}},
    {"total_capital_ratio", {"BankingRegulationTotalRiskBasedCapitalRatioActual", "CapitalToRiskWeightedAssets"}},
    {"leverage_ratio", {"BankingRegulationTier1LeverageCapitalRatioActual", "TierOneLeverageCapitalToAverageAssets"}},
    {"lcr", {}},
    {"nsfr", {}},
    {"npl", {"FinancingReceivableRecordedInvestmentNonaccrualStatus", "FinancingReceivableNonaccrualStatus"}},
};

const std::vector<std::pair<std::string, Tags>> kSoundAssetConcepts = {
    {"allowance_for_credit_losses",
     {"FinancingReceivableAllowanceForCreditLossExcludingAccruedInterest", "FinancingReceivableAllowanceForCreditLosses"}},
    {"gross_loans", {"FinancingReceivableExcludingAccruedInterestBeforeAllowanceForCreditLoss", "NotesReceivableGross"}},
    {"net_chargeoffs", {"FinancingReceivableExcludingAccruedInterestAllowanceForCreditLossWriteoffAfterRecovery"}},
};

const std::vector<std::string> kFinancingForms = {"424B2", "424B3", "424B4", "424B5", "FWP",
                                                  "S-1",   "S-1/A", "S-3",   "S-3/A", "S-3ASR"};
const std::vector<std::string> kFinancing8kItems = {"1.01", "2.03", "3.02"};

const std::vector<std::string> kUsCapitalReports = {"Pillar 3 disclosure (분기, 회사 IR 사이트)",
                                                    "FR Y-9C / FFIEC 101 (연준 규제 보고)",
                                                    "10-K/10-Q 'Capital Risk Management' 섹션 (CET1·Tier1·총자본·SLR)"};
const std::vector<std::string> kUsLiqReports = {"Pillar 3 disclosure / LCR disclosure report",
                                                "10-K/10-Q 'Liquidity Risk Management' 섹션 (LCR·NSFR)"};
const std::vector<std::string> kKrReports = {
    "금감원 금융통계정보시스템 (NPL·연체율·충당금적립률)", "은행연합회 은행 경영공시 (자본적정성·자산건전성·유동성)",
    "DART 사업보고서·분기보고서 'III. 재무에 관한 사항' 자본적정성 주석 (BIS·CET1)"};

const char* kComparisonNote =
    "서로 다른 규제 체계(미국 Fed 최종규정 vs 한국 금감원 은행업감독규정)의 비율은 산식·경과규정이 달라 직접 비교 금지 - "
    "각 시장 안에서 시계열·동종 비교만 하세요.";

std::string s_of(const json& j, const char* k) {
  return j.is_object() && j.contains(k) && j[k].is_string() ? j[k].get<std::string>() : "";
}

bool six_digits(const std::string& s) {
  return s.size() == 6 && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

// Days from a to b ("YYYY-MM-DD"); nullopt when either is not a day.
std::optional<long> days_between(const std::string& a, const std::string& b) {
  auto da = mt::parse_day(a), db = mt::parse_day(b);
  if (!da || !db) return std::nullopt;
  return long((*db - *da).count());
}

// One fetched concept: the fact, or why there is none. A concept some of whose
// tags failed is a failure even when another tag answered (the failed tag may
// hold the current value); what the others gave is kept beside it, labelled.
struct Fetched {
  json fact;            // null when none (or when a tag failed)
  std::string error;    // non-empty on a fetch failure
  json partial_fact;    // a failed concept: the fact of the tags that did answer
  bool refused = false; // a 403 among the failures (identity or rate limit, not an outage)
};

std::map<std::string, Fetched> fetch_concepts(const std::string& cik,
                                              const std::vector<std::pair<std::string, Tags>>& concepts) {
  std::map<std::string, Fetched> out;
  std::mutex m;
  std::vector<const std::pair<std::string, Tags>*> todo;
  for (auto& c : concepts)
    if (!c.second.empty()) todo.push_back(&c);
  auto errs = parallel_for(todo.size(), 4, [&](size_t i) {
    sec::ConceptLookup r = sec::concept_lookup(cik, todo[i]->second);
    Fetched f;
    if (r.complete()) {
      f.fact = r.fact;
    } else {
      f.error = r.failure_text();
      f.partial_fact = r.fact;
      for (auto& [tag, why] : r.failed_tags) f.refused = f.refused || why.find("HTTP 403") != std::string::npos;
    }
    std::lock_guard<std::mutex> lk(m);
    out[todo[i]->first] = f;
  });
  for (size_t i = 0; i < todo.size(); ++i) {
    if (!errs[i]) continue;
    std::string why = "fetch_error";
    try {
      std::rethrow_exception(errs[i]);
    } catch (const std::exception& e) {
      why = exception_class_name(e) + ": " + e.what();
    } catch (...) {
    }
    out[todo[i]->first] = Fetched{nullptr, why, nullptr, false};
  }
  return out;
}

json fact_record(const json& f);

// The record of a concept that could not be fetched: the failure, and what the
// tags that answered gave, never as the concept's value.
json fetch_error_record(const Fetched& f) {
  json r = {{"status", "fetch_error"}, {"detail", f.error}};
  if (!f.partial_fact.is_null()) {
    r["partial_fact"] = fact_record(f.partial_fact);
    r["partial_note"] = "다른 태그 조회가 실패해 이 값이 최신값인지 확인할 수 없습니다 - 현재값으로 쓰지 마세요.";
  }
  return r;
}

// The retry advice for failed SEC lookups: a refusal (403) needs the contact set-up.
std::string retry_advice(bool refused) {
  std::string fix = refused ? sec::setup_advice(sec::SecFetchError("HTTP 403", 403)) : "";
  return fix.empty() ? "XBRL 에 없다는 뜻이 아니라 SEC 조회가 실패한 것입니다 - 잠시 후 다시 시도하세요."
                     : "XBRL 에 없다는 뜻이 아니라 SEC 조회가 실패한 것입니다 - " + fix;
}

json fact_record(const json& f) {
  json r = {{"status", "reported"}, {"value", f["value"]}, {"as_of", f["end"]}};
  if (f.contains("start")) r["period_start"] = f["start"];
  r["unit"] = f.value("unit", json());
  r["tag"] = f.value("tag", json());
  r["filed"] = f.value("filed", json());
  r["form"] = f.value("form", json());
  r["accn"] = f.value("accn", json());
  return r;
}

std::string issuer_failed(const sec::SecFetchError& e) {
  std::string fix = sec::setup_advice(e);
  return std::string("⚠️ SEC 티커 목록을 조회하지 못했습니다 (") + e.what() + "). " + (fix.empty() ? "재시도하세요." : fix);
}

json issuer_view(const json& is) {
  return {{"cik", is["cik"]}, {"name", is["name"]}, {"primary_ticker", is["primary_ticker"]},
          {"issuer_tickers", is["issuer_tickers"]}};
}

std::string json_reply(json body, const server::UsMetaArgs& m) {
  body["_meta"] = server::us_meta(m);
  return dump_compact(body);
}

const std::map<std::string, std::string> kFindTerm = {
    {"cet1_ratio", "Common Equity Tier 1"},      {"tier1_ratio", "Tier 1 capital ratio"},
    {"total_capital_ratio", "Total capital ratio"}, {"leverage_ratio", "leverage ratio"},
    {"lcr", "Liquidity coverage ratio"},         {"nsfr", "Net stable funding ratio"},
    {"npl", "nonaccrual"},                       {"allowance_for_credit_losses", "allowance for credit losses"},
    {"gross_loans", "total loans"},              {"net_chargeoffs", "net charge-offs"}};

std::string how_text(const std::string& ticker, const std::string& key) {
  auto it = kFindTerm.find(key);
  std::string term = it == kFindTerm.end() ? key : it->second;
  return "get_us_filings('" + ticker + "', forms=['10-Q','10-K']) 로 최신 보고서 accession 을 찾고 get_us_filing_detail('" +
         ticker + "', accession_no=..., find='" + term + "') 로 원문 값을 확인하세요.";
}

const char* kSoundDoc =
    "재무 건전성(규제자본) 진단 — 은행·금융지주의 CET1·Tier1·총자본·레버리지 비율, NPL, 충당금·총여신을 SEC XBRL "
    "원값과 기준일로 보여 줍니다(JSON).\n\n"
    "symbol: 미국 티커 또는 한국 6자리 종목코드. 한국 코드는 값을 만들지 않고 확인할 공식 원문 경로를 안내합니다. "
    "점수·등급은 만들지 않으며, XBRL 에 없는 지표는 unavailable 과 required_reports 로 표시합니다.";

const char* kLiqDoc =
    "미국 유동성 원장 — SEC XBRL 의 현금·유가증권·가용 신용한도·12개월 내 만기 채무/리스/구매의무를 기준일과 함께 "
    "보여 주고, 기준일 이후 자금조달성 공시 후보를 나열합니다(JSON).\n\n"
    "보고되지 않은 항목은 not_reported 로 남고 0 으로 채우지 않습니다. 기준일이 다른 값은 총액에서 뺍니다. 런웨이 "
    "개월수는 계산하지 않습니다.\n\n"
    "Args:\n"
    "    ticker: 미국 티커 (예: \"AAPL\")";

}  // namespace

// ---- get_financial_soundness ------------------------------------------------------

std::string financial_soundness(const std::string& symbol_in) {
  std::string symbol = fmt::trim(symbol_in);
  if (six_digits(symbol)) {
    json body = {{"symbol", symbol},
                 {"market", "KR"},
                 {"framework", "바젤III (금감원 은행업감독규정)"},
                 {"status", "not_available_via_tessaro"},
                 {"reason", "국내 규제자본·건전성 지표는 시세 API 가 아니라 공시 원문·감독 통계에 있습니다."},
                 {"required_reports", kKrReports},
                 {"route",
                  {{"dart", "Dorvik list_disclosures 로 사업보고서·분기보고서 rcept_no 를 찾아 자본적정성 주석을 원문으로 확인하세요."},
                   {"bank_disclosure", "은행연합회 경영공시에 분기 BIS·CET1·NPL·연체율이 표준 양식으로 공시됩니다."}}},
                 {"comparison_note", kComparisonNote}};
    server::KrMetaArgs m;
    m.kind = "filing";
    m.code = symbol;
    m.data_completeness = rmeta::PARTIAL;
    m.coverage = {{"coverage_complete", false}, {"reason", "source_limit"}};
    m.warnings = {"규제자본 지표는 이 도구가 값을 만들지 않습니다 - required_reports 의 공식 원문으로 확인하세요."};
    body["_meta"] = server::kr_meta(m);
    return dump_compact(body);
  }

  if (auto refusal = sec::contact_missing_reply()) return *refusal;
  json is;
  try {
    is = sec::resolve_issuer(symbol);
  } catch (const sec::SecFetchError& e) {
    return issuer_failed(e);
  }
  if (is.is_null()) return "'" + symbol + "'를 SEC 발행사 목록에서 찾지 못했습니다.";
  std::string cik = s_of(is, "cik");
  std::vector<std::string> warnings;

  json sic = nullptr;
  std::string sic_desc;
  try {
    json subs = sec::submissions(cik);
    if (!s_of(subs, "sic").empty()) sic = s_of(subs, "sic");
    sic_desc = s_of(subs, "sic_description");
  } catch (const sec::SecFetchError& e) {
    warnings.push_back(std::string("조회 실패(재시도 가능): submissions (") + e.what() + ")");
  }
  json is_fin = nullptr;
  if (sic.is_string()) {
    auto code = fmt::parse_int(sic.get<std::string>());
    if (code) is_fin = *code >= 6000 && *code <= 6799;
    if (code && !(*code >= 6000 && *code <= 6799))
      warnings.push_back("SIC " + sic.get<std::string>() + " (" + sic_desc +
                         ") - 금융회사가 아닐 수 있습니다. 이 지표들은 은행·금융지주에만 의미가 있습니다.");
  }

  std::vector<std::pair<std::string, Tags>> all = kSoundRatioConcepts;
  all.insert(all.end(), kSoundAssetConcepts.begin(), kSoundAssetConcepts.end());
  auto got = fetch_concepts(cik, all);

  // Base date: the latest period end among the asset facts that have a value.
  std::string base;
  for (auto& [k, t] : kSoundAssetConcepts) {
    auto it = got.find(k);
    if (it != got.end() && !it->second.fact.is_null()) base = std::max(base, s_of(it->second.fact, "end"));
  }

  json metrics = json::object();
  std::vector<std::string> unavailable, failed;   // failed: the lookup failed (a subset of unavailable)
  bool refused = false;
  auto is_ratio = [](const std::string& k) {
    for (auto& [r, t] : kSoundRatioConcepts)
      if (r == k) return true;
    return false;
  };
  std::string requested = symbol;
  for (auto& [key, tags] : all) {
    json rec;
    auto it = got.find(key);
    if (tags.empty()) {
      rec = {{"status", "not_in_xbrl"}, {"detail", "XBRL 로 공시되지 않는 지표입니다"}};
    } else if (it == got.end()) {
      rec = {{"status", "fetch_error"}, {"detail", "fetch_error"}};
    } else if (!it->second.error.empty()) {
      rec = fetch_error_record(it->second);
    } else if (it->second.fact.is_null()) {
      rec = {{"status", "not_in_xbrl"}, {"tags_tried", tags}};
    } else {
      const json& f = it->second.fact;
      auto behind = base.empty() ? std::nullopt : days_between(s_of(f, "end"), base);
      if (is_ratio(key) && behind && *behind > 400) {
        rec = {{"status", "stale_in_xbrl"},
               {"days_behind_base", *behind},
               {"last_fact", fact_record(f)},
               {"note", "XBRL 태깅이 과거에 중단된 지표입니다 - 현재값은 원문에만 있습니다."}};
      } else {
        rec = fact_record(f);
      }
    }
    if (rec["status"] != "reported") {
      rec["required_reports"] = (key == "lcr" || key == "nsfr") ? kUsLiqReports : kUsCapitalReports;
      if (rec["status"] == "fetch_error") {
        rec["retry"] = "SEC 조회 실패입니다 - 잠시 후 다시 시도하세요.";
        failed.push_back(key);
        if (it != got.end()) refused = refused || it->second.refused;
      } else {
        rec["how"] = how_text(requested, key);
      }
      unavailable.push_back(key);
    }
    metrics[key] = rec;
  }

  // Coverage of loans by the allowance: only from facts of one date.
  const json& al = metrics["allowance_for_credit_losses"];
  const json& gl = metrics["gross_loans"];
  json derived;
  if (al["status"] == "reported" && gl["status"] == "reported" && al["as_of"] == gl["as_of"] && gl["value"].is_number() &&
      gl["value"].get<double>() != 0) {
    derived = {{"value_pct", fmt::round_to(al["value"].get<double>() / gl["value"].get<double>() * 100, 4)},
               {"as_of", al["as_of"]},
               {"basis", "derived_same_date"},
               {"note", "충당금/총여신. 같은 기준일 XBRL 값에서만 파생 계산합니다."}};
  } else {
    derived = {{"status", "unavailable"},
               {"note", "충당금·총여신의 기준일이 다르거나 한쪽이 미확보라 비율을 만들지 않았습니다."}};
    unavailable.push_back("allowance_coverage_of_loans");
    if (al["status"] == "fetch_error" || gl["status"] == "fetch_error") {
      derived["note"] = "충당금·총여신 조회가 실패해 비율을 만들지 않았습니다 - 재시도하세요.";
      failed.push_back("allowance_coverage_of_loans");
    }
  }
  metrics["allowance_coverage_of_loans"] = derived;
  // A failed lookup is a retry, not a pointer to the reports: only what XBRL does
  // not hold goes to the required_reports sentence.
  std::vector<std::string> absent;
  for (const auto& k : unavailable)
    if (std::find(failed.begin(), failed.end(), k) == failed.end()) absent.push_back(k);
  if (!failed.empty())
    warnings.push_back("조회 실패(재시도 가능): " + fmt::join(failed, ", ") + " - " + retry_advice(refused));
  if (!absent.empty())
    warnings.push_back("XBRL 로 확보되지 않은 지표: " + fmt::join(absent, ", ") +
                       " - 각 항목의 required_reports 원문으로 확인하세요.");
  size_t fetchable = 0, fetched_failed = 0;
  for (auto& [key, tags] : all)
    if (!tags.empty()) {
      ++fetchable;
      if (metrics[key]["status"] == "fetch_error") ++fetched_failed;
    }

  json body = {{"requested_ticker", symbol},
               {"issuer", issuer_view(is)},
               {"market", "US"},
               {"is_financial_sic", is_fin},
               {"framework", "US Basel III (Fed 최종규정)"},
               {"base_date", base.empty() ? json(nullptr) : json(base)},
               {"metrics", metrics},
               {"unavailable_metrics", unavailable},
               {"comparison_note", kComparisonNote},
               {"source", "SEC XBRL companyconcept + submissions"}};
  server::UsMetaArgs m;
  m.kind = "filing";
  m.ticker = symbol;
  m.data_as_of = body["base_date"];
  // Every concept failed: nothing was obtained.
  m.data_completeness = unavailable.empty()                               ? rmeta::COMPLETE
                        : fetchable > 0 && fetched_failed == fetchable ? rmeta::NONE
                                                                          : rmeta::PARTIAL;
  if (!unavailable.empty())
    m.coverage = {{"unavailable_metrics", unavailable}, {"fetch_errors", failed}, {"coverage_complete", false},
                  {"reason", "source_limit"}};
  m.warnings = warnings;
  return json_reply(body, m);
}

// ---- get_us_liquidity ---------------------------------------------------------------

std::string us_liquidity(const std::string& ticker_in) {
  std::string ticker = fmt::trim(ticker_in);
  if (auto refusal = sec::contact_missing_reply()) return *refusal;
  json is;
  try {
    is = sec::resolve_issuer(ticker);
  } catch (const sec::SecFetchError& e) {
    return issuer_failed(e);
  }
  if (is.is_null()) return "티커 '" + ticker + "'를 SEC 발행사 목록에서 찾지 못했습니다.";
  std::string cik = s_of(is, "cik");
  std::vector<std::string> warnings, fetch_errors, not_reported, runway_blockers;

  json subs;
  std::string subs_error;
  try {
    subs = sec::submissions(cik);
    auto code = fmt::parse_int(s_of(subs, "sic"));
    if (code && *code >= 6000 && *code <= 6799)
      warnings.push_back("SIC " + s_of(subs, "sic") + " (" + s_of(subs, "sic_description") +
                         ") 금융회사입니다 - 제조업형 유동성 원장·런웨이가 성립하지 않습니다. get_financial_soundness 로 "
                         "규제자본 경로를 보세요.");
  } catch (const sec::SecFetchError& e) {
    subs_error = e.what();
  }

  auto got = fetch_concepts(cik, kLiqConcepts);
  json recs = json::object();
  bool refused = false;
  for (auto& [key, tags] : kLiqConcepts) {
    const Fetched& f = got[key];
    if (!f.error.empty()) {
      recs[key] = fetch_error_record(f);
      fetch_errors.push_back(key);
      refused = refused || f.refused;
    } else if (f.fact.is_null()) {
      recs[key] = {{"status", "not_reported"}, {"tags_tried", tags}};
      not_reported.push_back(key);
    } else {
      recs[key] = fact_record(f.fact);
    }
  }
  auto reported = [&](const std::string& k) { return recs[k]["status"] == "reported"; };
  std::string base = reported("cash") ? s_of(recs["cash"], "as_of") : "";

  // Ledger: cash, marketable securities and the undrawn revolver of the cash date.
  json components = json::object(), excluded = json::array(), unavailable = json::array();
  json total = nullptr;
  double sum = 0;
  std::vector<std::string> summed;
  std::vector<std::string> failed_components;
  for (const char* k : {"cash", "marketable_securities", "revolver_available"}) {
    if (!reported(k)) {
      unavailable.push_back({{"component", k}, {"status", recs[k]["status"]}});
      if (recs[k]["status"] == "fetch_error") failed_components.push_back(k);
      continue;
    }
    components[k] = recs[k];
    if (base.empty()) continue;
    std::string d = s_of(recs[k], "as_of");
    if (d != base) {
      excluded.push_back({{"component", k},
                          {"reason", "as_of_mismatch"},
                          {"as_of", d},
                          {"text", std::string(k) + " 기준일(" + d + ")이 현금 기준일(" + base +
                                       ")과 달라 총액에서 제외했습니다 - 값은 원장에 따로 있습니다."}});
      continue;
    }
    sum += recs[k]["value"].get<double>();
    summed.push_back(k);
  }
  if (base.empty() && recs["cash"]["status"] == "fetch_error")   // failed, not absent
    total = {{"status", "cash_fetch_error"}, {"detail", recs["cash"]["detail"]}};
  else if (base.empty())
    total = {{"status", "cash_not_reported"}};
  else if (!failed_components.empty())   // a sum without a failed part is not the total
    total = {{"status", "incomplete_fetch_error"},
             {"partial_sum", sum},
             {"as_of", base},
             {"components", summed},
             {"missing_components", failed_components},
             {"note", "조회 실패한 항목(" + fmt::join(failed_components, ", ") +
                          ")이 빠진 부분합입니다 - 총 가용 유동성이 아닙니다. 재시도하세요."}};
  else
    total = {{"value", sum}, {"as_of", base}, {"components", summed}};

  // Restricted cash is never added; the inclusive total only cross-checks it.
  json restricted = {{"note", "제한 현금은 가용 유동성에 더하지 않습니다."}};
  for (const char* k : {"restricted_cash_current", "restricted_cash_noncurrent", "cash_incl_restricted"})
    restricted[k] = recs[k];
  if (reported("cash_incl_restricted") && reported("cash") &&
      recs["cash_incl_restricted"]["as_of"] == recs["cash"]["as_of"]) {
    double derived = recs["cash_incl_restricted"]["value"].get<double>() - recs["cash"]["value"].get<double>();
    restricted["derived_restricted"] = {{"value", derived}, {"as_of", base}, {"basis", "cash_incl_restricted - cash"}};
    bool any = false;
    double rep = 0;
    for (const char* k : {"restricted_cash_current", "restricted_cash_noncurrent"})
      if (reported(k) && recs[k]["as_of"] == recs["cash"]["as_of"]) {
        rep += recs[k]["value"].get<double>();
        any = true;
      }
    if (any && std::fabs(rep - derived) > 0.5)
      warnings.push_back("포함형 총계 기준 파생 제한액(" + fmt::fixed(derived, 0, true) + ")과 보고된 제한액(" +
                         fmt::fixed(rep, 0, true) + ")이 다릅니다 - 별도 제한 항목이 더 있을 수 있습니다.");
  }

  json obligations = json::object();
  for (const char* k : {"debt_due_next_12m", "lease_due_next_12m", "purchase_obligation_next_12m"}) obligations[k] = recs[k];

  // Filings after the base date that may raise money.
  json financing = json::array();
  if (!subs_error.empty()) {
    warnings.push_back("보고기간 후 공시 목록 조회 실패: submissions (" + subs_error + ")");
  } else if (!base.empty()) {
    for (auto& r : subs["rows"]) {
      if (s_of(r, "filing_date") <= base) continue;
      std::string form = s_of(r, "form");
      bool hit = std::find(kFinancingForms.begin(), kFinancingForms.end(), form) != kFinancingForms.end();
      json items = json::array();
      if (form == "8-K")
        for (auto& it : r["items"])
          if (std::find(kFinancing8kItems.begin(), kFinancing8kItems.end(), it.get<std::string>()) !=
              kFinancing8kItems.end())
            items.push_back(it);
      if (!hit && items.empty()) continue;
      json f = {{"form", form},
                {"filing_date", r["filing_date"]},
                {"accession_no", r["accession_no"]},
                {"description", r["description"]},
                {"url", r["url"]}};
      if (!items.empty()) f["items"] = items;
      financing.push_back(f);
    }
  }

  // Runway inputs: never the months themselves.
  json inputs = json::array(), missing = json::array();
  for (auto& [k, t] : kLiqConcepts) (reported(k) ? inputs : missing).push_back(k);
  std::vector<std::string> blockers;
  json stale_notes = json::array();
  // A runway input counts only when reported and of the cash date: an older fact is
  // named and kept out, never used as if current.
  auto current = [&](const char* k) {
    if (!reported(k) || base.empty()) return false;
    auto lag = days_between(s_of(recs[k], "as_of"), base);
    return !(lag && *lag > 0);
  };
  if (!base.empty()) {
    for (const char* k : {"restricted_cash_current", "restricted_cash_noncurrent", "cash_incl_restricted",
                          "debt_due_next_12m"}) {
      if (!reported(k)) continue;
      auto lag = days_between(s_of(recs[k], "as_of"), base);
      if (lag && *lag > 0) {
        std::string note = std::string(k) + " 최신 보고값이 기준일보다 " + std::to_string(*lag) + "일 뒤처져 있습니다(" +
                           s_of(recs[k], "as_of") + ") - 공식 런웨이 재료로 쓰지 않습니다.";
        stale_notes.push_back(note);
        warnings.push_back(note);
      }
    }
    bool restricted_current =
        current("restricted_cash_current") || current("restricted_cash_noncurrent") || current("cash_incl_restricted");
    if (!restricted_current) blockers.push_back("restricted_cash");
    if (!current("debt_due_next_12m")) blockers.push_back("debt_due_next_12m");
  } else {
    bool restricted_known = reported("restricted_cash_current") || reported("restricted_cash_noncurrent") ||
                            reported("cash_incl_restricted");
    if (!restricted_known) blockers.push_back("restricted_cash");
    if (!reported("debt_due_next_12m")) blockers.push_back("debt_due_next_12m");
    blockers.push_back("cash");
  }
  json official = blockers.empty() ? json{{"status", "inputs_current"}, {"as_of", base}}
                                   : json{{"status", "unavailable"}, {"blocked_by", blockers}};
  if (!stale_notes.empty()) official["notes"] = stale_notes;
  json runway = {
      {"cash_only_base", reported("cash") ? json{{"value", recs["cash"]["value"]}, {"as_of", base}} : json(nullptr)},
      {"available_liquidity_base", total.contains("value") ? total : json(nullptr)},
      {"official_runway", official},
      {"inputs_available", inputs},
      {"missing", missing},
      {"note",
       "개월수 = 기준액 / 월 소진액. 월 소진액은 get_us_financial_statement(ticker, statement_type='cash_flow', "
       "period='quarterly') 의 분기 영업활동현금흐름에서 잡으세요 - 이 도구는 런웨이 개월수를 계산하지 않습니다."}};

  json body = {{"requested_ticker", ticker},
               {"ticker", is["primary_ticker"]},
               {"issuer", issuer_view(is)},
               {"base_date", base.empty() ? json(nullptr) : json(base)},
               {"liquidity",
                {{"components", components}, {"excluded", excluded}, {"unavailable", unavailable},
                 {"total_available", total}, {"restricted_cash", restricted}}},
               {"obligations", obligations},
               {"cutoff", {{"base_date", base.empty() ? json(nullptr) : json(base)}, {"filings_after", "filing_date > base_date"}}},
               {"post_period_financing",
                {{"filings", financing},
                 {"note",
                  "기준일 이후 제출된 자금조달성 공시(424B·S-1/S-3·FWP, 8-K item 1.01/2.03/3.02)입니다. 조달 여부·금액은 "
                  "원문으로 확인하세요 - 여기 있다는 것은 후보라는 뜻입니다."}}},
               {"runway_inputs", runway},
               {"source", "SEC XBRL companyconcept"},
               {"unit", "USD"}};

  if (!fetch_errors.empty()) {
    warnings.push_back("조회 실패(재시도 가능): " + fmt::join(fetch_errors, ", "));
    if (refused) warnings.push_back(retry_advice(true));
  }
  if (!blockers.empty()) warnings.push_back("공식 런웨이 승격 불가 - 확인 불가 재료: " + fmt::join(blockers, ", "));
  bool partial = !fetch_errors.empty() || !not_reported.empty() || !stale_notes.empty() || !subs_error.empty() ||
                 !excluded.empty();
  server::UsMetaArgs m;
  m.kind = "filing";
  m.ticker = ticker;
  m.data_as_of = body["base_date"];
  m.data_completeness = fetch_errors.size() == kLiqConcepts.size() ? rmeta::NONE   // nothing was obtained
                        : partial                                   ? rmeta::PARTIAL
                                                                    : rmeta::COMPLETE;
  if (partial)
    m.coverage = {{"not_reported", not_reported}, {"fetch_errors", fetch_errors}, {"coverage_complete", false},
                  {"reason", "source_limit"}};
  m.warnings = warnings;
  return json_reply(body, m);
}

namespace {
std::string get_financial_soundness(const server::Args& a) { return financial_soundness(a.str("symbol")); }
std::string get_us_liquidity(const server::Args& a) { return us_liquidity(a.str("ticker")); }
const server::ToolRegistration reg_sound{"get_financial_soundness", kSoundDoc, get_financial_soundness};
const server::ToolRegistration reg_liq{"get_us_liquidity", kLiqDoc, get_us_liquidity};

// The replies are JSON documents with the result meta; the host sends them as
// structuredContent too. A failed issuer lookup is a text (an error reply).
const server::ToolDecorRegistration decor_sound{
    "get_financial_soundness",
    {server::json_reply_schema({{"market", {{"type", "string"}}},
                                {"framework", {{"type", "string"}}}},
                               {"market", "framework"})}};
const server::ToolDecorRegistration decor_liq{
    "get_us_liquidity",
    {server::json_reply_schema({{"requested_ticker", {{"type", "string"}}},
                                {"base_date", server::string_or_null()},
                                {"liquidity", server::object_schema()}},
                               {"requested_ticker"})}};
const server::ArgumentShape shape_get_financial_soundness_symbol{"get_financial_soundness", "symbol", server::Shape::KrCodeOrUsTicker};
const server::ArgumentShape shape_get_us_liquidity_ticker{"get_us_liquidity", "ticker", server::Shape::UsTicker};
}  // namespace

}  // namespace tessaro::tools::us
