// search / search_stock: a name or code to listed Korean stocks.
#include <string>
#include <vector>

#include "core/format.hpp"
#include "tools/kr/common/kr_common.hpp"
#include "server/registry.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::tools {
namespace {

const char* kSearchDoc =
    "종목검색 — 종목명 또는 종목코드로 한국 주식 종목을 조회합니다.\n\n"
    "사용자가 종목명만 말했다면 다른 도구보다 반드시 이 도구를 먼저 호출해 6자리 종목코드를 확인하세요. "
    "종목코드는 상장폐지·합병·재부여로 바뀌므로 절대 추측하지 마세요. search_stock은 같은 도구의 다른 이름입니다.\n\n"
    "Args:\n    query: 종목명 또는 종목코드 (예: \"삼성전자\", \"005930\", \"알멕\")";

const char* kSearchStockDoc =
    "종목코드조회 (stock lookup) — 한국 주식 종목명/코드 조회 전용 도구.\n\n"
    "stock, ticker, 종목 코드를 찾을 때 쓰는 search와 같은 도구입니다. 종목코드는 추측하지 말고 이 결과를 쓰세요. "
    "여러 종목이 검색되면 어느 종목인지 사용자에게 물어보세요.\n\n"
    "Args:\n    query: 종목명 또는 종목코드 (예: \"삼성전자\", \"005930\", \"알멕\")";

std::string search_impl(const std::string& query) {
  json results = naver::search_stock(query);
  if (!results.is_array() || results.empty())
    return "'" + query + "'에 대한 검색 결과가 없습니다. 6자리 코드를 직접 알려 주세요.";
  std::vector<std::string> lines = {"검색 결과 (" + std::to_string(results.size()) + "건):"};
  for (const auto& r : results) {
    std::string line = "  - " + r.value("name", std::string()) + " (" + r.value("code", std::string()) + ")";
    const json& m = r.value("market", json());
    if (m.is_string() && !m.get<std::string>().empty()) line += " [" + m.get<std::string>() + "]";
    lines.push_back(line);
  }
  return fmt::join(lines, server::NEWLINE);
}

std::string search(const server::Args& a) { return search_impl(a.str("query")); }

const server::ToolRegistration reg_search{"search", kSearchDoc, search};
const server::ToolRegistration reg_search_stock{"search_stock", kSearchStockDoc, search};

}  // namespace
}  // namespace tessaro::tools
