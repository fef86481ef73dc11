#pragma once
// The market clock held at one instant for a test's lifetime, then let run again.
#include <chrono>
#include <optional>

#include "market_time/clock.hpp"

namespace tessaro::testing {

struct FrozenClock {
  explicit FrozenClock(mt::Instant t) { mt::set_now_for_tests(t); }
  // KST wall time of `day` ("YYYY-MM-DD").
  FrozenClock(const char* day, int hh, int mm, int ss = 0)
      : FrozenClock(mt::from_kst(*mt::parse_day(day), hh, mm) + std::chrono::seconds(ss)) {}
  ~FrozenClock() { mt::set_now_for_tests(std::nullopt); }
  FrozenClock(const FrozenClock&) = delete;
  FrozenClock& operator=(const FrozenClock&) = delete;
};

}  // namespace tessaro::testing
