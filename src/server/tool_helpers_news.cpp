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
  std::string hay = hay_title + " " + hay_sum;
  if (std::regex_search(hay_title, comparison_re()) || (in_title && std::regex_search(hay, comparison_re())))
    return verdict("comparison", 55, "비교 기사 - 이 종목이 단독 주제가 아님");
  if (in_title && std::regex_search(hay, supply_re()))
    return verdict("supply_chain", 50, "공급망 문맥 - 주체는 거래 상대일 수 있음");
  if (std::regex_search(hay, list_re())) return verdict("list_or_etf", 40, "종목 나열·ETF 문맥 - 개별 재료가 아님");
  if (in_title) return verdict("direct", 90, "제목에 종목명 - 기사 주제");
  return verdict("mention", 35, "요약에만 언급 - 주변 문맥");
}

}  // namespace tessaro::server
