#include "core/cli.hpp"

#include <map>

namespace tessaro {

namespace {
struct Cmd {
  std::string help;
  CliFn fn;
};
std::map<std::string, Cmd>& cmds() {
  static std::map<std::string, Cmd> m;
  return m;
}
}  // namespace

CliCommand::CliCommand(const char* name, const char* help, CliFn fn) { cmds()[name] = Cmd{help, std::move(fn)}; }

const CliFn* find_cli_command(const std::string& name) {
  auto it = cmds().find(name);
  return it == cmds().end() ? nullptr : &it->second.fn;
}

std::string cli_help() {
  std::string out;
  for (auto& [name, c] : cmds()) out += "  tessaro-mcp " + name + " ...  " + c.help + "\n";
  return out;
}

}  // namespace tessaro
