#pragma once
// `tessaro-mcp doctor`: one real request per outside endpoint the tools use,
// each for a well-known instrument, checked against the endpoint's declared
// response shape (sources/contracts.hpp). The result is printed as a table and
// saved under the home, where tessaro_status reads it without any request.
#include <filesystem>
#include <string>

#include "core/json.hpp"

namespace tessaro::server::doctor {

// Outcome words of one endpoint.
inline constexpr const char* OK = "ok";
inline constexpr const char* CHANGED = "changed";
inline constexpr const char* BLOCKED = "blocked";
inline constexpr const char* UNREACHABLE = "unreachable";
inline constexpr const char* NOT_CONFIGURED = "not configured";
inline constexpr const char* NOT_CHECKED = "not checked";

// Runs every check (sequentially, through the tools' own HTTP layer):
// {"checked_at", "results": [{endpoint, target, status, detail, latency_ms}], "failed": [...]}.
json run_checks();
// Whether a status counts as a failure of an endpoint the tools depend on.
bool is_failure(const std::string& status);
std::string format_report(const json& report);

// <home>/doctor/last_check.json
std::filesystem::path last_check_path();
void save(const json& report);
// The saved report, or null when none (or unreadable).
json load_last_check();

// The sub-command: prints the table, saves it, exit code 1 when something failed.
int command(int argc, char** argv);

}  // namespace tessaro::server::doctor
