#pragma once
// Loopback set-up shared by the broker client tests: a fixture server standing in
// for the broker hosts, a temporary home, short waits and a frozen market clock.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "core/json.hpp"
#include "market_time/clock.hpp"
#include "sources/market_data/market_data.hpp"
#include "support/fixture_server.hpp"

namespace tessaro::testing::brokertest {

inline const std::string kKis = "/openapi.koreainvestment.com:9443";
inline const std::string kKiwoom = "/api.kiwoom.com";
inline const std::string kAppKey = "PSkeyAAAA1111bbbbCCCC";
inline const std::string kAppSecret = "SECRETzzzz9999yyyyXXXXsecret";

inline mt::Day day(const char* s) { return *mt::parse_day(s); }

class BrokerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    envs_.push_back(std::make_unique<ScopedEnv>("TESSARO_KIS_BASE_URL", srv.base_url()));
    envs_.push_back(std::make_unique<ScopedEnv>("TESSARO_KIWOOM_BASE_URL", srv.base_url()));
    envs_.push_back(std::make_unique<ScopedEnv>("TESSARO_BROKER_RATE_PER_S", "1000"));
    envs_.push_back(std::make_unique<ScopedEnv>("TESSARO_BROKER_RETRIES", "2"));
    envs_.push_back(std::make_unique<ScopedEnv>("TESSARO_BROKER_RETRY_WAIT_S", "0.01"));
    envs_.push_back(std::make_unique<ScopedEnv>("TESSARO_HTTP_TIMEOUT_S", "3"));
    set_now("2026-03-10", 20, 0);   // a Tuesday evening, after the close
  }
  void TearDown() override { mt::set_now_for_tests(std::nullopt); }

  void set_now(const char* d, int h, int m, int s = 0) {
    mt::set_now_for_tests(mt::from_kst(day(d), h, m) + std::chrono::seconds(s));
  }

  market_data::ProviderContext ctx(const std::string& id, const std::string& profile = "real") const {
    market_data::ProviderContext c;
    c.provider = id;
    c.profile = profile;
    c.app_key = kAppKey;
    c.app_secret = kAppSecret;
    c.home = home.path();
    return c;
  }
  std::filesystem::path token_file(const std::string& id, const std::string& profile = "real") const {
    return std::filesystem::path(home.path()) / "brokers" / "tokens" / (id + "-" + profile + ".json");
  }
  // A KR regular-session request for one day.
  static market_data::BarRequest kr_day(const char* d, const std::string& symbol = "005930") {
    market_data::BarRequest r;
    r.market = "KR";
    r.symbol = symbol;
    r.venue = "KRX";
    r.trading_date = d;
    auto w = market_data::session_window("KR", day(d));
    r.start_at = w->start_at;
    r.end_at = w->close_at;
    return r;
  }
  // What a call that must fail with a broker error said: "class status broker" and the message.
  struct Failure {
    std::string kind, what;
  };
  template <class F>
  static Failure broker_failure(F&& fn) {
    try {
      fn();
    } catch (const market_data::BrokerApiError& e) {
      return {std::string(e.class_name()) + " " + e.status() + " " + e.broker(), e.what()};
    }
    ADD_FAILURE() << "expected a broker failure";
    return {};
  }
  // Text that must never show a secret.
  static void expect_no_secret(const std::string& text) {
    EXPECT_EQ(text.find(kAppKey), std::string::npos) << text;
    EXPECT_EQ(text.find(kAppSecret), std::string::npos) << text;
  }

  FixtureServer srv;
  TempHome home;

 private:
  std::vector<std::unique_ptr<ScopedEnv>> envs_;
};

}  // namespace tessaro::testing::brokertest
