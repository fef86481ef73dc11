// US and SEC tools on a bad day: a concept with several XBRL tags names a failed
// tag even when another answered, a failed second request (roster, breakdown)
// keeps the rows already fetched, an unknown screen preset is named, Yahoo's
// unsolved-IV placeholders are missing values, and every tool, with each host it
// contacts failing, neither claims a complete answer nor says "nothing found".
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <set>
#include <thread>

#include "core/call_context.hpp"
#include "server/registry.hpp"
#include "server/tool_call.hpp"
#include "sources/sec/sec.hpp"
#include "sources/sec/sec_fixture.hpp"
#include "sources/yahoo/yahoo_fixture.hpp"
#include "tools/us/diagnostics.hpp"
#include "tools/us/us_news.hpp"
#include "tools/us/us_reply.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const std::string kCik = "0009999991";

bool any_warning(const json& meta, const std::string& part) {
  for (const auto& w : meta.value("warnings", json::array()))
    if (w.is_string() && has(w.get<std::string>(), part)) return true;
  return false;
}

// The ledger entries of one call run under its own context.
struct CallRun {
  server::ToolReply reply;
  std::vector<LedgerEntry> ledger;
};
CallRun run_call(const std::string& tool, const json& args) {
  CallContext ctx;
  CallScope scope(&ctx);
  CallRun r{server::run_tool(tool, args), {}};
  r.ledger = ctx.ledger();
  return r;
}

}  // namespace

// ---- XBRL: one concept, several tags -------------------------------------------------

TEST(UsXbrlTags, AFailedTagIsNamedEvenWhenAnotherTagAnswered) {
  SecEnv env;
  env.submissions();
  // Written from the documented companyconcept shape: cash 600M, and the
  // marketable securities split over two tags, the first of which is down.
  env.fact(kCik, "CashAndCashEquivalentsAtCarryingValue", "2026-09-30", 600e6);
  env.srv.route(SecEnv::concept_path(kCik, "ShortTermInvestments"), FixtureResponse{503, "busy"});
  env.fact(kCik, "MarketableSecuritiesCurrent", "2026-09-30", 50e6);

  {
    CallContext ctx;
    CallScope scope(&ctx);
    sec::ConceptLookup c = sec::concept_lookup(kCik, {"ShortTermInvestments", "MarketableSecuritiesCurrent"});
    ASSERT_EQ(c.failed_tags.size(), 1u);
    EXPECT_EQ(c.failed_tags[0].first, "ShortTermInvestments");
    EXPECT_EQ(c.fact["value"], 50e6);   // kept, but not as the concept's value
    bool failed_entry = false, found_entry = false;
    for (const auto& e : ctx.ledger()) {
      failed_entry = failed_entry || (e.source == "sec.concept:ShortTermInvestments" && e.outcome == LookupStatus::failed);
      found_entry = found_entry || (e.source == "sec.concept:MarketableSecuritiesCurrent" && e.outcome == LookupStatus::found);
    }
    EXPECT_TRUE(failed_entry);
    EXPECT_TRUE(found_entry);
    EXPECT_THROW(sec::get_concept_latest(kCik, {"ShortTermInvestments", "MarketableSecuritiesCurrent"}),
                 sec::SecFetchError);
  }

  json j = json::parse(tools::us::us_liquidity("EXMP"));
  const json& ms = j["liquidity"]["unavailable"];
  bool listed = false;
  for (const auto& u : ms) listed = listed || (u["component"] == "marketable_securities" && u["status"] == "fetch_error");
  EXPECT_TRUE(listed) << j["liquidity"].dump();
  // The 650M of cash + the answering tag is not the total: it is said to lack a part.
  const json& total = j["liquidity"]["total_available"];
  EXPECT_FALSE(total.contains("value")) << total.dump();
  EXPECT_EQ(total["status"], "incomplete_fetch_error");
  EXPECT_EQ(total["partial_sum"], 600e6);
  EXPECT_EQ(total["missing_components"], json({"marketable_securities"}));
  EXPECT_TRUE(j["runway_inputs"]["available_liquidity_base"].is_null());
  const json& meta = j["_meta"];
  EXPECT_EQ(meta["data_completeness"], "partial");
  EXPECT_EQ(meta["coverage"]["fetch_errors"], json({"marketable_securities"}));
  EXPECT_TRUE(any_warning(meta, "조회 실패(재시도 가능): marketable_securities")) << meta.dump();
}

TEST(UsXbrlTags, AFailedCurrentCapitalTagIsNotAStaleOne) {
  SecEnv env;
  env.submissions();
  env.srv.route(SecEnv::concept_path(kCik, "BankingRegulationCommonEquityTier1CapitalRatioActual"),
                FixtureResponse{503, "busy"});
  env.fact(kCik, "CommonEquityTierOneCapitalToRiskWeightedAssets", "2019-12-31", 0.118, "pure");
  env.fact(kCik, "FinancingReceivableAllowanceForCreditLossExcludingAccruedInterest", "2026-09-30", 5e9);
  json j = json::parse(tools::us::financial_soundness("EXMP"));
  const json& cet1 = j["metrics"]["cet1_ratio"];
  EXPECT_EQ(cet1["status"], "fetch_error") << cet1.dump();
  EXPECT_FALSE(cet1.contains("note") && has(cet1["note"].get<std::string>(), "과거에 중단된"));
  EXPECT_EQ(cet1["partial_fact"]["as_of"], "2019-12-31");
  EXPECT_TRUE(any_warning(j["_meta"], "조회 실패(재시도 가능): cet1_ratio")) << j["_meta"].dump();
}

TEST(UsXbrlTags, SoundnessRefusedEverywhereSaysRetryNotReadTheReports) {
  SecEnv env;
  env.submissions();
  for (const char* tag :
       {"BankingRegulationCommonEquityTier1CapitalRatioActual", "CommonEquityTierOneCapitalToRiskWeightedAssets",
        "BankingRegulationTier1RiskBasedCapitalRatioActual", "TierOneRiskBasedCapitalToRiskWeightedAssets",
        "BankingRegulationTotalRiskBasedCapitalRatioActual", "CapitalToRiskWeightedAssets",
        "BankingRegulationTier1LeverageCapitalRatioActual", "TierOneLeverageCapitalToAverageAssets",
        "FinancingReceivableRecordedInvestmentNonaccrualStatus", "FinancingReceivableNonaccrualStatus",
        "FinancingReceivableAllowanceForCreditLossExcludingAccruedInterest", "FinancingReceivableAllowanceForCreditLosses",
        "FinancingReceivableExcludingAccruedInterestBeforeAllowanceForCreditLoss", "NotesReceivableGross",
        "FinancingReceivableExcludingAccruedInterestAllowanceForCreditLossWriteoffAfterRecovery"})
    env.srv.route(SecEnv::concept_path(kCik, tag), FixtureResponse{403, "<html>Forbidden</html>", "text/html"});
  json j = json::parse(tools::us::financial_soundness("EXMP"));
  const json& meta = j["_meta"];
  EXPECT_EQ(meta["data_completeness"], "none") << meta.dump();
  // The refused concepts are a retry (with the contact advice of a 403) ...
  EXPECT_TRUE(any_warning(meta, "조회 실패(재시도 가능): cet1_ratio, tier1_ratio, total_capital_ratio, leverage_ratio, npl"))
      << meta.dump();
  EXPECT_TRUE(any_warning(meta, "TESSARO_SEC_CONTACT")) << meta.dump();
  // ... and only what XBRL never holds points to the reports.
  EXPECT_TRUE(any_warning(meta, "XBRL 로 확보되지 않은 지표: lcr, nsfr - 각 항목의 required_reports 원문으로 확인하세요."))
      << meta.dump();
  EXPECT_FALSE(any_warning(meta, "XBRL 로 확보되지 않은 지표: cet1_ratio"));
  EXPECT_TRUE(j["metrics"]["cet1_ratio"].contains("retry"));
  EXPECT_FALSE(j["metrics"]["cet1_ratio"].contains("how"));
}

// ---- a failed second request keeps the rows already fetched -------------------------

TEST(UsSecondRequests, FailedRosterKeepsTheTransactions) {
  YahooEnv env;
  json tx = {{"filerName", "DOE JANE"}, {"filerRelation", "Director"}, {"transactionText", "Sale at price 200.00 per share."},
             {"moneyText", ""},         {"shares", {{"raw", 1000}}},  {"value", {{"raw", 200000}}},
             {"startDate", {{"raw", 1738800000}}}};
  json summary = {{"quoteSummary",
                   {{"result", json::array({{{"insiderTransactions", {{"transactions", json::array({tx})}}}}})},
                    {"error", nullptr}}}};
  env.srv.route(yahoo_summary_path("EXMP"), [summary](const FixtureRequest& r) {
    if (r.params.count("modules") && r.params.at("modules") == "insiderHolders") return FixtureResponse{500, "down"};
    return FixtureResponse{200, summary.dump()};
  });
  std::string r = server::call_tool("get_us_insider", {{"ticker", "EXMP"}});
  EXPECT_TRUE(has(r, "## 🗓️ 최근 거래 (1)")) << r;
  EXPECT_TRUE(has(r, "DOE JANE | Director")) << r;
  EXPECT_TRUE(has(r, "⚠️ 현재 내부자 명단 조회 실패 (HTTPStatusError 500) - 명단이 없다는 뜻이 아니라 확인 불가입니다.")) << r;
  json m = reply_meta(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_TRUE(any_warning(m, "조회 실패: 현재 내부자 명단"));
}

TEST(UsSecondRequests, FailedBreakdownKeepsTheHolderTables) {
  YahooEnv env;
  json holder = {{"organization", "Vanguard Group Inc"}, {"pctHeld", {{"raw", 0.0931}}}, {"position", {{"raw", 1.39e9}}},
                 {"value", {{"raw", 3.4e11}}}, {"pctChange", {{"raw", 0.012}}}, {"reportDate", {{"raw", 1735603200}}}};
  json summary = {{"quoteSummary",
                   {{"result", json::array({{{"institutionOwnership", {{"ownershipList", json::array({holder})}}}}})},
                    {"error", nullptr}}}};
  env.srv.route(yahoo_summary_path("EXMP"), [summary](const FixtureRequest& r) {
    if (r.params.count("modules") && r.params.at("modules") == "majorHoldersBreakdown") return FixtureResponse{503, "down"};
    return FixtureResponse{200, summary.dump()};
  });
  std::string r = server::call_tool("get_us_holders", {{"ticker", "EXMP"}});
  EXPECT_TRUE(has(r, "Vanguard Group Inc | 9.31%")) << r;
  EXPECT_TRUE(has(r, "⚠️ 보유 구성(Breakdown) 조회 실패 (HTTPStatusError 503)")) << r;
  EXPECT_EQ(reply_meta(r)["data_completeness"], "partial");
}

// ---- an unknown screen preset -------------------------------------------------------

TEST(UsScreenerPreset, AnUnknownPresetIsNamedNotAGenericError) {
  YahooEnv env;
  // Yahoo's answer for a saved-screen id it does not have: HTTP 400 (documented; body
  // written from the error envelope).
  env.srv.route("/query1.finance.yahoo.com/v1/finance/screener/predefined/saved",
                FixtureResponse{400, R"({"finance":{"result":null,"error":{"code":"Bad Request","description":"Invalid scrIds"}}})"});
  std::string r = server::call_tool("get_us_screener", {{"preset", "day_gainerz"}});
  EXPECT_EQ(r.rfind("⚠️ 'day_gainerz' 는 Yahoo 에 없는 스크린(preset) 이름입니다 (HTTP 400). 사용할 수 있는 preset: day_gainers, ", 0),
            0u)
      << r;
  EXPECT_FALSE(has(r, "조회 중 문제가 생겼어요"));
}

// ---- option IVs: the solver's placeholders are missing -------------------------------

TEST(UsOptionsIv, SolverPlaceholdersOfTheRealPreOpenChainAreMissing) {
  TESSARO_REQUIRE_SAMPLE(chain, "yahoo/v7_options_AAPL_nearest.json");
  YahooEnv env;
  env.srv.route("/query2.finance.yahoo.com/v7/finance/options/AAPL", reply(200, chain));
  std::string r = server::call_tool("get_us_options", {{"ticker", "AAPL"}, {"strikes_around_spot", 100}});
  std::string b = reply_body(r);
  // 0.500005, 0.2500075, 0.12500875 ... would read as 50.0 %, 25.0 %, 12.5 %.
  for (const char* shown : {" | 50.0% | ", " | 25.0% | ", " | 12.5% | ", " | 6.3% | ", " | 0.0% | "})
    EXPECT_FALSE(has(b, shown)) << shown << "\n" << b;
  EXPECT_TRUE(has(b, " | 358.6% | ")) << b;   // the one contract Yahoo did solve
  // 43 at 1e-05 and 58 at the halving steps: 101 of the 102 contracts have no IV.
  EXPECT_TRUE(has(b, "※ IV '-' 101건은 공급자가 IV 를 계산하지 못한 계약입니다")) << b;
  json m = reply_meta(r);
  EXPECT_EQ(m["iv_missing"]["unsolved_placeholder"], 101);
}

// ---- every US tool, each host failing ------------------------------------------------

namespace {

// One loopback answering for every US host: the host named by `failing` answers
// with the fault, the others as a quiet upstream (Yahoo's cookie and crumb, the
// SEC's ticker list and submissions of the test issuer, 404 elsewhere).
class FaultyUpstream {
 public:
  enum class Fault { Status500, Status410, Timeout, EmptyOk };

  FaultyUpstream() {
    gone_page_ = read_shared_sample("naver/finance_item_sise_day_http410.html");
    if (gone_page_.empty()) gone_page_ = "<html><body>410 Gone</body></html>";   // written from the status alone
    tickers_ = read_fixture("sec/h_company_tickers.json");
    submissions_ = read_fixture("sec/h_submissions_CIK0009999991.json");
    svr_.Get(".*", [this](const httplib::Request& q, httplib::Response& s) { answer(q, s); });
    svr_.set_keep_alive_max_count(1);
    port_ = svr_.bind_to_any_port("127.0.0.1");
    th_ = std::thread([this] { svr_.listen_after_bind(); });
    for (int i = 0; i < 200 && !svr_.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~FaultyUpstream() {
    svr_.stop();
    th_.join();
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // "yahoo" fails every Yahoo data host at once (one source behind three names).
  void set(const std::string& host, Fault f) {
    std::lock_guard<std::mutex> lk(m_);
    hosts_.clear();
    if (host == "yahoo")
      hosts_ = {"/query1.finance.yahoo.com/", "/query2.finance.yahoo.com/", "/finance.yahoo.com/"};
    else
      hosts_ = {"/" + host + "/"};
    fault_ = f;
  }

 private:
  void answer(const httplib::Request& q, httplib::Response& s) {
    std::vector<std::string> hosts;
    Fault f;
    {
      std::lock_guard<std::mutex> lk(m_);
      hosts = hosts_;
      f = fault_;
    }
    const std::string& p = q.path;
    bool session = p == "/fc.yahoo.com/" || p == "/query1.finance.yahoo.com/v1/test/getcrumb";
    bool failing = false;
    for (const auto& h : hosts) failing = failing || p.rfind(h, 0) == 0;
    if (!session && failing) {
      switch (f) {
        case Fault::Status500: s.status = 500; s.set_content("{\"error\":\"injected\"}", "application/json"); return;
        case Fault::Status410: s.status = 410; s.set_content(gone_page_, "text/html"); return;
        case Fault::Timeout:
          std::this_thread::sleep_for(std::chrono::milliseconds(1200));
          s.status = 500;
          return;
        case Fault::EmptyOk: s.status = 200; s.set_content("{}", "application/json"); return;
      }
    }
    if (p == "/fc.yahoo.com/") {
      s.status = 404;
      s.set_header("Set-Cookie", "A3=d=AQAB; Domain=.yahoo.com; Path=/; Secure");
      s.set_content("<html>no</html>", "text/html");
    } else if (p == "/query1.finance.yahoo.com/v1/test/getcrumb") {
      s.set_content("abcDEF12345", "text/plain");
    } else if (p == kSecTickersPath) {
      s.set_content(tickers_, "application/json");
    } else if (p == kSecSubmissionsPath) {
      s.set_content(submissions_, "application/json");
    } else {
      s.status = 404;
      s.set_content("{}", "application/json");
    }
  }

  httplib::Server svr_;
  std::thread th_;
  int port_ = 0;
  std::mutex m_;
  std::vector<std::string> hosts_;
  Fault fault_ = Fault::Status500;
  std::string gone_page_, tickers_, submissions_;
};

struct ToolCase {
  const char* tool;
  json args;
  std::vector<const char*> hosts;   // the hosts it contacts
};

const std::vector<ToolCase>& us_cases() {
  static const std::vector<ToolCase> c = {
      {"get_us_price", {{"ticker", "AAPL"}}, {"yahoo"}},
      {"get_us_info", {{"ticker", "AAPL"}}, {"yahoo"}},
      {"get_us_chart", {{"ticker", "AAPL"}}, {"yahoo"}},
      {"get_us_multi_price", {{"tickers", {"AAPL", "MSFT"}}}, {"yahoo"}},
      {"get_us_market", json::object(), {"yahoo"}},
      {"get_us_search", {{"query", "apple"}}, {"yahoo"}},
      {"get_us_financials", {{"ticker", "AAPL"}}, {"yahoo"}},
      {"get_us_financial_statement", {{"ticker", "AAPL"}}, {"yahoo"}},
      {"get_us_earnings", {{"ticker", "AAPL"}}, {"yahoo"}},
      {"get_us_analyst", {{"ticker", "AAPL"}}, {"yahoo"}},
      {"get_us_dividends", {{"ticker", "AAPL"}}, {"yahoo"}},
      {"get_us_options", {{"ticker", "AAPL"}}, {"yahoo"}},
      {"get_us_insider", {{"ticker", "AAPL"}}, {"yahoo"}},
      {"get_us_holders", {{"ticker", "AAPL"}}, {"yahoo"}},
      {"get_us_short", {{"ticker", "AAPL"}}, {"yahoo"}},
      {"get_us_news", {{"ticker", "AAPL"}}, {"yahoo"}},
      {"get_us_event_reaction", {{"ticker", "AAPL"}, {"event_date", "2026-10-30"}}, {"yahoo"}},
      {"get_us_multi_diagnosis", {{"tickers", {"AAPL"}}}, {"yahoo"}},
      {"get_us_screener", json::object(), {"yahoo"}},
      {"get_us_sector", {{"sector_key", "technology"}}, {"yahoo"}},
      {"get_us_etf_info", {{"ticker", "QQQ"}}, {"yahoo"}},
      {"export_us_to_excel", {{"ticker", "AAPL"}}, {"yahoo"}},
      // The SEC ticker list is kept for a day once read: after the first case these
      // tools contact www.sec.gov only for filing documents.
      {"get_us_filings", {{"ticker", "EXMP"}}, {"data.sec.gov"}},
      {"get_us_filing_detail", {{"ticker", "EXMP"}, {"accession_no", "0009999991-26-000021"}}, {"www.sec.gov", "data.sec.gov"}},
      {"get_financial_soundness", {{"symbol", "EXMP"}}, {"data.sec.gov"}},
      {"get_us_liquidity", {{"ticker", "EXMP"}}, {"data.sec.gov"}},
  };
  return c;
}

// What a reply says about how complete it is, from its meta block or its JSON `_meta`.
std::string completeness_of(const std::string& text) {
  json m = reply_meta(text);
  if (!m.is_object() && !text.empty() && text[0] == '{') {
    try {
      m = json::parse(text).value("_meta", json());
    } catch (const std::exception&) {
    }
  }
  return m.is_object() ? m.value("data_completeness", std::string()) : "";
}

const char* const kNothingFound[] = {"찾을 수 없습니다", "결과 없음", "정보 없음", "이력 없음", "커버리지 없음",
                                     "거래 없음", "데이터 없음.", "목록이 비어 있습니다", "에 해당 유형이 없습니다"};

}  // namespace

TEST(UsToolsUnderFailure, NoToolClaimsCompleteOrNothingFoundWhileItsHostFails) {
  FaultyUpstream up;
  ScopedEnv yahoo("TESSARO_YAHOO_BASE_URL", up.base());
  ScopedEnv sec("TESSARO_SEC_BASE_URL", up.base());
  ScopedEnv contact("TESSARO_SEC_CONTACT", "ops@example.com");
  ScopedEnv ytimeout("TESSARO_YAHOO_TIMEOUT_S", "0.4");
  ScopedEnv stimeout("TESSARO_SEC_TIMEOUT_S", "0.4");
  ScopedEnv http_cap("TESSARO_HTTP_TIMEOUT_S", "2");
  TempHome home;
  using F = FaultyUpstream::Fault;
  const std::vector<std::pair<F, const char*>> faults = {
      {F::Status500, "500"}, {F::Status410, "410"}, {F::EmptyOk, "200 without content"}, {F::Timeout, "timeout"}};
  for (const auto& c : us_cases()) {
    for (const char* host : c.hosts) {
      for (const auto& [fault, label] : faults) {
        // Timeouts are slow (each request is retried): a few tools of each source.
        static const std::set<std::string> timed = {"get_us_price", "get_us_insider", "get_us_filings",
                                                    "get_us_liquidity"};
        if (fault == F::Timeout && (host != c.hosts.front() || !timed.count(c.tool))) continue;
        us::detail::reset_session();
        up.set(host, fault);
        CallRun r = run_call(c.tool, c.args);
        const std::string& text = r.reply.text;
        SCOPED_TRACE(std::string(c.tool) + " with " + host + " answering " + label + ":\n" + text.substr(0, 600));
        EXPECT_NE(completeness_of(text), "complete");
        for (const char* phrase : kNothingFound) EXPECT_FALSE(has(text, phrase)) << phrase;
        // The failure is visible: an error reply, or a failed lookup in the call's
        // ledger for the reply's completeness and error flag to be read from.
        bool ledger_failed = false;
        for (const auto& e : r.ledger) ledger_failed = ledger_failed || e.outcome == LookupStatus::failed;
        EXPECT_TRUE(r.reply.is_error || ledger_failed);
      }
    }
  }
  us::detail::reset_session();
}

TEST(UsNewsName, AFailedCompanyNameLookupIsSaid) {
  json news = {{"ticker", "AAPL"},
               {"news", {{{"title", "Apple shares rise"}, {"summary", ""}, {"published", "2026-11-20T09:00:00-05:00"},
                          {"provider", "Wire"}, {"url", "https://example.com/a"}}}}};
  std::string r = tools::us::render_us_news("AAPL", news, json{{"_lookup_failed", "HTTPStatusError 500"}}, false);
  EXPECT_TRUE(has(r, "⚠️ 회사명 조회 실패(HTTPStatusError 500) - 티커로만 관련도를 매겼습니다.")) << r;
  EXPECT_EQ(reply_meta(r)["data_completeness"], "partial");
}
