#pragma once
// The watchlist shared with Dorvik and Skaldo: <home>/watchlist.json, re-read on
// every call and written atomically.
#include <string>
#include <vector>

#include "core/json.hpp"

namespace tessaro::wl {

json load();                                   // array of {code, name, ...}
std::vector<std::string> codes();
bool add(const std::string& code, const std::string& name);   // false when already there
bool remove(const std::string& code);          // false when absent
void clear();

}  // namespace tessaro::wl
