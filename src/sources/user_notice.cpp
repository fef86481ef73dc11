#include "sources/user_notice.hpp"

#include <thread>

#include "core/files.hpp"
#include "core/format.hpp"
#include "core/json.hpp"
#include "core/clock.hpp"
#include "sources/metrics.hpp"

namespace tessaro::notice {

namespace {
// "1.10.2" > "1.9.0"
bool newer(const std::string& a, const std::string& b) {
  auto parts = [](const std::string& s) {
    std::vector<long long> v;
    std::string cur;
    for (char c : s + ".") {
      if (c == '.') {
        v.push_back(fmt::parse_int(cur).value_or(0));
        cur.clear();
      } else {
        cur.push_back(c);
      }
    }
    return v;
  };
  return parts(a) > parts(b);
}
}  // namespace

std::string update_notice(const std::string& product, const std::string&, const std::string& version,
                          const std::filesystem::path& home) {
  auto text = read_file(home / "cache" / "update_check.json");
  if (!text) return "";
  try {
    json j = json::parse(*text);
    std::string latest = j.value("latest_version", std::string());
    if (latest.empty() || !newer(latest, version)) return "";
    std::string msg = j.value("message", std::string());
    if (msg.empty())
      msg = product + " " + latest + " 업데이트가 있어요. Orvane Manager의 " + product + " 카드에서 [업데이트]를 눌러 주세요.";
    return "📢 Orvane 안내: " + msg;
  } catch (...) {
    return "";
  }
}

void mark_start(const std::filesystem::path& home) {
  try {
    write_file_atomic(home / "state" / "last_start.json",
                      dump_compact(json{{"started_at", mt::iso_kst(mt::now())}, {"version", TESSARO_VERSION}}));
  } catch (...) {
  }
}

void start_usage_report(const std::string& product, const std::string& version) {
  std::thread([product, version] {
    for (;;) {
      try {
        json stats = metrics::summarize_metrics(metrics::load_metrics(1));
        std::string day = fmt::replace_all(mt::to_kst(mt::now()).date_str(), "-", "");
        write_file_atomic(home_dir() / "logs" / ("usage_summary_" + day + ".json"),
                          dump_compact(json{{"product", product}, {"version", version}, {"tools", stats}}));
      } catch (...) {
      }
      std::this_thread::sleep_for(std::chrono::minutes(10));
    }
  }).detach();
}

}  // namespace tessaro::notice
