// Disclosure list of one stock from the EUC-KR notice page.
#include <gtest/gtest.h>

#include "core/errors.hpp"
#include "sources/naver/naver.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {
const std::string kNotice = "/finance.naver.com/item/news_notice.naver";

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
  EXPECT_EQ(rows[0]["time"], "17:30");
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

  // A page without the list is not "no disclosures".
  env.srv.route(kNotice, [&](const FixtureRequest&) { return html("<html><body>점검 중</body></html>"); });
  EXPECT_THROW(naver::get_disclosure_list("005930", 10), NaverParseError);
}
