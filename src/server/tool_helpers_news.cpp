// News relevance: where the company's name appears in an article (title,
// summary, nowhere) and whether the context makes it a side subject.
#include <regex>

#include "core/format.hpp"
#include "server/tool_helpers.hpp"

namespace tessaro::server {

namespace {

const std::regex& comparison_re() {
  static const std::regex re(R"(\b(vs\.?|versus|better buy|compared to|comparison)\b)",
                             std::regex::ECMAScript | std::regex::icase);
  return re;
}
const std::regex& supply_re() {
  static const std::regex re(R"(\b(supplier|supply chain|customer of|partner of|contract manufacturer)\b)",
                             std::regex::ECMAScript | std::regex::icase);
  return re;
}
const std::regex& list_re() {
  static const std::regex re(
      R"(\b(etf|index fund|\d+\s+(best|top)\b|(best|top)\s+\d+|stocks to (buy|watch)|our list|watchlist)\b)",
      std::regex::ECMAScript | std::regex::icase);
  return re;
}

// UTF-8 code point at s[i] (advancing i); malformed bytes count as one each.
char32_t next_cp(const std::string& s, size_t& i) {
  unsigned char c = s[i];
  size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
  if (i + len > s.size()) len = 1;
  char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
  for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += len;
  return cp;
}

// Letters and digits of any script are word characters; spaces, punctuation and
// symbols are not.
bool non_ascii_word(char32_t cp) {
  if (cp < 0xC0) return cp == 0xAA || cp == 0xB5 || cp == 0xBA;
  if (cp == 0xD7 || cp == 0xF7) return false;
  if (cp >= 0x2000 && cp <= 0x2BFF) return false;   // punctuation, symbols, arrows, box drawing
  if (cp >= 0x3000 && cp <= 0x303F) return false;   // CJK symbols and punctuation
  if (cp >= 0xFE30 && cp <= 0xFE4F) return false;
  if (cp >= 0xFF00 && cp <= 0xFF0F) return false;   // fullwidth punctuation
  if ((cp >= 0xFF1A && cp <= 0xFF20) || (cp >= 0xFF3B && cp <= 0xFF40) || (cp >= 0xFF5B && cp <= 0xFF65)) return false;
  if (cp >= 0x1F000) return false;                  // emoji and pictographs
  return true;
}

// The patterns' word boundaries are ASCII-only; on the text as it is, "삼성전자vs애플"
// would read as the word "vs". Each non-ASCII code point is turned into one ASCII
// stand-in of its class first — "_" for a letter or digit (a word character in no
// pattern), a blank otherwise — so a boundary falls only between a word and a
// non-word code point.
std::string boundary_text(const std::string& s) {
  std::string o;
  o.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    char32_t cp = next_cp(s, i);
    if (cp < 0x80) o.push_back(char(cp));
    else o.push_back(non_ascii_word(cp) ? '_' : ' ');
  }
  return o;
}

std::string field(const json& item, const char* key) {
  if (!item.is_object() || !item.contains(key)) return "";
  const json& v = item[key];
  if (v.is_string()) return v.get<std::string>();
  if (v.is_null()) return "";
  return v.dump();
}

json verdict(const char* category, int score, const char* basis) {
  json v = json::object();
  v["category"] = category;
  v["relevance_score"] = score;
  v["basis"] = basis;
  return v;
}

}  // namespace

json classify_news_relevance(const json& article, const std::vector<std::string>& names) {
  std::string hay_title = fmt::lower(field(article, "title"));
  std::string hay_sum = fmt::lower(field(article, "summary"));
  bool in_title = false, in_sum = false;
  for (const auto& n : names) {
    if (n.empty()) continue;
    std::string needle = fmt::lower(n);
    if (hay_title.find(needle) != std::string::npos) in_title = true;
    if (hay_sum.find(needle) != std::string::npos) in_sum = true;
  }
  if (!in_title && !in_sum) return verdict("unrelated", 10, "제목·요약 어디에도 종목명이 없음");
  std::string words_title = boundary_text(hay_title);
  std::string words = words_title + " " + boundary_text(hay_sum);
  if (std::regex_search(words_title, comparison_re()) || (in_title && std::regex_search(words, comparison_re())))
    return verdict("comparison", 55, "비교 기사 - 이 종목이 단독 주제가 아님");
  if (in_title && std::regex_search(words, supply_re()))
    return verdict("supply_chain", 50, "공급망 문맥 - 주체는 거래 상대일 수 있음");
  if (std::regex_search(words, list_re())) return verdict("list_or_etf", 40, "종목 나열·ETF 문맥 - 개별 재료가 아님");
  if (in_title) return verdict("direct", 90, "제목에 종목명 - 기사 주제");
  return verdict("mention", 35, "요약에만 언급 - 주변 문맥");
}

}  // namespace tessaro::server
