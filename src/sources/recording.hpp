#pragma once
// Recording real upstream answers and playing them back.
//
// TESSARO_RECORD_DIR: every answer the HTTP layer receives is saved below that
// folder, one folder per host, one pair of files per request:
//   <dir>/<host>/<path and query>~<time>-<pid>-<n>.json   method, url, status, headers
//   <dir>/<host>/<same name>.body                         the body as received
// Keys, secrets, tokens, account numbers, Authorization and cookie headers are
// never written: every value the HTTP layer has sent or received as a secret is
// masked ("***") wherever it stands in a URL, header or body (core/secrets.hpp),
// secret-named JSON fields and query parameters are masked too, only a short list
// of harmless response headers is kept, and the files are the owner's alone (0600).
//
// TESSARO_REPLAY_DIR: requests are answered from such a folder and nothing goes
// to the network. A request without a recording fails like a refused
// connection, naming the request. Several recordings of one request are served
// in the order they were made; the last one repeats.
//
// Base URLs given for tests (TESSARO_<GROUP>_BASE_URL) are written as the real
// https://host address, so a day recorded on the real sites replays against
// any base and the other way round.
#include <optional>
#include <string>

#include "sources/http.hpp"

namespace tessaro::http::recording {

// Both read the environment at each call.
bool recording();
bool replaying();

// The recorded answer for a request (throws ConnectError when there is none).
Response replay(const std::string& method, const std::string& url);
// Saves one answer (no-op unless recording). Never throws: a failed save must
// not fail the request.
void record(const std::string& method, const std::string& url, const Response& resp);

// https://host/path?query with test base URLs undone and secrets masked.
std::string canonical_url(const std::string& url);
// The body with secret values masked ("***"); unchanged when nothing is secret.
std::string mask_body(const std::string& body);
// Whether a query parameter or JSON key holds something never to be written.
bool secret_name(const std::string& name);

}  // namespace tessaro::http::recording
