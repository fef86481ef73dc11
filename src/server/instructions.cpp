// The server instructions: what the assistant reads before its first call. With
// some toolsets switched off, the question table, the batch table and the tool
// roles leave out what names only tools that are off; every rule stays, in order.
#include <algorithm>
#include <map>
#include <optional>
#include <mutex>
#include <sstream>
#include <vector>

#include "server/mcp.hpp"
#include "server/registry.hpp"
#include "server/toolsets.hpp"

namespace tessaro::server {

namespace {
const char* kInstructions = R"TXT(Tessaro — 한국 주식(네이버 증권)·미국 주식 데이터 도구. 종목명만 받으면 먼저 `search`로 6자리 코드를 확정한다(코드 추측 금지).

## 1. 질문 → 도구 (먼저 이 표를 본다)

| 질문 | 도구 |
|---|---|
| "오늘 왜 오르나/급등 이유/재료/특징주" | `get_move_context` — 시세·기사·공시·리포트를 시간순으로 보여 준다. "공시 0건≠재료 없음" |
| "뉴스/기사" | `get_news` |
| "현재가" | `get_price` |
| "수급" | `get_flow` |
| "차트/지표" | `get_chart` / `get_indicators` |
| "공시" | `get_disclosure` |
| "리포트" | `get_reports` |
| "재무" | `get_financial` |
| 여러 종목 | `get_multi_stocks` 또는 일괄(batch) 도구 |
| 미국 티커(AAPL 등) | `get_us_*` 도구 |

표에 없는 질문은 아래 9번의 도구별 역할을 본다. 한 질문에 여러 도구가 필요하면 서로 독립적인 호출은 한꺼번에 하고, 앞 결과가 필요한 호출만 순서대로 한다. 같은 내용을 다시 조회하기 전에 이미 받은 결과의 `data_as_of`가 충분히 최신인지 먼저 본다.

## 2. 종목코드 절대 원칙

- 사용자가 6자리 코드 대신 종목명을 말하면 반드시 `search` 또는 `search_stock`을 먼저 호출해 코드를 확정한다.
- 여러 종목이 걸리면 어느 종목인지 사용자에게 묻는다.
- 하나도 걸리지 않으면 "종목명을 찾을 수 없습니다. 6자리 코드를 알려 주세요"라고 묻는다.
- 기억에 있는 코드로 추측하지 않는다. 상장폐지·합병·코드 재배정으로 코드는 바뀔 수 있다.
- 우선주(예: 삼성전자우), 스팩, ETF·ETN은 본주와 코드가 다르다. 이름이 비슷해도 `search` 결과의 시장(KOSPI/KOSDAQ)과 이름을 사용자에게 확인한다.
- 코드에는 숫자만 있는 것이 아니다. 0088M0처럼 영문이 섞인 6자리 신형 코드도 있으므로 숫자로 바꾸거나 앞자리 0을 지우지 않는다.
- 한 번 확정한 코드는 결과 메타의 `entity.stock_code`에 다시 나오므로, 같은 대화의 다음 호출에서는 그 코드를 그대로 쓴다.

## 3. 답변 형식

- 도구가 돌려준 표와 숫자는 이미 최종 형태다. 그대로 인용하라.
- 표를 산문으로 다시 풀어 쓰지 않는다.
- `get_chart` 결과로 차트나 SVG를 손으로 그리지 않는다.
- 데이터에 없는 해석을 덧붙이지 않는다.
- 열 제목과 `※` 안내에 적힌 단위·통화·회계 기준(원, 억원, 주, %, $, 연결/별도)을 지우거나 바꾸지 않는다.
- "데이터 없음", "추정", "⚠️"는 적힌 그대로 전한다. "데이터 없음"을 0으로 바꾸지 말고, 빈칸을 짐작으로 채우지 않는다.
- `※`로 시작하는 안내는 표를 읽는 방법(단위, 기준일, 세션, 제외한 봉)을 설명한다. 표를 인용할 때 그 안내도 함께 전한다.
- `⚠️`로 시작하는 줄은 경고나 조회 실패다. "조회 실패"는 "없음"과 다르다 — 실패한 출처를 사용자에게 그대로 알리고, 없는 것처럼 말하지 않는다.
- `💡`는 다음에 할 수 있는 호출에 대한 힌트, `🔎`는 무엇을 살펴봤는지에 대한 설명이다.
- 목록이 잘린 경우(다음 페이지 호출이 적혀 있는 경우) 전체 개수와 다음 페이지 호출을 함께 알린다.

## 4. 결과 메타(RESULT_META_JSON)

대부분의 응답 끝에는 `RESULT_META_JSON_START`와 `RESULT_META_JSON_END` 사이에 결과 메타가 붙는다(JSON 응답은 `_meta` 키).

- `as_of`는 조회한 시각, `data_as_of`는 숫자가 속한 날짜다. 사용자에게 말하는 날짜는 언제나 `data_as_of`다.
- `data_basis` 값의 뜻:
  - `last_close`: 끝난 세션의 확정값
  - `realtime`: 세션 중 실시간 스냅샷(종가 아님)
  - `in_progress_bar`: 마지막 봉이 아직 만들어지는 중 — 이 봉으로 계산한 신호는 마감 때 바뀔 수 있다
  - `filing`: 공시·재무 자료 기준(세션과 무관)
  - `aggregate`: 모아 놓은 기간 집계
- `price_session`은 그 숫자를 만든 세션이고, `session`은 조회 시점의 시장 상태다.
  - 한국장 하루의 흐름: 08:30~09:00 장전 동시호가, 09:00~15:30 정규장, 15:30~16:00 휴식, 16:00~20:00 애프터마켓(2026-09-14부터), 그 뒤 장마감. 새해 첫 거래일과 수능일에는 개장이 늦어진다.
  - 미국장 하루의 흐름(뉴욕 시각): 04:00~09:30 프리마켓, 09:30~16:00 정규장, 16:00~20:00 애프터아워, 그 뒤 장마감.
  - 장이 닫혀 있을 때 보여 주는 값은 최근 거래일 기준이다. 응답의 `warnings` 첫 줄이 어느 날 값인지 알려 준다.
- 2026-09-14부터 KRX는 16:00~20:00 애프터마켓을 열고, 네이버 일봉의 종가는 20:00 애프터마켓 마지막 체결가가 된다.
- `price_session`이 `regular`면 종가라고 불러도 된다. `after_market`이나 `regular_and_after`는 정규장 종가라고 부르면 안 된다 — "20시 마감가(애프터마켓 포함)"처럼 말하고, 이때 정규장 종가는 `regular_close_check`에 있다.
- `data_completeness`가 `partial`이나 `none`이면 빠진 부분을 추정으로 채우지 않는다.
- `warnings`에 적힌 내용은 답변에 반영한다.
- `entity`의 코드는 다음 호출에 그대로 다시 쓴다.
- 메타 블록은 내부용이다. JSON 그대로 사용자에게 보여 주지 않는다.
- 오류 응답(⚠️로 시작하고 메타가 없는 짧은 글)은 조회 자체가 실패했다는 뜻이다. 같은 질문을 한 번 더 해 보고, 그래도 같으면 안내된 다음 단계(Orvane Manager의 [업데이트]나 [지원 문의])를 전한다. 터미널 명령을 안내하지 않는다.
- 메타가 없는 응답은 날짜를 알 수 없는 데이터로 다룬다.
- `bar_state`가 있으면 마지막 봉의 확정 여부를 알려 준다. `calculation_includes_incomplete`가 true면 지표·신고가·낙폭 판정에 진행 중인 봉이 들어 있으니 "잠정"이라고 말한다. 수요일 저녁의 주봉처럼 장이 닫혀 있어도 봉은 아직 진행 중일 수 있다.
- `coverage.truncated`가 true면 요청한 범위의 일부만 받았다는 뜻이다. `reason`(pagination, server_cap, source_limit, mixed_periods, indicator_error, unknown 등)을 참고해 무엇이 빠졌는지 말한다.
- `price_adjustment`는 가격이 수정주가인지 알려 준다. `status`가 `unknown`이면 분할·병합 전후 비교에 주의하라고 전한다.
- 예: 17:00에 조회한 `get_price`가 `price_session: after_market`, `data_basis: realtime`이면 "애프터마켓 체결 기준 현재가(20:00까지 바뀜)"라고 말하고, 정규장 종가는 `regular_close_check`의 값으로 따로 말한다.

## 5. 해외 사용자(`viewer_tz`)

- `viewer_tz`가 있으면 사용자는 한국 밖에 있다. `viewer_tz.local_date`가 사용자의 오늘이다.
- 거래일은 그래도 한국 시장 날짜로 말한다.
- 개장·마감까지 남은 시간은 `get_market_clock`의 `opens_in`/`closes_in`, `next_open_viewer`에서 가져온다. 직접 계산하지 않는다.
- "오늘", "어제"라는 말은 사용자의 날짜(`local_date`)와 한국 거래일이 다를 수 있다. 헷갈릴 수 있으면 날짜를 YYYY-MM-DD로 함께 적는다.
- 한국 시각과 사용자 시각을 함께 말할 때는 `get_market_clock`이 준 값을 쓰고, 시차를 머릿속으로 더하거나 빼지 않는다.

## 6. 서머타임(`dst`)

- 미국장 개장은 한국 시각으로 여름 22:30, 겨울 23:30이다.
- `dst.us` 또는 `dst.krx`의 `imminent`가 true면 2주 안에 시간이 바뀐다 — 지금은 `open_in_viewer_now`, 바뀐 뒤에는 `open_in_viewer_after`로 안내한다.
- `cause`가 `viewer`면 사용자가 있는 지역의 시간이 바뀌는 것이다. 두 곳이 모두 바뀌면 `changes`에 차례대로 있고, 각 항목의 `from_day`~`to_day` 동안은 그 항목의 `open_in_viewer_after`가 개장 시각이다.
- `krx.has_dst`가 false인 것은 한국에 서머타임이 없다는 뜻이다.
- 사용자가 서머타임을 쓰는 지역(미국·유럽 등)에 있으면 한국장 개장 시각도 사용자 시각으로는 바뀐다. 이때 `dst.krx`의 `cause`가 `viewer`로 표시된다.
- 미국 서머타임은 3월 둘째 일요일에 시작해 11월 첫째 일요일에 끝난다. 그 사이 주에는 한국 시각 개장 시간이 바뀌므로 `get_market_clock`으로 다시 확인한다.
- 미국 조기 폐장일(추수감사절 다음 날, 크리스마스이브 등)은 뉴욕 시각 13:00에 마감한다. 시계가 알려 주는 `regular_close`를 쓴다.

## 7. 관심종목(`watchlist`)

- 관심종목 목록은 형제 제품 Dorvik, Skaldo와 함께 쓴다.
- 결과에 ⭐가 붙은 종목은 관심종목이다.
- 관심종목 목록 자체는 시세가 아니다. 가격·수급·지표는 반드시 해당 도구로 다시 조회해서 말한다.
- "내 종목 어때?" 같은 요청에는 `watchlist(action="list")`의 코드를 받아 `get_multi_stocks`, `get_flow_batch`, `get_indicators_bulk`에 한 번에 넘긴다.
- 추가·삭제는 `watchlist(action="add", query="종목명 또는 코드")`, `watchlist(action="remove", query=...)`로 한다. 다른 제품에서 바꾼 목록도 호출할 때마다 다시 읽으므로 항상 최신이다.
- 사용자가 명시적으로 원할 때만 목록을 바꾼다. 전체 삭제(`clear`)는 반드시 먼저 확인을 받는다.

## 8. 일괄 호출 규칙

같은 도구를 두 번 연달아 부르려 하면 멈추고 일괄 도구를 쓴다.

| 대신 | 사용 |
|---|---|
| `get_price` × N | `get_multi_stocks` |
| `get_chart` × N | `get_multi_chart_stats` (기간 통계만) |
| `get_flow` × N | `get_flow_batch` |
| `get_financial` × N | `get_financial_batch` |
| `get_indicators` × N | `get_indicators_bulk` |
| `get_us_price` × N | `get_us_multi_price` |

일괄 도구는 한 번에 최대 30종목을 받는다. 더 많으면 나누어 부르고, 실패한 종목은 응답에 이름이 적혀 나오므로 그대로 전한다.

## 9. 도구별 역할

- `get_multi_chart_stats`: 여러 종목의 기간 고가·저가·낙폭·수익률 통계. 봉 표가 필요하면 `get_chart`를 쓴다.
- `get_chart`: OHLCV 시계열. 지표를 직접 계산하려면 count 최소 120.
- `get_indicators`: 이동평균·RSI·MACD 등 지표 판정. 숫자를 직접 계산하지 말고 이 결과를 쓴다.
- `get_price`: 한 종목의 현재 스냅샷.
  애프터마켓이 열리는 날 15:30 이후에는 정규장 종가와 애프터마켓 가격이 따로 나온다. 넥스트레이드(NXT) 거래 종목은 NXT 시세 블록이 함께 나오며, KRX 가격과 섞어 말하지 않는다.
- `get_flow`: 개인·외국인·기관 순매수. 당일 값은 장 마감 후 확정되며 장중 값은 잠정치다. 단위(주, 억원)를 열 제목대로 말한다.
- 순위·목록: `get_volume_ranking`, `get_change_ranking`, `get_market_cap_ranking`은 장전(동시호가 전)에는 전일 기준임을 알린다. `list_sectors`·`get_sector_stocks`, `list_themes`·`get_theme_stocks`는 페이지로 나뉘며, 잘린 목록에는 다음 페이지 호출이 적혀 있다.
- 상세 수급 근거: `get_detailed_investor_flow`(투자자 세부 분류별 순매수), `get_supply_pressure`(공매도·신용·대차·프로그램 매매 등)는 연결된 증권사 자료를 JSON으로 준다. 출처가 제공하지 않는 항목은 unavailable로 표시되며 0이 아니다.
- 시장 전체: `get_index`(코스피·코스닥 지수), `get_investor_deposit`(투자자 예탁금 추이), `get_ipo_schedule`(공모주 청약·상장 일정).
- `get_financial`: 연간·분기 재무 지표. `(E)`가 붙은 열은 컨센서스 추정치이고, 최신 확정 기간은 따로 표시된다. 연결·별도 기준이 섞이면 경고가 붙는다.
- `get_reports`·`get_report_content`: 증권사 리포트 목록과 본문 요약. 목표주가와 투자의견은 리포트 날짜와 함께 말한다.
- `get_news`: 여러 출처의 기사를 모아 중복을 지우고 관련도(직접/간접)를 붙인다. 간접 기사를 종목의 재료처럼 말하지 않는다.
- `get_market_clock`: 분석 전에 데이터 기준 시각을 확인할 때 쓴다. 휴장일, 장전·정규장·애프터마켓·장마감 상태와 다음 거래일을 준다.
- `get_event_reaction`: `event_date` 전후의 주가·수급 반응. `unavailable`은 숫자가 전혀 없다는 뜻이고, "해당 사건창 수급 데이터 없음"은 0이 아니다.
- ETF: `get_etf_list`로 후보를 찾고 `get_etf_info`로 구성과 괴리를 확인한다.
- 테마 탐색과 검증은 다르다: `list_themes`·`get_theme_stocks`로 후보를 좁힌 뒤, 모든 숫자는 다시 도구로 확인한다. `get_etf_list`의 짧은 keyword는 관련 없는 이름이 섞이므로 사용자에게 되묻는다.
- 분석 도구:
  - `get_consensus`에는 매출액이 없다.
  - `get_sector_valuation`은 중앙값을 쓰고 적자 기업은 따로 세어 빼 둔다.
  - `get_event_reactions`는 봉과 수급을 한 번만 받아 여러 사건일을 계산한다.
- 미국 도구:
  - 티커 규칙: 6자리면 한국, 영문 1~5자면 미국.
  - 회사 이름은 `get_us_search`로 티커를 확정한다.
  - 데이터는 최대 15분 늦을 수 있다.
  - 프리마켓·애프터마켓은 `get_us_chart(prepost=True)`로 본다.
  - 미국 재무는 통화가 USD가 아닐 수 있다(외국 기업). 열 제목에 적힌 통화를 그대로 쓴다.
- 장중 분봉: `get_intraday_chart`·`get_intraday_indicators`는 사용자가 Orvane Manager에서 연결한 증권사를 쓴다. `source`로 증권사를 지정하면 다른 출처로 바꿔 주지 않으며, 연결되지 않았으면 그 사실을 알린다.
- 화면 검색: `screen_chart`는 차트 조건으로 시장 전체를 거르고, `screen_by_flow`는 외국인·기관 연속 순매수 종목을 찾는다. 후보는 반드시 개별 도구로 다시 확인한다.
- 엑셀: `export_to_excel`, `scan_to_excel`, `save_analysis_to_excel`은 파일을 만들고 경로를 돌려준다. 저장된 파일은 `query_excel`로 다시 조회한다.

## 10. 안내 문구

결과에 "📢 Orvane 안내:"로 시작하는 줄이 있으면(JSON 결과는 `_meta.user_notice`) 그 문장을 바꾸지 말고 답변의 맨 마지막 줄에 그대로 옮긴다. 한 대화에서 한 번만 옮긴다. 안내 문구가 없으면 아무것도 덧붙이지 않는다. 안내 문구를 요약하거나 번역하거나 링크를 만들어 붙이지 않는다. 안내는 제품 업데이트나 점검 같은 사용자에게 필요한 소식이며, 시세나 분석 내용과 섞지 않고 답변과 분리된 마지막 줄로 둔다.)TXT";
}  // namespace

namespace {

// The catalogue tools a line names in backticks (`get_us_*` stands for every US
// tool): whether it names any, and whether any of them is on.
struct Named {
  bool any = false;
  bool enabled = false;
};

void note_name(const std::string& inside, Named& n) {
  size_t len = 0;
  while (len < inside.size() && ((inside[len] >= 'a' && inside[len] <= 'z') || inside[len] == '_')) ++len;
  std::string name = inside.substr(0, len);
  bool pattern = len < inside.size() && inside[len] == '*';
  if (name.empty()) return;
  for (const auto& entry : catalogue()) {
    if (pattern ? entry.name.rfind(name, 0) != 0 : entry.name != name) continue;
    n.any = true;
    if (tool_enabled(entry.name)) n.enabled = true;
  }
}

Named names_in(const std::string& line) {
  Named n;
  size_t pos = 0;
  for (;;) {
    size_t open = line.find('`', pos);
    if (open == std::string::npos) break;
    size_t close = line.find('`', open + 1);
    if (close == std::string::npos) break;
    note_name(line.substr(open + 1, close - open - 1), n);
    pos = close + 1;
  }
  return n;
}

bool off(const Named& n) { return n.any && !n.enabled; }

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

// Table rows naming only tools that are off go; a table left without rows goes whole.
void filter_tables(std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (size_t i = 0; i < lines.size();) {
    bool table = lines[i].rfind("|", 0) == 0 && i + 1 < lines.size() && lines[i + 1].rfind("|---", 0) == 0;
    if (!table) {
      out.push_back(lines[i++]);
      continue;
    }
    std::vector<std::string> rows;
    size_t j = i + 2;
    for (; j < lines.size() && lines[j].rfind("|", 0) == 0; ++j)
      if (!off(names_in(lines[j]))) rows.push_back(lines[j]);
    if (!rows.empty()) {
      out.push_back(lines[i]);
      out.push_back(lines[i + 1]);
      out.insert(out.end(), rows.begin(), rows.end());
    }
    i = j;
  }
  lines = std::move(out);
}

bool indented(const std::string& line) { return line.rfind("  ", 0) == 0; }

// Role lines that hold a rule besides their tools: when the tools are all off the
// rule still applies, in these words.
const std::vector<std::pair<std::string, std::string>>& rule_only_forms() {
  static const std::vector<std::pair<std::string, std::string>> v = {
      {"- 테마 탐색과 검증은 다르다:",
       "- 테마 탐색과 검증은 다르다: 테마·기사로 좁힌 후보도 모든 숫자는 다시 도구로 확인한다."},
  };
  return v;
}

std::optional<std::string> rule_only_form(const std::string& line) {
  for (const auto& [head, form] : rule_only_forms())
    if (line.rfind(head, 0) == 0) return form;
  return std::nullopt;
}

// A run of tool names in backticks joined by ", ", "·" or " / " keeps only the
// tools that are on ("… `get_multi_stocks`, `get_flow_batch`에" with flow off:
// "… `get_multi_stocks`에"). A name that is no tool counts as on.
std::string prune_name_lists(const std::string& line) {
  struct Tok {
    size_t open, close;   // the opening backtick and the item's last character
    bool on;
  };
  std::vector<Tok> toks;
  for (size_t pos = 0;;) {
    size_t open = line.find('`', pos);
    if (open == std::string::npos) break;
    size_t close = line.find('`', open + 1);
    if (close == std::string::npos) break;
    Named n;
    note_name(line.substr(open + 1, close - open - 1), n);
    pos = close + 1;
    // "`get_index`(코스피·코스닥 지수)": the words in brackets belong to the item.
    if (close + 1 < line.size() && line[close + 1] == '(') {
      size_t end = line.find(')', close + 1);
      if (end != std::string::npos && line.find('`', close + 1) > end) close = end;
    }
    toks.push_back({open, close, !off(n)});
  }
  static const std::vector<std::string> seps = {", ", "·", " / "};
  std::string out;
  size_t copied = 0;
  for (size_t i = 0; i < toks.size();) {
    // The run starting at toks[i]: tokens joined by one and the same separator.
    size_t j = i;
    std::string sep;
    while (j + 1 < toks.size()) {
      std::string between = line.substr(toks[j].close + 1, toks[j + 1].open - toks[j].close - 1);
      if (std::find(seps.begin(), seps.end(), between) == seps.end() || (!sep.empty() && between != sep)) break;
      sep = between;
      ++j;
    }
    bool any_on = false, any_off = false;
    for (size_t k = i; k <= j; ++k) (toks[k].on ? any_on : any_off) = true;
    if (j > i && any_on && any_off) {
      out += line.substr(copied, toks[i].open - copied);
      std::vector<std::string> kept;
      for (size_t k = i; k <= j; ++k)
        if (toks[k].on) kept.push_back(line.substr(toks[k].open, toks[k].close - toks[k].open + 1));
      for (size_t k = 0; k < kept.size(); ++k) out += (k ? sep : "") + kept[k];
      copied = toks[j].close + 1;
    }
    i = j + 1;
  }
  return out + line.substr(copied);
}

// The role list: a top-level item with its indented lines is one block. A sub-item
// naming only tools that are off goes; a block whose tools are all off goes whole,
// except the rules in it that name no tool (the ticker rule of the US tools): a
// heading that names no tool stays with them.
void filter_roles(std::vector<std::string>& lines, size_t from, size_t to) {
  std::vector<std::string> out;
  size_t i = from;
  while (i < to) {
    if (lines[i].rfind("- ", 0) != 0) {
      out.push_back(lines[i++]);
      continue;
    }
    Named block = names_in(lines[i]);
    std::vector<std::string> kept = {lines[i]};
    size_t j = i + 1;
    for (; j < to && indented(lines[j]); ++j) {
      Named sub = names_in(lines[j]);
      block.any = block.any || sub.any;
      block.enabled = block.enabled || sub.enabled;
      if (!off(sub)) kept.push_back(lines[j]);
    }
    if (!off(block)) {
      out.insert(out.end(), kept.begin(), kept.end());
    } else if (auto form = rule_only_form(lines[i])) {
      out.push_back(*form);
    } else if (!names_in(lines[i]).any) {
      std::vector<std::string> rules;
      for (size_t k = i + 1; k < j; ++k)
        if (lines[k].rfind("  - ", 0) == 0 && !names_in(lines[k]).any) rules.push_back(lines[k]);
      if (!rules.empty()) {
        out.push_back(lines[i]);
        out.insert(out.end(), rules.begin(), rules.end());
      }
    }
    i = j;
  }
  lines.erase(lines.begin() + long(from), lines.begin() + long(to));
  lines.insert(lines.begin() + long(from), out.begin(), out.end());
}

std::string build_instructions() {
  std::vector<std::string> lines = split_lines(kInstructions);
  filter_tables(lines);
  size_t roles = lines.size(), roles_end = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind("## 9.", 0) == 0) roles = i + 1;
    else if (roles < lines.size() && roles_end == lines.size() && i > roles && lines[i].rfind("## ", 0) == 0)
      roles_end = i;
  }
  if (roles < lines.size()) filter_roles(lines, roles, roles_end);
  for (auto& l : lines) l = prune_name_lists(l);
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) text += (i ? "\n" : "") + lines[i];
  return text;
}

}  // namespace

// One text per selection, built on first use.
const std::string& instructions() {
  static std::mutex m;
  static std::map<std::string, std::string> built;
  std::string key = selected_toolsets_text();
  std::lock_guard<std::mutex> lk(m);
  auto it = built.find(key);
  if (it == built.end()) it = built.emplace(key, key == "all" ? std::string(kInstructions) : build_instructions()).first;
  return it->second;
}

}  // namespace tessaro::server
