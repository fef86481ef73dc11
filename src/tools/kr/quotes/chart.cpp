// get_chart: daily/weekly/monthly OHLCV of one Korean stock, with placeholder
// bars dropped and counted, after-market-merged closes labelled, and the 15:30
// regular close shown beside recent merged daily closes.
#include <algorithm>
#include <string>
#include <vector>

#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "market_time/bar_state.hpp"
#include "market_time/day_times.hpp"
#include "market_time/clock.hpp"
#include "tools/kr/common/kr_common.hpp"
#include "server/chart_view.hpp"
#include "server/arg_rules.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "analysis/event_reaction/price_adjustment.hpp"
#include "analysis/indicators/split_bars.hpp"
#include "sources/market_data/daily_bars.hpp"
#include "sources/naver/naver.hpp"
#include "tools/kr/common/timeframes.hpp"

namespace tessaro::tools {
namespace {

const char* kDoc =
    "캔들차트 OHLCV — 종목의 시계열 캔들 데이터(시가/고가/저가/종가/거래량, candlestick OHLCV).\n\n"
    "여러 종목의 기간 통계(고점·저점·낙폭·기간수익률)만 필요하면 get_multi_chart_stats를 쓰세요. "
    "미국 주식은 get_us_chart를 사용합니다. 기술적 지표는 사용자가 명시적으로 요청할 때만 get_indicators로 조회하세요.\n\n"
    "Args:\n"
    "    code: 6자리 종목코드 (예: \"005930\")\n"
    "    timeframe: \"day\"(일봉) / \"week\"(주봉) / \"month\"(월봉)\n"
    "    count: 봉 개수 (기본 120 ≈ 6개월, 최대 500)";

std::string tf_label(const std::string& tf) {
  if (tf == "day") return "일봉";
  if (tf == "week") return "주봉";
  if (tf == "month") return "월봉";
  return tf;
}

std::string num_text(const json& v) {
  if (v.is_number_integer()) return std::to_string(v.get<long long>());
  if (v.is_number_float()) {
    double d = v.get<double>();
    if (d == static_cast<long long>(d)) return std::to_string(static_cast<long long>(d));
    return fmt::pyfloat(d);
  }
  return "-";
}

// Always with its sign: "+150", "-30", and "+0" for no difference.
std::string signed_diff(double d) {
  if (d == static_cast<long long>(d)) {
    long long v = static_cast<long long>(d);
    return (v >= 0 ? "+" : "") + std::to_string(v);
  }
  return (d >= 0 ? "+" : "") + fmt::pyfloat(d);
}

bool has_fraction(const json& rows) {
  for (const auto& r : rows)
    for (const char* k : {"open", "high", "low", "close"}) {
      auto it = r.find(k);
      if (it != r.end() && it->is_number_float()) {
        double d = it->get<double>();
        if (d != static_cast<long long>(d)) return true;
      }
    }
  return false;
}

const server::ArgumentChoices reg_timeframe{"get_chart", "timeframe", daily_timeframes()};
const server::Range kCount{std::nullopt, 500};
const server::ArgumentRange reg_count{"get_chart", "count", kCount};

// The source answered that it has nothing for the code (a chart without items,
// a quote list without it): recorded as "not found" in this call's ledger. An
// empty result without such an answer (a malformed argument never sent) is not.
bool source_said_not_found() {
  if (CallContext* c = current_call())
    for (const auto& e : c->ledger())
      if (e.outcome == LookupStatus::not_found) return true;
  return false;
}

std::string get_chart(const server::Args& args) {
  const std::string code = args.str("code");
  const std::string timeframe = args.str("timeframe");
  long long count_ll = kCount.clamp(args.integer("count"));
  int count = static_cast<int>(std::max<long long>(count_ll, -1000000));

  auto got = server::code_lookup([&] { return bars_cache::get_ohlcv(code, timeframe, count); });
  if (got.failure()) {
    server::offer_chart_outcome(server::OUTCOME_FAILED);
    return server::code_failed_reply(code, "차트(" + tf_label(timeframe) + ")", got.reason, "bars");
  }
  if (got.missing() && source_said_not_found()) {
    server::offer_chart_outcome(server::OUTCOME_NOT_FOUND);
    return server::code_not_found_reply(code, "bars");
  }
  json raw = got.value;
  auto split = indicators::split_valid_bars(raw.is_array() ? raw : json::array());
  json rows = split.valid;
  auto [exclusion, exclusion_warnings] = mt::bar_exclusion_info(split.excluded);

  if (!rows.is_array() || rows.empty()) {
    server::KrMetaArgs ma;
    ma.kind = "bars";
    ma.code = code;
    ma.data_completeness = rmeta::NONE;
    ma.warnings = {"차트 데이터를 가져오지 못했습니다."};
    return server::append_result_meta("종목코드 " + code + "의 차트 데이터를 가져올 수 없습니다.", server::kr_meta(ma));
  }

  const std::string label = tf_label(timeframe);
  std::vector<std::string> lines;
  lines.push_back("종목 " + code + " " + label + " OHLCV (" + std::to_string(rows.size()) + "개 봉)");
  lines.push_back("");
  int decimals = has_fraction(rows) ? 2 : 0;
  for (auto& l : server::format_ohlcv_rows(rows, false, decimals)) lines.push_back(l);

  if (!exclusion.is_null()) {
    std::vector<std::string> dates;
    if (exclusion.contains("bars") && exclusion["bars"].is_array())
      for (const auto& b : exclusion["bars"]) {
        if (dates.size() >= 5) break;
        dates.push_back(server::normalize_date(b.value("date", json()), false));
      }
    lines.push_back("");
    lines.push_back("※ 거래정지 placeholder 등 비정상 봉 " + num_text(exclusion.value("count", json(0))) + "개 제외 (" +
                    fmt::join(dates, ", ") + ").");
  }

  // Bars whose volume could not be read print "-" and are named here.
  std::vector<std::string> no_volume;
  for (const auto& r : rows)
    if (!r.value("volume", json()).is_number()) no_volume.push_back(server::normalize_date(r.value("date", json()), false));
  if (!no_volume.empty()) {
    std::vector<std::string> shown(no_volume.begin(), no_volume.begin() + std::min<size_t>(no_volume.size(), 5));
    lines.push_back("");
    lines.push_back("⚠️ 거래량을 읽지 못한 봉 " + std::to_string(no_volume.size()) + "개 (" + fmt::join(shown, ", ") +
                    (no_volume.size() > 5 ? " 등" : "") + ") — 거래량 '-'는 0이 아니라 결측입니다.");
  }

  json info = nullptr;
  // ETFs and ETNs have no after-market: their bars close with the regular session.
  const bool can_after = mt::bars_can_include_after_market(naver::get_krx_sosok(code));
  if (can_after) info = mt::extended_bar_info(rows, timeframe);
  json checks = json::array();
  if (!info.is_null() && timeframe == "day") checks = mt::regular_close_checks(code, rows, [](const std::string& c, const std::string& d, const std::string& hm) {
      auto r = naver::lookup_regular_close(c, d, hm);
      return mt::RegularCloseFound{r.status, r.close, r.reason};
    });

  if (checks.is_array() && !checks.empty()) {
    lines.push_back("");
    lines.push_back("정규장 종가 대조 (네이버 분봉 15:30 체결가, 최근 약 1주만 제공)");
    lines.push_back("날짜|일봉 종가(20:00)|정규장 종가(15:30)|차이");
    lines.push_back("---|---|---|---");
    for (const auto& c : checks) {
      std::string d = c.value("date", std::string());
      const json& bc = c.value("bar_close", json());
      const json& rc = c.value("regular_close", json());
      // A day whose regular session closed at another time (16:30 on the exam day) says so in its cell.
      std::string at = c.value("regular_close_time", std::string());
      std::string when = at.empty() ? "" : " (" + at + ")";
      if (rc.is_number() && bc.is_number())
        lines.push_back(d + "|" + num_text(bc) + "|" + num_text(rc) + when + "|" +
                        signed_diff(bc.get<double>() - rc.get<double>()));
      else
        lines.push_back(d + "|" + num_text(bc) + "|확인 불가|-");
    }
  }
  if (!info.is_null()) {
    lines.push_back("");
    lines.push_back(mt::extended_bar_note(info, label));
  }

  std::vector<std::string> warnings = exclusion_warnings;
  std::string completeness = rmeta::COMPLETE;
  if (!no_volume.empty()) {
    completeness = rmeta::PARTIAL;
    warnings.push_back("거래량 결측 " + std::to_string(no_volume.size()) + "개 봉 — '-'로 표시(0 아님).");
  }
  if (static_cast<long long>(rows.size()) < count_ll) {
    completeness = rmeta::PARTIAL;
    warnings.push_back("요청한 " + std::to_string(count_ll) + "개 중 " + std::to_string(rows.size()) +
                       "개만 조회됨(상장일 등으로 이력이 짧을 수 있음).");
  }
  json extra = json::object();
  if (!exclusion.is_null()) extra["bar_exclusions"] = exclusion;
  if (!info.is_null()) extra["session_mix"] = info;
  if (checks.is_array() && !checks.empty()) extra["regular_close_check"] = checks;

  server::KrMetaArgs ma;
  ma.kind = "bars";
  ma.code = code;
  const mt::MarketCalendar& cal = mt::krx_calendar(can_after);
  ma.data_as_of = mt::bar_data_as_of(timeframe, rows.back().value("date", json()), cal, std::nullopt,
                                     server::latest_daily_day(code, timeframe));
  ma.data_completeness = completeness;
  ma.warnings = warnings;
  ma.bar_state = mt::bar_state(timeframe, rows, std::nullopt, &cal);
  if (ma.bar_state.is_object() && ma.bar_state["calculation_includes_incomplete"].is_boolean())
    ma.bar_forming = ma.bar_state["calculation_includes_incomplete"].get<bool>();
  ma.price_adjustment = event_reaction::price_adjustment_meta();
  ma.price_session = mt::price_session_for_bars(info);
  ma.extra = extra.empty() ? json() : extra;

  // The view's bars: each one's state, the session its trades came from and,
  // beside a merged close, the 15:30 regular close where it was found.
  // Today's daily bar holds only regular trades until the after-market opens.
  const std::string merged_from = info.is_null() ? "" : info.value("first_bar", std::string());
  const std::string regular_only_day =
      !info.is_null() && info.value("today_bar", std::string()) == "regular_only_so_far" ? info.value("last_bar", std::string()) : "";
  json view_bars = server::period_bars(rows, ma.bar_state, [&](const json& r) {
    std::string d = server::normalize_date(r.value("date", json()), false);
    if (!merged_from.empty() && d >= merged_from && d != regular_only_day) return rmeta::PRICE_SESSION_REGULAR_AND_AFTER;
    return rmeta::PRICE_SESSION_REGULAR;
  });
  server::attach_regular_closes(view_bars, checks);
  server::offer_chart_bars(std::move(view_bars));
  return server::append_result_meta(fmt::join(lines, server::NEWLINE), server::kr_meta(ma));
}

server::ChartCall describe_chart(const server::Args& a) {
  return {"get_chart", "KR", a.str("code"), a.str("timeframe"),
          {{"code", a.str("code")}, {"timeframe", a.str("timeframe")}, {"count", a.value("count")}}};
}

const server::ToolRegistration reg{"get_chart", kDoc, server::chart_tool(describe_chart, get_chart)};
const server::ToolDecorRegistration reg_view{"get_chart", server::chart_tool_decor()};
const server::ArgumentShape shape_get_chart_code{"get_chart", "code", server::Shape::KrCode};

}  // namespace
}  // namespace tessaro::tools
