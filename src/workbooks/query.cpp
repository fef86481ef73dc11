// query_excel: filters a saved snapshot workbook locally, no network.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "server/registry.hpp"
#include "sources/xlsx/workbook.hpp"

namespace tessaro::workbooks {

namespace {

const char* kQueryDoc =
    "엑셀조회 — scan_to_excel로 저장한 스냅샷 파일을 조건으로 걸러 봅니다 (네트워크 호출 없음).\n\n"
    "Args:\n"
    "    file_path: scan_to_excel이 알려 준 파일 경로 (또는 snapshots 폴더 안의 파일 이름)\n"
    "    filters: 조건. 짧은 형식 {'per_max': 15, 'foreign_net_min': 0} 또는 긴 형식 {'per': {'min': 0, 'max': 15}}\n"
    "    sort_by: 정렬할 컬럼 (예: 'drawdown_pct')\n"
    "    descending: 내림차순 여부 (기본 true)\n"
    "    limit: 보여 줄 행 수 (기본 30)";

bool thousands_label(const std::string& label) {
  static const std::set<std::string> s = {"현재가", "거래량", "평균거래량", "기간최고가", "기간최저가",
                                          "시가",   "종가",   "EPS(원)",   "BPS(원)",   "집계봉수"};
  return s.count(label) > 0;
}

std::string cell(const std::string& key, const std::string& label, const json& v) {
  if (v.is_null()) return "-";
  if (v.is_string()) return v.get<std::string>();
  if (v.is_boolean()) return v.get<bool>() ? "True" : "False";
  if (!v.is_number()) return dump_compact(v);
  double d = v.get<double>();
  if (thousands_label(label)) return fmt::thousands(fmt::round_ll(d));
  if (fmt::ends_with(key, "_pct") || fmt::ends_with(label, "(%)")) return fmt::fixed(d, 2, false, true) + "%";
  return fmt::fixed(d, 2);
}

// A path inside the snapshot folder: a bare name is looked up there; an
// absolute path must lie inside it.
std::optional<std::filesystem::path> resolve(const std::string& raw) {
  namespace fs = std::filesystem;
  fs::path dir = fs::weakly_canonical(excel::get_snapshot_dir());
  fs::path p = raw;
  if (!p.is_absolute()) p = dir / p;
  p = fs::weakly_canonical(p);
  auto rel = p.lexically_relative(dir);
  if (rel.empty() || rel == "." || *rel.begin() == "..") return std::nullopt;
  return p;
}

std::string query_excel(const server::Args& a) {
  std::string file_path = fmt::trim(a.str("file_path"));
  json filters = a.value("filters");
  std::string sort_by = a.str("sort_by");
  bool descending = a.boolean("descending");
  long long limit = std::clamp<long long>(a.integer("limit"), 1, 500);

  if (file_path.empty())
    return "⚠️ file_path 가 비어 있습니다. scan_to_excel 이 알려 준 파일 경로(또는 snapshots 폴더 안의 파일 이름)를 "
           "넣어 주세요.";
  auto path = resolve(file_path);
  if (!path) return "⚠️ snapshots 폴더 밖의 파일은 열 수 없습니다: " + file_path;
  if (!std::filesystem::exists(*path)) return "파일을 찾을 수 없습니다: " + file_path;
  excel::Table table;
  try {
    table = excel::load_excel(*path, "Snapshot");
  } catch (const std::exception& e) {
    return "파일 로드 실패: " + exception_class_name(e) + ": " + e.what();
  }
  size_t total = table.rows.size();
  std::vector<std::string> unapplied = excel::unknown_filter_columns(table, filters);
  excel::Table out = excel::apply_filters(table, filters);
  if (!sort_by.empty() && out.has_column(sort_by)) {
    std::stable_sort(out.rows.begin(), out.rows.end(), [&](const json& x, const json& y) {
      const json& a1 = x[sort_by];
      const json& b1 = y[sort_by];
      // Missing values sort last either way.
      if (a1.is_null() != b1.is_null()) return !a1.is_null();
      if (a1.is_null()) return false;
      if (a1.is_number() && b1.is_number())
        return descending ? a1.get<double>() > b1.get<double>() : a1.get<double>() < b1.get<double>();
      return descending ? a1.dump() > b1.dump() : a1.dump() < b1.dump();
    });
  }
  if (out.rows.size() > size_t(limit)) out.rows.resize(size_t(limit));
  std::string unapplied_s = fmt::join(unapplied, ", ");
  std::string columns_s = fmt::join(table.columns, ", ");
  if (out.rows.empty()) {
    std::string r = "조건에 맞는 종목이 없습니다. (원본: " + std::to_string(total) + ")";
    if (!unapplied.empty())
      r += "\n\n⚠️ 이 파일에 없는 컬럼이라 **적용되지 않은 조건**: " + unapplied_s + "\n사용 가능한 컬럼: " + columns_s;
    return r;
  }
  std::vector<std::string> lines;
  lines.push_back("쿼리 결과 (" + std::to_string(out.rows.size()) + "개 종목, 파일: " + path->filename().string() + "):");
  lines.push_back("");
  if (!unapplied.empty()) {
    lines.push_back("⚠️ **적용되지 않은 조건**: " + unapplied_s +
                    " — 이 파일에 없는 컬럼입니다. 아래 결과는 이 조건이 **빠진 채** 걸러진 것입니다.");
    lines.push_back("사용 가능한 컬럼: " + columns_s);
    lines.push_back("");
  }
  std::vector<std::string> labels;
  for (const auto& c : out.columns) labels.push_back(excel::label_of(c));
  lines.push_back("| " + fmt::join(labels, " | ") + " |");
  std::string delim = "|";
  for (size_t i = 0; i < labels.size(); ++i) delim += "---|";
  lines.push_back(delim);
  for (const auto& row : out.rows) {
    std::vector<std::string> cells;
    for (size_t i = 0; i < out.columns.size(); ++i)
      cells.push_back(cell(out.columns[i], labels[i], row.value(out.columns[i], json(nullptr))));
    lines.push_back("| " + fmt::join(cells, " | ") + " |");
  }
  return fmt::join(lines, "\n");
}

const server::ToolRegistration reg_query{"query_excel", kQueryDoc, query_excel};

}  // namespace
}  // namespace tessaro::workbooks
