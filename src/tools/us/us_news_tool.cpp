// Registration of get_us_news.
#include "core/call_context.hpp"
#include "core/format.hpp"
#include "core/lookup.hpp"
#include "server/arg_rules.hpp"
#include "server/registry.hpp"
#include "sources/yahoo/us.hpp"
#include "tools/us/us_news.hpp"

namespace tessaro::tools::us {

namespace {

const char* kNewsDoc =
    "미국 종목 뉴스 — 최근 헤드라인과 기사별 관련도(direct/comparison/supply_chain/list_or_etf/mention/unrelated).\n\n"
    "관련도는 제목·요약에 회사명·티커가 어디 나오는지로 매긴 순서 척도입니다. direct_only=True 면 이 종목이 주제인 "
    "기사만 남기고 나머지는 유형별 개수로 알려 줍니다.\n\n"
    "Args:\n"
    "    ticker: 미국 티커 (예: \"AAPL\")\n"
    "    limit: 보여 줄 기사 수 (기본 10, 최대 50)\n"
    "    direct_only: True 면 이 종목이 주제인 기사만 (기본 False)";

std::string get_us_news(const server::Args& a) {
  std::string t = fmt::trim(a.str("ticker"));
  json news = tessaro::us::get_news(t, int(a.integer("limit")));
  json articles = news.is_object() ? news.value("news", json::array()) : json::array();
  if (!articles.is_array() || articles.empty()) return "티커 '" + t + "'의 뉴스를 가져올 수 없습니다.";
  json raw;
  try {
    raw = tessaro::us::get_info_raw(t);
  } catch (const Cancelled&) {
    throw;
  } catch (const std::exception& e) {
    // Without a name the ticker alone is matched; the reply says why.
    raw = json{{"_lookup_failed", lookup_reason(e)}};
  }
  return render_us_news(t, news, raw, a.boolean("direct_only"));
}

const server::ToolRegistration reg_news{"get_us_news", kNewsDoc, get_us_news};
const server::ArgumentShape shape_get_us_news_ticker{"get_us_news", "ticker", server::Shape::UsTicker};

}  // namespace
}  // namespace tessaro::tools::us
