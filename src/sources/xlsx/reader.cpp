// Reads our own sheet layout back from .xlsx files, including files that a
// spreadsheet program has re-saved (shared strings, inline strings, sparse rows).
#include <zip.h>

#include <map>
#include <memory>
#include <pugixml.hpp>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "sources/xlsx/workbook.hpp"

namespace fs = std::filesystem;

namespace tessaro::excel {

namespace {

struct Zip {
  zip_t* z = nullptr;
  explicit Zip(const fs::path& p) {
    int err = 0;
    z = zip_open(p.c_str(), ZIP_RDONLY, &err);
  }
  ~Zip() {
    if (z) zip_close(z);
  }
  std::optional<std::string> read(const std::string& name) const {
    zip_stat_t st;
    if (zip_stat(z, name.c_str(), 0, &st) != 0) return std::nullopt;
    zip_file_t* f = zip_fopen(z, name.c_str(), 0);
    if (!f) return std::nullopt;
    std::string out(size_t(st.size), '\0');
    zip_int64_t n = zip_fread(f, out.data(), st.size);
    zip_fclose(f);
    if (n < 0) return std::nullopt;
    out.resize(size_t(n));
    return out;
  }
};

pugi::xml_document parse_xml(const std::string& text, const std::string& what) {
  pugi::xml_document doc;
  if (!doc.load_buffer(text.data(), text.size())) throw ValueError("broken workbook part: " + what);
  return doc;
}

// Sheet name -> part path inside the archive.
std::vector<std::pair<std::string, std::string>> sheet_parts(const Zip& zip) {
  auto wb = zip.read("xl/workbook.xml");
  if (!wb) throw ValueError("not an xlsx workbook (no xl/workbook.xml)");
  std::map<std::string, std::string> rel_target;
  if (auto rels = zip.read("xl/_rels/workbook.xml.rels")) {
    auto doc = parse_xml(*rels, "workbook rels");
    for (auto r : doc.document_element().children()) {
      std::string target = r.attribute("Target").as_string();
      if (fmt::starts_with(target, "/")) target = target.substr(1);
      else target = "xl/" + target;
      rel_target[r.attribute("Id").as_string()] = target;
    }
  }
  auto doc = parse_xml(*wb, "workbook");
  std::vector<std::pair<std::string, std::string>> out;
  for (auto s : doc.document_element().child("sheets").children()) {
    std::string rid;
    for (auto a : s.attributes())
      if (fmt::ends_with(a.name(), ":id")) rid = a.as_string();
    auto it = rel_target.find(rid);
    if (it != rel_target.end()) out.push_back({s.attribute("name").as_string(), it->second});
  }
  return out;
}

std::string node_text(pugi::xml_node n) {
  // <si><t>..</t></si> or rich text <si><r><t>..</t></r>...</si>
  std::string out;
  for (auto c : n.children()) {
    std::string nm = c.name();
    if (nm == "t") out += c.text().as_string();
    else if (nm == "r") out += c.child("t").text().as_string();
  }
  return out;
}

int column_index(const std::string& ref) {
  int col = 0;
  for (char c : ref) {
    if (c < 'A' || c > 'Z') break;
    col = col * 26 + (c - 'A' + 1);
  }
  return col - 1;
}

std::map<std::string, std::string> label_to_key() {
  std::map<std::string, std::string> m;
  for (const auto& [k, v] : COLUMN_LABELS_KO()) m[v] = k;
  // Bar sheets head their high and low columns as a day's own.
  m.emplace("고가", "high");
  m.emplace("저가", "low");
  return m;
}

}  // namespace

std::vector<std::string> sheet_names(const fs::path& path) {
  if (!fs::exists(path)) throw KeyError("file not found: " + path.filename().string());
  Zip zip(path);
  if (!zip.z) throw ValueError("not an xlsx workbook: " + path.filename().string());
  std::vector<std::string> out;
  for (auto& [name, part] : sheet_parts(zip)) out.push_back(name);
  return out;
}

Table load_excel(const fs::path& path, const std::string& sheet_name) {
  Zip zip(path);
  if (!zip.z) throw ValueError("not an xlsx workbook: " + path.filename().string());
  std::string part;
  for (auto& [name, p] : sheet_parts(zip))
    if (name == sheet_name) part = p;
  if (part.empty()) throw KeyError("Worksheet named '" + sheet_name + "' not found");
  std::vector<std::string> shared;
  if (auto ss = zip.read("xl/sharedStrings.xml")) {
    auto doc = parse_xml(*ss, "shared strings");
    for (auto si : doc.document_element().children("si")) shared.push_back(node_text(si));
  }
  auto xml = zip.read(part);
  if (!xml) throw ValueError("missing sheet part " + part);
  auto doc = parse_xml(*xml, sheet_name);
  std::vector<std::vector<json>> grid;
  for (auto row : doc.document_element().child("sheetData").children("row")) {
    size_t r = size_t(row.attribute("r").as_int(int(grid.size()) + 1) - 1);
    if (r >= grid.size()) grid.resize(r + 1);
    int next_col = 0;
    for (auto c : row.children("c")) {
      std::string ref = c.attribute("r").as_string();
      int col = ref.empty() ? next_col : column_index(ref);
      next_col = col + 1;
      std::string t = c.attribute("t").as_string();
      json v = nullptr;
      if (t == "s") {
        size_t i = size_t(c.child("v").text().as_int(-1));
        if (i < shared.size()) v = shared[i];
      } else if (t == "inlineStr") {
        v = node_text(c.child("is"));
      } else if (t == "str") {
        v = c.child("v").text().as_string();
      } else if (t == "b") {
        v = c.child("v").text().as_int() != 0;
      } else if (c.child("v")) {
        std::string raw = c.child("v").text().as_string();
        auto n = fmt::parse_number(raw);
        if (n) {
          double d = *n;
          if (std::floor(d) == d && std::fabs(d) < 9e15) v = (long long)d;
          else v = d;
        }
      }
      auto& cells = grid[r];
      if (size_t(col) >= cells.size()) cells.resize(size_t(col) + 1);
      cells[size_t(col)] = v;
    }
  }
  Table t;
  if (grid.empty()) return t;
  auto back = label_to_key();
  for (const auto& h : grid[0]) {
    std::string name = h.is_string() ? h.get<std::string>() : h.is_null() ? "" : h.dump();
    auto it = back.find(name);
    t.columns.push_back(it == back.end() ? name : it->second);
  }
  for (size_t r = 1; r < grid.size(); ++r) {
    json row = json::object();
    bool any = false;
    for (size_t c = 0; c < t.columns.size(); ++c) {
      json v = c < grid[r].size() ? grid[r][c] : json(nullptr);
      if (!v.is_null()) any = true;
      row[t.columns[c]] = v;
    }
    if (any) t.rows.push_back(std::move(row));
  }
  return t;
}

}  // namespace tessaro::excel
