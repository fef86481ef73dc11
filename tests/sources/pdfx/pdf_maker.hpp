#pragma once
// Builds small PDF files for tests: text pages in a standard font, or pages
// that only paint shapes (what a scanned or image-only report looks like to a
// text extractor).
#include <string>
#include <vector>

namespace tessaro::testing {

inline std::string pdf_escape(const std::string& s) {
  std::string o;
  for (char c : s) {
    if (c == '(' || c == ')' || c == '\\') o += '\\';
    o += c;
  }
  return o;
}

// One inner vector of lines per page; an empty page paints a filled rectangle only.
inline std::string make_pdf(const std::vector<std::vector<std::string>>& pages) {
  std::vector<std::string> objs;   // object bodies, numbered from 1
  size_t n = pages.size();
  // 1 catalog, 2 pages, 3 font, then per page: page object, content stream.
  std::string kids;
  for (size_t i = 0; i < n; ++i) kids += std::to_string(4 + 2 * i) + " 0 R ";
  objs.push_back("<< /Type /Catalog /Pages 2 0 R >>");
  objs.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(n) + " >>");
  objs.push_back("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>");
  for (size_t i = 0; i < n; ++i) {
    std::string content;
    if (pages[i].empty()) {
      content = "0.5 g 72 72 468 648 re f\n";
    } else {
      content = "BT /F1 10 Tf 12 TL 50 760 Td\n";
      for (const auto& line : pages[i]) content += "(" + pdf_escape(line) + ") Tj T*\n";
      content += "ET\n";
    }
    objs.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents " + std::to_string(5 + 2 * i) +
                   " 0 R /Resources << /Font << /F1 3 0 R >> >> >>");
    objs.push_back("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "endstream");
  }
  std::string out = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objs.size(); ++i) {
    offsets.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n" + objs[i] + "\nendobj\n";
  }
  size_t xref = out.size();
  out += "xref\n0 " + std::to_string(objs.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t off : offsets) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%010zu 00000 n \n", off);
    out += buf;
  }
  out += "trailer\n<< /Size " + std::to_string(objs.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  return out;
}

// `lines_per_page` numbered English sentences on each of `n_pages` pages.
inline std::string make_text_pdf(int n_pages, int lines_per_page = 40) {
  std::vector<std::vector<std::string>> pages;
  int k = 0;
  for (int p = 0; p < n_pages; ++p) {
    std::vector<std::string> lines;
    for (int i = 0; i < lines_per_page; ++i)
      lines.push_back("Line " + std::to_string(++k) + ": operating profit rose (on memory prices).");
    pages.push_back(lines);
  }
  return make_pdf(pages);
}

}  // namespace tessaro::testing
