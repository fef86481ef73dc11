#include <gtest/gtest.h>

#include "server/registry.hpp"
#include "sources/market_data/evidence_fakes.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const char* kNow = "2026-09-18 10:00";   // Friday, session open

json call(const char* tool, const json& args) {
  std::string r = server::call_tool(tool, args);
  EXPECT_EQ(r.find("\\u"), std::string::npos) << "non-ASCII escaped: " << r.substr(0, 200);
  EXPECT_EQ(r.find("\n"), std::string::npos);
  return json::parse(r);
}

json flow_of(const json& args) { return call("get_detailed_investor_flow", args); }
json pressure_of(const json& args) { return call("get_supply_pressure", args); }

void serve_flow(FakeBroker& b, json unavailable = json::array()) {
  b.flow = [unavailable](const std::string& code, int, const std::string&) {
    return flow_record(code,
                       json::array({flow_row("2026-09-17", {{"individual", -120}, {"institution_total", 80},
                                                            {"financial_investment", 50}, {"insurance", 30}}),
                                    flow_row("2026-09-16", {{"individual", 40}})}),
                       unavailable);
  };
}

}  // namespace

TEST(GetDetailedInvestorFlow, ValidationTexts) {
  EvidenceEnv env(kNow);
  EvidenceEnv::connect({"kis"}, "kis");
  json none = flow_of(json::object());
  EXPECT_FALSE(none["ok"]);
  EXPECT_EQ(none["_meta"]["warnings"], json::array({"code 또는 codes 중 하나는 반드시 지정해야 합니다."}));
  EXPECT_EQ(none["_meta"]["data_completeness"], "none");
  EXPECT_EQ(none["_meta"]["provider_status"], "entity_not_found");

  json codes = json::array();
  for (int i = 0; i < 31; ++i) codes.push_back("0" + std::to_string(10000 + i));
  codes.push_back("010000");   // a repeat does not count
  json many = flow_of({{"codes", codes}});
  EXPECT_EQ(many["_meta"]["warnings"][0], "한 번에 조회할 수 있는 종목은 최대 30개입니다 (요청 31개).");

  json gross = flow_of({{"code", "005930"}, {"measure", "gross"}});
  EXPECT_EQ(gross["_meta"]["warnings"][0], "지원하지 않는 measure입니다: gross (지원: net_quantity, net_amount)");
  EXPECT_EQ(env.kis->flow_calls, 0);
}

TEST(GetDetailedInvestorFlow, ExperimentalBrokerOnlyWithTheSwitchExactlyOne) {
  EvidenceEnv env(kNow);
  EvidenceEnv::connect({"kis", "toss"}, "kis");
  serve_flow(*env.toss);
  json hidden = flow_of({{"code", "005930"}, {"source", "toss"}});
  EXPECT_EQ(hidden["_meta"]["warnings"][0], "지원하지 않는 source입니다: toss (지원: kis, kiwoom)");
  {
    ScopedEnv on("ORVANE_ENABLE_EXPERIMENTAL_BROKERS", "true");
    EXPECT_EQ(flow_of({{"code", "005930"}, {"source", "toss"}})["_meta"]["warnings"][0],
              "지원하지 않는 source입니다: toss (지원: kis, kiwoom)");
  }
  EXPECT_EQ(env.toss->flow_calls, 0);
  ScopedEnv on("ORVANE_ENABLE_EXPERIMENTAL_BROKERS", "1");
  json shown = flow_of({{"code", "005930"}, {"source", "toss"}});
  EXPECT_TRUE(shown["ok"]);
  EXPECT_EQ(shown["provider"], "toss");
  EXPECT_EQ(flow_of({{"code", "005930"}, {"source", "nope"}})["_meta"]["warnings"][0],
            "지원하지 않는 source입니다: nope (지원: kis, kiwoom, toss)");
}

TEST(GetDetailedInvestorFlow, CodesMergedInOrderAndMissingCategoriesStayAbsent) {
  EvidenceEnv env(kNow);
  EvidenceEnv::connect({"kis", "kiwoom"}, "kis");
  serve_flow(*env.kis, {"pension", "private_equity"});   // known categories keep their order
  env.kiwoom->caps = {{"investor_flow", "available"}, {"flow_categories", {"pension"}}};
  json r = flow_of({{"code", "005930"}, {"codes", {"005930", " 000660 "}}, {"days", 500}});
  ASSERT_TRUE(r["ok"]);
  ASSERT_EQ(r["records"].size(), 2u);
  EXPECT_EQ(r["records"][0]["symbol"], "005930");
  EXPECT_EQ(r["records"][1]["symbol"], "000660");
  EXPECT_EQ(env.kis->flow_calls, 2);
  EXPECT_EQ(r["unit"], "shares");
  EXPECT_EQ(r["entity_failures"], json::array());

  const json& row = r["records"][0]["rows"][1];
  EXPECT_EQ(row["date"], "2026-09-16");
  EXPECT_EQ(row["values"], json({{"individual", 40}}));   // no foreign key, and never a 0 for it
  EXPECT_EQ(r["data_availability"]["unavailable"], json::array({"private_equity", "pension"}));

  const json& m = r["_meta"];
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["coverage"], json::parse(R"({"coverage_complete":false,"reason":"source_limit"})"));
  EXPECT_EQ(m["data_as_of"], "2026-09-17");
  EXPECT_EQ(m["data_basis"], "last_close");   // yesterday's rows are final even while the session runs
  EXPECT_EQ(m["provider"], "kis");
  EXPECT_EQ(m["provider_status"], "ok");
  EXPECT_EQ(m["data_availability"], r["data_availability"]);
  EXPECT_EQ(m["warnings"].back(),
            "이미 연결된 kiwoom 는 이 항목을 제공합니다. source=\"kiwoom\" 로 요청하면 받을 수 있습니다. 자동으로 바꾸지 않습니다.");
  EXPECT_EQ(env.kiwoom->flow_calls, 0);
}

TEST(GetDetailedInvestorFlow, NamedBrokerDownIsAnErrorReplyNotAnotherBrokersData) {
  EvidenceEnv env(kNow);
  EvidenceEnv::connect({"kis", "kiwoom"}, "kis");
  serve_flow(*env.kis);
  env.kiwoom->flow = [](const std::string&, int, const std::string&) -> json {
    throw md::BrokerApiError("kiwoom 서버 응답 없음", "kiwoom", md::ST_UNAVAILABLE);
  };
  json r = flow_of({{"code", "005930"}, {"source", "kiwoom"}});
  EXPECT_FALSE(r["ok"]);
  EXPECT_EQ(r["provider"], "kiwoom");
  EXPECT_EQ(r["records"], json::array());
  EXPECT_EQ(env.kis->flow_calls, 0);
  const json& m = r["_meta"];
  EXPECT_EQ(m["data_completeness"], "none");
  EXPECT_EQ(m["provider_status"], "provider_unavailable");
  EXPECT_EQ(m["warnings"], json::array({"kiwoom 서버 응답 없음",
                                        "005930 조회 실패(provider_unavailable). 다른 증권사로 대체하지 않았습니다."}));

  // Nothing connected: "auto" has no broker to ask.
  EvidenceEnv::connect({}, std::nullopt);
  json none = flow_of({{"codes", {"005930", "000660"}}});
  EXPECT_EQ(none["_meta"]["provider_status"], "not_configured");
  EXPECT_EQ(none["entity_failures"].size(), 2u);

  // Every stock of a batch failed: the most frequent reason decides the status.
  EvidenceEnv::connect({"kis"}, "kis");
  env.kis->flow = [](const std::string& code, int, const std::string&) -> json {
    if (code == "000660") throw md::ProviderError("no", "kis", md::ST_UNSUPPORTED);
    throw md::BrokerApiError("EGW00201", "kis", md::ST_RATE_LIMITED);
  };
  json all = flow_of({{"codes", {"005930", "000660", "035720"}}});
  EXPECT_EQ(all["_meta"]["provider_status"], "rate_limited");
  // A tie goes to the reason seen first.
  env.kis->flow = [](const std::string& code, int, const std::string&) -> json {
    if (code == "000660" || code == "035720") throw md::ProviderError("no", "kis", md::ST_UNSUPPORTED);
    throw md::BrokerApiError("EGW00201", "kis", md::ST_RATE_LIMITED);
  };
  json tie = flow_of({{"codes", {"005930", "000660", "035720", "051910"}}});
  EXPECT_EQ(tie["_meta"]["provider_status"], "rate_limited");
}

TEST(GetSupplyPressure, SomeKindsServedIsPartialWithExactServedKinds) {
  EvidenceEnv env(kNow);
  EvidenceEnv::connect({"kis"}, "kis");
  env.kis->pressure = [](const std::string&, const std::string& kind, int) -> json {
    if (kind == "cfd") throw md::ProviderError("kis 는 cfd 자료를 제공하지 않습니다.", "kis", md::ST_UNSUPPORTED);
    return daily_block(kind, kind == "credit" ? std::vector<std::string>{"2026-09-16"}
                                              : std::vector<std::string>{"2026-09-17", "2026-09-16"});
  };
  json r = pressure_of({{"code", "005930"}, {"kind", "credit"}, {"kinds", {"short_selling", "credit", "cfd"}}});
  EXPECT_TRUE(r["ok"]);
  EXPECT_EQ(r["requested_kinds"], json::parse(R"(["credit","short_selling","cfd"])"));
  ASSERT_EQ(r["entities"].size(), 1u);
  const json& blocks = r["entities"][0]["blocks"];
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[0]["kind"], "credit");
  EXPECT_EQ(blocks[2]["status"], "unsupported");
  EXPECT_EQ(blocks[2]["unavailable_reason"], "unsupported_by_selected_provider");
  EXPECT_EQ(blocks[2]["rows"], json::array());
  const json& m = r["_meta"];
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["coverage"]["served_kinds"], json::parse(R"(["credit","short_selling"])"));
  EXPECT_EQ(m["coverage"]["coverage_complete"], false);
  EXPECT_EQ(m["coverage"]["reason"], "source_limit");
  EXPECT_EQ(m["data_as_of"], "2026-09-17");
  EXPECT_EQ(m["warnings"], json::array({"005930 cfd: kis 는 cfd 자료를 제공하지 않습니다."}));

  // No kind given: all six; none served is NONE.
  env.kis->pressure = nullptr;
  json none = pressure_of({{"code", "005930"}});
  EXPECT_EQ(none["requested_kinds"].size(), 6u);
  EXPECT_FALSE(none["ok"]);
  EXPECT_EQ(none["_meta"]["provider_status"], "unsupported");
  EXPECT_EQ(none["_meta"]["data_completeness"], "none");
  EXPECT_EQ(none["_meta"]["coverage"]["served_kinds"], json::array());
}

TEST(GetSupplyPressure, FailedStocksNamedAndOthersKept) {
  EvidenceEnv env(kNow);
  EvidenceEnv::connect({"kiwoom"}, "kiwoom");
  env.kiwoom->pressure = [](const std::string& code, const std::string& kind, int) -> json {
    if (code == "000660") throw md::BrokerApiError("token refused", "kiwoom", md::ST_AUTH_FAILED);
    return daily_block(kind, {"2026-09-17"});
  };
  json r = pressure_of({{"codes", {"005930", "000660"}}, {"kinds", {"short_selling"}}});
  EXPECT_EQ(r["provider"], "kiwoom");
  EXPECT_EQ(r["entities"].size(), 1u);
  EXPECT_EQ(r["entity_failures"], json::parse(R"([{"code":"000660","reason":"authentication_failed"}])"));
  EXPECT_EQ(r["_meta"]["data_completeness"], "partial");
  EXPECT_NE(std::find(r["_meta"]["warnings"].begin(), r["_meta"]["warnings"].end(),
                      json("000660 조회 실패(authentication_failed). 다른 증권사로 대체하지 않았습니다.")),
            r["_meta"]["warnings"].end());
  EXPECT_EQ(pressure_of({{"code", "005930"}, {"source", "kis"}})["_meta"]["provider_status"], "not_configured");
}

// A broker's error text can carry the request URL with its keys in the query:
// the user sees the URL with the query masked, never the keys.
TEST(EvidenceTools, BrokerErrorUrlsReachTheUserWithTheirQueriesMasked) {
  EvidenceEnv env(kNow);
  EvidenceEnv::connect({"kiwoom"}, "kiwoom");
  const std::string leak = "https://api.kiwoom.com/api/dostk/frgnistt?appkey=SECRETKEY&token=TKN123";
  env.kiwoom->flow = [leak](const std::string&, int, const std::string&) -> json {
    throw md::BrokerApiError("kiwoom 응답 오류: " + leak, "kiwoom", md::ST_UNAVAILABLE);
  };
  env.kiwoom->pressure = [leak](const std::string& code, const std::string& kind, int) -> json {
    if (code == "000660") throw std::runtime_error("transfer failed for " + leak);
    json b = daily_block(kind, {"2026-09-17"});
    b["warnings"] = json::array({"partial page from " + leak});
    return b;
  };
  std::string flow = server::call_tool("get_detailed_investor_flow", {{"code", "005930"}, {"source", "kiwoom"}});
  std::string pressure =
      server::call_tool("get_supply_pressure", {{"codes", {"005930", "000660"}}, {"kinds", {"short_selling"}}});
  for (const std::string& r : {flow, pressure}) {
    EXPECT_EQ(r.find("SECRETKEY"), std::string::npos) << r;
    EXPECT_EQ(r.find("TKN123"), std::string::npos) << r;
  }
  EXPECT_NE(flow.find("https://api.kiwoom.com/api/dostk/frgnistt?…"), std::string::npos) << flow;
  EXPECT_NE(pressure.find("https://api.kiwoom.com/api/dostk/frgnistt?…"), std::string::npos) << pressure;
  // The mask ends at the text's own closing parenthesis.
  EXPECT_NE(pressure.find("transfer failed for https://api.kiwoom.com/api/dostk/frgnistt?…)"), std::string::npos)
      << pressure;
}
