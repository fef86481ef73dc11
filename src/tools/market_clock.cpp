// get_market_clock: the state of KRX and NYSE/NASDAQ right now.
#include "market_time/clock.hpp"
#include "server/registry.hpp"

namespace tessaro::tools {
namespace {

const char* kDoc =
    "한국장/미국장 현재 상태, 휴장 여부, 최근/다음 거래일을 한 번에 조회합니다.\n\n"
    "종목을 분석하기 전에 데이터 기준 시각을 확인할 때 쓰세요. 주말·공휴일 휴장과 KRX·NYSE/NASDAQ의 장전·정규장·"
    "애프터아워·장마감 상태를 돌려줍니다. 2026-09-14부터 KRX는 애프터마켓(16:00~20:00)을 세션으로 보여 주며, "
    "프리마켓은 아직 표시하지 않습니다. current_session·sessions·next_session은 지금 거래 중인 세션과 오늘 남은 "
    "세션을 알려 주고, is_open은 정규장만을 뜻합니다.";

std::string get_market_clock(const server::Args&) { return mt::format_market_clock(mt::build_market_clock()); }

const server::ToolRegistration reg{"get_market_clock", kDoc, get_market_clock};

}  // namespace
}  // namespace tessaro::tools
