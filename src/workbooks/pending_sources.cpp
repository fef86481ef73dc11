// Stand-ins for Korean source operations the workbook tools read but other parts
// of the source deliver. They are weak: the real definitions replace them at link
// time. Until then each raises, so a scan reports the stocks as not collected and
// a detail sheet leaves that part out, instead of writing empty cells as data.
#include "core/errors.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::naver {

__attribute__((weak)) json get_stock_sector(const std::string&) { throw Error("업종 조회를 할 수 없습니다"); }
__attribute__((weak)) json scan_stocks_to_snapshot(const std::vector<std::string>&, int, bool) {
  throw Error("스냅샷 수집을 할 수 없습니다");
}
__attribute__((weak)) json get_disclosure_list(const std::string&, int) { throw Error("공시 목록을 받을 수 없습니다"); }

}  // namespace tessaro::naver
