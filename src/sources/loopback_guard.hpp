#pragma once
// Test runs send nothing beyond this machine. With TESSARO_TEST_LOOPBACK_ONLY set
// (the test runner sets it for every test), the HTTP layer refuses a request to
// any address but loopback before a name is looked up or a connection opened
// (redirects and names that resolve elsewhere included): the request fails as a
// ConnectError naming its URL, a line on stderr says so, and the URL is kept here
// so the test runner can fail the test that made it.
#include <string>
#include <vector>

namespace tessaro::http {

// Reads the environment at each call.
bool loopback_only();
// 127.0.0.0/8, ::1 and "localhost" (a host as written in a URL, "[::1]" too).
bool is_loopback_host(const std::string& host);
// The URLs refused so far, oldest first; taking them empties the list.
std::vector<std::string> take_refused_non_loopback();

}  // namespace tessaro::http
