#include "workbooks/common.hpp"

#include "core/format.hpp"
#include "sources/xlsx/workbook.hpp"

namespace tessaro::workbooks {

Target resolve_target(const std::string& filename, const std::string&) {
  Target t;
  if (fmt::trim(filename).empty()) return t;
  auto safe = excel::safe_filename(filename);
  if (!safe) {
    t.ok = false;
    t.error = "⚠️ 파일 이름으로 쓸 수 없습니다: " + filename +
              "\n경로(/, \\), '..', 숨김 파일 이름, 장치 이름(CON, NUL 등)과 방향 제어 문자는 넣을 수 없어요. 파일은 항상 snapshots 폴더에 저장됩니다.";
    return t;
  }
  t.filename = *safe;
  return t;
}

std::filesystem::path Target::path(const std::string& prefix) const {
  return excel::get_snapshot_dir() / (filename.empty() ? excel::generate_filename(prefix) : filename);
}

std::string column_list(const excel::Table& t) {
  std::vector<std::string> out;
  for (const auto& c : t.columns) {
    std::string h = t.header(c);
    out.push_back(h == c ? c : h + "(" + c + ")");
  }
  return fmt::join(out, ", ");
}

}  // namespace tessaro::workbooks
