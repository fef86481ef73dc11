#include "server/entry.hpp"

#include <cstdio>

namespace tessaro::server {
int entry(int, char**) { return 0; }
}
