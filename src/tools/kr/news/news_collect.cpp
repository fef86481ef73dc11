// Korean news collection: both article sources at once, first copy wins,
// newest first; and the article line format shared by the news tools.
#include "tools/kr/news/news_collect.hpp"

#include <algorithm>
#include <exception>
#include <mutex>
#include <regex>
#include <set>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/parallel.hpp"
#include "tools/kr/common/kr_common.hpp"
#include "sources/market_data/daily_bars.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::tools::news {

namespace {
std::mutex g_mu;
std::optional<KrSources> g_override;

std::string str_field(const json& item, const char* key) {
  if (!item.is_object() || !item.contains(key)) return "";
  const json& v = item[key];
  if (v.is_string()) return v.get<std::string>();
  if (v.is_null()) return "";
  return v.dump();
}

// Drops ASCII white space, NBSP (U+00A0) and the ideographic space (U+3000).
std::string strip_spaces(const std::string& s) {
  std::string o;
  o.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = (unsigned char)s[i];
    if (c == ' ' || (c >= '\t' && c <= '\r')) continue;
    if (c == 0xC2 && i + 1 < s.size() && (unsigned char)s[i + 1] == 0xA0) {
      ++i;
      continue;
    }
    if (c == 0xE3 && i + 2 < s.size() && (unsigned char)s[i + 1] == 0x80 && (unsigned char)s[i + 2] == 0x80) {
      i += 2;
      continue;
    }
    o += s[i];
  }
  return o;
}

std::string error_name(const std::exception_ptr& ep) {
  try {
    std::rethrow_exception(ep);
  } catch (const std::exception& e) {
    return exception_class_name(e);
  } catch (...) {
    return "Exception";
  }
}
}  // namespace

KrSources default_sources() {
  KrSources s;
  s.current_price = [](const std::string& c) { return naver::get_current_price(c); };
  s.ohlcv = [](const std::string& c, const std::string& tf, int n) { return bars_cache::get_ohlcv(c, tf, n); };
  s.disclosures = [](const std::string& c, int n) { return naver::get_disclosure_list(c, n); };
  s.reports = [](const std::string& c, int n) { return naver::get_reports(c, n); };
  s.stock_news = [](const std::string& c, int n) { return naver::get_stock_news(c, n); };
  s.search_news = [](const std::string& q, int n) { return naver::search_news(q, n); };
  return s;
}

KrSources sources() {
  std::lock_guard<std::mutex> lk(g_mu);
  if (g_override) return *g_override;
  return default_sources();
}

void set_sources_for_tests(std::optional<KrSources> s) {
  std::lock_guard<std::mutex> lk(g_mu);
  g_override = std::move(s);
}

const std::map<std::string, std::string> NEWS_SOURCE_LABEL = {
    {"stock_tag", "종목태그"},
    {"name_search", "이름검색"},
};

const char* const NEWS_FOOT =
    "※ 종목태그=네이버가 종목을 붙인 기사(시각 정확, 당일 기사는 늦게 붙음). 이름검색=종목명 뉴스 검색(당일 기사 빠름, "
    "시각은 '약' 근사, 같은 이름의 다른 대상 기사가 섞일 수 있음).";
const char* const NEWS_STAGE_FOOT =
    "※ 기사 제목은 회사 발표 단계(평가품·품질검증·양산·정식 수주)를 구분하지 않습니다. 판단 전에 본문을 확인하세요.";
const char* const BAD_CODE_TEXT =
    "종목코드는 6자리 영숫자여야 합니다. 종목명이라면 먼저 search 도구로 코드를 확정하세요.";

bool valid_code(const std::string& code) {
  static const std::regex re(server::CODE_RE);
  return std::regex_match(code, re);
}

std::string source_label(const std::string& key) {
  auto it = NEWS_SOURCE_LABEL.find(key);
  return it == NEWS_SOURCE_LABEL.end() ? key : it->second;
}

std::string news_dedup_key(const json& item) { return fmt::cp_cut(strip_spaces(str_field(item, "title")), 24); }

NewsCollection collect_kr_news(const std::string& code, const std::optional<std::string>& name, int limit) {
  const int page = std::max(limit, 10);
  const bool with_name = name && !name->empty();
  KrSources src = sources();
  std::vector<std::string> keys = {"stock_tag"};
  if (with_name) keys.push_back("name_search");
  std::vector<json> results(keys.size());
  auto errors = parallel_for(keys.size(), keys.size(), [&](size_t i) {
    results[i] = keys[i] == "stock_tag" ? src.stock_news(code, page) : src.search_news(*name, page);
  });

  NewsCollection out;
  json kept = json::array();
  // One key only: the title without white space, first 24 characters. Titles
  // that differ in punctuation or share an address are different articles
  // here ("3.5% 상승" is not "35% 상승").
  std::set<std::string> seen;
  for (size_t i = 0; i < keys.size(); ++i) {
    if (errors[i]) {
      out.status[keys[i]] = "failed:" + error_name(errors[i]);
      continue;
    }
    const json& rows = results[i];
    if (!rows.is_array()) {
      out.status[keys[i]] = "failed:NaverParseError";
      continue;
    }
    out.status[keys[i]] = "ok:" + std::to_string(rows.size());
    for (const auto& r : rows) {
      if (!r.is_object()) continue;
      std::string k = news_dedup_key(r);
      if (k.empty()) continue;
      if (!seen.insert(k).second) continue;
      kept.push_back(r);
    }
  }
  if (!with_name) out.status["name_search"] = "skipped:no_name";

  std::vector<json> v(kept.begin(), kept.end());
  std::stable_sort(v.begin(), v.end(),
                   [](const json& a, const json& b) { return str_field(a, "datetime") > str_field(b, "datetime"); });
  for (auto& r : v) out.items.push_back(std::move(r));
  return out;
}

std::string news_time_label(const json& item) {
  std::string dt = str_field(item, "datetime");
  std::string basis = item.is_object() && item.contains("time_basis") && item["time_basis"].is_string()
                          ? item["time_basis"].get<std::string>()
                          : "unknown";
  if (basis == "article" && !dt.empty()) return dt;
  if (basis == "relative_display" && !dt.empty())
    return "약 " + dt + " (네이버 표시 '" + str_field(item, "displayed_time") + "')";
  if (basis == "date_only") return dt.empty() ? "날짜 미상" : dt + " (날짜만)";
  return "시각 미상";
}

std::vector<std::string> render_news_lines(const json& items, const std::optional<std::string>& name) {
  std::vector<std::string> lines;
  if (!items.is_array()) return lines;
  for (const auto& r : items) {
    std::string title = str_field(r, "title");
    if (title.empty()) title = "-";
    std::string link = str_field(r, "url");
    std::string head = link.empty() ? title : "[" + title + "](" + link + ")";
    std::string source = str_field(r, "source");
    std::string src = source.empty() ? "-" : source_label(source);
    std::string mention;
    if (name && !name->empty() && source == "name_search")
      mention = title.find(*name) != std::string::npos ? " · 제목 언급" : " · 본문 언급";
    std::string press = str_field(r, "press");
    if (press.empty()) press = "-";
    lines.push_back("- " + news_time_label(r) + " · " + press + " · " + head + " · " + src + mention);
    std::string snippet = str_field(r, "snippet");
    if (!snippet.empty()) lines.push_back("  > " + snippet);
  }
  return lines;
}

}  // namespace tessaro::tools::news
