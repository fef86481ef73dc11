#pragma once
// What a tool's description says of each argument, read from the description
// itself, so the words an assistant reads and the schema's `description` of
// each property come from one text. An argument line is "name: text" (or
// "a, b: text" for several), inside an "Args:" section or on its own; lines
// indented below it continue it.
#include <map>
#include <string>
#include <vector>

namespace tessaro::server {

// The text for each of `names` the description speaks of; the first line that
// names an argument wins. Names the description does not mention are absent.
std::map<std::string, std::string> argument_docs(const std::string& description, const std::vector<std::string>& names);

}  // namespace tessaro::server
