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

// The update notice of this installation ("" when none).
std::string get_update_notice();

}  // namespace tessaro::server
