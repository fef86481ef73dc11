#include "sources/recording.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <vector>

#include "core/errors.hpp"
#include "core/files.hpp"
#include "core/format.hpp"
#include "core/json.hpp"
#include "core/secrets.hpp"

namespace tessaro::http::recording {

namespace fs = std::filesystem;

namespace {

const char* kGroups[] = {"NAVER", "YAHOO", "SEC", "KIS", "KIWOOM", "TOSS"};

// Response headers worth keeping: they change how an answer is read or retried.
// Everything else (set-cookie above all) is dropped.
const char* kKeptHeaders[] = {"content-type", "location",      "retry-after", "date",
                              "last-modified", "etag",         "cache-control", "expires",
                              "content-language", "x-ratelimit-limit", "x-ratelimit-remaining",
                              "x-ratelimit-reset"};

std::string lower(std::string s) {
  for (auto& c : s) c = (char)std::tolower((unsigned char)c);
  return s;
}

// Base URLs of the tests undone: "$TESSARO_NAVER_BASE_URL/m.stock.naver.com/x" -> "https://m.stock.naver.com/x".
std::string unbased(const std::string& url) {
  for (const char* g : kGroups) {
    std::string b = env_or(("TESSARO_" + std::string(g) + "_BASE_URL").c_str(), "");
    while (!b.empty() && b.back() == '/') b.pop_back();
    if (!b.empty() && url.size() > b.size() + 1 && url.compare(0, b.size(), b) == 0 && url[b.size()] == '/')
      return "https://" + url.substr(b.size() + 1);
  }
  return url;
}

std::string mask_query(const std::string& url) {
  auto q = url.find('?');
  if (q == std::string::npos) return url;
  std::string head = url.substr(0, q + 1), rest = url.substr(q + 1), frag;
  if (auto h = rest.find('#'); h != std::string::npos) {
    frag = rest.substr(h);
    rest = rest.substr(0, h);
  }
  std::vector<std::string> out;
  size_t b = 0;
  while (b <= rest.size()) {
    size_t e = rest.find('&', b);
    if (e == std::string::npos) e = rest.size();
    std::string pair = rest.substr(b, e - b);
    auto eq = pair.find('=');
    std::string name = eq == std::string::npos ? pair : pair.substr(0, eq);
    if (eq != std::string::npos && secret_name(name)) pair = name + "=***";
    out.push_back(pair);
    b = e + 1;
  }
  return head + fmt::join(out, "&") + frag;
}

std::string host_of(const std::string& url) {
  auto p = url.find("://");
  size_t b = p == std::string::npos ? 0 : p + 3;
  size_t e = url.find_first_of("/?#", b);
  return url.substr(b, e == std::string::npos ? std::string::npos : e - b);
}

std::string safe_name(const std::string& s, size_t max) {
  std::string o;
  for (char c : s) {
    bool ok = std::isalnum((unsigned char)c) || c == '.' || c == '-' || c == '=' || c == ',';
    char w = ok ? c : '_';
    if (w == '_' && !o.empty() && o.back() == '_') continue;
    o.push_back(w);
    if (o.size() >= max) break;
  }
  while (!o.empty() && (o.front() == '_' || o.front() == '.')) o.erase(0, 1);
  while (!o.empty() && o.back() == '_') o.pop_back();
  return o.empty() ? "root" : o;
}

bool mask_json(json& j) {
  bool changed = false;
  if (j.is_object()) {
    for (auto it = j.begin(); it != j.end(); ++it) {
      if (secret_name(it.key()) && (it.value().is_string() || it.value().is_number())) {
        if (!(it.value().is_string() && it.value().get<std::string>().empty())) {
          it.value() = "***";
          changed = true;
        }
      } else {
        changed = mask_json(it.value()) || changed;
      }
    }
  } else if (j.is_array()) {
    for (auto& v : j) changed = mask_json(v) || changed;
  }
  return changed;
}

std::string utc_stamp() {
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &tm);
  return buf;
}

std::atomic<long> g_seq{0};

// ---- replay index -------------------------------------------------------------

struct Index {
  std::string dir;
  std::map<std::string, std::vector<fs::path>> by_key;   // "GET https://..." -> sidecars, oldest first
  std::map<std::string, size_t> served;
};

std::mutex g_index_m;
Index* g_index = nullptr;

std::string key_of(const std::string& method, const std::string& canonical) {
  return fmt::upper(method) + " " + canonical;
}

void build(Index& ix) {
  std::error_code ec;
  std::vector<fs::path> sidecars;
  for (fs::recursive_directory_iterator it(ix.dir, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file(ec) && it->path().extension() == ".json") sidecars.push_back(it->path());
  std::sort(sidecars.begin(), sidecars.end());
  for (const auto& p : sidecars) {
    auto text = read_file(p);
    if (!text) continue;
    json side = json::parse(*text, nullptr, false);
    if (!side.is_object() || !side.contains("url") || !side.contains("body_file")) continue;
    ix.by_key[key_of(side.value("method", std::string("GET")), side.value("url", std::string()))].push_back(p);
  }
}

}  // namespace

bool secret_name(const std::string& name_in) {
  std::string n = lower(name_in);
  static const char* kParts[] = {"token", "secret", "appkey", "app_key", "apikey", "api_key", "password",
                                 "passwd", "authorization", "cookie", "crumb", "account", "acnt", "acct",
                                 "approval", "signature"};
  for (const char* p : kParts)
    if (n.find(p) != std::string::npos) return true;
  return n == "cano" || n == "key" || n == "sessionid";
}

bool recording() { return !env_or("TESSARO_RECORD_DIR", "").empty(); }
bool replaying() { return !env_or("TESSARO_REPLAY_DIR", "").empty(); }

std::string canonical_url(const std::string& url) { return secrets::mask(mask_query(unbased(url))); }

std::string mask_body(const std::string& body_in) {
  // Values the process knows to be secret, wherever they stand (an upstream that
  // echoes its request into an error text); then secret-named JSON fields.
  std::string body = secrets::mask(body_in);
  size_t i = body.find_first_not_of(" \t\r\n");
  if (i == std::string::npos || (body[i] != '{' && body[i] != '[')) return body;
  json j = json::parse(body, nullptr, false);
  if (j.is_discarded() || !mask_json(j)) return body;
  return j.dump();
}

void record(const std::string& method, const std::string& url, const Response& resp) {
  std::string dir = env_or("TESSARO_RECORD_DIR", "");
  if (dir.empty()) return;
  try {
    std::string canonical = canonical_url(url);
    std::string host = host_of(canonical);
    std::string rest = canonical.substr(std::min(canonical.size(), canonical.find(host) + host.size()));
    char seq[16];
    std::snprintf(seq, sizeof seq, "%06ld", ++g_seq);
    std::string stem = (fmt::upper(method) == "GET" ? "" : fmt::upper(method) + "_") + safe_name(rest, 100) + "~" +
                       utc_stamp() + "-" + std::to_string(::getpid()) + "-" + seq;
    fs::path folder = fs::path(dir) / safe_name(host, 100);
    std::string body = mask_body(resp.body);
    json headers = json::object();
    for (const char* h : kKeptHeaders) {
      auto it = resp.headers.find(h);
      if (it != resp.headers.end()) headers[h] = secrets::mask(it->second);
    }
    std::string effective = resp.effective_url.empty() ? canonical : canonical_url(resp.effective_url);
    json side = {{"method", fmt::upper(method)},
                 {"url", canonical},
                 {"status", resp.status},
                 {"recorded_at", utc_stamp()},
                 {"headers", headers},
                 {"body_file", stem + ".body"},
                 {"body_masked", body.size() != resp.body.size() || body != resp.body}};
    if (effective != canonical) side["effective_url"] = effective;
    // The body first: a sidecar is only ever seen with its body beside it.
    // Owner-only: a recording is meant to be attached to an issue, and a value the
    // process did not know to be secret could still be in it.
    write_file_atomic(folder / (stem + ".body"), body, 0600);
    write_file_atomic(folder / (stem + ".json"), side.dump(2), 0600);
  } catch (...) {
  }
}

Response replay(const std::string& method, const std::string& url) {
  std::string dir = env_or("TESSARO_REPLAY_DIR", "");
  std::string canonical = canonical_url(url);
  std::string key = key_of(method, canonical);
  fs::path sidecar;
  {
    std::lock_guard<std::mutex> lk(g_index_m);
    if (!g_index || g_index->dir != dir) {
      delete g_index;
      g_index = new Index();
      g_index->dir = dir;
      build(*g_index);
    }
    auto it = g_index->by_key.find(key);
    if (it == g_index->by_key.end() || it->second.empty())
      throw ConnectError("no recorded answer for " + key + " in replay folder '" + dir +
                         "' (replay mode: nothing is sent to the network)");
    size_t& n = g_index->served[key];
    sidecar = it->second[std::min(n, it->second.size() - 1)];
    ++n;
  }
  auto text = read_file(sidecar);
  json side = text ? json::parse(*text, nullptr, false) : json();
  std::optional<std::string> body;
  if (side.is_object()) body = read_file(sidecar.parent_path() / side.value("body_file", std::string()));
  if (!side.is_object() || !body)
    throw ConnectError("unreadable recording " + sidecar.string() + " for " + key + " (replay mode)");
  Response r;
  r.status = side.value("status", 0L);
  r.body = std::move(*body);
  const json headers = side.value("headers", json::object());
  for (auto& [k, v] : headers.items())
    if (v.is_string()) r.headers[lower(k)] = v.get<std::string>();
  std::string eff = side.value("effective_url", std::string());
  r.effective_url = eff.empty() ? url : eff;
  return r;
}

}  // namespace tessaro::http::recording
