#include "sources/sec/client.hpp"

#include <algorithm>
#include <cctype>
#include <thread>

#include "core/errors.hpp"
#include "core/files.hpp"
#include "core/format.hpp"
#include "sources/sec/sec.hpp"

namespace tessaro::sec {

RateGate::Clock::time_point RateGate::reserve(Clock::time_point now) {
  std::lock_guard<std::mutex> lk(m_);
  auto start = std::max(now, next_);
  if (recent_.size() >= per_window_)
    start = std::max(start, recent_.front() + std::chrono::seconds(1) + std::chrono::milliseconds(1));
  recent_.push_back(start);
  while (recent_.size() > per_window_) recent_.pop_front();
  next_ = start + interval_;
  return start;
}

namespace {
const char* const kContactFix =
    "MCP 호스트 설정(예: claude_desktop_config.json)의 tessaro 항목 \"env\" 블록에 "
    "\"TESSARO_SEC_CONTACT\": \"이름 you@example.com\" 처럼 실제 이름과 이메일을 넣고 호스트를 다시 시작하세요.";
}  // namespace

bool contact_configured() { return !fmt::trim(env_or("TESSARO_SEC_CONTACT", "")).empty(); }

std::string setup_advice(const SecFetchError& e) {
  if (dynamic_cast<const SecContactMissing*>(&e))
    return std::string("SEC 는 연락처를 밝히지 않은 클라이언트의 요청을 받지 않습니다. ") + kContactFix;
  if (e.status() == 403)
    return std::string("SEC 가 이 클라이언트를 연락처를 밝히지 않았거나 요청 한도(초당 10건)를 넘은 클라이언트로 보고 "
                       "거부했을 가능성이 큽니다. ") +
           kContactFix + " 이미 넣었다면 차단이 풀리도록 10분쯤 지나 다시 시도하세요.";
  return "";
}

std::optional<std::string> contact_missing_reply() {
  if (contact_configured()) return std::nullopt;
  return "⚠️ SEC EDGAR 연락처(TESSARO_SEC_CONTACT)가 설정되지 않아 SEC 에 요청하지 않았습니다. " +
         setup_advice(SecContactMissing());
}

std::string user_agent() {
  std::string contact = fmt::trim(env_or("TESSARO_SEC_CONTACT", ""));
  if (contact.empty()) throw SecContactMissing();
#ifdef TESSARO_VERSION
  return std::string("Tessaro tessaro-mcp/") + TESSARO_VERSION + " " + contact;
#else
  return "Tessaro tessaro-mcp " + contact;
#endif
}

bool looks_like_throttle_page(const std::string& body) {
  std::string b = fmt::lower(body.substr(0, 20000));
  return b.find("request rate threshold exceeded") != std::string::npos ||
         b.find("declare your traffic") != std::string::npos ||
         b.find("exceeded the sec") != std::string::npos ||
         b.find("maximum allowable request") != std::string::npos ||
         b.find("undeclared automated tool") != std::string::npos;
}

namespace detail {

namespace {

RateGate& gate() {
  static RateGate g([] {
    auto v = fmt::parse_number(env_or("TESSARO_SEC_MAX_RPS", ""));
    double r = v && *v > 0 ? *v : MAX_REQUESTS_PER_SECOND;
    return std::min(r, MAX_REQUESTS_PER_SECOND);   // a margin under the SEC's fair-access limit
  }());
  return g;
}

// "ReadTimeout: Operation timed out ..." without the trailing " for url '...'".
std::string transport_reason(const std::exception& e) {
  std::string w = e.what();
  auto p = w.find(" for url '");
  if (p != std::string::npos) w = w.substr(0, p);
  return exception_class_name(e) + ": " + fmt::trim(w);
}

double retry_after(const http::Response& r) {
  auto v = fmt::parse_number(r.header("retry-after"));
  if (!v || *v < 0) return -1;
  return std::min(*v, 5.0);
}

}  // namespace

std::string www_base() { return http::base("SEC", "www.sec.gov"); }
std::string data_base() { return http::base("SEC", "data.sec.gov"); }
http::Url www(const http::Target& target) { return http::Url("SEC", "www.sec.gov", target); }
http::Url data(const http::Target& target) { return http::Url("SEC", "data.sec.gov", target); }

std::string pad_cik(const std::string& cik) {
  std::string s = fmt::upper(fmt::trim(cik));
  if (fmt::starts_with(s, "CIK")) s = s.substr(3);
  if (s.empty() || s.size() > 10 || !std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); }))
    return "";
  return std::string(10 - s.size(), '0') + s;
}

http::Response request(const http::Url& url, double timeout_s) {
  http::Request req;
  req.url = url;
  req.headers = {{"User-Agent", user_agent()}, {"Accept", "application/json, text/html;q=0.9, */*;q=0.8"}};
  // TESSARO_SEC_TIMEOUT_S, read at each call, caps the wait (tests).
  auto cap = fmt::parse_number(env_or("TESSARO_SEC_TIMEOUT_S", ""));
  req.timeout_s = cap && *cap > 0 ? std::min(timeout_s, *cap) : timeout_s;
  req.connect_timeout_s = std::min(req.connect_timeout_s, req.timeout_s);
  req.retries = 0;               // retried here, so that every try passes the gate
  req.throw_on_status = false;
  const int max_tries = 3;
  double backoff = 0.5;
  int timeouts = 0;
  for (int attempt = 1;; ++attempt) {
    std::this_thread::sleep_until(gate().reserve(RateGate::Clock::now()));
    http::Response r;
    try {
      r = http::fetch(req);
    } catch (const TimeoutException& e) {
      if (++timeouts < 2 && attempt < max_tries) {
        std::this_thread::sleep_for(std::chrono::duration<double>(backoff));
        backoff *= 2;
        continue;
      }
      throw SecFetchError(transport_reason(e));
    } catch (const std::exception& e) {
      throw SecFetchError(transport_reason(e));
    }
    long s = r.status;
    if (s >= 200 && s < 300) return r;
    bool retryable = s == 429 || s >= 500;
    if (retryable && attempt < max_tries) {
      double w = retry_after(r);
      std::this_thread::sleep_for(std::chrono::duration<double>(w >= 0 ? w : backoff));
      backoff *= 2;
      continue;
    }
    if (s == 404) throw SecNotFound("HTTP 404 Not Found");
    if (s == 429) throw SecFetchError("HTTP 429 Too Many Requests - SEC 요청 한도 초과, 잠시 후 재시도", 429, true);
    // EDGAR answers 403 to undeclared clients and to those over the rate limit.
    if (s == 403)
      throw SecFetchError("HTTP 403 - SEC 가 요청을 거부함(연락처 미신고 또는 요청 한도 초과 클라이언트로 분류)", 403,
                          looks_like_throttle_page(r.body));
    throw SecFetchError("HTTP " + std::to_string(s), s);
  }
}

json request_json(const http::Url& url, double timeout_s) {
  http::Response r = request(url, timeout_s);
  try {
    return json::parse(r.body);
  } catch (const std::exception&) {
    if (looks_like_throttle_page(r.body))
      throw SecFetchError("SEC 요청 한도 초과 안내 페이지를 받았습니다, 잠시 후 재시도", r.status, true);
    throw SecFetchError("JSON 이 아닌 응답을 받았습니다", r.status);
  }
}

}  // namespace detail
}  // namespace tessaro::sec
