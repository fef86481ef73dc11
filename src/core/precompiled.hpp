#pragma once
// Precompiled header (TESSARO_PCH=ON). Besides the headers nearly every file reads,
// it instantiates the JSON operations the code uses everywhere, so that each file
// reuses them from the precompiled state instead of instantiating them again:
// that instantiation, not the parsing of the header, was most of a file's compile time.
#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/json.hpp"

namespace tessaro::precompiled_detail {

inline std::string use_common_json_operations(const std::string& text, const json& in) {
  json j = json::parse(text);
  json j2 = json::parse(text.begin(), text.end(), nullptr, false);
  json o = json::object();
  json a = json::array();
  o["s"] = in.value("s", std::string());
  o["c"] = in.value("c", "");
  o["j"] = in.value("j", json());
  o["n"] = in.value("n", json(nullptr));
  o["a"] = in.value("a", json::array());
  o["o"] = in.value("o", json::object());
  o["b"] = in.value("b", false);
  o["ll"] = in.value("ll", 0LL);
  o["i"] = in.value("i", 0);
  o["d"] = in.value("d", 0.0);
  o[std::string("k")] = in[std::string("k")];
  o["e"] = json{{"x", 1}, {"y", "z"}, {"w", nullptr}, {"v", 1.5}, {"u", true}};
  a.push_back(o);
  a.push_back("x");
  a.push_back(1);
  a.emplace_back(2.0);
  a.push_back(json::array({1, 2}));
  o["vs"] = std::vector<std::string>{"a"};
  o["vd"] = std::vector<double>{1.0};
  o["m"] = std::map<std::string, int>{{"a", 1}};
  std::string s = in.is_string() ? in.get<std::string>() : std::string();
  double d = in.is_number() ? in.get<double>() : 0.0;
  long long ll = in.is_number_integer() ? in.get<long long>() : 0;
  int i = in.is_number_integer() ? in.get<int>() : 0;
  bool b = in.is_boolean() ? in.get<bool>() : false;
  size_t z = in.is_number_unsigned() ? in.get<size_t>() : 0;
  auto vs = in.is_array() ? in.get<std::vector<std::string>>() : std::vector<std::string>();
  for (const auto& [k, v] : in.items()) o[k] = v;
  for (auto it = in.begin(); it != in.end(); ++it) o.emplace(it.key(), *it);
  for (const auto& v : in) a.push_back(v);
  if (in.contains("x") && in.at("x") == o["x"] && in.find("y") != in.end() && in["z"] == "z" && in["z"] != nullptr)
    o.erase("x");
  o.update(j);
  if (j2.is_discarded() || o.empty() || a.size() > z) o["t"] = s + std::to_string(d + ll + i + b + vs.size());
  return o.dump() + a.dump(2) + j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace tessaro::precompiled_detail
