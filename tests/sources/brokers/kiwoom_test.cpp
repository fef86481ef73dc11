// Kiwoom client against a loopback server speaking the Kiwoom shapes; Toss stays unverified.
#include "sources/brokers/broker_common.hpp"
#include "sources/brokers/broker_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;
using namespace tessaro::testing::brokertest;
namespace md = tessaro::market_data;

namespace {

const std::string kToken = kKiwoom + "/oauth2/token";
const std::string kChart = kKiwoom + "/api/dostk/chart";
const std::string kStkinfo = kKiwoom + "/api/dostk/stkinfo";

class KiwoomTest : public BrokerTest {
 protected:
  void SetUp() override {
    BrokerTest::SetUp();
    srv.route(kToken, reply(200, R"({"expires_dt":"20991231235959","token_type":"bearer","token":"kiwoom-token-xyz",)"
                                 R"("return_code":0,"return_msg":"정상적으로 처리되었습니다"})"));
    for (int m = 9 * 60; m < 15 * 60 + 20; ++m) minutes.push_back(m);
    minutes.push_back(15 * 60 + 30);
  }
  md::Provider& kiwoom() { return *md::provider("kiwoom"); }

  // Pages of `size` rows, newest first; next-key "p<n>" names the page. With
  // `endless` the server always claims more.
  void serve_chart(int size, bool endless = false) {
    srv.route(kChart, [this, size, endless](const FixtureRequest& r) {
      requests.push_back(r);
      int page = r.headers.count("next-key") ? std::stoi(r.headers.at("next-key").substr(1)) : 0;
      json rows = json::array();
      int n = (int)minutes.size();
      for (int i = page * size; i < std::min(n, (page + 1) * size); ++i) {
        int m = minutes[n - 1 - i];
        char tm[20];
        std::snprintf(tm, sizeof tm, "20260309%02d%02d00", m / 60, m % 60);
        rows.push_back({{"cur_prc", "-" + std::to_string(70000 + m)}, {"trde_qty", std::to_string(500 + m)},
                        {"cntr_tm", tm}, {"open_pric", "+" + std::to_string(69900 + m)},
                        {"high_pric", std::to_string(70100 + m)}, {"low_pric", "-" + std::to_string(69800 + m)},
                        {"acc_trde_qty", "0"}, {"pred_pre", "-500"}, {"pred_pre_sig", "5"}});
      }
      bool more = endless || (page + 1) * size < n;
      FixtureResponse resp = reply(200, json{{"stk_cd", "005930"}, {"stk_min_pole_chart_qry", rows},
                                             {"return_code", 0}, {"return_msg", "정상"}}
                                            .dump());
      resp.headers["cont-yn"] = more ? "Y" : "N";
      resp.headers["next-key"] = more ? "p" + std::to_string(page + 1) : "";
      resp.headers["api-id"] = "ka10080";
      return resp;
    });
  }
  std::vector<int> minutes;
  std::vector<FixtureRequest> requests;
};

TEST_F(KiwoomTest, MinuteBarsFollowNextKeyStripPriceSignsAndReportThePageCap) {
  serve_chart(100);
  md::BarDataset ds = kiwoom().fetch_bars(kr_day("2026-03-09"), ctx("kiwoom"));
  ASSERT_EQ(ds.bars.size(), 381u);
  ASSERT_EQ(requests.size(), 4u);
  json body = json::parse(requests[0].body);
  EXPECT_EQ(body["tic_scope"], "1");
  EXPECT_EQ(body["base_dt"], "20260309");
  EXPECT_EQ(body["upd_stkpc_tp"], "0");
  EXPECT_EQ(requests[0].headers.at("api-id"), "ka10080");
  EXPECT_EQ(requests[0].headers.count("next-key"), 0u);
  EXPECT_EQ(requests[1].headers.at("cont-yn"), "Y");
  EXPECT_EQ(requests[1].headers.at("next-key"), "p1");
  const md::Bar& first = ds.bars.front();
  EXPECT_EQ(mt::to_kst(first.start_at).hm(), "09:00");
  EXPECT_DOUBLE_EQ(first.close, 70000 + 540);   // "-70540" is a falling price, not a negative one
  EXPECT_DOUBLE_EQ(first.low, 69800 + 540);
  EXPECT_EQ(mt::to_kst(ds.bars.back().start_at).hm(), "15:30");
  EXPECT_EQ(ds.coverage["complete"], true);

  requests.clear();
  serve_chart(30, /*endless=*/true);
  ds = kiwoom().fetch_bars(kr_day("2026-03-09"), ctx("kiwoom"));
  EXPECT_EQ(requests.size(), 10u);
  EXPECT_EQ(ds.bars.size(), 300u);
  EXPECT_EQ(ds.coverage["truncated"], true);
  EXPECT_EQ(ds.coverage["complete"], false);
  EXPECT_FALSE(ds.warnings.empty());
  EXPECT_EQ(srv.hits(kToken), 1);
}

// An answer without its bar list, or with a bar field renamed, is a changed API
// named by its declared shape; it used to come back as a day without bars.
TEST_F(KiwoomTest, MinuteAnswerOfAnotherShapeFailsNamingTheField) {
  srv.route(kChart, reply(200, R"({"stk_cd":"005930","stk_min_chart_qry":[],"return_code":0,"return_msg":"정상"})"));
  auto gone = broker_failure([&] { kiwoom().fetch_bars(kr_day("2026-03-09"), ctx("kiwoom")); });
  EXPECT_EQ(gone.kind, std::string("KiwoomApiError ") + md::ST_UNAVAILABLE + " kiwoom");
  EXPECT_NE(gone.what.find("키움증권 분봉 응답 모양이 달라졌습니다 (없는 항목: stk_min_pole_chart_qry)"),
            std::string::npos)
      << gone.what;
  srv.route(kChart, reply(200, R"({"stk_min_pole_chart_qry":[{"cur_prc":"-70000","trde_qty":"5","cntr_tm":"20260309090000",)"
                               R"("open_pric":"70000","high_pric":"70100","low_price":"69900"}],"return_code":0})"));
  auto renamed = broker_failure([&] { kiwoom().fetch_bars(kr_day("2026-03-09"), ctx("kiwoom")); });
  EXPECT_NE(renamed.what.find("없는 항목: stk_min_pole_chart_qry[].low_pric"), std::string::npos) << renamed.what;
  // No bars that day: an empty answer, not a failure.
  srv.route(kChart, reply(200, R"({"stk_cd":"005930","stk_min_pole_chart_qry":[],"return_code":0})"));
  EXPECT_TRUE(kiwoom().fetch_bars(kr_day("2026-03-09"), ctx("kiwoom")).bars.empty());
}

TEST_F(KiwoomTest, TokenUsesSecretkeyAndExpiresDtRateLimitMessageIsRetried) {
  int calls = 0;
  auto inner = [this, &calls](const FixtureRequest& r) -> FixtureResponse {
    if (++calls <= 2)
      return reply(200, R"({"return_code":5,"return_msg":"허용된 요청 개수를 초과하였습니다[1700:ka10080]"})");
    return reply(200, json{{"stk_min_pole_chart_qry", json::array({{{"cur_prc", "70000"}, {"trde_qty", ""},
                                                                  {"cntr_tm", "20260309100000"}, {"open_pric", "70000"},
                                                                  {"high_pric", "70000"}, {"low_pric", "70000"}}})},
                           {"return_code", 0}}
                          .dump());
  };
  srv.route(kChart, inner);
  md::BarDataset ds = kiwoom().fetch_bars(kr_day("2026-03-09"), ctx("kiwoom"));
  EXPECT_EQ(calls, 3);
  EXPECT_TRUE(ds.bars.empty());   // the only bar had no volume: left out, not a zero-volume bar
  json tok = json::parse(srv.last_request(kToken).body);
  EXPECT_EQ(tok["secretkey"], kAppSecret);
  EXPECT_FALSE(tok.contains("appsecret"));
  auto cached = brokers::load_token(token_file("kiwoom"));
  ASSERT_TRUE(cached);
  EXPECT_EQ(mt::iso_kst(cached->expires_at), "2099-12-31T23:59:00+09:00");

  // Persistent rate limit: a typed failure, no secret in it.
  srv.route(kChart, reply(200, R"({"return_code":5,"return_msg":"허용된 요청 개수를 초과하였습니다[1700]"})"));
  auto limited = broker_failure([&] { kiwoom().fetch_bars(kr_day("2026-03-09"), ctx("kiwoom")); });
  EXPECT_EQ(limited.kind, std::string("KiwoomApiError ") + md::ST_RATE_LIMITED + " kiwoom");
  expect_no_secret(limited.what);
  // An exceeded date range is a plain refusal: not retried, not a rate limit.
  srv.route(kChart, reply(200, R"({"return_code":2,"return_msg":"조회 가능 기간을 초과하였습니다"})"));
  int before = srv.hits(kChart);
  EXPECT_EQ(broker_failure([&] { kiwoom().fetch_bars(kr_day("2026-03-09"), ctx("kiwoom")); }).kind,
            std::string("KiwoomApiError ") + md::ST_UNAVAILABLE + " kiwoom");
  EXPECT_EQ(srv.hits(kChart) - before, 1);
  // An expired cached token: exactly one new issue.
  brokers::save_token(token_file("kiwoom"), {"old", brokers::wall_now() - std::chrono::minutes(1),
                                             brokers::wall_now() - std::chrono::hours(24), brokers::key_tag(kAppKey)});
  serve_chart(400);
  kiwoom().fetch_bars(kr_day("2026-03-09"), ctx("kiwoom"));
  kiwoom().fetch_bars(kr_day("2026-03-09"), ctx("kiwoom"));
  EXPECT_EQ(srv.hits(kToken), 2);
}

TEST_F(KiwoomTest, InvestorFlowOneCallPerMeasureWithCategoryGaps) {
  std::vector<FixtureRequest> seen;
  srv.route(kStkinfo, [&](const FixtureRequest& r) {
    seen.push_back(r);
    return reply(200, read_fixture("brokers/kiwoom_investor_qty.json"));
  });
  json q = kiwoom().investor_flow("005930", 20, "net_quantity", ctx("kiwoom"));
  ASSERT_EQ(seen.size(), 1u);
  json body = json::parse(seen[0].body);
  EXPECT_EQ(body["amt_qty_tp"], "2");
  EXPECT_EQ(body["trde_tp"], "0");
  EXPECT_EQ(seen[0].headers.at("api-id"), "ka10059");
  ASSERT_EQ(q["rows"].size(), 2u);
  const json& r0 = q["rows"][0];
  EXPECT_EQ(r0["date"], "2026-03-09");
  EXPECT_DOUBLE_EQ(r0["close"].get<double>(), 71000);
  EXPECT_DOUBLE_EQ(r0["values"]["individual"].get<double>(), -120000);   // net selling keeps its sign
  EXPECT_DOUBLE_EQ(r0["values"]["other_finance"].get<double>(), 0);
  EXPECT_EQ(r0["balance_ok"], true);
  const json& r1 = q["rows"][1];
  EXPECT_FALSE(r1["values"].contains("other_corporation"));   // "" on a final day: no value, not 0
  EXPECT_TRUE(r1["unsettled"].empty());
  EXPECT_EQ(r1["balance_ok"], true);   // this board's institutions include the state
  for (const char* c : {"foreign_registered", "merchant_bank", "other_organization", "other"})
    EXPECT_NE(std::find(q["unavailable"].begin(), q["unavailable"].end(), c), q["unavailable"].end()) << c;

  kiwoom().investor_flow("005930", 20, "net_amount", ctx("kiwoom"));
  EXPECT_EQ(json::parse(seen.back().body)["amt_qty_tp"], "1");
  json cfd = kiwoom().supply_pressure("005930", "cfd", 20, ctx("kiwoom"));
  EXPECT_EQ(cfd["status"], "unsupported");
}

TEST_F(KiwoomTest, CreditMergesMarginAndStockLoansByDay) {
  srv.route(kStkinfo, [](const FixtureRequest& r) {
    EXPECT_EQ(r.headers.at("api-id"), "ka10013");
    bool margin = json::parse(r.body)["qry_tp"] == "1";
    json rows = json::array();
    rows.push_back({{"dt", "20260309"}, {"cur_prc", "-71000"}, {"new", margin ? "1200" : "30"},
                    {"rpya", margin ? "800" : "10"}, {"remn", margin ? "250000" : "4000"}, {"amt", "17750"},
                    {"shr_rt", "0.02"}, {"remn_rt", margin ? "0.42" : ""}});
    if (margin) rows.push_back({{"dt", "20260306"}, {"new", ""}, {"rpya", ""}, {"remn", ""}, {"amt", ""}});
    return reply(200, json{{"crd_trde_trend", rows}, {"return_code", 0}}.dump());
  });
  json b = kiwoom().supply_pressure("005930", "credit", 20, ctx("kiwoom"));
  EXPECT_EQ(b["status"], "ok");
  ASSERT_EQ(b["rows"].size(), 1u);   // the day of blanks is no row of zeros
  const json& m = b["rows"][0]["measures"];
  EXPECT_DOUBLE_EQ(m["loan_balance_quantity"].get<double>(), 250000);
  EXPECT_DOUBLE_EQ(m["stock_loan_balance_quantity"].get<double>(), 4000);
  EXPECT_FALSE(m.contains("stock_loan_balance_rate"));
  EXPECT_EQ(b["measure_units"]["loan_balance_amount"], brokers::AMOUNT_UNIT_UNVERIFIED);
  EXPECT_EQ(b["data_as_of"], "2026-03-09");
  EXPECT_EQ(b["data_completeness"], "complete");
}

TEST_F(KiwoomTest, UsBarsAreUnsupportedAndTossIsUnverified) {
  EXPECT_EQ(kiwoom().intraday_capability("US", "real"), "unsupported");
  EXPECT_EQ(kiwoom().intraday_capability("KR", "real"), "available");
  md::BarRequest us;
  us.market = "US";
  us.symbol = "AAPL";
  EXPECT_EQ(broker_failure([&] { kiwoom().fetch_bars(us, ctx("kiwoom")); }).kind,
            std::string("KiwoomApiError ") + md::ST_UNSUPPORTED + " kiwoom");
  auto toss = md::provider("toss");
  ASSERT_TRUE(toss);
  EXPECT_EQ(toss->intraday_capability("KR", ""), "unverified");
  EXPECT_EQ(toss->intraday_capability("US", ""), "unverified");
  EXPECT_EQ(broker_failure([&] { toss->fetch_bars(kr_day("2026-03-09"), ctx("toss")); }).kind,
            std::string("TossApiError ") + md::ST_UNSUPPORTED + " toss");
  EXPECT_EQ(srv.hits(kToken), 0);
}

}  // namespace
