#pragma once
// Sub-commands of the tessaro-mcp binary contributed by lower floors
// (e.g. "broker"). A module registers its command with a static CliCommand.
#include <functional>
#include <string>

namespace tessaro {

using CliFn = std::function<int(int argc, char** argv)>;   // argv[0] is the sub-command

struct CliCommand {
  CliCommand(const char* name, const char* help, CliFn fn);
};

// nullptr when no module registered `name`.
const CliFn* find_cli_command(const std::string& name);
std::string cli_help();

// `tessaro-mcp --help`: what the binary is, every command and the environment.
std::string usage_text();
// Shown on stderr when someone starts the server by hand in a terminal: what this is,
// that it talks MCP on stdin/stdout, the host entry for `binary`, a tool to try, how
// to stop.
std::string terminal_hint(const std::string& binary);

}  // namespace tessaro
