#include "sources/xlsx/workbook.hpp"

#include <unistd.h>
#include <xlsxwriter.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <set>

#include "core/errors.hpp"
#include "core/files.hpp"
#include "core/format.hpp"
#include "core/clock.hpp"

namespace fs = std::filesystem;

namespace tessaro::excel {

bool Table::has_column(const std::string& c) const {
  return std::find(columns.begin(), columns.end(), c) != columns.end();
}
std::string Table::header(const std::string& c) const {
  auto it = labels.find(c);
  return it == labels.end() ? label_of(c) : it->second;
}

Table table_from_rows(const json& rows) {
  Table t;
  if (!rows.is_array()) return t;
  std::set<std::string> seen;
  for (const auto& r : rows) {
    if (!r.is_object()) continue;
    for (auto it = r.begin(); it != r.end(); ++it)
      if (seen.insert(it.key()).second) t.columns.push_back(it.key());
    t.rows.push_back(r);
  }
  return t;
}

fs::path get_snapshot_dir() {
  fs::path p = home_dir() / "snapshots";
  std::error_code ec;
  fs::create_directories(p, ec);
  return p;
}

namespace {

// UTF-8 code points of a text (invalid bytes as U+FFFD).
std::vector<char32_t> code_points(const std::string& s) {
  std::vector<char32_t> out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = (unsigned char)s[i];
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k < len; ++k) cp = (cp << 6) | ((unsigned char)s[i + k] & 0x3F);
    out.push_back(cp);
    i += len;
  }
  return out;
}

std::string utf8_of(char32_t cp) {
  std::string o;
  if (cp < 0x80) o += char(cp);
  else if (cp < 0x800) {
    o += char(0xC0 | (cp >> 6));
    o += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    o += char(0xE0 | (cp >> 12));
    o += char(0x80 | ((cp >> 6) & 0x3F));
    o += char(0x80 | (cp & 0x3F));
  } else {
    o += char(0xF0 | (cp >> 18));
    o += char(0x80 | ((cp >> 12) & 0x3F));
    o += char(0x80 | ((cp >> 6) & 0x3F));
    o += char(0x80 | (cp & 0x3F));
  }
  return o;
}

// Excel keeps at most 32,767 characters (UTF-16 units) in a cell; the sheet library
// refuses a longer string and the cell would silently stay empty. Such a text is
// cut, visibly, and the cut is logged for the reply of the save in progress.
constexpr size_t kCellMax = 32767;
thread_local std::vector<std::string>* t_cuts = nullptr;   // the save running on this thread
thread_local std::string t_sheet;                          // the sheet being written

size_t utf16_units(const std::vector<char32_t>& cps) {
  size_t n = 0;
  for (char32_t cp : cps) n += cp >= 0x10000 ? 2 : 1;
  return n;
}

std::string cell_ref(lxw_row_t r, lxw_col_t c) {
  std::string col;
  for (unsigned n = unsigned(c) + 1; n > 0; n = (n - 1) / 26) col.insert(col.begin(), char('A' + (n - 1) % 26));
  return col + std::to_string(r + 1);
}

lxw_error write_text(lxw_worksheet* ws, lxw_row_t r, lxw_col_t c, const char* text, lxw_format* f) {
  std::string s = text ? text : "";
  if (s.size() > kCellMax) {   // fewer bytes than the limit is always within it
    std::vector<char32_t> cps = code_points(s);
    size_t total = utf16_units(cps);
    if (total > kCellMax) {
      std::string mark = "…[잘림: 원문 " + fmt::thousands((long long)total) + "자 중 앞부분만 저장]";
      size_t room = kCellMax - utf16_units(code_points(mark));
      std::string kept;
      size_t used = 0;
      for (char32_t cp : cps) {
        size_t w = cp >= 0x10000 ? 2 : 1;
        if (used + w > room) break;
        used += w;
        kept += utf8_of(cp);
      }
      s = kept + mark;
      if (t_cuts) t_cuts->push_back(t_sheet + "!" + cell_ref(r, c) + " (" + fmt::thousands((long long)total) + "자)");
    }
  }
  return worksheet_write_string(ws, r, c, s.c_str(), f);
}

bool safe_name_char(char32_t cp) {
  return (cp < 0x80 && (std::isalnum(int(cp)) || cp == '-' || cp == '_')) || (cp >= 0xAC00 && cp <= 0xD7A3) ||
         (cp >= 0x3131 && cp <= 0x318E);
}

}  // namespace

std::string safe_name_part(const std::string& raw, size_t max_chars) {
  std::string out;
  size_t n = 0;
  bool in_run = false;
  for (char32_t cp : code_points(raw)) {
    if (n >= max_chars) break;
    if (safe_name_char(cp)) {
      out += utf8_of(cp);
      in_run = false;
      ++n;
    } else if (!in_run) {
      out += "_";
      in_run = true;
      ++n;
    }
  }
  return out.empty() ? "x" : out;
}

std::string generate_filename(const std::string& prefix) {
  mt::Civil c = mt::to_kst(mt::now());
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d_%02d%02d%02d", c.year, c.month, c.day, c.hour, c.minute, c.second);
  // A Hangul title of 80 characters is 240 bytes: the name is cut to what a file
  // name may hold, on a character boundary.
  return file_name_from_text(safe_name_part(prefix, 80), std::string("_") + buf + ".xlsx", "x");
}

std::optional<std::string> safe_filename(const std::string& raw) {
  std::string name = fmt::trim(raw);
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos) return std::nullopt;
  if (name.find("..") != std::string::npos || name[0] == '.' || name[0] == '~') return std::nullopt;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|')
      return std::nullopt;
  // Direction marks make a name read otherwise than it is; device names are no files.
  if (has_control_or_direction_mark(name) || reserved_file_name(name)) return std::nullopt;
  // Room for ".xlsx" and a "_NN" within the 255 bytes a file name may have.
  if (fmt::cp_len(name) > 150 || name.size() > 200) return std::nullopt;
  if (!fmt::ends_with(fmt::lower(name), ".xlsx")) name += ".xlsx";
  return name;
}

// ---------------------------------------------------------------------------

namespace {

bool is_amount_column(const std::string& c) {
  static const std::set<std::string> s = {"volume", "avg_volume", "bars_count", "inst_net", "foreign_net", "시가총액",
                                          "individual", "foreign", "institutional"};
  return s.count(c) > 0;
}
bool is_price_column(const std::string& c) {
  static const std::set<std::string> s = {"current_price", "high", "low", "open", "close", "adj_close", "adjclose",
                                          "price", "eps", "bps", "target_price", "현재가", "시가", "고가", "저가",
                                          "종가", "목표주가"};
  return s.count(c) > 0;
}
bool is_pct_column(const std::string& c) {
  return fmt::ends_with(c, "_pct") || fmt::ends_with(label_of(c), "(%)");
}

// Digits after the point a value needs (0..6).
int fraction_digits(double v) {
  double scaled = v;
  for (int k = 0; k <= 6; ++k, scaled *= 10)
    if (std::fabs(scaled - std::round(scaled)) <= 1e-7 * std::max(1.0, std::fabs(scaled))) return k;
  return 6;
}

std::string decimals_format(int decimals) {
  return decimals <= 0 ? "#,##0" : "#,##0." + std::string(size_t(decimals), '0');
}

// The number format of a table column, from what it holds and the table's currency.
std::string column_format(const Table& t, const std::string& col) {
  int digits = 0;
  for (const auto& r : t.rows) {
    auto it = r.find(col);
    if (it != r.end() && it->is_number_float() && std::isfinite(it->get<double>()))
      digits = std::max(digits, fraction_digits(it->get<double>()));
  }
  digits = std::min(digits, 4);
  if (is_pct_column(col)) {
    std::string n = "0." + std::string(size_t(std::max(digits, 2)), '0');
    return "+" + n + "\"%\";-" + n + "\"%\";" + n + "\"%\"";
  }
  if (is_amount_column(col)) return "#,##0";
  if (is_price_column(col)) {
    if (t.currency == "KRW") return "#,##0";
    if (!t.currency.empty()) return decimals_format(std::max(digits, 2));
  }
  return decimals_format(digits == 0 ? 0 : std::max(digits, 2));
}

std::string sheet_ref(const std::string& sheet) {
  std::string s = fmt::replace_all(sheet, "'", "''");
  return "'" + s + "'";
}

std::string col_letter(int col) {
  std::string s;
  ++col;
  while (col > 0) {
    int r = (col - 1) % 26;
    s.insert(s.begin(), char('A' + r));
    col = (col - 1) / 26;
  }
  return s;
}

// Excel compares sheet names without regard to case: ASCII, Latin-1, Greek and
// Cyrillic capitals folded.
std::string fold_case(const std::string& s) {
  std::string out;
  for (char32_t cp : code_points(s)) {
    if (cp >= 'A' && cp <= 'Z') cp += 0x20;
    else if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) cp += 0x20;
    else if (cp >= 0x391 && cp <= 0x3A9) cp += 0x20;
    else if (cp >= 0x410 && cp <= 0x42F) cp += 0x20;
    else if (cp >= 0x400 && cp <= 0x40F) cp += 0x50;
    out += utf8_of(cp);
  }
  return out;
}

constexpr const char* kMetadataSheet = "_metadata";

}  // namespace

std::string valid_sheet_name(const std::string& wanted) {
  std::string out;
  for (char32_t cp : code_points(wanted)) {
    bool bad = cp < 0x20 || cp == 0x7F || cp == 0xFFFD || std::u32string(U"[]:*?/\\").find(cp) != std::u32string::npos;
    out += bad ? std::string("_") : utf8_of(cp);
  }
  out = fmt::cp_cut(out, 31);
  while (!out.empty() && out.front() == '\'') out.erase(0, 1);
  while (!out.empty() && out.back() == '\'') out.pop_back();
  if (fmt::trim(out).empty()) out = "Sheet";
  if (fold_case(out) == "history") out = "History_";
  return out;
}

struct WorkbookBuilder::Impl {
  struct TableSheet {
    std::string name;
    Table table;
    json metadata;
  };
  struct TextSheet {
    std::string name;
    std::vector<std::string> lines;
  };
  struct Link {
    std::string sheet, column;
    std::map<std::string, std::string> targets;
  };
  struct Taken {
    std::string name;
    bool reserved_only;   // reserved, its sheet not added yet
  };
  // Sheets in insertion order: kind 0 table, 1 text, 2 detail.
  std::vector<std::pair<int, size_t>> order;
  std::vector<TableSheet> tables;
  std::vector<TextSheet> texts;
  std::vector<DetailSheet> details;
  std::vector<Link> links;
  json metadata = json::object();
  std::map<std::string, Taken> taken{{kMetadataSheet, {kMetadataSheet, false}}};   // folded name -> sheet
  std::vector<std::string> errors;
  std::vector<std::string> cuts;   // cells cut to Excel's length limit in the last save

  std::string take(const std::string& wanted, bool reserve) {
    auto hit = taken.find(fold_case(wanted));
    if (!reserve && hit != taken.end() && hit->second.reserved_only && hit->second.name == wanted) {
      hit->second.reserved_only = false;
      return wanted;
    }
    const std::string base = valid_sheet_name(wanted);
    std::string name = base;
    for (int i = 2; taken.count(fold_case(name)); ++i) {
      std::string suffix = "_" + std::to_string(i);
      name = valid_sheet_name(fmt::cp_cut(base, 31 - suffix.size()) + suffix);
    }
    taken[fold_case(name)] = {name, reserve};
    return name;
  }
};

WorkbookBuilder::WorkbookBuilder() : impl_(new Impl) {}
WorkbookBuilder::~WorkbookBuilder() { delete impl_; }

std::string WorkbookBuilder::reserve_sheet_name(const std::string& wanted) { return impl_->take(wanted, true); }

std::string WorkbookBuilder::add_table_sheet(const std::string& name, const Table& t, const json& metadata) {
  std::string given = impl_->take(name, false);
  impl_->order.push_back({0, impl_->tables.size()});
  impl_->tables.push_back({given, t, metadata});
  if (metadata.is_object())
    for (auto it = metadata.begin(); it != metadata.end(); ++it) impl_->metadata[it.key()] = it.value();
  return given;
}
std::string WorkbookBuilder::add_text_sheet(const std::string& name, const std::vector<std::string>& lines) {
  std::string given = impl_->take(name, false);
  impl_->order.push_back({1, impl_->texts.size()});
  impl_->texts.push_back({given, lines});
  return given;
}
std::string WorkbookBuilder::add_detail_sheet(const DetailSheet& d) {
  DetailSheet c = d;
  c.sheet_name = impl_->take(d.sheet_name, false);
  impl_->order.push_back({2, impl_->details.size()});
  impl_->details.push_back(std::move(c));
  return impl_->details.back().sheet_name;
}
void WorkbookBuilder::link_column(const std::string& sheet, const std::string& column,
                                  const std::map<std::string, std::string>& targets) {
  impl_->links.push_back({sheet, column, targets});
}
const std::vector<std::string>& WorkbookBuilder::sheet_errors() const { return impl_->errors; }
const std::vector<std::string>& WorkbookBuilder::cut_cells() const { return impl_->cuts; }

namespace {

struct Formats {
  lxw_workbook* wb = nullptr;
  lxw_format *header = nullptr, *link = nullptr, *title = nullptr, *bold = nullptr;
  std::map<std::string, lxw_format*> numbers;
  lxw_format* number(const std::string& f) {
    auto it = numbers.find(f);
    if (it != numbers.end()) return it->second;
    lxw_format* x = workbook_add_format(wb);
    format_set_num_format(x, f.c_str());
    numbers[f] = x;
    return x;
  }
  // A cell on its own: whole numbers whole, others with the decimals they have.
  lxw_format* for_value(const json& v) {
    if (!v.is_number_float()) return number("#,##0");
    int d = std::min(fraction_digits(v.get<double>()), 4);
    return number(decimals_format(d == 0 ? 0 : std::max(d, 2)));
  }
};

Formats make_formats(lxw_workbook* wb) {
  Formats f;
  f.wb = wb;
  f.header = workbook_add_format(wb);
  format_set_bold(f.header);
  format_set_bg_color(f.header, 0xDDEBF7);
  format_set_border(f.header, LXW_BORDER_THIN);
  f.link = workbook_add_format(wb);
  format_set_font_color(f.link, 0x0563C1);
  format_set_underline(f.link, LXW_UNDERLINE_SINGLE);
  f.title = workbook_add_format(wb);
  format_set_bold(f.title);
  format_set_font_size(f.title, 14);
  f.bold = workbook_add_format(wb);
  format_set_bold(f.bold);
  return f;
}

void write_cell(lxw_worksheet* ws, int r, int c, const json& v, lxw_format* numfmt) {
  if (v.is_null()) return;
  if (v.is_boolean()) {
    worksheet_write_boolean(ws, lxw_row_t(r), lxw_col_t(c), v.get<bool>(), nullptr);
  } else if (v.is_number()) {
    double d = v.get<double>();
    if (std::isfinite(d)) worksheet_write_number(ws, lxw_row_t(r), lxw_col_t(c), d, numfmt);
  } else if (v.is_string()) {
    write_text(ws, lxw_row_t(r), lxw_col_t(c), v.get<std::string>().c_str(), nullptr);
  } else {
    write_text(ws, lxw_row_t(r), lxw_col_t(c), dump_compact(v).c_str(), nullptr);
  }
}

}  // namespace

fs::path WorkbookBuilder::save(const fs::path& path) {
  static std::atomic<unsigned> seq{0};
  std::error_code ec;
  const fs::path dir = get_snapshot_dir();
  // Whatever built the name, the file goes into the snapshot folder and nowhere else.
  if (path.filename().empty() || !path_inside(path, dir) ||
      fs::weakly_canonical(path, ec).parent_path() != fs::weakly_canonical(dir, ec))
    throw Error("refusing to write outside the snapshot folder: " + path.filename().string());
  fs::path tmp = dir / (".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(seq.fetch_add(1)) + ".xlsx");
  lxw_workbook* wb = workbook_new(tmp.c_str());
  if (!wb) throw Error("cannot create workbook " + path.filename().string());
  Formats f = make_formats(wb);
  std::map<std::string, lxw_worksheet*> sheets;
  impl_->errors.clear();
  impl_->cuts.clear();
  t_cuts = &impl_->cuts;
  struct CutLogReset {
    ~CutLogReset() { t_cuts = nullptr; }
  } reset_cut_log;
  // A sheet the library refuses is that sheet's error, never a null sheet written to.
  auto add_sheet = [&](const std::string& name) -> lxw_worksheet* {
    lxw_error why = workbook_validate_sheet_name(wb, name.c_str());
    lxw_worksheet* ws = why == LXW_NO_ERROR ? workbook_add_worksheet(wb, name.c_str()) : nullptr;
    if (!ws) impl_->errors.push_back(name + ": " + (why == LXW_NO_ERROR ? "sheet not created" : lxw_strerror(why)));
    else sheets[name] = ws;
    t_sheet = name;
    return ws;
  };

  for (auto [kind, idx] : impl_->order) {
    if (kind == 0) {
      const auto& ts = impl_->tables[idx];
      lxw_worksheet* ws = add_sheet(ts.name);
      if (!ws) continue;
      const Table& t = ts.table;
      std::vector<lxw_format*> col_fmt;
      for (size_t c = 0; c < t.columns.size(); ++c) {
        write_text(ws, 0, lxw_col_t(c), t.header(t.columns[c]).c_str(), f.header);
        worksheet_set_column(ws, lxw_col_t(c), lxw_col_t(c), 14, nullptr);
        col_fmt.push_back(f.number(column_format(t, t.columns[c])));
      }
      for (size_t r = 0; r < t.rows.size(); ++r) {
        for (size_t c = 0; c < t.columns.size(); ++c) {
          auto it = t.rows[r].find(t.columns[c]);
          if (it == t.rows[r].end()) continue;
          write_cell(ws, int(r) + 1, int(c), *it, col_fmt[c]);
        }
      }
      worksheet_freeze_panes(ws, 1, 0);
      if (!t.columns.empty() && !t.rows.empty())
        worksheet_autofilter(ws, 0, 0, lxw_row_t(t.rows.size()), lxw_col_t(t.columns.size() - 1));
      // Comparison chart for short tables: the first numeric column by row label.
      if (!t.rows.empty() && t.rows.size() <= 20) {
        int label_col = -1, value_col = -1;
        for (size_t c = 0; c < t.columns.size(); ++c) {
          bool numeric = false, textual = false;
          for (const auto& row : t.rows) {
            auto it = row.find(t.columns[c]);
            if (it == row.end() || it->is_null()) continue;
            if (it->is_number()) numeric = true;
            else textual = true;
          }
          const std::string& cn = t.columns[c];
          if (label_col < 0 && textual && (cn == "name" || cn == "종목명" || cn == "code" || cn == "코드" || c == 0))
            label_col = int(c);
          bool id_like = cn == "code" || cn == "코드" || fmt::ends_with(cn, "date") || cn == "날짜";
          if (value_col < 0 && numeric && !textual && !id_like) value_col = int(c);
        }
        if (label_col >= 0 && value_col >= 0) {
          lxw_chart* ch = workbook_add_chart(wb, LXW_CHART_BAR);
          std::string n = sheet_ref(ts.name), last = std::to_string(t.rows.size() + 1);
          std::string cats = "=" + n + "!$" + col_letter(label_col) + "$2:$" + col_letter(label_col) + "$" + last;
          std::string vals = "=" + n + "!$" + col_letter(value_col) + "$2:$" + col_letter(value_col) + "$" + last;
          lxw_chart_series* s = chart_add_series(ch, cats.c_str(), vals.c_str());
          chart_series_set_name(s, label_of(t.columns[size_t(value_col)]).c_str());
          chart_title_set_name(ch, label_of(t.columns[size_t(value_col)]).c_str());
          worksheet_insert_chart(ws, 1, lxw_col_t(t.columns.size() + 1), ch);
        }
      }
    } else if (kind == 1) {
      const auto& tx = impl_->texts[idx];
      lxw_worksheet* ws = add_sheet(tx.name);
      if (!ws) continue;
      worksheet_set_column(ws, 0, 0, 110, nullptr);
      for (size_t i = 0; i < tx.lines.size(); ++i)
        write_text(ws, lxw_row_t(i), 0, tx.lines[i].c_str(),
                               fmt::starts_with(tx.lines[i], "■") ? f.bold : nullptr);
    } else {
      const auto& d = impl_->details[idx];
      lxw_worksheet* ws = add_sheet(d.sheet_name);
      if (!ws) continue;
      worksheet_set_column(ws, 0, 8, 14, nullptr);
      int row = 0;
      write_text(ws, lxw_row_t(row), 0, d.heading.c_str(), f.title);
      row += 2;
      for (const auto& sec : d.sections) {
        write_text(ws, lxw_row_t(row++), 0, ("■ " + sec.title).c_str(), f.bold);
        for (size_t c = 0; c < sec.cols.size(); ++c)
          write_text(ws, lxw_row_t(row), lxw_col_t(c), sec.cols[c].c_str(), f.header);
        if (!sec.cols.empty()) ++row;
        for (size_t r = 0; r < sec.rows.size(); ++r) {
          const auto& cells = sec.rows[r];
          for (size_t c = 0; c < cells.size(); ++c) write_cell(ws, row, int(c), cells[c], f.for_value(cells[c]));
          if (r < sec.row_urls.size() && !sec.row_urls[r].empty() && !cells.empty() && cells[0].is_string())
            worksheet_write_url_opt(ws, lxw_row_t(row), 0, sec.row_urls[r].c_str(), f.link,
                                    cells[0].get<std::string>().c_str(), nullptr);
          ++row;
        }
        ++row;
      }
      // Charts sit to the right; their data block goes below everything.
      int data_row = row + 2, chart_row = 2;
      for (const auto& chd : d.charts) {
        if (chd.categories.empty() || chd.series.empty()) continue;
        int start = data_row;
        write_text(ws, lxw_row_t(data_row), 0, chd.title.c_str(), f.bold);
        for (size_t s = 0; s < chd.series.size(); ++s)
          write_text(ws, lxw_row_t(data_row), lxw_col_t(s + 1), chd.series[s].first.c_str(), f.header);
        ++data_row;
        for (size_t i = 0; i < chd.categories.size(); ++i, ++data_row) {
          write_text(ws, lxw_row_t(data_row), 0, chd.categories[i].c_str(), nullptr);
          for (size_t s = 0; s < chd.series.size(); ++s) {
            const auto& v = chd.series[s].second;
            if (i < v.size() && v[i])
              worksheet_write_number(ws, lxw_row_t(data_row), lxw_col_t(s + 1), *v[i], f.for_value(json(*v[i])));
          }
        }
        lxw_chart* ch = workbook_add_chart(wb, LXW_CHART_LINE);
        std::string n = sheet_ref(d.sheet_name);
        std::string first = std::to_string(start + 2), last = std::to_string(data_row);
        for (size_t s = 0; s < chd.series.size(); ++s) {
          std::string col = col_letter(int(s) + 1);
          std::string cats = "=" + n + "!$A$" + first + ":$A$" + last;
          std::string vals = "=" + n + "!$" + col + "$" + first + ":$" + col + "$" + last;
          lxw_chart_series* se = chart_add_series(ch, cats.c_str(), vals.c_str());
          chart_series_set_name(se, chd.series[s].first.c_str());
        }
        chart_title_set_name(ch, chd.title.c_str());
        worksheet_insert_chart(ws, lxw_row_t(chart_row), 10, ch);
        chart_row += 16;
        data_row += 2;
      }
    }
  }
  // Links from table cells to detail sheets that were written.
  for (const auto& l : impl_->links) {
    auto sit = sheets.find(l.sheet);
    if (sit == sheets.end()) continue;
    for (const auto& ts : impl_->tables) {
      if (ts.name != l.sheet) continue;
      auto cit = std::find(ts.table.columns.begin(), ts.table.columns.end(), l.column);
      if (cit == ts.table.columns.end()) continue;
      int c = int(cit - ts.table.columns.begin());
      for (size_t r = 0; r < ts.table.rows.size(); ++r) {
        auto v = ts.table.rows[r].find(l.column);
        if (v == ts.table.rows[r].end() || !v->is_string()) continue;
        auto target = l.targets.find(v->get<std::string>());
        if (target == l.targets.end() || !sheets.count(target->second)) continue;
        std::string url = "internal:" + sheet_ref(target->second) + "!A1";
        worksheet_write_url_opt(sit->second, lxw_row_t(r + 1), lxw_col_t(c), url.c_str(), f.link,
                                v->get<std::string>().c_str(), nullptr);
      }
    }
  }
  if (!impl_->metadata.empty()) {
    if (lxw_worksheet* ws = add_sheet(kMetadataSheet)) {
      write_text(ws, 0, 0, "key", f.header);
      write_text(ws, 0, 1, "value", f.header);
      int r = 1;
      write_text(ws, lxw_row_t(r), 0, "saved_at", nullptr);
      write_text(ws, lxw_row_t(r++), 1, mt::iso_kst(mt::now()).c_str(), nullptr);
      for (auto it = impl_->metadata.begin(); it != impl_->metadata.end(); ++it, ++r) {
        write_text(ws, lxw_row_t(r), 0, it.key().c_str(), nullptr);
        write_cell(ws, r, 1, it.value(), nullptr);
      }
      worksheet_set_column(ws, 0, 1, 30, nullptr);
    }
  }
  if (sheets.empty()) {
    workbook_close(wb);
    fs::remove(tmp, ec);
    throw Error("no sheet could be written: " + fmt::join(impl_->errors, "; "));
  }
  lxw_error err = workbook_close(wb);
  if (err != LXW_NO_ERROR) {
    fs::remove(tmp, ec);
    throw Error(std::string("workbook write failed: ") + lxw_strerror(err));
  }
  return publish_unique(tmp, dir, path.stem().string(), path.extension().string());
}

fs::path save_dataframe_to_excel(const Table& t, const fs::path& path, const std::string& sheet_name,
                                 const json& metadata) {
  WorkbookBuilder b;
  b.add_table_sheet(sheet_name, t, metadata);
  return b.save(path);
}

// ---------------------------------------------------------------------------

namespace {
std::optional<double> cell_number(const json& v) {
  if (v.is_number()) return v.get<double>();
  if (v.is_string()) return fmt::parse_number(v.get<std::string>());
  return std::nullopt;
}

// One column's filter: numeric bounds, or an exact text ({"sector": "반도체"}).
struct ColumnFilter {
  std::string column;
  std::optional<double> min, max;
  std::optional<std::string> equals;
};

// {"per_max": 15} and {"per": {"min": 0, "max": 15}} -> bounds on "per".
std::vector<ColumnFilter> parse_filters(const json& filters) {
  std::vector<ColumnFilter> out;
  if (!filters.is_object()) return out;
  auto slot = [&](const std::string& col) -> ColumnFilter& {
    for (auto& e : out)
      if (e.column == col) return e;
    out.push_back({col, std::nullopt, std::nullopt, std::nullopt});
    return out.back();
  };
  for (auto it = filters.begin(); it != filters.end(); ++it) {
    const std::string& k = it.key();
    if (it->is_object()) {
      auto& s = slot(k);
      if (it->contains("min")) s.min = cell_number((*it)["min"]);
      if (it->contains("max")) s.max = cell_number((*it)["max"]);
    } else if (fmt::ends_with(k, "_max")) {
      slot(k.substr(0, k.size() - 4)).max = cell_number(*it);
    } else if (fmt::ends_with(k, "_min")) {
      slot(k.substr(0, k.size() - 4)).min = cell_number(*it);
    } else if (it->is_number()) {
      // An exact value: min = max.
      auto& s = slot(k);
      s.min = s.max = it->get<double>();
    } else if (it->is_string()) {
      slot(k).equals = it->get<std::string>();
    }
  }
  return out;
}
}  // namespace

std::vector<std::string> unknown_filter_columns(const Table& t, const json& filters) {
  std::vector<std::string> out;
  for (const auto& f : parse_filters(filters))
    if (!t.has_column(f.column)) out.push_back(f.column);
  return out;
}

Table apply_filters(const Table& t, const json& filters) {
  Table out;
  out.columns = t.columns;
  auto fs_ = parse_filters(filters);
  for (const auto& row : t.rows) {
    bool keep = true;
    for (const auto& f : fs_) {
      if (!t.has_column(f.column)) continue;
      auto it = row.find(f.column);
      if (f.equals) {
        bool same = it != row.end() && (it->is_string() ? it->get<std::string>() == *f.equals
                                                        : it->is_number() && cell_number(*f.equals) &&
                                                              it->get<double>() == *cell_number(*f.equals));
        if (!same) keep = false;
        continue;
      }
      std::optional<double> v = it == row.end() ? std::nullopt : cell_number(*it);
      if (!v) {  // a missing value never passes a bound
        if (f.min || f.max) keep = false;
        continue;
      }
      if (f.min && *v < *f.min) keep = false;
      if (f.max && *v > *f.max) keep = false;
    }
    if (keep) out.rows.push_back(row);
  }
  return out;
}

const std::map<std::string, std::string>& COLUMN_LABELS_KO() {
  static const std::map<std::string, std::string> m = {
      {"code", "코드"}, {"name", "종목명"}, {"current_price", "현재가"}, {"volume", "거래량"},
      {"high", "기간최고가"}, {"high_date", "최고가일"}, {"low", "기간최저가"}, {"low_date", "최저가일"},
      {"drawdown_pct", "고점대비(%)"}, {"recovery_pct", "저점대비(%)"}, {"period_return_pct", "기간수익률(%)"},
      {"avg_volume", "평균거래량"}, {"bars_count", "집계봉수"}, {"per", "PER"}, {"per_basis", "PER기준"},
      {"pbr", "PBR"}, {"eps", "EPS(원)"}, {"bps", "BPS(원)"}, {"roe", "ROE(%)"}, {"배당수익률", "배당수익률(%)"},
      {"시가총액", "시가총액(억원)"}, {"fin_period", "재무기준"}, {"inst_net", "기관순매수(주)"},
      {"foreign_net", "외국인순매수(주)"}, {"sector", "업종"}, {"ma_phase", "이평국면"}, {"rsi", "RSI"},
      {"vol_ratio", "거래량배율"}, {"date", "날짜"}, {"open", "시가"}, {"close", "종가"},
      {"datetime", "일시"}, {"institutional", "기관순매매(주)"}, {"foreign", "외국인순매매(주)"},
      {"individual", "개인순매매(주)"}, {"bar_state", "봉상태"},
  };
  return m;
}

std::string label_of(const std::string& column) {
  const auto& m = COLUMN_LABELS_KO();
  auto it = m.find(column);
  return it == m.end() ? column : it->second;
}

}  // namespace tessaro::excel
