// The real captures of autumn 2026 (../shared/reference/samples/naver), read in
// place and served at their endpoints: what each Korean source operation reads
// from them, with values checked by hand against the bodies.
#include <gtest/gtest.h>

#include <regex>

#include "core/clock.hpp"
#include "core/errors.hpp"
#include "core/result_meta.hpp"
#include "sources/contracts.hpp"
#include "sources/market_data/market_data.hpp"
#include "sources/http.hpp"
#include "sources/naver/naver.hpp"
#include "sources/naver/parse_util.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;
namespace md = tessaro::market_data;

namespace {

const std::string kFchart = "/fchart.stock.naver.com/sise.nhn";
const std::string kMinute005930 = "/api.stock.naver.com/chart/domestic/item/005930/minute";

FixtureResponse xml(const std::string& bytes) { return reply(200, bytes, "text/xml"); }

const json* row_on(const json& rows, const std::string& key, const std::string& value) {
  for (const auto& r : rows)
    if (r.value(key, "") == value) return &r;
  return nullptr;
}

}  // namespace

// 005930 on 2026-09-29: the regular close was 272,500 (15:30 minute); every
// daily feed moved on with the after-market. KRX volume is what fchart and
// siseJson carry; m.stock /price carries KRX + NXT.
TEST(NaverCaptures, DailyCloseAndVolumeOf20260929ByEndpoint) {
  TESSARO_REQUIRE_SAMPLE(at1934, "naver/fchart_sise_day_005930_count3_at1934KST.xml");
  TESSARO_REQUIRE_SAMPLE(after2000, "naver/fchart_sise_day_005930_count3_marketKRX_after2000KST.xml");
  TESSARO_REQUIRE_SAMPLE(later, "naver/fchart_sise_day_005930.xml");
  TESSARO_REQUIRE_SAMPLE(sise1934, "naver/siseJson_day_005930_20260921_20260929_at1934KST.txt");
  TESSARO_REQUIRE_SAMPLE(sise2000, "naver/siseJson_day_005930_20260928_20260929_after2000KST.txt");
  TESSARO_REQUIRE_SAMPLE(apiday, "naver/api_stock_chart_domestic_item_day_005930_at1934KST.json");
  TESSARO_REQUIRE_SAMPLE(apiday_one, "naver/api_stock_chart_domestic_item_day.json");
  TESSARO_REQUIRE_SAMPLE(mprice1934, "naver/mstock_api_stock_price_005930_at1934KST.json");
  TESSARO_REQUIRE_SAMPLE(mprice2000, "naver/mstock_api_stock_price_005930_marketTypeKRX_after2000KST.json");
  TESSARO_REQUIRE_SAMPLE(polling, "naver/polling_realtime_domestic_stock_005930_after_close.json");
  NaverEnv env;
  auto day_of = [&](const std::string& body, int count) {
    env.srv.route(kFchart, xml(body));
    json rows = naver::get_ohlcv("005930", "day", count);
    const json* r = row_on(rows, "date", "2026-09-29");
    return r ? *r : json();
  };
  json a = day_of(at1934, 3);   // EUC-KR bytes decoded by the XML prolog's charset
  EXPECT_EQ(a["close"], 273500);
  EXPECT_EQ(a["volume"], 15498961);
  json b = day_of(after2000, 3);
  EXPECT_EQ(b["close"], 275000);
  EXPECT_EQ(b["volume"], 15653425);
  json c = day_of(later, 30);
  EXPECT_EQ(c["close"], 275000);
  EXPECT_EQ(c["volume"], 15963864);
  EXPECT_EQ(naver::get_ohlcv("005930", "day", 30).back()["date"], "2026-10-02");

  // siseJson and the chart API agree with fchart at the same moment (KRX).
  std::smatch m;
  ASSERT_TRUE(std::regex_search(sise1934, m, std::regex(R"(\["20260929", 266000, 276000, 266000, (\d+), (\d+))")));
  EXPECT_EQ(m[1].str(), "273500");
  EXPECT_EQ(m[2].str(), "15498961");
  ASSERT_TRUE(std::regex_search(sise2000, m, std::regex(R"(\["20260929", 266000, 276000, 266000, (\d+), (\d+))")));
  EXPECT_EQ(m[1].str(), "275000");
  EXPECT_EQ(m[2].str(), "15653425");
  json api = json::parse(apiday);
  EXPECT_EQ(api[1]["closePrice"], 273500.0);
  EXPECT_EQ(api[1]["accumulatedTradingVolume"], 15498961);
  EXPECT_EQ(json::parse(apiday_one)[0].value("localDate", "").size(), 8u);

  // The quote after 20:00: price 275,000 is the after-market close, and its
  // volume is the KRX one (= fchart), never the integrated figure of /price.
  env.srv.route("/polling.finance.naver.com/api/realtime/domestic/stock/005930", reply(200, polling));
  json q = naver::get_current_price("005930");
  EXPECT_EQ(q["price"], 275000);
  EXPECT_EQ(q["volume"], 15653425);
  EXPECT_EQ(q["volume"], b["volume"]);
  EXPECT_EQ(q["quote_date"], "2026-09-29");
  EXPECT_EQ(q["trade_value"], 4253832000000LL);   // accumulatedTradingValueRaw
  json mp2000 = json::parse(mprice2000), mp1934 = json::parse(mprice1934);
  EXPECT_EQ(mp2000[0]["accumulatedTradingVolume"], 24668889);   // = polling integratedPriceInfo: KRX + NXT
  EXPECT_NE(q["volume"], mp2000[0]["accumulatedTradingVolume"]);
  EXPECT_EQ(mp1934[0]["accumulatedTradingVolume"], 24196766);
  EXPECT_NE(a["volume"], mp1934[0]["accumulatedTradingVolume"]);
}

TEST(NaverCaptures, PollingValueTextsBeforeAndAfterTheClose) {
  TESSARO_REQUIRE_SAMPLE(polling, "naver/polling_realtime_domestic_stock_005930_after_close.json");
  TESSARO_REQUIRE_SAMPLE(session, "naver/polling_realtime_domestic_stock_005930.json");
  // A trade after the after-market opened asks the stock's division (an ETF has no
  // after-market): a loopback Naver answers it, written from the documented format.
  NaverEnv env;
  env.srv.route("/m.stock.naver.com/api/stock/005930/basic",
                reply(200, R"({"itemCode":"005930","stockEndType":"stock","stockExchangeType":{"code":"KS"}})"));
  // Without the raw field, the after-close display text "4조 2,538억" is read.
  json item = json::parse(polling)["datas"][0];
  item.erase("accumulatedTradingValueRaw");
  EXPECT_EQ(item["accumulatedTradingValue"], "4조 2,538억");
  json q = naver::quote_from_polling_item("005930", item);
  EXPECT_EQ(q["trade_value"], 4253800000000LL);
  EXPECT_EQ(q["price_session"], rmeta::PRICE_SESSION_AFTER_MARKET) << q.dump();
  EXPECT_EQ(env.srv.hits("/m.stock.naver.com/api/stock/005930/basic"), 1);
  // In session the text is in millions: "1,032,919백만".
  json in = json::parse(session)["datas"][0];
  auto v = naver::parse::amount_won(in["accumulatedTradingValue"]);
  ASSERT_TRUE(v);
  EXPECT_DOUBLE_EQ(*v, *naver::parse::number(in["accumulatedTradingValue"]) * 1e6);
  EXPECT_FALSE(naver::parse::amount_won(json("약 4조")));
}

// Weekly bars are dated by the week's last trading day (Fridays; the Chuseok
// week by Wednesday 2026-09-23); the index has decimal prices.
TEST(NaverCaptures, KospiDailyAndWeeklyBars) {
  TESSARO_REQUIRE_SAMPLE(day, "naver/fchart_sise_day_KOSPI.xml");
  TESSARO_REQUIRE_SAMPLE(week, "naver/fchart_sise_week_KOSPI.xml");
  json d = naver::parse_fchart_bars(naver::decode_body(day, "text/xml", true), false);
  ASSERT_EQ(d.size(), 30u);
  EXPECT_FALSE(d.back().contains(naver::PARSE_MISS_KEY));
  EXPECT_TRUE(d.back()["close"].is_number_float());
  json w = naver::parse_fchart_bars(naver::decode_body(week, "text/xml", true), false);
  ASSERT_FALSE(w.empty());
  EXPECT_TRUE(row_on(w, "date", "2026-09-23")) << "the Chuseok week ends on Wednesday";
  EXPECT_FALSE(row_on(w, "date", "2026-09-25"));
  EXPECT_TRUE(row_on(w, "date", "2026-10-02"));
}

// fchart minute items: open/high/low do not exist, volume is a running total,
// no items 15:20-15:29 (the closing auction prints at 15:30).
TEST(NaverCaptures, FchartMinuteItemsOf000660) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/fchart_sise_minute_000660_excerpt.xml");
  json rows = naver::parse_fchart_minutes(naver::decode_body(body, "text/xml", true));
  ASSERT_EQ(rows.size(), 89u);
  EXPECT_FALSE(rows[0].contains("open"));
  EXPECT_TRUE(rows[0]["volume"].is_null()) << "the series may start mid-day";
  const json* r1530 = row_on(rows, "datetime", "2026-09-23 15:30");
  ASSERT_TRUE(r1530);
  EXPECT_EQ((*r1530)["close"], 1862000);
  EXPECT_EQ((*r1530)["volume"], 2803377 - 2619945);   // after the 15:19 item: the closing auction
  for (const auto& r : rows) {
    std::string t = r["datetime"].get<std::string>().substr(11);
    EXPECT_FALSE(t >= "15:20" && t < "15:30") << t;
  }
  const json* r0901 = row_on(rows, "datetime", "2026-09-23 09:01");
  EXPECT_EQ((*r0901)["volume"], 107493 - 86519);
  // A new day starts from zero: its first item is its own volume.
  EXPECT_EQ((*row_on(rows, "datetime", "2026-09-28 09:00"))["volume"],
            (*row_on(rows, "datetime", "2026-09-28 09:00"))["cumulative_volume"]);
}

// The regular close from the fchart series when the chart API is not there:
// a day whose minutes are not in the series is a failed lookup, never "no trade".
TEST(NaverCaptures, RegularCloseFromFchartMinutesAndDaysNotReached) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/fchart_sise_minute_000660_excerpt.xml");
  NaverEnv env;
  env.srv.route(kFchart, xml(body));
  env.srv.route("/api.stock.naver.com/chart/domestic/item/000660/minute", FixtureResponse{500, "busy"});
  auto r = naver::lookup_regular_close("000660", "2026-09-23");
  EXPECT_EQ(r.status, naver::REGULAR_CLOSE_OK);
  EXPECT_EQ(r.close.value_or(0), 1862000);   // trend closePrice that day is 1,863,000 (after-market)
  EXPECT_EQ(r.source, "naver_fchart_minute");
  EXPECT_EQ(naver::lookup_regular_close("000660", "2026-10-02").close.value_or(0), 1841000);
  // 2026-09-28 has only its morning in the series; 2026-09-01 is not in it at all.
  for (const char* day : {"2026-09-28", "2026-09-01"}) {
    auto nr = naver::lookup_regular_close("000660", day);
    EXPECT_EQ(nr.status, naver::REGULAR_CLOSE_LOOKUP_FAILED) << day;
    EXPECT_EQ(nr.reason, "day_not_reached") << day;
  }
  EXPECT_THROW(naver::get_regular_session_close("000660", "2026-09-01"), NaverParseError);
  // Both sources down: failed, with the cause.
  env.srv.route(kFchart, FixtureResponse{500, "busy"});
  auto f = naver::lookup_regular_close("000660", "2026-09-23");
  EXPECT_EQ(f.status, naver::REGULAR_CLOSE_LOOKUP_FAILED);
  EXPECT_NE(f.reason.find("500"), std::string::npos) << f.reason;
}

// The chart API's minutes: per-minute volume, first bar 15:30, nothing 15:25-15:29.
TEST(NaverCaptures, MinuteChartAndTheRegularCloseOfAnyDay) {
  TESSARO_REQUIRE_SAMPLE(m0929, "naver/api_stock_chart_domestic_item_minute_005930_20260929.json");
  TESSARO_REQUIRE_SAMPLE(m0928, "naver/api_stock_chart_domestic_item_minute_005930_20260928.json");
  TESSARO_REQUIRE_SAMPLE(m373220, "naver/api_stock_chart_domestic_item_minute_373220_20260929.json");
  TESSARO_REQUIRE_SAMPLE(m329180, "naver/api_stock_chart_domestic_item_minute_329180_20260929.json");
  NaverEnv env;
  env.srv.route(kMinute005930, [&](const FixtureRequest& r) {
    return reply(200, r.params.at("startDateTime").substr(0, 8) == "20260928" ? m0928 : m0929);
  });
  env.srv.route("/api.stock.naver.com/chart/domestic/item/373220/minute", reply(200, m373220));
  env.srv.route("/api.stock.naver.com/chart/domestic/item/329180/minute", reply(200, m329180));
  json rows = naver::get_minute_chart("005930", "202609291525", "202609291545");
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(rows[0]["datetime"], "2026-09-29 15:30");
  EXPECT_EQ(rows[0]["close"], 272500);
  EXPECT_EQ(rows[0]["volume"], 1907055);   // the closing auction's own volume
  EXPECT_EQ(rows[1]["datetime"], "2026-09-29 15:40");
  EXPECT_EQ(rows[1]["volume"], 478);
  EXPECT_EQ(naver::minute_session("15:30"), "regular");
  EXPECT_EQ(naver::minute_session("15:40"), naver::MINUTE_SESSION_CLOSING_PRICE);
  EXPECT_EQ(naver::minute_session("16:00"), "after_market");
  EXPECT_EQ(naver::minute_session("16:30", "16:30"), "regular");

  auto r = naver::lookup_regular_close("005930", "2026-09-29");
  EXPECT_EQ(r.status, naver::REGULAR_CLOSE_OK);
  EXPECT_EQ(r.close.value_or(0), 272500);   // not 273,500 (19:34 daily) nor 275,000 (after 20:00)
  EXPECT_EQ(r.volume.value_or(0), 1907055);
  EXPECT_EQ(r.source, "naver_chart_minute");
  auto req = env.srv.last_request(kMinute005930);
  EXPECT_EQ(req.params["startDateTime"], "202609291525");
  EXPECT_EQ(req.params["endDateTime"], "202609291545");
  EXPECT_EQ(env.srv.hits(kFchart), 0);
  EXPECT_EQ(naver::lookup_regular_close("005930", "2026-09-28").close.value_or(0), 270000);
  EXPECT_EQ(naver::lookup_regular_close("373220", "2026-09-29").close.value_or(0), 352500);
  EXPECT_EQ(naver::lookup_regular_close("329180", "2026-09-29").close.value_or(0), 429000);
  // A day that closes at 16:30 is asked around 16:30, and 15:30 is not its close.
  auto exam = naver::lookup_regular_close("005930", "2026-09-29", "16:30");
  EXPECT_EQ(env.srv.last_request(kMinute005930).params["startDateTime"], "202609291625");
  EXPECT_NE(exam.status, naver::REGULAR_CLOSE_OK);
}

// The chart API as the bar layer's Naver provider: the regular window only,
// every bar labelled, and the router's choice without a broker.
TEST(NaverCaptures, NaverMinuteProviderServesKoreanBarsWithoutABroker) {
  TESSARO_REQUIRE_SAMPLE(m0929, "naver/api_stock_chart_domestic_item_minute_005930_20260929.json");
  NaverEnv env("2026-09-30 09:00");
  env.srv.route(kMinute005930, reply(200, m0929));
  auto w = md::session_window("KR", *mt::parse_day("2026-09-29"));
  md::BarRequest req;
  req.market = "KR";
  req.symbol = "005930";
  req.trading_date = "2026-09-29";
  req.start_at = w->start_at;
  req.end_at = w->bars_end_at;
  md::BarDataset ds = md::provider("naver")->fetch_bars(req, {});
  ASSERT_EQ(ds.bars.size(), 1u) << "the closing-price trades after 15:30 are not regular bars";
  EXPECT_EQ(mt::to_kst(ds.bars[0].start_at).hm(), "15:30");
  EXPECT_DOUBLE_EQ(ds.bars[0].open, 272500);
  EXPECT_DOUBLE_EQ(ds.bars[0].volume, 1907055);
  EXPECT_EQ(ds.bars[0].session, "regular");
  EXPECT_EQ(ds.venue, "KRX");
  EXPECT_EQ(ds.source_endpoint, "naver_chart_minute");
  auto q = env.srv.last_request(kMinute005930);
  EXPECT_EQ(q.params["startDateTime"], "202609290900");
  EXPECT_EQ(q.params["endDateTime"], "202609291530");
  EXPECT_EQ(md::bar_to_dict(ds.bars[0], mt::KST)["session"], "regular");

  md::Route r = md::resolve_source("legacy", "KR", "5m", "auto", json::object(), std::nullopt);
  EXPECT_EQ(r.selected_provider, "naver");
  EXPECT_EQ(r.selection_reason, "public_default");
  env.srv.route(kMinute005930, FixtureResponse{404, "{}"});
  try {
    md::provider("naver")->fetch_bars(req, {});
    FAIL() << "a gone endpoint is not an empty day";
  } catch (const md::ProviderError& e) {
    // A 404 is the endpoint, never proof that the code does not exist.
    EXPECT_EQ(e.status(), md::ST_UNAVAILABLE);
  }
}

// Trend rows: the day's change is compareToPreviousClosePrice, never the
// difference of two closePrice values (which follow the after-market).
TEST(NaverCaptures, TrendRowsCarryTheSitesOwnChange) {
  TESSARO_REQUIRE_SAMPLE(t000660, "naver/mstock_api_stock_trend_000660.json");
  TESSARO_REQUIRE_SAMPLE(t196170, "naver/mstock_api_stock_trend_196170.json");
  NaverEnv env;
  env.srv.route("/m.stock.naver.com/api/stock/000660/trend",
                [&](const FixtureRequest& r) { return reply(200, r.params.count("bizdate") ? "[]" : t000660); });
  env.srv.route("/m.stock.naver.com/api/stock/196170/trend",
                [&](const FixtureRequest& r) { return reply(200, r.params.count("bizdate") ? "[]" : t196170); });
  json rows = naver::get_investor_flow("000660", 60);
  ASSERT_EQ(rows.size(), 60u);
  EXPECT_EQ(rows[0]["date"], "2026-10-02");
  EXPECT_EQ(rows[0]["volume"], 2014287);
  const json* d0923 = row_on(rows, "date", "2026-09-23");
  const json* d0922 = row_on(rows, "date", "2026-09-22");
  ASSERT_TRUE(d0923 && d0922);
  EXPECT_EQ((*d0923)["close"].get<long long>() - (*d0922)["close"].get<long long>(), 22000);
  EXPECT_EQ((*d0923)["change"], 23000) << "the site's own change, not the close difference";
  EXPECT_EQ((*row_on(rows, "date", "2026-09-28"))["change"], -101000);
  json k = naver::get_investor_flow("196170", 10);
  ASSERT_EQ(k.size(), 10u);
  EXPECT_EQ(k[0]["date"], "2026-09-29");
  EXPECT_EQ(k[0]["institutional"], 31806);
  EXPECT_EQ(k[0]["change"], 2000);
}

TEST(NaverCaptures, IntegrationBasicAndSectorDetail) {
  TESSARO_REQUIRE_SAMPLE(integ, "naver/mstock_api_stock_integration_000660.json");
  TESSARO_REQUIRE_SAMPLE(basic, "naver/mstock_api_stock_basic_000660.json");
  TESSARO_REQUIRE_SAMPLE(detail, "naver/stock_api_domestic_detail_003280.json");
  TESSARO_REQUIRE_SAMPLE(compare, "naver/finance_item_main_trade_compare_header_323410.html");
  NaverEnv env;
  env.srv.route("/m.stock.naver.com/api/stock/000660/integration", reply(200, integ));
  env.srv.route("/m.stock.naver.com/api/stock/000660/basic", reply(200, basic));
  json c = naver::get_consensus("000660");
  EXPECT_EQ(c["consensus_date"], "2026-10-01");   // createDate "2026-10-01"
  EXPECT_EQ(c["target_price"], 3276957);
  EXPECT_EQ(naver::get_krx_sosok("000660").value_or(""), "KOSPI");

  // The sector from the detail JSON although the old main page answers 404.
  env.srv.route("/stock.naver.com/api/domestic/detail/003280/detail", reply(200, detail));
  env.srv.route("/finance.naver.com/item/main.naver", FixtureResponse{404, "moved", "text/html", {}});
  json s = naver::get_stock_sector("003280");
  EXPECT_EQ(s["sector_name"], "해운사");
  EXPECT_EQ(s["per_ttm"], 20.48);
  // The JSON down: the old page's 업종 link, when it still answers.
  env.srv.route("/stock.naver.com/api/domestic/detail/323410/detail", FixtureResponse{500, "busy"});
  env.srv.route("/finance.naver.com/item/main.naver",
                reply(200, to_cp949("<html><head><meta charset=\"euc-kr\"></head><body>" + compare + "</div></body></html>"),
                      "text/html"));
  json old = naver::get_stock_sector("323410");
  EXPECT_EQ(old["sector_name"], "은행");
  EXPECT_EQ(old["sector_id"], "301");
  // Both down: the JSON's failure, never "no sector".
  env.srv.route("/finance.naver.com/item/main.naver", FixtureResponse{404, "moved", "text/html", {}});
  EXPECT_THROW(naver::get_stock_sector("323410"), HTTPStatusError);
}

// Pages are decoded by the charset they declare: the market-cap list is UTF-8
// now (and had 49 KOSPI pages), the retired pages answer 410.
TEST(NaverCaptures, DeclaredCharsetsAndRetiredPages) {
  TESSARO_REQUIRE_SAMPLE(sum, "naver/finance_sise_market_sum_kospi_p1_excerpt.html");
  TESSARO_REQUIRE_SAMPLE(gone_day, "naver/finance_item_sise_day_http410.html");
  TESSARO_REQUIRE_SAMPLE(gone_time, "naver/finance_item_sise_time_http410.html");
  // The excerpt keeps no <head>: the charset is the one the live response declares.
  EXPECT_EQ(naver::declared_charset("text/html", sum), "");
  EXPECT_EQ(naver::declared_charset("text/html; charset=utf-8", sum), "utf-8");
  std::string text = naver::decode_body(sum, "text/html", /*euc_kr_default=*/true);
  EXPECT_EQ(text, sum) << "a UTF-8 page is not run through the EUC-KR decoder";
  EXPECT_NE(text.find("삼성전자"), std::string::npos);
  EXPECT_NE(text.find("page=49"), std::string::npos);
  EXPECT_EQ(naver::declared_charset("text/html; charset=EUC-KR", "<html>"), "euc-kr");
  EXPECT_NE(naver::decode_body(gone_time, "text/html", true).find("더 이상 제공되지 않습니다"), std::string::npos);
  NaverEnv env;
  env.srv.route("/finance.naver.com/item/sise_day.naver", FixtureResponse{410, gone_day, "text/html", {}});
  try {
    naver::fetch_text("finance.naver.com", http::Target("/item/sise_day.naver?code=005930&page=1"), true);
    FAIL() << "a retired page is an error";
  } catch (const HTTPStatusError& e) {
    EXPECT_EQ(e.status(), 410);
  }
}

// The stock's report list is down: the mobile site's list serves the titles,
// brokers and dates; target price, opinion and PDF stay missing, not 0 or "".
TEST(NaverCaptures, MobileReportListWhenTheResearchListIsDown) {
  TESSARO_REQUIRE_SAMPLE(mobile, "naver/mstock_api_research_stock_000660.json");
  NaverEnv env;
  env.srv.route("/stock.naver.com/api/domestic/research/000660/research", reply(503, "busy"));
  env.srv.route("/m.stock.naver.com/api/research/stock/000660", reply(200, mobile));
  json rows = naver::get_reports("000660", 20);
  ASSERT_EQ(rows.size(), 20u);
  EXPECT_EQ(env.srv.last_request("/m.stock.naver.com/api/research/stock/000660").params.at("pageSize"), "20");
  EXPECT_EQ(rows[0]["nid"], "96384");
  EXPECT_EQ(rows[0]["title"], "흔들림 없는 실적 우상향");
  EXPECT_EQ(rows[0]["broker"], "신한투자증권");
  EXPECT_EQ(rows[0]["date"], "2026-09-30");
  EXPECT_EQ(rows[0]["views"], 23557);
  EXPECT_TRUE(rows[0]["target_price"].is_null());
  EXPECT_EQ(rows[0]["pdf_url"], "");
  EXPECT_EQ(rows[19]["title"], "변하지 않은 것");
  // Both lists down: the first list's failure is the one reported.
  env.srv.route("/m.stock.naver.com/api/research/stock/000660", reply(500, "down"));
  try {
    naver::get_reports("000660", 5);
    FAIL() << "two failed lists are a failure, not an empty list";
  } catch (const HTTPStatusError& e) {
    EXPECT_EQ(e.status(), 503);
  }
}

// The index polling feed is down: each index's own summary on the mobile site
// (KOSPI at the 2026-09-29 close: 6,870.81, −18.93, −0.27 %).
TEST(NaverCaptures, IndexSummaryWhenThePollingFeedIsDown) {
  TESSARO_REQUIRE_SAMPLE(basic, "naver/mstock_api_index_basic_KOSPI.json");
  NaverEnv env;
  env.srv.route("/stock.naver.com/api/polling/domestic/index", reply(502, "bad gateway"));
  env.srv.route("/m.stock.naver.com/api/index/KOSPI/basic", reply(200, basic));
  env.srv.route("/m.stock.naver.com/api/index/KOSDAQ/basic", reply(500, "down"));
  json rows = naver::get_market_index();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["index"], "코스피");
  EXPECT_DOUBLE_EQ(rows[0]["value"].get<double>(), 6870.81);
  EXPECT_DOUBLE_EQ(rows[0]["change_value"].get<double>(), -18.93);
  EXPECT_DOUBLE_EQ(rows[0]["change_rate"].get<double>(), -0.27);
  EXPECT_EQ(rows[0]["market_status"], "CLOSE");
  // KOSDAQ's summary failed: its row says so instead of carrying numbers.
  EXPECT_TRUE(rows[1]["value"].is_null());
  EXPECT_TRUE(rows[1]["failed"].is_string());   // a failed request, not unread fields
  EXPECT_FALSE(rows[1].contains(naver::PARSE_MISS_KEY));
}

// The index's daily rows: signed changes from the direction code, the
// Chuseok gap (09-24..09-26 absent), and a failed read is never an empty list.
TEST(NaverCaptures, IndexDailyRowsOfKospi) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/mstock_api_index_price_KOSPI.json");
  NaverEnv env;
  env.srv.route("/m.stock.naver.com/api/index/KOSPI/price", reply(200, body));
  json rows = naver::get_index_daily("KOSPI", 5);
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0]["date"], "2026-09-29");
  EXPECT_DOUBLE_EQ(rows[0]["close"].get<double>(), 6870.81);
  EXPECT_DOUBLE_EQ(rows[0]["change"].get<double>(), -18.93);
  EXPECT_DOUBLE_EQ(rows[0]["change_rate"].get<double>(), -0.27);
  EXPECT_DOUBLE_EQ(rows[0]["low"].get<double>(), 6782.99);
  EXPECT_EQ(rows[1]["date"], "2026-09-28");
  EXPECT_EQ(rows[2]["date"], "2026-09-23");
  EXPECT_DOUBLE_EQ(rows[2]["change_rate"].get<double>(), 0.90);   // "0.90" with code 2: rising
  EXPECT_DOUBLE_EQ(rows[2]["change"].get<double>(), 63.01);
  for (const auto& r : rows) EXPECT_FALSE(r.contains(naver::PARSE_MISS_KEY)) << r.dump();

  // A ratio whose text contradicts its direction code is not guessed.
  json bent = json::parse(body);
  bent[0]["fluctuationsRatio"] = "0.27";
  bent[0]["compareToPreviousClosePrice"] = "18.93";   // both unsigned: magnitude with the code's sign
  bent[1]["compareToPreviousClosePrice"] = "+191.18"; // a plus against FALLING
  env.srv.route("/m.stock.naver.com/api/index/KOSPI/price", reply(200, bent.dump()));
  rows = naver::get_index_daily("KOSPI", 5);
  EXPECT_DOUBLE_EQ(rows[0]["change_rate"].get<double>(), -0.27);
  EXPECT_DOUBLE_EQ(rows[0]["change"].get<double>(), -18.93);
  EXPECT_TRUE(rows[1]["change"].is_null());
  EXPECT_TRUE(rows[1].contains(naver::PARSE_MISS_KEY));

  env.srv.route("/m.stock.naver.com/api/index/KOSPI/price", reply(503, "down"));
  EXPECT_THROW(naver::get_index_daily("KOSPI", 5), HTTPStatusError);
  env.srv.route("/m.stock.naver.com/api/index/KOSPI/price", reply(200, R"({"result":[]})"));
  EXPECT_THROW(naver::get_index_daily("KOSPI", 5), NaverParseError);
}

namespace {
// One answer of the older realtime API, written from its documented format
// (envelope of the page's refreshQuote, fields of its summaryTpl): 323410
// falling 1,000 to 30,450 from a base of 31,450 at 10:15 KST on 2026-01-16.
json legacy_answer(const std::string& ms, long long time_ms, json overrides = json::object()) {
  json item = {{"cd", "323410"}, {"nm", "카카오뱅크"}, {"nv", 30450}, {"cv", 1000}, {"cr", 3.18}, {"rf", "5"},
               {"sv", 31450}, {"pcv", 31450}, {"ov", 31300}, {"hv", 31450}, {"lv", 30300}, {"ul", 40850},
               {"ll", 22050}, {"aq", 1234567}, {"aa", 37840000000LL}, {"ms", ms}, {"tyn", "N"}};
  item.update(overrides);
  return {{"resultCode", "success"},
          {"result", {{"pollingInterval", 7000}, {"time", time_ms},
                      {"areas", json::array({{{"name", "SERVICE_ITEM"}, {"datas", json::array({item})}}})}}}};
}
const std::string kNewPoll323410 = "/polling.finance.naver.com/api/realtime/domestic/stock/323410";
const std::string kLegacyPoll = "/polling.finance.naver.com/api/realtime";
}  // namespace

// The older realtime API stands in when the current one is down. Every field
// it reads is one that Naver's own page template renders, with the page's
// own rules: the sign from rf (4, 5 down), sv falling back to pcv when 0,
// 0 shown for high/low before the open, aa in won (the page divides by 10^6).
TEST(NaverCaptures, LegacyPollingReadsWhatNaversOwnTemplateRenders) {
  TESSARO_REQUIRE_SAMPLE(tpl, "naver/finance_item_main_polling_js_template_323410.html");
  const contracts::Contract* shape = contracts::find("naver.polling_legacy");
  ASSERT_NE(shape, nullptr);
  const std::string item_prefix = "result.areas[].datas[].";
  int item_fields = 0;
  for (const auto& f : shape->fields) {
    if (f.path.rfind(item_prefix, 0) != 0) continue;
    std::string name = f.path.substr(item_prefix.size());
    if (name == "nm") continue;   // the name comes from the page header, not the template
    ++item_fields;
    EXPECT_TRUE(std::regex_search(tpl, std::regex("[^A-Za-z]" + name + "[^A-Za-z]"))) << name << " is not in Naver's template";
  }
  EXPECT_GE(item_fields, 12);
  for (const char* rule : {"{elseif rf == 4 || rf == 5}", "{if sv == 0}", "changeNumberFormat(=pcv)",
                           "{if ms == \"PREOPEN\"}", "(=aa/1000000)", "{if tyn == \"Y\"}", "SERVICE_ITEM",
                           "res.result.areas[index].datas[0]", "new Date(time)"})
    EXPECT_NE(tpl.find(rule), std::string::npos) << rule;

  NaverEnv env;
  env.srv.route(kNewPoll323410, reply(503, "down"));
  env.srv.route(kLegacyPoll, reply(200, legacy_answer("OPEN", 1768526100000LL).dump()));
  json q = naver::get_current_price("323410");
  EXPECT_EQ(q["quote_source"], "legacy_polling");
  EXPECT_EQ(q["name"], "카카오뱅크");
  EXPECT_EQ(q["price"], 30450);
  EXPECT_EQ(q["change"], -1000);
  EXPECT_EQ(q["base_price"], 31450);
  EXPECT_FALSE(q.contains("base_price_derived"));
  EXPECT_EQ(q["trade_value"], 37840000000LL);
  EXPECT_EQ(q["volume"], 1234567);
  EXPECT_EQ(q["quote_date"], "2026-01-16");
  EXPECT_EQ(q["price_session"], "regular");   // 10:15 KST, the poll's moment while the market is open
  EXPECT_FALSE(q.contains(naver::PARSE_MISS_KEY)) << q.dump();

  // Before the open: the page's zeros are no prices, the base is the previous
  // close, and a poll time is no trade time.
  env.srv.route(kLegacyPoll, reply(200, legacy_answer("PREOPEN", 1768523400000LL,
                                                      {{"ov", 0}, {"hv", 0}, {"lv", 0}, {"aq", 0}, {"sv", 0},
                                                       {"cv", 0}, {"rf", "3"}, {"nv", 31450}, {"aa", 0}})
                                           .dump()));
  q = naver::get_current_price("323410");
  for (const char* k : {"open", "high", "low"}) EXPECT_FALSE(q.contains(k)) << k;
  EXPECT_EQ(q["base_price"], 31450);
  EXPECT_EQ(q["change"], 0);
  EXPECT_EQ(q["price_session"], "unknown");
  EXPECT_FALSE(q.contains("quote_date"));

  // A change whose text sign contradicts rf is not guessed.
  env.srv.route(kLegacyPoll, reply(200, legacy_answer("OPEN", 1768526100000LL, {{"cv", "+1,000"}}).dump()));
  q = naver::get_current_price("323410");
  EXPECT_FALSE(q.contains("change"));

  // Both APIs down: the current API's failure is reported, never an empty quote.
  env.srv.route(kLegacyPoll, reply(500, "down"));
  try {
    naver::get_current_price("323410");
    FAIL() << "two failed APIs are a failure";
  } catch (const HTTPStatusError& e) {
    EXPECT_EQ(e.status(), 503);
  }
  // An older API with nothing for the code is no answer while the current one is down.
  env.srv.route(kLegacyPoll, reply(200, R"({"resultCode":"success","result":{"areas":[{"name":"SERVICE_ITEM","datas":[]}]}})"));
  try {
    naver::get_current_price("323410");
    FAIL() << "an empty stand-in is not an empty quote";
  } catch (const HTTPStatusError& e) {
    EXPECT_EQ(e.status(), 503);
  }
  // A 404 of the current API is the endpoint gone, not the code: the older API stands in.
  env.srv.route(kNewPoll323410, reply(404, "{}"));
  env.srv.route(kLegacyPoll, reply(200, legacy_answer("OPEN", 1768526100000LL).dump()));
  EXPECT_EQ(naver::get_current_price("323410").value("quote_source", std::string()), "legacy_polling");
}

// The stock main page's short investor table (foreigners before institutions,
// "MM/DD" without a year) stands in when the trend API is down. The capture's
// rows are 2024-01-09 .. 2024-01-16 (Tuesday to Tuesday, the weekend absent).
TEST(NaverCaptures, MainPageInvestorTableStandsInForTheTrendApi) {
  TESSARO_REQUIRE_SAMPLE(html, "naver/finance_item_main_invest_trend_323410.html");
  json rows = naver::flow_rows_from_main_page(html, *mt::parse_day("2024-01-16"));
  ASSERT_EQ(rows.size(), 6u);
  EXPECT_EQ(rows[0]["date"], "2024-01-16");
  EXPECT_EQ(rows[0]["foreign"], -316102);
  EXPECT_EQ(rows[0]["institutional"], 98631);
  EXPECT_EQ(rows[0]["close"], 30450);
  EXPECT_EQ(rows[0]["change"], -1000);   // 하향 1,000
  EXPECT_TRUE(rows[0]["individual"].is_null());
  EXPECT_TRUE(rows[0]["volume"].is_null());
  EXPECT_EQ(rows[1]["date"], "2024-01-15");
  EXPECT_EQ(rows[1]["change"], 2050);    // 상향 2,050
  EXPECT_EQ(rows[1]["foreign"], 227408);
  EXPECT_EQ(rows[2]["date"], "2024-01-12");   // over the weekend
  EXPECT_EQ(rows[5]["date"], "2024-01-09");
  EXPECT_EQ(rows[5]["institutional"], 2373);

  // The year is not printed: a table that is not of the last month is not
  // dated by guess (2026-01-11 and 2025-01-11 fall on weekends).
  EXPECT_THROW(naver::flow_rows_from_main_page(html, *mt::parse_day("2026-12-07")), NaverParseError);
  // Rows across New Year's Day take the year before.
  std::string turn = html;
  for (auto [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"01/16", "01/03"}, {"01/15", "01/02"}, {"01/12", "12/29"}, {"01/11", "12/28"}, {"01/10", "12/27"}, {"01/09", "12/26"}})
    turn = std::regex_replace(turn, std::regex(">" + from + "<"), ">" + to + "<");
  rows = naver::flow_rows_from_main_page(turn, *mt::parse_day("2024-01-03"));
  ASSERT_EQ(rows.size(), 6u);
  EXPECT_EQ(rows[0]["date"], "2024-01-03");
  EXPECT_EQ(rows[2]["date"], "2023-12-29");
  EXPECT_EQ(rows[5]["date"], "2023-12-26");

  // Through the source: the trend API down, the main page answers; both down,
  // the trend API's failure stands.
  NaverEnv env("2024-01-16 18:00");
  env.srv.route("/m.stock.naver.com/api/stock/323410/trend", reply(503, "down"));
  env.srv.route("/finance.naver.com/item/main.naver", reply(200, html, "text/html; charset=utf-8"));
  rows = naver::get_investor_flow("323410", 3);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0]["via"], "main_page");
  EXPECT_EQ(rows[2]["date"], "2024-01-12");
  env.srv.route("/finance.naver.com/item/main.naver", reply(410, "이 페이지는 더 이상 제공되지 않습니다."));
  try {
    naver::get_investor_flow("323410", 3);
    FAIL() << "two failed pages are a failure";
  } catch (const HTTPStatusError& e) {
    EXPECT_EQ(e.status(), 503);
  }
}
