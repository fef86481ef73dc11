#pragma once
namespace tessaro::server {
// Parses the command line and runs the server or a CLI command.
int entry(int argc, char** argv);
}
