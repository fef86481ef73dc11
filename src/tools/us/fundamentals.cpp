// US fundamentals: ratios, statements, earnings with their session, analysts, dividends.
#include <algorithm>
#include <cmath>
#include <map>
#include <optional>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "market_time/clock.hpp"
#include "server/arg_rules.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "server/wrappers.hpp"
#include "sources/yahoo/us.hpp"
#include "tools/us/us_format.hpp"

namespace tessaro::tools {
namespace {

using namespace tools::us;
using server::Args;

std::string today_kst() { return mt::to_kst(mt::now()).date_str(); }

std::string billions(double v) { return fmt::fixed(v / 1e9, 1) + "B"; }

// ---- get_us_financials ------------------------------------------------------
const char* kFinancialsDoc =
    "미국 주식 재무 지표 (밸류에이션·주당 지표·수익성·재무건전성·배당).\n\n"
    "ticker: 미국 티커. 거래통화와 재무제표 통화가 다르면(외국 발행사 ADR 등) 통화 혼합 항목을 경고합니다. "
    "비율의 기준일(최근 분기말)을 함께 보여 줍니다.";

std::string get_us_financials(const Args& a) {
  std::string ticker = a.str("ticker");
  json d = ::tessaro::us::get_financial_info(ticker);
  if (d.is_null() || !d.is_object()) return "티커 '" + ticker + "'의 재무 데이터를 가져올 수 없습니다.";
  std::string ccy = text(d.value("currency", json())).value_or("?");
  std::string fccy = text(d.value("financial_currency", json())).value_or("?");
  bool mixed = ccy != "?" && fccy != "?" && ccy != fccy;
  std::vector<std::string> lines = {"**" + ticker + "** 재무지표", "거래통화: " + ccy + " / 재무제표 통화: " + fccy};
  if (mixed) {
    lines.push_back("");
    lines.push_back("⚠️ **통화 불일치** — 주가는 " + ccy + ", 재무제표는 " + fccy +
                    "입니다. 주가와 재무를 함께 쓰는 항목(**P/B, P/S, PEG, Trailing/Forward P/E**)은 두 통화를 섞어 계산된 "
                    "값이라 그대로 해석하면 안 됩니다. Per Share 항목도 EPS는 " + ccy + ", Book Value·Revenue/Share는 " +
                    fccy + " 기준일 수 있습니다. 비율(%)·성장률은 통화 무관이라 유효합니다.");
  }
  auto v = [&](const char* k) { return d.value(k, json()); };
  std::string mix = mixed ? " ⚠️통화혼합" : "";
  lines.push_back("");
  lines.push_back("## Valuation");
  lines.push_back("- Trailing P/E: " + fmt_num(v("trailing_pe")) + mix);
  lines.push_back("- Forward P/E: " + fmt_num(v("forward_pe")) + mix);
  lines.push_back("- PEG Ratio: " + fmt_num(v("peg_ratio")) + mix);
  lines.push_back("- P/B: " + fmt_num(v("price_to_book")) + mix);
  lines.push_back("- P/S (TTM): " + fmt_num(v("price_to_sales")) + mix);
  lines.push_back("");
  lines.push_back("## Per Share");
  lines.push_back("- EPS (Trailing): " + fmt_num(v("eps_trailing")));
  lines.push_back("- EPS (Forward): " + fmt_num(v("eps_forward")));
  lines.push_back("- Revenue/Share: " + fmt_num(v("revenue_per_share")));
  lines.push_back("- Book Value: " + fmt_num(v("book_value")));
  lines.push_back("");
  lines.push_back("## Profitability");
  lines.push_back("- ROE: " + fmt_ratio(v("return_on_equity")));
  lines.push_back("- ROA: " + fmt_ratio(v("return_on_assets")));
  lines.push_back("- Profit Margin: " + fmt_ratio(v("profit_margin")));
  lines.push_back("- Operating Margin: " + fmt_ratio(v("operating_margin")));
  lines.push_back("");
  lines.push_back("## Balance & Growth");
  lines.push_back("- Debt/Equity: " + fmt_num(v("debt_to_equity")));
  lines.push_back("- Current Ratio: " + fmt_num(v("current_ratio")));
  lines.push_back("- Revenue Growth (YoY): " + fmt_ratio(v("revenue_growth")));
  lines.push_back("- Earnings Growth (YoY): " + fmt_ratio(v("earnings_growth")));
  lines.push_back("");
  lines.push_back("## Dividend");
  lines.push_back("- Dividend Yield: " + fmt_yield(v("dividend_yield")));
  lines.push_back("- Payout Ratio: " + fmt_ratio(v("payout_ratio")));
  lines.push_back("");
  auto mrq = text(v("most_recent_quarter"));
  auto fye = text(v("last_fiscal_year_end"));
  server::UsMetaArgs m;
  m.kind = "filing";
  m.ticker = ticker;
  if (mrq) {
    std::string note = "※ 재무 항목 기준: 최근 분기말 " + *mrq;
    if (fye) note += " (회계연도말 " + *fye + ")";
    note += " · P/E·P/B·P/S 의 주가 쪽은 현재가 기준입니다.";
    lines.push_back(note);
    m.data_as_of = *mrq;
  } else {
    lines.push_back("※ 공급자가 이 비율들의 기준일을 주지 않았습니다. 언제 것인지 확인되지 않은 값입니다.");
    m.data_completeness = rmeta::PARTIAL;
    m.coverage = json{{"truncated", false}, {"coverage_complete", false}, {"reason", "unknown"}};
    m.warnings.push_back("비율 데이터의 기준일이 확인되지 않습니다. 최신 실적 반영 여부를 알 수 없습니다.");
  }
  m.extra = json{{"period_coverage",
                  {{"cycle", "ttm_or_mrq"},
                   {"latest_period", mrq ? json(*mrq) : json(nullptr)},
                   {"fiscal_year_end", fye ? json(*fye) : json(nullptr)},
                   {"period_end", mrq ? json(*mrq) : json(nullptr)}}}};
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

// ---- get_us_financial_statement ---------------------------------------------
const char* kStatementDoc =
    "미국 주식 재무제표 표 (손익계산서·재무상태표·현금흐름표).\n\n"
    "ticker: 미국 티커\n"
    "statement_type: \"income\" (손익계산서), \"balance\" (재무상태표), \"cash_flow\" (현금흐름표) (기본 \"income\")\n"
    "period: \"annual\" 또는 \"quarterly\" (기본 \"annual\"). 공급자는 최근 약 4년·5분기만 제공합니다.\n"
    "금액은 재무제표 통화 기준입니다.";

// A statement cell: share counts are counts ("주", never a currency), per-share and
// money amounts carry the statement currency.
std::string statement_cell(const json& v, const std::string& kind, const std::string& prefix) {
  auto d = num(v);
  if (!d) return fmt_num(v);
  if (kind == "shares") {
    double a = std::fabs(*d);
    if (a >= 1e9) return fmt::fixed(*d / 1e9, 2, true) + "B주";
    if (a >= 1e6) return fmt::fixed(*d / 1e6, 2, true) + "M주";
    return fmt::thousands(fmt::round_ll(*d)) + "주";
  }
  if (std::fabs(*d) < 1e6) return prefix + fmt::fixed(*d, 2, true);
  return fmt_num(v, "", 2, prefix);
}

const server::Choices kStatementTypes{{"income", "balance", "cash_flow"}};
const server::Choices kStatementPeriods{{"annual", "quarterly"}};
const server::ArgumentChoices reg_statement_type{"get_us_financial_statement", "statement_type", kStatementTypes};
const server::ArgumentChoices reg_statement_period{"get_us_financial_statement", "period", kStatementPeriods};

std::string get_us_financial_statement(const Args& a) {
  std::string ticker = a.str("ticker");
  std::string type = a.str("statement_type");
  std::string period = a.str("period");
  static const std::map<std::string, std::string> kLabel = {
      {"income", "손익계산서"}, {"balance", "재무상태표"}, {"cash_flow", "현금흐름표"}};
  if (!kStatementTypes.accepts(type))
    return "⚠️ statement_type 은 'income', 'balance', 'cash_flow' 중 하나여야 합니다 (받음: " + type + ").";
  if (!kStatementPeriods.accepts(period))
    return "⚠️ period 는 'annual' 또는 'quarterly' 여야 합니다 (받음: " + period + ").";
  auto lab = kLabel.find(type);
  json d = ::tessaro::us::get_financial_statement(ticker, type, period);
  if (d.is_null() || !d.is_object()) return not_found(ticker);
  if (d.contains("error") && !d["error"].is_null()) return "⚠️ " + plain(d["error"]);
  const json& rows = d.value("rows", json::array());
  if (!rows.is_array() || rows.empty()) return "**" + ticker + "** " + lab->second + " (" + period + ") — 데이터 없음.";
  std::vector<std::string> periods;
  if (d.contains("periods") && d["periods"].is_array())
    for (const json& p : d["periods"])
      if (p.is_string()) periods.push_back(p.get<std::string>());
  json currency = d.value("currency", json());
  // An amount of a statement whose currency the source did not give carries no
  // currency sign: "$" there would name a currency nobody stated.
  std::string prefix = text(currency) ? ccy_prefix(currency) : "";
  std::vector<std::string> lines = {"**" + ticker + "** " + lab->second + " (" + period + ")",
                                    "통화: " + text(currency).value_or("-"), ""};
  std::string head = "항목";
  std::string delim = "---";
  for (auto& p : periods) {
    head += " | " + p;
    delim += "|---";
  }
  lines.push_back(head);
  lines.push_back(delim);
  for (const json& r : rows) {
    std::string line = plain(r.value("item", json()));
    const json& vals = r.value("values", json::object());
    std::string kind = text(r.value("unit_kind", json())).value_or("money");
    for (auto& p : periods) line += " | " + statement_cell(vals.is_object() ? vals.value(p, json()) : json(), kind, prefix);
    lines.push_back(line);
  }
  server::UsMetaArgs m;
  m.kind = "filing";
  m.ticker = ticker;
  if (periods.empty()) {
    m.data_completeness = rmeta::PARTIAL;
    m.coverage = json{{"truncated", false}, {"coverage_complete", false}, {"reason", "unknown"}};
    m.warnings.push_back("재무제표의 기간 열을 읽지 못했습니다. 이 값들이 언제 것인지 알 수 없습니다.");
  } else {
    m.data_as_of = periods.front();
  }
  json ps = json::array();
  for (auto& p : periods) ps.push_back(p);
  m.extra = json{{"period_coverage",
                  {{"latest_period", periods.empty() ? json(nullptr) : json(periods.front())}, {"periods_returned", ps}}}};
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

// ---- get_us_earnings --------------------------------------------------------
const char* kEarningsDoc =
    "미국 주식 실적 일정·EPS 서프라이즈 이력·사건별 기록 (발표 세션·회계기간·매출/OCF 포함).\n\n"
    "ticker: 미국 티커. 발표 시각으로 장전/장중/장후를 판정하며, 장전 발표는 당일, 장후 발표는 다음 거래일이 "
    "첫 주가 반응입니다(get_us_event_reaction 으로 정렬). 가이던스·일회성 조정은 이 데이터에 없습니다.";

// One failed part of the earnings lookup, for the reply and the meta.
std::string part_failure(const std::string& part, const std::string& reason) {
  static const std::map<std::string, std::string> kPart = {
      {"events", "사건별 기록(실적 일정·발표 시각·매출·OCF)"},
      {"earnings_calendar", "실적 발표 일정(발표 시각)"},
      {"report_time", "최근 발표 시각(quote)"},
      {"revenue_cash_flow", "분기 매출·영업현금흐름"}};
  auto it = kPart.find(part);
  return "조회 실패: " + (it == kPart.end() ? part : it->second) + " (" + reason +
         ") - 해당 칸의 '-' 는 값이 없다는 뜻이 아니라 확인 불가입니다.";
}

// The announcement day of a quarter: the nearest event 0..120 days after its end.
std::optional<std::string> announcement_of(const std::string& quarter_end, const json& events) {
  std::optional<std::string> best;
  if (!events.is_array()) return best;
  for (const json& e : events) {
    std::string d = plain(e.value("date", json())).substr(0, 10);
    if (d.empty() || !match_fiscal_period(d, {quarter_end})) continue;
    if (!best || d < *best) best = d;
  }
  return best;
}

std::string eps_cell(const json& est, const json& act) {
  std::string e = est.is_number() ? plain(est) : "-";
  std::string x = act.is_number() ? plain(act) : "-";
  return e + "->" + x;
}

std::string get_us_earnings(const Args& a) {
  std::string ticker = a.str("ticker");
  std::string TICKER = fmt::upper(ticker);
  json data = ::tessaro::us::get_earnings(ticker);
  if (data.is_null() || !data.is_object()) return not_found(ticker);
  json upcoming = data.value("upcoming", json::array());
  json history = data.value("history", json::array());
  // The per-event record is a second lookup: when it fails, the schedule and the
  // surprise history above still stand and the reply names what could not be read.
  json ev;
  std::vector<std::string> failed_parts;
  try {
    ev = ::tessaro::us::get_earnings_events(ticker);
  } catch (const Error& e) {
    failed_parts.push_back(part_failure("events", server::cause_text(e)));
  }
  if (!ev.is_object()) ev = json::object();
  for (const json& f : ev.value("failed_parts", json::array()))
    failed_parts.push_back(part_failure(plain(f.value("part", json())), plain(f.value("reason", json()))));
  json events = ev.value("events", json::array());
  if (!upcoming.is_array()) upcoming = json::array();
  if (!history.is_array()) history = json::array();
  if (!events.is_array()) events = json::array();
  std::string title = "**" + TICKER + "** 실적 일정 & 이력";
  if (upcoming.empty() && history.empty() && events.empty() && failed_parts.empty())
    return title + "\n\n실적 데이터 없음 (ETF나 개별 주식이 아닌 자산은 해당 없음).";

  std::vector<std::string> lines = {title, "", "## 🗓️ 예정"};
  if (upcoming.empty()) lines.push_back("예정된 실적 발표일 정보 없음.");
  for (const json& u : upcoming) {
    std::string line = "- " + plain(u.value("date", json()));
    json est = u.value("eps_estimate", json());
    if (!est.is_null()) line += " (EPS 추정: " + fmt_num(est) + ")";
    lines.push_back(line);
  }
  lines.push_back("");
  lines.push_back("## 📊 최근 실적 서프라이즈");
  lines.push_back("발표일 | EPS 추정 | 실제 EPS | 서프라이즈 %");
  lines.push_back("---|---|---|---");
  std::string latest_history;
  for (size_t i = 0; i < history.size() && i < 4; ++i) {
    const json& h = history[i];
    // The column is the announcement day: the source's date, else the event that
    // reported this quarter (0..120 days after its end). A quarter end is not an
    // announcement day; without a match the cell says which quarter it was.
    std::string date;
    if (auto d = text(h.value("date", json()))) date = *d;
    else if (auto q = text(h.value("quarter", json()))) date = announcement_of(*q, events).value_or("미확인 (" + *q + " 분기)");
    else date = "-";
    json s = h.value("surprise(%)", json());
    if (s.is_null()) s = h.value("surprise_%", json());
    if (s.is_null()) s = h.value("surprise", json());
    lines.push_back(date + " | " + fmt_num(h.value("eps_estimate", json())) + " | " +
                    fmt_num(h.value("reported_eps", json())) + " | " + (s.is_null() ? "-" : plain(s) + "%"));
  }

  // Per-event record: session, fiscal period, EPS / revenue / OCF of that quarter.
  std::string today = today_kst();
  const json& rev = ev.value("revenue_by_period", json::object());
  const json& ocf = ev.value("ocf_by_period", json::object());
  const json& rest = ev.value("revenue_estimates", json::object());
  std::vector<std::string> period_ends;
  if (rev.is_object())
    for (auto it = rev.begin(); it != rev.end(); ++it) period_ends.push_back(it.key());
  json records = json::array();
  std::vector<std::string> rows;
  std::string latest_event;
  for (const json& e : events) {
    if (records.size() >= 8) break;
    std::string date = plain(e.value("date", json()));
    if (date.empty() || date.substr(0, 10) > today) continue;
    std::string ts = plain(e.value("timestamp", json()));
    std::string session = earnings_session(ts);
    auto fp = match_fiscal_period(date, period_ends);
    json eps_est = e.value("eps_estimate", json()), eps_act = e.value("eps_actual", json());
    json eps_sur = e.value("eps_surprise_pct", json());
    json rev_act = fp && rev.is_object() ? rev.value(*fp, json()) : json();
    json rev_est = fp && rest.is_object() ? rest.value(*fp, json()) : json();
    json ocf_v = fp && ocf.is_object() ? ocf.value(*fp, json()) : json();
    json rev_sur = nullptr;
    if (rev_act.is_number() && rev_est.is_number() && rev_est.get<double>() != 0)
      rev_sur = fmt::round_to((rev_act.get<double>() - rev_est.get<double>()) / std::fabs(rev_est.get<double>()) * 100, 2);
    std::vector<std::string> verdict;
    if (eps_sur.is_number()) {
      double s = eps_sur.get<double>();
      verdict.push_back(s > 0 ? "EPS beat" : s < 0 ? "EPS miss" : "EPS in-line");
    }
    if (!rev_est.is_number()) verdict.push_back("매출 예상 확인 불가");
    else if (rev_sur.is_number()) {
      double s = rev_sur.get<double>();
      verdict.push_back(s > 0 ? "매출 beat" : s < 0 ? "매출 miss" : "매출 in-line");
    }
    std::string verdict_text = verdict.empty() ? "확인 불가" : fmt::join(verdict, " · ");
    std::string eps_text = eps_cell(eps_est, eps_act);
    if (eps_sur.is_number()) eps_text += " (" + fmt::fixed(eps_sur.get<double>(), 1, false, true) + "%)";
    std::string rev_text = (rev_est.is_number() ? billions(rev_est.get<double>()) : "-") + "->" +
                           (rev_act.is_number() ? billions(rev_act.get<double>()) : "-");
    if (rev_sur.is_number()) rev_text += " (" + fmt::fixed(rev_sur.get<double>(), 1, false, true) + "%)";
    std::string ocf_text = ocf_v.is_number() ? billions(ocf_v.get<double>()) : "-";
    std::string when = fmt::replace_all(ts.substr(0, std::min<size_t>(ts.size(), 16)), "T", " ");
    rows.push_back(fmt::join({when.empty() ? "-" : when, session_label(session), fp ? *fp : "미매칭", eps_text, rev_text,
                              ocf_text, verdict_text},
                             " | "));
    if (latest_event.empty()) latest_event = date.substr(0, 10);
    records.push_back({{"date", date},
                       {"timestamp", ts.empty() ? json(nullptr) : json(ts)},
                       {"session", session},
                       {"fiscal_period", fp ? json(*fp) : json(nullptr)},
                       {"eps_estimate", eps_est},
                       {"eps_actual", eps_act},
                       {"eps_surprise_pct", eps_sur},
                       {"revenue_actual", rev_act},
                       {"revenue_estimate", rev_est},
                       {"revenue_surprise_pct", rev_sur},
                       {"operating_cash_flow", ocf_v},
                       {"verdict", verdict_text}});
  }
  if (!records.empty()) {
    lines.push_back("");
    lines.push_back("## 🧾 사건별 기록 (통화: " + text(ev.value("financial_currency", json())).value_or("USD") + ", 최근 " +
                    std::to_string(records.size()) + "건)");
    lines.push_back("발표(ET) | 세션 | 회계기간 | EPS 예상->실제 | 매출 예상->실제 | OCF | 판정");
    lines.push_back("---|---|---|---|---|---|---");
    for (auto& r : rows) lines.push_back(r);
  }
  lines.push_back("");
  lines.push_back("※ 매출 **예상**은 공급자가 현재·다음 분기만 제공합니다 - 과거 사건의 매출 예상이 '-' 이면 확인 불가이지 예상이 없었다는 뜻이 아닙니다.");
  lines.push_back("※ 실적의 질(가이던스 변경·일회성 조정)은 이 피드로 판단할 수 없습니다 - `get_us_filings` 의 8-K 와 "
                  "`get_us_filing_detail(ticker, accession_no, find=\"guidance\")` 로 원문을 확인하세요.");
  lines.push_back("※ 반응창: 장전 발표는 당일, 장후 발표는 다음 거래일이 첫 반응입니다 - `get_us_event_reaction(ticker, event_date)` 로 정렬하세요.");
  server::UsMetaArgs m;
  m.kind = "filing";
  m.ticker = ticker;
  if (!latest_event.empty()) m.data_as_of = latest_event;
  m.extra = json{{"quality_assessable", false},
                 {"quality_missing", json::array({"guidance", "one_off_adjustments"})},
                 {"earnings_events", records}};
  m.warnings.push_back("가이던스·일회성 조정 근거가 이 피드에 없어 실적의 질은 확인 불가입니다. 8-K 원문 확인 전에는 'EPS beat=좋은 실적'으로 단정하지 마세요.");
  if (!failed_parts.empty()) {
    lines.push_back("");
    for (auto& f : failed_parts) {
      lines.push_back("⚠️ " + f);
      m.warnings.insert(m.warnings.begin(), f);
    }
    m.data_completeness = rmeta::PARTIAL;
    m.coverage = json{{"truncated", false}, {"coverage_complete", false}, {"reason", "source_limit"}};
  }
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

// ---- get_us_analyst ---------------------------------------------------------
const char* kAnalystDoc =
    "미국 주식 애널리스트 의견 (목표주가·투자의견·월별 분포·업/다운그레이드·EPS/매출 추정치).\n\n"
    "ticker: 미국 티커. 업·다운그레이드 표본이 90일보다 오래되면 그 날짜를 밝히고 경고합니다.";

std::string get_us_analyst(const Args& a) {
  std::string ticker = a.str("ticker");
  json d = ::tessaro::us::get_analyst_ratings(ticker);
  if (d.is_null() || !d.is_object()) return not_found(ticker);
  std::string title = "**" + ticker + "** 애널리스트 의견";
  const json& targets = d.value("targets", json::object());
  bool any_target = false;
  if (targets.is_object())
    for (auto it = targets.begin(); it != targets.end(); ++it) any_target = any_target || it->is_number();
  const json& trend = d.value("trend", json::array());
  const json& ups = d.value("upgrades_downgrades", json::array());
  auto count = num(d.value("analyst_count", json()));
  bool covered = any_target || (count && *count > 0) || (trend.is_array() && !trend.empty()) ||
                 (ups.is_array() && !ups.empty());
  if (!covered) return title + "\n\n애널리스트 커버리지 없음 (ETF나 신규·소형주의 경우 해당 없음).";

  std::vector<std::string> lines = {title, ""};
  std::vector<std::string> warns;
  std::string completeness = rmeta::COMPLETE;
  json coverage = nullptr;
  json sections = json::object();
  lines.push_back("## 🎯 목표주가");
  auto cur = num(d.value("current_price", json()));
  // Prices and targets in the listing's own currency ("$" only for USD).
  const std::string sym = ccy_prefix(d.value("currency", json()));
  lines.push_back(cur ? "현재가: " + sym + fmt::fixed(*cur, 2, true) : "현재가: -");
  static const std::vector<std::pair<const char*, const char*>> kTargets = {
      {"mean", "평균 목표가"}, {"median", "중앙값 목표가"}, {"high", "최고 목표가"}, {"low", "최저 목표가"}};
  for (auto& [k, label] : kTargets) {
    auto v = num(targets.is_object() ? targets.value(k, json()) : json());
    if (!v) continue;
    std::string line = std::string("- ") + label + ": " + sym + fmt::fixed(*v, 2, true);
    if (cur && *cur != 0) line += " (" + fmt::fixed((*v / *cur - 1) * 100, 1, false, true) + "%)";
    lines.push_back(line);
  }
  sections["targets"] = any_target;
  lines.push_back("");
  lines.push_back("## 📈 투자의견");
  if (auto key = text(d.value("recommendation_key", json()))) lines.push_back("- 종합: **" + fmt::upper(*key) + "**");
  if (auto mean = num(d.value("recommendation_mean", json())))
    lines.push_back("- 평균 점수: " + fmt::fixed(*mean, 2) + " (1=Strong Buy, 5=Strong Sell)");
  if (count) lines.push_back("- 커버 애널리스트: " + fmt::thousands(fmt::round_ll(*count)) + "명");
  if (trend.is_array() && !trend.empty()) {
    lines.push_back("");
    lines.push_back("## 월별 의견 분포 (최근)");
    lines.push_back("기간 | Strong Buy | Buy | Hold | Sell | Strong Sell");
    lines.push_back("---|---|---|---|---|---");
    for (size_t i = 0; i < trend.size() && i < 4; ++i) {
      const json& t = trend[i];
      std::vector<std::string> cells = {text(t.value("period", json())).value_or("-")};
      for (const char* k : {"strongBuy", "buy", "hold", "sell", "strongSell"}) {
        auto v = num(t.value(k, json()));
        cells.push_back(v ? fmt::thousands(fmt::round_ll(*v)) : "-");
      }
      lines.push_back(fmt::join(cells, " | "));
    }
  }
  sections["ratings"] = trend.is_array() && !trend.empty();
  if (ups.is_array() && !ups.empty()) {
    std::string newest = plain(ups[0].value("date", json()));
    bool stale = false;
    auto nd = mt::parse_day(newest);
    auto td = mt::parse_day(today_kst());
    if (nd && td) stale = (*td - *nd).count() > 90;
    lines.push_back("");
    lines.push_back(std::string("## 🔄 최근 업·다운그레이드") + (stale ? " (표본 마지막: " + newest + ")" : ""));
    if (stale) {
      lines.push_back("⚠️ 업·다운그레이드 표본이 " + newest +
                      "에서 멈춰 있습니다. 위의 목표가·투자의견 스냅샷과 같은 시점으로 나란히 읽지 마세요.");
      completeness = rmeta::PARTIAL;
      coverage = json{{"truncated", false}, {"coverage_complete", false}, {"reason", "source_limit"}};
      warns.push_back("업·다운그레이드 표본의 마지막 날짜가 " + newest + "로 90일보다 오래됐습니다.");
    }
    for (size_t i = 0; i < ups.size() && i < 6; ++i) {
      const json& u = ups[i];
      lines.push_back("- " + plain(u.value("date", json())) + " · " + text(u.value("firm", json())).value_or("-") + " · " +
                      text(u.value("from", json())).value_or("-") + " → " + text(u.value("to", json())).value_or("-"));
    }
    sections["upgrades_downgrades"] = json{{"present", true}, {"latest", newest}, {"stale", stale}};
  } else {
    sections["upgrades_downgrades"] = json{{"present", false}};
  }

  json est = ::tessaro::us::get_analyst_estimates(ticker);
  if (est.is_object()) {
    std::string fc = text(est.value("financial_currency", json())).value_or("");
    std::string tc = text(est.value("currency", json())).value_or(text(d.value("currency", json())).value_or(""));
    std::string prefix = ccy_prefix(fc);
    lines.push_back("");
    lines.push_back("## 🔮 애널리스트 추정치");
    if (!fc.empty() && !tc.empty() && fc != tc)
      lines.push_back("⚠️ 추정치 금액은 재무제표 통화(" + fc + ") 기준이고 주가는 " + tc + "입니다. 주가와 바로 나누지 마세요.");
    auto table = [&](const char* title, const json& rows) {
      lines.push_back("");
      lines.push_back(std::string("### ") + title);
      if (!rows.is_array() || rows.empty()) {
        lines.push_back("데이터 없음");
        return;
      }
      lines.push_back("기간 | 평균 | 최저 | 최고 | 애널리스트 수 | YoY 성장");
      lines.push_back("---|---|---|---|---|---");
      for (const json& r : rows) {
        json avg = r.contains("avg") ? r["avg"] : r.value("average", json());
        json n = r.contains("numberofanalysts") ? r["numberofanalysts"] : r.value("numberofanalyst", json());
        std::string period = text(r.value("period", json())).value_or("-");
        if (auto end = text(r.value("end_date", json()))) period += " (" + *end + ")";
        auto nn = num(n);
        lines.push_back(fmt::join({period, fmt_num(avg, "", 2, prefix), fmt_num(r.value("low", json()), "", 2, prefix),
                                   fmt_num(r.value("high", json()), "", 2, prefix),
                                   nn ? fmt::thousands(fmt::round_ll(*nn)) : "-", fmt_ratio(r.value("growth", json()))},
                                  " | "));
      }
    };
    table("EPS Estimate", est.value("eps_estimate", json()));
    table("Revenue Estimate", est.value("revenue_estimate", json()));
    lines.push_back("");
    lines.push_back("### 최근 EPS 추정 변경 (7일/30일 up/down)");
    const json& rv = est.value("eps_revisions", json::array());
    if (!rv.is_array() || rv.empty()) lines.push_back("데이터 없음");
    else
      for (const json& r : rv) {
        auto c = [&](const char* k) {
          auto v = num(r.value(k, json()));
          return v ? fmt::thousands(fmt::round_ll(*v)) : std::string("-");
        };
        lines.push_back("- " + text(r.value("period", json())).value_or("-") + ": 7일 ↑" + c("up_last_7days") + " ↓" +
                        c("down_last_7days") + " / 30일 ↑" + c("up_last_30days") + " ↓" + c("down_last_30days"));
      }
    sections["estimates"] = true;
  } else {
    sections["estimates"] = false;
  }
  server::UsMetaArgs m;
  m.kind = "filing";
  m.ticker = ticker;
  m.data_completeness = completeness;
  m.coverage = coverage;
  m.warnings = warns;
  m.extra = json{{"section_coverage", sections}};
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

// ---- get_us_dividends -------------------------------------------------------
const char* kDividendsDoc =
    "미국 주식 배당 정보 (수익률·연간 배당·5년 평균·배당성향·배당락일·배당 이력).\n\n"
    "ticker: 미국 티커\nlimit: 배당 이력 건수 (기본 12)";

std::string get_us_dividends(const Args& a) {
  std::string ticker = a.str("ticker");
  int limit = int(std::clamp<long long>(a.integer("limit"), 1, 500));
  json d = ::tessaro::us::get_dividends(ticker, limit);
  if (d.is_null() || !d.is_object()) return not_found(ticker);
  auto v = [&](const char* k) { return d.value(k, json()); };
  // Dividends are paid in the listing's currency ("$" only for USD).
  const std::string sym = ccy_prefix(v("currency"));
  std::vector<std::string> lines = {"**" + ticker + "** 배당 정보", "", "## 📊 요약"};
  lines.push_back("- Dividend Yield: " + fmt_yield(v("dividend_yield")));
  lines.push_back("- Annual Dividend Rate: " + fmt_num(v("dividend_rate"), "", 2, sym));
  lines.push_back("- 5-Year Avg Yield: " + fmt_yield(v("five_year_avg_yield")));
  lines.push_back("- Payout Ratio: " + fmt_ratio(v("payout_ratio")));
  auto ex = num(v("ex_dividend_date"));
  if (!ex) {
    lines.push_back("- 다음 Ex-Dividend Date: -");
  } else {
    // A date already past is the last ex-dividend date, not the next one.
    std::string ex_day = mt::to_zone(mt::Instant{std::chrono::seconds{(long long)*ex}}, "UTC").date_str();
    std::string today_ny = mt::to_ny(mt::now()).date_str();
    if (ex_day < today_ny)
      lines.push_back("- 최근 Ex-Dividend Date: " + ex_day + " (이미 지난 날짜 — 다음 배당락일은 아직 나오지 않았습니다)");
    else
      lines.push_back("- 다음 Ex-Dividend Date: " + ex_day);
  }
  auto last = num(v("last_dividend_value"));
  lines.push_back(last ? "- 최근 배당: " + sym + fmt::fixed(*last, 4) + " (" + text(v("last_dividend_date")).value_or("-") + ")"
                       : "- 최근 배당: -");
  const json& hist = d.value("history", json::array());
  lines.push_back("");
  if (hist.is_array() && !hist.empty()) {
    lines.push_back("## 배당 이력 (최근 " + std::to_string(hist.size()) + "건)");
    lines.push_back("날짜 | 배당금");
    lines.push_back("---|---");
    for (const json& h : hist) lines.push_back(plain(h.value("date", json())) + " | " + sym + plain(h.value("amount", json())));
  } else {
    lines.push_back("배당 이력 없음 (무배당 주식일 수 있습니다).");
  }
  server::UsMetaArgs m;
  m.kind = "filing";
  m.ticker = ticker;
  if (hist.is_array() && !hist.empty()) m.data_as_of = hist[0].value("date", json());
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

const server::ToolRegistration reg_fin{"get_us_financials", kFinancialsDoc, get_us_financials};
const server::ToolRegistration reg_stmt{"get_us_financial_statement", kStatementDoc, get_us_financial_statement};
const server::ToolRegistration reg_earn{"get_us_earnings", kEarningsDoc, get_us_earnings};
const server::ToolRegistration reg_analyst{"get_us_analyst", kAnalystDoc, get_us_analyst};
const server::ToolRegistration reg_div{"get_us_dividends", kDividendsDoc, get_us_dividends};
const server::ArgumentShape shape_get_us_financials_ticker{"get_us_financials", "ticker", server::Shape::UsTicker};
const server::ArgumentShape shape_get_us_financial_statement_ticker{"get_us_financial_statement", "ticker", server::Shape::UsTicker};
const server::ArgumentShape shape_get_us_earnings_ticker{"get_us_earnings", "ticker", server::Shape::UsTicker};
const server::ArgumentShape shape_get_us_analyst_ticker{"get_us_analyst", "ticker", server::Shape::UsTicker};
const server::ArgumentShape shape_get_us_dividends_ticker{"get_us_dividends", "ticker", server::Shape::UsTicker};

}  // namespace
}  // namespace tessaro::tools
