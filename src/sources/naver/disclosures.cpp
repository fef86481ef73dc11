// Exchange disclosures of one stock as the portal lists them, newest first.
// Primary: the mobile JSON list m.stock.naver.com/api/stock/<code>/disclosure
// ([{itemCode, disclosureId, title, datetime, author}]). Its time of day is the
// portal's posting batch (every item sits at 06:50-06:53, no zone), not the
// filing time, so rows carry the date only.
// Fallback: the finance.naver.com item notice page (EUC-KR HTML), row shape: <tr><td class="title"><a href="/item/news_notice_read.naver?no=...">title</a></td>
// <td class="info">KOSCOM</td><td class="date">2026.12.04 17:12</td></tr>
#include <exception>
#include <regex>
#include <set>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/text.hpp"
#include "sources/contracts.hpp"
#include "sources/http.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::naver {

// The disclosure list of m.stock (also checked by `tessaro-mcp doctor`).
static const contracts::Contract& kDisclosureShape = contracts::declare(
    {"naver.disclosure", "네이버 공시 목록", false,
     {{"[]", contracts::Kind::Object},
      {"[].title", contracts::Kind::String},
      {"[].datetime", contracts::Kind::String},
      {"[].disclosureId", contracts::Kind::Any, false}}});

namespace {

constexpr int MAX_PAGES = 10;

bool valid_code(const std::string& code) {
  if (code.size() != 6) return false;
  for (unsigned char c : code)
    if (!std::isalnum(c)) return false;
  return true;
}

std::string cell_text(const std::string& html) { return text::squash_spaces(text::strip_html(html)); }

// Rows of one page; nullopt when the page has no disclosure table at all.
std::optional<json> parse_page(const std::string& html) {
  static const std::regex table_re(R"(<table[^>]*class="[^"]*type[56][^"]*"[^>]*>)", std::regex::icase);
  static const std::regex row_re(R"(<tr[^>]*>([\s\S]*?)</tr>)", std::regex::icase);
  static const std::regex title_re(R"(<td[^>]*class="[^"]*title[^"]*"[^>]*>([\s\S]*?)</td>)", std::regex::icase);
  static const std::regex info_re(R"(<td[^>]*class="[^"]*info[^"]*"[^>]*>([\s\S]*?)</td>)", std::regex::icase);
  static const std::regex date_re(R"(<td[^>]*class="[^"]*date[^"]*"[^>]*>([\s\S]*?)</td>)", std::regex::icase);
  static const std::regex href_re(R"re(<a[^>]*href="([^"]*)")re", std::regex::icase);
  static const std::regex day_re(R"((\d{4})[.\-/](\d{2})[.\-/](\d{2})(?:\s+(\d{2}:\d{2}))?)");

  std::smatch tm;
  if (!std::regex_search(html, tm, table_re)) return std::nullopt;
  std::string body = html.substr(tm.position(0));
  auto end = body.find("</table>");
  if (end != std::string::npos) body = body.substr(0, end);

  json rows = json::array();
  for (auto it = std::sregex_iterator(body.begin(), body.end(), row_re); it != std::sregex_iterator(); ++it) {
    std::string tr = (*it)[1].str();
    std::smatch t, d;
    if (!std::regex_search(tr, t, title_re) || !std::regex_search(tr, d, date_re)) continue;
    std::string title = cell_text(t[1].str());
    std::string dtext = cell_text(d[1].str());
    std::smatch dm;
    if (title.empty() || !std::regex_search(dtext, dm, day_re)) continue;
    json row = json::object();
    row["date"] = dm[1].str() + "-" + dm[2].str() + "-" + dm[3].str();
    row["title"] = title;
    std::smatch s;
    row["source"] = std::regex_search(tr, s, info_re) ? json(cell_text(s[1].str())) : json(nullptr);
    std::smatch h;
    std::string cell = t[1].str();
    if (std::regex_search(cell, h, href_re)) {
      std::string href = text::decode_entities(h[1].str());
      row["url"] = (href.rfind("http", 0) == 0) ? href : "https://finance.naver.com" + href;
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

constexpr int kJsonPageSize = 20;

// One item of the JSON list; nullopt when it has no title or no readable date.
std::optional<json> row_from_item(const json& it) {
  if (!it.is_object()) return std::nullopt;
  std::string title = it.value("title", json()).is_string() ? fmt::trim(it["title"].get<std::string>()) : "";
  std::string dt = it.value("datetime", json()).is_string() ? it["datetime"].get<std::string>() : "";
  static const std::regex day_re(R"(^(\d{4})-(\d{2})-(\d{2}))");
  std::smatch dm;
  if (title.empty() || !std::regex_search(dt, dm, day_re)) return std::nullopt;
  json row = json::object();
  row["date"] = dm[1].str() + "-" + dm[2].str() + "-" + dm[3].str();
  row["title"] = title;
  const json& author = it.value("author", json());
  row["source"] = author.is_string() && !fmt::trim(author.get<std::string>()).empty() ? json(fmt::trim(author.get<std::string>()))
                                                                                      : json(nullptr);
  const json& id = it.value("disclosureId", json());
  if (id.is_number_integer() || (id.is_string() && !id.get<std::string>().empty()))
    row["disclosure_id"] = id.is_string() ? id.get<std::string>() : std::to_string(id.get<long long>());
  return row;
}

json list_from_json(const std::string& code, int count) {
  json out = json::array();
  std::set<std::string> seen;
  for (int page = 1; page <= MAX_PAGES && (int)out.size() < count; ++page) {
    json j = fetch_json("m.stock.naver.com",
                        http::Target("/api/stock/{}/disclosure?pageSize={}&page={}", code, kJsonPageSize, page),
                        false, "https://m.stock.naver.com/");
    if (!j.is_array())
      throw NaverParseError(contracts::problem(kDisclosureShape, j).value_or("공시 목록 JSON이 배열이 아닙니다") + ": " + code);
    int added = 0, unread = 0;
    for (const auto& it : j) {
      auto row = row_from_item(it);
      if (!row) {
        ++unread;
        continue;
      }
      std::string key = row->value("disclosure_id", "") + "|" + (*row)["date"].get<std::string>() + "|" +
                        (*row)["title"].get<std::string>();
      if (!seen.insert(key).second) continue;
      out.push_back(std::move(*row));
      ++added;
      if ((int)out.size() >= count) break;
    }
    // Items there but none readable: the shape changed, not "no disclosures".
    if (page == 1 && !j.empty() && unread == (int)j.size())
      throw NaverParseError(contracts::problem(kDisclosureShape, j).value_or("공시 목록 JSON 항목에서 제목·날짜를 읽지 못했습니다") +
                            ": " + code);
    if (added == 0 || (int)j.size() < kJsonPageSize) break;
  }
  return out;
}

json list_from_html(const std::string& code, int count) {
  json out = json::array();
  std::set<std::string> seen;
  for (int page = 1; page <= MAX_PAGES && (int)out.size() < count; ++page) {
    std::string html = fetch_text("finance.naver.com",
                                  http::Target("/item/news_notice.naver?code={}&page={}", code, page), true,
                                  "https://finance.naver.com/item/main.naver?code=" + code);
    auto rows = parse_page(html);
    if (!rows) {
      // A first page without the list is a changed or retired page, not "no disclosures".
      if (page == 1) throw NaverParseError("공시 목록 표를 찾지 못했습니다: " + code);
      break;
    }
    int added = 0;
    for (auto& r : *rows) {
      std::string key = r.value("url", "") + "|" + r["date"].get<std::string>() + "|" + r["title"].get<std::string>();
      if (!seen.insert(key).second) continue;
      out.push_back(std::move(r));
      ++added;
      if ((int)out.size() >= count) break;
    }
    if (added == 0) break;   // past the last page the site repeats it or shows nothing
  }
  return out;
}

}  // namespace

json get_disclosure_list(const std::string& code, int count) {
  if (!valid_code(code) || count <= 0) return json::array();
  std::exception_ptr primary;
  try {
    return list_from_json(code, count);
  } catch (const std::exception&) {
    primary = std::current_exception();
  }
  // The notice page is only a fallback; when it fails too, the JSON list's own
  // failure is the one to report.
  try {
    return list_from_html(code, count);
  } catch (const std::exception&) {
    std::rethrow_exception(primary);
  }
}

}  // namespace tessaro::naver
