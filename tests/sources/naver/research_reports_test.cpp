#include <gtest/gtest.h>

#include "core/errors.hpp"
#include "sources/naver/naver.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

FixtureResponse js(const std::string& body) { return {200, body, "application/json; charset=utf-8", {}}; }

json report(const std::string& nid, const std::string& broker, const std::string& date, const std::string& opinion,
            const std::string& goal) {
  return {{"nid", nid},           {"itemcode", "005930"}, {"itemname", "삼성전자"},
          {"brokerName", broker}, {"title", "리포트 " + nid}, {"content", "<p>요약 " + nid + "</p>"},
          {"goalPrice", goal},    {"opinion", opinion},   {"attachUrl", ""},
          {"readCount", "10"},    {"writeDate", date}};
}

}  // namespace

TEST(ResearchReports, RealSampleMapsAndFeedsTheDetailWithoutAnotherRequest) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/stock_api_domestic_research_005930.json");
  NaverEnv env;
  const std::string path = "/stock.naver.com/api/domestic/research/005930/research";
  env.srv.route(path, js(body));
  json items = naver::get_reports("005930", 5);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(env.srv.last_request(path).params["size"], "5");
  EXPECT_EQ(env.srv.last_request(path).params["page"], "0");
  const json& r = items[0];
  EXPECT_EQ(r["nid"], "90857");
  EXPECT_EQ(r["title"], "주가 매력도가 더 높아졌다");
  EXPECT_EQ(r["date"], "2026-03-10");
  EXPECT_EQ(r["target_price"], 275000);
  EXPECT_EQ(r["opinion"], "매수");
  EXPECT_EQ(r["views"], 743);
  EXPECT_EQ(r["summary"], "동사에 대한 투자의견과 목표주가 유지");
  EXPECT_EQ(r["pdf_url"], "https://stock.pstatic.net/stock-research/company/56/20260310_company_716140000.pdf");

  json d = naver::get_report_detail("90857");
  EXPECT_EQ(d["summary"], "동사에 대한 투자의견과 목표주가 유지");
  EXPECT_EQ(d["pdf_url"], r["pdf_url"]);
  EXPECT_FALSE(d.contains(naver::PARSE_MISS_KEY));
  EXPECT_EQ(env.srv.hits("/m.stock.naver.com/research/company/90857"), 0);
  EXPECT_EQ(naver::report_page_url("90857"), "https://m.stock.naver.com/research/company/90857");
}

TEST(ResearchReports, MissingGoalAndViewsAreNullNotZero) {
  NaverEnv env;
  json rows = json::array({report("700001", "A증권", "2026-11-01", "", "0")});
  rows[0]["readCount"] = "-";
  rows[0].erase("goalPrice");
  env.srv.route("/stock.naver.com/api/domestic/research/000001/research", js(rows.dump()));
  json items = naver::get_reports("000001", 3);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_TRUE(items[0]["target_price"].is_null());
  EXPECT_TRUE(items[0]["views"].is_null());
  EXPECT_EQ(items[0]["opinion"], "");
}

TEST(ResearchReports, CategoryLatestThenTheDeeperCompanyList) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/stock_api_domestic_research_category_latest.json");
  NaverEnv env;
  env.srv.route("/stock.naver.com/api/domestic/research/category-lastest", js(body));
  env.srv.route_file("/m.stock.naver.com/front-api/research/list", "naver/research_list_company.json");

  json market = naver::get_research_by_kind("market", 5);
  ASSERT_EQ(market.size(), 1u);
  EXPECT_EQ(market[0]["nid"], "35256");
  EXPECT_EQ(market[0]["broker"], "KB증권");
  EXPECT_EQ(market[0]["views"], 84);
  EXPECT_EQ(env.srv.hits("/m.stock.naver.com/front-api/research/list"), 0) << "market has no deeper list";
  // A market report lives under /research/daily/, not the company template.
  EXPECT_EQ(naver::report_page_url("35256"), "https://m.stock.naver.com/research/daily/35256");

  json company = naver::get_research_by_kind("COMPANY", 3);
  ASSERT_EQ(company.size(), 3u);
  EXPECT_EQ(company[0]["nid"], "90866");
  EXPECT_EQ(company[1]["nid"], "90861") << "90866 from the deeper list is not repeated";
  EXPECT_EQ(company[1]["views"], 1204);
  EXPECT_EQ(env.srv.last_request("/m.stock.naver.com/front-api/research/list").params["category"], "company");

  EXPECT_TRUE(naver::get_research_by_kind("crypto", 3).empty());
}

TEST(ResearchReports, EmptyCategoryWithAFailedDeeperListIsAnError) {
  NaverEnv env;
  env.srv.route("/stock.naver.com/api/domestic/research/category-lastest", js(R"({"INDUSTRY":[],"MARKET":[]})"));
  env.srv.route("/m.stock.naver.com/front-api/research/list", FixtureResponse{500, "x", "text/plain", {}});
  EXPECT_THROW(naver::get_research_by_kind("industry", 3), HTTPStatusError);
  // Where there is no deeper list, an empty category is simply empty.
  EXPECT_TRUE(naver::get_research_by_kind("market", 3).empty());
}

TEST(ResearchReports, DetailFromTheReportPage) {
  NaverEnv env;
  env.srv.route("/m.stock.naver.com/research/company/123401",
            FixtureResponse{200, read_fixture("naver/research_report_page.html"), "text/html", {}});
  json d = naver::get_report_detail("123401");
  EXPECT_EQ(d["pdf_url"], "https://stock.pstatic.net/stock-research/company/57/20261120_company_123.pdf");
  EXPECT_EQ(d["summary"], "HBM 출하 확대로 4분기 영업이익 컨센서스 상회 전망 & 목표주가 유지");
  EXPECT_FALSE(d.contains(naver::PARSE_MISS_KEY));

  // A page without the anchor or a description: the miss is named, the
  // summary carries the marker.
  env.srv.route("/m.stock.naver.com/research/company/123402",
            FixtureResponse{200, read_fixture("naver/research_report_page_nolink.html"), "text/html", {}});
  json miss = naver::get_report_detail("123402");
  EXPECT_EQ(miss["summary"], naver::PARSE_MISS_KEY);
  EXPECT_EQ(miss["pdf_url"], "");
  EXPECT_EQ(miss[naver::PARSE_MISS_KEY], json({"summary", "pdf_url"}));
  EXPECT_EQ(env.srv.hits("/finance.naver.com/research/company_read.naver"), 1) << "the desktop page is tried too";
}

// The consensus itself (target, ratings, trend) is checked on the get_consensus reply.
TEST(ResearchConsensus, PartialSourcesAndBothFailing) {
  NaverEnv env("2026-12-06 10:00");
  ScopedEnv now("TESSARO_NOW", "2026-12-06T10:00:00+09:00");   // the research source reads its day from here
  // Integration gone, reports there: the target falls back to the reports' mean.
  env.srv.route("/stock.naver.com/api/domestic/research/000660/research",
            js(json::array({report("1", "A증권", "2026-12-01", "매수", "200000"),
                            report("2", "B증권", "2026-11-01", "매수", "180000")})
                   .dump()));
  json c = naver::get_consensus("000660");
  EXPECT_DOUBLE_EQ(c["target_price"].get<double>(), 190000.0);
  EXPECT_EQ(c["target_price_basis"], "broker_reports");

  // Both failing is an error, not "no consensus".
  EXPECT_THROW(naver::get_consensus("000999"), HTTPStatusError);
}
