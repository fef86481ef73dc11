// Paged lists and the pre-open ranking reply, shared by the list, ranking and
// flow-screen tools.
#include <algorithm>
#include <cmath>

#include "core/result_meta.hpp"
#include "tools/kr/common/kr_common.hpp"
#include "server/meta.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::server {

namespace {
long long whole(const json& v, long long dflt) {
  if (v.is_number_integer()) return v.get<long long>();
  if (v.is_number()) {
    double d = v.get<double>();
    if (std::isnan(d)) return dflt;
    return (long long)std::trunc(d);
  }
  return dflt;
}
}  // namespace

ListWindow list_window(const json& count, const json& page) {
  long long req = whole(count, 30);
  long long c = std::clamp<long long>(req, 1, LIST_PAGE_MAX);
  long long p = std::max<long long>(whole(page, 1), 1);
  if (p > 1000000) p = 1000000;
  return ListWindow{int(c), int(p), req};
}

std::optional<std::string> preopen_ranking_reply(const std::string& label, const std::string& market,
                                                 const std::string& kind) {
  std::string status;
  try {
    status = naver::get_market_list_status(market);
  } catch (...) {
    return std::nullopt;
  }
  if (status != "PREOPEN") return std::nullopt;
  std::string text = "장 시작 전이라 " + label + " 순위가 아직 없습니다 (" + market +
                     ").\n네이버는 개장 전에 거래량·거래대금·등락률 순위를 비워 두고, 정규장이 열리면 다시 채웁니다. "
                     "이 시간에는 전 거래일 순위도 받을 수 없습니다.";
  KrMetaArgs m;
  m.kind = kind;
  m.data_completeness = rmeta::NONE;
  m.warnings = {"장 시작 전(네이버 PREOPEN)이라 순위가 비어 있음 — 해당 종목 없음·거래 없음으로 해석하지 말 것"};
  return append_result_meta(text, kr_meta(m));
}

std::string theme_lookup_failed(const std::string& name, const std::string& reason) {
  KrMetaArgs m;
  m.kind = "snapshot";
  m.data_completeness = rmeta::NONE;
  m.warnings = {"테마 목록 조회 실패 — '" + name + "' 테마가 없는 것이 아니라 확인하지 못했습니다: " + reason};
  return append_result_meta("⚠️ '" + name + "' 테마를 확인하지 못했습니다 (조회 실패: " + reason +
                                "). 테마가 없는 것이 아니라 목록을 읽지 못한 것이니 잠시 후 다시 시도해 주세요.",
                            kr_meta(m));
}

const Choices KR_MARKETS{{"ALL", "KOSPI", "KOSDAQ"}, Fold::Upper};

std::optional<std::string> market_refusal(const std::string& given) {
  if (KR_MARKETS.accepts(given)) return std::nullopt;
  return "⚠️ market 은 KOSPI, KOSDAQ, ALL 중 하나여야 합니다: " + given;
}

// What the ranking source reads as trade value, and the names of volume.
const Choices VOLUME_SORT_KEYS{
    {"trade_value", "tradevalue", "value", "amount", "pricetop", "거래대금", "volume", "quant", "quanttop", "거래량"},
    Fold::Lower};

std::optional<std::string> volume_sort_refusal(const std::string& given) {
  if (VOLUME_SORT_KEYS.accepts(given)) return std::nullopt;
  return "⚠️ sort_by 는 \"trade_value\"(거래대금) 또는 \"volume\"(거래량) 이어야 합니다: " + given;
}

}  // namespace tessaro::server
