#include <gtest/gtest.h>

#include <chrono>

#include "sources/sec/sec.hpp"
#include "sources/sec/sec_fixture.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

json concept_body(const std::string& unit, const json& facts) { return json{{"units", {{unit, facts}}}}; }

}  // namespace

TEST(SecIssuer, ShareClassesResolveToOneIssuerOnTheRealList) {
  TESSARO_REQUIRE_SAMPLE(body, "sec/company_tickers_share_class_entries.json");
  json list = json::parse(body);
  json goog = sec::resolve_issuer_in(list, "goog");
  ASSERT_FALSE(goog.is_null());
  EXPECT_EQ(goog["cik"], "0001652044");
  EXPECT_EQ(goog["primary_ticker"], "GOOGL");   // lower index key = the prominent class
  EXPECT_EQ(goog["issuer_tickers"], json({"GOOGL", "GOOG"}));
  json brk = sec::resolve_issuer_in(list, "BRK.B");   // dotted form of BRK-B
  ASSERT_FALSE(brk.is_null());
  EXPECT_EQ(brk["cik"], "0001067983");
  EXPECT_EQ(brk["issuer_tickers"], json({"BRK-B", "BRK-A"}));
  EXPECT_TRUE(sec::resolve_issuer_in(list, "ZZZZ").is_null());
  EXPECT_TRUE(sec::resolve_issuer_in(list, "").is_null());
}

TEST(SecIssuer, ListIsCachedForTheDayAndUnknownTickerIsNull) {
  SecEnv env;
  EXPECT_EQ(sec::cik_for("exmpw").value_or(""), "0009999991");
  EXPECT_FALSE(sec::cik_for("NOPE").has_value());
  EXPECT_EQ(env.srv.hits(kSecTickersPath), 1);
  auto req = env.srv.last_request(kSecTickersPath);
  EXPECT_NE(req.headers["user-agent"].find("Tessaro"), std::string::npos);
  EXPECT_NE(req.headers["user-agent"].find("ops@example.com"), std::string::npos);
  // A fresh process would read the disk copy: the file is there.
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(env.home.path()) / "cache/sec/company_tickers.json"));
}

TEST(SecClient, NoContactMeansNoRequest) {
  SecEnv env;
  ScopedEnv none("TESSARO_SEC_CONTACT", "");
  EXPECT_THROW(sec::submissions("9999991"), sec::SecFetchError);
  EXPECT_EQ(env.srv.hits("/data.sec.gov/submissions/CIK0009999991.json"), 0);
}

TEST(SecClient, TooManyRequestsThenSuccessAndThrottlePages) {
  SecEnv env;
  env.submissions();
  const std::string path = kSecSubmissionsPath;
  env.srv.fail_next(path, 429, 1, "0");
  json s = sec::submissions("9999991");
  EXPECT_EQ(env.srv.hits(path), 2);
  EXPECT_EQ(s["rows"].size(), 6u);

  // 429 on every try: a throttle error after a bounded number of tries.
  env.srv.fail_next(path, 429, 10, "0");
  try {
    sec::submissions("9999991");
    FAIL() << "expected a throttle error";
  } catch (const sec::SecFetchError& e) {
    EXPECT_TRUE(e.throttled());
    EXPECT_EQ(e.status(), 429);
  }
  EXPECT_EQ(env.srv.hits(path), 5);   // 2 before + 3 tries

  // 403 with the SEC's block page is a throttle, not "not found".
  TESSARO_REQUIRE_SAMPLE(page, "sec/sec_block_page_excerpts.txt");
  env.srv.route("/data.sec.gov/submissions/CIK0009999992.json", FixtureResponse{403, page, "text/html"});
  try {
    sec::submissions("9999992");
    FAIL();
  } catch (const sec::SecFetchError& e) {
    EXPECT_TRUE(e.throttled());
    EXPECT_EQ(e.status(), 403);
  }
}

TEST(SecClient, TimeoutBecomesAFetchErrorNamingTheCause) {
  SecEnv env;
  env.submissions();
  const std::string path = kSecSubmissionsPath;
  env.srv.delay(path, 1500);
  try {
    sec::submissions("9999991");
    FAIL();
  } catch (const sec::SecFetchError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("ReadTimeout", 0), 0u) << e.what();
    EXPECT_FALSE(e.throttled());
  }
}

TEST(SecSubmissions, RealTeslaFileParsesWithEasternAcceptanceTimes) {
  TESSARO_REQUIRE_SAMPLE(body, "sec/submissions_CIK0001318605_TSLA_2022_edgartools.json");
  json s = sec::parse_submissions(json::parse(body));
  EXPECT_EQ(s["cik"], "0001318605");
  EXPECT_EQ(s["sic"], "3711");
  ASSERT_EQ(s["rows"].size(), 1001u);
  ASSERT_EQ(s["pages"].size(), 1u);
  EXPECT_EQ(s["pages"][0]["name"], "CIK0001318605-submissions-001.json");
  EXPECT_EQ(s["pages"][0]["filing_count"], 347);
  const json* k8 = nullptr;
  for (const auto& r : s["rows"])
    if (r["accession_no"] == "0001564590-22-034639") k8 = &r;
  ASSERT_NE(k8, nullptr);
  EXPECT_EQ((*k8)["form"], "8-K");
  EXPECT_EQ((*k8)["acceptance_time"], "2022-10-19T17:15:46");   // after the close, not 13:15
  EXPECT_EQ((*k8)["items"], json({"2.02", "9.01"}));
  EXPECT_NE((*k8)["url"].get<std::string>().find("/Archives/edgar/data/1318605/000156459022034639/tsla-8k_20221019.htm"),
            std::string::npos);
}

TEST(SecSubmissions, UnequalArraysAreRejected) {
  json bad = {{"cik", "1"},
              {"filings",
               {{"recent",
                 {{"accessionNumber", {"0000000001-26-000001", "0000000001-26-000002"}},
                  {"filingDate", {"2026-01-02"}},
                  {"form", {"8-K", "4"}}}}}}};
  EXPECT_THROW(sec::parse_submissions(bad), sec::SecFetchError);   // an empty report date: get_us_filings shows "-"
}

TEST(SecSubmissions, OlderPageHasArraysAtTopLevelAndMergesBehindRecent) {
  SecEnv env;
  env.submissions();
  env.srv.route_file("/data.sec.gov/submissions/CIK0009999991-submissions-001.json",
                     "sec/h_submissions_CIK0009999991-submissions-001.json");
  json page = sec::submissions_page("0009999991", "CIK0009999991-submissions-001.json");
  ASSERT_EQ(page.size(), 3u);
  EXPECT_EQ(page[2]["form"], "S-1");
  EXPECT_THROW(sec::submissions_page("0009999991", "../../etc/passwd"), sec::SecFetchError);
  json all = sec::get_submissions("EXMP");
  ASSERT_EQ(all["rows"].size(), 9u);
  EXPECT_EQ(all["rows"][6]["accession_no"], "0009999991-19-000009");
  EXPECT_TRUE(sec::get_submissions("NOPE").is_null());
}

TEST(SecDocuments, FilingIndexSizesAndUrls) {
  TESSARO_REQUIRE_SAMPLE(body, "sec/archives_1648960_000121390024004875_index.json");
  json docs = sec::parse_filing_index(json::parse(body), "https://x/");
  ASSERT_FALSE(docs.empty());
  bool generated_null = false, sized = false;
  for (const auto& d : docs) {
    if (d["size"].is_null()) generated_null = true;   // "" for generated files: unknown, not 0
    if (d["size"].is_number() && d["size"].get<long long>() > 0) sized = true;
    EXPECT_EQ(d["url"].get<std::string>().rfind("https://x/", 0), 0u);
  }
  EXPECT_TRUE(generated_null);
  EXPECT_TRUE(sized);
  EXPECT_THROW(sec::parse_filing_index(json::object(), ""), sec::SecFetchError);
}

TEST(SecDocuments, InlineXbrlTextDropsHiddenFactsAndDecodesEntities) {
  TESSARO_REQUIRE_SAMPLE(html, "sec/archives_8-K_primary_document_1800Flowers.html");
  std::string text = sec::html_to_text(html);
  EXPECT_EQ(text.find('<'), std::string::npos);
  EXPECT_EQ(text.find("&nbsp;"), std::string::npos);
  EXPECT_EQ(text.find("&#"), std::string::npos);
  EXPECT_GT(text.size(), 500u);
  EXPECT_FALSE(sec::find_all_matches(text, "item").empty());

  std::string own = sec::html_to_text(read_fixture("sec/h_8k_20261120.htm"));
  EXPECT_NE(own.find("Item 1.01 Entry"), std::string::npos);      // &#160; became a space
  EXPECT_NE(own.find("\u201cCompany\u201d"), std::string::npos);
  EXPECT_NE(own.find("Warrant & Purchase"), std::string::npos);
}

TEST(SecDocuments, MatchesAreCaseInsensitiveWithCodePointOffsets) {
  std::string text = "가나 Warrant one, WARRANT two, warrant three";
  auto m = sec::find_all_matches(text, "warrant");
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0], 3u);   // two Hangul syllables and a space before it
  auto snips = sec::match_snippets(text, {m[1]}, 7, 5);
  ASSERT_EQ(snips.size(), 1u);
  EXPECT_EQ(snips[0], "…one, WARRANT two,…");
  EXPECT_TRUE(sec::find_all_matches(text, "  ").empty());
}

TEST(SecDocuments, ExcerptCapsAndContractCategories) {
  // Which dilution categories are found or unconfirmed shows on the get_us_filing_detail reply.
  std::string text = sec::html_to_text(read_fixture("sec/h_8k_20261120.htm"));
  json d = sec::extract_dilution_facts(text);
  EXPECT_GE(d["categories"].size(), 3u);
  for (auto& c : d["categories"]) {
    EXPECT_GE(c["count"].get<int>(), int(c["excerpts"].size()));
    EXPECT_LE(c["excerpts"].size(), 3u);
  }
  json k = sec::extract_contract_facts(text);
  EXPECT_EQ(k["categories"][0]["category"], "계약 당사자");
  EXPECT_EQ(k["categories"].size() + k["unconfirmed"].size(), 7u);
}

TEST(SecXbrl, LatestFactByPeriodEndThenFiledOnRealFacts) {
  TESSARO_REQUIRE_SAMPLE(body, "sec/companyfacts_CIK0001640147_SNOW_excerpt.json");
  json facts = json::parse(body)["facts"]["us-gaap"];
  json cash = sec::latest_fact(facts["CashAndCashEquivalentsAtCarryingValue"]);
  ASSERT_FALSE(cash.is_null());
  std::string end = cash["end"];
  for (const auto& f : facts["CashAndCashEquivalentsAtCarryingValue"]["units"]["USD"]) {
    EXPECT_LE(f["end"].get<std::string>(), end);
    if (f["end"] == end) EXPECT_LE(f["filed"].get<std::string>(), cash["filed"].get<std::string>());
  }
  EXPECT_EQ(cash["unit"], "USD");
  EXPECT_TRUE(sec::latest_fact(json::object()).is_null());
  // A fact without a value is missing, never a zero.
  EXPECT_TRUE(sec::latest_fact(concept_body("USD", json::array({{{"end", "2026-09-30"}, {"val", nullptr}}}))).is_null());
}

TEST(SecXbrl, ConceptTagsInOrderMissingIsNullFailureThrows) {
  SecEnv env;
  const std::string b = "/data.sec.gov/api/xbrl/companyconcept/CIK0009999991/us-gaap/";
  env.srv.route(b + "ShortTermInvestments.json", FixtureResponse{404, "{}"});
  env.srv.route(b + "MarketableSecuritiesCurrent.json",
                FixtureResponse{200, concept_body("USD", json::array({{{"end", "2026-06-30"}, {"val", 5}, {"filed", "2026-08-06"}},
                                                                 {{"end", "2026-09-30"}, {"val", 7}, {"filed", "2026-11-05"}}}))
                                         .dump()});
  env.srv.route(b + "AvailableForSaleSecuritiesDebtSecuritiesCurrent.json",
                FixtureResponse{200, concept_body("USD", json::array({{{"end", "2025-12-31"}, {"val", 9}, {"filed", "2026-03-01"}}})).dump()});
  json f = sec::get_concept_latest("9999991", {"ShortTermInvestments", "MarketableSecuritiesCurrent",
                                               "AvailableForSaleSecuritiesDebtSecuritiesCurrent"});
  ASSERT_FALSE(f.is_null());
  EXPECT_EQ(f["tag"], "MarketableSecuritiesCurrent");
  EXPECT_EQ(f["value"], 7);
  EXPECT_EQ(f["end"], "2026-09-30");

  EXPECT_TRUE(sec::get_concept_latest("9999991", {"ShortTermInvestments"}).is_null());   // not in XBRL
  env.srv.route(b + "RestrictedCashCurrent.json", FixtureResponse{500, "oops"});
  EXPECT_THROW(sec::get_concept_latest("9999991", {"RestrictedCashCurrent"}), sec::SecFetchError);
}

TEST(SecPacing, GateSpacesStartsAtTheRate) {
  sec::RateGate g(10.0);
  auto t0 = sec::RateGate::Clock::time_point{} + std::chrono::seconds(100);
  std::vector<sec::RateGate::Clock::time_point> starts;
  for (int i = 0; i < 11; ++i) starts.push_back(g.reserve(t0));   // eleven asks at one instant
  EXPECT_EQ(starts.front(), t0);
  EXPECT_GE(starts.back() - starts.front(), std::chrono::milliseconds(999));   // 11 starts span >= 1 s
  // After a quiet spell the next ask starts at once.
  auto later = t0 + std::chrono::seconds(5);
  EXPECT_EQ(g.reserve(later), later);
}
