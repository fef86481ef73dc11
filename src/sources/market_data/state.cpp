// The broker connection state: one JSON file under the home directory, mode 0600
// (its temp copy too, from the first byte), written atomically. Keys are kept in the file; `raw` (and anything shown to a
// user) never carries them.
#include "core/files.hpp"
#include "core/secrets.hpp"
#include "sources/market_data/market_data.hpp"

namespace tessaro::market_data {

std::filesystem::path state_path() { return home_dir() / "brokers" / "connections.json"; }

namespace {

json public_view(const json& file) {
  json out = file;
  if (out.contains("providers") && out["providers"].is_object())
    for (auto& [id, p] : out["providers"].items()) {
      if (!p.is_object()) continue;
      for (const char* k : {"app_key", "app_secret", "account"})
        if (p.contains(k)) p[k] = p[k].is_string() && !p[k].get<std::string>().empty() ? "***" : "";
    }
  return out;
}

std::string str_of(const json& j, const char* k) {
  return j.is_object() && j.contains(k) && j[k].is_string() ? j[k].get<std::string>() : std::string();
}

}  // namespace

ConnectionState load_state_v2() {
  ConnectionState s;
  auto text = read_file(state_path());
  if (!text) return s;
  json j;
  try {
    j = json::parse(*text);
  } catch (...) {
    return s;
  }
  if (!j.is_object()) return s;
  if (j.contains("data_source_mode") && j["data_source_mode"].is_string())
    s.data_source_mode = j["data_source_mode"].get<std::string>();
  if (j.contains("primary_provider") && j["primary_provider"].is_string() &&
      !j["primary_provider"].get<std::string>().empty())
    s.primary_provider = j["primary_provider"].get<std::string>();
  if (j.contains("routing_generation") && j["routing_generation"].is_number_integer())
    s.routing_generation = j["routing_generation"].get<long long>();
  if (j.contains("connection_generation") && j["connection_generation"].is_number_integer())
    s.connection_generation = j["connection_generation"].get<long long>();
  if (j.contains("providers") && j["providers"].is_object())
    for (const auto& [id, p] : j["providers"].items()) {
      ProviderProfile pp;
      pp.profile = str_of(p, "profile");
      pp.app_key = str_of(p, "app_key");
      pp.app_secret = str_of(p, "app_secret");
      pp.account = str_of(p, "account");
      pp.connected_at = str_of(p, "connected_at");
      // Known as secrets from the moment they are read: nothing written later
      // (a recording, doctor's report, an error text) may carry them.
      for (const std::string* v : {&pp.app_key, &pp.app_secret, &pp.account}) secrets::remember(*v);
      s.providers[id] = pp;
    }
  // A primary provider whose entry is gone is not connected.
  if (s.primary_provider && !s.providers.count(*s.primary_provider)) s.primary_provider.reset();
  s.raw = public_view(j);
  return s;
}

void save_state_v2(const ConnectionState& s) {
  json j = {{"version", 2},
            {"data_source_mode", s.data_source_mode},
            {"primary_provider", s.primary_provider ? json(*s.primary_provider) : json(nullptr)},
            {"routing_generation", s.routing_generation},
            {"connection_generation", s.connection_generation},
            {"providers", json::object()}};
  for (const auto& [id, p] : s.providers)
    j["providers"][id] = {{"profile", p.profile},
                          {"app_key", p.app_key},
                          {"app_secret", p.app_secret},
                          {"account", p.account},
                          {"connected_at", p.connected_at}};
  write_file_atomic(state_path(), j.dump(2) + "\n", 0600);
  // Copies of the keys left by a writer that died mid-save go with every
  // change of the state (a disconnect included).
  remove_stale_temp_files(state_path().parent_path(), 0);
}

json provider_capabilities_v2(const ConnectionState&, const std::string& active_provider,
                              const std::optional<std::string>& active_profile) {
  json out = json::object();
  auto p = provider(active_provider);
  for (const char* m : {"KR", "US"})
    out[m] = p ? p->intraday_capability(m, active_profile.value_or("")) : std::string(ST_UNSUPPORTED);
  return out;
}

}  // namespace tessaro::market_data
