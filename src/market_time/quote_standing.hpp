#pragma once
// Where a quote's numbers stand: the quote's own trading day decides which day
// they belong to and whether they can still be live; the clock only says whether
// that day's session is still running. Every Korean snapshot of a quote (one
// stock, many stocks, an ETF, the move timeline) is labelled by this.
#include <optional>
#include <string>
#include <vector>

#include "core/json.hpp"

namespace tessaro::mt {

struct QuoteStanding {
  json data_as_of;                 // the quote's day; the clock's latest trading day when it has none
  std::string data_basis;          // realtime or last_close
  std::vector<std::string> notes;  // market notes, first among the warnings
  bool before_latest = false;      // the quote's day is before the latest trading day: nothing traded since
};

// quote_day: the day of the quote's last trade ("YYYY-MM-DD", null when the
// source gave none); price_session: the session that made it; krx: the "krx"
// part of the market clock at the call's instant.
QuoteStanding quote_standing(const json& quote_day, const json& price_session, const json& krx);

// The day of a quote record's last trade (its quote_date), nullopt when absent.
std::optional<std::string> quote_day_of(const json& quote);

}  // namespace tessaro::mt
