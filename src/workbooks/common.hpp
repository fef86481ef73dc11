#pragma once
// What the workbook tools share: where a file goes.
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "server/registry.hpp"
#include "sources/xlsx/workbook.hpp"

namespace tessaro::workbooks {

struct Target {
  bool ok = true;
  std::string error;      // the ⚠️ reply when the given name is refused
  std::string filename;   // checked user name, or "" for an automatic one
  // The path asked for: the user's name, or an automatic name with a time
  // stamp from `prefix` (reduced to safe characters). The save claims it, or
  // name_2, name_3 ... when it is taken, and returns the path it wrote.
  std::filesystem::path path(const std::string& prefix) const;
};

Target resolve_target(const std::string& filename, const std::string& what);

// The columns of a saved table as the sheet heads them, each with the key that
// query_excel's filters and sort take when it differs: "종가(close), 거래량(volume)".
std::string column_list(const excel::Table& t);

// scan_to_excel with the per-stock snapshot source passed in:
// snapshot(codes, days, include_financial) -> [{code, name, current_price, ...}].
using SnapshotFn = std::function<json(const std::vector<std::string>&, int, bool)>;
std::string scan_to_excel_with(const server::Args& a, const SnapshotFn& snapshot);

}  // namespace tessaro::workbooks
