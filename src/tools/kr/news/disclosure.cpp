// get_disclosure: the recent exchange disclosures of one stock as the portal
// lists them — a recent sample, never the full record.
#include <regex>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "tools/kr/news/news_collect.hpp"

namespace tessaro::tools {
namespace {

const char* kDoc =
    "공시목록 — 종목의 최근 거래소 공시 목록 (네이버 증권 게재, KOSCOM 제공).\n\n"
    "날짜·제목·출처를 최근 순서대로 보여 줍니다. 공시 0건은 재료가 없다는 뜻이 아닙니다 — 보도자료와 기사는 "
    "공시가 아닙니다. 목록은 최근 표본이며, 기간·유형별 전체 공시는 Dorvik `list_disclosures`를 쓰세요.\n\n"
    "Args:\n"
    "    code: 6자리 종목코드";

constexpr int kDisclosureCount = 20;

// Every row carries the three keys; a value the page did not show prints "-".
std::string required_text(const json& row, const char* key) {
  if (!row.is_object() || !row.contains(key)) throw KeyError(std::string("공시 항목에 ") + key + " 가 없습니다");
  const json& v = row[key];
  if (v.is_null()) return "-";
  std::string s = v.is_string() ? v.get<std::string>() : v.dump();
  return s.empty() ? "-" : s;
}

std::string get_disclosure(const server::Args& a) {
  std::string code = a.str("code");
  static const std::regex re("^[A-Za-z0-9]{6}$");
  if (!std::regex_match(code, re)) return "⚠️ 종목코드 형식이 올바르지 않습니다: " + code;

  json items = news::sources().disclosures(code, kDisclosureCount);
  if (!items.is_array() || items.empty())
    return "종목코드 " + code +
           "의 최근 거래소 공시가 네이버 목록에 없습니다 (조회는 성공, 0건). 공시가 없다는 것이지 재료가 없다는 뜻은 "
           "아닙니다 — 보도자료·기사는 공시가 아닙니다.";

  std::vector<std::string> L;
  L.push_back("## 공시 목록 (" + code + ", 최근 " + std::to_string(items.size()) + "건)");
  L.push_back("");
  L.push_back("날짜 | 제목 | 출처");
  L.push_back("---|---|---");
  for (const auto& it : items)
    L.push_back(required_text(it, "date") + " | " + required_text(it, "title") + " | " + required_text(it, "source"));
  L.push_back("");
  L.push_back("※ 공시 본문은 DART(https://dart.fss.or.kr)에서 확인 가능합니다.");
  L.push_back(
      "※ 위 목록은 네이버가 보여주는 **최근 표본**이며 전체 공시가 아니라 일부입니다. 기간·유형으로 빠짐없이 보려면 "
      "Dorvik `list_disclosures` 를 쓰세요.");
  L.push_back("※ 제목은 원문에서 잘려 있을 수 있습니다. 판단 전에 본문을 확인하세요.");

  server::KrMetaArgs m;
  m.kind = "filing";
  m.code = code;
  m.data_completeness = rmeta::PARTIAL;
  m.coverage = {{"returned_count", items.size()},
                {"total_count", nullptr},
                {"truncated", nullptr},
                {"coverage_complete", false},
                {"reason", "source_limit"}};
  m.extra = {{"title_may_be_truncated", true}};
  return server::append_result_meta(fmt::join(L, "\n"), server::kr_meta(m));
}

const server::ToolRegistration reg{"get_disclosure", kDoc, get_disclosure};

}  // namespace
}  // namespace tessaro::tools
