#include "analysis/event_reaction/event_reaction.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <vector>

#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "analysis/indicators/split_bars.hpp"

namespace tessaro::event_reaction {

const char* const PROVIDER_ERROR = "PROVIDER_ERROR";
const char* const CORPORATE_ACTION_NOTE =
    "수익률은 액면분할·병합을 반영한 수정주가 기준이며, 배당락·권리락 같은 기업행사의 가격 효과는 조정하지 않았습니다. "
    "그런 날이 창 안에 있으면 반응에 그 효과가 섞입니다.";
const char* const INSUFFICIENT_POST_EVENT_HISTORY = "insufficient_post_event_history";

namespace {

// Bars of the volume baseline before D0.
constexpr int VOLUME_PRE_WINDOW = 20;

struct Bar {
  std::string date;
  double close;
  std::optional<double> volume;
};

bool is_digits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A real calendar day in "YYYY-MM-DD".
bool real_day(const std::string& s) {
  if (s.size() != 10 || s[4] != '-' || s[7] != '-') return false;
  std::string y = s.substr(0, 4), m = s.substr(5, 2), d = s.substr(8, 2);
  if (!is_digits(y) || !is_digits(m) || !is_digits(d)) return false;
  int yi = std::stoi(y), mi = std::stoi(m), di = std::stoi(d);
  static const int mdays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (mi < 1 || mi > 12 || di < 1) return false;
  int lim = mdays[mi - 1] + ((mi == 2 && ((yi % 4 == 0 && yi % 100 != 0) || yi % 400 == 0)) ? 1 : 0);
  return di <= lim;
}

std::optional<double> num(const json& row, const char* key) {
  auto it = row.find(key);
  if (it == row.end() || it->is_null()) return std::nullopt;
  if (it->is_number()) return it->get<double>();
  if (it->is_string()) return fmt::parse_number(it->get<std::string>());
  return std::nullopt;
}

std::string day_of(const json& row) {
  auto it = row.find("date");
  if (it == row.end()) return "";
  auto d = rmeta::normalize_day(*it);
  return d ? *d : "";
}

json r2(double v) { return std::isfinite(v) ? json(fmt::round_to(v, 2)) : json(nullptr); }

std::string signed_pct(const json& v) {
  if (!v.is_number()) return "-";
  return fmt::fixed(v.get<double>(), 2, false, true) + "%";
}
std::string amount(const json& v) {
  if (!v.is_number()) return "-";
  return fmt::thousands(fmt::round_ll(v.get<double>()));
}
std::string signed_amount(const json& v) {
  if (!v.is_number()) return "-";
  return fmt::thousands(fmt::round_ll(v.get<double>()), true);
}

void add_code(json& validation, const std::string& code, const std::string& message) {
  for (const auto& c : validation["codes"])
    if (c == code) return;
  validation["codes"].push_back(code);
  validation["messages"].push_back(message);
}

bool unavailable_code(const std::string& c) {
  return c == INVALID_EVENT_DATE || c == NO_PRICE_DATA || c == EVENT_BEFORE_HISTORY || c == EVENT_AFTER_LAST_BAR ||
         c == SUSPENDED_THROUGH_WINDOW || c == NO_BASE_CLOSE;
}

// Sums of net purchases over a set of dates; null where no row covers the dates.
json flow_section(const std::vector<std::string>& dates, const std::map<std::string, const json*>& by_date) {
  json out{{"expected_days", dates.size()}};
  int days = 0;
  double f = 0, inst = 0, ind = 0;
  bool ind_ok = true;
  for (const auto& d : dates) {
    auto it = by_date.find(d);
    if (it == by_date.end()) continue;
    ++days;
    const json& row = *it->second;
    f += num(row, "foreign").value_or(0.0);          // always present in flow rows
    inst += num(row, "institutional").value_or(0.0);
    auto iv = num(row, "individual");
    if (iv) ind += *iv;
    else ind_ok = false;
  }
  out["days"] = days;
  if (days == 0) {
    out["foreign"] = nullptr;
    out["institutional"] = nullptr;
    out["individual"] = nullptr;
  } else {
    out["foreign"] = fmt::round_ll(f);
    out["institutional"] = fmt::round_ll(inst);
    out["individual"] = ind_ok ? json(fmt::round_ll(ind)) : json(nullptr);
  }
  out["complete"] = days == (int)dates.size();
  return out;
}

}  // namespace

std::string normalize_date(const std::string& text) {
  if (text.size() == 8 && is_digits(text)) return text.substr(0, 4) + "-" + text.substr(4, 2) + "-" + text.substr(6, 2);
  return text;
}

json build_event_reaction(const ReactionArgs& a) {
  int before = std::clamp(a.before, 0, 60), after = std::clamp(a.after, 0, 60);
  std::string event_day = normalize_date(fmt::trim(a.event_date));
  json r = json::object();
  r["code"] = a.code;
  r["event_date"] = event_day;
  r["requested_event_date"] = a.event_date;
  r["before"] = before;
  r["after"] = after;
  json validation{{"status", STATUS_USABLE}, {"codes", json::array()}, {"messages", json::array()}};

  // Valid bars, oldest first; placeholders (halted days) are set aside.
  auto split = indicators::split_valid_bars(a.ohlcv);
  std::vector<Bar> bars;
  for (const auto& row : split.valid) {
    std::string d = day_of(row);
    auto c = num(row, "close");
    if (d.empty() || !c) continue;
    bars.push_back({d, *c, num(row, "volume")});
  }
  std::stable_sort(bars.begin(), bars.end(), [](const Bar& x, const Bar& y) { return x.date < y.date; });
  std::set<std::string> halted;
  for (const auto& row : split.excluded) {
    std::string d = day_of(row);
    if (!d.empty()) halted.insert(d);
  }
  const size_t n = bars.size();
  r["history"] = json{{"first_bar", n ? json(bars.front().date) : json(nullptr)},
                      {"last_bar", n ? json(bars.back().date) : json(nullptr)},
                      {"bars", n}};

  long d0 = -1;
  bool date_ok = real_day(event_day);
  if (!date_ok) {
    add_code(validation, INVALID_EVENT_DATE, "사건일 " + a.event_date + "은(는) 실제 날짜가 아닙니다");
  } else if (n == 0) {
    add_code(validation, NO_PRICE_DATA, "일봉 데이터가 없습니다");
  } else {
    auto it = std::lower_bound(bars.begin(), bars.end(), event_day,
                               [](const Bar& b, const std::string& d) { return b.date < d; });
    if (it == bars.end()) {
      bool halted_after = std::any_of(halted.begin(), halted.end(), [&](const std::string& d) { return d >= event_day; });
      if (halted_after)
        add_code(validation, SUSPENDED_THROUGH_WINDOW, "사건일 이후 봉이 모두 거래정지 등 비정상 봉입니다");
      else
        add_code(validation, EVENT_AFTER_LAST_BAR,
                 "사건일 이후 거래된 봉이 아직 없습니다 (마지막 봉 " + bars.back().date + ")");
    } else if (event_day < bars.front().date) {
      add_code(validation, EVENT_BEFORE_HISTORY,
               "사건일이 보유한 일봉의 시작(" + bars.front().date + ")보다 앞섭니다");
    } else {
      d0 = it - bars.begin();
    }
  }

  json alignment{{"requested", date_ok ? json(event_day) : json(a.event_date)}, {"d0", nullptr}, {"shifted", false}};
  if (d0 >= 0) {
    alignment["d0"] = bars[d0].date;
    if (bars[d0].date != event_day) {
      alignment["shifted"] = true;
      alignment["reason"] = halted.count(event_day) ? "halted_on_event_date" : "no_trading_on_event_date";
    }
    if (d0 == 0)
      add_code(validation, NO_BASE_CLOSE, "사건일 직전 거래일 종가가 없습니다 (상장일이거나 보유한 일봉의 첫 봉)");
  }
  r["alignment"] = alignment;

  bool priced = d0 > 0;
  double base = priced ? bars[d0 - 1].close : NAN;
  r["base"] = priced ? json{{"key", "D-1"}, {"date", bars[d0 - 1].date}, {"close", bars[d0 - 1].close}}
                     : json(nullptr);

  // Points D-before .. D-1, D0, D+1 .. D+after.
  json points = json::object();
  auto point = [&](long offset) {
    std::string key = offset == 0 ? "D0" : (offset < 0 ? "D" + std::to_string(offset) : "D+" + std::to_string(offset));
    json p = json::object();
    long idx = d0 + offset;
    if (priced && idx >= 0 && idx < (long)n) {
      p["status"] = "available";
      p["date"] = bars[idx].date;
      p["close"] = bars[idx].close;
      p["return_pct"] = r2((bars[idx].close / base - 1.0) * 100.0);
      if (offset == -1) p["base"] = true;
    } else {
      p["status"] = "unavailable";
      p["date"] = nullptr;
      p["return_pct"] = nullptr;
      p["reason"] = !priced ? "no_alignment" : (idx < 0 ? "before_history" : "not_yet_traded");
    }
    points[key] = p;
  };
  for (long k = before; k >= 1; --k) point(-k);
  point(0);
  for (long k = 1; k <= after; ++k) point(k);
  r["points"] = points;

  // Window and its coverage.
  json window = json::object();
  long bars_before = 0, bars_after = 0;
  if (d0 >= 0) {
    bars_before = std::min<long>(before, d0);
    bars_after = std::min<long>(after, (long)n - 1 - d0);
    window["start_date"] = bars[d0 - bars_before].date;
    window["event_trading_date"] = bars[d0].date;
    window["end_date"] = bars[d0 + bars_after].date;
  }
  window["before"] = before;
  window["after"] = after;
  window["bars_before"] = bars_before;
  window["bars_after"] = bars_after;
  r["window"] = window;
  if (priced) {
    if (bars_before < before)
      add_code(validation, INSUFFICIENT_PRE_EVENT_HISTORY,
               "사건 전 " + std::to_string(before) + "거래일 중 " + std::to_string(bars_before) + "일만 있습니다");
    if (bars_after < after)
      add_code(validation, INSUFFICIENT_POST_EVENT_HISTORY,
               "사건 후 " + std::to_string(after) + "거래일 중 " + std::to_string(bars_after) + "일만 지났습니다");
    int in_window = 0;
    for (const auto& h : halted)
      if (h >= window["start_date"].get<std::string>() && h <= window["end_date"].get<std::string>()) ++in_window;
    if (in_window)
      add_code(validation, HALTED_BARS_IN_WINDOW,
               "창 안의 거래정지 등 비정상 봉 " + std::to_string(in_window) + "개는 세지 않았습니다 (D±k는 실제 거래된 봉 기준)");
  }

  // Volume: the event-day volume against the average of the bars before it.
  json volume{{"basis", nullptr}, {"basis_date", nullptr}, {"pre_avg", nullptr}, {"pre_window_bars", 0}, {"ratio", nullptr}};
  if (d0 >= 0) {
    volume["basis_date"] = bars[d0].date;
    if (bars[d0].volume) volume["basis"] = *bars[d0].volume;
    double sum = 0;
    int cnt = 0;
    for (long i = std::max<long>(0, d0 - VOLUME_PRE_WINDOW); i < d0; ++i)
      if (bars[i].volume) sum += *bars[i].volume, ++cnt;
    volume["pre_window_bars"] = cnt;
    if (cnt) volume["pre_avg"] = fmt::round_to(sum / cnt, 1);
    if (bars[d0].volume && cnt && sum > 0) volume["ratio"] = fmt::round_to(*bars[d0].volume / (sum / cnt), 2);
  }
  r["volume"] = volume;

  // Investor flow over the same trading days.
  json flow = json::object();
  if (a.flow_error) {
    flow = json{{"status", "unavailable"}, {"error", *a.flow_error}};
    if (d0 >= 0)
      add_code(validation, FLOW_FETCH_FAILED, "수급 조회 실패(" + *a.flow_error + ") — 수급 반응은 결측입니다");
  } else {
    std::map<std::string, const json*> by_date;
    std::string first, last;
    if (a.flows.is_array())
      for (const auto& row : a.flows) {
        std::string d = day_of(row);
        if (d.empty()) continue;
        by_date.emplace(d, &row);
        if (first.empty() || d < first) first = d;
        if (last.empty() || d > last) last = d;
      }
    flow["rows"] = by_date.size();
    // Rows of the stand-in table (the stock page's short table) have no individual
    // column: the individual sums are missing, never 0.
    const bool stand_in = a.flows.is_array() && !a.flows.empty() && a.flows[0].is_object() &&
                          a.flows[0].value("via", std::string()) == "main_page";
    if (stand_in) {
      flow["via"] = "main_page";
      if (d0 >= 0)
        add_code(validation, FLOW_STAND_IN,
                 "수급은 투자자별 매매동향 API가 응답하지 않아 종목 메인 페이지의 짧은 표로 대신했습니다 — 개인 "
                 "순매수는 그 표에 없어 결측입니다");
    }
    flow["first_date"] = first.empty() ? json(nullptr) : json(first);
    flow["last_date"] = last.empty() ? json(nullptr) : json(last);
    if (d0 >= 0) {
      std::vector<std::string> pre, ev{bars[d0].date}, post;
      for (long i = d0 - bars_before; i < d0; ++i) pre.push_back(bars[i].date);
      for (long i = d0 + 1; i <= d0 + bars_after; ++i) post.push_back(bars[i].date);
      flow["pre"] = flow_section(pre, by_date);
      flow["event_day"] = flow_section(ev, by_date);
      flow["post"] = flow_section(post, by_date);
      size_t expected = pre.size() + 1 + post.size();
      size_t covered = flow["pre"]["days"].get<size_t>() + flow["event_day"]["days"].get<size_t>() +
                       flow["post"]["days"].get<size_t>();
      if (by_date.empty()) {
        flow["status"] = "unavailable";
        add_code(validation, NO_FLOW_ROWS, "수급 데이터가 없습니다 — 수급 반응은 결측입니다");
      } else if (covered < expected) {
        flow["status"] = covered ? "partial" : "unavailable";
        add_code(validation, FLOW_WINDOW_NOT_COVERED,
                 "수급 자료가 창의 " + std::to_string(expected) + "거래일 중 " + std::to_string(covered) +
                     "일만 덮습니다 (수급은 최근 최대 100거래일)");
      } else {
        flow["status"] = "available";
      }
    } else {
      flow["status"] = by_date.empty() ? "unavailable" : "not_aligned";
    }
  }
  r["flow"] = flow;

  std::string status = STATUS_USABLE;
  for (const auto& c : validation["codes"]) {
    if (unavailable_code(c.get<std::string>())) {
      status = STATUS_UNAVAILABLE;
      break;
    }
    status = STATUS_PARTIAL;
  }
  validation["status"] = status;
  r["validation"] = validation;
  r["price_adjustment"] = price_adjustment_meta();
  return r;
}

json reaction_meta_fields(const json& reaction) {
  const json& w = reaction.value("window", json::object());
  const json& hist = reaction.value("history", json::object());
  json ew = json::object();
  ew["requested_date"] = reaction.value("event_date", json(nullptr));
  ew["event_trading_date"] = w.value("event_trading_date", json(nullptr));
  ew["base_date"] = reaction.contains("base") && reaction["base"].is_object() ? reaction["base"]["date"] : json(nullptr);
  ew["start_date"] = w.value("start_date", json(nullptr));
  ew["end_date"] = w.value("end_date", json(nullptr));
  ew["before"] = w.value("before", json(nullptr));
  ew["after"] = w.value("after", json(nullptr));
  ew["bars_before"] = w.value("bars_before", json(nullptr));
  ew["bars_after"] = w.value("bars_after", json(nullptr));
  json last_usable = w.value("end_date", json(nullptr));
  if (last_usable.is_null()) last_usable = hist.value("last_bar", json(nullptr));
  ew["last_usable_trading_date"] = last_usable;

  const json& f = reaction.value("flow", json::object());
  json fw = json::object();
  fw["status"] = f.value("status", json(nullptr));
  fw["rows"] = f.value("rows", json(nullptr));
  fw["first_date"] = f.value("first_date", json(nullptr));
  fw["last_date"] = f.value("last_date", json(nullptr));
  if (f.contains("error")) fw["error"] = f["error"];

  const json& v = reaction.value("validation", json::object());
  std::string status = v.value("status", std::string(STATUS_UNAVAILABLE));
  json out = json::object();
  out["event_window"] = ew;
  out["flow_window"] = fw;
  out["data_completeness"] = status == STATUS_USABLE ? rmeta::COMPLETE
                             : status == STATUS_PARTIAL ? rmeta::PARTIAL
                                                        : rmeta::NONE;
  if (status == STATUS_USABLE) {
    out["coverage"] = nullptr;
  } else {
    bool post = false;
    for (const auto& c : v.value("codes", json::array())) post = post || c == INSUFFICIENT_POST_EVENT_HISTORY;
    out["coverage"] = json{{"truncated", false},
                           {"coverage_complete", false},
                           {"reason", post ? "insufficient_post_event_history" : "source_limit"}};
  }
  json warnings = json::array();
  for (const auto& m : v.value("messages", json::array())) warnings.push_back(m);
  out["warnings"] = warnings;
  return out;
}

std::string format_event_reaction(const json& reaction) {
  std::vector<std::string> L;
  std::string code = reaction.value("code", "");
  const json& v = reaction["validation"];
  std::string status = v.value("status", std::string(STATUS_UNAVAILABLE));
  const json& al = reaction["alignment"];
  L.push_back("## 이벤트 반응 — " + code + " · 사건일 " + reaction.value("event_date", ""));
  L.push_back("");
  static const std::map<std::string, std::string> status_label = {
      {STATUS_USABLE, "분석 가능"}, {STATUS_PARTIAL, "일부 결측"}, {STATUS_UNAVAILABLE, "분석 불가"}};
  std::string codes;
  for (const auto& c : v["codes"]) codes += (codes.empty() ? "" : ", ") + c.get<std::string>();
  L.push_back("- 검증: **" + status_label.at(status) + "** (validation=" + status + (codes.empty() ? "" : ", codes: " + codes) + ")");

  if (status == STATUS_UNAVAILABLE) {
    std::string why;
    for (const auto& m : v["messages"]) why += (why.empty() ? "" : "; ") + m.get<std::string>();
    L.push_back("");
    L.push_back("⚠️ 이 사건 창은 분석할 수 없어 수치를 만들지 않았습니다: " + why + ".");
    L.push_back("수익률·순매수가 비어 있는 것은 0%나 순매수 0이 아니라 결측입니다.");
    const json& h = reaction["history"];
    if (h["bars"].get<long>() > 0)
      L.push_back("- 보유 일봉: " + h["first_bar"].get<std::string>() + " ~ " + h["last_bar"].get<std::string>() + " (" +
                  std::to_string(h["bars"].get<long>()) + "봉)");
    L.push_back("");
    L.push_back("※ " + std::string(CORPORATE_ACTION_NOTE));
    return fmt::join(L, "\n");
  }

  const json& base = reaction["base"];
  std::string d0line = "- D0 = " + al["d0"].get<std::string>();
  if (al.value("shifted", false))
    d0line += al.value("reason", "") == "halted_on_event_date"
                  ? " (사건일 " + reaction.value("event_date", "") + "은 거래정지라 다음 거래일)"
                  : " (사건일 " + reaction.value("event_date", "") + "은 거래일이 아니라 다음 거래일)";
  d0line += " · 기준가 = D-1(" + base["date"].get<std::string>() + ") 종가 " + amount(base["close"]) + "원";
  L.push_back(d0line);
  L.push_back("");

  // Price table: every point for short windows, landmarks for long ones.
  int before = reaction.value("before", 0), after = reaction.value("after", 0);
  std::vector<long> offs;
  static const std::vector<long> marks = {1, 2, 3, 5, 10, 20, 40};
  if (before <= 10) {
    for (long k = before; k >= 1; --k) offs.push_back(-k);
  } else {
    offs.push_back(-before);
    for (auto it = marks.rbegin(); it != marks.rend(); ++it)
      if (*it < before) offs.push_back(-*it);
  }
  offs.push_back(0);
  if (after <= 10) {
    for (long k = 1; k <= after; ++k) offs.push_back(k);
  } else {
    for (long k : marks)
      if (k < after) offs.push_back(k);
    offs.push_back(after);
  }
  L.push_back("### 주가 (D-1 종가 대비)");
  L.push_back("구간 | 날짜 | 종가 | 수익률");
  L.push_back("---|---|---:|---:");
  const json& pts = reaction["points"];
  for (long k : offs) {
    std::string key = k == 0 ? "D0" : (k < 0 ? "D" + std::to_string(k) : "D+" + std::to_string(k));
    if (!pts.contains(key)) continue;
    const json& p = pts[key];
    bool av = p.value("status", "") == "available";
    std::string ret = !av ? "-" : (p.value("base", false) ? "기준" : signed_pct(p["return_pct"]));
    L.push_back(key + " | " + (av ? p["date"].get<std::string>() : "-") + " | " + (av ? amount(p["close"]) : "-") +
                " | " + ret);
  }

  const json& vol = reaction["volume"];
  L.push_back("");
  L.push_back("### 거래량");
  std::string ratio = vol["ratio"].is_number() ? fmt::fixed(vol["ratio"].get<double>(), 1) + "배" : "-";
  L.push_back("- D0 거래량 " + (vol["basis"].is_number() ? amount(vol["basis"]) + "주" : std::string("-")) + " · 직전 " +
              std::to_string(vol.value("pre_window_bars", 0)) + "거래일 평균 " +
              (vol["pre_avg"].is_number() ? amount(vol["pre_avg"]) + "주" : std::string("-")) + " → " + ratio);

  const json& f = reaction["flow"];
  L.push_back("");
  L.push_back("### 수급 (순매수, 주)");
  if (f.contains("error")) {
    L.push_back("- 수급 조회 실패(" + f["error"].get<std::string>() +
                ") — 주가 반응만 계산했습니다. 수급 칸은 순매수 0이 아니라 결측입니다.");
  } else if (f.value("status", "") == "unavailable" && !f.contains("pre")) {
    L.push_back("- 수급 데이터 없음 — 순매수 0이 아니라 결측입니다.");
  } else {
    if (f.value("via", std::string()) == "main_page")
      L.push_back("※ 대체 출처: 투자자별 매매동향 API 대신 종목 메인 페이지의 짧은 표 — 개인 칸 '-'는 0이 아니라 결측입니다.");
    L.push_back("구간 | 외국인 | 기관 | 개인 | 자료 일수");
    L.push_back("---|---:|---:|---:|---:");
    auto row = [&](const std::string& label, const json& s) {
      L.push_back(label + " | " + signed_amount(s["foreign"]) + " | " + signed_amount(s["institutional"]) + " | " +
                  signed_amount(s["individual"]) + " | " + std::to_string(s["days"].get<int>()) + "/" +
                  std::to_string(s["expected_days"].get<int>()));
    };
    row("사건 전 " + std::to_string(f["pre"]["expected_days"].get<int>()) + "일", f["pre"]);
    row("D0", f["event_day"]);
    row("사건 후 " + std::to_string(f["post"]["expected_days"].get<int>()) + "일", f["post"]);
    if (f.value("status", "") != "available")
      L.push_back("※ 자료 일수가 모자란 구간의 합계는 일부 날짜만 더한 값이며, '-'는 결측입니다.");
  }

  L.push_back("");
  if (status == STATUS_PARTIAL) {
    std::string why;
    for (const auto& m : v["messages"]) why += (why.empty() ? "" : "; ") + m.get<std::string>();
    L.push_back("⚠️ 일부 결측: " + why + ". '-' 칸은 값이 아니라 결측입니다.");
  }
  L.push_back("※ 사건일 기준으로 시간축을 정렬했을 뿐이며, 움직임의 원인이나 매매 판단을 말하지 않습니다.");
  L.push_back("※ " + std::string(CORPORATE_ACTION_NOTE));
  return fmt::join(L, "\n");
}

}  // namespace tessaro::event_reaction
