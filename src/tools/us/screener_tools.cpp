// Registration of get_us_screener, get_us_sector and get_us_etf_info.
#include "core/format.hpp"
#include "server/arg_rules.hpp"
#include "server/registry.hpp"
#include "sources/yahoo/us.hpp"
#include "tools/us/screener.hpp"

namespace tessaro::tools::us {

namespace {

const char* kScreenerDoc =
    "미국 스크리너 — 소스의 사전 정의 스크린 결과를 표로 보여 줍니다.\n\n"
    "preset: day_gainers, day_losers, most_actives, most_shorted_stocks, aggressive_small_caps, "
    "growth_technology_stocks, undervalued_growth_stocks, undervalued_large_caps, small_cap_gainers, "
    "conservative_foreign_funds.\n"
    "각 행에는 유형(common_stock/warrant/right/unit/adr/etf/unknown)이 붙습니다. common_stock_only=True 면 "
    "보통주만 남기고(unknown 도 제외), 분류할 수 없는 행은 unknown 으로 남습니다.\n"
    "count: 보여 줄 종목 수 (기본 20)\n"
    "common_stock_only: True 면 보통주만 (기본 False)";

const char* kSectorDoc =
    "미국 섹터 개요 — 종목 수·시가총액·시장 비중과 대표 기업.\n\n"
    "sector_key: technology, healthcare, financial-services, consumer-cyclical, consumer-defensive, "
    "communication-services, industrials, energy, basic-materials, utilities, real-estate.\n"
    "top_n: 보여 줄 대표 기업 수 (기본 20).";

const char* kEtfDoc =
    "미국 ETF 정보 — 카테고리·보수율·운용자산, 자산 배분, 섹터 비중, 상위 보유 종목.\n\n"
    "ticker: 미국 ETF 티커 (예: \"SPY\", \"QQQ\")";

const char* kPresets =
    "day_gainers, day_losers, most_actives, most_shorted_stocks, aggressive_small_caps, growth_technology_stocks, "
    "undervalued_growth_stocks, undervalued_large_caps, small_cap_gainers, conservative_foreign_funds";

std::string get_us_screener(const server::Args& a) {
  std::string preset = a.str("preset");
  // An empty name is a wrong argument, not a screen that matched nothing.
  if (fmt::trim(preset).empty()) return "⚠️ preset 이 비어 있습니다. 사용 가능: " + std::string(kPresets) + ".";
  bool only = a.boolean("common_stock_only");
  return render_us_screener(preset, tessaro::us::screen(preset, int(a.integer("count"))), only);
}

std::string get_us_sector(const server::Args& a) {
  std::string key = a.str("sector_key");
  return render_us_sector(key, tessaro::us::get_sector(key), int(a.integer("top_n")));
}

std::string get_us_etf_info(const server::Args& a) {
  std::string t = a.str("ticker");
  return render_us_etf_info(t, tessaro::us::get_etf_info(t));
}

const server::ToolRegistration reg_screener{"get_us_screener", kScreenerDoc, get_us_screener};
const server::ToolRegistration reg_sector{"get_us_sector", kSectorDoc, get_us_sector};
const server::ToolRegistration reg_etf{"get_us_etf_info", kEtfDoc, get_us_etf_info};
const server::ArgumentShape shape_get_us_etf_info_ticker{"get_us_etf_info", "ticker", server::Shape::UsTicker};

}  // namespace
}  // namespace tessaro::tools::us
