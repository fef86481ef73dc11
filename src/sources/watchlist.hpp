#pragma once
// The watchlist shared with Dorvik and Skaldo: <home>/watchlist.json, re-read on
// every call and written atomically. Writers in this process are serialised, and
// an advisory lock on <home>/watchlist.json.lock keeps other programs' writes
// from interleaving with ours.
#include <string>
#include <utility>
#include <vector>

#include "core/json.hpp"
#include "core/lookup.hpp"

namespace tessaro::wl {

json load();                                   // array of {code, name, ...}, in stored order
std::vector<std::string> codes();
// The codes for decoration (the ⭐ mark): a file that cannot be read is a failed
// lookup whose reason names the file, never an error of the calling tool.
Lookup<std::vector<std::string>> try_codes();
// (added, reason): reason says why not (already there, bad code).
std::pair<bool, std::string> add(const std::string& code, const std::string& name);
// Removes the first item whose code (any case) or name equals the trimmed query;
// returns it, or null when nothing matched.
json remove(const std::string& query);
int clear();                                   // number of items removed

}  // namespace tessaro::wl
