#pragma once
// The HTTP client of every source (libcurl). Failures come back as our own
// exception types (core/errors.hpp): ConnectTimeout/ReadTimeout, ConnectError,
// HTTPStatusError (status >= 400 after retries), RemoteProtocolError.
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/parallel.hpp"

namespace tessaro::http {

// ---- addresses ------------------------------------------------------------------
// Every request's address is built here, and nothing from an argument or a page
// reaches it unescaped. A template is a literal the code itself wrote (consteval:
// data can never become one); each "{}" in it is filled with a value that is
// percent-encoded whole: in the path one segment or part of one ("/" "?" "#" "%"
// are encoded, and a segment that would read "." or ".." is refused), after the
// "?" one query value. What cannot be an address is refused with
// std::invalid_argument before anything is sent.
class Literal {
 public:
  template <size_t N>
  consteval Literal(const char (&s)[N]) : s_(s), n_(N - 1) {}
  std::string_view view() const { return {s_, n_}; }

 private:
  const char* s_;
  size_t n_;
};

// Several values in one placeholder, each encoded, joined by a literal separator
// ("005930,000660": the comma stays a comma).
struct List {
  const std::vector<std::string>& items;
  char separator = ',';
};

// Percent-encoding of one value: every byte but A-Z a-z 0-9 - . _ ~.
std::string encode(std::string_view value);

// The path and query of an address below its host.
class Target {
 public:
  template <class... A>
  explicit Target(Literal tmpl, const A&... values) {
    std::vector<std::string> v;
    v.reserve(sizeof...(A));
    (v.push_back(piece(values)), ...);
    build(tmpl.view(), v);
  }
  // A path (and query) an upstream itself handed over, a link in its page: taken as
  // it stands below the host, but it must start with "/" and hold no blank,
  // control byte or "." / ".." segment.
  static Target given(std::string_view path_and_query);
  // One more query parameter, name and value encoded.
  Target& param(std::string_view name, std::string_view value);
  Target& param(std::string_view name, long long value) { return param(name, std::to_string(value)); }
  const std::string& str() const { return s_; }

 private:
  static std::string piece(const List& l);
  static std::string piece(std::string_view s) { return encode(s); }
  static std::string piece(const std::string& s) { return encode(s); }
  static std::string piece(const char* s) { return encode(s ? s : ""); }
  template <class T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
  static std::string piece(T n) {
    return std::to_string(n);
  }
  Target() = default;
  void build(std::string_view tmpl, const std::vector<std::string>& encoded);
  std::string s_;
};

// A whole address. Only two roads lead to one: a host of a group with a target
// built above, or an address an upstream itself handed over (a link in its page,
// a form's action), which must be http(s) and free of blanks and control bytes.
class Url {
 public:
  Url() = default;   // empty: sending it is refused
  Url(const std::string& group, const std::string& host, const Target& target);
  static Url given(const std::string& absolute);
  const std::string& str() const { return s_; }
  operator const std::string&() const { return s_; }
  bool empty() const { return s_.empty(); }

 private:
  std::string s_;
};

struct Request {
  std::string method = "GET";
  Url url;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;                 // sent for POST/PUT
  double timeout_s = 10.0;          // whole-transfer timeout
  double connect_timeout_s = 5.0;
  int retries = 1;                  // extra tries on 5xx / 429 / timeouts
  double backoff_s = 0.5;           // first back-off, doubled each try; Retry-After wins when given
  bool throw_on_status = true;      // false: return 4xx/5xx responses to the caller
  // Secret values this request carries that its headers, query and JSON body do
  // not name as such (an account number in a plain field): remembered before
  // sending, masked in everything written afterwards.
  std::vector<std::string> secrets;
  // The whole answer body is a secret (Yahoo's crumb): remembered before it is
  // recorded or returned.
  bool secret_response = false;
};

struct Response {
  long status = 0;
  std::string body;                              // raw bytes
  std::map<std::string, std::string> headers;    // names lower-cased; last value wins,
                                                 // except set-cookie: all of them, one a line
  std::string effective_url;
  std::string header(const std::string& name) const;  // "" when absent
};

// TESSARO_HTTP_TIMEOUT_S, when set, caps every timeout (tests).
Response fetch(const Request& req);
// GET with default settings.
Response get(const Url& url, const std::vector<std::pair<std::string, std::string>>& headers = {},
             double timeout_s = 10.0);

// Base URL of one upstream host. With TESSARO_<GROUP>_BASE_URL set (GROUP is
// NAVER, YAHOO, SEC, KIS, KIWOOM, TOSS), every host of that group is served below it:
// base("NAVER", "m.stock.naver.com") -> "$TESSARO_NAVER_BASE_URL/m.stock.naver.com".
// Otherwise "https://" + host.
std::string base(const std::string& group, const std::string& host);

// A bound on the requests of one part of a call, apart from the host's: while a
// RequestBound lives on a thread, each request that thread sends waits for a slot
// of `gate` and holds it for its transfer only (not for reading the answer), so
// "ten fetches at a time" keeps ten requests in flight while answers are read.
class RequestBound {
 public:
  explicit RequestBound(Semaphore& gate);
  ~RequestBound();
  RequestBound(const RequestBound&) = delete;
  RequestBound& operator=(const RequestBound&) = delete;

 private:
  Semaphore* prev_;
};
// Runs `transfer` as one request under this thread's bound (directly when none):
// for a stand-in source that makes no real request.
void as_bound_request(const std::function<void()>& transfer);

// Concurrent connections to one host are bounded (default 10, TESSARO_HTTP_PER_HOST);
// this is what keeps a batch of hundreds of tasks from flooding a site.
int per_host_limit();

// Number of HTTP requests sent so far (all hosts): for benchmarks and tests.
long long request_count();

}  // namespace tessaro::http
