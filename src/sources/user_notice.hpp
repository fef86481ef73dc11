#pragma once
// Update notice, start mark and the local usage report.
#include <filesystem>
#include <string>

namespace tessaro::notice {

// The text to announce (empty when nothing): read from the update-check cache
// file <home>/cache/update_check.json; never calls the network.
std::string update_notice(const std::string& product, const std::string& server,
                          const std::string& version, const std::filesystem::path& home);
// Records the process start (<home>/state/last_start.json).
void mark_start(const std::filesystem::path& home);
// Starts the background usage report: a daily local summary file under <home>/logs; nothing is sent anywhere.
void start_usage_report(const std::string& product, const std::string& version);

}  // namespace tessaro::notice
