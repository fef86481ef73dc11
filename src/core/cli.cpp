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

namespace tessaro {

namespace {
const char* version() {
#ifdef TESSARO_VERSION
  return TESSARO_VERSION;
#else
  return "dev";
#endif
}
}  // namespace

std::string usage_text() {
  return std::string("tessaro-mcp ") + version() +
         " - MCP tool server: Korean and US stock market data for an AI assistant.\n"
         "\n"
         "usage:\n"
         "  tessaro-mcp                     serve MCP over stdin/stdout (what an MCP host runs)\n"
         "  tessaro-mcp serve --http [--host 127.0.0.1] [--port 8765]\n"
         "                                  serve MCP over Streamable HTTP at /mcp (a token in\n"
         "                                  TESSARO_HTTP_TOKEN is required beyond loopback)\n"
         "  tessaro-mcp tools               list the tools by toolset (name and first description line)\n"
         "  tessaro-mcp call TOOL '{json}'  run one tool and print its reply\n"
         "  --toolsets LIST                 serve only these toolsets: comma list, all (default) or default\n" +
         cli_help() +
         "  tessaro-mcp --help | --version\n"
         "\n"
         "environment: TESSARO_HOME (default ~/.tessaro), TESSARO_SEC_CONTACT (name and e-mail sent to SEC\n"
         "EDGAR; the US filing tools need it), TZ (the user's time zone), TESSARO_TOOLSETS (as --toolsets).\n";
}

std::string terminal_hint(const std::string& binary) {
  return std::string("Tessaro (tessaro-mcp ") + version() +
         ") - 한국·미국 주식 데이터를 AI 어시스턴트에 주는 MCP 도구 서버입니다 / an MCP tool server for Korean and US "
         "stock data.\n"
         "지금 표준입력·표준출력으로 MCP(JSON-RPC) 메시지를 기다립니다 - it speaks MCP on stdin/stdout; an MCP host "
         "starts it. 호스트에 추가하기 / add it to a host (claude_desktop_config.json):\n"
         "  {\"mcpServers\": {\"tessaro\": {\"command\": \"" +
         binary +
         "\", \"env\": {\"TESSARO_SEC_CONTACT\": \"Your Name you@example.com\", \"TZ\": \"Asia/Seoul\"}}}}\n"
         "도구 하나 해 보기 / try a tool: tessaro-mcp call get_market_clock   ·   끝내기 / stop: Ctrl-D\n";
}

}  // namespace tessaro
