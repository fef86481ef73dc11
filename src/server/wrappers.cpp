#include "server/wrappers.hpp"

#include <re2/re2.h>

#include "core/call_context.hpp"
#include "core/errors.hpp"
#include "core/files.hpp"
#include "core/format.hpp"
#include "core/secrets.hpp"
#include "market_time/day_times.hpp"
#include "server/meta.hpp"
#include "sources/user_notice.hpp"

namespace tessaro::server {

namespace {
const RE2& query_re() {
  static const RE2 re("\\?[^\\s'\")]*");   // stops at a closing parenthesis of the text around it
  return re;
}
}  // namespace

std::string mask_queries(const std::string& raw) {
  std::string text = secrets::mask(raw);
  RE2::GlobalReplace(&text, query_re(), "?…");
  return text;
}

std::string cause_text(const std::exception& e) {
  std::string name = exception_class_name(e);
  std::string text = mask_queries(fmt::trim(e.what()));
  if (text.empty()) return name;
  if (fmt::cp_len(text) > CAUSE_MAX) text = fmt::cp_cut(text, CAUSE_MAX) + "…";
  return name + ": " + text;
}

std::string get_update_notice() {
  return notice::update_notice("Tessaro", "tessaro-mcp", TESSARO_VERSION, home_dir());
}

std::string safe_tool(const std::function<std::string()>& body, bool* failed) {
  if (failed) *failed = true;
  mt::CallInstant one_now;   // every label of this call reads the same instant
  std::string result;
  try {
    result = body();
  } catch (const Cancelled&) {
    throw;
  } catch (const TimeoutException& e) {
    return "⚠️ 네이버 증권 응답이 지연되고 있습니다. 잠시 후 다시 시도해 주세요.\n(원인: " + cause_text(e) + ")";
  } catch (const ConnectError& e) {
    return "⚠️ 네이버 증권에 연결할 수 없습니다. 인터넷 연결을 확인해 주세요.\n(원인: " + cause_text(e) + ")";
  } catch (const HTTPError& e) {
    return "⚠️ 네트워크 오류가 발생했습니다: " + exception_class_name(e) + "\n(원인: " + cause_text(e) + ")";
  } catch (const NaverParseError& e) {
    return "⚠️ 네이버 증권 페이지를 읽지 못했어요 (데이터가 없는 것이 아니라 **파싱 실패**예요).\n(원인: " +
           cause_text(e) + ")\n페이지 구조가 바뀌었을 수 있어요.\n" + PARSE_FAIL_NEXT;
  } catch (const std::exception& e) {
    return std::string("⚠️ ") + UNKNOWN_ERROR_NEXT + "\n(원인: " + exception_class_name(e) + ")";
  } catch (...) {
    return std::string("⚠️ ") + UNKNOWN_ERROR_NEXT + "\n(원인: RuntimeError)";
  }
  if (failed) *failed = false;
  std::string notice_text;
  try {
    notice_text = get_update_notice();
  } catch (...) {
    notice_text = "";
  }
  return deliver_notices(result, {notice_text});
}

std::string safe_us_tool(const std::function<std::string()>& body, bool* failed) {
  if (failed) *failed = true;
  mt::CallInstant one_now;   // every label of this call reads the same instant
  try {
    std::string result = body();
    if (failed) *failed = false;
    return result;
  } catch (const Cancelled&) {
    throw;
  } catch (const TimeoutException&) {
    return "⚠️ Yahoo Finance 응답이 지연되고 있습니다. 잠시 후 다시 시도해 주세요.";
  } catch (const ConnectError&) {
    return "⚠️ Yahoo Finance에 연결할 수 없습니다. 인터넷 연결을 확인해 주세요.";
  } catch (const std::exception& e) {
    return std::string("⚠️ ") + UNKNOWN_ERROR_NEXT + "\n(원인: " + exception_class_name(e) + ")";
  } catch (...) {
    return std::string("⚠️ ") + UNKNOWN_ERROR_NEXT + "\n(원인: RuntimeError)";
  }
}

}  // namespace tessaro::server
