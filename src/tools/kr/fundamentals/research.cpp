// get_consensus, get_reports, get_report_content: analysts' consensus and
// broker reports of Korean stocks, and the text of one report's PDF.
#include <re2/re2.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "core/format.hpp"
#include "core/parallel.hpp"
#include "core/result_meta.hpp"
#include "server/arg_rules.hpp"
#include "tools/kr/common/kr_common.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "sources/naver/naver.hpp"
#include "sources/pdfx/pdfx.hpp"

namespace tessaro::tools::fundamentals {

namespace {

const std::map<std::string, std::string> kKindLabels = {{"market", "시황"},     {"invest", "투자전략"},
                                                        {"economy", "경제"},    {"debenture", "채권"},
                                                        {"industry", "산업"},   {"company", "종목"}};

std::string kind_label(const std::string& k) {
  auto it = kKindLabels.find(k);
  return it != kKindLabels.end() ? it->second : k;
}

// "market(시황), invest(투자전략), …" in the source's order.
std::string kinds_text() {
  std::vector<std::string> parts;
  for (const auto& k : naver::RESEARCH_KINDS) parts.push_back(k + "(" + kind_label(k) + ")");
  return fmt::join(parts, ", ");
}

bool valid_code(const std::string& s) {
  static const RE2 kCode("^[A-Za-z0-9]{6}$");
  return RE2::FullMatch(s, kCode);
}

std::string q(const std::string& s) { return "\"" + s + "\""; }

std::string str_of(const json& j, const char* key) {
  if (!j.is_object() || !j.contains(key) || !j[key].is_string()) return "";
  return j[key].get<std::string>();
}

std::optional<double> num_of(const json& j, const char* key) {
  if (!j.is_object() || !j.contains(key)) return std::nullopt;
  const json& v = j[key];
  if (v.is_number()) return v.get<double>();
  if (v.is_string()) return fmt::parse_number(v.get<std::string>());
  return std::nullopt;
}

// Table cells must not break the Markdown row.
std::string cell(const std::string& s) { return fmt::replace_all(fmt::replace_all(s, "|", "/"), "\n", " "); }

std::string ym_of_unix(long long t) {
  auto d = std::chrono::floor<std::chrono::days>(std::chrono::sys_seconds(std::chrono::seconds(t)));
  std::chrono::year_month_day ymd(d);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02u", static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()));
  return buf;
}

std::string direction(double change) { return change > 1.0 ? "상향" : change < -1.0 ? "하향" : "보합"; }

// "매수 5건, 중립 1건 (총 6건)" or "최근 집계 없음".
std::string ratings_text(const json& opinion) {
  const json* values = nullptr;
  if (opinion.is_object()) {
    if (opinion.contains("values") && opinion["values"].is_object()) values = &opinion["values"];
    else if (opinion.contains("items") && opinion["items"].is_object()) values = &opinion["items"];
  }
  std::vector<std::string> parts;
  long long total = 0;
  if (values)
    for (const auto& [label, n] : values->items()) {
      if (!n.is_number()) continue;
      long long c = n.get<long long>();
      if (c <= 0) continue;
      parts.push_back(label + " " + std::to_string(c) + "건");
      total += c;
    }
  if (parts.empty()) return "최근 집계 없음";
  return fmt::join(parts, ", ") + " (총 " + std::to_string(total) + "건)";
}

bool has_ratings(const json& opinion) { return ratings_text(opinion) != "최근 집계 없음"; }

// "202409" -> "2024.09".
std::string period_dot(const std::string& p) {
  if (p.size() == 6 && fmt::parse_int(p)) return p.substr(0, 4) + "." + p.substr(4, 2);
  return p;
}

const json* metric_block(const json& surprise, const std::vector<std::string>& names) {
  for (const auto& n : names)
    if (surprise.contains(n) && surprise[n].is_object()) return &surprise[n];
  return nullptr;
}

// ---- get_consensus ------------------------------------------------------------

const char* kConsensusDoc =
    "컨센서스 — 증권사 목표주가·투자의견과 목표주가가 움직여 온 방향, 영업이익·순이익의 컨센서스 대비 "
    "서프라이즈.\n\n"
    "목표주가 추이는 월별 표와 전체 구간·직전 대비 변화(±1% 넘으면 상향/하향)로 보여 줍니다. 투자의견은 지금과 "
    "1개월 전의 건수입니다. 모두 증권사 전망치이며 사실이 아닙니다.\n\n"
    "Args:\n    code: 종목코드 6자리 (예: \"005930\")";

std::string get_consensus(const server::Args& a) {
  std::string code = a.str("code");
  if (!valid_code(code)) return "⚠️ 종목코드 형식이 올바르지 않습니다: " + code;
  auto got = server::code_lookup([&] { return naver::get_consensus(code); });
  if (got.failure()) return server::code_failed_reply(code, "컨센서스", got.reason, "filing");
  json c = std::move(got.value);
  auto target = num_of(c, "target_price");
  json opinion = c.is_object() && c.contains("opinion") ? c["opinion"] : json(nullptr);
  if (!c.is_object() || c.empty() || (!target && !has_ratings(opinion)))
    return "종목코드 " + code + "의 컨센서스 데이터가 없습니다. 분석 대상 종목이 아니거나 코드를 확인해 주세요.";

  std::vector<std::string> lines;
  std::vector<std::string> warnings;
  lines.push_back("## 컨센서스 (" + code + ")");
  lines.push_back("");
  if (target) lines.push_back("**목표주가: " + fmt::fixed(*target, 0, true) + "원**");

  std::vector<std::pair<double, long long>> points;
  if (c.contains("target_price_history") && c["target_price_history"].is_array())
    for (const auto& p : c["target_price_history"]) {
      auto price = num_of(p, "price");
      auto date = num_of(p, "date");
      if (price && date) points.emplace_back(*price, static_cast<long long>(*date));
    }
  json data_as_of = nullptr;
  if (!points.empty()) {
    lines.push_back("");
    lines.push_back("### 📈 목표주가 추이 (기대의 방향)");
    lines.push_back("기준월 | 목표주가(원)");
    lines.push_back("---|---:");
    for (const auto& [price, date] : points) lines.push_back(ym_of_unix(date) + " | " + fmt::fixed(price, 0, true));
    if (points.size() >= 2) {
      double first = points.front().first, last = points.back().first, prev = points[points.size() - 2].first;
      if (first != 0) {
        double ch = (last - first) / first * 100.0;
        lines.push_back("- 전체 구간(" + ym_of_unix(points.front().second) + "→" + ym_of_unix(points.back().second) +
                        "): **" + fmt::fixed(ch, 1, false, true) + "% " + direction(ch) + "**");
      }
      if (prev != 0) {
        double ch = (last - prev) / prev * 100.0;
        lines.push_back("- 직전 대비: **" + fmt::fixed(ch, 1, false, true) + "% " + direction(ch) + "**");
      }
    }
    lines.push_back("- ※ 목표주가는 증권사 추정치이며, 이 표는 그 추정이 **어느 방향으로 바뀌어 왔는지**를 보여 줍니다.");
  }
  // The history is kept by month, so its last point is the first of a month: the
  // numbers are as of the newest report they were made from (or the consensus's
  // own date), never a month's first day.
  for (const char* k : {"latest_report_date", "consensus_date"}) {
    if (!data_as_of.is_null() || !c.contains(k) || !c[k].is_string()) continue;
    if (auto d = rmeta::normalize_day(c[k].get<std::string>())) data_as_of = *d;
  }

  // Counted from the broker reports: an opinion the source could not count (the
  // list failed, or it did not reach back over the window) is unknown, never
  // "no recent ratings".
  const bool reports_failed = c.value("reports_failed", false) == true;
  const bool from_reports = str_of(c, "opinion_basis") == "broker_reports";
  const json opinion_1m = c.contains("opinion_1m_ago") ? c["opinion_1m_ago"] : json(nullptr);
  auto rating_line = [&](const json& op) {
    if (op.is_null() && reports_failed) return std::string("조회 실패 (리포트 목록을 받지 못했습니다 — 없음이 아니라 모름)");
    if (op.is_null() && from_reports)
      return std::string("집계하지 못함 (읽은 리포트가 집계 기간을 다 덮지 못했습니다 — 없음이 아니라 모름)");
    return ratings_text(op);
  };
  lines.push_back("");
  lines.push_back("투자의견: " + rating_line(opinion));
  lines.push_back("1개월 전: " + rating_line(opinion_1m));
  if (reports_failed) warnings.push_back("증권사 리포트 목록 조회 실패 — 투자의견 건수·목표주가 추이는 모름.");

  json surprise = c.contains("earnings_surprise") && c["earnings_surprise"].is_object() ? c["earnings_surprise"]
                                                                                           : json::object();
  std::vector<std::string> speriods;
  if (c.contains("earnings_surprise_periods") && c["earnings_surprise_periods"].is_array())
    for (const auto& p : c["earnings_surprise_periods"])
      if (p.is_string()) speriods.push_back(p.get<std::string>());
  json data_period = nullptr;
  bool surprise_shown = !surprise.empty() && !speriods.empty();
  if (surprise_shown) {
    lines.push_back("");
    lines.push_back("### 어닝 서프라이즈 (컨센서스 대비 잠정치)");
    std::vector<std::string> shown;
    for (const auto& p : speriods) shown.push_back(period_dot(p));
    lines.push_back("지표 | 구분 | " + fmt::join(shown, " | "));
    std::string sep = "---|---|---:";
    for (size_t i = 1; i < speriods.size(); ++i) sep += "|---:";
    lines.push_back(sep);
    const std::vector<std::pair<std::string, std::vector<std::string>>> metrics = {
        {"영업이익", {"영업이익", "operating_profit", "operating_income"}},
        {"당기순이익", {"당기순이익", "net_profit", "net_income"}}};
    for (const auto& [label, names] : metrics) {
      const json* block = metric_block(surprise, names);
      const std::vector<std::pair<std::string, std::string>> kinds = {
          {"컨센서스(억원)", "consensus"}, {"잠정치(억원)", "actual"}, {"Surprise(%)", "surprise"}};
      for (const auto& [kind_name, field] : kinds) {
        std::vector<std::string> cells;
        for (const auto& p : speriods) {
          std::optional<double> v;
          if (block && block->contains(p)) v = num_of((*block)[p], field.c_str());
          if (!v) cells.push_back("-");
          else if (field == "surprise") cells.push_back(fmt::fixed(*v, 1, false, true) + "%");
          else cells.push_back(fmt::fixed(*v, 0, true));
        }
        lines.push_back(label + " | " + kind_name + " | " + fmt::join(cells, " | "));
      }
    }
    std::vector<std::string> dates;
    json sd = c.contains("earnings_surprise_dates") && c["earnings_surprise_dates"].is_object()
                  ? c["earnings_surprise_dates"]
                  : json::object();
    for (const auto& p : speriods)
      if (sd.contains(p) && sd[p].is_string()) dates.push_back(period_dot(p) + ": " + sd[p].get<std::string>());
    if (!dates.empty()) lines.push_back("잠정치 발표(예정)일 · 회계기준 — " + fmt::join(dates, " / "));
    data_period = period_dot(speriods.back());
  } else {
    warnings.push_back("어닝 서프라이즈(컨센서스 대비 잠정치)는 이 자료원에서 받지 못했습니다.");
  }

  lines.push_back("");
  lines.push_back("※ 이 표는 **매출액이 아니라 영업이익·당기순이익**입니다. `-`는 아직 발표 전이거나 미집계.");
  lines.push_back("※ 금액 단위: 억원, 에프앤가이드 기준");
  lines.push_back("※ 목표주가·투자의견·컨센서스는 증권사 전망치이며 미래 수익을 보장하지 않습니다.");

  if (from_reports && (!opinion.is_null() || !opinion_1m.is_null()))
    warnings.push_back("투자의견 건수와 목표주가 추이는 네이버 증권 리포트 목록에서 증권사별 최근 " +
                       std::to_string(static_cast<long long>(num_of(c, "report_window_days").value_or(92))) +
                       "일 안의 최신 리포트 1건씩을 세어 만든 값입니다.");
  if (str_of(c, "target_price_basis") == "broker_reports")
    warnings.push_back("목표주가는 컨센서스 자료가 없어 같은 리포트들의 목표가 평균으로 대신했습니다.");

  server::KrMetaArgs m;
  m.kind = "filing";
  m.code = code;
  m.data_as_of = data_as_of;
  m.data_period = data_period;
  m.warnings = warnings;
  if (!surprise_shown || reports_failed) m.data_completeness = rmeta::PARTIAL;
  return server::append_result_meta(fmt::join(lines, "\n"), server::kr_meta(m));
}

// ---- get_reports ----------------------------------------------------------------

const char* kReportsDoc =
    "증권사 리포트 — 한 종목의 최근 증권사 리포트(제목·증권사·목표가·투자의견·요약), 또는 시황·투자전략·경제·"
    "채권·산업·종목 갈래의 최신 리포트 목록.\n\n"
    "종목 리포트는 code, 갈래 목록은 kind 만 넘기세요(함께 쓰지 않습니다). 본문은 get_report_content 로 "
    "한 건씩 읽습니다.\n\n"
    "Args:\n    code: 종목코드 6자리 (kind 와 함께 쓰지 않음)\n    count: 가져올 리포트 수 (기본 5, 최대 10)\n"
    "    kind: 리서치 갈래 — market(시황), invest(투자전략), economy(경제), debenture(채권), industry(산업), "
    "company(종목)";

// "" asks for one stock's reports (by code) instead of a kind.
const server::Choices kKinds{[] { return naver::RESEARCH_KINDS; }, server::Fold::Lower, {""}};
const server::ArgumentChoices reg_kind{"get_reports", "kind", kKinds};

std::string render_reports_by_kind(const std::string& kind_raw, int count) {
  std::string kind = kKinds.read(kind_raw);
  if (kind.empty() || !kKinds.accepts(kind)) return "⚠️ 지원하지 않는 갈래입니다: " + kind_raw + "\n사용 가능: " + kinds_text();
  std::string label = kind_label(kind);
  json rows = naver::get_research_by_kind(kind, count);
  // The deeper list of the call that failed (the latest few still came).
  std::string deep_failure;
  for (const auto& e : current_call() ? current_call()->ledger() : std::vector<LedgerEntry>{})
    if (e.source == naver::RESEARCH_DEEP_LIST && e.outcome == LookupStatus::failed) deep_failure = e.reason;
  if (!rows.is_array() || rows.empty()) return label + " 리포트가 없습니다.";
  bool industry = kind == "industry";
  std::vector<std::string> lines;
  lines.push_back("## " + label + " 리포트 (" + std::to_string(rows.size()) + "건)");
  lines.push_back("");
  lines.push_back(std::string("날짜 | 제목 | 증권사") + (industry ? " | 업종" : "") + " | 조회수");
  lines.push_back(std::string("---|---|---") + (industry ? "|---" : "") + "|---:");
  for (const auto& r : rows) {
    std::vector<std::string> cells = {cell(str_of(r, "date")), cell(str_of(r, "title")), cell(str_of(r, "broker"))};
    if (industry) {
      std::string ind = str_of(r, "industry");
      cells.push_back(ind.empty() ? "-" : cell(ind));
    }
    auto v = num_of(r, "views");
    cells.push_back(v ? fmt::thousands(static_cast<long long>(*v)) : "-");
    lines.push_back(fmt::join(cells, " | "));
  }
  lines.push_back("");
  if (!deep_failure.empty())
    lines.push_back("⚠️ 전체 목록 조회 실패(" + deep_failure + ") — 최신 " + std::to_string(rows.size()) +
                    "건만 가져왔습니다. 리포트가 이것뿐이라는 뜻이 아닙니다.");
  lines.push_back("※ 본문은 `get_report_content(nid=\"...\")` 로 읽습니다.");
  lines.push_back("※ 리포트는 각 증권사의 의견이며 사실 확인이 끝난 자료가 아닙니다.");
  server::KrMetaArgs m;
  m.kind = "filing";
  m.data_completeness = rmeta::PARTIAL;
  if (!deep_failure.empty()) m.warnings.push_back("전체 리포트 목록 조회 실패(" + deep_failure + ") — 최신 일부만 표시.");
  m.coverage = {{"returned_count", static_cast<long long>(rows.size())},
                {"coverage_complete", false},
                {"reason", "source_limit"}};
  return server::append_result_meta(fmt::join(lines, "\n"), server::kr_meta(m));
}

std::string get_reports(const server::Args& a) {
  std::string code = fmt::trim(a.str("code"));
  std::string kind = fmt::trim(a.str("kind"));
  long long count_raw = a.integer("count");
  if (!code.empty() && !kind.empty())
    return "⚠️ code 와 kind 는 함께 사용할 수 없습니다. 종목 리포트는 code, 시장 갈래는 kind 만 넘겨 주세요.";
  if (!kind.empty()) return render_reports_by_kind(kind, static_cast<int>(std::min<long long>(count_raw, 1000)));
  if (code.empty())
    return "⚠️ code 또는 kind 중 하나는 필요합니다.\n종목 리포트는 code=" + q("005930") +
           ", 시장 갈래는 kind 로 고르세요: " + kinds_text();
  if (!valid_code(code)) return "⚠️ 종목코드 형식이 올바르지 않습니다: " + code;
  int count = static_cast<int>(std::min<long long>(count_raw, 10));
  json reports = naver::get_reports(code, count);
  if (!reports.is_array() || reports.empty()) return "종목코드 " + code + "의 증권사 리포트가 없습니다.";
  size_t n = std::min<size_t>(reports.size(), 10);

  std::vector<json> details(n);
  std::vector<bool> detail_ok(n, false);
  parallel_for(n, n, [&](size_t i) {
    std::string nid = str_of(reports[i], "nid");
    if (nid.empty()) return;
    details[i] = naver::get_report_detail(nid);
    detail_ok[i] = details[i].is_object() && !details[i].empty();
  });

  std::vector<std::string> lines;
  lines.push_back("## 증권사 리포트 (" + code + ", 최근 " + std::to_string(n) + "건)");
  lines.push_back("");
  for (size_t i = 0; i < n; ++i) {
    const json& r = reports[i];
    std::string nid = str_of(r, "nid");
    lines.push_back("### " + str_of(r, "title"));
    std::string head = str_of(r, "date") + " | " + str_of(r, "broker");
    if (auto tp = num_of(r, "target_price"); tp && *tp > 0)
      head += " | 목표가 " + fmt::thousands(static_cast<long long>(*tp)) + "원";
    if (std::string op = str_of(r, "opinion"); !op.empty()) head += " | " + op;
    if (auto v = num_of(r, "views"); v && *v > 0) head += " | 조회 " + fmt::thousands(static_cast<long long>(*v));
    lines.push_back(head);
    std::string pdf;
    if (detail_ok[i]) {
      const json& d = details[i];
      std::string summary = str_of(d, "summary");
      if (summary == naver::PARSE_MISS_KEY)
        lines.push_back("> _(본문을 읽지 못했습니다 — 요약이 없는 게 아니라 파싱 실패)_");
      else if (!summary.empty())
        lines.push_back("> " + fmt::cp_cut(fmt::replace_all(summary, "\n", " "), 300));
      pdf = str_of(d, "pdf_url");
    }
    if (pdf.empty()) pdf = str_of(r, "pdf_url");
    std::string hint = "본문을 읽으려면 `get_report_content(nid=" + q(nid) + ")` — 기본은 앞부분 발췌, `mode=" +
                       q("full") + "` 전체 / `mode=" + q("link") + "` 링크만";
    lines.push_back(pdf.empty() ? hint : "[PDF 원문](" + pdf + ") · " + hint);
    lines.push_back("");
  }
  lines.push_back("※ 목표가·투자의견은 각 증권사 분석 의견이며 미래 수익을 보장하지 않습니다.");
  server::KrMetaArgs m;
  m.kind = "filing";
  m.code = code;
  std::string name = str_of(reports[0], "name");
  if (!name.empty()) m.name = name;
  return server::append_result_meta(fmt::join(lines, "\n"), server::kr_meta(m));
}

// ---- get_report_content -----------------------------------------------------------

const char* kContentDoc =
    "리포트 본문 — 증권사 리포트 한 건의 PDF 본문을 읽습니다.\n\n"
    "리포트는 한 번에 한 건씩 읽으세요. 사용자가 따로 요청하지 않으면 mode 는 summary(앞 4,000자 발췌)로 두고, "
    "전체가 필요할 때만 full(최대 50,000자), 주소만 필요하면 link 를 쓰세요. nid 는 get_reports 결과에 있습니다.\n\n"
    "Args:\n    nid: 리포트 번호 (숫자)\n    mode: summary(앞부분 발췌, 기본) / full(전체) / link(링크만)\n"
    "    max_chars: 본문 상한(자). 비우면 summary 4,000 / full 50,000";

// Every spelling of a mode and the mode it names.
const std::vector<std::pair<std::string, std::string>> kModes = {
    {"summary", "summary"}, {"요약", "summary"}, {"핵심", "summary"}, {"발췌", "summary"},
    {"full", "full"},       {"전문", "full"},    {"전체", "full"},    {"원문", "full"},
    {"link", "link"},       {"링크", "link"},    {"주소", "link"}};
const server::Choices kModeChoices{[] {
                                     std::vector<std::string> v;
                                     for (const auto& m : kModes) v.push_back(m.first);
                                     return v;
                                   },
                                   server::Fold::Lower};
const server::ArgumentChoices reg_mode{"get_report_content", "mode", kModeChoices};

std::string canonical_mode(const std::string& raw) {
  std::string m = kModeChoices.read(raw);
  for (const auto& [spelling, mode] : kModes)
    if (spelling == m) return mode;
  return "";
}

std::string get_report_content(const server::Args& a) {
  std::string nid = a.str("nid");
  static const RE2 kNid(R"(^\d{1,12}$)");
  if (!RE2::FullMatch(nid, kNid)) return "⚠️ 리포트 번호 형식이 올바르지 않습니다: " + nid;
  std::string mode_raw = a.str("mode");
  std::string mode = canonical_mode(mode_raw);
  if (mode.empty())
    return "⚠️ 알 수 없는 mode: " + mode_raw + "\nsummary(앞부분 발췌) / full(전체) / link(링크만) 중에서 골라 주세요.";

  json detail = naver::get_report_detail(nid);
  std::string page = naver::report_page_url(nid);
  std::string pdf = str_of(detail, "pdf_url");

  server::KrMetaArgs m;
  m.kind = "filing";
  if (mode == "link") {
    std::vector<std::string> lines = {"# 리포트 링크 (nid=" + nid + ")", "- 리포트 페이지: " + page,
                                      pdf.empty() ? "- PDF 원문: 제공되지 않는 리포트입니다" : "- PDF 원문: " + pdf, "",
                                      "_본문은 가져오지 않았습니다. 읽으려면 mode=" + q("summary") + "(앞부분) 또는 mode=" +
                                          q("full") + "(전체)로 다시 부르세요._"};
    m.data_completeness = rmeta::NONE;
    m.warnings = {"mode=link — 본문을 읽지 않고 링크만 반환했습니다."};
    return server::append_result_meta(fmt::join(lines, "\n"), server::kr_meta(m));
  }

  auto failure = [&](const std::string& status, const std::string& reason, const std::string& why) {
    std::string text = "**" + reason + ".**\n\n- 상세: " + why + "\n- 리포트 페이지에서 보기: " + page +
                       "\n- PDF 원문 직접 열기: " + (pdf.empty() ? "-" : pdf) +
                       "\n\n본문이 없는 게 아니라 **우리가 못 읽은 것**입니다. 위 링크로 직접 보시면 되고, "
                       "요약·목표가는 `get_reports`로 확인하실 수 있습니다.";
    m.data_completeness = rmeta::NONE;
    m.warnings = {"PDF 본문 추출 실패(" + status + "): " + why};
    return server::append_result_meta(text, server::kr_meta(m));
  };

  if (pdf.empty()) {
    bool link_unread = false;
    if (detail.contains(naver::PARSE_MISS_KEY) && detail[naver::PARSE_MISS_KEY].is_array())
      for (const auto& k : detail[naver::PARSE_MISS_KEY]) link_unread = link_unread || k == "pdf_url";
    if (link_unread) {
      // The report page was read but its PDF link was not found: that is our
      // failure, not a broker that keeps the file to itself.
      std::string why = str_of(detail, naver::PAGE_PROBLEM_KEY);
      // A report page that did not come is a failed lookup, not a page without a link.
      LedgerSummary seen = current_ledger_summary();
      if (why.empty())
        for (const auto& f : seen.failures)
          if (f.reason != "NaverParseError") why = "리포트 페이지 조회 실패(" + f.reason + ")";
      if (seen.failed == 0) record_lookup("naver.report_page", LookupStatus::failed, "NaverParseError");
      return failure("failed", "본문을 읽지 못했습니다",
                     why.empty() ? "리포트 페이지에서 PDF 링크를 찾지 못했습니다 (파싱 실패)" : why);
    }
    std::string text = "리포트 " + nid +
                       "에는 PDF 원문 링크가 없습니다 (일부 증권사는 PDF를 공개하지 않습니다).\n\n- 리포트 페이지에서 보기: " +
                       page + "\n- 요약·목표가·투자의견은 `get_reports`로 확인하실 수 있습니다.";
    m.data_completeness = rmeta::NONE;
    m.warnings = {"PDF 링크 없음 — 이 증권사는 원문을 공개하지 않습니다."};
    return server::append_result_meta(text, server::kr_meta(m));
  }

  json x = pdfx::fetch_and_extract(pdf);
  std::string status = str_of(x, "status");
  if (status != "ok") {
    std::string reason = status == "image_pdf"   ? "이미지로 렌더링된 PDF라 본문 글자를 읽을 수 없습니다"
                         : status == "too_large" ? "PDF가 너무 커서 받지 않았습니다"
                         : status == "failed"    ? "PDF를 받거나 여는 데 실패했습니다"
                                                 : "본문을 읽지 못했습니다";
    return failure(status.empty() ? "unknown" : status, reason, str_of(x, "detail"));
  }

  std::string body = str_of(x, "text");
  long long chars = static_cast<long long>(fmt::cp_len(body));
  long long pages = static_cast<long long>(num_of(x, "pages").value_or(0));
  long long limit = mode == "summary" ? 4000 : 50000;
  if (auto mc = a.opt_int("max_chars"); mc && *mc > 0) limit = *mc;
  if (mode == "full") limit = std::min<long long>(limit, 50000);
  bool cut = chars > limit;

  std::vector<std::string> lines;
  lines.push_back(std::string("# ") + (mode == "summary" ? "리포트 발췌" : "리포트 전문") + " (nid=" + nid + ")");
  lines.push_back("- **전문 보기: " + page + "** (PDF: " + pdf + ")");
  lines.push_back("- PDF " + std::to_string(pages) + "쪽 · 본문 " + fmt::thousands(chars) + "자" +
                  (cut ? " 중 앞 " + fmt::thousands(limit) + "자" : ""));
  lines.push_back("---");
  lines.push_back(cut ? fmt::cp_cut(body, static_cast<size_t>(limit)) : body);
  if (cut) {
    long long rest = chars - limit;
    lines.push_back("");
    if (mode == "summary")
      lines.push_back("_… 이후 " + std::to_string(rest) +
                      "자 생략(앞부분 발췌). 리포트는 뒤쪽이 재무제표 부록과 고지문이라 판단 근거는 대개 위 안에 "
                      "있습니다. 전부 필요하면 `mode=" +
                      q("full") + "`, 직접 보시려면 위 원문 링크를 쓰세요._");
    else
      lines.push_back("_… 이후 " + fmt::thousands(rest) + "자 생략. 상한(" + fmt::thousands(limit) +
                      "자)을 넘겼습니다 — 이만큼 긴 리포트는 위 원문 링크로 보시는 편이 낫습니다._");
  }
  lines.push_back("");
  lines.push_back("※ 증권사 리서치 자료입니다. 목표가·투자의견은 해당 증권사의 분석 의견이며 미래 수익을 보장하지 않습니다.");
  lines.push_back(
      "※ 위 발췌는 해당 증권사에 저작권이 있습니다. 열람·분석 용도로만 사용하시고 재배포하지 마세요. 인용하실 때는 "
      "원문 링크를 함께 표기해 주세요.");
  if (cut) {
    m.data_completeness = rmeta::PARTIAL;
    m.warnings = {"mode=" + mode + " — 본문 " + fmt::thousands(chars) + "자 중 앞 " + fmt::thousands(limit) +
                  "자만 실었습니다."};
  }
  return server::append_result_meta(fmt::join(lines, "\n"), server::kr_meta(m));
}

const server::ToolRegistration reg_consensus{"get_consensus", kConsensusDoc, get_consensus};
const server::ToolRegistration reg_reports{"get_reports", kReportsDoc, get_reports};
const server::ToolRegistration reg_content{"get_report_content", kContentDoc, get_report_content};

}  // namespace
}  // namespace tessaro::tools::fundamentals
