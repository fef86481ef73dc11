// Session labels and the compact OHLCV table shared by the quote and chart tools.
#include <cmath>
#include <string>

#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "tools/kr/common/kr_common.hpp"
#include "server/meta.hpp"
#include "sources/market_data/daily_bars.hpp"
#include "server/wrappers.hpp"

namespace tessaro::server {

std::string code_not_found_reply(const std::string& code, const std::string& kind) {
  std::string text = "종목코드 " + code +
                     "에 해당하는 종목을 찾을 수 없습니다 (잘못된 코드이거나 상장폐지된 종목일 수 있습니다). "
                     "search로 종목코드를 확인해 주세요.";
  if (kind.empty()) return text;
  KrMetaArgs ma;
  ma.kind = kind;
  ma.code = code;
  ma.data_completeness = rmeta::NONE;
  ma.warnings = {"종목코드 " + code + " 없음 — 네이버가 답했지만 이 코드의 항목이 없습니다 (조회 실패가 아님)."};
  return append_result_meta(text, kr_meta(ma));
}

std::string code_failed_reply(const std::string& code, const std::string& what, const std::string& reason,
                              const std::string& kind) {
  const bool parse = reason.find("NaverParseError") != std::string::npos;
  std::string text = "⚠️ 종목코드 " + code + "의 " + what + " 조회 실패 (" + reason + ") — " +
                     (parse ? "네이버 페이지를 읽지 못했습니다. " : "네이버 출처가 응답하지 않았습니다. ") +
                     "종목이 없다는 뜻이 아니라 지금 확인할 수 없다는 뜻입니다. 잠시 후 다시 시도해 주세요.\n" +
                     DOCTOR_HINT;
  if (kind.empty()) return text;
  KrMetaArgs ma;
  ma.kind = kind;
  ma.code = code;
  ma.data_completeness = rmeta::NONE;
  ma.warnings = {what + " 조회 실패(" + reason + ") — 없음이 아니라 모름입니다."};
  return append_result_meta(text, kr_meta(ma));
}

std::optional<mt::Day> latest_daily_day(const std::string& code, const std::string& timeframe) {
  if (timeframe != "week" && timeframe != "month") return std::nullopt;
  try {
    json rows = bars_cache::get_ohlcv(code, "day", 5);
    if (rows.is_array() && !rows.empty())
      if (auto d = rmeta::normalize_day(rows.back().value("date", json()))) return mt::parse_day(*d);
  } catch (const std::exception&) {
    // Unread: the calendar alone dates the bar.
  }
  return std::nullopt;
}

const std::map<std::string, std::string> KR_SESSION_LABEL = {
    {rmeta::PRICE_SESSION_REGULAR, "KRX 정규장"},
    {rmeta::PRICE_SESSION_AFTER_MARKET, "KRX 애프터마켓"},
    {rmeta::PRICE_SESSION_UNKNOWN, "KRX, 세션 미확인"},
};

const std::map<std::string, std::string> SESSION_SHORT = {
    {rmeta::PRICE_SESSION_REGULAR, "정규장"},
    {rmeta::PRICE_SESSION_AFTER_MARKET, "애프터마켓"},
    {rmeta::PRICE_SESSION_UNKNOWN, "미확인"},
};

}  // namespace tessaro::server
