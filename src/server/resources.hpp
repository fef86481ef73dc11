#pragma once
// Resources the server offers (resources/list, resources/read). A file registers
// what it serves, as tools do:
//
//   const tessaro::server::ResourceRegistration reg{{"ui://tessaro/chart", "chart", ...}};
//
// Listed in the order of their URIs. `read` runs when a host reads the resource
// and returns its text; it may throw, and the host then answers with an error.
#include <functional>
#include <string>
#include <vector>

#include "core/json.hpp"

namespace tessaro::server {

struct ResourceDecl {
  std::string uri;
  std::string name;
  std::string title;
  std::string description;
  std::string mime_type;
  std::function<std::string()> read;
  json meta = nullptr;   // `_meta` of the listing and of the read contents, or null
  // How long a client may keep what it read, and whether a shared cache may
  // (a text that is the same for everyone) or only this caller's ("private").
  long long ttl_ms = 0;
  std::string cache_scope = "private";
};

struct ResourceRegistration {
  explicit ResourceRegistration(ResourceDecl decl);
};

std::vector<ResourceDecl> resources();
// nullptr when no resource has that URI.
const ResourceDecl* find_resource(const std::string& uri);

}  // namespace tessaro::server
