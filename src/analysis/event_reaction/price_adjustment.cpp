#include "analysis/event_reaction/price_adjustment.hpp"

namespace tessaro::event_reaction {

json price_adjustment_meta() {
  return json{{"status", "adjusted"},
              {"source", "naver_daily_bars"},
              {"splits", "adjusted"},
              {"dividends", "not_adjusted"},
              {"note", "네이버 일봉은 액면분할·병합 등 주식 수 변동을 반영한 수정주가입니다."}};
}

}  // namespace tessaro::event_reaction
