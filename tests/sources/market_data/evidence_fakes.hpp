#pragma once
// Stand-in brokers for the evidence service and tools: each answers from a callback,
// counts its calls, and may declare evidence capabilities. Installed through the
// provider registry's test override and removed again on scope exit, together with
// a temporary home holding the connection state and a frozen clock.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/json.hpp"
#include "market_time/clock.hpp"
#include "sources/market_data/market_data.hpp"
#include "support/fixture_server.hpp"

namespace tessaro::testing {

namespace md = market_data;

class FakeBroker : public md::Provider {
 public:
  explicit FakeBroker(std::string id) : id_(std::move(id)) {}
  std::string id() const override { return id_; }
  bool is_broker() const override { return true; }
  std::string intraday_capability(const std::string&, const std::string&) const override { return "available"; }
  md::BarDataset fetch_bars(const md::BarRequest&, const md::ProviderContext&) override {
    throw md::ProviderError("no bars here", id_, md::ST_UNSUPPORTED);
  }
  json investor_flow(const std::string& code, int days, const std::string& measure,
                     const md::ProviderContext& ctx) override {
    ++flow_calls;
    track();
    Leave leave{this};
    if (!flow) return Provider::investor_flow(code, days, measure, ctx);
    return flow(code, days, measure);
  }
  json supply_pressure(const std::string& code, const std::string& kind, int days,
                       const md::ProviderContext& ctx) override {
    ++pressure_calls;
    track();
    Leave leave{this};
    {
      std::lock_guard<std::mutex> lk(mu);
      asked_kinds.push_back(kind);
    }
    if (!pressure) return Provider::supply_pressure(code, kind, days, ctx);
    return pressure(code, kind, days);
  }
  json evidence_capabilities(const std::string&) const override { return caps; }

  std::function<json(const std::string&, int, const std::string&)> flow;
  std::function<json(const std::string&, const std::string&, int)> pressure;
  json caps = nullptr;
  std::chrono::milliseconds delay{0};
  std::atomic<int> flow_calls{0}, pressure_calls{0}, running{0}, max_running{0};
  std::mutex mu;
  std::vector<std::string> asked_kinds;

 private:
  struct Leave {
    FakeBroker* b;
    ~Leave() { --b->running; }
  };
  void track() {
    int now = ++running;
    int seen = max_running.load();
    while (now > seen && !max_running.compare_exchange_weak(seen, now)) {
    }
    if (delay.count()) std::this_thread::sleep_for(delay);
  }
  std::string id_;
};

// A temporary home with the given brokers connected, fakes for kis, kiwoom and toss
// installed, and the clock frozen at `kst` ("YYYY-MM-DD HH:MM").
struct EvidenceEnv {
  TempHome home;
  std::shared_ptr<FakeBroker> kis = std::make_shared<FakeBroker>("kis");
  std::shared_ptr<FakeBroker> kiwoom = std::make_shared<FakeBroker>("kiwoom");
  std::shared_ptr<FakeBroker> toss = std::make_shared<FakeBroker>("toss");

  explicit EvidenceEnv(const std::string& kst) {
    md::override_provider_for_tests("kis", kis);
    md::override_provider_for_tests("kiwoom", kiwoom);
    md::override_provider_for_tests("toss", toss);
    freeze(kst);
  }
  ~EvidenceEnv() {
    for (const char* id : {"kis", "kiwoom", "toss"}) md::override_provider_for_tests(id, nullptr);
    mt::set_now_for_tests(std::nullopt);
  }
  void freeze(const std::string& kst) {
    auto day = mt::parse_day(kst.substr(0, 10));
    mt::set_now_for_tests(mt::from_kst(*day, std::stoi(kst.substr(11, 2)), std::stoi(kst.substr(14, 2))));
  }
  static void connect(const std::vector<std::string>& ids, std::optional<std::string> primary,
                      long long routing_generation = 1) {
    md::ConnectionState s;
    s.primary_provider = std::move(primary);
    s.routing_generation = routing_generation;
    for (const auto& id : ids) s.providers[id] = {"real", "key-" + id, "secret-" + id, "", "2026-09-01T09:00:00+09:00"};
    md::save_state_v2(s);
  }
  EvidenceEnv(const EvidenceEnv&) = delete;
  EvidenceEnv& operator=(const EvidenceEnv&) = delete;
};

// A flow row; `values` as given (a category left out has no value).
inline json flow_row(const std::string& date, json values, const std::string& state = "final",
                     json unsettled = json::array()) {
  return {{"date", date},         {"close", 70000},   {"volume", 1000000},
          {"values", values},     {"unsettled", unsettled}, {"data_state", state},
          {"balance_ok", true},   {"raw_categories", json::object()}};
}

inline json flow_record(const std::string& code, json rows, json unavailable = json::array()) {
  return {{"symbol", code}, {"provider", "kis"}, {"profile", "real"}, {"market", "KR"}, {"measure", "net_quantity"},
          {"unit", "shares"}, {"data_state", "final"}, {"source_endpoint", "investor_trade_by_stock_daily"},
          {"coverage", {{"complete", true}, {"returned_rows", rows.size()}, {"truncated", false}}},
          {"warnings", json::array()}, {"unavailable", unavailable}, {"rows", rows}};
}

inline json daily_block(const std::string& kind, const std::vector<std::string>& dates) {
  json rows = json::array();
  for (const auto& d : dates) rows.push_back({{"date", d}, {"observed_at", nullptr}, {"measures", {{"volume", 1200}}}});
  return {{"kind", kind}, {"status", "ok"}, {"provider", "kis"}, {"market", "KR"}, {"granularity", "daily"},
          {"measure_units", {{"volume", "shares"}}}, {"data_as_of", dates.empty() ? json(nullptr) : json(dates.front())},
          {"data_completeness", "complete"}, {"unavailable_reason", nullptr}, {"coverage", {{"complete", true}}},
          {"warnings", json::array()}, {"rows", rows}, {"items", json::array()}, {"raw_fields", {"ssts_cntg_qty"}}};
}

}  // namespace tessaro::testing
