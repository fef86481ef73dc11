// get_investor_deposit, get_ipo_schedule: market-wide tables that need no stock
// code. Values that do not exist yet are shown as such, never as 0.
#include <algorithm>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "tools/kr/common/kr_common.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::tools {
namespace {

using server::NEWLINE;

std::string str(const json& v) { return v.is_string() ? v.get<std::string>() : ""; }
// Python "{:+,}": zero keeps its plus sign.
std::string signed_thousands(long long v) { return v == 0 ? "+0" : fmt::thousands(v, true); }
long long whole(const json& v) {
  if (!v.is_number()) throw ValueError("숫자가 아닌 값: " + v.dump());
  return fmt::round_ll(v.get<double>());
}

std::string get_investor_deposit(const server::Args& a) {
  long long days = a.integer("days");
  json res = naver::get_investor_deposit((int)std::clamp<long long>(days, -1000000, 1000000));
  const json& rows = res.is_object() ? res.value("rows", json::array()) : json::array();
  if (!rows.is_array() || rows.empty()) return "투자자예탁금 자료가 없습니다.";
  std::vector<std::string> labels;
  if (res.value("labels", json()).is_array())
    for (const auto& l : res["labels"]) labels.push_back(str(l));
  std::string unit = str(res.value("unit", json()));
  std::vector<std::string> lines = {"## 투자자예탁금 (" + std::to_string(rows.size()) + "거래일)", ""};
  std::vector<std::string> heads;
  for (const auto& l : labels) heads.push_back(l + "(" + unit + ")");
  lines.push_back("날짜 | " + fmt::join(heads, " | "));
  lines.push_back("---|---:");
  std::string latest;
  for (const auto& r : rows) {
    std::string date = str(r.value("date", json()));
    if (date > latest) latest = date;
    std::vector<std::string> cells;
    for (const auto& l : labels) {
      const json& v = r.value(l, json());
      if (v.is_null()) {
        cells.push_back("데이터 없음");
        continue;
      }
      std::string c = fmt::thousands(whole(v));
      const json& ch = r.value(l + "_전일대비", json());
      if (!ch.is_null()) c += " (" + signed_thousands(whole(ch)) + ")";
      cells.push_back(c);
    }
    lines.push_back(date + " | " + fmt::join(cells, " | "));
  }
  lines.push_back("");
  lines.push_back("※ 단위는 **" + unit + "**입니다. 괄호 안은 전일대비 증감입니다.");
  lines.push_back("※ 고객예탁금은 증권계좌에 들어와 있는 현금이고, 신용잔고는 빌려서 산 금액입니다. 성격이 달라 더하거나 빼지 "
                  "마세요.");
  lines.push_back("※ 이 자료는 결제일 기준이라 **최근 거래일보다 며칠 뒤처집니다.** 표의 날짜를 그대로 읽으세요.");
  bool complete = (long long)rows.size() >= std::min<long long>(days, 100);
  server::KrMetaArgs m;
  m.kind = "bars";
  m.data_as_of = latest.empty() ? json(nullptr) : json(latest);
  m.bar_forming = false;
  m.data_completeness = complete ? rmeta::COMPLETE : rmeta::PARTIAL;
  m.coverage = {{"returned_count", rows.size()},
                {"coverage_complete", complete},
                {"reason", complete ? json(nullptr) : json("source_limit")}};
  return server::append_result_meta(fmt::join(lines, NEWLINE), server::kr_meta(m));
}

std::string get_ipo_schedule(const server::Args&) {
  json res = naver::get_ipo_schedule();
  const json& stages = res.is_object() ? res.value("stages", json::object()) : json::object();
  std::vector<std::string> failed;
  if (res.is_object() && res.value("failed_stages", json()).is_array())
    for (const auto& f : res["failed_stages"]) failed.push_back(str(f));
  const std::string failed_line =
      failed.empty() ? "" : "⚠️ 조회 실패: " + fmt::join(failed, ", ") + " 단계 목록을 받지 못했습니다.";
  if (!stages.is_object() || stages.empty()) {
    // Stages that could not be read are not "no offering": only the stages that
    // answered are said to be empty.
    if (!failed.empty())
      return "⚠️ 조회한 단계에는 공모 진행 중인 종목이 없지만, " + fmt::join(failed, ", ") +
             " 단계 목록은 받지 못했습니다 - 그 단계에 종목이 없다는 뜻이 아니라 확인 불가입니다.\n" + failed_line;
    return "공모 진행 중인 종목이 없습니다.";
  }
  long long total = res.value("total", json()).is_number() ? res["total"].get<long long>() : 0;
  std::vector<std::string> lines = {"## 공모주 일정 (총 " + std::to_string(total) + "건)", ""};
  // Fields the rows did not carry at all: shown as "확인 불가", never as "-" (which
  // means a stage not reached yet).
  std::vector<std::string> unread;
  auto unread_in = [&](const json& o, const char* column) {
    const json& m = o.value(naver::PARSE_MISS_KEY, json());
    if (!m.is_array()) return false;
    for (const auto& x : m)
      if (x == column) {
        if (std::find(unread.begin(), unread.end(), column) == unread.end()) unread.push_back(column);
        return true;
      }
    return false;
  };
  for (const auto& [stage, items] : stages.items()) {
    lines.push_back("### " + stage + " (" + std::to_string(items.size()) + "건)");
    lines.push_back("");
    lines.push_back("종목 | 시장 | 희망공모가 | 확정공모가 | 청약일 | 상장일 | 경쟁률 | 주관사");
    lines.push_back("---|---|---|---|---|---|---|---");
    for (const auto& o : items) {
      std::vector<std::string> c = {str(o.value("name", json())), str(o.value("market", json()))};
      const json& lo = o.value("hope_price_low", json());
      c.push_back(lo.is_null() ? "-"
                               : fmt::thousands(whole(lo)) + "~" + fmt::thousands(whole(o.value("hope_price_high", lo))) +
                                     "원");
      const json& fp = o.value("fixed_price", json());
      c.push_back(fp.is_null() ? "-" : fmt::thousands(whole(fp)) + "원");
      std::string s = str(o.value("subscribe_start", json())), e = str(o.value("subscribe_end", json()));
      if (s.empty()) c.push_back("-");
      else c.push_back(!e.empty() && e != s ? s + "~" + (e.size() > 5 ? e.substr(5) : e) : s);
      std::string ld = str(o.value("listing_date", json()));
      c.push_back(ld.empty() ? "-" : ld);
      const json& fc = o.value("forecast_competition", json());
      if (fc.is_null()) c.push_back("-");
      else if (!fc.is_number()) throw ValueError("경쟁률이 숫자가 아닙니다: " + fc.dump());
      else c.push_back(fmt::fixed(fc.get<double>(), 2, true) + "배");
      std::vector<std::string> uw;
      if (o.value("underwriters", json()).is_array())
        for (const auto& u : o["underwriters"]) uw.push_back(str(u));
      c.push_back(uw.empty() ? "-" : fmt::join(uw, ", "));
      static const char* const kColumns[] = {"희망공모가", "확정공모가", "청약일", "상장일", "경쟁률", "주관사"};
      for (size_t k = 0; k < 6; ++k)
        if (unread_in(o, kColumns[k])) c[2 + k] = "확인 불가";
      lines.push_back(fmt::join(c, " | "));
    }
    lines.push_back("");
  }
  lines.push_back("※ `-` 는 **그 단계에 아직 도달하지 않아 정해지지 않은 값**입니다. 0 이나 '없음'이 아닙니다.");
  lines.push_back("※ 희망공모가는 회사가 제시한 범위이고, 확정공모가는 수요예측 뒤 정해진 값입니다. 둘을 같은 수치로 쓰지 "
                  "마세요.");
  lines.push_back("※ 공모 일정은 정정신고로 바뀝니다. 청약 전 증권신고서를 확인하세요.");
  server::KrMetaArgs m;
  m.kind = "filing";
  m.data_completeness = rmeta::COMPLETE;
  m.coverage = {{"returned_count", total}, {"coverage_complete", true}, {"reason", nullptr}};
  if (!unread.empty()) {
    std::string text = "읽지 못한 항목: " + fmt::join(unread, ", ") +
                       " - 응답에 그 필드가 없어 '확인 불가'로 표시했습니다. 아직 정해지지 않았다는 뜻이 아닙니다.";
    lines.push_back("⚠️ " + text);
    m.data_completeness = rmeta::PARTIAL;
    m.coverage["coverage_complete"] = false;
    m.coverage["reason"] = "unknown";
    m.warnings.push_back(text);
  }
  // A stage whose list could not be read is named: its absence is not "no offering".
  if (!failed.empty()) {
    lines.push_back(failed_line);
    m.data_completeness = rmeta::PARTIAL;
    m.coverage["coverage_complete"] = false;
    m.coverage["reason"] = "unknown";
    m.warnings.push_back("공모주 단계 조회 실패: " + fmt::join(failed, ", "));
  }
  return server::append_result_meta(fmt::join(lines, NEWLINE), server::kr_meta(m));
}

const char* kDeposit =
    "투자자예탁금 — 시장에 대기 중인 돈의 추이 (고객예탁금·신용잔고·펀드).\n"
    "결제일 기준 자료라 최근 거래일보다 며칠 늦습니다. 고객예탁금과 신용잔고는 성격이 달라 더하거나 빼지 마세요.\n\n"
    "days: 조회할 거래일 수 (기본 20, 최대 100)";
const char* kIpo =
    "공모주일정 — 심사·수요예측·청약·상장 단계별 공모주 목록.\n"
    "희망공모가는 심사 단계부터 있지만, 확정공모가와 수요예측 경쟁률은 그 단계를 지나야 생깁니다. 아직 정해지지 않은 값은 "
    "0으로 채우지 않고 비워 둡니다.";

const server::ToolRegistration r1{"get_investor_deposit", kDeposit, get_investor_deposit};
const server::ToolRegistration r2{"get_ipo_schedule", kIpo, get_ipo_schedule};

}  // namespace
}  // namespace tessaro::tools
