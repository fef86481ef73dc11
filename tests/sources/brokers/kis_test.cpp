// KIS client against a loopback server speaking the KIS shapes.
#include <sys/stat.h>

#include <fstream>
#include <set>

#include "server/registry.hpp"
#include "sources/brokers/broker_common.hpp"
#include "sources/brokers/broker_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;
using namespace tessaro::testing::brokertest;
namespace md = tessaro::market_data;

namespace {

const std::string kToken = kKis + "/oauth2/tokenP";
const std::string kPast = kKis + "/uapi/domestic-stock/v1/quotations/inquire-time-dailychartprice";
const std::string kToday = kKis + "/uapi/domestic-stock/v1/quotations/inquire-time-itemchartprice";
const std::string kUs = kKis + "/uapi/overseas-price/v1/quotations/inquire-time-itemchartprice";
const std::string kFlow = kKis + "/uapi/domestic-stock/v1/quotations/investor-trade-by-stock-daily";
const std::string kIssuedToken = "eyJ0eXAiOiJKV1QiLCJhbGciOiJIUzI1NiJ9.kis-token";

std::string hhmm(int minutes) {
  char b[8];
  std::snprintf(b, sizeof b, "%02d%02d00", minutes / 60, minutes % 60);
  return b;
}

json kis_bar(const std::string& date, int minute, double px) {
  return {{"stck_bsop_date", date}, {"stck_cntg_hour", hhmm(minute)}, {"stck_prpr", std::to_string((int)px)},
          {"stck_oprc", std::to_string((int)px - 100)}, {"stck_hgpr", std::to_string((int)px + 100)},
          {"stck_lwpr", std::to_string((int)px - 200)}, {"cntg_vol", std::to_string(1000 + minute)},
          {"acml_tr_pbmn", "0"}};
}

// Minute rows of one day up to the asked HHMMSS, newest first, `max` a page.
FixtureResponse minute_page(const std::vector<int>& minutes, const std::string& date, const std::string& cursor, int max,
                            int blank_minute = -1) {
  int c = std::stoi(cursor.substr(0, 2)) * 60 + std::stoi(cursor.substr(2, 2));
  json rows = json::array();
  for (auto it = minutes.rbegin(); it != minutes.rend() && (int)rows.size() < max; ++it) {
    if (*it > c) continue;
    json r = kis_bar(date, *it, 70000 + *it);
    if (*it == blank_minute) r["stck_oprc"] = "";
    rows.push_back(r);
  }
  return reply(200, json{{"rt_cd", "0"}, {"msg_cd", "MCA00000"}, {"msg1", "정상처리 되었습니다."},
                         {"output1", {{"stck_prpr", "71000"}}}, {"output2", rows}}
                        .dump());
}

class KisTest : public BrokerTest {
 protected:
  void SetUp() override {
    BrokerTest::SetUp();
    srv.route(kToken, [](const FixtureRequest&) {
      return reply(200, json{{"access_token", kIssuedToken},
                             {"access_token_token_expired", "2099-12-31 23:59:59"},
                             {"token_type", "Bearer"},
                             {"expires_in", 86400}}
                            .dump());
    });
    // A KRX day: continuous bars 09:00-15:19, then the closing-auction print at 15:30.
    for (int m = 9 * 60; m < 15 * 60 + 20; ++m) day_minutes.push_back(m);
    day_minutes.push_back(15 * 60 + 30);
  }
  md::Provider& kis() { return *md::provider("kis"); }
  std::vector<int> day_minutes;
};

TEST_F(KisTest, TokenIsIssuedOnceSharedAcrossProcessesAndReissuedOnceWhenExpired) {
  srv.route(kPast, [&](const FixtureRequest& r) {
    EXPECT_EQ(r.headers.at("authorization"), "Bearer " + kIssuedToken);
    EXPECT_EQ(r.headers.at("tr_id"), "FHKST03010230");
    return minute_page(day_minutes, "20260309", r.params.at("FID_INPUT_HOUR_1"), 120);
  });
  kis().fetch_bars(kr_day("2026-03-09"), ctx("kis"));
  EXPECT_EQ(srv.hits(kToken), 1);
  json body = json::parse(srv.last_request(kToken).body);
  EXPECT_EQ(body["appkey"], kAppKey);
  EXPECT_EQ(body["grant_type"], "client_credentials");

  struct stat st {};
  ASSERT_EQ(::stat(token_file("kis").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // The file keeps a fingerprint of the key, never the key or the secret.
  std::ifstream in(token_file("kis"));
  std::string file((std::istreambuf_iterator<char>(in)), {});
  expect_no_secret(file);

  // Another process (nothing in memory) reads the cached token.
  kis().fetch_bars(kr_day("2026-03-09"), ctx("kis"));
  EXPECT_EQ(srv.hits(kToken), 1);

  // An expired token, issued long ago: exactly one new issue, then reuse.
  brokers::CachedToken old{"expired-token", brokers::wall_now() - std::chrono::hours(1),
                           brokers::wall_now() - std::chrono::hours(25), brokers::key_tag(kAppKey)};
  brokers::save_token(token_file("kis"), old);
  kis().fetch_bars(kr_day("2026-03-09"), ctx("kis"));
  kis().fetch_bars(kr_day("2026-03-09"), ctx("kis"));
  EXPECT_EQ(srv.hits(kToken), 2);

  // Paper keys go to the paper host and have their own token file.
  EXPECT_FALSE(std::filesystem::exists(token_file("kis", "paper")));
  const std::string paper = "/openapivts.koreainvestment.com:29443";
  srv.route(paper + "/oauth2/tokenP", reply(200, R"({"access_token":"paper-token","expires_in":86400})"));
  srv.route(paper + "/uapi/domestic-stock/v1/quotations/inquire-time-dailychartprice", [&](const FixtureRequest& r) {
    EXPECT_EQ(r.headers.at("authorization"), "Bearer paper-token");
    return minute_page(day_minutes, "20260309", r.params.at("FID_INPUT_HOUR_1"), 120);
  });
  int real_hits = srv.hits(kPast);
  EXPECT_EQ(kis().fetch_bars(kr_day("2026-03-09"), ctx("kis", "paper")).profile, "paper");
  EXPECT_EQ(srv.hits(kPast), real_hits);
  EXPECT_TRUE(std::filesystem::exists(token_file("kis", "paper")));
  EXPECT_EQ(srv.hits(kToken), 2);
}

TEST_F(KisTest, PastDayWalksBackDedupesTheBoundaryBarAndKeepsTheClosingAuction) {
  srv.route(kPast, [&](const FixtureRequest& r) {
    EXPECT_EQ(r.params.at("FID_INPUT_DATE_1"), "20260309");
    EXPECT_EQ(r.params.count("FID_ETC_CLS_CODE"), 0u);   // a parameter of the today API only
    EXPECT_EQ(r.params.at("FID_FAKE_TICK_INCU_YN"), "");
    return minute_page(day_minutes, "20260309", r.params.at("FID_INPUT_HOUR_1"), 120, /*blank 10:00*/ 600);
  });
  md::BarDataset ds = kis().fetch_bars(kr_day("2026-03-09"), ctx("kis"));
  // 380 continuous minutes + the 15:30 print, minus the 10:00 row without an open.
  ASSERT_EQ(ds.bars.size(), 380u);
  EXPECT_EQ(srv.hits(kPast), 4);   // 120 + 119 + 119 new, then a short page ends the day
  std::set<long long> starts;
  for (size_t i = 0; i < ds.bars.size(); ++i) {
    starts.insert(ds.bars[i].start_at.time_since_epoch().count());
    if (i) EXPECT_LT(ds.bars[i - 1].start_at, ds.bars[i].start_at);
    EXPECT_TRUE(ds.bars[i].complete);
    EXPECT_NE(mt::to_kst(ds.bars[i].start_at).hm(), "10:00") << "a blank open was read as a bar";
  }
  EXPECT_EQ(starts.size(), ds.bars.size());
  EXPECT_EQ(mt::to_kst(ds.bars.front().start_at).hm(), "09:00");
  EXPECT_EQ(mt::to_kst(ds.bars.back().start_at).hm(), "15:30");
  EXPECT_EQ(mt::to_kst(ds.bars.back().end_at).hm(), "15:31");
  EXPECT_DOUBLE_EQ(ds.bars.front().open, 70000 + 540 - 100);
  EXPECT_EQ(ds.coverage["complete"], true);
  ASSERT_FALSE(ds.warnings.empty());
  EXPECT_NE(ds.warnings[0].find("1개"), std::string::npos);
}

TEST_F(KisTest, TodayPagesBackFromNowAndMarksTheFormingBar) {
  set_now("2026-03-10", 10, 15, 30);
  std::vector<int> so_far;
  for (int m = 9 * 60; m <= 10 * 60 + 15; ++m) so_far.push_back(m);
  std::vector<std::string> cursors;
  srv.route(kToday, [&](const FixtureRequest& r) {
    EXPECT_EQ(r.headers.at("tr_id"), "FHKST03010200");
    const std::string& c = r.params.at("FID_INPUT_HOUR_1");
    cursors.push_back(c);
    // Asked past "now", the server answers the minutes up to the asked time
    // with the current price; none of them has happened.
    std::vector<int> served = so_far;
    for (int m = 10 * 60 + 16, to = std::stoi(c.substr(0, 2)) * 60 + std::stoi(c.substr(2, 2)); m <= to; ++m)
      served.push_back(m);
    return minute_page(served, "20260310", c, 30);
  });
  md::BarDataset ds = kis().fetch_bars(kr_day("2026-03-10"), ctx("kis"));
  ASSERT_EQ(ds.bars.size(), 76u);
  EXPECT_EQ(cursors.front(), "101530");
  EXPECT_EQ(mt::to_kst(ds.bars.back().start_at).hm(), "10:15");
  EXPECT_EQ(srv.hits(kToday), 3);
  EXPECT_FALSE(ds.bars.back().complete);            // 10:15-10:16 has not ended
  EXPECT_TRUE(ds.bars[ds.bars.size() - 2].complete);
}

TEST_F(KisTest, UsBarsTryVenuesFollowTrContAndKeepOnlyTheRegularSession) {
  // 2026-03-09 New York (after the DST switch); the server also sends pre/after-hours rows.
  std::vector<int> ny;
  for (int m = 9 * 60; m < 16 * 60 + 30; ++m) ny.push_back(m);
  std::vector<FixtureRequest> seen;
  srv.route(kUs, [&](const FixtureRequest& r) {
    seen.push_back(r);
    json rows = json::array();
    if (r.params.at("EXCD") == "NAS")   // the symbol is not listed there: refused, not empty
      return reply(200, R"({"rt_cd":"1","msg_cd":"APBK0919","msg1":"조회할 자료가 없습니다."})");
    if (r.params.at("EXCD") == "NYS") {
      std::string k = r.params.at("KEYB");
      int cur = std::stoi(k.substr(8, 2)) * 60 + std::stoi(k.substr(10, 2));
      for (auto it = ny.rbegin(); it != ny.rend() && rows.size() < 120; ++it)
        if (*it <= cur)
          rows.push_back({{"xymd", "20260309"}, {"xhms", hhmm(*it)}, {"open", "180.10"}, {"high", "180.90"},
                          {"low", "179.80"}, {"last", "180.50"}, {"evol", *it == 10 * 60 ? "" : "1200"}});
    }
    FixtureResponse resp = reply(200, json{{"rt_cd", "0"}, {"msg_cd", "MCA00000"}, {"msg1", "ok"},
                                           {"output1", {{"rsym", "DNYSIBM"}, {"zdiv", "4"}}}, {"output2", rows}}
                                          .dump());
    resp.headers["tr_cont"] = rows.size() == 120 ? "M" : "D";
    return resp;
  });
  md::BarRequest req;
  req.market = "US";
  req.symbol = "ibm";
  req.trading_date = "2026-03-09";
  auto w = md::session_window("US", day("2026-03-09"));
  req.start_at = w->start_at;
  req.end_at = w->close_at;
  md::BarDataset ds = kis().fetch_bars(req, ctx("kis"));
  EXPECT_EQ(seen.front().params.at("EXCD"), "NAS");   // tried first, refused the symbol
  EXPECT_EQ(ds.venue, "NYS");
  ASSERT_EQ(ds.bars.size(), 389u);   // 390 regular minutes, the 10:00 row without volume left out
  EXPECT_EQ(ds.bars.front().start_at, mt::Instant(day("2026-03-09")) + std::chrono::minutes(13 * 60 + 30));
  EXPECT_EQ(mt::to_ny(ds.bars.back().start_at).hm(), "15:59");
  EXPECT_EQ(ds.coverage["complete"], true);
  // Follow-up pages: NEXT=1, request tr_cont N, KEYB one minute before the oldest bar received.
  ASSERT_GE(seen.size(), 3u);
  const FixtureRequest& second = seen[2];
  EXPECT_EQ(second.params.at("NEXT"), "1");
  EXPECT_EQ(second.headers.at("tr_cont"), "N");
  EXPECT_EQ(second.params.at("KEYB"), "20260309" + hhmm(15 * 60 + 59 - 120));
}

// An answer without its bar list, or with a bar field renamed, is a changed API
// named by its declared shape; it used to come back as a day without bars.
TEST_F(KisTest, MinuteAnswerOfAnotherShapeFailsNamingTheField) {
  srv.route(kPast, reply(200, R"({"rt_cd":"0","msg_cd":"MCA00000","msg1":"정상처리 되었습니다.","output1":{}})"));
  auto gone = broker_failure([&] { kis().fetch_bars(kr_day("2026-03-09"), ctx("kis")); });
  EXPECT_EQ(gone.kind, std::string("KisApiError ") + md::ST_UNAVAILABLE + " kis");
  EXPECT_NE(gone.what.find("KIS 국내 분봉 응답 모양이 달라졌습니다 (없는 항목: output2)"), std::string::npos) << gone.what;

  srv.route(kPast, [&](const FixtureRequest& r) {
    FixtureResponse page = minute_page(day_minutes, "20260309", r.params.at("FID_INPUT_HOUR_1"), 120);
    json b = json::parse(page.body);
    for (auto& row : b["output2"]) {
      row["stck_cntg_time"] = row["stck_cntg_hour"];
      row.erase("stck_cntg_hour");
    }
    return reply(200, b.dump());
  });
  auto renamed = broker_failure([&] { kis().fetch_bars(kr_day("2026-03-09"), ctx("kis")); });
  EXPECT_NE(renamed.what.find("없는 항목: output2[].stck_cntg_hour"), std::string::npos) << renamed.what;

  // A day the broker has no bars for is still an empty answer, not a failure.
  srv.route(kPast, reply(200, R"({"rt_cd":"0","msg_cd":"MCA00000","output1":{},"output2":[]})"));
  EXPECT_TRUE(kis().fetch_bars(kr_day("2026-03-09"), ctx("kis")).bars.empty());
}

TEST_F(KisTest, RateLimitsBackOffThenFailTypedAndSecretsNeverShow) {
  int calls = 0;
  srv.route(kPast, [&](const FixtureRequest& r) {
    // Twice in a row: more than the single retry a plain server error gets.
    if (++calls == 1)
      return reply(500, R"({"rt_cd":"1","msg_cd":"EGW00201","msg1":"초당 거래건수를 초과하였습니다."})");
    if (calls == 2)   // the same limit without its code
      return reply(500, R"({"rt_cd":"1","msg1":"초당 거래건수를 초과하였습니다."})");
    return minute_page(day_minutes, "20260309", r.params.at("FID_INPUT_HOUR_1"), 120);
  });
  EXPECT_EQ(kis().fetch_bars(kr_day("2026-03-09"), ctx("kis")).bars.size(), 381u);
  EXPECT_EQ(calls, 2 + 4);

  srv.fail_next(kPast, 429, 10);
  int before = srv.hits(kPast);
  auto limited = broker_failure([&] { kis().fetch_bars(kr_day("2026-03-09"), ctx("kis")); });
  EXPECT_EQ(limited.kind, std::string("KisApiError ") + md::ST_RATE_LIMITED + " kis");
  expect_no_secret(limited.what);
  EXPECT_EQ(limited.what.find(kIssuedToken), std::string::npos);
  EXPECT_EQ(srv.hits(kPast) - before, 3);   // first try + 2 retries

  // A refused key at the token endpoint: authentication failure, even when the
  // broker echoes the key back in its message.
  std::filesystem::remove(token_file("kis"));
  srv.route(kToken, reply(403, json{{"error_code", "EGW00103"},
                                    {"error_description", "유효하지 않은 AppKey입니다: " + kAppKey}}
                                   .dump()));
  auto refused = broker_failure([&] { kis().fetch_bars(kr_day("2026-03-09"), ctx("kis")); });
  EXPECT_EQ(refused.kind, std::string("KisApiError ") + md::ST_AUTH_FAILED + " kis");
  expect_no_secret(refused.what);
  // The refused key is not tried again inside the minute.
  int token_hits = srv.hits(kToken);
  EXPECT_EQ(broker_failure([&] { kis().fetch_bars(kr_day("2026-03-09"), ctx("kis")); }).kind, refused.kind);
  EXPECT_EQ(srv.hits(kToken), token_hits);
  // Unknown symbols never reach the broker.
  EXPECT_THROW(kis().fetch_bars(kr_day("2026-03-09", "12345"), ctx("kis")), md::SymbolMappingError);
}

TEST_F(KisTest, RefusedCachedTokenIsReissuedOnce) {
  brokers::save_token(token_file("kis"), {"revoked-token", brokers::wall_now() + std::chrono::hours(10),
                                          brokers::wall_now() - std::chrono::hours(3), brokers::key_tag(kAppKey)});
  srv.route(kPast, [&](const FixtureRequest& r) {
    if (r.headers.at("authorization") == "Bearer revoked-token")
      return reply(500, R"({"rt_cd":"1","msg_cd":"EGW00123","msg1":"기간이 만료된 token 입니다."})");
    return minute_page(day_minutes, "20260309", r.params.at("FID_INPUT_HOUR_1"), 120);
  });
  EXPECT_EQ(kis().fetch_bars(kr_day("2026-03-09"), ctx("kis")).bars.size(), 381u);
  EXPECT_EQ(srv.hits(kToken), 1);
  // The new token was issued seconds ago: refusing it again cannot trigger a
  // second issue inside the minute.
  srv.route(kPast, reply(401, R"({"rt_cd":"1","msg_cd":"EGW00121","msg1":"유효하지 않은 token 입니다."})"));
  EXPECT_EQ(broker_failure([&] { kis().fetch_bars(kr_day("2026-03-09"), ctx("kis")); }).kind,
            std::string("KisApiError ") + md::ST_AUTH_FAILED + " kis");
  EXPECT_EQ(srv.hits(kToken), 1);
}

TEST_F(KisTest, InvestorFlowMapsCategoriesAndNeverFillsMissingWithZero) {
  set_now("2026-03-10", 11, 0);
  srv.route_file(kFlow, "brokers/kis_investor_daily.json");
  json q = kis().investor_flow("005930", 20, "net_quantity", ctx("kis"));
  EXPECT_EQ(q["unit"], "shares");
  EXPECT_EQ(q["data_state"], "provisional");
  ASSERT_EQ(q["rows"].size(), 3u);
  const json& today = q["rows"][0];
  EXPECT_EQ(today["date"], "2026-03-10");
  EXPECT_EQ(today["data_state"], "provisional");
  EXPECT_EQ(today["values"], json({{"individual", -5000.0}}));
  EXPECT_NE(std::find(today["unsettled"].begin(), today["unsettled"].end(), "institution_total"),
            today["unsettled"].end());
  EXPECT_TRUE(today["balance_ok"].is_null());
  const json& y = q["rows"][1];
  EXPECT_EQ(y["data_state"], "final");
  EXPECT_DOUBLE_EQ(y["values"]["private_equity"].get<double>(), 2000);      // pe_fund_ntby_vol
  EXPECT_DOUBLE_EQ(y["values"]["other_corporation"].get<double>(), -4000);  // etc_corp_ntby_vol
  EXPECT_DOUBLE_EQ(y["values"]["other_organization"].get<double>(), 0);     // a real zero stays
  EXPECT_DOUBLE_EQ(y["values"]["foreign"].get<double>(), 95000);            // "+95000"
  EXPECT_EQ(y["balance_ok"], true);
  EXPECT_EQ(y["raw_categories"]["pe_fund_ntby_vol"], "2000");
  EXPECT_EQ(q["rows"][2]["balance_ok"], false);   // 50,000 vs. sub-categories adding to 40,000
  for (const char* c : {"other_finance", "government", "domestic_foreign"})
    EXPECT_NE(std::find(q["unavailable"].begin(), q["unavailable"].end(), c), q["unavailable"].end()) << c;
  EXPECT_EQ(std::find(q["unavailable"].begin(), q["unavailable"].end(), "private_equity"), q["unavailable"].end());

  json a = kis().investor_flow("005930", 2, "net_amount", ctx("kis"));
  EXPECT_EQ(a["unit"], "million_krw");
  ASSERT_EQ(a["rows"].size(), 2u);
  EXPECT_DOUBLE_EQ(a["rows"][1]["values"]["institution_total"].get<double>(), 2130);
  EXPECT_EQ(a["rows"][1]["balance_ok"], true);
}

TEST_F(KisTest, InvestorFlowFollowsTrContUntilThePageCap) {
  std::vector<FixtureRequest> seen;
  srv.route(kFlow, [&](const FixtureRequest& r) {
    seen.push_back(r);
    mt::Day d = *brokers::ymd(r.params.at("FID_INPUT_DATE_1"));
    json rows = json::array();
    for (; rows.size() < 10; d -= std::chrono::days(1))
      rows.push_back({{"stck_bsop_date", brokers::ymd_of(d)}, {"stck_clpr", "70000"}, {"prsn_ntby_qty", "1"}});
    FixtureResponse resp = reply(200, json{{"rt_cd", "0"}, {"output2", rows}}.dump());
    resp.headers["tr_cont"] = seen.size() % 2 ? "M" : "F";
    return resp;
  });
  json q = kis().investor_flow("005930", 120, "net_quantity", ctx("kis"));
  EXPECT_EQ(seen.size(), 10u);
  EXPECT_EQ(seen[0].headers.count("tr_cont"), 0u);
  EXPECT_EQ(seen[1].headers.at("tr_cont"), "N");
  EXPECT_EQ(q["rows"].size(), 100u);
  EXPECT_EQ(q["coverage"]["truncated"], true);
  EXPECT_EQ(q["coverage"]["complete"], false);
}

TEST_F(KisTest, NetAmountsOfRegisteredForeignersAreRead) {
  // Their amount fields end in _ntby_pbmn, not _ntby_tr_pbmn like the others.
  srv.route(kFlow, reply(200, R"({"rt_cd":"0","output2":[{"stck_bsop_date":"20260309","stck_clpr":"71000",)"
                              R"("frgn_ntby_tr_pbmn":"950","frgn_reg_ntby_pbmn":"900","frgn_nreg_ntby_pbmn":"50"}]})"));
  json a = kis().investor_flow("005930", 5, "net_amount", ctx("kis"));
  ASSERT_EQ(a["rows"].size(), 1u);
  EXPECT_DOUBLE_EQ(a["rows"][0]["values"]["foreign_registered"].get<double>(), 900);
  EXPECT_DOUBLE_EQ(a["rows"][0]["values"]["foreign_unregistered"].get<double>(), 50);
  for (const char* c : {"foreign_registered", "foreign_unregistered"})
    EXPECT_EQ(std::find(a["unavailable"].begin(), a["unavailable"].end(), c), a["unavailable"].end()) << c;
}

// Weekdays back from `d` (inclusive), newest first.
std::vector<mt::Day> weekdays_back(mt::Day d, int n) {
  std::vector<mt::Day> v;
  for (; (int)v.size() < n; d -= std::chrono::days(1)) {
    auto wd = std::chrono::weekday(d);
    if (wd != std::chrono::Saturday && wd != std::chrono::Sunday) v.push_back(d);
  }
  return v;
}

TEST_F(KisTest, CreditAndLendingPageBackByTheirQueryDatesWithoutGaps) {
  // Credit: the query date is a settlement date; each row's trade date is two
  // trading days earlier. 30 rows a call, no tr_cont on the answer.
  std::vector<FixtureRequest> credit;
  srv.route(kKis + "/uapi/domestic-stock/v1/quotations/daily-credit-balance", [&](const FixtureRequest& r) {
    credit.push_back(r);
    EXPECT_EQ(r.params.at("FID_COND_SCR_DIV_CODE"), "20476");
    EXPECT_EQ(r.params.at("FID_COND_MRKT_DIV_CODE"), "J");
    EXPECT_EQ(r.params.at("FID_INPUT_ISCD"), "005930");
    auto settle = weekdays_back(*brokers::ymd(r.params.at("FID_INPUT_DATE_1")), 32);
    json rows = json::array();
    for (int i = 0; i < 30; ++i)
      rows.push_back({{"deal_date", brokers::ymd_of(settle[i + 2])},
                      {"stlm_date", brokers::ymd_of(settle[i])},
                      {"whol_loan_rmnd_stcn", std::to_string(250000 + i)}});
    return reply(200, json{{"rt_cd", "0"}, {"output", rows}}.dump());
  });
  json c = kis().supply_pressure("005930", "credit", 45, ctx("kis"));
  ASSERT_EQ(credit.size(), 2u);
  ASSERT_EQ(c["rows"].size(), 45u);
  auto expected = weekdays_back(day("2026-03-06"), 45);   // trade dates up to today's settlement
  for (size_t i = 0; i < 45; ++i) EXPECT_EQ(c["rows"][i]["date"], brokers::iso_date(expected[i])) << i;

  // Lending: up to 100 rows a call, paged by END_DATE; a full page asks for more.
  std::vector<std::string> ends;
  srv.route(kKis + "/uapi/domestic-stock/v1/quotations/daily-loan-trans", [&](const FixtureRequest& r) {
    EXPECT_EQ(r.params.at("MRKT_DIV_CLS_CODE"), "3");
    ends.push_back(r.params.at("END_DATE"));
    json rows = json::array();
    for (auto d : weekdays_back(*brokers::ymd(r.params.at("END_DATE")), 100))
      rows.push_back({{"bsop_date", brokers::ymd_of(d)}, {"rmnd_stcn", "1000"}});
    return reply(200, json{{"rt_cd", "0"}, {"output1", rows}}.dump());
  });
  json l = kis().supply_pressure("005930", "securities_lending", 120, ctx("kis"));
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_EQ(l["rows"].size(), 120u);
  EXPECT_EQ(l["coverage"]["truncated"], false);
}

TEST_F(KisTest, PressureBlocksKeepGapsAndSayWhatIsNotServed) {
  srv.route_file(kKis + "/uapi/domestic-stock/v1/quotations/daily-short-sale", "brokers/kis_daily_short_sale.json");
  json s = kis().supply_pressure("005930", "short_selling", 30, ctx("kis"));
  EXPECT_EQ(s["status"], "ok");
  EXPECT_EQ(s["granularity"], "daily");
  ASSERT_EQ(s["rows"].size(), 1u);   // the day with only empty fields is no row of zeros
  EXPECT_DOUBLE_EQ(s["rows"][0]["measures"]["short_quantity"].get<double>(), 456789);
  EXPECT_EQ(s["measure_units"]["short_volume_ratio"], "percent");
  EXPECT_EQ(s["data_as_of"], "2026-03-09");
  EXPECT_EQ(srv.last_request(kKis + "/uapi/domestic-stock/v1/quotations/daily-short-sale").headers.at("tr_id"),
            "FHPST04830000");

  srv.route(kKis + "/uapi/domestic-stock/v1/quotations/inquire-price",
            reply(200, R"({"rt_cd":"0","output":{"stck_prpr":"71000","frgn_hldn_qty":"3100000000","hts_frgn_ehrt":"52.10"}})"));
  json f = kis().supply_pressure("005930", "foreign_holding", 30, ctx("kis"));
  EXPECT_EQ(f["granularity"], "snapshot");
  ASSERT_EQ(f["rows"].size(), 1u);
  EXPECT_TRUE(f["rows"][0]["observed_at"].is_string());
  EXPECT_DOUBLE_EQ(f["rows"][0]["measures"]["limit_exhaustion_rate"].get<double>(), 52.10);

  json c = kis().supply_pressure("005930", "cfd", 30, ctx("kis"));
  EXPECT_EQ(c["status"], "unsupported");
  EXPECT_TRUE(c["unavailable_reason"].is_string());
  EXPECT_TRUE(c["rows"].empty());
}

// The whole road: connection state -> router -> KIS client -> intraday tool reply
// (a named broker that fails is checked on the tool with a scripted broker).
TEST_F(KisTest, IntradayChartServedByTheConnectedBroker) {
  md::ConnectionState st;
  st.primary_provider = "kis";
  st.providers["kis"] = md::ProviderProfile{"real", kAppKey, kAppSecret, "", "2026-03-01T09:00:00+09:00"};
  md::save_state_v2(st);
  srv.route(kPast, [&](const FixtureRequest& r) {
    return minute_page(day_minutes, "20260309", r.params.at("FID_INPUT_HOUR_1"), 120);
  });
  std::string ok = server::call_tool(
      "get_intraday_chart", {{"symbol", "005930"}, {"date", "2026-03-09"}, {"interval", "30m"}, {"source", "kis"}});
  EXPECT_NE(ok.find("2026-03-09 15:30"), std::string::npos) << ok;   // the closing-auction tail
  EXPECT_NE(ok.find("\"provider\":\"kis\""), std::string::npos) << ok;
  expect_no_secret(ok);
}

}  // namespace
