// The floors of src/: a file includes only its own floor or lower ones, and a tool
// family never includes another (tools/kr/common serves every Korean family).
// market_time and analysis are pure rules and computations: they never include
// sources/, whatever they need from a source is handed to them. mcp/ is the
// protocol: it includes core/ alone and reaches the tools through its Host.
// Every offending include is named as file:line, so one run lists them all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Lowest first: core -> sources -> market_time -> analysis -> mcp -> server ->
// tools, workbooks -> main.cpp.
struct Place {
  int floor = -1;      // -1: outside every floor
  std::string name;    // the floor's name, for the message
  std::string family;  // top floor only: the tool family ("tools/kr/flow", "workbooks", ...)
};

Place place_of(const std::string& rel) {   // rel: path under src/, '/' separated
  auto starts = [&](const char* p) { return rel.rfind(p, 0) == 0; };
  if (rel == "main.cpp") return {7, "main", ""};
  if (starts("core/")) return {0, "core", ""};
  if (starts("sources/")) return {1, "sources", ""};
  if (starts("market_time/")) return {2, "market_time", ""};
  if (starts("analysis/")) return {3, "analysis", ""};
  if (starts("mcp/")) return {4, "mcp", ""};
  if (starts("server/")) return {5, "server", ""};
  if (starts("workbooks/")) return {6, "tools", "workbooks"};
  if (starts("tools/")) {
    // tools/kr/<family>/..., tools/<family>/..., or a file of its own in tools/.
    std::vector<std::string> parts;
    std::stringstream ss(rel);
    for (std::string part; std::getline(ss, part, '/');) parts.push_back(part);
    std::string family;
    if (parts.size() >= 4 && parts[1] == "kr") family = "tools/kr/" + parts[2];
    else family = "tools/" + parts[1];
    return {6, "tools", family};
  }
  return {};
}

// Why `from` may not include `to`; nullopt when it may.
std::optional<std::string> violation(const std::string& from, const std::string& to) {
  Place a = place_of(from), b = place_of(to);
  if (a.floor < 0) return "file outside every floor";
  if (b.floor < 0) return "includes a file outside every floor: " + to;
  if (b.floor > a.floor)
    return "floor " + a.name + " includes " + to + " from the higher floor " + b.name;
  if ((a.name == "market_time" || a.name == "analysis") && b.name == "sources")
    return "floor " + a.name + " is pure and includes the source " + to + " (hand it in instead)";
  if (a.name == "mcp" && b.name != "core" && b.name != "mcp")
    return "the protocol floor mcp includes " + to + " (it knows only core/; the rest comes through its Host)";
  if (a.floor == 6 && b.floor == 6 && a.family != b.family) {
    bool kr_common = b.family == "tools/kr/common" && a.family.rfind("tools/kr/", 0) == 0;
    if (!kr_common) return "tool family " + a.family + " includes " + to + " of the family " + b.family;
  }
  return std::nullopt;
}

struct Offence {
  std::string where;   // "src/x/y.cpp:12"
  std::string why;
};

// Every quoted include of every file under `src` that resolves to a file of the
// tree (beside the including file first, then from src/ as the compiler does).
std::vector<Offence> scan(const fs::path& src) {
  std::vector<Offence> out;
  static const std::regex include_re(R"(^\s*#\s*include\s*"([^"]+)\")");
  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(src))
    if (e.is_regular_file() && (e.path().extension() == ".cpp" || e.path().extension() == ".hpp"))
      files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    std::string from = file.lexically_relative(src).generic_string();
    std::ifstream in(file);
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
      std::smatch m;
      if (!std::regex_search(line, m, include_re)) continue;
      fs::path target = (file.parent_path() / m[1].str()).lexically_normal();
      if (!fs::exists(target)) target = (src / m[1].str()).lexically_normal();
      if (!fs::exists(target)) continue;   // not one of ours
      std::string to = target.lexically_relative(src).generic_string();
      if (auto why = violation(from, to))
        out.push_back({"src/" + from + ":" + std::to_string(n), *why});
    }
  }
  return out;
}

TEST(Floors, RulesForOneInclude) {
  // Down a floor and within a floor: fine.
  EXPECT_FALSE(violation("market_time/bar_state.cpp", "core/json.hpp"));
  EXPECT_FALSE(violation("sources/naver/quotes.cpp", "core/clock.hpp"));
  EXPECT_FALSE(violation("analysis/event_reaction/event_reaction.cpp", "market_time/clock.hpp"));
  EXPECT_FALSE(violation("analysis/indicators/period_columns.cpp", "analysis/indicators/split_bars.hpp"));
  EXPECT_FALSE(violation("server/source_rules.cpp", "sources/naver/naver.hpp"));
  EXPECT_FALSE(violation("tools/us/quotes.cpp", "server/tool_helpers.hpp"));
  EXPECT_FALSE(violation("workbooks/scan.cpp", "analysis/indicators/indicators.hpp"));
  EXPECT_FALSE(violation("tools/kr/flow/flow.cpp", "tools/kr/flow/flow.hpp"));
  EXPECT_FALSE(violation("tools/kr/quotes/price.cpp", "tools/kr/common/kr_common.hpp"));
  EXPECT_FALSE(violation("main.cpp", "server/entry.hpp"));
  EXPECT_FALSE(violation("mcp/http_transport.cpp", "mcp/protocol.hpp"));
  EXPECT_FALSE(violation("mcp/protocol.cpp", "core/call_context.hpp"));
  EXPECT_FALSE(violation("server/mcp.cpp", "mcp/protocol.hpp"));
  // Up a floor.
  EXPECT_TRUE(violation("sources/naver/quotes.cpp", "market_time/clock.hpp"));
  EXPECT_TRUE(violation("sources/naver/lists.cpp", "analysis/indicators/split_bars.hpp"));
  EXPECT_TRUE(violation("core/format.cpp", "sources/http.hpp"));
  EXPECT_TRUE(violation("server/meta.cpp", "tools/kr/common/kr_common.hpp"));
  // The pure floors never reach a source.
  EXPECT_TRUE(violation("market_time/bar_state.cpp", "sources/naver/naver.hpp"));
  EXPECT_TRUE(violation("analysis/screener/intraday.hpp", "sources/market_data/market_data.hpp"));
  // Across tool families; the Korean common helpers only for Korean tools.
  EXPECT_TRUE(violation("tools/us/quotes.cpp", "tools/kr/common/kr_common.hpp"));
  EXPECT_TRUE(violation("tools/intraday/intraday_tools.cpp", "tools/kr/common/kr_common.hpp"));
  EXPECT_TRUE(violation("workbooks/export.cpp", "tools/kr/common/kr_common.hpp"));
  EXPECT_TRUE(violation("tools/kr/flow/evidence.cpp", "tools/intraday/intraday.hpp"));
  EXPECT_TRUE(violation("tools/kr/common/kr_common.hpp", "tools/kr/news/move_context.hpp"));
  // The protocol knows no tool, no source and no host above it.
  EXPECT_TRUE(violation("mcp/protocol.cpp", "server/registry.hpp"));
  EXPECT_TRUE(violation("mcp/http_transport.cpp", "sources/http.hpp"));
  EXPECT_TRUE(violation("mcp/protocol.cpp", "market_time/clock.hpp"));
  // A file in no floor.
  EXPECT_TRUE(violation("misc/x.cpp", "core/json.hpp"));
}

TEST(Floors, NoIncludeGoesUpAFloorOrAcrossToolFamilies) {
  // TESSARO_FLOORS_ROOT checks another checkout (an older commit, say) instead.
  const char* root = std::getenv("TESSARO_FLOORS_ROOT");
  fs::path src = fs::path(root && *root ? root : TESSARO_SOURCE_DIR) / "src";
  ASSERT_TRUE(fs::is_directory(src)) << src;
  auto offences = scan(src);
  for (const auto& o : offences) ADD_FAILURE() << o.where << ": " << o.why;
  EXPECT_TRUE(offences.empty()) << offences.size() << " includes break the floors";
}

}  // namespace
