// News tagged to a stock and news search by name (stock.naver.com JSON, UTF-8).
// Each article becomes one record: title, url, press, datetime (KST,
// "YYYY-MM-DD HH:MM" or "YYYY-MM-DD"), time_basis, snippet, source.
#include <chrono>
#include <regex>
#include <string>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/text.hpp"
#include "core/clock.hpp"
#include "sources/contracts.hpp"
#include "sources/http.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::naver {

// News list shapes (also checked by `tessaro-mcp doctor`).
static const contracts::Contract& kStockNewsShape = contracts::declare(
    {"naver.stock_news", "네이버 종목 뉴스", false,
     {{"clusters", contracts::Kind::Array}, {"clusters[].items", contracts::Kind::Array}, {"clusters[].items[].title", contracts::Kind::String, false}}});
static const contracts::Contract& kNewsSearchShape = contracts::declare(
    {"naver.news_search", "네이버 뉴스 검색", false, {{"items", contracts::Kind::Array}, {"items[].title", contracts::Kind::String, false}}});

namespace {

constexpr int kSnippetMax = 160;   // code points kept of an article's body
constexpr int kStockNewsPageMax = 50;
constexpr int kSearchPageMax = 30;

std::string text_of(const json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number_integer()) return std::to_string(v.get<long long>());
  return "";
}

bool all_digits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// "202603112349" -> "2026-03-11 23:49"; "20260311" -> "2026-03-11".
std::string compact_to_text(const std::string& s) {
  std::string day = s.substr(0, 4) + "-" + s.substr(4, 2) + "-" + s.substr(6, 2);
  if (s.size() >= 12) return day + " " + s.substr(8, 2) + ":" + s.substr(10, 2);
  return day;
}

struct TimeFields {
  std::string datetime;
  std::string basis;       // "" = unknown
  std::string displayed;   // the site's relative display, when that is all there is
};

// A relative display ("3시간 전", "15분 전", "2일 전", "방금 전") subtracted from
// the fetch time: only approximate.
std::optional<std::string> from_relative(const std::string& s) {
  static const std::regex re(R"(^\s*(\d+)\s*(분|시간|일)\s*전\s*$)");
  std::smatch m;
  long long minutes = 0;
  if (std::regex_match(s, m, re)) {
    long long n = std::stoll(m[1].str());
    std::string unit = m[2].str();
    minutes = unit == "분" ? n : unit == "시간" ? n * 60 : n * 1440;
  } else if (fmt::trim(s) != "방금 전" && fmt::trim(s) != "방금전") {
    return std::nullopt;
  }
  mt::Civil c = mt::to_kst(mt::now() - std::chrono::minutes(minutes));
  return c.date_str() + " " + c.hm();
}

TimeFields parse_time(const json& item) {
  TimeFields t;
  std::string raw = fmt::trim(text_of(item.contains("datetime") ? item["datetime"] : json()));
  if (raw.empty()) return t;
  if (all_digits(raw) && (raw.size() == 12 || raw.size() == 14)) {
    t.datetime = compact_to_text(raw);
    t.basis = "article";
    return t;
  }
  if (all_digits(raw) && raw.size() == 8) {
    t.datetime = compact_to_text(raw);
    t.basis = "date_only";
    return t;
  }
  // ISO 8601 with an offset: convert to KST wall time.
  static const std::regex iso(
      R"(^(\d{4})-(\d{2})-(\d{2})[T ](\d{2}):(\d{2})(?::(\d{2})(?:\.\d+)?)?\s*(Z|[+-]\d{2}:?\d{2})?$)");
  std::smatch m;
  if (std::regex_match(raw, m, iso)) {
    if (!m[7].matched) {   // no offset: the site's own (Korean) wall time
      t.datetime = m[1].str() + "-" + m[2].str() + "-" + m[3].str() + " " + m[4].str() + ":" + m[5].str();
      t.basis = "article";
      return t;
    }
    auto day = mt::parse_day(m[1].str() + "-" + m[2].str() + "-" + m[3].str());
    if (day) {
      int off_min = 0;
      std::string off = m[7].str();
      if (off != "Z") {
        std::string d = fmt::replace_all(off.substr(1), ":", "");
        off_min = std::stoi(d.substr(0, 2)) * 60 + std::stoi(d.substr(2, 2));
        if (off[0] == '-') off_min = -off_min;
      }
      mt::Instant utc = mt::Instant(*day) + std::chrono::hours(std::stoi(m[4].str())) +
                        std::chrono::minutes(std::stoi(m[5].str()) - off_min);
      mt::Civil c = mt::to_kst(utc);
      t.datetime = c.date_str() + " " + c.hm();
      t.basis = "article";
      return t;
    }
  }
  static const std::regex dotted(R"(^(\d{4})[.\-](\d{2})[.\-](\d{2})\.?(?:\s+(\d{2}):(\d{2}))?$)");
  if (std::regex_match(raw, m, dotted)) {
    t.datetime = m[1].str() + "-" + m[2].str() + "-" + m[3].str();
    if (m[4].matched) {
      t.datetime += " " + m[4].str() + ":" + m[5].str();
      t.basis = "article";
    } else {
      t.basis = "date_only";
    }
    return t;
  }
  if (auto rel = from_relative(raw)) {
    t.datetime = *rel;
    t.basis = "relative_display";
    t.displayed = raw;
    return t;
  }
  return t;   // unreadable time: unknown, never guessed
}

std::string clean_text(const json& v) { return text::squash_spaces(text::strip_html(text_of(v))); }

json article_record(const json& item, const std::string& source) {
  json a = json::object();
  a["title"] = clean_text(item.value("title", json()));
  std::string office = text_of(item.value("officeId", json()));
  std::string article = text_of(item.value("articleId", json()));
  std::string link;
  if (!office.empty() && !article.empty()) {
    link = "https://n.news.naver.com/article/" + office + "/" + article;
  } else {
    for (const char* k : {"linkUrl", "url", "link"}) {
      std::string u = text_of(item.value(k, json()));
      if (fmt::starts_with(u, "http")) {
        link = u;
        break;
      }
    }
  }
  a["url"] = link;
  std::string press = clean_text(item.value("officeName", json()));
  if (!press.empty()) a["press"] = press;
  TimeFields t = parse_time(item);
  a["datetime"] = t.datetime;
  if (!t.basis.empty()) a["time_basis"] = t.basis;
  if (!t.displayed.empty()) a["displayed_time"] = t.displayed;
  std::string body = clean_text(item.value("body", json()));
  if (!body.empty()) a["snippet"] = fmt::cp_truncate(body, kSnippetMax);
  a["source"] = source;
  return a;
}

int clamp_page(int count, int max) { return count < 1 ? 1 : count > max ? max : count; }

}  // namespace

json get_stock_news(const std::string& code, int count) {
  int size = clamp_page(count, kStockNewsPageMax);
  json j = fetch_json("stock.naver.com", http::Target("/api/domestic/detail/news?itemCode={}&page=1&pageSize={}", code, size));
  if (!j.is_object() || !j.contains("clusters"))
    throw NaverParseError(contracts::problem(kStockNewsShape, j).value_or("종목 뉴스 응답에 clusters 가 없습니다") + ": " + code);
  json out = json::array();
  if (j["clusters"].is_null()) return out;
  if (!j["clusters"].is_array()) throw NaverParseError("종목 뉴스 clusters 형식이 다릅니다: " + code);
  // A cluster groups copies of one story; its first item stands for it.
  for (const auto& cl : j["clusters"]) {
    if (!cl.is_object() || !cl.contains("items") || !cl["items"].is_array()) continue;
    for (const auto& it : cl["items"]) {
      if (!it.is_object()) continue;
      out.push_back(article_record(it, "stock_tag"));
      break;
    }
    if ((int)out.size() >= size) break;
  }
  return out;
}

json search_news(const std::string& query, int count) {
  json out = json::array();
  if (fmt::trim(query).empty()) return out;
  int size = clamp_page(count, kSearchPageMax);
  json j = fetch_json("stock.naver.com", http::Target("/api/domestic/news/search?query={}&page=1&pageSize={}", query, size));
  if (!j.is_object()) throw NaverParseError("뉴스 검색 응답 형식이 다릅니다");
  if (j.contains("status") && j["status"].is_object() && j["status"].contains("isSuccess") &&
      j["status"]["isSuccess"].is_boolean() && !j["status"]["isSuccess"].get<bool>()) {
    std::string msg = text_of(j["status"].value("message", json()));
    throw NaverParseError("뉴스 검색이 실패로 응답했습니다" + (msg.empty() ? std::string() : ": " + msg));
  }
  if (!j.contains("items"))
    throw NaverParseError(contracts::problem(kNewsSearchShape, j).value_or("뉴스 검색 응답에 items 가 없습니다"));
  if (j["items"].is_null()) return out;
  if (!j["items"].is_array()) throw NaverParseError("뉴스 검색 items 형식이 다릅니다");
  for (const auto& it : j["items"]) {
    if (!it.is_object()) continue;
    out.push_back(article_record(it, "name_search"));
    if ((int)out.size() >= size) break;
  }
  return out;
}

}  // namespace tessaro::naver
