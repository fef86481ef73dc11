// Entry point: `tessaro-mcp` serves MCP over stdio; `tessaro-mcp tools` lists the
// tools; `tessaro-mcp call TOOL '{json}'` runs one tool; `tessaro-mcp broker ...`
// manages broker connections; `--help` and `--version` answer on stdout.
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>

#include "core/cli.hpp"
#include "server/entry.hpp"

namespace {

std::string own_path(const char* argv0) {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(argv0) : p.string();
}

}  // namespace

int main(int argc, char** argv) {
  std::string first = argc > 1 ? argv[1] : "";
  if (first == "--version" || first == "-V") {
    std::cout << "tessaro-mcp " << TESSARO_VERSION << "\n";
    return 0;
  }
  if (first == "--help" || first == "-h" || first == "help") {
    std::cout << tessaro::usage_text();
    return 0;
  }
  // Started by hand rather than by a host: say what this is (stderr; stdout stays JSON-RPC only).
  if ((argc == 1 || (first == "serve" && argc == 2)) && ::isatty(STDIN_FILENO)) std::cerr << tessaro::terminal_hint(own_path(argv[0]));
  return tessaro::server::entry(argc, argv);
}
