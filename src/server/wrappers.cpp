#include "server/wrappers.hpp"

#include <re2/re2.h>

#include "core/call_context.hpp"
#include "core/errors.hpp"
#include "core/files.hpp"
#include "core/result_meta.hpp"
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

namespace {
// The completeness a reply states: its meta block, or the `_meta` of a JSON reply
// ("" when it carries none).
std::string stated_completeness(const std::string& reply) {
  size_t first = reply.find_first_not_of(" \t\r\n");
  try {
    if (first != std::string::npos && reply[first] == '{') {
      json j = json::parse(reply);
      if (j.is_object() && j.contains("_meta") && j["_meta"].is_object())
        return j["_meta"].value("data_completeness", std::string());
      return "";
    }
    std::string start = std::string(rmeta::START_MARKER) + "\n";
    auto a = reply.rfind(start);
    if (a == std::string::npos) return "";
    a += start.size();
    auto b = reply.find(std::string("\n") + rmeta::END_MARKER, a);
    if (b == std::string::npos) return "";
    json m = json::parse(reply.substr(a, b - a));
    return m.is_object() ? m.value("data_completeness", std::string()) : "";
  } catch (const json::exception&) {
    return "";
  }
}
}  // namespace

bool ledger_check(std::string& reply) {
  LedgerSummary s = current_ledger_summary();
  const std::string completeness = stated_completeness(reply);
  const bool json_reply = [&] {
    size_t f = reply.find_first_not_of(" \t\r\n");
    return f != std::string::npos && reply[f] == '{';
  }();
  // A warning reply that states it obtained nothing is a failure reply of the
  // tool's own saying (a lookup it made through an injected source included).
  const bool warning_reply = !json_reply && fmt::starts_with(fmt::trim(reply), "⚠️");
  auto says_failed = [&] {
    for (const char* w : {"실패", "조회하지 못", "읽지 못", "받지 못"})
      if (reply.find(w) != std::string::npos) return true;
    return false;
  };
  const bool declared_failure = warning_reply && (completeness == "none" || (completeness.empty() && says_failed()));
  if (s.failed == 0) return declared_failure;
  const bool error = declared_failure || s.nothing_obtained() || completeness == "none" ||
                     (completeness.empty() && warning_reply);
  // A failure the text does not name gets its line (before the meta block; a
  // JSON reply names it in its _meta, which the meta builder filled), and so
  // does an error reply that carries no warning sign at all.
  if (!json_reply) {
    auto cut = reply.find(std::string("\n\n") + rmeta::START_MARKER);
    std::string text = cut == std::string::npos ? reply : reply.substr(0, cut);
    std::string add;
    if ((text.find("조회 실패") == std::string::npos && text.find("조회에 실패") == std::string::npos) ||
        (error && text.find("⚠️") == std::string::npos))
      add += "\n\n⚠️ 조회 실패: " + ledger_failure_text(s) + " — 없음이 아니라 모름입니다.";
    // An address gone (404/410) or a page that changed shape will not pass on
    // its own: the doctor names which source it is.
    bool structural = false;
    for (const auto& f : s.failures)
      structural = structural || fmt::ends_with(f.reason, " 404") || fmt::ends_with(f.reason, " 410") ||
                   f.reason == "NaverParseError";
    if (structural && text.find("tessaro-mcp doctor") == std::string::npos)
      add += std::string(add.empty() ? "\n\n" : "\n") + DOCTOR_HINT;
    if (!add.empty()) reply = text + add + (cut == std::string::npos ? "" : reply.substr(cut));
  }
  // Nothing obtained while a lookup failed is a failure reply, whatever its text.
  return error;
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
    std::string text = "⚠️ 네트워크 오류가 발생했습니다: " + exception_class_name(e) + "\n(원인: " + cause_text(e) + ")";
    if (auto* st = dynamic_cast<const HTTPStatusError*>(&e); st && st->endpoint_gone()) text += "\n" + std::string(ENDPOINT_GONE_NOTE);
    return text;
  } catch (const NaverParseError& e) {
    return "⚠️ 네이버 증권 페이지를 읽지 못했어요 (데이터가 없는 것이 아니라 **파싱 실패**예요).\n(원인: " +
           cause_text(e) + ")\n페이지 구조가 바뀌었을 수 있어요.\n" + PARSE_FAIL_NEXT;
  } catch (const std::exception& e) {
    return std::string("⚠️ ") + UNKNOWN_ERROR_NEXT + "\n(원인: " + exception_class_name(e) + ")";
  } catch (...) {
    return std::string("⚠️ ") + UNKNOWN_ERROR_NEXT + "\n(원인: RuntimeError)";
  }
  bool obtained_nothing = ledger_check(result);
  if (failed) *failed = obtained_nothing;
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
    bool obtained_nothing = ledger_check(result);
    if (failed) *failed = obtained_nothing;
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
