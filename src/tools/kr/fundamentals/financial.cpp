// get_financial, get_financial_batch: the company-performance summary table of
// Korean stocks, whole for one stock or six key figures for many.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/call_context.hpp"
#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/parallel.hpp"
#include "tools/kr/common/kr_common.hpp"
#include "server/arg_rules.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "server/wrappers.hpp"
#include "sources/naver/naver.hpp"
#include "sources/watchlist.hpp"
#include "tools/kr/fundamentals/fundamentals.hpp"

namespace tessaro::tools::fundamentals {

namespace {

std::vector<std::string> label_list(const json& periods, const char* which) {
  std::vector<std::string> out;
  if (!periods.is_object() || !periods.contains(which) || !periods[which].is_array()) return out;
  for (const auto& l : periods[which]) out.push_back(l.is_string() ? l.get<std::string>() : "");
  return out;
}

std::string cell_text(const json& c) {
  if (c.is_string()) return c.get<std::string>();
  if (c.is_null()) return "";
  if (c.is_number_float()) return fmt::pyfloat(c.get<double>());
  return c.dump();
}

bool is_estimate(const std::string& label) { return label.find("(E)") != std::string::npos; }

}  // namespace

std::pair<std::string, std::string> latest_confirmed(const json& periods, const json& values) {
  std::vector<std::string> labels = label_list(periods, "annual");
  for (auto& q : label_list(periods, "quarterly")) labels.push_back(std::move(q));
  std::pair<std::string, std::string> last{"", ""};
  if (!values.is_array()) return last;
  size_t n = std::min(labels.size(), values.size());
  for (size_t i = 0; i < n; ++i) {
    std::string cell = cell_text(values[i]);
    if (labels[i].empty() || is_estimate(labels[i]) || cell.empty()) continue;
    last = {labels[i], cell};
  }
  return last;
}

json period_coverage_of(const std::map<std::string, std::optional<std::string>>& periods_by_entity) {
  std::set<std::string> distinct;
  for (const auto& [_, p] : periods_by_entity)
    if (p && !p->empty()) distinct.insert(*p);
  json periods = json::array();
  for (const auto& p : distinct) periods.push_back(p);
  std::string consistency = distinct.empty() ? "unknown" : distinct.size() == 1 ? "uniform" : "mixed";
  return {{"consistency", consistency},
          {"periods", periods},
          {"oldest", distinct.empty() ? json(nullptr) : json(*distinct.begin())},
          {"newest", distinct.empty() ? json(nullptr) : json(*distinct.rbegin())}};
}

namespace {

const char* kFinancialDoc =
    "재무지표 — 한 종목의 **전체** 재무지표(연간·분기 추이 19개 항목).\n\n"
    "네이버 금융 기업실적분석 표(최근 연간 4기·분기 6기, 증권사 컨센서스 추정치는 (E))를 그대로 보여 주고, "
    "단위·연결/별도 기준·추정치 여부를 함께 적습니다. 한 번에 약 3,500자가 나오므로 여러 종목을 비교할 때는 "
    "이 도구를 종목마다 부르지 말고 get_financial_batch 를 쓰세요.\n\n"
    "Args:\n    code: 종목코드 6자리 (예: \"005930\")";

const char* kBatchDoc =
    "재무벌크 — 여러 종목의 핵심 재무지표(PER/PBR/ROE/영업이익률/부채비율/배당률)를 한 표로.\n\n"
    "여러 종목의 재무를 비교할 때 기본으로 쓰는 도구입니다. 종목당 한 줄, 각 값은 (E)가 붙지 않은 최신 확정 "
    "기간 기준이며 종목마다 기준 기간이 다르면 경고합니다. 연간·분기 전체 추이가 필요할 때만 get_financial 을 "
    "종목별로 쓰세요.\n\n"
    "Args:\n    codes: 종목코드 6자리 리스트 (최대 30개)";

// "{label}={cell}" pairs of one series.
std::string series_text(const std::vector<std::string>& labels, const std::vector<std::string>& cells) {
  std::vector<std::string> parts;
  size_t n = std::min(labels.size(), cells.size());
  for (size_t i = 0; i < n; ++i) {
    const std::string& l = labels[i];
    const std::string& c = cells[i];
    if (l.empty() && c.empty()) continue;
    std::string shown = !c.empty() ? c : (is_estimate(l) ? "추정치 없음" : "데이터 없음");
    parts.push_back((l.empty() ? "?" : l) + "=" + shown);
  }
  return fmt::join(parts, " | ");
}

std::string basis_of(const json& basis, const char* which, const std::string& period) {
  if (!basis.is_object() || !basis.contains(which) || !basis[which].is_object()) return "";
  const json& m = basis[which];
  if (!m.contains(period) || !m[period].is_string()) return "";
  return fmt::trim(m[period].get<std::string>());
}

std::string get_financial(const server::Args& a) {
  std::string code = a.str("code");
  auto got = server::code_lookup([&] { return naver::get_financials(code); });
  if (got.failure()) return server::code_failed_reply(code, "재무지표", got.reason, "filing");
  json rec = std::move(got.value);
  if (!rec.is_object() || rec.empty()) return "종목코드 " + code + "의 재무지표를 가져올 수 없습니다.";
  std::string name = rec.contains("name") && rec["name"].is_string() && !rec["name"].get<std::string>().empty()
                         ? rec["name"].get<std::string>()
                         : code;
  if (rec.contains(naver::PARSE_MISS_KEY))
    return name + "(" + code +
           ")의 재무 표를 읽지 못했어요 (재무 자료가 없는 것이 아니라 **파싱 실패**예요).\n네이버 증권 페이지 구조가 "
           "바뀌었을 수 있어요. " +
           server::PARSE_FAIL_NEXT;

  json periods = rec.contains("_periods") && rec["_periods"].is_object() ? rec["_periods"] : json::object();
  std::vector<std::string> annual = label_list(periods, "annual");
  std::vector<std::string> quarterly = label_list(periods, "quarterly");

  std::vector<std::string> lines;
  lines.push_back("종목: " + name + " (" + code + ")");
  lines.push_back("");
  lines.push_back(
      "※ 단위 — 매출액·영업이익·당기순이익: **억원** / 영업이익률·순이익률·ROE·부채비율·당좌비율·유보율: **%** "
      "(네이버 금융 기업실적분석 표 기준). 그 외 행은 이름에 단위 표기.");

  json basis = json::object();
  try {
    basis = naver::get_fs_basis(code);
  } catch (const std::exception&) {
    basis = json::object();
  }
  std::vector<std::pair<std::string, std::string>> entries;   // period, label
  for (const auto& p : annual) entries.emplace_back(p, basis_of(basis, "annual", p));
  for (const auto& p : quarterly) entries.emplace_back(p, basis_of(basis, "quarterly", p));
  std::set<std::string> distinct;
  std::vector<std::string> unverified;
  for (const auto& [p, l] : entries) {
    if (!l.empty()) distinct.insert(l);
    else unverified.push_back(p);
  }
  if (distinct.empty()) {
    lines.push_back(
        "※ 재무기준(연결/별도): **확인하지 못함** — 이 숫자가 연결인지 별도인지 단정하지 마세요. 네이버 금융 종목 "
        "화면의 기업실적분석 표에서 확인할 수 있습니다.");
  } else if (distinct.size() == 1) {
    std::string line = "※ 재무기준: **" + *distinct.begin() + "**";
    line += unverified.empty() ? " (전 기간 동일)" : " (확인하지 못한 기간: " + fmt::join(unverified, ", ") + ")";
    lines.push_back(line);
  } else {
    std::vector<std::string> labelled;
    for (const auto& [p, l] : entries)
      if (!l.empty()) labelled.push_back(p + "=" + l);
    lines.push_back("※ ⚠️ 재무기준이 기간마다 다릅니다 — " + fmt::join(labelled, ", ") +
                    ". 연결과 별도는 비교 범위가 달라 나란히 읽으면 안 됩니다.");
  }
  lines.push_back("※ (E)는 확정 실적이 아니라 증권사 컨센서스 추정치입니다.");
  lines.push_back(
      "※ 네이버 금융 요약 표입니다. 공시 원문 숫자·계정 정의로 확인하려면 Dorvik가 연결돼 있다면 Dorvik 재무 "
      "조회로 이어서 보세요.");
  bool has_multiple = false;
  for (const auto& [k, _] : rec.items())
    if (fmt::starts_with(k, "PER") || fmt::starts_with(k, "PBR")) has_multiple = true;
  if (has_multiple)
    lines.push_back(
        "※ 표의 **PER·PBR 은 각 기간말 주가** 기준입니다. **현재가** 기준이 필요하면 "
        "`get_sector_valuation`(현재가÷최근 4분기 EPS) 또는 네이버 종목 화면을 보세요 — 같은 종목이라도 값이 "
        "다릅니다.");
  lines.push_back("");

  static const std::set<std::string> kSkip = {"code", "name", "_periods", "_fs_basis"};
  for (const auto& [key, value] : rec.items()) {
    if (kSkip.count(key)) continue;
    if (!value.is_array()) {
      lines.push_back(key + ": " + cell_text(value));
      continue;
    }
    std::vector<std::string> cells;
    for (const auto& c : value) cells.push_back(cell_text(c));
    if (annual.empty() && quarterly.empty()) {
      lines.push_back(key + ": " + fmt::join(cells, " | "));
      continue;
    }
    lines.push_back(key + ":");
    if (!annual.empty()) {
      std::vector<std::string> part(cells.begin(), cells.begin() + std::min(cells.size(), annual.size()));
      lines.push_back("  [연간] " + series_text(annual, part));
    }
    if (!quarterly.empty()) {
      std::vector<std::string> part;
      for (size_t i = annual.size(); i < cells.size() && i < annual.size() + quarterly.size(); ++i)
        part.push_back(cells[i]);
      lines.push_back("  [분기] " + series_text(quarterly, part));
    }
  }

  std::string last_confirmed;
  for (const auto* list : {&annual, &quarterly})
    for (const auto& p : *list)
      if (!p.empty() && !is_estimate(p)) last_confirmed = p;
  server::KrMetaArgs m;
  m.kind = "filing";
  m.code = code;
  m.name = rec.contains("name") && rec["name"].is_string() ? rec["name"] : json(nullptr);
  m.data_period = last_confirmed.empty() ? json(nullptr) : json(last_confirmed + " 확정");
  return server::append_result_meta(fmt::join(lines, "\n"), server::kr_meta(m));
}

const std::vector<std::pair<std::string, std::string>> kFinCompareRows = {
    {"PER(배)", "PER"},         {"PBR(배)", "PBR"},         {"ROE(지배주주)", "ROE%"},
    {"영업이익률", "영업이익률%"}, {"부채비율", "부채비율%"}, {"시가배당률(%)", "배당률%"}};

std::string get_financial_batch(const server::Args& a) {
  std::vector<std::string> raw = a.str_list("codes").value_or(std::vector<std::string>{});
  if (raw.empty()) return "종목코드 리스트가 비어 있습니다.";
  std::vector<std::string> codes;
  for (const auto& c : raw) {
    std::string t = fmt::trim(c);
    if (t.empty()) continue;
    if (codes.size() >= 30) break;
    codes.push_back(t);
  }
  size_t n = codes.size();

  // One task per code, all at once; each task keeps its own failure.
  ProgressStage progress("재무 조회");
  std::vector<json> records(n);
  parallel_for(n, std::max<size_t>(n, 1), [&](size_t i) {
    try {
      records[i] = naver::get_financials(codes[i]);
    } catch (const std::exception& e) {
      records[i] = {{"_error", exception_class_name(e)}};
    }
  });

  std::set<std::string> watch;
  try {
    for (const auto& c : wl::codes()) watch.insert(c);
  } catch (const std::exception&) {
  }

  std::vector<std::string> headers;
  for (const auto& [_, h] : kFinCompareRows) headers.push_back(h);
  std::vector<std::string> lines;
  lines.push_back("재무 비교 (" + std::to_string(n) + "종목)");
  lines.push_back("");
  lines.push_back("코드 | 종목명 | " + fmt::join(headers, " | ") + " | 기준");
  lines.push_back("---|---|---:|---");

  int failures = 0;
  std::map<std::string, std::vector<std::string>> lacking;   // column -> codes whose source has no such row
  std::vector<std::string> unknown_codes;
  std::map<std::string, std::optional<std::string>> ref_periods;
  for (size_t i = 0; i < n; ++i) {
    const std::string& code = codes[i];
    const json& rec = records[i];
    bool failed = !rec.is_object() || rec.empty() ||
                  (rec.contains("_error") && !cell_text(rec["_error"]).empty()) ||
                  // A page that was read but not understood is a failed lookup, not "no figures".
                  rec.contains(naver::PARSE_MISS_KEY);
    if (failed) {
      std::vector<std::string> dashes(kFinCompareRows.size(), "-");
      // A code the site does not know is not a failed lookup.
      bool unknown = rec.is_object() && rec.value("_error", json()) == "not_found";
      if (unknown) unknown_codes.push_back(code);
      else ++failures;
      lines.push_back(code + (unknown ? " | (종목 없음) | " : " | (조회 실패) | ") + fmt::join(dashes, " | ") + " | -");
      continue;
    }
    json periods = rec.contains("_periods") && rec["_periods"].is_object() ? rec["_periods"] : json::object();
    std::string ref;
    std::vector<std::string> cells;
    for (const auto& [key, header] : kFinCompareRows) {
      // A row the source does not carry at all (the finance JSON has no 시가배당률)
      // is not a missing value of this stock: the reply says which source lacks it.
      if (!rec.contains(key)) lacking[header].push_back(code);
      const json& v = rec.contains(key) ? rec[key] : json();
      if (v.is_array()) {
        auto [p, cell] = latest_confirmed(periods, v);
        cells.push_back(cell.empty() ? "-" : cell);
        if (ref.empty() && !p.empty()) ref = p;
      } else {
        std::string t = cell_text(v);
        cells.push_back(t.empty() ? "-" : t);
      }
    }
    if (!ref.empty()) ref_periods[code] = ref;
    std::string name = rec.contains("name") && rec["name"].is_string() && !rec["name"].get<std::string>().empty()
                           ? rec["name"].get<std::string>()
                           : code;
    std::string star = watch.count(code) ? "⭐ " : "";
    lines.push_back(code + " | " + star + name + " | " + fmt::join(cells, " | ") + " | " + (ref.empty() ? "-" : ref));
  }

  lines.push_back("");
  lines.push_back("※ 단위 — PER·PBR: 배 / 나머지: % · 값은 **(E)가 붙지 않은 최신 확정 기간** 기준");
  lines.push_back("※ 전체 지표(연간·분기 추이, EPS/BPS 등)가 필요하면 get_financial을 종목별로 쓰세요.");
  if (failures > 0)
    lines.push_back("※ " + std::to_string(failures) + "종목 조회 실패 — 상장폐지·거래정지 등일 수 있습니다.");
  if (!unknown_codes.empty())
    lines.push_back("※ 종목 없음(잘못된 코드이거나 상장폐지): " + fmt::join(unknown_codes, ", ") +
                    " — search로 종목코드를 확인하세요.");

  std::vector<std::string> lack_warnings;
  for (const auto& [key, header] : kFinCompareRows) {
    auto it = lacking.find(header);
    if (it == lacking.end()) continue;
    std::string who = int(it->second.size()) + failures + int(unknown_codes.size()) == int(n)
                          ? "모든 종목"
                          : fmt::join(it->second, ", ");
    std::string text = header + " 열의 '-' (" + who + ")는 재무 원본에 그 항목이 아예 없어 채우지 못한 것입니다 - 0 이나 " +
                       "해당 없음이 아니라 확인 불가입니다.";
    lines.push_back("※ " + text);
    lack_warnings.push_back(text);
  }

  json coverage_of = period_coverage_of(ref_periods);
  std::string consistency = coverage_of["consistency"].get<std::string>();
  if (consistency == "mixed") {
    std::vector<std::string> ps;
    for (const auto& p : coverage_of["periods"]) ps.push_back(p.get<std::string>());
    lines.push_back("※ 종목마다 기준 기간이 다릅니다(" + fmt::join(ps, " / ") +
                    "). 서로 다른 시점의 값이라 PER·ROE 를 그대로 나란히 놓고 비교하면 안 됩니다.");
  }

  bool partial = failures > 0 || consistency == "mixed" || consistency == "unknown" || !lack_warnings.empty();
  json coverage = nullptr;
  if (consistency == "mixed" || consistency == "unknown")
    coverage = {{"returned_count", static_cast<long long>(ref_periods.size())},
                {"total_count", static_cast<long long>(n)},
                {"truncated", false},
                {"coverage_complete", false},
                {"reason", consistency == "mixed" ? "mixed_periods" : "unknown"}};
  server::KrMetaArgs m;
  m.kind = "filing";
  m.data_completeness = partial ? rmeta::PARTIAL : rmeta::COMPLETE;
  m.coverage = coverage;
  m.extra = {{"period_coverage", coverage_of}};
  m.warnings = lack_warnings;
  if (!lack_warnings.empty() && m.coverage.is_null())
    m.coverage = {{"truncated", false}, {"coverage_complete", false}, {"reason", "source_limit"}};
  return server::append_result_meta(fmt::join(lines, "\n"), server::kr_meta(m));
}

const server::ToolRegistration reg_financial{"get_financial", kFinancialDoc, get_financial};
const server::ToolRegistration reg_batch{"get_financial_batch", kBatchDoc, get_financial_batch};
const server::ArgumentShape shape_get_financial_code{"get_financial", "code", server::Shape::KrCode};
const server::ArgumentShape shape_get_financial_batch_codes{"get_financial_batch", "codes", server::Shape::KrCode};

}  // namespace
}  // namespace tessaro::tools::fundamentals
