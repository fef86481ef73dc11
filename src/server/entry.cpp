#include "server/entry.hpp"

#include <cstdio>
#include <cstdlib>

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <iostream>
#include <string>
#include <vector>

#include "core/cli.hpp"
#include "core/errors.hpp"
#include "core/files.hpp"
#include "mcp/http_transport.hpp"
#include "server/mcp.hpp"
#include "server/registry.hpp"
#include "server/toolsets.hpp"
#include "sources/user_notice.hpp"

namespace tessaro::server {

namespace {

void usage() {
  std::cerr << "usage:\n"
               "  tessaro-mcp                     serve MCP over stdin/stdout\n"
               "  tessaro-mcp serve --http [--host 127.0.0.1] [--port 8765]\n"
               "                                  serve MCP over Streamable HTTP at /mcp\n"
               "  tessaro-mcp tools               list the tools by toolset (name and first description line)\n"
               "  tessaro-mcp call TOOL '{json}'  run one tool and print its reply\n"
               "  --toolsets LIST                 toolsets to serve (also TESSARO_TOOLSETS): comma list, all, default\n"
            << cli_help();
}

std::string first_line(const std::string& s) {
  auto nl = s.find('\n');
  return nl == std::string::npos ? s : s.substr(0, nl);
}

// The tools grouped by toolset, each group marked on or off for the current
// selection; the always-on tools are marked as such.
int cmd_tools() {
  std::cout << "toolsets: " << selected_toolsets_text() << " (default = " << [] {
    std::string s;
    for (const auto& n : default_toolsets()) s += (s.empty() ? "" : ",") + n;
    return s;
  }() << ")\n";
  const auto& always = always_on_tools();
  for (const auto& set : toolsets()) {
    std::vector<const ToolEntry*> members;
    for (const auto& entry : catalogue())
      if (toolset_of(entry.name) == set.name) members.push_back(&entry);
    bool on = std::any_of(members.begin(), members.end(), [](const ToolEntry* e) {
      return tool_enabled(e->name) && std::find(always_on_tools().begin(), always_on_tools().end(), e->name) ==
                                          always_on_tools().end();
    });
    std::cout << "\n[" << set.name << "] " << set.summary << (on ? "" : " (off)") << "\n";
    for (const ToolEntry* e : members) {
      bool fixed = std::find(always.begin(), always.end(), e->name) != always.end();
      std::cout << "  " << e->name << (fixed ? " (always on)" : "") << "  " << first_line(description_of(e->name))
                << "\n";
    }
  }
  return 0;
}

int cmd_call(int argc, char** argv) {
  if (argc < 3) {
    usage();
    return 2;
  }
  json args = json::object();
  if (argc >= 4) {
    try {
      args = json::parse(argv[3]);
    } catch (const json::parse_error& e) {
      std::cerr << "arguments are not valid JSON: " << e.what() << "\n";
      return 2;
    }
  }
  try {
    std::cout << call_tool(argv[2], args) << "\n";
  } catch (const ArgumentError& e) {
    std::cerr << e.what() << "\n";
    return 2;
  }
  return 0;
}

// What every serving mode does first.
void serve_prelude() {
  check_write_tools();
  notice::mark_start(home_dir());
  // Temp files of processes killed mid-write, down to the daily-bar cache
  // (cache/bars/<source>/<timeframe>/).
  remove_stale_temp_files(home_dir(), 5);
  notice::start_usage_report("tessaro", TESSARO_VERSION);
}

int serve_stdio() {
  serve_prelude();
  std::ios::sync_with_stdio(false);
  // Reading must never flush stdout behind the writer's back: only the server's
  // one writer touches std::cout, whole lines under its lock.
  std::cin.tie(nullptr);
  serve(std::cin, std::cout);
  // The host closed the connection. The usage report thread is detached and may be
  // inside the time-zone database right now: end the process without running the
  // static destructors under it.
  std::cout.flush();
  std::fflush(nullptr);
  std::_Exit(0);
}

// `serve [--http [--host H] [--port N]]`: stdio unless --http.
int cmd_serve(int argc, char** argv) {
  std::vector<std::string> args(argv + 2, argv + argc);
  for (const auto& a : args)
    if (a == "-h" || a == "--help") {
      usage();
      return 0;
    }
  bool http = false;
  mcp::HttpOptions opt;
  if (auto err = mcp::parse_serve_args(args, http, opt)) {
    std::cerr << "tessaro-mcp serve: " << *err << "\n";
    usage();
    return 2;
  }
  if (!http) return serve_stdio();
  if (auto why = mcp::refuse_reason(opt)) {
    std::cerr << "tessaro-mcp: " << *why << "\n";
    return 2;
  }
  serve_prelude();
  int rc = mcp::serve_http(opt, tool_host());
  std::fflush(nullptr);
  std::_Exit(rc);
}

// Takes "--toolsets LIST" / "--toolsets=LIST" out of the arguments; the option
// wins over TESSARO_TOOLSETS. False (after saying why on stderr) when a name is
// not a toolset.
bool apply_toolsets(int& argc, char** argv) {
  std::optional<std::string> chosen;
  int out = 1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--toolsets" && i + 1 < argc) {
      chosen = argv[++i];
    } else if (a.rfind("--toolsets=", 0) == 0) {
      chosen = a.substr(11);
    } else {
      argv[out++] = argv[i];
    }
  }
  argc = out;
  argv[argc] = nullptr;
  if (!chosen)
    if (const char* env = std::getenv("TESSARO_TOOLSETS")) chosen = env;
  if (!chosen) return true;
  try {
    select_toolsets(*chosen);
  } catch (const ToolsetError& e) {
    std::cerr << "tessaro-mcp: TESSARO_TOOLSETS/--toolsets — " << e.what() << "\n";
    return false;
  }
  return true;
}

}  // namespace

int entry(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  if (!apply_toolsets(argc, argv)) return 2;
  if (argc <= 1) return serve_stdio();
  std::string cmd = argv[1];
  if (cmd == "tools") return cmd_tools();
  if (cmd == "call") return cmd_call(argc, argv);
  if (cmd == "serve") return cmd_serve(argc, argv);
  if (cmd == "-h" || cmd == "--help" || cmd == "help") {
    usage();
    return 0;
  }
  if (const CliFn* fn = find_cli_command(cmd)) return (*fn)(argc - 1, argv + 1);
  usage();
  return 2;
}

}  // namespace tessaro::server
