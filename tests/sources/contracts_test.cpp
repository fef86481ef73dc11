// Declared response shapes: the checker itself, the real captured bodies against
// the shapes their parsers declare, and parsers wording their failure from them.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "sources/contracts.hpp"
#include "sources/naver/naver.hpp"
#include "sources/sec/sec.hpp"
#include "sources/sec/sec_fixture.hpp"
#include "sources/yahoo/us.hpp"
#include "support/fixture_server.hpp"
#include "support/naver_env.hpp"
#include "sources/yahoo/yahoo_fixture.hpp"

using namespace tessaro;
using namespace tessaro::testing;
namespace c = tessaro::contracts;

namespace {

const c::Contract& shape(const std::string& id) {
  const c::Contract* k = c::find(id);
  if (!k) throw std::runtime_error("no contract " + id);
  return *k;
}

c::Contract sample_contract() {
  return {"test.sample", "시험 응답", false,
          {{"datas", c::Kind::Array},
           {"datas[].code", c::Kind::String},
           {"datas[].price", c::Kind::Numeric},
           {"datas[].note", c::Kind::String, false},
           {"meta.count", c::Kind::Number}}};
}

}  // namespace

TEST(ContractCheck, NamesRemovedRenamedAndRetypedFields) {
  c::Contract k = sample_contract();
  json good = json::parse(R"({"datas":[{"code":"005930","price":"71,200"}],"meta":{"count":1}})");
  c::Verdict v = c::check(k, good);
  EXPECT_TRUE(v.ok()) << v.summary();
  EXPECT_EQ(v.optional_missing, std::vector<std::string>{"datas[].note"});   // reported, not failing

  // Renamed field in the rows, retyped count, missing object.
  json bad = json::parse(R"({"datas":[{"itemCode":"005930","price":"-"}],"meta":{"count":"1"}})");
  v = c::check(k, bad);
  EXPECT_FALSE(v.ok());
  EXPECT_EQ(v.missing, std::vector<std::string>{"datas[].code"});
  ASSERT_EQ(v.retyped.size(), 2u);
  EXPECT_EQ(v.retyped[0], "datas[].price (numeric → string)");
  EXPECT_EQ(v.retyped[1], "meta.count (number → string)");

  // The list itself renamed: one missing entry for the list, not one per field below it.
  v = c::check(k, json::parse(R"({"data":[],"meta":{"count":0}})"));
  EXPECT_EQ(v.missing, std::vector<std::string>{"datas"});
  // An empty list cannot show its rows: nothing below it is reported.
  EXPECT_TRUE(c::check(k, json::parse(R"({"datas":[],"meta":{"count":0}})")).ok());
  // A list that became an object.
  v = c::check(k, json::parse(R"({"datas":{"code":"x"},"meta":{"count":0}})"));
  ASSERT_EQ(v.retyped.size(), 1u);
  EXPECT_EQ(v.retyped[0], "datas (array → object)");
  // Not JSON at all.
  EXPECT_TRUE(c::check_text(k, "<html>점검 중</html>").unreadable);

  auto msg = c::problem(k, bad);
  ASSERT_TRUE(msg.has_value());
  EXPECT_NE(msg->find("시험 응답 응답 모양이 달라졌습니다"), std::string::npos) << *msg;
  EXPECT_NE(msg->find("없는 항목: datas[].code"), std::string::npos) << *msg;
}

TEST(ContractCheck, TextMarkersAndRootArrays) {
  const c::Contract& fchart = shape("naver.fchart");
  EXPECT_TRUE(c::check_text(fchart, "<protocol><chartdata symbol=\"005930\"><item data=\"20261002|1|2|0|1|5\" />"
                                    "</chartdata></protocol>")
                  .ok());
  c::Verdict v = c::check_text(fchart, "<protocol><chart symbol=\"005930\"></chart></protocol>");
  EXPECT_EQ(v.missing, (std::vector<std::string>{"chartdata", "item"}));

  const c::Contract& trend = shape("naver.trend");
  v = c::check(trend, json::parse(R"({"result":[]})"));
  ASSERT_EQ(v.retyped.size(), 1u);
  EXPECT_EQ(v.retyped[0], "(본문) (array → object)");
}

// Every real capture in the shared samples fits the shape its parser declares.
TEST(ContractSamples, RealCapturesFitTheirDeclaredShapes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"naver.polling_stock", "naver/polling_realtime_domestic_stock_005930.json"},
      {"naver.polling_stock", "naver/polling_realtime_domestic_stock_005930_after_close.json"},
      {"naver.polling_index", "naver/stock_api_polling_domestic_index_KOSPI.json"},
      {"naver.index_daily", "naver/mstock_api_index_price_KOSPI.json"},
      {"naver.main_invest_trend", "naver/finance_item_main_invest_trend_323410.html"},
      {"naver.autocomplete", "naver/stock_api_autocomplete_search_samsung.json"},
      {"naver.trend", "naver/mstock_api_stock_trend_000660.json"},
      {"naver.trend", "naver/mstock_api_stock_trend_196170.json"},
      {"naver.basic", "naver/mstock_api_stock_basic_000660.json"},
      {"naver.etf_basic", "naver/mstock_api_stock_basic_000660.json"},   // the same record, any item
      {"naver.integration", "naver/mstock_api_stock_integration_000660.json"},
      {"naver.finance", "naver/mstock_api_stock_finance_annual_000660.json"},
      {"naver.finance", "naver/mstock_api_stock_finance_quarter_000660.json"},
      {"naver.disclosure", "naver/mstock_api_stock_disclosure_005930.json"},
      {"naver.stock_news", "naver/stock_api_domestic_detail_news.json"},
      {"naver.news_search", "naver/stock_api_domestic_news_search.json"},
      {"naver.research", "naver/stock_api_domestic_research_005930.json"},
      {"naver.stock_detail", "naver/stock_api_domestic_detail_003280.json"},
      {"naver.minute_chart", "naver/api_stock_chart_domestic_item_minute_005930_20260929.json"},
      {"naver.etf_analysis", "naver/mstock_api_stock_etfAnalysis_069500.json"},
      {"naver.fchart", "naver/fchart_sise_day_005930.xml"},
      {"naver.fchart", "naver/fchart_sise_day_KOSPI.xml"},
      {"naver.fchart", "naver/fchart_sise_week_KOSPI.xml"},
      {"naver.group_detail", "naver/finance_sise_group_detail_theme_176.html"},
      {"yahoo.chart", "yahoo/v8_chart_AAPL_1d_2022-02-22.json"},
      {"yahoo.chart", "yahoo/v8_chart_QQQ_1d_2020-01-01_2020-01-03.json"},
      {"yahoo.quote", "yahoo/v7_quote_AAPL.json"},
      {"yahoo.quote", "yahoo/v7_quote_AAPL_BABA_multi.json"},
      {"yahoo.quote_summary", "yahoo/v10_quoteSummary_price_AAPL.json"},
      {"yahoo.search", "yahoo/v1_search_AAPL.json"},
      {"sec.tickers", "sec/company_tickers_first60.json"},
      {"sec.submissions", "sec/submissions_CIK0001318605_TSLA_2022_edgartools.json"},
      {"sec.companyfacts", "sec/companyfacts_CIK0001640147_SNOW_excerpt.json"},
  };
  int checked = 0;
  for (const auto& [id, file] : cases) {
    std::string body = read_shared_sample(file);
    if (body.empty()) continue;
    ++checked;
    c::Verdict v = c::check_text(shape(id), body);
    EXPECT_TRUE(v.ok()) << id << " vs " << file << ": " << v.summary();
    // The captures hold every field the tools read, optional ones included.
    if (file.find("quoteSummary_price") == std::string::npos)   // one module only
      EXPECT_TRUE(v.optional_missing.empty()) << id << " vs " << file << ": " << fmt::join(v.optional_missing, ", ");
  }
  if (checked == 0) GTEST_SKIP() << "shared samples not present (../shared absent)";
}

// The parsers word their failure from the same declaration.
TEST(ContractParsers, FailureMessagesNameTheChangedField) {
  NaverEnv env;
  env.srv.route("/m.stock.naver.com/api/stock/005930/trend", reply(200, R"({"trendList":[]})"));
  try {
    naver::get_investor_flow("005930", 5);
    FAIL() << "a trend answer without its rows must fail";
  } catch (const NaverParseError& e) {
    EXPECT_NE(std::string(e.what()).find("네이버 투자자별 매매동향 응답 모양이 달라졌습니다"), std::string::npos) << e.what();
  }
  env.srv.route("/polling.finance.naver.com/api/realtime/domestic/stock/005930",
                reply(200, R"({"pollingInterval":7000,"items":[{"itemCode":"005930"}]})"));
  try {
    naver::get_current_price("005930");
    FAIL() << "a polling answer without datas must fail";
  } catch (const NaverParseError& e) {
    EXPECT_NE(std::string(e.what()).find("없는 항목: datas"), std::string::npos) << e.what();
  }
}

// Bodies whose parsers read them leniently: a renamed field is named, and no
// longer passes as "nothing there". Bodies written from the documented shapes.
TEST(ContractParsers, NewlyCoveredBodiesNameTheChangedField) {
  {
    SecEnv env;
    env.srv.route(SecEnv::concept_path("0009999991", "Assets"),
                  reply(200, R"({"cik":9999991,"taxonomy":"us-gaap","tag":"Assets",)"
                             R"("unit":{"USD":[{"end":"2026-09-30","val":5,"filed":"2026-11-05"}]}})"));
    try {
      json f = sec::get_concept_latest("9999991", {"Assets"});
      FAIL() << "a concept answer without its units must fail, got " << f.dump();
    } catch (const sec::SecFetchError& e) {
      EXPECT_NE(std::string(e.what()).find("SEC companyconcept 응답 모양이 달라졌습니다 (없는 항목: units)"),
                std::string::npos)
          << e.what();
    }
  }
  NaverEnv env;
  // Consensus: the key-figure page renamed its list and the reports are down.
  env.srv.route("/m.stock.naver.com/api/stock/005930/integration", reply(200, R"({"itemCode":"005930","totalInfo":[]})"));
  env.srv.route("/stock.naver.com/api/domestic/research/005930/research", reply(500, "down"));
  try {
    naver::get_consensus("005930");
    FAIL() << "both consensus sources failed";
  } catch (const NaverParseError& e) {
    EXPECT_NE(std::string(e.what()).find("네이버 종목 종합 정보 응답 모양이 달라졌습니다 (없는 항목: totalInfos)"),
              std::string::npos)
        << e.what();
  }
  // ETF: the quote and the key figures of other shapes count as not read.
  env.srv.route("/m.stock.naver.com/api/stock/069500/etfAnalysis",
                reply(200, R"({"itemCode":"069500","itemName":"KODEX 200","totalFee":0.15})"));
  env.srv.route("/m.stock.naver.com/api/stock/069500/basic",
                reply(200, R"({"stockName":"KODEX 200","currentPrice":"37,650","fluctuationsRatio":"0.92"})"));
  env.srv.route("/m.stock.naver.com/api/stock/069500/integration",
                reply(200, R"({"itemCode":"069500","totalInfo":[]})"));
  json d = naver::get_etf_detail("069500");
  ASSERT_TRUE(d.contains(naver::PARSE_MISS_KEY)) << d.dump();
  json miss = d[naver::PARSE_MISS_KEY];
  EXPECT_NE(std::find(miss.begin(), miss.end(), "basic"), miss.end()) << miss.dump();
  EXPECT_NE(std::find(miss.begin(), miss.end(), "integration"), miss.end()) << miss.dump();
  EXPECT_EQ(d["name"], "KODEX 200");
  auto shape_problem = c::problem(shape("naver.etf_basic"),
                                  json::parse(R"({"stockName":"KODEX 200","currentPrice":"37,650"})"));
  ASSERT_TRUE(shape_problem.has_value());
  EXPECT_NE(shape_problem->find("없는 항목: closePrice"), std::string::npos) << *shape_problem;
}

// A chart answer without its chart object is a changed answer, not "no data":
// it used to come back as an empty history, read as "nothing found".
TEST(ContractParsers, YahooChartWithoutChartObjectFails) {
  YahooEnv env;
  env.srv.route(yahoo_chart_path("AAPL"), reply(200, R"({"charts":{"result":[],"error":null}})"));
  try {
    json rows = us::get_history("AAPL", "1mo", "1d", false);
    FAIL() << "expected a failure, got " << rows.dump();
  } catch (const us::detail::YahooError& e) {
    EXPECT_NE(std::string(e.what()).find("없는 항목: chart"), std::string::npos) << e.what();
  }
}

// An ETF's key figures come from the integration record's top-level totalInfos
// and nothing else there: a body with that list reads as fitting (the real
// 000660 capture, and the same without the fields no reader takes), one
// without a field the ETF reader takes is changed and names it.
TEST(ContractParsers, EtfIntegrationRequiresOnlyWhatTheEtfReaderTakes) {
  TESSARO_REQUIRE_SAMPLE(integ_text, "naver/mstock_api_stock_integration_000660.json");
  TESSARO_REQUIRE_SAMPLE(analysis, "naver/mstock_api_stock_etfAnalysis_069500.json");
  const c::Contract& k = shape("naver.integration");
  json integ = json::parse(integ_text);
  EXPECT_TRUE(c::check(k, integ).ok()) << c::check(k, integ).summary();

  NaverEnv env;
  env.srv.route("/m.stock.naver.com/api/stock/069500/etfAnalysis", reply(200, analysis));
  // Written from the documented basic record.
  env.srv.route("/m.stock.naver.com/api/stock/069500/basic",
                reply(200, R"({"stockName":"KODEX 200","closePrice":"37,650","compareToPreviousClosePrice":"350",)"
                           R"("compareToPreviousPrice":{"code":"5","name":"FALLING"},"fluctuationsRatio":"0.92"})"));
  auto detail_with = [&](const json& body) {
    env.srv.route("/m.stock.naver.com/api/stock/069500/integration", reply(200, body.dump()));
    return naver::get_etf_detail("069500");
  };
  auto missed = [](const json& d) {
    if (!d.contains(naver::PARSE_MISS_KEY)) return false;
    const json& m = d[naver::PARSE_MISS_KEY];
    return std::find(m.begin(), m.end(), "integration") != m.end();
  };

  json d = detail_with(integ);
  EXPECT_FALSE(missed(d)) << d.dump();
  EXPECT_EQ(d["year_high"], 3002000);
  EXPECT_EQ(d["year_low"], 400000);
  EXPECT_DOUBLE_EQ(d["foreign_rate"].get<double>(), 49.77);

  // No item code, consensus or deal trend (none of them read for a fund): still fits.
  json lean = integ;
  for (const char* key : {"itemCode", "consensusInfo", "dealTrendInfos", "researches", "etfKeyIndicator"}) lean.erase(key);
  c::Verdict v = c::check(k, lean);
  EXPECT_TRUE(v.ok()) << v.summary();
  EXPECT_EQ(v.optional_missing, (std::vector<std::string>{"itemCode", "consensusInfo", "dealTrendInfos"}));
  d = detail_with(lean);
  EXPECT_FALSE(missed(d)) << d.dump();
  EXPECT_EQ(d["year_high"], 3002000);

  // The figures' values renamed: changed, named, and the fund's figures stay missing.
  json renamed = integ;
  for (auto& e : renamed["totalInfos"]) {
    e["text"] = e["value"];
    e.erase("value");
  }
  auto msg = c::problem(k, renamed);
  ASSERT_TRUE(msg.has_value());
  EXPECT_NE(msg->find("없는 항목: totalInfos[].value"), std::string::npos) << *msg;
  d = detail_with(renamed);
  EXPECT_TRUE(missed(d)) << d.dump();
  EXPECT_TRUE(d["year_high"].is_null());
  // The list itself gone.
  json gone = integ;
  gone.erase("totalInfos");
  EXPECT_EQ(c::check(k, gone).missing, std::vector<std::string>{"totalInfos"});
}

// The report page's markers stand for every way the detail parser finds the
// PDF: any of them keeps the page readable; none of them is a changed page,
// and the parser words that from the same declaration. Pages written by hand
// from the documented layout (no capture of a report page exists).
TEST(ContractParsers, ReportPageMarkersFollowTheDetailParser) {
  const c::Contract& k = shape("naver.report_page");
  std::string page = read_fixture("naver/research_report_page.html");
  ASSERT_FALSE(page.empty());
  c::Verdict v = c::check_text(k, page);
  EXPECT_TRUE(v.ok()) << v.summary();
  EXPECT_TRUE(v.optional_missing.empty());
  // Only the anchor's wording left (a relative address that is no PDF file name).
  EXPECT_TRUE(c::check_text(k, "<a href=\"/research/pdf?id=1\">원문 보기</a>").ok());
  // Only a PDF address.
  EXPECT_TRUE(c::check_text(k, "<a href=\"https://x.example/r.pdf\">보기</a>").ok());

  std::string bare = read_fixture("naver/research_report_page_nolink.html");
  v = c::check_text(k, bare);
  EXPECT_EQ(v.missing, std::vector<std::string>{"PDF link"});
  EXPECT_EQ(v.optional_missing, std::vector<std::string>{"description meta"});

  NaverEnv env;
  env.srv.route("/m.stock.naver.com/research/company/123403", FixtureResponse{200, bare, "text/html", {}});
  json d = naver::get_report_detail("123403");
  EXPECT_EQ(d[naver::PAGE_PROBLEM_KEY], "네이버 리포트 페이지 응답 모양이 달라졌습니다 (없는 항목: PDF link)") << d.dump();
  // A page that still reads carries no such note.
  env.srv.route("/m.stock.naver.com/research/company/123404", FixtureResponse{200, page, "text/html", {}});
  EXPECT_FALSE(naver::get_report_detail("123404").contains(naver::PAGE_PROBLEM_KEY));
}
