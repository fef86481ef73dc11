#pragma once
// Usage metrics: one JSON line per tool call in <home>/logs/metrics_YYYYMMDD.jsonl.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/json.hpp"

namespace tessaro::metrics {

// Runs fn as a call of `tool`, recording start, duration, output size, tokens,
// cache hit and error flag. Sets current_tool() for the duration.
std::string track(const std::string& tool, const std::function<std::string()>& fn);
std::optional<std::string> current_tool();
// Marks the current call as served from a cache.
void mark_cache_hit();
// A usage counter (labels from fixed sets only).
void count_limitation(const std::string& name, const json& labels);
json load_metrics(int days);               // array of entries; torn lines skipped
json summarize_metrics(const json& entries);  // tool -> stats (ordered as first seen)
std::string get_metrics_file();
// Token estimate of a reply.
long long estimate_tokens(const std::string& text);

}  // namespace tessaro::metrics
