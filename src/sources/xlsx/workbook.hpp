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
  // Currency of the price columns: "KRW" shows whole won, any other code its
  // decimals; "" lets the values decide.
  std::string currency;
  bool has_column(const std::string& c) const;
  std::string header(const std::string& c) const;
};

// Builds a Table from an array of row objects; columns are the union of keys in
// first-seen order.
Table table_from_rows(const json& rows);

std::filesystem::path get_snapshot_dir();
// "<prefix>_YYYYMMDD_HHMMSS.xlsx" (KST); the prefix is reduced to safe characters.
// Two saves in the same second still get their own files (see WorkbookBuilder::save).
std::string generate_filename(const std::string& prefix);
// A piece of an automatic file name taken from an argument: letters, digits,
// Hangul, '-' and '_' kept, every other run of characters one '_', at most
// `max_chars` characters ("x" when nothing is left).
std::string safe_name_part(const std::string& raw, size_t max_chars = 60);
// A user-given file name checked and completed: no path parts, no "..", ".xlsx"
// appended when missing. nullopt when the name is not acceptable.
std::optional<std::string> safe_filename(const std::string& name);

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

// A valid sheet name for Excel: at most 31 characters, none of []:*?/\, no
// apostrophe at either end, not empty, not the reserved "History".
std::string valid_sheet_name(const std::string& wanted);

class WorkbookBuilder {
 public:
  WorkbookBuilder();
  ~WorkbookBuilder();
  // Sheet names are made valid and unique (case-insensitively, "_metadata"
  // kept for the metadata sheet) before the sheet library sees them: each add
  // returns the name the sheet got.
  //
  // A table sheet with a bold frozen header, number formats and an autofilter;
  // tables of 20 rows or fewer get a comparison chart of their first numeric
  // column. `metadata` (object) goes to the "_metadata" sheet.
  std::string add_table_sheet(const std::string& name, const Table& t, const json& metadata = nullptr);
  std::string add_text_sheet(const std::string& name, const std::vector<std::string>& lines);
  std::string add_detail_sheet(const DetailSheet& d);
  // Takes a name now for a sheet added later (the add with exactly this
  // returned name uses it), so that texts can name sheets before they exist.
  std::string reserve_sheet_name(const std::string& wanted);
  // Cells of `column` in the table sheet become links to other sheets (blue
  // "0563C1", single underline): value -> target sheet name (as returned above).
  void link_column(const std::string& sheet, const std::string& column,
                   const std::map<std::string, std::string>& value_to_sheet);
  // Writes the workbook to a temp file and moves it to `path`, or, when that
  // name is taken, to path's stem + "_2", "_3" ...: an existing file is never
  // replaced. `path` must lie inside the snapshot folder. Returns the path written.
  std::filesystem::path save(const std::filesystem::path& path);
  // Sheets the sheet library refused while saving ("name: reason"); the rest
  // of the workbook is still written.
  const std::vector<std::string>& sheet_errors() const;
  // Cells of the last save whose text was longer than Excel's 32,767-character
  // limit: cut, with a "…[잘림: …]" mark at their end ("sheet!B3 (40,000자)").
  const std::vector<std::string>& cut_cells() const;
  static constexpr size_t CELL_MAX_CHARS = 32767;

 private:
  struct Impl;
  Impl* impl_;
};

// One table sheet and its metadata in a new workbook; returns the path written
// (see WorkbookBuilder::save).
std::filesystem::path save_dataframe_to_excel(const Table& t, const std::filesystem::path& path, const std::string& sheet_name,
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
