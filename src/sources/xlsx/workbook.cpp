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
#include "market_time/clock.hpp"

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

std::string generate_filename(const std::string& prefix) {
  mt::Civil c = mt::to_kst(mt::now());
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d_%02d%02d%02d", c.year, c.month, c.day, c.hour, c.minute, c.second);
  return prefix + "_" + buf + ".xlsx";
}

std::optional<std::string> safe_filename(const std::string& raw) {
  std::string name = fmt::trim(raw);
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos) return std::nullopt;
  if (name.find("..") != std::string::npos || name[0] == '.' || name[0] == '~') return std::nullopt;
  for (unsigned char c : name)
    if (c < 0x20 || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|')
      return std::nullopt;
  if (fmt::cp_len(name) > 150) return std::nullopt;
  if (!fmt::ends_with(fmt::lower(name), ".xlsx")) name += ".xlsx";
  return name;
}

fs::path unused_path(const std::string& filename) {
  fs::path dir = get_snapshot_dir();
  fs::path p = dir / filename;
  if (!fs::exists(p)) return p;
  std::string stem = p.stem().string(), ext = p.extension().string();
  for (int i = 2; i < 10000; ++i) {
    fs::path q = dir / (stem + "_" + std::to_string(i) + ext);
    if (!fs::exists(q)) return q;
  }
  throw Error("no free file name for " + filename);
}

// ---------------------------------------------------------------------------

namespace {

bool is_amount_column(const std::string& c) {
  static const std::set<std::string> s = {"current_price", "volume", "avg_volume", "high", "low", "open", "close",
                                          "eps", "bps", "bars_count", "inst_net", "foreign_net", "시가총액",
                                          "individual", "foreign", "institutional"};
  return s.count(c) > 0;
}
bool is_pct_column(const std::string& c) {
  return fmt::ends_with(c, "_pct") || fmt::ends_with(label_of(c), "(%)");
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

// Excel limits sheet names to 31 characters and forbids []:*?/\ .
std::string clean_sheet_name(const std::string& name) {
  std::string out;
  for (char c : name) out.push_back(std::string("[]:*?/\\").find(c) == std::string::npos ? c : '_');
  return fmt::cp_cut(out, 31);
}

}  // namespace

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
  // Sheets in insertion order: kind 0 table, 1 text, 2 detail.
  std::vector<std::pair<int, size_t>> order;
  std::vector<TableSheet> tables;
  std::vector<TextSheet> texts;
  std::vector<DetailSheet> details;
  std::vector<Link> links;
  json metadata = json::object();
};

WorkbookBuilder::WorkbookBuilder() : impl_(new Impl) {}
WorkbookBuilder::~WorkbookBuilder() { delete impl_; }

void WorkbookBuilder::add_table_sheet(const std::string& name, const Table& t, const json& metadata) {
  impl_->order.push_back({0, impl_->tables.size()});
  impl_->tables.push_back({clean_sheet_name(name), t, metadata});
  if (metadata.is_object())
    for (auto it = metadata.begin(); it != metadata.end(); ++it) impl_->metadata[it.key()] = it.value();
}
void WorkbookBuilder::add_text_sheet(const std::string& name, const std::vector<std::string>& lines) {
  impl_->order.push_back({1, impl_->texts.size()});
  impl_->texts.push_back({clean_sheet_name(name), lines});
}
void WorkbookBuilder::add_detail_sheet(const DetailSheet& d) {
  impl_->order.push_back({2, impl_->details.size()});
  DetailSheet c = d;
  c.sheet_name = clean_sheet_name(d.sheet_name);
  impl_->details.push_back(std::move(c));
}
void WorkbookBuilder::link_column(const std::string& sheet, const std::string& column,
                                  const std::map<std::string, std::string>& targets) {
  impl_->links.push_back({clean_sheet_name(sheet), column, targets});
}

namespace {

struct Formats {
  lxw_format *header, *amount, *decimal, *pct, *text, *link, *title, *bold;
};

Formats make_formats(lxw_workbook* wb) {
  Formats f{};
  f.header = workbook_add_format(wb);
  format_set_bold(f.header);
  format_set_bg_color(f.header, 0xDDEBF7);
  format_set_border(f.header, LXW_BORDER_THIN);
  f.amount = workbook_add_format(wb);
  format_set_num_format(f.amount, "#,##0");
  f.decimal = workbook_add_format(wb);
  format_set_num_format(f.decimal, "#,##0.00");
  f.pct = workbook_add_format(wb);
  format_set_num_format(f.pct, "+0.00;-0.00;0.00");
  f.text = workbook_add_format(wb);
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
    worksheet_write_string(ws, lxw_row_t(r), lxw_col_t(c), v.get<std::string>().c_str(), nullptr);
  } else {
    worksheet_write_string(ws, lxw_row_t(r), lxw_col_t(c), dump_compact(v).c_str(), nullptr);
  }
}

}  // namespace

void WorkbookBuilder::save(const fs::path& path) {
  static std::atomic<unsigned> seq{0};
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  fs::path tmp = path.parent_path() /
                 (".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(seq.fetch_add(1)) + ".xlsx");
  lxw_workbook* wb = workbook_new(tmp.c_str());
  if (!wb) throw Error("cannot create workbook " + path.filename().string());
  Formats f = make_formats(wb);
  std::map<std::string, lxw_worksheet*> sheets;

  for (auto [kind, idx] : impl_->order) {
    if (kind == 0) {
      const auto& ts = impl_->tables[idx];
      lxw_worksheet* ws = workbook_add_worksheet(wb, ts.name.c_str());
      sheets[ts.name] = ws;
      const Table& t = ts.table;
      for (size_t c = 0; c < t.columns.size(); ++c) {
        worksheet_write_string(ws, 0, lxw_col_t(c), t.header(t.columns[c]).c_str(), f.header);
        worksheet_set_column(ws, lxw_col_t(c), lxw_col_t(c), 14, nullptr);
      }
      for (size_t r = 0; r < t.rows.size(); ++r) {
        for (size_t c = 0; c < t.columns.size(); ++c) {
          const std::string& col = t.columns[c];
          auto it = t.rows[r].find(col);
          if (it == t.rows[r].end()) continue;
          lxw_format* nf = is_amount_column(col) ? f.amount : is_pct_column(col) ? f.pct : f.decimal;
          if (it->is_number_integer()) nf = is_pct_column(col) ? f.pct : f.amount;
          write_cell(ws, int(r) + 1, int(c), *it, nf);
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
      lxw_worksheet* ws = workbook_add_worksheet(wb, tx.name.c_str());
      sheets[tx.name] = ws;
      worksheet_set_column(ws, 0, 0, 110, nullptr);
      for (size_t i = 0; i < tx.lines.size(); ++i)
        worksheet_write_string(ws, lxw_row_t(i), 0, tx.lines[i].c_str(),
                               fmt::starts_with(tx.lines[i], "■") ? f.bold : nullptr);
    } else {
      const auto& d = impl_->details[idx];
      lxw_worksheet* ws = workbook_add_worksheet(wb, d.sheet_name.c_str());
      sheets[d.sheet_name] = ws;
      worksheet_set_column(ws, 0, 8, 14, nullptr);
      int row = 0;
      worksheet_write_string(ws, lxw_row_t(row), 0, d.heading.c_str(), f.title);
      row += 2;
      for (const auto& sec : d.sections) {
        worksheet_write_string(ws, lxw_row_t(row++), 0, ("■ " + sec.title).c_str(), f.bold);
        for (size_t c = 0; c < sec.cols.size(); ++c)
          worksheet_write_string(ws, lxw_row_t(row), lxw_col_t(c), sec.cols[c].c_str(), f.header);
        if (!sec.cols.empty()) ++row;
        for (size_t r = 0; r < sec.rows.size(); ++r) {
          const auto& cells = sec.rows[r];
          for (size_t c = 0; c < cells.size(); ++c) write_cell(ws, row, int(c), cells[c], f.decimal);
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
        worksheet_write_string(ws, lxw_row_t(data_row), 0, chd.title.c_str(), f.bold);
        for (size_t s = 0; s < chd.series.size(); ++s)
          worksheet_write_string(ws, lxw_row_t(data_row), lxw_col_t(s + 1), chd.series[s].first.c_str(), f.header);
        ++data_row;
        for (size_t i = 0; i < chd.categories.size(); ++i, ++data_row) {
          worksheet_write_string(ws, lxw_row_t(data_row), 0, chd.categories[i].c_str(), nullptr);
          for (size_t s = 0; s < chd.series.size(); ++s) {
            const auto& v = chd.series[s].second;
            if (i < v.size() && v[i]) worksheet_write_number(ws, lxw_row_t(data_row), lxw_col_t(s + 1), *v[i], nullptr);
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
  // Links from table cells to detail sheets.
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
        if (target == l.targets.end()) continue;
        std::string url = "internal:" + sheet_ref(target->second) + "!A1";
        worksheet_write_url_opt(sit->second, lxw_row_t(r + 1), lxw_col_t(c), url.c_str(), f.link,
                                v->get<std::string>().c_str(), nullptr);
      }
    }
  }
  if (!impl_->metadata.empty()) {
    lxw_worksheet* ws = workbook_add_worksheet(wb, "_metadata");
    worksheet_write_string(ws, 0, 0, "key", f.header);
    worksheet_write_string(ws, 0, 1, "value", f.header);
    int r = 1;
    worksheet_write_string(ws, lxw_row_t(r), 0, "saved_at", nullptr);
    worksheet_write_string(ws, lxw_row_t(r++), 1, mt::iso_kst(mt::now()).c_str(), nullptr);
    for (auto it = impl_->metadata.begin(); it != impl_->metadata.end(); ++it, ++r) {
      worksheet_write_string(ws, lxw_row_t(r), 0, it.key().c_str(), nullptr);
      write_cell(ws, r, 1, it.value(), nullptr);
    }
    worksheet_set_column(ws, 0, 1, 30, nullptr);
  }
  lxw_error err = workbook_close(wb);
  if (err != LXW_NO_ERROR) {
    fs::remove(tmp, ec);
    throw Error(std::string("workbook write failed: ") + lxw_strerror(err));
  }
  fs::rename(tmp, path, ec);
  if (ec) {
    fs::remove(tmp, ec);
    throw Error("cannot move workbook into place: " + path.filename().string());
  }
}

void save_dataframe_to_excel(const Table& t, const fs::path& path, const std::string& sheet_name, const json& metadata) {
  WorkbookBuilder b;
  b.add_table_sheet(sheet_name, t, metadata);
  b.save(path);
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
      {"individual", "개인순매매(주)"},
  };
  return m;
}

std::string label_of(const std::string& column) {
  const auto& m = COLUMN_LABELS_KO();
  auto it = m.find(column);
  return it == m.end() ? column : it->second;
}

}  // namespace tessaro::excel
