// Minute data of one stock and the regular close of one day.
//
// Two series exist:
// - api.stock.naver.com/chart/domestic/item/<code>/minute?startDateTime=&endDateTime=
//   (YYYYMMDDHHMM): [{localDateTime "YYYYMMDDHHMMSS", openPrice, highPrice,
//   lowPrice, currentPrice, accumulatedTradingVolume}], where the volume field,
//   despite its name, is the volume of that minute. Any past day can be asked.
// - fchart sise.nhn?timeframe=minute: items "YYYYMMDDHHMM|null|null|null|price|
//   running volume of the day", the latest N items only (about two trading days
//   at count=1500), no item for a minute without a trade and none 15:20-15:29
//   (closing auction, printed at 15:30).
// The regular close of a day is the close minute's trade (15:30, or the day's
// own close time); a later price is never it.
#include <cmath>
#include <cstdio>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "core/clock.hpp"
#include "sources/contracts.hpp"
#include "sources/http.hpp"
#include "sources/naver/naver.hpp"
#include "sources/naver/parse_util.hpp"

namespace tessaro::naver {

// Minute bars of api.stock (also checked by `tessaro-mcp doctor`).
static const contracts::Contract& kMinuteShape = contracts::declare(
    {"naver.minute_chart", "네이버 분봉", false,
     {{"[]", contracts::Kind::Object},
      {"[].localDateTime", contracts::Kind::String},
      {"[].currentPrice", contracts::Kind::Number},
      {"[].accumulatedTradingVolume", contracts::Kind::Number},
      {"[].openPrice", contracts::Kind::Number, false},
      {"[].highPrice", contracts::Kind::Number, false},
      {"[].lowPrice", contracts::Kind::Number, false}}});

namespace {

bool valid_code(const std::string& code) {
  if (code.size() != 6) return false;
  for (unsigned char c : code)
    if (!std::isalnum(c)) return false;
  return true;
}

bool all_digits(const std::string& s) {
  for (unsigned char c : s)
    if (!std::isdigit(c)) return false;
  return !s.empty();
}

// "15:30" -> 930; nullopt when malformed.
std::optional<int> hhmm_minutes(const std::string& hhmm) {
  if (hhmm.size() != 5 || hhmm[2] != ':' || !all_digits(hhmm.substr(0, 2)) || !all_digits(hhmm.substr(3, 2)))
    return std::nullopt;
  int h = std::stoi(hhmm.substr(0, 2)), m = std::stoi(hhmm.substr(3, 2));
  if (h > 23 || m > 59) return std::nullopt;
  return h * 60 + m;
}

std::string compact_minute(const std::string& day, int minutes) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d%02d", minutes / 60, minutes % 60);
  return fmt::replace_all(day, "-", "") + buf;
}

int minute_of(const std::string& datetime) {   // "YYYY-MM-DD HH:MM"
  return std::atoi(datetime.substr(11, 2).c_str()) * 60 + std::atoi(datetime.substr(14, 2).c_str());
}

}  // namespace

std::string minute_session(const std::string& hhmm, const std::string& close_hhmm) {
  auto m = hhmm_minutes(hhmm);
  auto c = hhmm_minutes(close_hhmm);
  if (!m || !c) return rmeta::PRICE_SESSION_UNKNOWN;
  if (*m < 9 * 60) return rmeta::PRICE_SESSION_PRE_MARKET;
  if (*m <= *c) return rmeta::PRICE_SESSION_REGULAR;   // the close minute is the closing auction
  // Closing-price trading runs from ten to thirty minutes after the close; the
  // after-market follows.
  if (*m < *c + 30) return MINUTE_SESSION_CLOSING_PRICE;
  return rmeta::PRICE_SESSION_AFTER_MARKET;
}

json parse_minute_chart(const json& body) {
  if (!body.is_array()) throw NaverParseError(contracts::problem(kMinuteShape, body).value_or("분봉 응답이 배열이 아닙니다"));
  json rows = json::array();
  int unread = 0;
  for (const auto& it : body) {
    std::string t = it.is_object() && it.value("localDateTime", json()).is_string()
                        ? it["localDateTime"].get<std::string>()
                        : "";
    if (t.size() < 12 || !all_digits(t.substr(0, 12))) {
      ++unread;
      continue;
    }
    json row;
    row["datetime"] = t.substr(0, 4) + "-" + t.substr(4, 2) + "-" + t.substr(6, 2) + " " + t.substr(8, 2) + ":" +
                      t.substr(10, 2);
    json miss = json::array();
    static const std::vector<std::pair<const char*, const char*>> kFields = {
        {"open", "openPrice"}, {"high", "highPrice"}, {"low", "lowPrice"}, {"close", "currentPrice"},
        {"volume", "accumulatedTradingVolume"}};
    for (const auto& [k, src] : kFields) {
      auto v = parse::number(it.value(src, json()));
      if (v) row[k] = parse::to_json_number(*v);
      else {
        row[k] = nullptr;
        miss.push_back(k);
      }
    }
    if (!miss.empty()) row[PARSE_MISS_KEY] = miss;
    rows.push_back(std::move(row));
  }
  if (!body.empty() && unread == (int)body.size())
    throw NaverParseError(contracts::problem(kMinuteShape, body).value_or("분봉 응답에서 시각을 읽지 못했습니다"));
  return rows;
}

json get_minute_chart(const std::string& code, const std::string& start, const std::string& end) {
  if (!valid_code(code) || start.size() != 12 || end.size() != 12 || !all_digits(start) || !all_digits(end))
    return json::array();
  return parse_minute_chart(fetch_json("api.stock.naver.com",
                                       http::Target("/chart/domestic/item/{}/minute?startDateTime={}&endDateTime={}", code, start, end),
                                       false, "https://stock.naver.com/"));
}

json parse_fchart_minutes(const std::string& xml_utf8) {
  json items = parse_fchart_bars(xml_utf8, true);
  json rows = json::array();
  std::string prev_day;
  std::optional<double> prev_total;
  for (auto& it : items) {
    std::string dt = it.value("datetime", "");
    std::string day = dt.substr(0, 10);
    json row = {{"datetime", dt}, {"close", it.value("close", json())}};
    const json& total = it.value("volume", json());
    row["cumulative_volume"] = total;
    // Per-minute volume is the difference of running totals within one day; the
    // first item of the series' earliest day may not be that day's first trade.
    json vol = nullptr;
    if (total.is_number()) {
      double t = total.get<double>();
      if (day == prev_day && prev_total) {
        if (t >= *prev_total) vol = parse::to_json_number(t - *prev_total);
      } else if (!prev_day.empty()) {
        vol = parse::to_json_number(t);   // a later day starts from zero
      }
      prev_total = t;
    } else if (day != prev_day) {
      prev_total.reset();
    }
    prev_day = day;
    row["volume"] = vol;
    json miss = json::array();
    if (!row["close"].is_number()) miss.push_back("close");
    if (!total.is_number()) miss.push_back("volume");
    if (!miss.empty()) row[PARSE_MISS_KEY] = miss;
    rows.push_back(std::move(row));
  }
  return rows;
}

namespace {

// The close minute among `rows` (datetime/close/volume) of `day`. Reached: some
// minute of the day after the close minute is in the rows, so a missing close
// minute means that minute had no trade.
// A source that did not reach the day's close minute; the next source is asked.
constexpr const char* REGULAR_CLOSE_NOT_CHECKED = "not_checked";

RegularCloseLookup pick_close(const json& rows, const std::string& day, int close_minute, const std::string& source) {
  RegularCloseLookup r;
  r.source = source;
  bool after = false;
  for (const auto& row : rows) {
    std::string dt = row.value("datetime", "");
    if (dt.compare(0, 10, day) != 0) continue;
    int m = minute_of(dt);
    if (m == close_minute) {
      if (!row.value("close", json()).is_number()) {
        r.status = REGULAR_CLOSE_NOT_CHECKED;
        r.reason = "close_minute_unreadable";
        return r;
      }
      r.status = REGULAR_CLOSE_OK;
      r.close = row["close"].get<double>();
      if (row.value("volume", json()).is_number()) r.volume = row["volume"].get<double>();
      return r;
    }
    if (m > close_minute) after = true;
  }
  r.status = after ? REGULAR_CLOSE_NO_TRADE : REGULAR_CLOSE_NOT_CHECKED;
  if (!after) r.reason = "day_not_reached";
  return r;
}

}  // namespace

namespace {

RegularCloseLookup lookup_regular_close_from_sources(const std::string& code, const std::string& day,
                                                     const std::string& close_hhmm) {
  RegularCloseLookup r;
  r.status = REGULAR_CLOSE_NOT_CHECKED;
  auto close_minute = hhmm_minutes(close_hhmm);
  auto d = mt::parse_day(day);
  if (!valid_code(code) || !close_minute || !d) {
    r.reason = "bad_argument";
    return r;
  }
  std::string iso = mt::day_str(*d);
  // The chart API reaches any day: ask from five minutes before the close to
  // fifteen after it (the closing-price trades after the close show that the
  // day's minutes were served).
  std::exception_ptr chart_error;
  try {
    json rows = get_minute_chart(code, compact_minute(iso, *close_minute - 5), compact_minute(iso, *close_minute + 15));
    r = pick_close(rows, iso, *close_minute, "naver_chart_minute");
    if (r.status != REGULAR_CLOSE_NOT_CHECKED) return r;
  } catch (const std::exception&) {
    chart_error = std::current_exception();
  }
  // The fchart series reaches only the latest couple of trading days.
  try {
    std::string xml = fetch_text("fchart.stock.naver.com",
                                 http::Target("/sise.nhn?symbol={}&timeframe=minute&count=1500&requestType=0", code), true);
    RegularCloseLookup f = pick_close(parse_fchart_minutes(xml), iso, *close_minute, "naver_fchart_minute");
    if (f.status != REGULAR_CLOSE_NOT_CHECKED || chart_error) return f;
  } catch (const std::exception& e) {
    if (chart_error) {
      r.status = REGULAR_CLOSE_LOOKUP_FAILED;
      try {
        std::rethrow_exception(chart_error);
      } catch (const Error& ce) {
        r.reason = std::string(ce.class_name()) + ": " + ce.what();
      } catch (const std::exception& ce) {
        r.reason = ce.what();
      }
      r.source = "naver_chart_minute";
      return r;
    }
  }
  return r;
}

}  // namespace

RegularCloseLookup lookup_regular_close(const std::string& code, const std::string& day, const std::string& close_hhmm) {
  RegularCloseLookup r = lookup_regular_close_from_sources(code, day, close_hhmm);
  if (r.status == REGULAR_CLOSE_NOT_CHECKED) r.status = REGULAR_CLOSE_LOOKUP_FAILED;
  return r;
}

std::optional<double> get_regular_session_close(const std::string& code, const std::string& day,
                                                const std::string& close_hhmm) {
  RegularCloseLookup r = lookup_regular_close(code, day, close_hhmm);
  if (r.status == REGULAR_CLOSE_OK) return r.close;
  if (r.status == REGULAR_CLOSE_NO_TRADE) return std::nullopt;
  throw NaverParseError("정규장 종가(" + close_hhmm + ")를 확인하지 못했습니다: " + code + " " + day +
                        (r.reason.empty() ? "" : " (" + r.reason + ")"));
}

}  // namespace tessaro::naver
