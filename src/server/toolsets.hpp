#pragma once
// Toolsets: every tool belongs to one named group that follows the source layout.
// The host may switch groups on and off (TESSARO_TOOLSETS or --toolsets) so that
// the tool list an assistant pays for holds only what the user needs. A few tools
// are always on. A tool that is switched off is neither listed nor callable.
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessaro::server {

struct Toolset {
  std::string name;
  std::string summary;   // one line, shown by `tessaro-mcp tools`
};

// Every toolset, in the order of the source layout.
const std::vector<Toolset>& toolsets();
// The toolset of a catalogue tool ("" for a name that is not one).
const std::string& toolset_of(const std::string& tool);
// Tools that stay on whatever the selection.
const std::vector<std::string>& always_on_tools();
// What `default` stands for: the everyday Korean-stock set.
const std::vector<std::string>& default_toolsets();

// A selection text: toolset names separated by commas, `all` or `default` (which
// may be combined with names, e.g. "default,us"). Empty text means `all`.
struct ToolsetError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};
// The toolsets named by `text`; throws ToolsetError naming the unknown names and
// the valid ones.
std::set<std::string> parse_toolsets(const std::string& text);

// The process-wide selection. select_toolsets throws ToolsetError and then keeps
// the previous selection.
void select_toolsets(const std::string& text);
// `all` again (tests).
void reset_toolsets();
// The selection as it reads back: "all" or the chosen names in catalogue order.
std::string selected_toolsets_text();
bool tool_enabled(const std::string& tool);

// The reply to a call of a tool that is switched off.
std::string disabled_tool_text(const std::string& tool);

}  // namespace tessaro::server
