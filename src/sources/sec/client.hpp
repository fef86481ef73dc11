#pragma once
// Internal: the one request path of the SEC module (pacing, identity, retries,
// error mapping) and small shared helpers.
#include <exception>
#include <string>

#include "core/call_context.hpp"
#include "core/json.hpp"
#include "sources/http.hpp"
#include "sources/sec/sec.hpp"

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

// Runs one SEC operation and records what it came to in the call's ledger under
// `source`: found, not found (a 404, or `absent(result)`), or failed with its
// reason (the exception goes on to the caller).
template <class F, class Absent>
auto recorded(const std::string& source, F&& op, Absent&& absent) -> decltype(op()) {
  try {
    auto v = op();
    record_lookup(source, absent(v) ? LookupStatus::not_found : LookupStatus::found);
    return v;
  } catch (const Cancelled&) {
    throw;
  } catch (const std::exception& e) {
    bool missing = dynamic_cast<const SecNotFound*>(&e) != nullptr;
    record_lookup(source, missing ? LookupStatus::not_found : LookupStatus::failed, e.what());
    throw;
  }
}
template <class F>
auto recorded(const std::string& source, F&& op) -> decltype(op()) {
  return recorded(source, std::forward<F>(op), [](const auto&) { return false; });
}

// "320193" / "CIK0000320193" / "0000320193" -> "0000320193"; "" when not a CIK.
std::string pad_cik(const std::string& cik);

}  // namespace tessaro::sec::detail
