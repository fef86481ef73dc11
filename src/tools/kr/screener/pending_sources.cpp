// Stand-ins for Korean source operations that the market-list code delivers.
// They are weak: the real definitions replace them at link time. Until then each
// raises, so a caller counts the source as failed instead of reading empty data.
#include "core/errors.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::naver {

__attribute__((weak)) json get_management_codes() { throw Error("관리종목 목록을 받을 수 없습니다"); }
__attribute__((weak)) json get_alert_codes() { throw Error("시장경보 목록을 받을 수 없습니다"); }

}  // namespace tessaro::naver
