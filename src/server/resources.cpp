#include "server/resources.hpp"

#include <map>
#include <mutex>

namespace tessaro::server {

namespace {
std::mutex& table_mutex() {
  static std::mutex m;
  return m;
}
// Registered once at start-up and never removed, so pointers into it stay valid.
std::map<std::string, ResourceDecl>& table() {
  static std::map<std::string, ResourceDecl> t;
  return t;
}
}  // namespace

ResourceRegistration::ResourceRegistration(ResourceDecl decl) {
  std::lock_guard<std::mutex> lk(table_mutex());
  std::string uri = decl.uri;
  table()[uri] = std::move(decl);
}

std::vector<ResourceDecl> resources() {
  std::lock_guard<std::mutex> lk(table_mutex());
  std::vector<ResourceDecl> out;
  for (const auto& [uri, d] : table()) out.push_back(d);
  return out;
}

const ResourceDecl* find_resource(const std::string& uri) {
  std::lock_guard<std::mutex> lk(table_mutex());
  auto it = table().find(uri);
  return it == table().end() ? nullptr : &it->second;
}

}  // namespace tessaro::server
