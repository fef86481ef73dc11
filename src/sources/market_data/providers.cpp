// Provider registry, runtime, routing with failover, and the disk cache.
#include <algorithm>
#include <mutex>

#include "core/files.hpp"
#include "sources/market_data/market_data.hpp"

namespace tessaro::market_data {

// ---- provider defaults ----------------------------------------------------------

json Provider::investor_flow(const std::string&, int, const std::string&, const ProviderContext&) {
  throw ProviderError(id() + " 는 투자자별 매매동향을 제공하지 않습니다.", id(), ST_UNSUPPORTED);
}

json Provider::supply_pressure(const std::string&, const std::string& kind, int, const ProviderContext&) {
  throw ProviderError(id() + " 는 " + kind + " 자료를 제공하지 않습니다.", id(), ST_UNSUPPORTED);
}

// ---- registry -------------------------------------------------------------------

namespace {

struct Registry {
  std::mutex mu;
  std::map<std::string, ProviderFactory> factories;
  std::map<std::string, std::shared_ptr<Provider>> built;
  std::map<std::string, std::shared_ptr<Provider>> overrides;
};

Registry& reg() {
  static Registry r;
  return r;
}

}  // namespace

ProviderRegistration::ProviderRegistration(const char* id, ProviderFactory factory) {
  std::lock_guard<std::mutex> lk(reg().mu);
  reg().factories[id] = factory;
}

const std::vector<std::string>& ids() {
  static const std::vector<std::string> v = {"kis", "kiwoom", "toss", "naver", "yahoo"};
  return v;
}

bool is_broker_id(const std::string& id) { return id == "kis" || id == "kiwoom" || id == "toss"; }

std::shared_ptr<Provider> provider(const std::string& id) {
  auto& r = reg();
  std::lock_guard<std::mutex> lk(r.mu);
  if (auto it = r.overrides.find(id); it != r.overrides.end()) return it->second;
  if (auto it = r.built.find(id); it != r.built.end()) return it->second;
  auto f = r.factories.find(id);
  if (f == r.factories.end()) return nullptr;
  auto p = f->second();
  r.built[id] = p;
  return p;
}

void override_provider_for_tests(const std::string& id, std::shared_ptr<Provider> p) {
  std::lock_guard<std::mutex> lk(reg().mu);
  if (p)
    reg().overrides[id] = std::move(p);
  else
    reg().overrides.erase(id);
}

// ---- runtime --------------------------------------------------------------------

std::vector<std::string> ProviderRuntime::providers_for(const std::string& market, const std::string& source) const {
  if (source != "auto") return {source};
  std::vector<std::string> out;
  ConnectionState s = load_state_v2();
  if (s.primary_provider) {
    auto p = provider(*s.primary_provider);
    const auto& prof = s.providers[*s.primary_provider].profile;
    if (p && p->intraday_capability(market, prof) == "available") out.push_back(*s.primary_provider);
  }
  if (market == "US") out.push_back("yahoo");
  // Without a broker that serves Korean minutes, Naver's public minute chart does.
  if (market == "KR" && out.empty()) out.push_back("naver");
  return out;
}

std::string ProviderRuntime::credential_issue(const std::string& id) const {
  if (!is_broker_id(id)) return "";
  ConnectionState s = load_state_v2();
  auto it = s.providers.find(id);
  if (it == s.providers.end())
    return id + " 증권사가 연결되어 있지 않습니다. `tessaro-mcp broker connect " + id + "`로 연결하세요.";
  if (it->second.app_key.empty() || it->second.app_secret.empty())
    return id + " 연결 정보에 앱 키 또는 시크릿이 없습니다. `tessaro-mcp broker connect " + id + "`로 다시 연결하세요.";
  return "";
}

ProviderContext ProviderRuntime::context_for(const std::string& id) const {
  ProviderContext c;
  c.provider = id;
  c.home = home();
  ConnectionState s = load_state_v2();
  if (auto it = s.providers.find(id); it != s.providers.end()) {
    c.profile = it->second.profile;
    c.app_key = it->second.app_key;
    c.app_secret = it->second.app_secret;
    c.account = it->second.account;
  }
  return c;
}

std::filesystem::path ProviderRuntime::home() const { return home_dir(); }

ProviderRuntime& runtime() {
  static ProviderRuntime rt;
  return rt;
}

// ---- routing --------------------------------------------------------------------

json Route::to_json() const {
  return {{"requested_source", requested_source},
          {"selected_provider", selected_provider},
          {"selection_reason", selection_reason},
          {"mode", mode},
          {"fallback_used", fallback_used},
          {"fallback_from", fallback_from ? json(*fallback_from) : json(nullptr)},
          {"primary_provider", primary_provider ? json(*primary_provider) : json(nullptr)},
          {"cache_hit", cache_hit}};
}

namespace {

const char* kNoBrokerKr =
    "연결된 증권사가 없어 국내 분봉을 받을 수 없습니다. `tessaro-mcp broker connect kis` (또는 kiwoom)로 증권사를 "
    "연결하세요. 일봉·주봉·월봉은 get_chart로 볼 수 있습니다.";

bool capable(const json& caps, const std::string& market) {
  const char* key = market == "US" ? "us_intraday" : "kr_intraday";
  return caps.is_object() && caps.value(key, false);
}

std::string source_interval_for(const std::string& id, const std::string& interval) {
  static const std::vector<std::string> yahoo_native = {"1m", "5m", "15m", "30m", "60m"};
  if (id == "yahoo" && std::find(yahoo_native.begin(), yahoo_native.end(), interval) != yahoo_native.end())
    return interval;
  return "1m";
}

}  // namespace

Route resolve_source(const std::string& mode, const std::string& market, const std::string&,
                     const std::string& requested_source, const json& capabilities,
                     const std::optional<std::string>& primary_provider) {
  Route r;
  r.requested_source = requested_source;
  r.mode = mode;
  r.primary_provider = primary_provider;
  if (requested_source != "auto") {
    auto p = provider(requested_source);
    if (!p) throw RouterError(requested_source + " 제공자를 사용할 수 없습니다.", ST_UNSUPPORTED, requested_source);
    if (is_broker_id(requested_source)) {
      std::string issue = runtime().credential_issue(requested_source);
      if (!issue.empty()) throw RouterError(issue, ST_NOT_CONFIGURED, requested_source);
    }
    std::string profile = runtime().context_for(requested_source).profile;
    std::string cap = p->intraday_capability(market, profile);
    if (cap != "available")
      throw RouterError(requested_source + " 는 " + market + " 분봉을 제공하지 않습니다.", ST_UNSUPPORTED,
                        requested_source);
    r.selected_provider = requested_source;
    r.selection_reason = "requested_source";
    r.candidates = {requested_source};
    return r;
  }
  if (primary_provider && capable(capabilities, market)) {
    r.selected_provider = *primary_provider;
    r.selection_reason = "primary_broker";
    r.candidates = {*primary_provider};
    if (market == "US") r.candidates.push_back("yahoo");
    return r;
  }
  if (market == "US") {
    r.selected_provider = "yahoo";
    r.selection_reason = primary_provider ? "primary_broker_lacks_market" : "public_default";
    r.candidates = {"yahoo"};
    return r;
  }
  // Korean minutes without a broker that serves them: Naver's public minute
  // chart (KRX, regular session), the route saying why.
  if (market == "KR" && provider("naver")) {
    r.selected_provider = "naver";
    r.selection_reason = primary_provider ? "primary_broker_lacks_market" : "public_default";
    r.candidates = {"naver"};
    return r;
  }
  if (primary_provider)
    throw RouterError(*primary_provider + " 는 국내 분봉을 제공하지 않습니다.", ST_UNSUPPORTED, *primary_provider);
  throw RouterError(kNoBrokerKr, ST_NOT_CONNECTED);
}

BarDataset fetch_with_failover(Route& route, const BarRequest& req, const ProviderRuntime& rt) {
  auto start = std::find(route.candidates.begin(), route.candidates.end(), route.selected_provider);
  if (start == route.candidates.end()) throw RouterError("선택된 제공자가 후보에 없습니다.", ST_UNAVAILABLE);
  std::optional<std::string> failed;
  for (auto it = start; it != route.candidates.end(); ++it) {
    const std::string& id = *it;
    bool last = std::next(it) == route.candidates.end();
    try {
      auto p = provider(id);
      if (!p) throw RouterError(id + " 제공자를 사용할 수 없습니다.", ST_UNSUPPORTED, id);
      std::string issue = rt.credential_issue(id);
      if (!issue.empty()) throw RouterError(issue, ST_NOT_CONFIGURED, id);
      BarRequest r = req;
      r.interval = source_interval_for(id, req.interval);
      BarDataset ds;
      try {
        ds = p->fetch_bars(r, rt.context_for(id));
      } catch (const ProviderError&) {
        throw;
      } catch (const HTTPError& e) {
        throw ProviderError(std::string(e.class_name()) + ": " + e.what(), id, ST_UNAVAILABLE);
      }
      if (ds.provider.empty()) ds.provider = id;
      if (ds.source_interval.empty()) ds.source_interval = r.interval;
      if (failed) {
        route.fallback_used = true;
        route.fallback_from = failed;
        route.selected_provider = id;
      }
      return ds;
    } catch (const ProviderError& e) {
      bool temporary = e.status() == ST_RATE_LIMITED || e.status() == ST_UNAVAILABLE;
      if (last || !temporary || route.requested_source != "auto") throw;
      failed = id;
    }
  }
  throw RouterError("분봉 제공자가 없습니다.", ST_UNAVAILABLE);
}

// ---- disk cache ------------------------------------------------------------------

ProviderCache::ProviderCache(std::filesystem::path root) : root_(std::move(root)) {}

namespace {
std::string safe_part(const json& v) {
  std::string s = v.is_string() ? v.get<std::string>() : v.is_null() ? std::string() : v.dump();
  std::string out;
  for (char c : s) out += (std::isalnum((unsigned char)c) || c == '-' || c == '.') ? c : '_';
  return out.empty() ? "_" : out;
}
}  // namespace

std::filesystem::path ProviderCache::path_of(const json& key) const {
  std::string name;
  for (const char* k : {"market", "symbol", "venue", "session", "source_interval", "trading_date", "cursor",
                        "adjustment", "profile"}) {
    if (!name.empty()) name += "_";
    name += safe_part(key.value(k, json()));
  }
  return root_ / safe_part(key.value("provider", json())) / (name + ".json");
}

std::optional<json> ProviderCache::get(const json& key) const {
  auto text = read_file(path_of(key));
  if (!text) return std::nullopt;
  try {
    json j = json::parse(*text);
    if (!j.is_object() || j.value("key", json()) != key) return std::nullopt;
    return j.value("entry", json());
  } catch (...) {
    return std::nullopt;
  }
}

void ProviderCache::put(const json& key, const json& entry) const {
  json j = {{"key", key}, {"entry", entry}};
  write_file_atomic(path_of(key), j.dump() + "\n");
}

}  // namespace tessaro::market_data
