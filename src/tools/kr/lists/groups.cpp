// list_themes, list_sectors, get_theme_stocks, get_sector_stocks: the market's
// themes and sectors and one group's members, page by page. A page always says
// how many members the whole group has, which slice it is and how to get the
// next one: a page printed with only its own row count was once read as the
// whole sector, and the day's worst performers at the end of the list vanished.
#include <algorithm>

#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "market_time/bar_state.hpp"
#include "market_time/clock.hpp"
#include "tools/kr/common/kr_common.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::tools {
namespace {

using server::NEWLINE;

constexpr int kThemePages = 7;

std::string num(const json& v) {
  if (v.is_number()) return fmt::thousands(fmt::round_ll(v.get<double>()));
  return "-";
}
std::string str(const json& v) { return v.is_string() ? v.get<std::string>() : ""; }
// A change rate the source could not give is shown as missing, not as a blank cell.
std::string rate(const json& v) {
  std::string t = str(v);
  return t.empty() ? "-" : t;
}
long long ll(const json& v) { return v.get<long long>(); }   // required fields: a missing one fails the tool

struct PageView {
  std::optional<std::string> empty_notice;
  std::string header;
  std::vector<std::string> footer;
  json coverage;   // null when the page is the whole, complete group
};

PageView group_page_view(const json& result, const std::string& what, long long requested_count) {
  PageView v;
  const std::string label = what == "sector" ? "업종" : "테마";
  const std::string name = str(result.value(what == "sector" ? "sector_name" : "theme_name", json()));
  const json& stocks = result.value("stocks", json::array());
  long long n = stocks.is_array() ? (long long)stocks.size() : 0;
  auto get = [&](const char* k, long long d) {
    const json& x = result.value(k, json());
    return x.is_number() ? x.get<long long>() : d;
  };
  long long fetched = get("fetched_count", n);
  long long total = get("total_count", fetched);
  long long count = get("count", std::max<long long>(n, 1));
  long long page = get("page", 1);
  long long start = get("start_index", 1);
  long long end = start + n - 1;
  long long pages = count == 0 ? 1 : (fetched + count - 1) / count;
  bool complete = result.value("complete", json(true)).is_boolean() ? result.value("complete", true) : true;
  complete = complete && fetched >= total;
  bool has_next = start - 1 + count < fetched;
  bool whole = start == 1 && !has_next;
  const std::string T = fmt::thousands(total);

  if (n == 0 && fetched != 0)
    v.empty_notice = label + ": " + name + " — 전체 " + T + "개라 page=" + std::to_string(page) + "(count=" +
                     std::to_string(count) + ")에는 종목이 없습니다. 마지막 쪽은 page=" + std::to_string(pages) + " 입니다.";
  if (whole)
    v.header = label + ": " + name + " — 전체 " + T + "개 종목 (등락률 내림차순)";
  else
    v.header = label + ": " + name + " — 전체 " + T + "개 중 " + fmt::thousands(start) + "~" + fmt::thousands(end) +
               "번째 (등락률 내림차순, " + std::to_string(page) + "/" + std::to_string(pages) + "쪽)";

  if (!has_next && !whole) v.footer.push_back("※ 마지막 쪽입니다 (전체 " + T + "개).");
  if (has_next) {
    v.footer.push_back("※ 이 표는 전체 " + T + "개 중 " + fmt::thousands(start) + "~" + fmt::thousands(end) +
                       "번째입니다. 등락률 내림차순이라 **뒤쪽 쪽에 그날 덜 오르거나 많이 내린 종목**이 있습니다.");
    std::string next = "  다음 쪽: `page=" + std::to_string(page + 1) + "` (count=" + std::to_string(count) +
                       " 그대로, 전체 " + std::to_string(pages) + "쪽). ";
    if (total <= server::LIST_PAGE_MAX)
      next += "한 번에 모두 받으려면 `count=" + std::to_string(total) + "`.";
    else
      next += "count 는 최대 " + std::to_string(server::LIST_PAGE_MAX) + "이라 쪽을 나눠 받으세요.";
    v.footer.push_back(next);
  }
  if (requested_count > server::LIST_PAGE_MAX)
    v.footer.push_back("※ count 는 한 번에 최대 " + std::to_string(server::LIST_PAGE_MAX) + "입니다 (요청 " +
                       std::to_string(requested_count) + " → " + std::to_string(count) + ").");
  if (!complete)
    v.footer.push_back("⚠️ 네이버가 밝힌 " + label + " 종목 수는 " + T + "개인데 " + fmt::thousands(fetched) +
                       "개만 받았습니다. 받는 사이 등락률 순서가 바뀌었거나 응답이 중간에 끊겼을 수 있어, 이 목록에서 빠진 "
                       "종목이 있을 수 있습니다.");
  if (whole && complete) return v;
  std::string reason = has_next ? (requested_count > server::LIST_PAGE_MAX ? "server_cap" : "pagination") : "unknown";
  v.coverage = {{"requested", {{"unit", "stock"}, {"count", requested_count}, {"page", page}}},
                {"effective", {{"unit", "stock"}, {"count", count}, {"from", start}, {"to", end}}},
                {"returned_count", n},
                {"total_count", total},
                {"fetched_count", fetched},
                {"page", page},
                {"pages", pages},
                {"next_page", has_next ? json(page + 1) : json(nullptr)},
                {"truncated", has_next},
                {"coverage_complete", false},
                {"reason", reason}};
  return v;
}

std::string group_reply(const json& result, const std::string& what, const std::string& query,
                        long long requested, bool with_reason) {
  const bool sector = what == "sector";
  if (!result.is_object() || str(result.value(sector ? "sector_id" : "theme_id", json())).empty())
    return sector ? "'" + query + "' 업종을 찾을 수 없습니다. list_sectors로 전체 업종 목록을 먼저 확인해 보세요."
                  : "'" + query + "' 테마를 찾을 수 없습니다. list_themes로 전체 테마 목록을 먼저 확인해 보세요.";
  PageView v = group_page_view(result, what, requested);
  if (v.empty_notice) return *v.empty_notice;
  std::vector<std::string> lines = {v.header, ""};
  if (with_reason) {
    lines.push_back("코드 | 종목명 | 현재가 | 등락률 | 거래량 | 편입사유");
    lines.push_back("---|---|---|---|---|---");
  } else {
    lines.push_back("코드 | 종목명 | 현재가 | 등락률 | 거래량");
    lines.push_back("---|---|---|---|---");
  }
  for (const auto& s : result["stocks"]) {
    std::string row = str(s.value("code", json())) + " | " + str(s.value("name", json())) + " | " +
                      num(s.value("price", json())) + " | " + rate(s.value("change_rate", json())) + " | " +
                      num(s.value("volume", json()));
    if (with_reason) row += " | " + str(s.value("reason", json()));
    lines.push_back(row);
  }
  if (!v.footer.empty()) {
    lines.push_back("");
    for (auto& f : v.footer) lines.push_back(f);
  }
  const std::string word = sector ? "업종" : "테마";
  bool note = false;
  try {
    note = mt::after_market_values_possible(mt::build_market_clock()["krx"]);
  } catch (...) {
  }
  if (note) {
    lines.push_back("");
    lines.push_back("※ 정규장 마감 뒤 조회입니다. 네이버 " + word +
                    " 목록은 시세가 어느 세션 체결인지 표시하지 않습니다. 2026-09-14부터 16:00~20:00 애프터마켓 체결로 "
                    "현재가·등락률·거래량이 바뀌므로 이 표의 값을 정규장 종가 기준이라고 단정하지 마세요.");
  }
  server::KrMetaArgs m;
  m.kind = "snapshot";
  m.price_session = note ? json(rmeta::PRICE_SESSION_UNKNOWN) : json(nullptr);
  m.data_completeness = v.coverage.is_null() ? rmeta::COMPLETE : rmeta::PARTIAL;
  m.coverage = v.coverage;
  if (note) m.warnings = {word + " 목록 시세의 세션이 표시되지 않아 애프터마켓 반영 여부를 확인할 수 없습니다."};
  return server::append_result_meta(fmt::join(lines, NEWLINE), server::kr_meta(m));
}

std::string list_rows(const json& rows, std::vector<std::string>& lines) {
  for (const auto& r : rows)
    lines.push_back(r.at("name").get<std::string>() + " | " + r.at("change_rate").get<std::string>() + " | " +
                    std::to_string(ll(r.at("total_count"))) + " | " + std::to_string(ll(r.at("up_count"))) + "/" +
                    std::to_string(ll(r.at("flat_count"))) + "/" + std::to_string(ll(r.at("down_count"))));
  return fmt::join(lines, NEWLINE);
}

std::string list_themes(const server::Args& a) {
  int page = (int)std::clamp<long long>(a.integer("page"), 1, kThemePages);
  json rows = naver::list_themes(page);
  if (!rows.is_array() || rows.empty()) return "페이지 " + std::to_string(page) + "의 테마 목록을 가져올 수 없습니다.";
  std::vector<std::string> lines = {"테마 목록 (page " + std::to_string(page) + ", " + std::to_string(rows.size()) +
                                        "개):",
                                    "", "테마명 | 전일대비 | 종목수 | 상승/보합/하락", "---|---|---:|---"};
  list_rows(rows, lines);
  lines.push_back("");
  lines.push_back("※ 네이버가 목록에서 '최근3일 등락률'과 '주도주'를 더 이상 제공하지 않습니다. 구성 종목은 "
                  "get_theme_stocks 로 확인하세요.");
  return fmt::join(lines, NEWLINE);
}

std::string list_sectors(const server::Args&) {
  json rows = naver::list_sectors();
  if (!rows.is_array() || rows.empty()) return "업종 목록을 가져올 수 없습니다.";
  std::vector<std::string> lines = {"업종 목록 (" + std::to_string(rows.size()) + "개):", "",
                                    "업종명 | 전일대비 | 종목수 | 상승/보합/하락", "---|---|---|---"};
  return list_rows(rows, lines);
}

std::string get_theme_stocks(const server::Args& a) {
  auto w = server::list_window(a.value("count"), a.value("page"));
  std::string name = a.str("theme_name");
  bool reason = a.boolean("include_reason");
  auto r = naver::find_theme_stocks(name, w.count, reason, w.page);
  if (r.failure()) return server::theme_lookup_failed(name, r.reason);
  return group_reply(r.missing() ? json::object() : r.value, "theme", name, w.requested, reason);
}

std::string get_sector_stocks(const server::Args& a) {
  auto w = server::list_window(a.value("count"), a.value("page"));
  std::string name = a.str("sector_name");
  json r = naver::get_sector_stocks(name, w.count, w.page);
  return group_reply(r, "sector", name, w.requested, false);
}

const char* kListThemes =
    "테마목록 — 네이버 테마 목록 한 쪽(40개씩, page 1~7). 테마명, 전일대비 등락률, 종목수, 상승/보합/하락 종목 수.\n"
    "구성 종목은 get_theme_stocks 로 확인하세요.\n\npage: 쪽 번호 (1~7, 기본 1)";
const char* kListSectors =
    "업종목록 — 네이버 업종 전체 목록(약 79개). 업종명, 전일대비 등락률, 종목수, 상승/보합/하락 종목 수.\n"
    "구성 종목은 get_sector_stocks 로 확인하세요.";
const char* kThemeStocks =
    "테마종목 — 테마 구성 종목을 등락률 내림차순으로 한 쪽씩 조회. 테마명은 부분 일치로 찾습니다.\n"
    "답에는 전체 종목 수와 이 쪽의 범위, 다음 쪽 호출이 함께 나옵니다. 한 쪽만 보고 테마 전체라고 말하지 마세요.\n\n"
    "theme_name: 테마명 (예: '2차전지', '반도체')\ncount: 한 쪽의 종목 수 (기본 30, 최대 500)\n"
    "include_reason: 편입사유 열 포함 여부 (기본 True; 토큰을 아끼려면 False 권장)\npage: 쪽 번호 (기본 1)";
const char* kSectorStocks =
    "업종종목 — 업종 구성 종목을 등락률 내림차순으로 한 쪽씩 조회. 업종명은 부분 일치로 찾습니다.\n"
    "답에는 전체 종목 수와 이 쪽의 범위, 다음 쪽 호출이 함께 나옵니다. 한 쪽만 보고 업종 전체라고 말하지 마세요.\n\n"
    "sector_name: 업종명 (예: '반도체와반도체장비', '건설')\ncount: 한 쪽의 종목 수 (기본 30, 최대 500)\n"
    "page: 쪽 번호 (기본 1)";

const server::ToolRegistration r1{"list_themes", kListThemes, list_themes};
const server::ToolRegistration r2{"list_sectors", kListSectors, list_sectors};
const server::ToolRegistration r3{"get_theme_stocks", kThemeStocks, get_theme_stocks};
const server::ToolRegistration r4{"get_sector_stocks", kSectorStocks, get_sector_stocks};

}  // namespace
}  // namespace tessaro::tools
