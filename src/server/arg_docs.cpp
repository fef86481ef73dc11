#include "server/arg_docs.hpp"

#include <algorithm>
#include <regex>
#include <sstream>

namespace tessaro::server {

namespace {

size_t indent_of(const std::string& line) {
  size_t n = 0;
  while (n < line.size() && (line[n] == ' ' || line[n] == '\t')) ++n;
  return n;
}

std::string trim(const std::string& s) {
  size_t b = indent_of(s), e = s.size();
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

}  // namespace

std::map<std::string, std::string> argument_docs(const std::string& description, const std::vector<std::string>& names) {
  // "name: text", "a, b: text", "name (type): text".
  static const std::regex line_re(
      R"(^([A-Za-z_][A-Za-z0-9_]*(?:\s*,\s*[A-Za-z_][A-Za-z0-9_]*)*)\s*(?:\([^)]*\))?\s*:\s*(.+)$)");
  std::vector<std::string> lines;
  std::stringstream ss(description);
  for (std::string l; std::getline(ss, l);) lines.push_back(l);

  auto known = [&](const std::string& n) { return std::find(names.begin(), names.end(), n) != names.end(); };
  // The argument names a line opens with, when every one is an argument of the tool.
  auto names_of = [&](const std::string& text, std::string& rest) {
    std::vector<std::string> out;
    std::smatch m;
    if (!std::regex_match(text, m, line_re)) return out;
    std::stringstream list(m[1].str());
    for (std::string n; std::getline(list, n, ',');) {
      n = trim(n);
      if (!known(n)) return std::vector<std::string>{};
      out.push_back(n);
    }
    rest = trim(m[2].str());
    return out;
  };

  std::map<std::string, std::string> docs;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string text;
    auto found = names_of(trim(lines[i]), text);
    if (found.empty()) continue;
    size_t indent = indent_of(lines[i]);
    std::string ignored;
    while (i + 1 < lines.size() && !trim(lines[i + 1]).empty() && indent_of(lines[i + 1]) > indent &&
           names_of(trim(lines[i + 1]), ignored).empty())
      text += " " + trim(lines[++i]);
    for (const auto& n : found) docs.emplace(n, text);
  }
  return docs;
}

}  // namespace tessaro::server
