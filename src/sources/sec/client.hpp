#pragma once
// Internal: the one request path of the SEC module (pacing, identity, retries,
// error mapping) and small shared helpers.
#include <string>

#include "core/json.hpp"
#include "sources/http.hpp"

namespace tessaro::sec::detail {

std::string www_base();    // https://www.sec.gov (or the test base)
std::string data_base();   // https://data.sec.gov (or the test base)
// Addresses on the two hosts.
http::Url www(const http::Target& target);
http::Url data(const http::Target& target);

// GET with the SEC identity, paced through the shared gate. 429/5xx and timeouts
// are retried a bounded number of times. Returns only a 2xx response; throws
// SecNotFound (404) or SecFetchError otherwise.
http::Response request(const http::Url& url, double timeout_s = 20.0);
json request_json(const http::Url& url, double timeout_s = 20.0);

// "320193" / "CIK0000320193" / "0000320193" -> "0000320193"; "" when not a CIK.
std::string pad_cik(const std::string& cik);

}  // namespace tessaro::sec::detail
