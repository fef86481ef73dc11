#pragma once
// A loopback SEC for tests: base URL, contact, a short timeout, a fresh home for the
// day caches, and the hand-written ticker list and submissions of the test issuer
// (EXMP / EXMPW, CIK 0009999991).
#include <string>

#include "core/json.hpp"
#include "support/fixture_server.hpp"

namespace tessaro::testing {

inline constexpr const char* kSecTickersPath = "/www.sec.gov/files/company_tickers.json";
inline constexpr const char* kSecSubmissionsPath = "/data.sec.gov/submissions/CIK0009999991.json";

struct SecEnv {
  FixtureServer srv;
  TempHome home;
  ScopedEnv base{"TESSARO_SEC_BASE_URL", srv.base_url()};
  ScopedEnv contact{"TESSARO_SEC_CONTACT", "ops@example.com"};
  ScopedEnv timeout{"TESSARO_SEC_TIMEOUT_S", "0.5"};
  SecEnv() { srv.route_file(kSecTickersPath, "sec/h_company_tickers.json"); }
  void submissions() { srv.route_file(kSecSubmissionsPath, "sec/h_submissions_CIK0009999991.json"); }
  // One companyconcept answer with a single fact.
  void fact(const std::string& cik, const std::string& tag, const std::string& end, double val,
            const std::string& unit = "USD") {
    json body = {{"cik", std::stoi(cik)}, {"taxonomy", "us-gaap"}, {"tag", tag},
                 {"units", {{unit, {{{"end", end}, {"val", val}, {"filed", "2026-11-05"}, {"form", "10-Q"}}}}}}};
    srv.route(concept_path(cik, tag), FixtureResponse{200, body.dump()});
  }
  static std::string concept_path(const std::string& cik, const std::string& tag) {
    return "/data.sec.gov/api/xbrl/companyconcept/CIK" + cik + "/us-gaap/" + tag + ".json";
  }
};

}  // namespace tessaro::testing
