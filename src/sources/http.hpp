#pragma once
// The HTTP client of every source (libcurl). Failures come back as our own
// exception types (core/errors.hpp): ConnectTimeout/ReadTimeout, ConnectError,
// HTTPStatusError (status >= 400 after retries), RemoteProtocolError.
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tessaro::http {

struct Request {
  std::string method = "GET";
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;                 // sent for POST/PUT
  double timeout_s = 10.0;          // whole-transfer timeout
  double connect_timeout_s = 5.0;
  int retries = 1;                  // extra tries on 5xx / 429 / timeouts
  double backoff_s = 0.5;           // first back-off, doubled each try; Retry-After wins when given
  bool throw_on_status = true;      // false: return 4xx/5xx responses to the caller
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
Response get(const std::string& url, const std::vector<std::pair<std::string, std::string>>& headers = {},
             double timeout_s = 10.0);

// Base URL of one upstream host. With TESSARO_<GROUP>_BASE_URL set (GROUP is
// NAVER, YAHOO, SEC, KIS, KIWOOM, TOSS), every host of that group is served below it:
// base("NAVER", "m.stock.naver.com") -> "$TESSARO_NAVER_BASE_URL/m.stock.naver.com".
// Otherwise "https://" + host.
std::string base(const std::string& group, const std::string& host);

// Concurrent connections to one host are bounded (default 10, TESSARO_HTTP_PER_HOST);
// this is what keeps a batch of hundreds of tasks from flooding a site.
int per_host_limit();

// Number of HTTP requests sent so far (all hosts): for benchmarks and tests.
long long request_count();

}  // namespace tessaro::http
