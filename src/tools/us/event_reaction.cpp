// get_us_event_reaction: a US stock's price reaction to an event (above all an
// earnings release), measured from the first bar that can react to it. A release
// before the open reacts in that day's bar, one after the close in the next trading
// day's bar; with no known release time the next trading day is taken. Only
// completed daily bars count.
#include <algorithm>
#include <set>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "market_time/clock.hpp"
#include "market_time/listing.hpp"
#include "server/arg_rules.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "server/wrappers.hpp"
#include "analysis/event_reaction/event_reaction.hpp"
#include "analysis/indicators/split_bars.hpp"
#include "sources/yahoo/us.hpp"
#include "tools/us/us_format.hpp"

namespace tessaro::tools {
namespace {

using namespace tools::us;
using server::Args;

const char* kDoc =
    "US event reaction — 발표 세션에 맞는 기준 거래일로 주가 반응을 정렬 (SL-05).\n\n"
    "ticker: 미국 티커\n"
    "event_date: 사건(실적 발표 등) 날짜 YYYY-MM-DD\n"
    "session: \"auto\" (기본, 실적 일정의 발표 시각으로 판정), \"pre\" (장전 발표), \"post\" (장후 발표), \"unknown\"\n"
    "after: 기준 거래일 이후 볼 거래일 수 (기본 5, 최대 20)\n"
    "장전 발표는 당일 봉, 장후 발표는 다음 거래일 봉이 첫 반응(D0)이며 기준가는 D0 직전 완성봉 종가입니다. "
    "발표 시각을 모르면 보수적으로 다음 거래일을 D0로 씁니다. 진행 중인 봉은 계산에서 제외합니다.";

// Trading-day offsets after D0 shown in the table.
std::vector<int> checkpoints(int after) {
  std::set<int> ks = {0, 1};
  if (after >= 3) ks.insert(after >= 4 ? after / 2 : after);
  ks.insert(after);
  return {ks.begin(), ks.end()};
}

std::string bar_day(const json& bar) {
  json d = bar.value("date", json());
  if (!d.is_string()) d = bar.value("datetime", json());
  return rmeta::normalize_day(d).value_or("");
}

// The release session of the event day from the earnings schedule ("unknown" when
// the schedule has no event on that day).
// A failed schedule lookup is said as such (and sets `lookup_failed`); the revenue and
// cash-flow side of the events record does not matter here.
std::string session_from_schedule(const std::string& ticker, const std::string& ed, std::vector<std::string>& warnings,
                                  bool& lookup_failed) {
  json ev;
  try {
    ev = ::tessaro::us::get_earnings_events(ticker);
  } catch (const Error& e) {
    lookup_failed = true;
    warnings.push_back("실적 일정 조회 실패(" + server::cause_text(e) +
                       ") - 발표 세션을 확인하지 못했습니다. 세션을 알면 session=\"pre\"/\"post\" 로 지정하세요.");
    return "unknown";
  }
  json events = ev.is_object() ? ev.value("events", json::array()) : json::array();
  if (events.is_array())
    for (const json& e : events) {
      if (!e.is_object() || rmeta::normalize_day(e.value("date", json())).value_or("") != ed) continue;
      return earnings_session(text(e.value("timestamp", json())).value_or(""));
    }
  std::vector<std::string> schedule_failures;
  if (ev.is_object())
    for (const json& f : ev.value("failed_parts", json::array()))
      if (f.value("part", std::string()) != "revenue_cash_flow") schedule_failures.push_back(plain(f.value("reason", json())));
  if (!schedule_failures.empty()) {
    lookup_failed = true;
    warnings.push_back("실적 일정 일부 조회 실패(" + fmt::join(schedule_failures, "; ") + ") - " + ed +
                       " 발표가 일정에 없다는 뜻이 아니라 확인 불가입니다. 세션을 알면 session=\"pre\"/\"post\" 로 지정하세요.");
    return "unknown";
  }
  warnings.push_back(ed + " 발표 시각을 실적 일정에서 찾지 못했습니다. 세션을 알면 session=\"pre\"/\"post\" 로 지정하세요.");
  return "unknown";
}

std::string get_us_event_reaction(const Args& a) {
  std::string ticker = a.str("ticker");
  std::string event_date = a.str("event_date");
  std::string session_arg = a.str("session");
  int after = int(std::clamp<long long>(a.integer("after"), 1, 20));

  auto edo = rmeta::normalize_day(event_date);
  if (!edo || edo->empty()) return "event_date 를 날짜로 읽지 못했습니다: " + event_date;
  const std::string ed = *edo;

  std::vector<std::string> warnings;
  std::string session;
  bool schedule_failed = false;
  if (session_arg == "auto") session = session_from_schedule(ticker, ed, warnings, schedule_failed);
  else if (session_arg == "pre") session = "pre_market";
  else if (session_arg == "post") session = "post_market";
  else session = session_arg;
  if (session == "unknown") warnings.push_back("발표 시각 미상 - 보수적으로 다음 거래일을 기준 거래일로 씁니다.");

  json series = ::tessaro::us::get_chart(ticker, "1y", "1d", false);
  json raw = series.value("rows", json::array());
  mt::Listing listing = mt::listing_of(series.value("symbol", json()).is_string() ? series["symbol"].get<std::string>() : ticker,
                                       series.value("timezone", json()).is_string() ? series["timezone"].get<std::string>() : "");
  if (!raw.is_array() || raw.empty()) return "티커 '" + ticker + "'의 일봉을 가져올 수 없습니다.";
  json bars = indicators::split_valid_bars(raw).valid;
  std::vector<std::string> days;
  for (const json& b : bars) days.push_back(bar_day(b));
  if (!bars.empty()) {
    auto last = mt::parse_day(days.back());
    bool closed = last && mt::listing_day_closed(listing, *last, mt::now()).value_or(false);
    if (!closed) {
      warnings.push_back("진행 중인 봉(" + days.back() + ")은 반응 계산에서 제외했습니다.");
      bars.erase(bars.size() - 1);
      days.pop_back();
    }
  }
  if (bars.size() < 2) return "티커 '" + ticker + "'의 완성된 일봉이 부족합니다.";

  // D0: the first bar that can carry the reaction.
  bool same_day = session == "pre_market" || session == "during_market";
  std::string selection = session == "pre_market"      ? "same_day_pre_market"
                          : session == "during_market" ? "same_day_during_market"
                          : session == "post_market"   ? "next_trading_day_post_market"
                                                       : "next_trading_day_unknown_session";
  if (session == "during_market") warnings.push_back("장중 발표 - 당일 봉에는 발표 전 체결이 섞여 있습니다.");
  const int n = int(bars.size());
  int i0 = -1;
  for (int i = 0; i < n; ++i)
    if (same_day ? days[size_t(i)] >= ed : days[size_t(i)] > ed) {
      i0 = i;
      break;
    }

  server::UsMetaArgs m;
  m.kind = "bars";
  m.ticker = ticker;
  m.data_as_of = days.back();
  m.bar_forming = false;
  if (i0 < 0) {
    m.data_completeness = rmeta::NONE;
    m.coverage = json{{"truncated", false}, {"coverage_complete", false},
                      {"reason", event_reaction::INSUFFICIENT_POST_EVENT_HISTORY}};
    m.warnings = warnings;
    std::string text = "# US 이벤트 반응 - " + ticker + " (" + ed +
                       ")\n\n사건 이후의 완성된 거래일이 아직 없습니다. 다음 정규장 이후 다시 조회하세요.";
    return server::append_result_meta(text, server::us_meta(m));
  }
  if (i0 == 0) return "사건(" + ed + ") 이전 봉이 없어 기준 대비 수익률을 만들 수 없습니다.";

  double base = bars[size_t(i0 - 1)]["close"].get<double>();   // valid bars have a positive close
  int available = n - 1 - i0;
  std::vector<std::string> lines = {
      "# US 이벤트 반응 - " + ticker + " (발표일 " + ed + ", " + session_label(session) + ")",
      "",
      "기준 거래일: **" + days[size_t(i0)] + "** (" + selection + ") · 기준가: 직전 완성봉(" + days[size_t(i0 - 1)] +
          ") 종가 " + fmt::fixed(base, 2, true),
      "",
      "| 지점 | 거래일 | 기준 대비 |",
      "|---|---|---:|"};
  for (int k : checkpoints(after)) {
    std::string label = k == 0 ? "D0" : "D+" + std::to_string(k);
    int i = i0 + k;
    if (i < n) {
      double close = bars[size_t(i)]["close"].get<double>();
      lines.push_back("| " + label + " | " + days[size_t(i)] + " | " + fmt::fixed((close / base - 1) * 100, 2, false, true) +
                      "% |");
    } else {
      lines.push_back("| " + label + " | - | - |");
    }
  }
  bool full = available >= after;
  if (!full) {
    lines.push_back("");
    lines.push_back("⚠️ 사건 후 완성 거래일이 " + std::to_string(available) + "일뿐입니다(요청 D+" + std::to_string(after) +
                    "). 빈 지점은 아직 거래일이 없는 것입니다.");
  }
  lines.push_back("");
  lines.push_back(std::string("_") + event_reaction::CORPORATE_ACTION_NOTE + "_");

  m.data_completeness = full && !schedule_failed ? rmeta::COMPLETE : rmeta::PARTIAL;
  m.warnings = warnings;
  m.price_adjustment = ::tessaro::us::history_price_adjustment();
  if (full && schedule_failed)
    m.coverage = json{{"truncated", false}, {"coverage_complete", false}, {"reason", "source_limit"}};
  if (!full)
    m.coverage = json{{"requested", {{"unit", "trading_day"}, {"after", after}}},
                      {"effective", {{"unit", "trading_day"}, {"after", available}}},
                      {"truncated", true},
                      {"coverage_complete", false},
                      {"reason", event_reaction::INSUFFICIENT_POST_EVENT_HISTORY}};
  m.extra = json{{"event_window",
                  {{"requested", {{"after", after}}},
                   {"actual", {{"after", available}}},
                   {"basis_trading_date", days[size_t(i0)]},
                   {"basis_selection", selection},
                   {"session", session},
                   {"last_usable_trading_date", days[size_t(std::min(i0 + after, n - 1))]}}}};
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

const server::ToolRegistration reg{"get_us_event_reaction", kDoc, get_us_event_reaction};
const server::ArgumentShape shape_get_us_event_reaction_ticker{"get_us_event_reaction", "ticker", server::Shape::UsTicker};

}  // namespace
}  // namespace tessaro::tools
