// Event windows: alignment on holidays, halted days and listing day, returns
// against the D-1 close, volume basis, flow sections and validation codes.
#include <gtest/gtest.h>

#include "core/result_meta.hpp"
#include "analysis/event_reaction/event_reaction.hpp"

using namespace tessaro;
namespace er = tessaro::event_reaction;

namespace {

// KRX trading days around the 2025 year end (12-25 and 01-01 closed, 12-31 closed).
const std::vector<std::string> kDays = {"20251217", "20251218", "20251219", "20251222", "20251223", "20251224",
                                        "20251226", "20251229", "20251230", "20260102", "20260105", "20260106",
                                        "20260107", "20260108", "20260109"};

json bars_with(const std::vector<std::string>& days, double start = 10000, double step = 100) {
  json rows = json::array();
  double c = start;
  for (const auto& d : days) {
    rows.push_back({{"date", d}, {"open", c}, {"high", c + 50}, {"low", c - 50}, {"close", c}, {"volume", 1000}});
    c += step;
  }
  return rows;
}

std::string dashed(const std::string& d) { return d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2); }

json flow_rows(const std::vector<std::string>& days, bool individual = true) {
  json out = json::array();
  for (auto it = days.rbegin(); it != days.rend(); ++it) {   // newest first
    json r{{"date", dashed(*it)}, {"foreign", 100}, {"institutional", -40}};
    r["individual"] = individual ? json(-60) : json(nullptr);
    out.push_back(r);
  }
  return out;
}

bool has_code(const json& r, const std::string& code) {
  for (const auto& c : r["validation"]["codes"])
    if (c == code) return true;
  return false;
}

er::ReactionArgs args(const std::string& date, json bars, int before = 3, int after = 3) {
  er::ReactionArgs a;
  a.code = "005930";
  a.event_date = date;
  a.ohlcv = std::move(bars);
  a.flows = json::array();
  a.before = before;
  a.after = after;
  return a;
}

}  // namespace

TEST(EventReactionComponent, HolidayMovesD0ToNextTradingDay) {
  auto a = args("20251225", bars_with(kDays));
  a.flows = flow_rows(kDays);
  json r = er::build_event_reaction(a);
  EXPECT_EQ(r["validation"]["status"], "usable") << r["validation"].dump();
  EXPECT_EQ(r["alignment"]["d0"], "2025-12-26");
  EXPECT_EQ(r["alignment"]["shifted"], true);
  EXPECT_EQ(r["alignment"]["reason"], "no_trading_on_event_date");
  // Base = D-1 = 12-24 close 10500; D0 = 12-26 10600; D+3 = 01-02 10900.
  EXPECT_EQ(r["base"]["date"], "2025-12-24");
  EXPECT_EQ(r["base"]["close"], 10500);
  EXPECT_EQ(r["points"]["D0"]["return_pct"], 0.95);
  EXPECT_EQ(r["points"]["D+1"]["date"], "2025-12-29");
  EXPECT_EQ(r["points"]["D+3"]["date"], "2026-01-02");
  EXPECT_EQ(r["points"]["D+3"]["return_pct"], 3.81);
  EXPECT_EQ(r["points"]["D-3"]["date"], "2025-12-22");
  EXPECT_EQ(r["points"]["D-1"]["return_pct"], 0.0);
  EXPECT_EQ(r["window"]["start_date"], "2025-12-22");
  EXPECT_EQ(r["window"]["end_date"], "2026-01-02");
  // Flow over the same trading days: three days before, the day, three after.
  EXPECT_EQ(r["flow"]["status"], "available");
  EXPECT_EQ(r["flow"]["pre"]["foreign"], 300);
  EXPECT_EQ(r["flow"]["event_day"]["institutional"], -40);
  EXPECT_EQ(r["flow"]["post"]["individual"], -180);

  // The reply's wording and meta for a holiday event: ToolGetEventReaction.
  std::string text = er::format_event_reaction(r);
  EXPECT_NE(text.find("D+3 | 2026-01-02 | 10,900 | +3.81%"), std::string::npos) << text;
  EXPECT_NE(text.find("D-1 | 2025-12-24 | 10,500 | 기준"), std::string::npos);
}

TEST(EventReactionComponent, ListingDayHasNoBaseAndNoNumbers) {
  std::vector<std::string> listed(kDays.begin() + 9, kDays.end());   // first bar 2026-01-02
  json r = er::build_event_reaction(args("2026-01-02", bars_with(listed)));
  EXPECT_EQ(r["validation"]["status"], "unavailable");
  EXPECT_TRUE(has_code(r, er::NO_BASE_CLOSE));
  for (auto& [k, p] : r["points"].items()) {
    EXPECT_EQ(p["status"], "unavailable") << k;
    EXPECT_TRUE(p["return_pct"].is_null()) << k;
  }
  json f = er::reaction_meta_fields(r);
  EXPECT_EQ(f["data_completeness"], rmeta::NONE);
  EXPECT_EQ(f["coverage"]["reason"], "source_limit");
  std::string text = er::format_event_reaction(r);
  EXPECT_NE(text.find("분석 불가"), std::string::npos);
  EXPECT_EQ(text.find("0.00%"), std::string::npos) << "missing must not read as 0 %";
  // An event before the first bar is outside the data held.
  json early = er::build_event_reaction(args("2025-12-30", bars_with(listed)));
  EXPECT_TRUE(has_code(early, er::EVENT_BEFORE_HISTORY));
}

TEST(EventReactionComponent, MalformedDateAndNoBarsAreUnavailable) {
  json bad = er::build_event_reaction(args("2026-02-30", bars_with(kDays)));
  EXPECT_TRUE(has_code(bad, er::INVALID_EVENT_DATE));
  EXPECT_EQ(bad["validation"]["status"], "unavailable");
  json none = er::build_event_reaction(args("2026-01-05", json::array()));
  EXPECT_TRUE(has_code(none, er::NO_PRICE_DATA));
}

TEST(EventReactionComponent, RecentEventIsPartialWithPostHistoryCode) {
  auto a = args("2026-01-08", bars_with(kDays), 3, 5);
  a.flows = flow_rows(kDays);
  json r = er::build_event_reaction(a);
  EXPECT_EQ(r["validation"]["status"], "partial");
  EXPECT_TRUE(has_code(r, er::INSUFFICIENT_POST_EVENT_HISTORY));
  EXPECT_EQ(r["points"]["D+1"]["status"], "available");
  EXPECT_EQ(r["points"]["D+2"]["status"], "unavailable");
  EXPECT_EQ(r["points"]["D+2"]["reason"], "not_yet_traded");
  EXPECT_EQ(r["window"]["end_date"], "2026-01-09");
  json f = er::reaction_meta_fields(r);   // partial, insufficient_post_event_history: ToolGetEventReaction
  ASSERT_EQ(f["warnings"].size(), 1u);
  EXPECT_NE(f["warnings"][0].get<std::string>().find("5거래일 중 1일"), std::string::npos);
  std::string text = er::format_event_reaction(r);
  EXPECT_NE(text.find("D+2 | - | - | -"), std::string::npos) << text;
}

TEST(EventReactionComponent, HaltedDaysAreSkippedAndNamed) {
  json bars = bars_with(kDays);
  // 12-29 is a halted day written as a placeholder (zero prices, volume 0).
  bars[7] = {{"date", "20251229"}, {"open", 0}, {"high", 0}, {"low", 0}, {"close", 11200}, {"volume", 0}};
  json r = er::build_event_reaction(args("2025-12-26", bars, 2, 2));
  EXPECT_EQ(r["points"]["D+1"]["date"], "2025-12-30") << "the halted day is not a reaction day";
  EXPECT_TRUE(has_code(r, er::HALTED_BARS_IN_WINDOW));
  EXPECT_EQ(r["validation"]["status"], "partial");
  // An event on the halted day itself starts at the next bar that traded.
  json h = er::build_event_reaction(args("2025-12-29", bars, 2, 2));
  EXPECT_EQ(h["alignment"]["d0"], "2025-12-30");
  EXPECT_EQ(h["alignment"]["reason"], "halted_on_event_date");
  // Halted through to the end of the data: suspended, not "no data yet".
  json tail = bars_with(kDays);
  for (size_t i = 12; i < tail.size(); ++i) tail[i] = {{"date", kDays[i]}, {"open", 0}, {"high", 0}, {"low", 0}, {"close", 11200}, {"volume", 0}};
  json s = er::build_event_reaction(args("2026-01-07", tail));
  EXPECT_TRUE(has_code(s, er::SUSPENDED_THROUGH_WINDOW));
  EXPECT_EQ(s["validation"]["status"], "unavailable");
}

TEST(EventReactionComponent, VolumeAgainstThePriorAverage) {
  json bars = bars_with(kDays);
  bars[6]["volume"] = 4000;   // D0 2025-12-26, six bars before it at 1000
  json r = er::build_event_reaction(args("2025-12-26", bars));
  EXPECT_EQ(r["volume"]["basis"], 4000);
  EXPECT_EQ(r["volume"]["pre_avg"], 1000.0);
  EXPECT_EQ(r["volume"]["pre_window_bars"], 6);
  EXPECT_EQ(r["volume"]["ratio"], 4.0);
}

TEST(EventReactionComponent, ShortFlowIsMissingNotZero) {
  // Flow rows only for the newest days: the pre-event days are missing, not 0.
  auto b = args("2025-12-26", bars_with(kDays));
  b.flows = flow_rows(std::vector<std::string>(kDays.begin() + 7, kDays.end()), false);
  json s = er::build_event_reaction(b);
  EXPECT_TRUE(has_code(s, er::FLOW_WINDOW_NOT_COVERED));
  EXPECT_EQ(s["flow"]["status"], "partial");
  EXPECT_TRUE(s["flow"]["pre"]["foreign"].is_null());
  EXPECT_EQ(s["flow"]["post"]["foreign"], 300);
  EXPECT_TRUE(s["flow"]["post"]["individual"].is_null()) << "an unknown individual figure is not summed as 0";
}
