// get_flow: daily net buying of institutions, foreigners and individuals of one stock.
#include <algorithm>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "market_time/bar_state.hpp"
#include "market_time/day_times.hpp"
#include "tools/kr/common/kr_common.hpp"
#include "server/arg_rules.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "server/wrappers.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::tools {
namespace {

const char* kDoc =
    "투자자수급 — 투자자별 매매동향 (개인/기관/외국인 순매매 주식 수)을 가져옵니다.\n\n"
    "2개 이상 종목의 수급이 필요하면 이 도구를 반복 호출하지 말고 get_flow_batch를 한 번 호출하세요.\n\n"
    "Args:\n"
    "    code: 6자리 종목코드 (예: \"005930\")\n"
    "    days: 조회할 일수 (기본 20일)";

std::string num(const json& v) {
  if (v.is_number_integer() || v.is_number_unsigned()) return fmt::thousands(v.get<long long>());
  if (v.is_number_float()) return fmt::thousands(fmt::round_ll(v.get<double>()));
  return "-";
}

long long as_ll(const json& v) {
  if (v.is_number_integer()) return v.get<long long>();
  if (v.is_number()) return fmt::round_ll(v.get<double>());
  return 0;
}

std::string get_flow(const server::Args& a) {
  const std::string code = a.str("code");
  long long days_ll = std::min<long long>(a.integer("days"), 60);
  int days = static_cast<int>(std::max<long long>(days_ll, -1000000));

  json rows;
  try {
    rows = naver::get_investor_flow(code, days);
  } catch (const Cancelled&) {
    throw;
  } catch (const HTTPError& e) {
    return server::code_failed_reply(code, "투자자별 매매동향", lookup_reason(e), "bars");
  } catch (const NaverParseError& e) {
    server::KrMetaArgs ma;
    ma.kind = "bars";
    ma.code = code;
    ma.data_completeness = rmeta::NONE;
    ma.warnings = {std::string("수급 표 파싱 실패(구조 변경 의심): ") + e.what()};
    std::string text = std::string("수급 표를 읽지 못했어요 (데이터가 없는 것이 아니라 **파싱 실패**예요).\n원인: ") + e.what() +
                       "\n네이버 증권 페이지 구조가 바뀌었을 수 있어요. " + server::PARSE_FAIL_NEXT;
    return server::append_result_meta(text, server::kr_meta(ma));
  }
  if (!rows.is_array() || rows.empty()) {
    server::KrMetaArgs ma;
    ma.kind = "bars";
    ma.code = code;
    ma.data_completeness = rmeta::NONE;
    ma.warnings = {"수급 데이터를 가져오지 못했습니다."};
    return server::append_result_meta("종목코드 " + code + "의 수급 데이터를 가져올 수 없습니다.", server::kr_meta(ma));
  }

  std::vector<std::string> lines;
  lines.push_back("종목 " + code + " 투자자별 매매동향 (" + std::to_string(rows.size()) + "일):");
  lines.push_back("");
  lines.push_back("날짜 | [주] 기관 순매매 | [주] 외국인 순매매 | [주] 개인 순매매 | [참고] 종가 | [참고] 거래량");
  lines.push_back("---|---|---|---|---|---");
  long long sum_inst = 0, sum_frgn = 0, sum_indi = 0;
  bool indi_complete = true;
  for (const auto& r : rows) {
    const json& indi = r.value("individual", json());
    sum_inst += as_ll(r.value("institutional", json()));
    sum_frgn += as_ll(r.value("foreign", json()));
    if (indi.is_number()) sum_indi += as_ll(indi);
    else indi_complete = false;
    lines.push_back(r.value("date", std::string()) + " | " + num(r.value("institutional", json())) + " | " +
                    num(r.value("foreign", json())) + " | " + num(indi) + " | " + num(r.value("close", json())) + " | " +
                    num(r.value("volume", json())));
  }
  lines.push_back("");
  lines.push_back("합계 | " + fmt::thousands(sum_inst) + " | " + fmt::thousands(sum_frgn) + " | " +
                  (indi_complete ? fmt::thousands(sum_indi) : std::string("-")) + " | - | -");
  lines.push_back("");
  lines.push_back(
      "※ 기관·외국인·개인을 더해도 0이 되지 않습니다 — 기타법인·내외국인이 빠져 있습니다. 나머지를 역산해 '개인이 다 "
      "받았다'로 읽지 마세요.");
  lines.push_back(
      "※ [주] 필드는 이 도구의 주 목적 (수급 분석). [참고] 종가·거래량은 편의 제공이며, **가격 차트·시계열 분석 소스로 "
      "사용 금지**. 차트는 get_chart, 현재가는 get_price 사용.");
  // The trend feed does not say which venues its volume counts (the mobile
  // site's price rows count KRX + NXT; the chart feeds count KRX only).
  lines.push_back(
      "※ [참고] 거래량은 네이버 투자자 동향 값으로, 넥스트레이드(NXT) 체결 포함 여부가 확인되지 않았습니다. KRX 거래량은 "
      "get_chart로 보세요.");

  // The trend API was down and the stock's main page stood in.
  const bool via_main_page = naver::flow_from_main_page(rows);
  std::string stand_in;
  if (via_main_page) {
    stand_in = "투자자 동향 API 조회 실패 — 네이버 종목 메인 페이지의 최근 " + std::to_string(rows.size()) +
               "일 표로 대신 보여드립니다 (개인 순매매·거래량은 그 표에 없어 '-')";
    lines.push_back("⚠️ " + stand_in);
  }

  json info = nullptr;
  if (mt::bars_can_include_after_market(naver::get_krx_sosok(code))) info = mt::extended_bar_info(rows, "day");
  if (info.is_object() && !info.empty())
    lines.push_back("※ [참고] 종가: " + info.value("since", std::string()) + "부터는 20:00 애프터마켓 마지막 체결가입니다 (이 표에서 " +
                    std::to_string(info.value("bars", 0)) +
                    "개 행). 정규장 종가(15:30)가 아닙니다. 순매매 수량에 애프터마켓 체결이 들어가는지는 네이버가 밝히지 않습니다." +
                    mt::today_bar_note(info));

  server::KrMetaArgs ma;
  ma.kind = "bars";
  ma.code = code;
  ma.data_as_of = rows[0].value("date", json());
  ma.data_completeness =
      !via_main_page && static_cast<long long>(rows.size()) >= std::min<long long>(days_ll, 5) ? rmeta::COMPLETE
                                                                                             : rmeta::PARTIAL;
  if (via_main_page) ma.warnings = {stand_in};
  ma.price_session = mt::price_session_for_bars(info);
  ma.extra = (info.is_object() && !info.empty()) ? json{{"session_mix", info}} : json();
  return server::append_result_meta(fmt::join(lines, server::NEWLINE), server::kr_meta(ma));
}

const server::ToolRegistration reg{"get_flow", kDoc, get_flow};
const server::ArgumentShape shape_get_flow_code{"get_flow", "code", server::Shape::KrCode};

}  // namespace
}  // namespace tessaro::tools
