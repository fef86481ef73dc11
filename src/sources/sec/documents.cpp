// Filing folders, document text, keyword matches and clause excerpts.
#include <re2/re2.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <list>
#include <mutex>

#include "core/format.hpp"
#include "sources/sec/client.hpp"
#include "sources/sec/sec.hpp"

namespace tessaro::sec {

namespace {

std::string lower_ascii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

bool is_cont(unsigned char c) { return (c & 0xC0) == 0x80; }

// Byte offset of code point `cp`.
size_t byte_at_cp(const std::string& s, size_t cp) {
  size_t i = 0, n = 0;
  while (i < s.size() && n < cp) {
    ++i;
    while (i < s.size() && is_cont(static_cast<unsigned char>(s[i]))) ++i;
    ++n;
  }
  return i;
}

void append_utf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x110000) {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

// Removes <tag ...> ... </tag> blocks (case-insensitive), e.g. hidden inline-XBRL facts.
std::string drop_blocks(const std::string& html, const std::string& tag) {
  std::string low = lower_ascii(html);
  std::string open = "<" + tag, close = "</" + tag + ">";
  std::string out;
  size_t pos = 0;
  while (true) {
    size_t a = low.find(open, pos);
    while (a != std::string::npos) {
      char next = a + open.size() < low.size() ? low[a + open.size()] : '>';
      if (next == '>' || next == ' ' || next == '\t' || next == '\n' || next == '\r' || next == '/') break;
      a = low.find(open, a + 1);
    }
    if (a == std::string::npos) break;
    size_t b = low.find(close, a);
    out.append(html, pos, a - pos);
    if (b == std::string::npos) {
      pos = html.size();
      break;
    }
    pos = b + close.size();
  }
  out.append(html, pos, std::string::npos);
  return out;
}

bool block_tag(const std::string& name) {
  static const char* const kBlocks[] = {"p", "div", "br", "tr", "li", "h1", "h2", "h3", "h4", "h5", "h6",
                                        "table", "ul", "ol", "hr", "title", "center", "pre", "page"};
  for (const char* b : kBlocks)
    if (name == b) return true;
  return false;
}

std::string decode_entity(const std::string& e) {
  if (e.size() > 1 && e[0] == '#') {
    unsigned long cp = 0;
    try {
      cp = (e[1] == 'x' || e[1] == 'X') ? std::stoul(e.substr(2), nullptr, 16) : std::stoul(e.substr(1));
    } catch (const std::exception&) {
      return "";
    }
    if (cp == 0xA0) return " ";
    std::string out;
    append_utf8(out, cp);
    return out;
  }
  static const std::pair<const char*, const char*> kNamed[] = {
      {"amp", "&"},  {"lt", "<"},       {"gt", ">"},       {"quot", "\""},    {"apos", "'"},
      {"nbsp", " "}, {"#160", " "},     {"rsquo", "\u2019"}, {"lsquo", "\u2018"}, {"rdquo", "\u201d"},
      {"ldquo", "\u201c"}, {"mdash", "\u2014"}, {"ndash", "\u2013"}, {"bull", "\u2022"}, {"sect", "\u00a7"},
      {"copy", "\u00a9"},  {"reg", "\u00ae"},   {"trade", "\u2122"}, {"hellip", "\u2026"}};
  for (auto& [k, v] : kNamed)
    if (e == k) return v;
  return "";
}

// Whitespace runs to one space, at most one empty line in a row, lines trimmed.
std::string tidy(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  int newlines = 0;
  bool space = false;
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = s[i];
    // U+00A0 (C2 A0) is a space too.
    if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0xA0) {
      ++i;
      space = true;
      continue;
    }
    if (c == '\n') {
      ++newlines;
      space = false;
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
      space = true;
      continue;
    }
    if (!out.empty()) {
      if (newlines) out += newlines > 1 ? "\n\n" : "\n";
      else if (space) out += ' ';
    }
    newlines = 0;
    space = false;
    out += char(c);
  }
  return out;
}

std::string one_line(const std::string& s) {
  std::string out;
  bool sp = false;
  for (char c : s) {
    if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
      sp = true;
      continue;
    }
    if (sp && !out.empty()) out += ' ';
    sp = false;
    out += c;
  }
  return out;
}

// Immutable Archives documents are kept for the process (bounded).
std::string cached_text(const std::string& url, const std::function<std::string()>& load) {
  static std::mutex m;
  static std::list<std::pair<std::string, std::string>> lru;
  {
    std::lock_guard<std::mutex> lk(m);
    for (auto it = lru.begin(); it != lru.end(); ++it)
      if (it->first == url) {
        lru.splice(lru.begin(), lru, it);
        return lru.front().second;
      }
  }
  std::string text = load();
  std::lock_guard<std::mutex> lk(m);
  lru.emplace_front(url, text);
  while (lru.size() > 8) lru.pop_back();
  return text;
}

// The sentence around byte range [a, b), cut to about 300 code points.
std::string sentence_around(const std::string& text, size_t a, size_t b) {
  const size_t span = 600;   // bytes each side at most
  size_t lo = a > span ? a - span : 0;
  size_t start = lo;
  for (size_t i = a; i > lo; --i) {
    char c = text[i - 1];
    if (c == '\n' || ((c == '.' || c == ';') && i < text.size() && text[i] == ' ')) {
      start = i;
      break;
    }
  }
  size_t hi = std::min(text.size(), b + span);
  size_t end = hi;
  for (size_t i = b; i < hi; ++i) {
    char c = text[i];
    if (c == '\n' || ((c == '.' || c == ';') && (i + 1 >= text.size() || text[i + 1] == ' ' || text[i + 1] == '\n'))) {
      end = i + 1;
      break;
    }
  }
  while (start < text.size() && is_cont(static_cast<unsigned char>(text[start]))) ++start;
  std::string s = one_line(text.substr(start, end - start));
  s = fmt::trim(s);
  bool cut_front = start == lo && lo > 0;
  if (fmt::cp_len(s) > 300) return fmt::cp_cut(s, 300) + "…";
  return (cut_front ? "…" : "") + s;
}

struct Category {
  const char* name;
  const char* pattern;
};

json extract(const std::string& text, const std::vector<Category>& cats) {
  json found = json::array(), unconfirmed = json::array();
  for (const auto& c : cats) {
    RE2::Options opt;
    opt.set_case_sensitive(false);
    RE2 re(c.pattern, opt);
    int count = 0;
    json excerpts = json::array();
    size_t last_end = 0;
    re2::StringPiece whole(text);
    size_t pos = 0;
    re2::StringPiece g;
    while (pos <= text.size() && re.Match(whole, pos, text.size(), RE2::UNANCHORED, &g, 1)) {
      size_t a = size_t(g.data() - text.data()), b = a + g.size();
      ++count;
      if (excerpts.size() < 3 && (excerpts.empty() || a >= last_end)) {
        std::string ex = sentence_around(text, a, b);
        bool dup = false;
        for (auto& e : excerpts) dup = dup || e.get<std::string>() == ex;
        if (!dup && !ex.empty()) {
          excerpts.push_back(ex);
          last_end = b + 300;
        }
      }
      pos = b > a ? b : a + 1;
    }
    if (count > 0)
      found.push_back({{"category", c.name}, {"count", count}, {"excerpts", excerpts}});
    else
      unconfirmed.push_back(c.name);
  }
  return json{{"categories", found}, {"unconfirmed", unconfirmed}};
}

}  // namespace

json parse_filing_index(const json& body, const std::string& folder_url) {
  if (!body.is_object() || !body.contains("directory") || !body["directory"].is_object())
    throw SecFetchError("filing index 형식이 예상과 다릅니다");
  json docs = json::array();
  for (const auto& it : body["directory"].value("item", json::array())) {
    if (!it.is_object()) continue;
    std::string name = it.value("name", std::string());
    if (name.empty()) continue;
    json size = nullptr;
    const json& s = it.value("size", json());
    if (s.is_number()) size = s;
    else if (s.is_string()) {
      if (auto v = fmt::parse_int(s.get<std::string>())) size = *v;
    }
    docs.push_back({{"name", name},
                    {"type", it.value("type", std::string())},
                    {"size", size},
                    {"last_modified", it.value("last-modified", std::string())},
                    {"url", folder_url + http::encode(name)}});
  }
  return docs;
}

json fetch_filing_index(const std::string& cik, const std::string& accession_no) {
  if (accession_digits(accession_no).size() != 18) throw SecFetchError("accession 번호 형식이 아닙니다: " + accession_no);
  std::string folder = filing_folder_url(cik, accession_no);
  return detail::recorded("sec.filing_index", [&] {
    return parse_filing_index(detail::request_json(http::Url::given(folder + "index.json")), folder);
  });
}

std::string html_to_text(const std::string& html_in) {
  std::string html = html_in;
  for (const char* t : {"ix:header", "script", "style", "head"}) html = drop_blocks(html, t);
  std::string out;
  out.reserve(html.size() / 2);
  size_t i = 0;
  while (i < html.size()) {
    char c = html[i];
    if (c == '<') {
      if (html.compare(i, 4, "<!--") == 0) {
        size_t e = html.find("-->", i + 4);
        i = e == std::string::npos ? html.size() : e + 3;
        continue;
      }
      size_t e = html.find('>', i);
      if (e == std::string::npos) break;
      size_t n = i + 1;
      if (n < e && html[n] == '/') ++n;
      size_t ne = n;
      while (ne < e && (std::isalnum(static_cast<unsigned char>(html[ne])) || html[ne] == ':')) ++ne;
      std::string name = lower_ascii(html.substr(n, ne - n));
      out += block_tag(name) ? "\n" : (name == "td" || name == "th") ? " " : "";
      i = e + 1;
      continue;
    }
    if (c == '&') {
      size_t e = html.find(';', i);
      if (e != std::string::npos && e - i <= 10) {
        std::string d = decode_entity(html.substr(i + 1, e - i - 1));
        if (!d.empty()) {
          out += d;
          i = e + 1;
          continue;
        }
      }
    }
    out += c;
    ++i;
  }
  return tidy(out);
}

std::string fetch_filing_text(const std::string& url) {
  return detail::recorded("sec.document", [&] { return cached_text(url, [&] {
    std::string body = detail::request(http::Url::given(url), 30.0).body;
    std::string low = lower_ascii(body.substr(0, 4000));
    bool html = low.find("<html") != std::string::npos || low.find("<!doctype html") != std::string::npos ||
                low.find("<xbrl") != std::string::npos || low.find("<document>") != std::string::npos ||
                low.find("<div") != std::string::npos || low.find("<p") != std::string::npos;
    return html ? html_to_text(body) : tidy(body);
  }); });
}

std::vector<size_t> find_all_matches(const std::string& text, const std::string& keyword) {
  std::vector<size_t> out;
  std::string k = lower_ascii(fmt::trim(keyword));
  if (k.empty()) return out;
  std::string hay = lower_ascii(text);
  size_t cp = 0, scanned = 0;
  for (size_t p = hay.find(k); p != std::string::npos; p = hay.find(k, p + k.size())) {
    for (; scanned < p; ++scanned)
      if (!is_cont(static_cast<unsigned char>(hay[scanned]))) ++cp;
    out.push_back(cp);
  }
  return out;
}

std::vector<std::string> match_snippets(const std::string& text, const std::vector<size_t>& offsets,
                                        size_t keyword_len, size_t radius) {
  std::vector<std::string> out;
  size_t total = fmt::cp_len(text);
  for (size_t off : offsets) {
    size_t from = off > radius ? off - radius : 0;
    size_t to = std::min(total, off + keyword_len + radius);
    size_t a = byte_at_cp(text, from), b = byte_at_cp(text, to);
    std::string s = fmt::trim(one_line(text.substr(a, b - a)));
    out.push_back((from > 0 ? "…" : "") + s + (to < total ? "…" : ""));
  }
  return out;
}

json extract_dilution_facts(const std::string& text) {
  static const std::vector<Category> cats = {
      {"발행·등록 주식 수", R"(\b\d{1,3}(?:,\d{3})+\s+(?:shares|ordinary shares|american depositary shares)\b|\b\d+(?:\.\d+)?\s+million\s+(?:shares|ordinary shares)\b)"},
      {"워런트", R"(\bpre-funded warrants?\b|\bwarrants?\b)"},
      {"전환증권", R"(\bconvertible\s+(?:senior\s+)?(?:notes?|debentures?|preferred(?:\s+stock)?|securities)\b|\bconvert(?:ed|ible)?\s+into\b)"},
      {"행사가·전환가·공모가", R"(\bexercise price\b|\bconversion price\b|\boffering price\b|\bprice (?:of \$[\d.,]+ )?per share\b)"},
      {"공모 방식(ATM·인수·사모)", R"(\bat[- ]the[- ]market\b|\bunderwrit(?:er|ers|ing|ten)\b|\bregistered direct\b|\bpublic offering\b|\bprivate placement\b|\bequity line\b)"},
      {"기존 발행주식수", R"(\bshares\s+(?:of\s+(?:our\s+)?common stock\s+)?(?:issued and\s+)?outstanding\b|\bauthorized (?:shares|capital)\b)"},
      {"희석 언급", R"(\bdilut(?:ion|ive|ed)\b)"},
  };
  return extract(text, cats);
}

json extract_contract_facts(const std::string& text) {
  static const std::vector<Category> cats = {
      {"계약 당사자", R"(\bby and (?:between|among)\b|\bentered into an? [A-Za-z -]{0,60}agreement\b)"},
      {"계약 기간·만료·갱신", R"(\binitial term\b|\bterm of (?:the|this) agreement\b|\bexpir(?:e|es|ation)\b|\brenew(?:al|s|ed)?\b)"},
      {"해지 조건", R"(\bterminat(?:e|es|ion|ed)\b)"},
      {"금액·대가", R"(\$\s?\d[\d,]*(?:\.\d+)?(?:\s(?:million|billion))?)"},
      {"선급·마일스톤·로열티", R"(\bmilestones?\b|\bup-?front\b|\broyalt(?:y|ies)\b)"},
      {"독점·배타", R"(\bexclusiv(?:e|ity)\b)"},
      {"지배권 변경", R"(\bchange (?:of|in) control\b)"},
  };
  return extract(text, cats);
}

}  // namespace tessaro::sec
