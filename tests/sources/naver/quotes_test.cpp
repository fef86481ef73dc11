#include <gtest/gtest.h>

#include "core/errors.hpp"
#include "core/text.hpp"
#include "market_time/clock.hpp"
#include "sources/naver/lists_common.hpp"
#include "sources/naver/naver.hpp"
#include "sources/naver/parse_util.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const std::string kPoll = "/polling.finance.naver.com/api/realtime/domestic/stock/";
const std::string kFchart = "/fchart.stock.naver.com/sise.nhn";
const std::string kAuto = "/stock.naver.com/api/autocomplete/search/autoComplete";

}  // namespace

// ---- signs and missing cells ---------------------------------------------------

TEST(NaverParse, SignComesFromDirectionCodeAndDisagreementIsAMiss) {
  struct Case {
    json raw;
    json dir;
    std::optional<double> want;
    bool disagree;
  };
  const json up = {{"code", "2"}, {"name", "RISING"}}, down = {{"code", "5"}, {"name", "FALLING"}};
  const json even = {{"code", "3"}}, lower_limit = {{"code", "4"}}, upper_limit = {{"code", "1"}};
  std::vector<Case> cases = {
      {"2,600", up, 2600, false},          {"2,600", down, -2600, false},     {"-2,600", down, -2600, false},
      {"30,000", lower_limit, -30000, false}, {"+29,900", upper_limit, 29900, false}, {"0", even, 0, false},
      {"-1,000", up, std::nullopt, true},   {"+500", down, std::nullopt, true}, {"100", even, std::nullopt, true},
      {"+1,000", json(), 1000, false},      {"-300", json(), -300, false},     {"-", up, std::nullopt, false},
      {"N/A", down, std::nullopt, false},   {"", json(), std::nullopt, false},
      {json(), up, std::nullopt, false},
  };
  for (const auto& c : cases) {
    bool dis = false;
    auto v = naver::parse::signed_change(c.raw, c.dir, dis);
    EXPECT_EQ(v, c.want) << c.raw.dump() << " " << c.dir.dump();
    EXPECT_EQ(dis, c.disagree) << c.raw.dump() << " " << c.dir.dump();
  }
  // Name-only direction objects are understood too.
  EXPECT_EQ(naver::parse::direction(json{{"name", "FALLING"}}), -1);
}

TEST(NaverParse, MissingCellsAreNeverZero) {
  for (const char* s : {"", "-", "N/A", " - ", "null"}) EXPECT_FALSE(naver::parse::number(json(s))) << s;
  EXPECT_FALSE(naver::parse::number(json()));
  EXPECT_EQ(naver::parse::number(json("1,032,919백만")), 1032919);
  EXPECT_FALSE(naver::parse::number(json("475조 3,285억")));
  EXPECT_EQ(naver::parse::number(json("0")), 0);
}

// ---- quote ---------------------------------------------------------------------

TEST(NaverQuote, RealPollingSampleKeepsKrxAndNxtApart) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/polling_realtime_domestic_stock_005930.json");
  NaverEnv env;
  env.srv.route(kPoll + "005930", reply(200, body));
  // The KRX and NXT figures themselves are checked on the get_price reply.
  json q = naver::get_current_price("005930");
  EXPECT_EQ(q["volume"], 10079219);       // KRX only
  EXPECT_EQ(q["nxt_volume"], 4763607);    // NXT only
  EXPECT_EQ(q["quote_date"], "2025-12-02");
  EXPECT_EQ(q.dump().find("14842826"), std::string::npos);   // the integrated figure appears nowhere
  EXPECT_FALSE(q.contains(naver::PARSE_MISS_KEY));
  // Browser headers go with every call.
  auto req = env.srv.last_request(kPoll + "005930");
  EXPECT_NE(req.headers["user-agent"].find("Mozilla/5.0"), std::string::npos);
  EXPECT_FALSE(req.headers["referer"].empty());
}

TEST(NaverQuote, AfterMarketTradeAndEtfException) {
  NaverEnv env;
  env.srv.route_file(kPoll + "000660", "naver/polling_after_market_000660.json");
  env.srv.route_file("/m.stock.naver.com/api/stock/000660/basic", "naver/mstock_basic_005930.json");
  json q = naver::get_current_price("000660");   // the after-market reply itself: GetPrice
  EXPECT_EQ(q["price_session"], "after_market");
  EXPECT_EQ(q["nxt_price_session"], "after_market");

  // The same trade time on an ETF is still the regular session: no after-market there.
  // (The division is kept for hours; each case below is a fresh reading.)
  naver::detail::clear_list_caches();
  env.srv.route_file("/m.stock.naver.com/api/stock/000660/basic", "naver/mstock_basic_069500.json");
  EXPECT_EQ(naver::get_current_price("000660")["price_session"], "regular");
  // An unreachable division page keeps the after-market label (an extra label beats a missing one).
  naver::detail::clear_list_caches();
  env.srv.route("/m.stock.naver.com/api/stock/000660/basic", reply(404, "gone"));
  EXPECT_EQ(naver::get_current_price("000660")["price_session"], "after_market");
}

TEST(NaverQuote, UnknownCodeIsEmptyAndGarbageIsAParseError) {
  NaverEnv env;
  env.srv.route_file(kPoll + "999999", "naver/polling_empty.json");
  EXPECT_TRUE(naver::get_current_price("999999").empty());
  // Bad codes are not sent at all.
  EXPECT_TRUE(naver::get_current_price("").empty());
  EXPECT_TRUE(naver::get_current_price("0059301").empty());
  EXPECT_EQ(env.srv.hits(kPoll), 0);
  env.srv.route(kPoll + "005930", reply(200, R"({"pollingInterval":7000})"));
  try {
    naver::get_current_price("005930");
    FAIL() << "expected NaverParseError";
  } catch (const NaverParseError& e) {
    EXPECT_NE(std::string(e.what()).find("datas"), std::string::npos);
  }
}

// ---- retries, timeouts, gone endpoints -------------------------------------------

TEST(NaverFetch, RetriesOnceOn500And429ThenGivesUp) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/polling_realtime_domestic_stock_005930.json");
  NaverEnv env;
  const std::string p = kPoll + "005930";
  env.srv.route(p, reply(200, body));
  env.srv.fail_next(p, 500, 1);
  EXPECT_EQ(naver::get_current_price("005930")["price"], 103400);
  EXPECT_EQ(env.srv.hits(p), 2);
  env.srv.fail_next(p, 429, 1, "0");
  EXPECT_EQ(naver::get_current_price("005930")["price"], 103400);
  EXPECT_EQ(env.srv.hits(p), 4);
  env.srv.fail_next(p, 503, 2);
  try {
    naver::get_current_price("005930");
    FAIL() << "expected HTTPStatusError";
  } catch (const HTTPStatusError& e) {
    EXPECT_EQ(e.status(), 503);
  }
  // 410 is "endpoint gone": no retry, an error, never an empty answer.
  env.srv.route(p, reply(410, "gone"));
  int before = env.srv.hits(p);
  EXPECT_THROW(naver::get_current_price("005930"), HTTPStatusError);
  EXPECT_EQ(env.srv.hits(p) - before, 1);
}

// ---- search -----------------------------------------------------------------------

TEST(NaverSearch, RealSampleKeepsOnlyKoreanStocks) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/stock_api_autocomplete_search_samsung.json");
  NaverEnv env;
  env.srv.route(kAuto, reply(200, body));
  json r = naver::search_stock("삼성전");
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0], (json{{"name", "삼성전자"}, {"code", "005930"}, {"market", "KOSPI"}}));
  for (const auto& x : r) EXPECT_NE(x["code"], "601567");   // the Shanghai listing
  // The query goes out URL-encoded UTF-8.
  EXPECT_EQ(env.srv.last_request(kAuto).params["query"], "삼성전");
}

TEST(NaverSearch, EmptyAnswerAndOddItems) {
  TESSARO_REQUIRE_SAMPLE(empty, "naver/stock_api_autocomplete_empty.json");
  NaverEnv env;
  env.srv.route(kAuto, reply(200, empty));
  EXPECT_TRUE(naver::search_stock("없는종목").empty());
  env.srv.route_file(kAuto, "naver/autocomplete_mixed.json");
  json r = naver::search_stock("에이");
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0]["code"], "0088M0");   // letters in new-style codes survive
  EXPECT_EQ(r[1]["market"], "");       // unknown market stays empty
  env.srv.route(kAuto, reply(200, R"({"isSuccess":false})"));
  EXPECT_THROW(naver::search_stock("에이"), NaverParseError);
  EXPECT_TRUE(naver::search_stock("   ").empty());
}

// ---- bars (the 15:30 close lookup is checked on get_price and get_chart) ----------------

TEST(NaverOhlcv, EucKrXmlWithPlaceholderAndNullCells) {
  NaverEnv env;
  env.srv.route_file(kFchart, "naver/fchart_day_005930.xml", "text/xml; charset=EUC-KR");
  json rows = naver::get_ohlcv("005930", "day", 120);
  ASSERT_EQ(rows.size(), 6u);   // the rows as shown: GetChart
  EXPECT_TRUE(rows[4]["high"].is_null());   // "null" cell: missing, not 0
  EXPECT_EQ(rows[4][naver::PARSE_MISS_KEY], json::array({"high"}));
  auto req = env.srv.last_request(kFchart);
  EXPECT_EQ(req.params["symbol"], "005930");
  EXPECT_EQ(req.params["timeframe"], "day");
  EXPECT_EQ(req.params["count"], "120");
  // Only the latest `count` bars are kept.
  json two = naver::get_ohlcv("005930", "day", 2);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[1]["date"], "2026-09-17");
}

TEST(NaverOhlcv, DecodingNeedsCp949) {
  std::string raw = read_fixture("naver/fchart_day_005930.xml");
  ASSERT_FALSE(raw.empty());
  EXPECT_EQ(raw.find("삼성전자"), std::string::npos);   // the bytes are not UTF-8
  std::string utf8 = tessaro::text::euckr_to_utf8(raw);
  EXPECT_NE(utf8.find("name=\"삼성전자\""), std::string::npos);
}

TEST(NaverOhlcv, UnknownTimeframeEmptySeriesAndBrokenXml) {
  NaverEnv env;
  EXPECT_TRUE(naver::get_ohlcv("005930", "hour", 10).empty());
  EXPECT_TRUE(naver::get_ohlcv("005930", "day", 0).empty());
  EXPECT_EQ(env.srv.hits(kFchart), 0);
  env.srv.route(kFchart, reply(200,
                                                  "<?xml version=\"1.0\" encoding=\"EUC-KR\" ?><protocol><chartdata "
                                                  "symbol=\"XXXXXX\" count=\"0\"></chartdata></protocol>",
                                                  "text/xml"));
  EXPECT_TRUE(naver::get_ohlcv("XXXXXX", "day", 10).empty());   // invalid symbol: no items
  env.srv.route(kFchart, reply(200, "<html>error</html>", "text/html"));
  EXPECT_THROW(naver::get_ohlcv("005930", "day", 10), NaverParseError);
}

// ---- market status (the stock/ETF division shows in get_chart and the quote labels) ----

TEST(NaverMarketStatus, RealIndexSample) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/stock_api_polling_domestic_index_KOSPI.json");
  NaverEnv env;
  env.srv.route("/stock.naver.com/api/polling/domestic/index", reply(200, body));
  EXPECT_EQ(naver::get_market_list_status("KOSPI"), "CLOSE");
  EXPECT_EQ(naver::get_market_list_status("kospi"), "CLOSE");
  env.srv.route("/stock.naver.com/api/polling/domestic/index",
                reply(200, R"({"datas":[{"itemCode":"KOSPI","marketStatus":"PREOPEN"},{"itemCode":"KOSDAQ","marketStatus":"PREOPEN"}]})"));
  EXPECT_EQ(naver::get_market_list_status("KOSDAQ"), "PREOPEN");
}
