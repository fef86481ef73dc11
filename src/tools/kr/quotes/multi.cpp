// get_multi_stocks, get_multi_chart_stats, get_index: token-saving views of many
// stocks at once and of the market as a whole.
#include <algorithm>
#include <cmath>
#include <mutex>

#include "core/call_context.hpp"
#include "core/format.hpp"
#include "core/parallel.hpp"
#include "core/result_meta.hpp"
#include "market_time/bar_state.hpp"
#include "market_time/day_times.hpp"
#include "market_time/clock.hpp"
#include "market_time/quote_standing.hpp"
#include "tools/kr/common/kr_common.hpp"
#include "server/arg_rules.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "analysis/event_reaction/event_reaction.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::tools {
namespace {

using server::NEWLINE;

std::string str(const json& v) { return v.is_string() ? v.get<std::string>() : ""; }
std::string num(const json& v) {
  return v.is_number() ? fmt::thousands(fmt::round_ll(v.get<double>())) : std::string("-");
}

std::vector<std::string> code_list(const server::Args& a) {
  auto l = a.str_list("codes");
  return l ? *l : std::vector<std::string>{};
}

std::string get_multi_stocks(const server::Args& a) {
  std::vector<std::string> codes = code_list(a);
  if (codes.empty()) return "종목코드 리스트가 비어 있습니다.";
  ProgressStage progress("시세 조회");
  json rows = naver::get_multi_stocks(codes);
  if (!rows.is_array() || rows.empty()) return "종목 정보를 가져올 수 없습니다.";
  auto [session, counts] = mt::rows_price_session(rows);
  bool session_col = counts.count(rmeta::PRICE_SESSION_AFTER_MARKET) > 0;
  std::vector<std::string> lines = {"종목 정보 (" + std::to_string(rows.size()) + "개):", ""};
  if (session_col) {
    lines.push_back("코드 | 종목명 | 현재가 | 전일대비 | 등락률 | 거래량 | 세션");
    lines.push_back("---|---|---|---|---|---|---");
  } else {
    lines.push_back("코드 | 종목명 | 현재가 | 전일대비 | 등락률 | 거래량");
    lines.push_back("---|---|---|---|---|---");
  }
  std::vector<std::string> got;
  for (const auto& r : rows) {
    const json& ch = r.value("change", json());
    std::string change = !ch.is_number() ? "-" : fmt::round_ll(ch.get<double>()) == 0
                                                     ? "0"
                                                     : fmt::thousands(fmt::round_ll(ch.get<double>()), true);
    std::string line = str(r.value("code", json())) + " | " + str(r.value("name", json())) + " | " +
                       num(r.value("price", json())) + " | " + change + " | " +
                       (str(r.value("change_rate", json())).empty() ? "-" : str(r["change_rate"])) + " | " +
                       num(r.value("volume", json()));
    if (session_col) {
      auto it = server::SESSION_SHORT.find(str(r.value("price_session", json())));
      line += " | " + (it == server::SESSION_SHORT.end() ? std::string("-") : it->second);
    }
    lines.push_back(line);
    got.push_back(fmt::upper(str(r.value("code", json()))));
  }
  // Codes asked for that came back without a quote are named, not dropped.
  std::vector<std::string> missing;
  for (const auto& c : codes) {
    std::string u = fmt::upper(fmt::trim(c));
    if (std::find(got.begin(), got.end(), u) == got.end() &&
        std::find(missing.begin(), missing.end(), c) == missing.end())
      missing.push_back(c);
  }
  if (auto note = mt::rows_session_note(counts)) {
    lines.push_back("");
    lines.push_back(*note);
  }
  server::KrMetaArgs m;
  m.kind = "quote";
  m.price_session = session;
  // The batch's day is its latest last trade; stocks whose last trade is older
  // (halted, illiquid) are named with their own day.
  std::string latest;
  for (const auto& r : rows)
    if (auto d = mt::quote_day_of(r)) latest = std::max(latest, *d);
  if (!latest.empty()) {
    m.data_as_of = latest;
    std::vector<std::string> older;
    json per = json::object();
    for (const auto& r : rows) {
      auto d = mt::quote_day_of(r);
      per[str(r.value("code", json()))] = d ? json(*d) : json(nullptr);
      if (d && *d < latest) older.push_back(str(r.value("code", json())) + "(" + *d + ")");
    }
    m.extra = {{"per_entity_data_as_of", per}};
    if (!older.empty()) {
      lines.push_back("");
      lines.push_back("※ 마지막 체결일이 " + latest + "보다 앞선 종목: " + fmt::join(older, ", ") +
                      " — 그날의 마지막 체결가이며 그 뒤로 체결이 없습니다(거래정지·거래가 드문 종목일 수 있음).");
      m.warnings.push_back("마지막 체결일이 다른 종목 " + std::to_string(older.size()) + "개: " + fmt::join(older, ", "));
    }
  }
  if (!missing.empty()) {
    lines.push_back("");
    lines.push_back("※ 조회 실패: " + fmt::join(missing, ", ") + " (코드를 확인하거나 get_price 로 따로 조회하세요)");
    m.warnings.push_back("시세를 받지 못한 종목 " + std::to_string(missing.size()) + "개: " + fmt::join(missing, ", "));
    m.data_completeness = rmeta::PARTIAL;
  }
  return server::append_result_meta(fmt::join(lines, NEWLINE), server::kr_meta(m));
}

// Stocks one chart-statistics call reads, as its description says: each is a
// daily-bar request, and a list of thousands would flood the site.
constexpr size_t kChartStatsMax = 100;

std::string get_multi_chart_stats(const server::Args& a) {
  std::vector<std::string> asked = code_list(a);
  if (asked.empty()) return "종목코드 리스트가 비어 있습니다.";
  // The same code twice is one stock; the cut counts stocks, not list items.
  std::vector<std::string> codes;
  for (const auto& c : asked) {
    std::string u = fmt::upper(fmt::trim(c));
    if (std::find(codes.begin(), codes.end(), u) == codes.end()) codes.push_back(u);
  }
  const size_t requested = codes.size();
  const bool cut = requested > kChartStatsMax;
  if (cut) codes.resize(kChartStatsMax);
  int days = (int)std::clamp<long long>(a.integer("days"), 10, 500);
  ProgressStage progress("차트 통계 조회");
  json rows = naver::get_multi_chart_stats(codes, days);
  json ok = json::array();
  std::vector<std::string> failed, unknown;
  if (rows.is_array())
    for (const auto& r : rows) {
      if (r.value("error", json()) == "not_found") unknown.push_back(str(r.value("code", json())));
      else if (r.contains("error") || !r.value("current_price", json()).is_number())
        failed.push_back(str(r.value("code", json())));
      else ok.push_back(r);
    }
  if (ok.empty()) {
    if (failed.empty() && unknown.size() == 1) return server::code_not_found_reply(unknown[0], "");
    std::string text = "차트 통계를 가져올 수 없습니다.";
    if (!failed.empty()) text += " 조회 실패: " + fmt::join(failed, ", ") + ".";
    if (!unknown.empty())
      text += " 종목 없음(잘못된 코드이거나 상장폐지): " + fmt::join(unknown, ", ") + " — search로 종목코드를 확인해 주세요.";
    return text;
  }
  const double short_limit = days * 0.6;
  auto is_short = [&](const json& r) {
    const json& b = r.value("bars_count", json());
    return b.is_number_integer() && b.get<double>() < short_limit;
  };
  std::vector<std::string> lines;
  std::string cut_note = std::to_string(requested) + "종목을 요청했지만 한 번에 " + std::to_string(kChartStatsMax) +
                         "종목까지만 조회합니다. 앞 " + std::to_string(kChartStatsMax) +
                         "종목만 아래에 있습니다. 나머지는 나눠서 다시 호출하세요.";
  if (cut) {
    lines.push_back("⚠️ " + cut_note);
    lines.push_back("");
  }
  for (std::string l : {"차트 통계 (" + std::to_string(ok.size()) + "개 종목, 요청 " + std::to_string(days) + "일 집계):",
                        std::string(), std::string("코드 | 현재가 | 최고가(날짜) | 최저가(날짜) | 고점대비낙폭 | 기간수익률 | 봉수"),
                        std::string("---|---|---|---|---|---|---")})
    lines.push_back(l);
  std::vector<std::string> short_entries;
  long long excluded = 0;
  for (const auto& r : ok) {
    const json& b = r.value("bars_count", json());
    std::string bars = b.is_number() ? std::to_string(b.get<long long>()) : "-";
    if (is_short(r)) {
      bars = "⚠️" + bars;
      short_entries.push_back(str(r["code"]) + "(" + std::to_string(b.get<long long>()) + "봉)");
    }
    auto pct = [&](const char* k) {
      const json& v = r.value(k, json());
      return v.is_number() ? fmt::fixed(v.get<double>(), 1, false, true) + "%" : std::string("-");
    };
    lines.push_back(str(r["code"]) + " | " + num(r["current_price"]) + " | " + num(r.value("high", json())) + "(" +
                    str(r.value("high_date", json())) + ") | " + num(r.value("low", json())) + "(" +
                    str(r.value("low_date", json())) + ") | " + pct("drawdown_pct") + " | " + pct("period_return_pct") +
                    " | " + bars);
    if (r.value("excluded_bars", json()).is_number()) excluded += r["excluded_bars"].get<long long>();
  }
  json pam = event_reaction::price_adjustment_meta();
  lines.push_back("");
  lines.push_back("※ 기간 **집계값**만 반환(시계열 OHLCV 아님). 봉별 시계열이 필요하면 get_chart를 별도 호출.");
  lines.push_back("※ **봉수**는 이 통계가 실제로 몇 거래일로 계산됐는지입니다. 요청 기간보다 훨씬 적으면(⚠️) 고점·저점과 낙폭이 "
                  "그 짧은 구간 기준이라, '52주 고점' 같은 표현을 쓰면 안 됩니다.");
  lines.push_back("※ " + std::string(event_reaction::CORPORATE_ACTION_NOTE));

  // After-market: stocks whose daily bars can hold after-market trades.
  std::vector<char> can(ok.size(), 0);
  parallel_for(ok.size(), 10, [&](size_t i) {
    try {
      can[i] = mt::bars_can_include_after_market(naver::get_krx_sosok(str(ok[i]["code"]))) ? 1 : 0;
    } catch (...) {
      can[i] = 1;   // unknown: the note errs on the side of caution
    }
  });
  json ext_rows = json::array();
  for (size_t i = 0; i < ok.size(); ++i)
    if (can[i]) ext_rows.push_back({{"date", ok[i].value("current_date", json())}});
  json ext = mt::extended_bar_info(ext_rows, "day");
  if (ext.is_object() && !ext.empty()) {
    lines.push_back("※ " + str(ext.value("since", json())) +
                    "부터 네이버 일봉은 애프터마켓(16:00~20:00) 체결을 합친 값입니다. 현재가(마지막 봉 종가)는 20:00 "
                    "애프터마켓 마지막 체결가이고, 최고가·최저가·기간수익률에도 애프터마켓 체결이 들어갑니다. 정규장 종가 "
                    "기준 수치가 아닙니다." + mt::today_bar_note(ext));
  }
  std::vector<std::string> warnings;
  if (excluded > 0)
    warnings.push_back("거래정지 placeholder 등 비정상 봉 " + std::to_string(excluded) +
                       "개를 집계에서 제외했습니다. 해당 날짜의 고가·저가는 실제 값이 아닙니다.");
  if (!short_entries.empty())
    warnings.push_back("요청 " + std::to_string(days) + "일보다 데이터가 크게 짧은 종목 " +
                       std::to_string(short_entries.size()) + "건: " + fmt::join(short_entries, ", ") +
                       " — 신규 상장·거래정지 가능성. 낙폭·기간수익률이 짧은 구간 기준입니다.");
  if (!unknown.empty()) {
    lines.push_back("※ 종목 없음(잘못된 코드이거나 상장폐지): " + fmt::join(unknown, ", ") + " — search로 종목코드를 확인하세요");
    warnings.push_back("해당 코드의 종목이 없음(차트에 봉이 없음) " + std::to_string(unknown.size()) + "개: " +
                       fmt::join(unknown, ", "));
  }
  if (!failed.empty()) {
    lines.push_back("※ 조회 실패: " + fmt::join(failed, ", "));
    warnings.push_back("차트를 받지 못한 종목 " + std::to_string(failed.size()) + "개: " + fmt::join(failed, ", "));
  }
  json per = json::object();
  json latest = nullptr;
  std::vector<json> states;
  for (size_t i = 0; i < ok.size(); ++i) {
    const json& r = ok[i];
    auto d = rmeta::normalize_day(r.value("current_date", json()));
    per[str(r["code"])] = d ? json(*d) : json(nullptr);
    if (d && (latest.is_null() || *d > latest.get<std::string>())) latest = *d;
    // ETFs and ETNs close with the regular session.
    states.push_back(mt::bar_state("day", json::array({{{"date", r.value("current_date", json())}}}), std::nullopt,
                                   &mt::krx_calendar(can[i] != 0), true));
  }
  server::KrMetaArgs m;
  m.kind = "bars";
  m.data_as_of = latest;
  m.data_completeness = (!short_entries.empty() || !failed.empty() || cut) ? rmeta::PARTIAL : rmeta::COMPLETE;
  if (cut) {
    warnings.insert(warnings.begin(), cut_note);
    m.coverage = {{"requested_entities", requested},
                  {"returned_entities", ok.size()},
                  {"truncated", true},
                  {"coverage_complete", false},
                  {"reason", "server_cap"}};
  }
  m.bar_state = mt::merge_bar_states(states);
  m.price_adjustment = pam;
  m.price_session = mt::price_session_for_bars(ext);
  m.warnings = warnings;
  m.extra = {{"per_entity_data_as_of", per}};
  if (ext.is_object() && !ext.empty()) m.extra["session_mix"] = ext;
  return server::append_result_meta(fmt::join(lines, NEWLINE), server::kr_meta(m));
}

std::string get_index(const server::Args&) {
  json rows = naver::get_market_index();
  if (!rows.is_array() || rows.empty()) return "시장 지수를 가져올 수 없습니다.";
  std::vector<std::string> lines = {"시장 지수:"};
  std::vector<std::string> warnings;
  size_t missed = 0, failed = 0;
  bool stand_in = false;
  for (const auto& r : rows) {
    std::string name = str(r.value("index", json()));
    if (r.value("via", std::string()) == "index_basic") stand_in = true;
    if (r.value("failed", json()).is_string()) {
      ++failed;
      lines.push_back("  " + name + ": 조회 실패 (" + str(r["failed"]) + ") — 값이 없는 것이 아니라 모름");
      warnings.push_back(name + " 조회 실패(" + str(r["failed"]) + ")");
      continue;
    }
    const json& v = r.value("value", json());
    const json& cv = r.value("change_value", json());
    const json& cr = r.value("change_rate", json());
    std::string line = "  " + name + ": " + (v.is_number() ? fmt::fixed(v.get<double>(), 2, true) : "데이터 없음");
    if (cv.is_number()) line += " " + fmt::fixed(cv.get<double>(), 2, true, true) + "p";
    if (cr.is_number()) line += " (" + fmt::fixed(cr.get<double>(), 2, false, true) + "%)";
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.push_back(line);
    const json& miss = r.value(naver::PARSE_MISS_KEY, json());
    if (miss.is_array() && !miss.empty()) {
      ++missed;
      std::vector<std::string> f;
      for (const auto& x : miss) f.push_back(str(x));
      warnings.push_back(name + " 읽지 못한 항목: " + fmt::join(f, ", "));
    }
  }
  if (stand_in) {
    lines.push_back("");
    lines.push_back("※ 대체 출처: 지수 실시간 API가 응답하지 않아 지수별 요약(m.stock)으로 읽었습니다.");
    warnings.push_back("지수 실시간 API 조회 실패 — 지수별 요약으로 대신 읽음.");
  }
  server::KrMetaArgs m;
  m.kind = "snapshot";
  m.data_completeness = warnings.empty() ? rmeta::COMPLETE : rmeta::PARTIAL;
  if (failed == rows.size()) m.data_completeness = rmeta::NONE;
  if (missed == rows.size()) {
    m.data_completeness = rmeta::NONE;
    warnings.push_back("모든 지수를 읽지 못했습니다 — 네이버 페이지 구조 변경 가능성.");
  }
  m.warnings = warnings;
  m.price_session = rmeta::PRICE_SESSION_REGULAR;
  return server::append_result_meta(fmt::join(lines, NEWLINE), server::kr_meta(m));
}

const char* kMulti =
    "멀티시세 — 여러 종목의 현재가를 한 줄씩 한 번에 조회 (최대 30개). 두 종목 이상이면 get_price 를 여러 번 부르지 말고 "
    "이 도구를 쓰세요.\n\ncodes: 종목코드 리스트 (예: ['005930', '000660'])";
const char* kStats =
    "멀티차트통계 — 여러 종목의 기간 통계(현재가, 최고가·최저가와 날짜, 고점대비 낙폭, 기간수익률, 봉수)를 한 번에 조회 "
    "(최대 100개). 시계열이 아니라 집계값이며, 낙폭·기간수익률로 종목을 고를 때 쓰세요.\n\n"
    "codes: 종목코드 리스트\ndays: 집계 거래일 수 (기본 260 = 52주, 10~500)";
const char* kIndex = "시장 지수 — 코스피·코스닥 지수의 현재 값, 전일대비, 등락률.";

const server::ToolRegistration r1{"get_multi_stocks", kMulti, get_multi_stocks};
const server::ToolRegistration r2{"get_multi_chart_stats", kStats, get_multi_chart_stats};
const server::ToolRegistration r3{"get_index", kIndex, get_index};
const server::ArgumentShape shape_get_multi_stocks_codes{"get_multi_stocks", "codes", server::Shape::KrCode};
const server::ArgumentShape shape_get_multi_chart_stats_codes{"get_multi_chart_stats", "codes", server::Shape::KrCode};

}  // namespace
}  // namespace tessaro::tools
