#pragma once
// Workbooks: tables written as .xlsx (libxlsxwriter) and read back (libzip +
// pugixml). Files live in the snapshot folder under the home directory and are
// written atomically (temp file in the same folder, then rename).
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/json.hpp"

namespace tessaro::excel {

// A table: column names and rows, each row an object keyed by column name
// (missing keys or nulls are empty cells).
struct Table {
  std::vector<std::string> columns;
  std::vector<json> rows;
  // Header text per column where the sheet needs other words than
  // COLUMN_LABELS_KO (a daily high is 고가, not the period high).
  std::map<std::string, std::string> labels;
  bool has_column(const std::string& c) const;
  std::string header(const std::string& c) const;
};

// Builds a Table from an array of row objects; columns are the union of keys in
// first-seen order.
Table table_from_rows(const json& rows);

std::filesystem::path get_snapshot_dir();
// "<prefix>_YYYYMMDD_HHMMSS.xlsx" (KST).
std::string generate_filename(const std::string& prefix);
// A user-given file name checked and completed: no path parts, no "..", ".xlsx"
// appended when missing. nullopt when the name is not acceptable.
std::optional<std::string> safe_filename(const std::string& name);
// A path in the snapshot folder that does not exist yet: name, else name_2, name_3 ...
std::filesystem::path unused_path(const std::string& filename);

// One per-stock detail sheet: sections of small tables plus line charts.
struct DetailSection {
  std::string title;
  std::vector<std::string> cols;
  std::vector<std::vector<json>> rows;        // cells
  std::vector<std::string> row_urls;          // optional link per row ("" = none)
};
struct DetailChart {
  std::string title;
  std::vector<std::string> categories;        // x axis (dates)
  std::vector<std::pair<std::string, std::vector<std::optional<double>>>> series;
};
struct DetailSheet {
  std::string sheet_name;
  std::string heading;
  std::vector<DetailSection> sections;
  std::vector<DetailChart> charts;
};

class WorkbookBuilder {
 public:
  WorkbookBuilder();
  ~WorkbookBuilder();
  // A table sheet with a bold frozen header, number formats and an autofilter;
  // tables of 20 rows or fewer get a comparison chart of their first numeric
  // column. `metadata` (object) goes to the "_metadata" sheet.
  void add_table_sheet(const std::string& name, const Table& t, const json& metadata = nullptr);
  void add_text_sheet(const std::string& name, const std::vector<std::string>& lines);
  void add_detail_sheet(const DetailSheet& d);
  // Cells of `column` in the table sheet become links to other sheets (blue
  // "0563C1", single underline): value -> target sheet name.
  void link_column(const std::string& sheet, const std::string& column,
                   const std::map<std::string, std::string>& value_to_sheet);
  void save(const std::filesystem::path& path);

 private:
  struct Impl;
  Impl* impl_;
};

// One table sheet and its metadata in a new workbook.
void save_dataframe_to_excel(const Table& t, const std::filesystem::path& path, const std::string& sheet_name,
                         const json& metadata = nullptr);

// Reads a sheet (first row = header) back. Throws KeyError when the sheet is
// absent, ValueError when the file is not a workbook.
Table load_excel(const std::filesystem::path& path, const std::string& sheet_name);
std::vector<std::string> sheet_names(const std::filesystem::path& path);

// Filters: {"per_max": 15, "foreign_net_min": 0} or {"per": {"min": 0, "max": 15}}.
Table apply_filters(const Table& t, const json& filters);
std::vector<std::string> unknown_filter_columns(const Table& t, const json& filters);

// Column key -> Korean label.
const std::map<std::string, std::string>& COLUMN_LABELS_KO();
std::string label_of(const std::string& column);

}  // namespace tessaro::excel
