#include "sources/metrics.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <sstream>

#include "core/files.hpp"
#include "core/format.hpp"
#include "core/clock.hpp"

namespace tessaro::metrics {

namespace {
thread_local std::optional<std::string> t_tool;
thread_local bool t_cache_hit = false;

std::filesystem::path log_file(mt::Day d) {
  std::string s = fmt::replace_all(mt::day_str(d), "-", "");
  return home_dir() / "logs" / ("metrics_" + s + ".jsonl");
}
}  // namespace

long long estimate_tokens(const std::string& text) {
  // About one token per 4 ASCII bytes; Korean text about one per code point.
  long long ascii = 0, other = 0;
  for (unsigned char c : text) {
    if (c < 0x80) ++ascii;
    else if ((c & 0xC0) != 0x80) ++other;
  }
  return ascii / 4 + other;
}

std::string track(const std::string& tool, const std::function<std::string()>& fn) {
  auto prev = t_tool;
  t_tool = tool;
  t_cache_hit = false;
  mt::Instant start = mt::now();
  auto t0 = std::chrono::steady_clock::now();
  std::string out;
  bool error = false;
  try {
    out = fn();
  } catch (...) {
    error = true;
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    try {
      append_line_locked(log_file(mt::to_kst(start).date()),
                         dump_compact(json{{"tool", tool}, {"ts", mt::iso_kst(start)}, {"duration_ms", fmt::round_to(ms, 1)},
                                           {"output_chars", 0}, {"tokens", 0}, {"cache_hit", t_cache_hit}, {"error", true}}));
    } catch (...) {
    }
    t_tool = prev;
    throw;
  }
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  // A reply that opens with the warning sign is a failure the tool worded itself.
  error = fmt::starts_with(out, "⚠️");
  try {
    append_line_locked(log_file(mt::to_kst(start).date()),
                       dump_compact(json{{"tool", tool}, {"ts", mt::iso_kst(start)}, {"duration_ms", fmt::round_to(ms, 1)},
                                         {"output_chars", (long long)fmt::cp_len(out)}, {"tokens", estimate_tokens(out)},
                                         {"cache_hit", t_cache_hit}, {"error", error}}));
  } catch (...) {
  }
  t_tool = prev;
  return out;
}

std::optional<std::string> current_tool() { return t_tool; }
void mark_cache_hit() { t_cache_hit = true; }

void count_limitation(const std::string& name, const json& labels) {
  try {
    mt::Instant at = mt::now();
    std::string s = fmt::replace_all(mt::day_str(mt::to_kst(at).date()), "-", "");
    append_line_locked(home_dir() / "logs" / ("counters_" + s + ".jsonl"),
                       dump_compact(json{{"counter", name}, {"ts", mt::iso_kst(at)}, {"labels", labels}}));
  } catch (...) {
  }
}

json load_metrics(int days) {
  json out = json::array();
  mt::Day today = mt::to_kst(mt::now()).date();
  for (int i = days - 1; i >= 0; --i) {
    auto text = read_file(log_file(today - std::chrono::days(i)));
    if (!text) continue;
    std::istringstream in(*text);
    for (std::string line; std::getline(in, line);) {
      if (fmt::trim(line).empty()) continue;
      try {
        json j = json::parse(line);
        if (j.is_object() && j.contains("tool")) out.push_back(std::move(j));
      } catch (const json::exception&) {
        // a torn line left by a crash
      }
    }
  }
  return out;
}

json summarize_metrics(const json& entries) {
  std::vector<std::string> order;
  std::map<std::string, std::vector<const json*>> by;
  for (const auto& e : entries) {
    std::string t = e.value("tool", std::string());
    if (!by.count(t)) order.push_back(t);
    by[t].push_back(&e);
  }
  json out = json::object();
  for (const auto& t : order) {
    const auto& v = by[t];
    std::vector<double> d;
    double tokens = 0, hits = 0, errors = 0;
    for (const json* e : v) {
      d.push_back(e->value("duration_ms", 0.0));
      tokens += e->value("tokens", 0.0);
      if (e->value("cache_hit", false)) ++hits;
      if (e->value("error", false)) ++errors;
    }
    std::sort(d.begin(), d.end());
    auto pct = [&](double p) {
      size_t idx = size_t(std::ceil(p * double(d.size()))) ;
      idx = idx == 0 ? 0 : idx - 1;
      return d[std::min(idx, d.size() - 1)];
    };
    double sum = 0;
    for (double x : d) sum += x;
    double n = double(v.size());
    out[t] = json{{"call_count", v.size()},
                  {"avg_duration_ms", (long long)std::llround(sum / n)},
                  {"p50_duration_ms", (long long)std::llround(pct(0.5))},
                  {"p95_duration_ms", (long long)std::llround(pct(0.95))},
                  {"avg_tokens", (long long)std::llround(tokens / n)},
                  {"cache_hit_rate", fmt::round_to(hits / n * 100, 1)},
                  {"errors", (long long)errors},
                  {"total_output_tokens", (long long)tokens}};
  }
  return out;
}

std::string get_metrics_file() { return log_file(mt::to_kst(mt::now()).date()).string(); }

}  // namespace tessaro::metrics
