#include <gtest/gtest.h>

#include <filesystem>

#include "core/files.hpp"
#include "sources/market_data/evidence_fakes.hpp"
#include "sources/market_data/evidence_service.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

md::EvidenceService service(bool with_cache = true) {
  std::optional<md::EvidenceCache> cache;
  if (with_cache) cache.emplace(home_dir());
  return md::EvidenceService(md::runtime(), {"kis", "kiwoom"}, cache);
}

json simple_rows(const std::vector<std::string>& dates, const std::string& state = "final") {
  json rows = json::array();
  for (const auto& d : dates) rows.push_back(flow_row(d, {{"individual", -5}, {"foreign", 10}}, state));
  return rows;
}

}  // namespace

// Routing (auto = the primary only, a named broker strict) is checked through the tools.
TEST(EvidenceServiceRouting, AlternativeIsNamedButNeverAsked) {
  EvidenceEnv env("2026-09-18 10:00");
  EvidenceEnv::connect({"kis", "kiwoom"}, "kis");
  env.kiwoom->caps = {{"investor_flow", "available"}, {"pressure", {{"cfd", "available"}}}};
  env.kis->caps = {{"investor_flow", "available"}, {"pressure", {{"cfd", "unsupported"}}}};
  env.kis->pressure = [](const std::string&, const std::string& kind, int) {
    return daily_block(kind, {"2026-09-17"});
  };
  json pr = service().supply_pressure_batch({"005930"}, {"short_selling", "cfd"}, 5, "kis");
  EXPECT_EQ(pr["alternative_provider"], "kiwoom");
  EXPECT_EQ(pr["fallback_blocks"]["cfd"]["status"], "unsupported");
  EXPECT_EQ(pr["fallback_blocks"]["cfd"]["unavailable_reason"], "unsupported_by_selected_provider");
  EXPECT_EQ(pr["entities"][0]["items"]["short_selling"]["status"], "ok");
  EXPECT_FALSE(pr["entities"][0]["items"].contains("cfd"));
  EXPECT_EQ(env.kis->asked_kinds, std::vector<std::string>{"short_selling"});   // cfd was not asked
  EXPECT_EQ(env.kiwoom->flow_calls + env.kiwoom->pressure_calls, 0);
}

TEST(EvidenceServiceBatch, BoundedConcurrencyKeepsPartialResults) {
  EvidenceEnv env("2026-09-18 10:00");
  EvidenceEnv::connect({"kis"}, "kis");
  env.kis->delay = std::chrono::milliseconds(15);
  env.kis->flow = [](const std::string& code, int, const std::string&) -> json {
    if (code == "000003") throw md::BrokerApiError("EGW00201 초당 거래건수 초과", "kis", md::ST_RATE_LIMITED);
    if (code == "000005") throw ReadTimeout("read timed out");
    return flow_record(code, simple_rows({"2026-09-17", "2026-09-16"}));
  };
  std::vector<std::string> codes;
  for (int i = 1; i <= 9; ++i) codes.push_back("00000" + std::to_string(i));
  json r = service(false).investor_flow_batch(codes, 5, "net_quantity", "auto");
  EXPECT_TRUE(r["ok"]);
  EXPECT_LE(env.kis->max_running, 4);
  EXPECT_EQ(r["records"].size(), 7u);
  EXPECT_EQ(r["records"][0]["symbol"], "000001");   // input order, whatever finished first
  EXPECT_EQ(r["entity_failures"],
            json::parse(R"([{"code":"000003","reason":"rate_limited"},{"code":"000005","reason":"provider_unavailable"}])"));
}

TEST(EvidenceServiceBatch, ConnectionSwitchedMidRequestDiscardsTheResult) {
  EvidenceEnv env("2026-09-18 10:00");
  EvidenceEnv::connect({"kis", "kiwoom"}, "kis");
  env.kis->flow = [](const std::string& code, int, const std::string&) {
    EvidenceEnv::connect({"kis", "kiwoom"}, "kiwoom", 2);   // the user switched the primary broker
    return flow_record(code, simple_rows({"2026-09-17"}));
  };
  json r = service(false).investor_flow("005930", 5, "net_quantity", "auto");
  EXPECT_FALSE(r["ok"]);
  EXPECT_EQ(r["error_code"], "provider_changed_during_request");
  EXPECT_TRUE(r["records"].empty());
}

TEST(EvidenceCache, FinishedDaysOnlyAndServedBackWithoutACall) {
  EvidenceEnv env("2026-09-17 14:00");   // Thursday, session open
  EvidenceEnv::connect({"kis"}, "kis");
  env.kis->flow = [](const std::string& code, int, const std::string&) {
    json rows = json::array({flow_row("2026-09-17", {{"foreign", 3}}, "provisional"),
                             flow_row("2026-09-16", {{"foreign", 2}}, "final", {"pension"}),
                             flow_row("20260915", {{"foreign", 1}})});
    return flow_record(code, rows);
  };
  md::EvidenceCache cache(home_dir());
  auto path = cache.path_of("kis", "real", "flow", "005930", "net_quantity");
  json r = service().investor_flow("005930", 3, "net_quantity", "auto");
  ASSERT_TRUE(r["ok"]);
  json file = json::parse(*read_file(path));
  // Today's provisional row and the row with an unsettled category stay out.
  EXPECT_EQ(file["rows"].size(), 1u);
  EXPECT_TRUE(file["rows"].contains("2026-09-15"));
  EXPECT_EQ(file["head"]["source_endpoint"], "investor_trade_by_stock_daily");

  // Saturday: the same three days are final now, fetched once, then served from disk.
  env.freeze("2026-09-19 12:00");
  env.kis->flow = [](const std::string& code, int, const std::string&) {
    return flow_record(code, simple_rows({"2026-09-18", "2026-09-17", "2026-09-16"}));
  };
  int before = env.kis->flow_calls;
  json first = service().investor_flow("005930", 3, "net_quantity", "auto");
  EXPECT_FALSE(first["records"][0]["coverage"].value("cache_hit", false));
  json second = service().investor_flow("005930", 3, "net_quantity", "auto");
  EXPECT_EQ(env.kis->flow_calls, before + 1);
  ASSERT_EQ(second["records"].size(), 1u);
  const json& rec = second["records"][0];
  EXPECT_TRUE(rec["coverage"]["cache_hit"]);
  EXPECT_EQ(rec["rows"][0]["date"], "2026-09-18");
  EXPECT_EQ(rec["rows"].size(), 3u);
  EXPECT_EQ(rec["provider"], "kis");
  // A longer window than the cache holds goes back to the broker.
  service().investor_flow("005930", 5, "net_quantity", "auto");
  EXPECT_EQ(env.kis->flow_calls, before + 2);

  // The same day after the after-market close (20:00) may be kept; before it not.
  EXPECT_FALSE(md::EvidenceCache::row_is_final(flow_row("2026-09-18", json::object()),
                                               mt::from_kst(*mt::parse_day("2026-09-18"), 19, 59)));
  EXPECT_TRUE(md::EvidenceCache::row_is_final(flow_row("2026-09-18", json::object()),
                                              mt::from_kst(*mt::parse_day("2026-09-18"), 20, 1)));
}

TEST(EvidenceCache, PressureDailyBlocksCachedIntradayNot) {
  EvidenceEnv env("2026-09-19 12:00");
  EvidenceEnv::connect({"kiwoom"}, "kiwoom");
  env.kiwoom->pressure = [](const std::string&, const std::string& kind, int) {
    json b = daily_block(kind, {"2026-09-18", "2026-09-17"});
    if (kind == "program_trading") {
      b["granularity"] = "intraday";
      b["rows"][0]["observed_at"] = "2026-09-18T15:30:00+09:00";
    }
    return b;
  };
  auto run = [] { return service().supply_pressure_batch({"005930"}, {"short_selling", "program_trading"}, 2, "auto"); };
  run();
  json again = run();
  EXPECT_EQ(env.kiwoom->pressure_calls, 3);   // short selling from disk the second time
  EXPECT_TRUE(again["entities"][0]["items"]["short_selling"]["coverage"]["cache_hit"]);
  EXPECT_EQ(again["entities"][0]["items"]["short_selling"]["data_as_of"], "2026-09-18");
  EXPECT_FALSE(std::filesystem::exists(
      md::EvidenceCache(home_dir()).path_of("kiwoom", "real", "pressure", "005930", "program_trading")));
}
