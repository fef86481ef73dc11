#include "tools/kr/screener/screen_report.hpp"

#include <algorithm>
#include <cmath>
#include <functional>

#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "market_time/bar_state.hpp"
#include "market_time/clock.hpp"
#include "server/meta.hpp"
#include "analysis/screener/screener.hpp"

namespace tessaro::tools::screen {

namespace {

json only(const json& conditions, const std::string& key) {
  json c = json::object();
  c[key] = conditions.at(key);
  return c;
}
json without(const json& conditions, const std::string& key) {
  json c = json::object();
  for (auto it = conditions.begin(); it != conditions.end(); ++it)
    if (it.key() != key) c[it.key()] = *it;
  return c;
}

std::optional<double> num(const json& m, const char* key) {
  auto it = m.find(key);
  if (it == m.end() || !it->is_number()) return std::nullopt;
  return it->get<double>();
}

std::string whole(const std::optional<double>& v) {
  return v ? fmt::fixed(*v, 0, true) : std::string("-");
}
std::string dec(const std::optional<double>& v, int d, const std::string& suffix = "") {
  return v ? fmt::fixed(*v, d) + suffix : std::string("-");
}
std::string bars_ago(const json& m, const char* key) {
  auto v = num(m, key);
  if (!v) return "-";
  long long n = fmt::round_ll(*v);
  return n == 0 ? std::string("당일") : std::to_string(n) + "봉전";
}
std::string text_or_dash(const json& m, const char* key) {
  auto it = m.find(key);
  if (it == m.end() || !it->is_string()) return "-";
  return it->get<std::string>();
}

bool has(const json& conditions, const char* key) { return conditions.contains(key) && !conditions[key].is_null(); }

std::string span_text(const json& spans, const char* key) {
  if (!spans.is_object() || !spans.contains(key) || !spans[key].is_number()) return "";
  return std::to_string(spans[key].get<long long>());
}

struct CondColumn {
  std::string head;
  std::function<std::string(const json&)> cell;
};

std::vector<CondColumn> condition_columns(const json& c, const std::string& unit, const json& spans) {
  std::vector<CondColumn> out;
  if (has(c, "cross")) out.push_back({"크로스", [](const json& m) { return bars_ago(m, "cross_bars_ago"); }});
  if (has(c, "volume_ratio_min") || has(c, "volume_ratio_max"))
    out.push_back({"거래량배수", [](const json& m) { return dec(num(m, "volume_ratio"), 2, "배"); }});
  if (has(c, "ma_trend")) {
    std::string ma = span_text(spans, "ma_trend_ma");
    out.push_back({ma.empty() ? "이평추세" : ma + unit + "선추세",
                   [](const json& m) { return text_or_dash(m, "ma_trend"); }});
  }
  if (has(c, "new_high") || has(c, "new_low"))
    out.push_back({"신고저", [](const json& m) {
                     std::vector<std::string> p;
                     if (m.value("is_new_high", false) == true) p.push_back("신고가");
                     if (m.value("is_new_low", false) == true) p.push_back("신저가");
                     return p.empty() ? std::string("-") : fmt::join(p, "·");
                   }});
  if (has(c, "change_min") || has(c, "change_max")) {
    std::string d = span_text(spans, "change_days");
    out.push_back({d.empty() ? "등락률%" : d + unit + "등락%", [](const json& m) {
                     auto v = num(m, "change_pct");
                     return v ? fmt::fixed(*v, 2, false, true) : std::string("-");
                   }});
  }
  if (has(c, "range_position_min") || has(c, "range_position_max")) {
    std::string d = span_text(spans, "range_days");
    out.push_back({d.empty() ? "구간위치" : d + unit + "위치",
                   [](const json& m) { return dec(num(m, "range_position"), 0); }});
  }
  if (has(c, "macd")) out.push_back({"MACD크로스", [](const json& m) { return bars_ago(m, "macd_cross_bars_ago"); }});
  if (has(c, "macd_zone")) out.push_back({"MACD", [](const json& m) { return whole(num(m, "macd")); }});
  if (has(c, "rsi_min") || has(c, "rsi_max"))
    out.push_back({"RSI", [](const json& m) { return dec(num(m, "rsi"), 1); }});
  return out;
}

std::optional<double> ma_value(const json& m, int period) {
  std::string k = std::to_string(period);
  const json* src = nullptr;
  if (m.contains("all_ma") && m["all_ma"].is_object() && !m["all_ma"].empty()) src = &m["all_ma"];
  else if (m.contains("ma") && m["ma"].is_object()) src = &m["ma"];
  if (!src || !src->contains(k) || !(*src)[k].is_number()) return std::nullopt;
  return (*src)[k].get<double>();
}

std::string with_meta(const std::string& text, server::KrMetaArgs meta) {
  return server::append_result_meta(text, server::kr_meta(meta));
}

}  // namespace

std::vector<std::string> screen_chart_breakdown(const json& conditions, const std::vector<Pair>& evaluated, const std::string& unit,
                                   const json& spans) {
  auto labels = screener::condition_labels(conditions, unit, spans);
  if (labels.size() < 2 || evaluated.empty()) return {};
  std::vector<std::pair<std::string, size_t>> counts;
  for (const auto& [key, label] : labels) {
    json single = only(conditions, key);
    size_t n = 0;
    for (const auto& p : evaluated)
      if (screener::matches(p.second, single)) ++n;
    counts.push_back({label, n});
  }
  std::stable_sort(counts.begin(), counts.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  std::vector<std::string> items;
  for (const auto& [label, n] : counts) items.push_back(label + " " + std::to_string(n));
  return {"",
          "💡 조건을 **하나씩만** 걸면 각각 이만큼 남습니다 (계산한 " + std::to_string(evaluated.size()) + "종목 기준):",
          "   " + fmt::join(items, " · "),
          "   가장 많이 좁히는 건 \"" + counts[0].first + "\" 입니다 (" + std::to_string(counts[0].second) +
              "종목). 여기부터 풀어 보세요."};
}

std::vector<std::string> screen_chart_relax_hint(const json& conditions, const std::vector<Pair>& evaluated, const std::string& unit,
                                    const json& spans) {
  auto labels = screener::condition_labels(conditions, unit, spans);
  if (labels.size() < 2 || evaluated.empty()) return {};
  std::vector<std::pair<std::string, size_t>> counts;
  for (const auto& [key, label] : labels) {
    json rest = without(conditions, key);
    size_t n = 0;
    for (const auto& p : evaluated)
      if (screener::matches(p.second, rest)) ++n;
    if (n > 0) counts.push_back({label, n});
  }
  if (counts.empty()) return {};
  std::stable_sort(counts.begin(), counts.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  std::vector<std::string> items;
  for (const auto& [label, n] : counts) items.push_back(label + " 빼면 " + std::to_string(n) + "종목");
  return {"", "💡 조건 **하나만 빼면** 이만큼 나옵니다:", "   " + fmt::join(items, " · ")};
}

std::vector<std::string> screen_chart_near_miss(const json& conditions, const std::vector<Pair>& evaluated, const std::string& unit,
                                   const json& spans, int limit) {
  auto labels = screener::condition_labels(conditions, unit, spans);
  if (labels.size() < 2 || evaluated.empty()) return {};
  std::vector<std::string> lines;
  for (const auto& [key, label] : labels) {
    if (int(lines.size()) >= limit) break;
    json rest = without(conditions, key), single = only(conditions, key);
    const Pair* best = nullptr;
    double best_gap = 0;
    for (const auto& p : evaluated) {
      if (!screener::matches(p.second, rest) || screener::matches(p.second, single)) continue;
      double g = screener::condition_gap(key, p.second, conditions);
      if (!best || g < best_gap) {   // equal gaps: the earlier pair stays
        best = &p;
        best_gap = g;
      }
    }
    if (!best) continue;
    lines.push_back("   " + label + " → " + best->first.value("name", std::string()) + " " +
                    best->first.value("code", std::string()) + " 가 " +
                    screener::condition_actual(key, best->second, conditions) + " 로 가장 가까웠습니다");
  }
  if (lines.empty()) return {};
  std::vector<std::string> out = {"", "🔎 조건마다 문턱에 가장 가까웠던 종목:"};
  out.insert(out.end(), lines.begin(), lines.end());
  return out;
}

std::string screen_chart_render(const RenderArgs& a) {
  json spans = a.spans.is_object() ? a.spans : json::object();
  const json& cond = a.conditions;
  std::string desc = screener::describe_conditions(cond, a.unit, spans);
  std::vector<std::string> lines;
  lines.push_back("차트 조건검색 (" + a.timeframe_label + ") — " + desc);
  std::string n_matched = std::to_string(a.matched.size());
  if (!a.stage_line.empty())
    lines.push_back(a.stage_line + " → 조건 통과 **" + n_matched + "종목**");
  else
    lines.push_back("후보 " + std::to_string(a.universe.size()) + "종목 → 계산 " + std::to_string(a.evaluated.size()) +
                    " → 조건 통과 **" + n_matched + "종목**");

  // Bar state of the measured daily bars: today's bars keep moving with
  // after-market trades until the day's after-market ends, and a bar of the
  // after-market era merges both sessions.
  json screen_bar_state = nullptr, screen_price_session = nullptr;
  if (a.unit == "일" && !a.evaluated.empty()) {
    std::vector<json> states;
    bool after_era = false;
    for (const auto& p : a.evaluated) {
      const json& ld = p.second.value("last_date", json());
      auto day = rmeta::normalize_day(ld);
      if (!day) continue;
      if (*day >= mt::KRX_AFTER_MARKET_START) after_era = true;
      states.push_back(mt::bar_state("day", json::array({{{"date", *day}}}), std::nullopt, &mt::krx_calendar(true), true));
    }
    screen_bar_state = mt::merge_bar_states(states);
    if (!states.empty())
      screen_price_session = after_era ? rmeta::PRICE_SESSION_REGULAR_AND_AFTER : rmeta::PRICE_SESSION_REGULAR;
  }

  server::KrMetaArgs early;
  early.kind = "bars";
  early.warnings = a.warnings;
  early.bar_state = screen_bar_state;
  early.price_session = screen_price_session;

  if (a.matched.empty()) {
    lines.push_back("");
    lines.push_back("⚠️ 조건을 만족하는 종목이 없습니다.");
    auto hint = screen_chart_relax_hint(cond, a.evaluated, a.unit, spans);
    if (hint.empty()) hint = screen_chart_breakdown(cond, a.evaluated, a.unit, spans);
    if (hint.empty()) hint = {"💡 완화 예: ma_spread_max 를 올리거나 volatility_pct_max 를 올려 보세요."};
    lines.insert(lines.end(), hint.begin(), hint.end());
    auto near = screen_chart_near_miss(cond, a.evaluated, a.unit, spans);
    lines.insert(lines.end(), near.begin(), near.end());
    early.data_completeness = a.evaluated.size() < a.universe.size() ? rmeta::PARTIAL : a.completeness;
    return with_meta(fmt::join(lines, "\n"), early);
  }

  int count = std::max(1, a.count);
  long long page = std::max<long long>(1, a.page);
  size_t start = size_t(page - 1) * size_t(count);
  size_t pages = (a.matched.size() + size_t(count) - 1) / size_t(count);
  std::vector<Pair> shown;
  for (size_t i = start; i < a.matched.size() && i < start + size_t(count); ++i) shown.push_back(a.matched[i]);
  if (shown.empty()) {
    lines.push_back("");
    lines.push_back("⚠️ " + std::to_string(page) + "쪽에는 결과가 없습니다 (조건 통과 " + n_matched + "종목, " +
                    std::to_string(count) + "개씩 " + std::to_string(pages) + "쪽까지).");
    early.data_completeness = a.completeness;
    return with_meta(fmt::join(lines, "\n"), early);
  }

  std::string last;
  for (const auto& p : shown) {
    auto it = p.second.find("last_date");
    if (it != p.second.end() && it->is_string() && it->get<std::string>() > last) last = it->get<std::string>();
  }
  std::string date_label, as_of;
  bool eight_digits = last.size() == 8 && std::all_of(last.begin(), last.end(), [](char ch) { return ch >= '0' && ch <= '9'; });
  if (eight_digits) {
    date_label = last.substr(0, 4) + "-" + last.substr(4, 2) + "-" + last.substr(6, 2);
    as_of = last;
  } else {
    date_label = fmt::replace_all(last.substr(0, std::min<size_t>(16, last.size())), "T", " ");
    as_of = last.substr(0, std::min<size_t>(10, last.size()));
  }
  std::string page_note;
  if (a.matched.size() > size_t(count))
    page_note = " · " + std::to_string(start + 1) + "~" + std::to_string(start + shown.size()) + "위 표시(전체 " +
                n_matched + "종목, " + std::to_string(pages) + "쪽)";
  std::string sort = screener::sort_label(cond);
  lines.push_back("기준 " + date_label + " · 시총 상위 " + std::to_string(a.universe_top) + " (" + a.market + ")");
  lines.push_back("정렬: " + sort + page_note);
  // A count outside the table's range was changed; the reader must not take the
  // one row of count=0 for the whole result.
  if (a.requested_count != count)
    lines.push_back("※ count 는 1 ~ 100 입니다 (요청 " + std::to_string(a.requested_count) + " → " +
                    std::to_string(count) + "). 조건 통과는 모두 " + n_matched + "종목입니다.");
  lines.push_back("");

  std::vector<int> ma_cols = a.periods;
  for (const char* k : {"above_ma", "below_ma"}) {
    if (!has(cond, k) || !cond[k].is_number()) continue;
    int p = int(cond[k].get<long long>());
    if (std::find(ma_cols.begin(), ma_cols.end(), p) == ma_cols.end()) ma_cols.push_back(p);
  }
  auto ccols = condition_columns(cond, a.unit, spans);
  std::string header = "순위|종목|코드|종가|";
  std::vector<std::string> ma_heads;
  for (int p : ma_cols) ma_heads.push_back(std::to_string(p) + a.unit + "선");
  header += fmt::join(ma_heads, "|") + "|이평폭%|변동성|고저폭축소|배열";
  std::string sep = "---|---|---|---|";
  for (size_t i = 0; i < ma_cols.size(); ++i) sep += "---|";
  sep += "---|---|---|---";
  for (const auto& cc : ccols) {
    header += "|" + cc.head;
    sep += "|---";
  }
  lines.push_back(header);
  lines.push_back(sep);
  for (size_t i = 0; i < shown.size(); ++i) {
    const json& cand = shown[i].first;
    const json& m = shown[i].second;
    std::vector<std::string> cells = {std::to_string(start + i + 1), cand.value("name", std::string("-")),
                                      cand.value("code", std::string("-")), whole(num(m, "close"))};
    for (int p : ma_cols) cells.push_back(whole(ma_value(m, p)));
    cells.push_back(dec(num(m, "ma_spread"), 2));
    cells.push_back(screener::format_percentile(m.contains("volatility_pct") ? m["volatility_pct"] : json(nullptr)));
    cells.push_back(dec(num(m, "contraction"), 2, "배"));
    cells.push_back(text_or_dash(m, "ma_order"));
    for (const auto& cc : ccols) cells.push_back(cc.cell(m));
    lines.push_back(fmt::join(cells, "|"));
  }
  if (a.matched.size() <= size_t(SCREEN_NARROW_HINT)) {
    auto b = screen_chart_breakdown(cond, a.evaluated, a.unit, spans);
    lines.insert(lines.end(), b.begin(), b.end());
    auto nm = screen_chart_near_miss(cond, a.evaluated, a.unit, spans);
    lines.insert(lines.end(), nm.begin(), nm.end());
  }
  if (start + shown.size() < a.matched.size()) {
    lines.push_back("");
    lines.push_back("→ 다음 쪽: page=" + std::to_string(page + 1) + " (남은 " +
                    std::to_string(a.matched.size() - start - shown.size()) +
                    "종목). 주가·시총을 쪼개 다시 부르지 마세요 — 경계에서 종목이 빠지거나 겹칩니다.");
  }
  lines.push_back("");
  lines.push_back("※ 변동성은 그 종목 자기 이력 안의 백분위입니다(낮을수록 조용함). 종목 간 절대 비교값이 아닙니다.");
  if (screen_price_session == rmeta::PRICE_SESSION_REGULAR_AND_AFTER)
    lines.push_back("※ " + std::string(mt::KRX_AFTER_MARKET_START) +
                    "부터 네이버 일봉의 종가·이평은 애프터마켓 체결을 합친 값입니다(종가 = 애프터마켓 마지막 체결가). "
                    "정규장 종가가 아니므로 '정규장 종가'로 부르지 마세요." +
                    (screen_bar_state.is_object() && screen_bar_state["last_bar_complete"] == false
                         ? " 오늘 봉은 애프터마켓이 끝날 때까지 바뀌므로 결과도 달라질 수 있습니다."
                         : ""));
  std::string d = screener::describe_dropped(a.dropped);
  if (!d.empty()) {
    lines.push_back("※ " + d + ". 다 보려면 exclude=\"없음\", 시총 하한은 market_cap_min 으로 바꿉니다.");
    lines.push_back("※ 정리매매·투자주의환기종목은 목록을 받을 수 없어 빼지 못했습니다.");
  }

  bool complete = a.evaluated.size() >= a.universe.size();
  std::string completeness = complete ? a.completeness : std::string(rmeta::PARTIAL);
  json coverage = json::object();
  coverage["requested"] = {{"unit", "stock"}, {"value", a.universe.size()}};
  coverage["effective"] = {{"unit", "stock"}, {"value", a.evaluated.size()}};
  coverage["coverage_complete"] = complete;
  if (!complete) coverage["reason"] = a.coverage_reason;
  json extra = json::object();
  extra["screen_conditions"] = cond;
  extra["ma_set"] = a.periods;
  extra["universe_top"] = a.universe_top;
  extra["screen_excluded"] = a.dropped.is_object() ? a.dropped : json::object();
  extra["screen_matched"] = a.matched.size();
  extra["screen_shown"] = shown.size();
  extra["screen_page"] = page;
  extra["screen_pages"] = pages;
  extra["screen_sort"] = sort;
  if (a.extra.is_object())
    for (auto it = a.extra.begin(); it != a.extra.end(); ++it) extra[it.key()] = *it;
  server::KrMetaArgs meta;
  meta.kind = "bars";
  meta.data_as_of = as_of.empty() ? json(nullptr) : json(as_of);
  meta.data_completeness = completeness;
  meta.warnings = a.warnings;
  if (a.requested_count != count)
    meta.warnings.push_back("count " + std::to_string(a.requested_count) + " → " + std::to_string(count) +
                            " (1 ~ 100): 이 쪽은 조건 통과 " + n_matched + "종목 가운데 일부입니다.");
  meta.coverage = coverage;
  meta.extra = extra;
  meta.bar_state = screen_bar_state;
  meta.price_session = screen_price_session;
  return with_meta(fmt::join(lines, "\n"), meta);
}

}  // namespace tessaro::tools::screen
