// A quote labelled by its own trading day (see quote_standing.hpp).
#include "market_time/quote_standing.hpp"

#include "core/result_meta.hpp"
#include "market_time/bar_state.hpp"
#include "market_time/clock.hpp"

namespace tessaro::mt {

namespace {
std::string text_of(const json& j, const char* key) {
  const json& v = j.is_object() ? j.value(key, json()) : json();
  return v.is_string() ? v.get<std::string>() : "";
}
}  // namespace

std::optional<std::string> quote_day_of(const json& quote) {
  if (!quote.is_object()) return std::nullopt;
  return rmeta::normalize_day(quote.value("quote_date", json()));
}

QuoteStanding quote_standing(const json& quote_day, const json& price_session, const json& krx) {
  QuoteStanding out;
  const std::string last = text_of(krx, "last_trading_day");
  const bool open = krx.is_object() && krx.value("is_open", false);
  const bool after_now = text_of(krx, "current_session") == SESSION_AFTER_MARKET;
  const auto day = rmeta::normalize_day(quote_day);
  out.data_as_of = day ? json(*day) : (last.empty() ? json(nullptr) : json(last));

  if (day && !last.empty() && *day < last) {
    // The last trade is from a day before the latest trading day: that day's
    // final value, whatever runs now (a halted or illiquid stock, the first
    // seconds after the open, yesterday's after-market close read today).
    out.before_latest = true;
    out.data_basis = rmeta::BASIS_LAST_CLOSE;
    if (open)
      out.notes.push_back("KRX 정규장 거래 중이지만 표시된 값은 " + *day +
                          " 마지막 체결가입니다 — 오늘(" + last +
                          ")은 아직 체결이 없습니다(거래정지·거래가 드문 종목이거나 개장 직후). 실시간 시세가 아닙니다.");
    else if (after_now)
      out.notes.push_back("KRX 애프터마켓 거래 중이지만 표시된 값은 " + *day + " 마지막 체결가입니다 — 오늘(" + last +
                          ")은 체결이 없어 지금 바뀌는 값이 아닙니다.");
    else
      out.notes.push_back("KRX 장마감 상태 — 표시된 값은 " + *day + " 마지막 체결 기준입니다(최근 거래일 " + last +
                          "에는 체결이 없었습니다).");
    return out;
  }
  // The quote is of the latest trading day (or of no known day): the session
  // running now decides whether it can still move.
  const bool live = open || (after_now && is_extended_price_session(price_session));
  out.data_basis = live ? rmeta::BASIS_REALTIME : rmeta::BASIS_LAST_CLOSE;
  out.notes = kr_market_note(&krx, price_session);
  return out;
}

}  // namespace tessaro::mt
