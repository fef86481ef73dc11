#include "market_time/bar_state.hpp"

#include <algorithm>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/parallel.hpp"
#include "core/result_meta.hpp"
#include "market_time/day_times.hpp"

namespace tessaro::mt {

using namespace std::chrono;

namespace {
std::optional<std::string> day_of(const json& row) {
  if (!row.is_object() || !row.contains("date")) return std::nullopt;
  return rmeta::normalize_day(row["date"]);
}
std::string json_str(const json& v) { return v.is_string() ? v.get<std::string>() : ""; }
}  // namespace

std::string timeframe_label(const std::string& tf) {
  if (tf == "day") return "일봉";
  if (tf == "week") return "주봉";
  if (tf == "month") return "월봉";
  return "봉";
}

bool is_extended_price_session(const json& ps) {
  if (!ps.is_string()) return false;
  std::string s = ps.get<std::string>();
  return s == rmeta::PRICE_SESSION_PRE_MARKET || s == rmeta::PRICE_SESSION_AFTER_MARKET ||
         s == rmeta::PRICE_SESSION_REGULAR_AND_AFTER;
}

json bar_state(const std::string& timeframe, const json& rows, std::optional<Instant> now_opt,
               const MarketCalendar* cal, bool calendar_fallback) {
  std::vector<std::string> days;
  if (rows.is_array())
    for (const auto& r : rows)
      if (auto d = day_of(r)) days.push_back(*d);
  if (days.empty()) return nullptr;
  const std::string last = days.back();
  json st = {{"timeframe", timeframe}, {"last_bar_date", last}, {"last_bar_complete", nullptr},
             {"calculation_includes_incomplete", nullptr}, {"last_completed_bar_date", nullptr}};
  if (!cal) return st;
  Instant at = now_opt.value_or(now());
  std::optional<bool> closed;
  try {
    closed = cal->is_period_closed(timeframe, *parse_day(last), at);
  } catch (...) {
    return st;
  }
  if (!closed) return st;
  st["last_bar_complete"] = *closed;
  st["calculation_includes_incomplete"] = !*closed;
  if (*closed) {
    st["last_completed_bar_date"] = last;
    return st;
  }
  for (size_t i = days.size() - 1; i-- > 0;) {
    try {
      auto c = cal->is_period_closed(timeframe, *parse_day(days[i]), at);
      if (c && *c) {
        st["last_completed_bar_date"] = days[i];
        return st;
      }
    } catch (...) {
    }
  }
  if (calendar_fallback) {
    try {
      auto d = cal->previous_closed_period_end(timeframe, *parse_day(last), at);
      if (d) st["last_completed_bar_date"] = day_str(*d);
    } catch (...) {
    }
  }
  return st;
}

json merge_bar_states(const std::vector<json>& states) {
  std::vector<const json*> live;
  for (const auto& s : states)
    if (s.is_object() && !s.empty()) live.push_back(&s);
  if (live.empty()) return nullptr;
  const json* ref = live[0];
  for (const json* s : live)
    if (json_str(s->value("last_bar_date", json())) > json_str(ref->value("last_bar_date", json()))) ref = s;
  bool any_false = false, any_none = false;
  std::string last_completed;
  for (const json* s : live) {
    const json& c = s->value("last_bar_complete", json());
    if (c.is_boolean() && !c.get<bool>()) any_false = true;
    else if (!c.is_boolean()) any_none = true;
    std::string lc = json_str(s->value("last_completed_bar_date", json()));
    if (lc > last_completed) last_completed = lc;
  }
  json complete = any_false ? json(false) : any_none ? json(nullptr) : json(true);
  return json{{"timeframe", ref->value("timeframe", json())},
              {"last_bar_date", ref->value("last_bar_date", json())},
              {"last_bar_complete", complete},
              {"calculation_includes_incomplete", complete.is_null() ? json(nullptr) : json(!complete.get<bool>())},
              {"last_completed_bar_date", last_completed.empty() ? json(nullptr) : json(last_completed)}};
}

void mark_intraday_volume(json& indicators, const json& meta) {
  if (!meta.is_object() || meta.value("data_basis", std::string()) != rmeta::BASIS_IN_PROGRESS_BAR) return;
  if (!indicators.is_object() || !indicators.contains("volume") || !indicators["volume"].is_object()) return;
  json& v = indicators["volume"];
  if (!v.contains("latest") || v["latest"].is_null()) return;
  v["intraday_incomplete"] = true;
  v["intraday_note"] =
      "장중 미완성 봉 — 오늘 거래량이 아직 쌓이는 중이라 ratio_vs_avg_20b·volume_rank_252b가 실제보다 낮게 나옵니다. "
      "거래량 기준으로 판단하려면 장 마감 후 다시 조회하세요.";
}

void bar_state_effects(const json& bs, std::string& completeness, json& coverage, std::vector<std::string>& warns) {
  if (!bs.is_object() || bs.empty()) return;
  std::string label = timeframe_label(json_str(bs.value("timeframe", json())));
  auto cover = [&](const char* default_reason) {
    json c = coverage.is_object() ? coverage : json::object();
    if (!c.contains("truncated")) c["truncated"] = false;
    c["coverage_complete"] = false;
    std::string reason = c.contains("reason") && c["reason"].is_string() && !c["reason"].get<std::string>().empty()
                             ? c["reason"].get<std::string>()
                             : default_reason;
    c["reason"] = reason;
    coverage = c;
  };
  const json& inc = bs.value("calculation_includes_incomplete", json());
  if (inc.is_boolean() && inc.get<bool>()) {
    std::string note = "마지막 " + label + "(" + json_str(bs.value("last_bar_date", json())) + ")이 아직 진행 중입니다";
    std::string lc = json_str(bs.value("last_completed_bar_date", json()));
    note += lc.empty() ? "." : ". 확정된 마지막 " + label + "은 " + lc + "입니다.";
    note += " 이 봉이 포함된 지표·낙폭·신고가 판정은 구간이 끝나면 달라질 수 있습니다.";
    warns.push_back(note);
    completeness = rmeta::PARTIAL;
    cover("incomplete_tail");
  } else if (!bs.value("last_bar_complete", json()).is_boolean()) {
    warns.push_back("마지막 " + label + "의 마감 여부를 확인하지 못했습니다. 이 봉이 확정치인지 진행 중인지 알 수 없습니다.");
    completeness = rmeta::PARTIAL;
    cover("unknown");
  }
}

json extended_bar_info(const json& rows, const std::string& timeframe, std::optional<Instant> now_opt) {
  if (!rows.is_array() || rows.empty()) return nullptr;
  Day start = krx_after_market_start();
  int n = 0;
  std::string first, last;
  for (const auto& r : rows) {
    auto ds = day_of(r);
    if (!ds) continue;
    Day d = *parse_day(*ds), end = d;
    if (timeframe == "week") end = d + days(6 - weekday(d));
    else if (timeframe == "month") {
      year_month_day ymd(d);
      end = sys_days(ymd.year() / ymd.month() / std::chrono::last);
    }
    if (end < start) continue;
    ++n;
    if (first.empty() || *ds < first) first = *ds;
    if (last.empty() || *ds > last) last = *ds;
  }
  if (n == 0) return nullptr;
  json info = {{"source", "naver_daily_bars"},      {"since", KRX_AFTER_MARKET_START}, {"bars", n},
               {"first_bar", first},                {"last_bar", last},                {"close", "after_market_last_trade"},
               {"high_low_volume", "regular_and_after_market"}};
  if (timeframe == "day") {
    Civil c = to_kst(now_opt.value_or(now()));
    if (last == c.date_str()) {
      // Today's own session times: on a shifted day (the exam day) the after-market
      // opens later than 16:00.
      KrxDayTimes t = krx_day_times_or_usual(c.date());
      int from = t.after_open.value_or(16 * 60), until = t.after_close.value_or(20 * 60);
      info["today_bar"] = c.minutes() < from    ? "regular_only_so_far"
                          : c.minutes() < until ? "after_market_in_progress"
                                                : "final";
      if (from != 16 * 60 || until != 20 * 60) {
        info["today_after_market_start"] = hm_text(from);
        info["today_after_market_end"] = hm_text(until);
      }
    }
  }
  return info;
}

std::string extended_bar_note(const json& info, const std::string& what) {
  std::string s = "※ " + json_str(info.value("since", json())) + "부터 네이버 " + what +
                  "은 애프터마켓(16:00~20:00) 체결을 합친 값입니다 (이 표에서 " +
                  std::to_string(info.value("bars", 0)) + "개, " + json_str(info.value("first_bar", json())) +
                  "~). 종가 = 20:00 애프터마켓 마지막 체결가, 고가·저가·거래량도 애프터마켓 포함. **정규장 종가(15:30)가 "
                  "아니므로 '정규장 종가'로 부르지 마세요.**";
  return s + today_bar_note(info);
}

std::string today_bar_note(const json& info) {
  std::string s;
  if (!info.is_object()) return s;
  std::string tb = json_str(info.value("today_bar", json()));
  std::string day = json_str(info.value("last_bar", json()));
  std::string from = json_str(info.value("today_after_market_start", json()));
  std::string until = json_str(info.value("today_after_market_end", json()));
  if (from.empty()) from = "16:00";
  if (until.empty()) until = "20:00";
  if (tb == "regular_only_so_far")
    s += " 오늘(" + day + ") 봉은 아직 정규장 체결만 담겨 있고 " + from + "부터 애프터마켓이 더해집니다.";
  else if (tb == "after_market_in_progress")
    s += " 오늘(" + day + ") 봉은 애프터마켓이 반영되는 중이라 " + until + "까지 바뀝니다.";
  return s;
}

bool bars_can_include_after_market(const std::optional<std::string>& sosok) {
  return !(sosok && (*sosok == "ETF" || *sosok == "ETN"));
}

std::string price_session_for_bars(const json& info) {
  return info.is_object() && !info.empty() ? rmeta::PRICE_SESSION_REGULAR_AND_AFTER : rmeta::PRICE_SESSION_REGULAR;
}

json regular_close_checks(const std::string& code, const json& rows, const RegularCloseLookup& lookup, int limit) {
  Civil c = to_kst(now());
  std::string today = c.date_str();
  // Today's regular close is known one minute after the day's own close time
  // (16:30 on the exam day, not 15:30).
  bool before_close = c.minutes() < krx_day_times_or_usual(c.date()).regular_close + 1;
  struct Pick {
    std::string day;
    json close;
    std::string close_hm;
  };
  std::vector<Pick> picked;
  if (rows.is_array())
    for (auto it = rows.rbegin(); it != rows.rend() && int(picked.size()) < limit; ++it) {
      auto d = day_of(*it);
      if (!d || *d < KRX_AFTER_MARKET_START) continue;
      if (*d == today && before_close) continue;
      if (!it->contains("close") || !(*it)["close"].is_number()) continue;
      double v = (*it)["close"].get<double>();
      json close = v == double(static_cast<long long>(v)) ? json(static_cast<long long>(v)) : json(v);
      picked.push_back({*d, close, hm_text(krx_day_times_or_usual(*parse_day(*d)).regular_close)});
    }
  std::vector<json> out(picked.size());
  parallel_for(picked.size(), picked.size(), [&](size_t i) {
    json row = {{"date", picked[i].day}, {"bar_close", picked[i].close}, {"regular_close", nullptr},
                {"status", "lookup_failed"}, {"source", "naver_minute_1530"}};
    if (picked[i].close_hm != "15:30") row["regular_close_time"] = picked[i].close_hm;
    try {
      RegularCloseFound r = lookup(code, picked[i].day, picked[i].close_hm);
      // Only the three words of a check row leave here: anything else a source
      // says is a lookup that did not succeed.
      bool known = r.status == "ok" || r.status == "no_1530_bar";
      row["status"] = known ? r.status : "lookup_failed";
      if (!known) row["reason"] = r.reason.empty() ? r.status : r.reason;
      if (r.close)
        row["regular_close"] = *r.close == double(static_cast<long long>(*r.close))
                                   ? json(static_cast<long long>(*r.close)) : json(*r.close);
    } catch (const std::exception& e) {
      row["reason"] = exception_class_name(e);
    }
    out[i] = row;
  });
  std::sort(out.begin(), out.end(), [](const json& a, const json& b) { return a["date"] < b["date"]; });
  return json(out);
}

std::pair<json, std::map<std::string, int>> rows_price_session(const json& rows) {
  std::map<std::string, int> counts;
  if (rows.is_array())
    for (const auto& r : rows)
      if (r.is_object() && r.contains("price_session") && r["price_session"].is_string())
        counts[r["price_session"].get<std::string>()]++;
  if (counts.empty()) return {nullptr, counts};
  if (counts.count(rmeta::PRICE_SESSION_AFTER_MARKET)) return {rmeta::PRICE_SESSION_AFTER_MARKET, counts};
  if (counts.size() == 1 && counts.count(rmeta::PRICE_SESSION_REGULAR)) return {rmeta::PRICE_SESSION_REGULAR, counts};
  return {rmeta::PRICE_SESSION_UNKNOWN, counts};
}

std::optional<std::string> rows_session_note(const std::map<std::string, int>& counts) {
  auto get = [&](const char* k) {
    auto it = counts.find(k);
    return it == counts.end() ? 0 : it->second;
  };
  int n_after = get(rmeta::PRICE_SESSION_AFTER_MARKET);
  if (n_after == 0) return std::nullopt;
  std::string s = "※ 세션: 애프터마켓 " + std::to_string(n_after) + "종목";
  int n_reg = get(rmeta::PRICE_SESSION_REGULAR);
  if (n_reg) s += " · 정규장 " + std::to_string(n_reg) + "종목";
  s += " — 애프터마켓 종목의 현재가·등락률은 애프터마켓 체결 기준(기준가 대비)이고 거래량에도 애프터마켓이 들어갑니다. "
       "정규장 종가·정규장 등락률이 아닙니다. ETF·ETN은 애프터마켓이 없어 정규장 값 그대로입니다.";
  return s;
}

std::vector<std::string> kr_market_note(const json* krx_in, const json& price_session) {
  json krx = krx_in ? *krx_in : build_market_clock()["krx"];
  if (krx.value("is_open", false)) return {};
  std::string close = json_str(krx.value("regular_close", json()));
  if (close.empty()) close = "15:30";
  std::string last = json_str(krx.value("last_trading_day", json()));
  if (json_str(krx.value("current_session", json())) == SESSION_AFTER_MARKET) {
    // The after-market's end today, from the clock's own session list.
    std::string until;
    const json& sess = krx.value("sessions", json());
    if (sess.is_array())
      for (const auto& s : sess)
        if (s.is_object() && json_str(s.value("name", json())) == SESSION_AFTER_MARKET) until = json_str(s.value("end", json()));
    if (until.empty()) until = "20:00";
    std::string head = "KRX 정규장은 " + close + "에 마감됐고 지금은 애프터마켓(" + until + "까지)입니다";
    if (is_extended_price_session(price_session))
      return {head + " — 애프터마켓 체결이 반영되는 값이라 " + until + " 전까지 바뀝니다."};
    if (price_session.is_string() && price_session.get<std::string>() == rmeta::PRICE_SESSION_REGULAR)
      return {head + " — 표시된 값은 정규장 기준이며 애프터마켓 체결은 들어 있지 않습니다."};
    return {head + "."};
  }
  const json& next = krx.value("next_session", json());
  if (next.is_object() && json_str(next.value("name", json())) == SESSION_AFTER_MARKET) {
    std::string at = json_str(next.value("opens_at_local", json()));
    std::string opens = at.size() >= 16 ? at.substr(11, 5) : "";
    if (opens.empty()) opens = "16:00";
    return {"KRX 정규장 마감 — 표시된 값은 최근 거래일(" + last + ") 기준입니다. " + opens +
            "에 애프터마켓이 열리면 네이버 시세·일봉이 다시 움직입니다."};
  }
  return {"KRX 장마감 상태 — 표시된 값은 최근 거래일(" + last + ") 기준입니다."};
}

bool after_market_values_possible(const json& krx) {
  if (krx.value("is_open", false)) return false;
  auto d = parse_day(json_str(krx.value("last_trading_day", json())));
  if (!d || *d < krx_after_market_start()) return false;
  const json& next = krx.value("next_session", json());
  return !(next.is_object() && json_str(next.value("name", json())) == SESSION_AFTER_MARKET);
}

void tag_list_sessions(json& rows, const json& krx, const std::function<bool(const json&)>& no_after_market) {
  if (!rows.is_array()) return;
  const bool after = after_market_values_possible(krx);
  for (auto& r : rows) {
    if (!r.is_object() || (r.contains("price_session") && r["price_session"].is_string())) continue;
    r["price_session"] = after && !(no_after_market && no_after_market(r)) ? rmeta::PRICE_SESSION_AFTER_MARKET
                                                                           : rmeta::PRICE_SESSION_REGULAR;
  }
}

std::pair<json, std::vector<std::string>> bar_exclusion_info(const json& excluded) {
  if (!excluded.is_array() || excluded.empty()) return {nullptr, {}};
  json bars = json::array();
  std::vector<std::string> dates;
  for (const auto& b : excluded) {
    json raw = b.is_object() ? b.value("date", json()) : json();
    auto d = rmeta::normalize_day(raw);
    std::string ds = d ? *d : (raw.is_string() ? raw.get<std::string>() : raw.dump());
    dates.push_back(ds);
    bars.push_back(json{{"date", ds}, {"reason", b.is_object() ? b.value("reason", json()) : json()}});
  }
  json meta = {{"policy", "exclude"}, {"count", excluded.size()}, {"bars", bars}};
  std::vector<std::string> first(dates.begin(), dates.begin() + std::min<size_t>(5, dates.size()));
  std::string w = "거래정지 placeholder 등 비정상 봉 " + std::to_string(excluded.size()) + "개를 계산에서 제외했습니다(" +
                  fmt::join(first, ", ") + (dates.size() > 5 ? " 외" : "") +
                  "). 해당 날짜의 고가·저가·거래량은 실제 값이 아니라 원천의 빈자리 표시입니다.";
  return {meta, {w}};
}

json bar_data_as_of(const std::string& timeframe, const json& date, const MarketCalendar& cal,
                    std::optional<Instant> now_opt, std::optional<Day> latest_daily) {
  auto ds = rmeta::normalize_day(date);
  if (!ds) return date;
  if (timeframe != "week" && timeframe != "month") return *ds;
  Day bar_day = *parse_day(*ds);
  auto d = bar_data_day(timeframe, bar_day, now_opt.value_or(now()), cal);
  // The calendar says which days of the period have begun; the daily series says
  // which of them the source holds (a stock halted mid-week, a feed without
  // today's trades yet). A daily bar inside the period earlier than the
  // calendar's day is the latest day the bar can hold.
  if (d && latest_daily && *latest_daily < *d) {
    Day first = timeframe == "week" ? bar_day - std::chrono::days(weekday(bar_day))
                                    : std::chrono::sys_days(std::chrono::year_month_day(bar_day).year() /
                                                            std::chrono::year_month_day(bar_day).month() / 1);
    if (*latest_daily >= first) d = *latest_daily;
  }
  return d ? json(day_str(*d)) : json(*ds);
}

bool data_is_latest_day(std::optional<bool> bar_forming, const json& data_as_of, const json& market_state) {
  if (!bar_forming) return true;
  auto day = rmeta::normalize_day(data_as_of);
  if (!day) return true;
  return *day == json_str(market_state.value("last_trading_day", json()));
}

std::optional<bool> closed_if_before_latest_day(const json& day, const std::string& market) {
  auto last = rmeta::normalize_day(day);
  if (!last || last->empty()) return std::nullopt;
  json clock = build_market_clock();
  std::string latest = json_str(clock[market == "KR" ? "krx" : "us"].value("last_trading_day", json()));
  if (!latest.empty() && *last < latest) return false;
  return std::nullopt;
}

}  // namespace tessaro::mt
