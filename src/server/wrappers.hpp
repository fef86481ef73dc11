#pragma once
// Error wrappers: every failure of a tool body becomes a short Korean reply.
#include <exception>
#include <functional>
#include <string>

namespace tessaro::server {

inline constexpr const char* UNKNOWN_ERROR_NEXT =
    "조회 중 문제가 생겼어요. 같은 질문을 한 번 더 해 보고, 그래도 같으면 Orvane Manager 상단 [지원 문의]를 눌러 주세요.";
inline constexpr const char* PARSE_FAIL_NEXT =
    "Orvane Manager의 Tessaro 카드에서 [업데이트]를 확인해 주세요.\n업데이트 후에도 같으면 Orvane Manager 상단 "
    "[지원 문의]를 눌러 주세요 (진단 로그 zip과 메일 초안이 자동으로 만들어져요).";
inline constexpr size_t CAUSE_MAX = 160;
inline constexpr const char* DOCTOR_HINT =
    "💡 출처가 계속 응답하지 않으면 `tessaro-mcp doctor`로 어느 출처가 막혔는지 확인할 수 있어요.";
// A 404/410: the site moved or retired the address; the stock is not shown to be missing.
inline constexpr const char* ENDPOINT_GONE_NOTE =
    "조회 실패 — 출처 주소가 없어졌거나 옮겨졌습니다 (종목이 없다는 뜻이 아닙니다). `tessaro-mcp doctor`로 출처 상태를 확인해 주세요.";

// "ClassName: text" with URL query strings replaced by "?…" and the text cut
// to CAUSE_MAX code points; the bare class name when the text is empty.
std::string cause_text(const std::exception& e);
// A text shown to a user (an error message passed on outside the wrappers) with
// every known secret value masked (core/secrets.hpp) and URL query strings
// replaced by "?…", as in cause_text.
std::string mask_queries(const std::string& text);

// Korean and general tools: error replies, update notice on success. `failed`, when
// given, is set to whether the reply is one of the error texts. A cancelled call
// (tessaro::Cancelled) passes through.
std::string safe_tool(const std::function<std::string()>& body, bool* failed = nullptr);
// US tools: Yahoo wording, no notice.
std::string safe_us_tool(const std::function<std::string()>& body, bool* failed = nullptr);

// The call's ledger against a successful reply: a failed lookup the text does not
// name gets a "조회 실패" line and the doctor hint (before the meta block). True
// when the reply obtained nothing while a lookup failed: an error reply.
bool ledger_check(std::string& reply);

// The update notice of this installation ("" when none).
std::string get_update_notice();

}  // namespace tessaro::server
