// Entry point: `tessaro-mcp` serves MCP over stdio; `tessaro-mcp tools` lists the
// tools; `tessaro-mcp call TOOL '{json}'` runs one tool; `tessaro-mcp broker ...`
// manages broker connections.
#include "server/entry.hpp"

int main(int argc, char** argv) { return tessaro::server::entry(argc, argv); }
