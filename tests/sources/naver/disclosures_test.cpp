// Disclosure list of one stock: the mobile JSON list (real capture), and the
// EUC-KR notice page as the fallback.
#include <gtest/gtest.h>

#include "core/errors.hpp"
#include "sources/naver/naver.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {
const std::string kNotice = "/finance.naver.com/item/news_notice.naver";
const std::string kJson = "/m.stock.naver.com/api/stock/005930/disclosure";

FixtureResponse html(std::string body) { return reply(200, std::move(body), "text/html; charset=EUC-KR"); }

struct Env : NaverEnv {
  std::string page1 = read_fixture("naver/evt_news_notice_005930_p1.html");
};
}  // namespace

TEST(NaverDisclosures, DecodesRowsAndStopsOnARepeatedPage) {
  Env env;
  // The site answers every page number past the last with the last page again.
  env.srv.route(kNotice, [&](const FixtureRequest&) { return html(env.page1); });
  json rows = naver::get_disclosure_list("005930", 50);
  ASSERT_EQ(rows.size(), 10u);
  EXPECT_EQ(env.srv.hits(kNotice), 2) << "page 2 added nothing new";
  EXPECT_EQ(rows[0]["date"], "2026-11-18");
  EXPECT_EQ(rows[0]["title"], "[기재정정]주식등의대량보유상황보고서(일반)");
  EXPECT_EQ(rows[0]["source"], "KOSCOM");
  EXPECT_FALSE(rows[0].contains("time")) << "the page's time of day is not the filing time";
  EXPECT_EQ(rows[0]["url"], "https://finance.naver.com/item/news_notice_read.naver?no=9101&code=005930&page=1");
  EXPECT_EQ(rows[6]["source"], "KRX");
  EXPECT_EQ(env.srv.last_request(kNotice).params["code"], "005930");
}

TEST(NaverDisclosures, CountEmptyAndChangedPages) {
  Env env;
  env.srv.route(kNotice, [&](const FixtureRequest&) { return html(env.page1); });
  EXPECT_EQ(naver::get_disclosure_list("005930", 3).size(), 3u);
  EXPECT_EQ(env.srv.hits(kNotice), 1);
  EXPECT_TRUE(naver::get_disclosure_list("bad", 3).empty());

  env.srv.route(kNotice, [&](const FixtureRequest&) {
    return html(read_fixture("naver/evt_news_notice_empty.html"));
  });
  EXPECT_TRUE(naver::get_disclosure_list("005930", 10).empty()) << "a list table without rows is 'no disclosures'";

  // A page without the list is not "no disclosures"; with the JSON list gone
  // too, the JSON's own failure is the one reported.
  env.srv.route(kNotice, [&](const FixtureRequest&) { return html("<html><body>점검 중</body></html>"); });
  env.srv.route(kJson, FixtureResponse{500, "busy"});
  EXPECT_THROW(naver::get_disclosure_list("005930", 10), HTTPStatusError);
  env.srv.route(kJson, reply(200, R"([{"foo":1}])"));
  EXPECT_THROW(naver::get_disclosure_list("005930", 10), NaverParseError);
}

TEST(NaverDisclosures, JsonListFromTheRealCaptureDatesOnly) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/mstock_api_stock_disclosure_005930.json");
  Env env;
  env.srv.route(kJson, [&](const FixtureRequest& r) {
    return r.params.at("page") == "1" ? reply(200, body) : reply(200, "[]");
  });
  json rows = naver::get_disclosure_list("005930", 50);
  ASSERT_EQ(rows.size(), 20u);
  EXPECT_EQ(env.srv.hits(kNotice), 0) << "the notice page is only a fallback";
  EXPECT_EQ(env.srv.hits(kJson), 2);   // page 2 was empty
  EXPECT_EQ(env.srv.last_request(kJson).params["pageSize"], "20");
  // {"disclosureId":141396245,"title":"삼성전자(주) 중간(분기)배당락 기준가격 안내(삼성전자우)",
  //  "datetime":"2026-09-28T06:51:03","author":"KOSCOM"}
  EXPECT_EQ(rows[0]["date"], "2026-09-28");
  EXPECT_EQ(rows[0]["title"], "삼성전자(주) 중간(분기)배당락 기준가격 안내(삼성전자우)");
  EXPECT_EQ(rows[0]["source"], "KOSCOM");
  EXPECT_EQ(rows[0]["disclosure_id"], "141396245");
  for (const auto& r : rows) EXPECT_FALSE(r.contains("time")) << "06:5x is the portal's batch, not the filing time";
  EXPECT_EQ(naver::get_disclosure_list("005930", 3).size(), 3u);

  // An empty list is "no disclosures", not a failure, and the page is not asked.
  env.srv.route(kJson, reply(200, "[]"));
  EXPECT_TRUE(naver::get_disclosure_list("005930", 10).empty());
  EXPECT_EQ(env.srv.hits(kNotice), 0);
}
