#include "sources/http.hpp"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/call_context.hpp"
#include "core/errors.hpp"
#include "core/files.hpp"
#include "core/format.hpp"
#include "core/json.hpp"
#include "core/parallel.hpp"
#include "sources/loopback_guard.hpp"
#include "core/secrets.hpp"
#include "core/text.hpp"
#include "sources/recording.hpp"

namespace tessaro::http {

namespace {

std::atomic<long long> g_requests{0};

struct CurlInit {
  CurlInit() { curl_global_init(CURL_GLOBAL_DEFAULT); }
};
void ensure_init() { static CurlInit init; }

// ---- one connection cache for every call ----------------------------------------
// Easy handles are kept in a pool per origin (scheme, host and port) and reused:
// curl_easy_reset keeps a handle's live keep-alive connection, so the next
// request to the same host skips the TCP and TLS handshakes. A handle is taken
// only once the host's gate has let the call in, so an origin never has more
// handles (and connections) than the per-host bound, and every call to it finds
// one of those warm connections. A share object gives every handle the same DNS
// cache and TLS sessions (libcurl does not support sharing the connections
// themselves between threads, hence the pool). TESSARO_HTTP_REUSE=0 turns it off
// (a fresh handle and a fresh connection for every request), for measurements.

bool reuse_enabled() {
  std::string v = env_or("TESSARO_HTTP_REUSE", "1");
  return v != "0" && v != "off" && v != "false";
}

struct Shared {
  CURLSH* sh = nullptr;
  std::mutex locks[CURL_LOCK_DATA_LAST];
  std::mutex pool_m;
  std::map<std::string, std::vector<CURL*>> pools;   // by origin
  Shared() {
    sh = curl_share_init();
    curl_share_setopt(sh, CURLSHOPT_LOCKFUNC, +[](CURL*, curl_lock_data d, curl_lock_access, void* u) {
      static_cast<Shared*>(u)->locks[d].lock();
    });
    curl_share_setopt(sh, CURLSHOPT_UNLOCKFUNC, +[](CURL*, curl_lock_data d, void* u) {
      static_cast<Shared*>(u)->locks[d].unlock();
    });
    curl_share_setopt(sh, CURLSHOPT_USERDATA, this);
    curl_share_setopt(sh, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(sh, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }
  // Process-lifetime: handles may still be in use by detached work at exit.
};
Shared& shared() {
  static Shared* s = new Shared();
  return *s;
}

// A handle on loan for one request to `origin`; returned to its pool when done.
class Handle {
 public:
  explicit Handle(std::string origin) : reuse_(reuse_enabled()), origin_(std::move(origin)) {
    if (reuse_) {
      Shared& s = shared();
      std::lock_guard<std::mutex> lk(s.pool_m);
      auto& pool = s.pools[origin_];
      if (!pool.empty()) {
        h_ = pool.back();
        pool.pop_back();
      }
    }
    if (h_) curl_easy_reset(h_);
    else h_ = curl_easy_init();
    if (reuse_) {
      curl_easy_setopt(h_, CURLOPT_SHARE, shared().sh);
      curl_easy_setopt(h_, CURLOPT_MAXCONNECTS, 2L);   // its origin's, and one a redirect went to
      curl_easy_setopt(h_, CURLOPT_TCP_KEEPALIVE, 1L);
    } else {
      curl_easy_setopt(h_, CURLOPT_FORBID_REUSE, 1L);
      curl_easy_setopt(h_, CURLOPT_FRESH_CONNECT, 1L);
    }
  }
  ~Handle() {
    if (!reuse_) {
      curl_easy_cleanup(h_);
      return;
    }
    Shared& s = shared();
    {
      std::lock_guard<std::mutex> lk(s.pool_m);
      auto& pool = s.pools[origin_];
      if (pool.size() < size_t(per_host_limit())) {
        pool.push_back(h_);
        return;
      }
    }
    curl_easy_cleanup(h_);
  }
  CURL* get() const { return h_; }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

 private:
  bool reuse_;
  std::string origin_;
  CURL* h_ = nullptr;
};

std::string host_of(const std::string& url) {
  auto p = url.find("://");
  size_t b = p == std::string::npos ? 0 : p + 3;
  size_t e = url.find_first_of("/?#", b);
  return url.substr(b, e == std::string::npos ? std::string::npos : e - b);
}

// "scheme://host:port" of a URL: the key of a handle pool.
std::string origin_of(const std::string& url) {
  auto p = url.find("://");
  size_t b = p == std::string::npos ? 0 : p + 3;
  size_t e = url.find_first_of("/?#", b);
  return fmt::lower(url.substr(0, e));
}

// ---- test runs: nothing beyond loopback ------------------------------------------

std::mutex g_refused_m;
std::vector<std::string> g_refused;

void note_refused(const std::string& what) {
  {
    std::lock_guard<std::mutex> lk(g_refused_m);
    g_refused.push_back(what);
  }
  std::fprintf(stderr, "tessaro: test run: request to a non-loopback address refused: %s\n", what.c_str());
}

// The host of a URL as written, without user information, port or brackets.
std::string hostname_of(const std::string& url) {
  std::string h = host_of(url);
  if (auto at = h.rfind('@'); at != std::string::npos) h = h.substr(at + 1);
  if (!h.empty() && h[0] == '[') return fmt::lower(h.substr(1, h.find(']') - 1));
  return fmt::lower(h.substr(0, h.find(':')));
}

// Before any name is looked up (a redirect's too): only loopback names go on.
int loopback_resolve_only(void*, void*, void* handle) {
  char* url = nullptr;
  curl_easy_getinfo(static_cast<CURL*>(handle), CURLINFO_EFFECTIVE_URL, &url);
  std::string u = url ? url : "";
  if (is_loopback_host(hostname_of(u))) return 0;
  note_refused(u);
  return 1;
}

// And no socket to a resolved address beyond this machine.
curl_socket_t loopback_socket_only(void* handle, curlsocktype, curl_sockaddr* a) {
  bool ok = a->family == AF_UNIX;
  char shown[INET6_ADDRSTRLEN] = "?";
  if (a->family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&a->addr);
    ok = (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    inet_ntop(AF_INET, &in->sin_addr, shown, sizeof shown);
  } else if (a->family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&a->addr);
    ok = IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr) ||
         (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr) && in6->sin6_addr.s6_addr[12] == 127);
    inet_ntop(AF_INET6, &in6->sin6_addr, shown, sizeof shown);
  }
  if (!ok) {
    char* url = nullptr;
    curl_easy_getinfo(static_cast<CURL*>(handle), CURLINFO_EFFECTIVE_URL, &url);
    note_refused(std::string(url ? url : "") + " (" + shown + ")");
    return CURL_SOCKET_BAD;
  }
  return ::socket(a->family, a->socktype, a->protocol);
}

// Connections to one host at a time; a waiting call can give up its place. A
// freed slot wakes its next waiter at once (a condition variable: the timed wait
// of std::counting_semaphore backs off by sleeping, which left a host's slots
// idle for milliseconds between requests).
using Gate = Semaphore;

// The request bound of this thread's part of a call (RequestBound), if any.
thread_local Semaphore* t_request_bound = nullptr;

Gate& host_gate(const std::string& host) {
  static std::mutex m;
  static std::map<std::string, std::unique_ptr<Gate>> gates;
  std::lock_guard<std::mutex> lk(m);
  auto& g = gates[host];
  if (!g) g = std::make_unique<Gate>(per_host_limit());
  return *g;
}

size_t on_body(char* p, size_t size, size_t n, void* ud) {
  static_cast<std::string*>(ud)->append(p, size * n);
  return size * n;
}

size_t on_header(char* p, size_t size, size_t n, void* ud) {
  auto* h = static_cast<std::map<std::string, std::string>*>(ud);
  std::string line(p, size * n);
  auto colon = line.find(':');
  if (colon != std::string::npos) {
    std::string name = fmt::lower(fmt::trim(line.substr(0, colon)));
    std::string value = fmt::trim(line.substr(colon + 1));
    // Cookies of every response on the way (redirects included) are kept, one a line.
    auto& slot = (*h)[name];
    if (name == "set-cookie" && !slot.empty()) slot += "\n" + value;
    else slot = value;
  } else if (fmt::starts_with(line, "HTTP/")) {
    // A new response (redirect or 100-continue) starts; cookies set so far stay.
    auto sc = h->find("set-cookie");
    std::string cookies = sc == h->end() ? std::string() : sc->second;
    h->clear();
    if (!cookies.empty()) (*h)["set-cookie"] = cookies;
  }
  return size * n;
}

// Called by libcurl during a transfer (at least about once a second, even when
// idle): a non-zero answer aborts the transfer of a cancelled call.
int on_progress(void* ud, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* ctx = static_cast<const CallContext*>(ud);
  return ctx && ctx->cancelled() ? 1 : 0;
}

// Waits for a slot of the host's gate; a cancelled call stops waiting.
void enter_gate(Gate& gate, const CallContext* ctx) {
  if (!ctx) {
    gate.acquire();
    return;
  }
  while (!gate.try_acquire_for(std::chrono::milliseconds(50)))
    if (ctx->cancelled()) throw Cancelled();
  if (ctx->cancelled()) {
    gate.release();
    throw Cancelled();
  }
}

// Back-off between tries; cut short by a cancellation.
void pause(double seconds) {
  auto d = std::chrono::milliseconds(long(seconds * 1000));
  if (const CallContext* ctx = current_call()) {
    if (!ctx->sleep_for(d)) throw Cancelled();
  } else {
    std::this_thread::sleep_for(d);
  }
}

struct Attempt {
  Response resp;
  CURLcode code = CURLE_OK;
  std::string error;
};

Attempt perform(const Request& req) {
  ensure_init();
  const CallContext* ctx = current_call();
  if (ctx) ctx->throw_if_cancelled();
  const bool guarded = loopback_only();
  if (guarded && !is_loopback_host(hostname_of(req.url.str()))) {
    note_refused(req.url.str());
    throw ConnectError("request to a non-loopback address refused in a test run (TESSARO_TEST_LOOPBACK_ONLY): " +
                       secrets::mask(req.url.str()));
  }
  Attempt a;
  // The part of the call's own bound first, then the host's gate: the handle (and
  // its connection) is taken inside both, and both are held for the transfer only.
  struct Leave {
    Gate* g = nullptr;
    ~Leave() {
      if (g) g->release();
    }
  } leave_bound, leave;
  if (t_request_bound) {
    enter_gate(*t_request_bound, ctx);
    leave_bound.g = t_request_bound;
  }
  Gate& gate = host_gate(host_of(req.url.str()));
  enter_gate(gate, ctx);
  leave.g = &gate;
  Handle h(origin_of(req.url.str()));
  char errbuf[CURL_ERROR_SIZE] = {0};
  curl_slist* hdrs = nullptr;
  for (auto& [k, v] : req.headers) hdrs = curl_slist_append(hdrs, (k + ": " + v).c_str());
  curl_easy_setopt(h.get(), CURLOPT_URL, req.url.str().c_str());
  curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, hdrs);
  curl_easy_setopt(h.get(), CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h.get(), CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(h.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h.get(), CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(h.get(), CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(h.get(), CURLOPT_TIMEOUT_MS, long(req.timeout_s * 1000));
  curl_easy_setopt(h.get(), CURLOPT_CONNECTTIMEOUT_MS, long(req.connect_timeout_s * 1000));
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &a.resp.body);
  curl_easy_setopt(h.get(), CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(h.get(), CURLOPT_HEADERDATA, &a.resp.headers);
  if (guarded) {
    curl_easy_setopt(h.get(), CURLOPT_RESOLVER_START_FUNCTION, loopback_resolve_only);
    curl_easy_setopt(h.get(), CURLOPT_RESOLVER_START_DATA, h.get());
    curl_easy_setopt(h.get(), CURLOPT_OPENSOCKETFUNCTION, loopback_socket_only);
    curl_easy_setopt(h.get(), CURLOPT_OPENSOCKETDATA, h.get());
  }
  if (ctx) {
    curl_easy_setopt(h.get(), CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h.get(), CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(h.get(), CURLOPT_XFERINFODATA, ctx);
  }
  if (req.method == "POST") {
    curl_easy_setopt(h.get(), CURLOPT_POST, 1L);
    curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, req.body.c_str());
    curl_easy_setopt(h.get(), CURLOPT_POSTFIELDSIZE, long(req.body.size()));
  } else if (req.method != "GET") {
    curl_easy_setopt(h.get(), CURLOPT_CUSTOMREQUEST, req.method.c_str());
    if (!req.body.empty()) {
      curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, req.body.c_str());
      curl_easy_setopt(h.get(), CURLOPT_POSTFIELDSIZE, long(req.body.size()));
    }
  }
  ++g_requests;
  a.code = curl_easy_perform(h.get());
  curl_slist_free_all(hdrs);
  if (a.code == CURLE_ABORTED_BY_CALLBACK) throw Cancelled();
  a.error = errbuf[0] ? errbuf : curl_easy_strerror(a.code);
  curl_easy_getinfo(h.get(), CURLINFO_RESPONSE_CODE, &a.resp.status);
  char* eff = nullptr;
  curl_easy_getinfo(h.get(), CURLINFO_EFFECTIVE_URL, &eff);
  a.resp.effective_url = eff ? eff : req.url.str();
  return a;
}

[[noreturn]] void raise_transport(const Attempt& a, const Request& req) {
  std::string what = secrets::mask(a.error + " for url '" + req.url.str() + "'");
  switch (a.code) {
    case CURLE_OPERATION_TIMEDOUT:
      // No byte received yet and no connection: the connect phase ran out.
      if (a.resp.status == 0 && a.resp.headers.empty()) {
        if (a.error.find("onnect") != std::string::npos) throw ConnectTimeout(what);
      }
      throw ReadTimeout(what);
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_SSL_CONNECT_ERROR:
      throw ConnectError(what);
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_WEIRD_SERVER_REPLY:
      throw RemoteProtocolError(what);
    default:
      throw TransportError(what);
  }
}

bool retryable_status(long s) { return s == 429 || (s >= 500 && s <= 599); }

double retry_after_s(const Response& r) {
  std::string v = r.header("retry-after");
  if (v.empty()) return -1;
  auto n = fmt::parse_number(v);
  if (!n) return -1;
  return std::min(*n, 10.0);
}

// ---- secrets a request carries -------------------------------------------------------

std::vector<std::string> split_on(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t b = 0;
  for (;;) {
    size_t e = s.find(sep, b);
    out.push_back(s.substr(b, e == std::string::npos ? std::string::npos : e - b));
    if (e == std::string::npos) return out;
    b = e + 1;
  }
}

// Header names whose values are secrets (compared lower-cased).
bool secret_header(const std::string& lower_name) {
  static const char* kNames[] = {"authorization", "appkey", "appsecret", "app_key", "app_secret", "secretkey",
                                 "cookie", "x-crumb", "x-api-key", "api-key", "token"};
  for (const char* n : kNames)
    if (lower_name == n) return true;
  return recording::secret_name(lower_name);
}

void remember_json_secrets(const json& j) {
  if (j.is_object()) {
    for (auto it = j.begin(); it != j.end(); ++it) {
      if (recording::secret_name(it.key()) && (it->is_string() || it->is_number_integer()))
        secrets::remember(it->is_string() ? it->get<std::string>() : std::to_string(it->get<long long>()));
      else
        remember_json_secrets(*it);
    }
  } else if (j.is_array()) {
    for (const auto& v : j) remember_json_secrets(v);
  }
}

std::string percent_decode(const std::string& s) {
  std::string o;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && std::isxdigit((unsigned char)s[i + 1]) &&
        std::isxdigit((unsigned char)s[i + 2])) {
      o.push_back(char(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      o.push_back(s[i] == '+' ? ' ' : s[i]);
    }
  }
  return o;
}

// Everything secret in what is about to be sent is remembered, so that no text
// written later (a recording, an error, a reply) can carry it. True when the
// request carried any secret.
bool remember_request_secrets(const Request& req) {
  bool carried = !req.secrets.empty();
  for (const auto& v : req.secrets) secrets::remember(v);
  for (const auto& [k, v] : req.headers) {
    std::string n = fmt::lower(k);
    if (!secret_header(n)) continue;
    carried = true;
    secrets::remember(v);
    if (n == "authorization") {
      auto sp = v.find(' ');
      if (sp != std::string::npos) secrets::remember(v.substr(sp + 1));   // "Bearer <token>"
    }
    if (n == "cookie") {   // "a=1; b=2": each value
      for (const auto& part : split_on(v, ';')) {
        auto eq = part.find('=');
        if (eq != std::string::npos) secrets::remember(fmt::trim(part.substr(eq + 1)));
      }
    }
  }
  const std::string& u = req.url.str();
  if (auto q = u.find('?'); q != std::string::npos) {
    std::string rest = u.substr(q + 1);
    rest = rest.substr(0, rest.find('#'));
    for (const auto& pair : split_on(rest, '&')) {
      auto eq = pair.find('=');
      if (eq != std::string::npos && recording::secret_name(percent_decode(pair.substr(0, eq)))) {
        secrets::remember(percent_decode(pair.substr(eq + 1)));
        carried = true;
      }
    }
  }
  if (!req.body.empty()) {
    json b = json::parse(req.body, nullptr, false);
    if (!b.is_discarded()) {
      size_t before = secrets::count();
      remember_json_secrets(b);
      carried = carried || secrets::count() != before || req.body.find("secret") != std::string::npos;
    }
  }
  return carried;
}

// Secrets a response hands over: cookies it sets and, to a request that carried
// secrets (a token issue), the values of secret-named fields of its JSON body.
void remember_response_secrets(const Request& req, bool carried, const Response& r) {
  if (req.secret_response) secrets::remember(r.body);
  auto sc = r.headers.find("set-cookie");
  if (sc != r.headers.end()) {
    for (const auto& line : split_on(sc->second, '\n')) {
      std::string first = line.substr(0, line.find(';'));
      auto eq = first.find('=');
      if (eq != std::string::npos) secrets::remember(fmt::trim(first.substr(eq + 1)));
    }
  }
  if (!carried) return;
  size_t i = r.body.find_first_not_of(" \t\r\n");
  if (i != std::string::npos && r.body[i] == '{' && r.body.size() < (1u << 20)) {
    json b = json::parse(r.body, nullptr, false);
    if (!b.is_discarded()) remember_json_secrets(b);
  }
}

bool valid_host(const std::string& host) {
  if (host.empty()) return false;
  for (unsigned char c : host)
    if (!(std::isalnum(c) || c == '.' || c == '-' || c == ':')) return false;
  return true;
}

// The ledger's name of a request: the innermost LookupName, else the upstream
// host and path, with path parts that hold a digit (codes, ids) as "*". A
// loopback base (tests) keeps the real host as its first path segment.
std::string ledger_name(const std::string& url) {
  if (!current_lookup_name().empty()) return current_lookup_name();
  std::string host = host_of(url);
  auto p = url.find("://");
  size_t b = url.find('/', p == std::string::npos ? 0 : p + 3);
  std::string path = b == std::string::npos ? "" : url.substr(b);
  path = path.substr(0, path.find_first_of("?#"));
  std::vector<std::string> parts;
  for (size_t i = 1; i <= path.size();) {
    size_t e = path.find('/', i);
    if (e == std::string::npos) e = path.size();
    if (e > i) parts.push_back(path.substr(i, e - i));
    i = e + 1;
  }
  if ((fmt::starts_with(host, "127.0.0.1") || fmt::starts_with(host, "localhost")) && !parts.empty() &&
      parts[0].find('.') != std::string::npos) {
    host = parts[0];
    parts.erase(parts.begin());
  }
  std::string out = host;
  for (auto& part : parts)
    out += "/" + (std::any_of(part.begin(), part.end(), [](unsigned char c) { return std::isdigit(c); }) ? "*" : part);
  return out;
}

}  // namespace

// ---- addresses ----------------------------------------------------------------------

std::string encode(std::string_view s) { return text::url_encode(s); }

std::string Target::piece(const List& l) {
  std::string o;
  for (size_t i = 0; i < l.items.size(); ++i) {
    if (i) o.push_back(l.separator);
    o += encode(l.items[i]);
  }
  return o;
}

void Target::build(std::string_view tmpl, const std::vector<std::string>& values) {
  if (tmpl.empty() || tmpl[0] != '/') throw std::invalid_argument("address template must start with '/'");
  size_t next = 0;
  bool in_query = false;
  std::string out;
  for (size_t i = 0; i < tmpl.size(); ++i) {
    char c = tmpl[i];
    if (c == '?') in_query = true;
    if (c == '{' && i + 1 < tmpl.size() && tmpl[i + 1] == '}') {
      if (next >= values.size()) throw std::invalid_argument("address template has more {} than values");
      const std::string& v = values[next++];
      if (!in_query && v.empty()) throw std::invalid_argument("empty value in an address path");
      out += v;
      ++i;
      continue;
    }
    out.push_back(c);
  }
  if (next != values.size()) throw std::invalid_argument("address template has fewer {} than values");
  // No segment of the path may climb or stand still: "." and ".." pass encode()
  // unchanged, and a server resolves them.
  std::string_view path(out);
  path = path.substr(0, path.find_first_of("?#"));
  size_t b = 1;
  while (b <= path.size()) {
    size_t e = path.find('/', b);
    if (e == std::string_view::npos) e = path.size();
    std::string_view seg = path.substr(b, e - b);
    if (seg == "." || seg == "..") throw std::invalid_argument("'.' or '..' in an address path");
    b = e + 1;
  }
  s_ = std::move(out);
}

Target Target::given(std::string_view path_and_query) {
  for (unsigned char c : path_and_query)
    if (c <= 0x20 || c == 0x7f) throw std::invalid_argument("blank or control byte in an address");
  Target t;
  // The same checks as a template's, with nothing to fill in ("{}" is refused).
  if (path_and_query.find("{}") != std::string_view::npos) throw std::invalid_argument("'{}' in an address");
  t.build(path_and_query, {});
  return t;
}

Target& Target::param(std::string_view name, std::string_view value) {
  if (s_.find('?') == std::string::npos) s_ += '?';
  else if (s_.back() != '?' && s_.back() != '&') s_ += '&';
  s_ += encode(name) + "=" + encode(value);
  return *this;
}

Url::Url(const std::string& group, const std::string& host, const Target& target) {
  if (!valid_host(host)) throw std::invalid_argument("not a host name: '" + host + "'");
  s_ = base(group, host) + target.str();
}

Url Url::given(const std::string& absolute) {
  bool scheme = fmt::starts_with(fmt::lower(absolute.substr(0, 8)), "https://") ||
                fmt::starts_with(fmt::lower(absolute.substr(0, 7)), "http://");
  if (!scheme) throw std::invalid_argument("not an http(s) address");
  for (unsigned char c : absolute)
    if (c <= 0x20 || c == 0x7f) throw std::invalid_argument("blank or control byte in an address");
  Url u;
  u.s_ = absolute;
  return u;
}

std::string Response::header(const std::string& name) const {
  auto it = headers.find(fmt::lower(name));
  return it == headers.end() ? "" : it->second;
}

int per_host_limit() {
  static int v = [] {
    auto n = fmt::parse_int(env_or("TESSARO_HTTP_PER_HOST", "10"));
    return (n && *n > 0) ? int(*n) : 10;
  }();
  return v;
}

long long request_count() { return g_requests.load(); }

bool loopback_only() {
  std::string v = env_or("TESSARO_TEST_LOOPBACK_ONLY", "");
  return !v.empty() && v != "0";
}

bool is_loopback_host(const std::string& host_in) {
  std::string host = fmt::lower(host_in);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host == "localhost" || host == "::1") return true;
  in_addr v4{};
  return inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

std::vector<std::string> take_refused_non_loopback() {
  std::lock_guard<std::mutex> lk(g_refused_m);
  return std::exchange(g_refused, {});
}

std::string base(const std::string& group, const std::string& host) {
  std::string b = env_or(("TESSARO_" + group + "_BASE_URL").c_str(), "");
  if (b.empty()) return "https://" + host;
  while (!b.empty() && b.back() == '/') b.pop_back();
  return b + "/" + host;
}

namespace {
Response fetch_once(const Request& req_in);
}

// Every request that lets the client judge its status is recorded in the call's
// ledger: an answer as found, a failure with its short cause. One that reads the
// status itself (throw_on_status false) is its caller's to record.
Response fetch(const Request& req) {
  if (!req.throw_on_status) return fetch_once(req);
  try {
    Response r = fetch_once(req);
    record_lookup(ledger_name(req.url), LookupStatus::found);
    return r;
  } catch (const Cancelled&) {
    throw;
  } catch (const std::exception& e) {
    record_lookup(ledger_name(req.url), LookupStatus::failed, lookup_reason(e));
    throw;
  }
}

namespace {
Response fetch_once(const Request& req_in) {
  // TESSARO_HTTP_TIMEOUT_S caps every request's timeout (tests keep waits short).
  static const double cap = [] {
    auto v = fmt::parse_number(env_or("TESSARO_HTTP_TIMEOUT_S", ""));
    return v && *v > 0 ? *v : 0.0;
  }();
  Request req = req_in;
  if (req.url.empty()) throw std::invalid_argument("request without an address");
  // A header value is one line: a value carrying a line break would add headers.
  for (const auto& [k, v] : req.headers)
    if (k.find_first_of("\r\n:") != std::string::npos || v.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
      throw std::invalid_argument("line break in a request header");
  const bool carried = remember_request_secrets(req);
  if (cap > 0) {
    req.timeout_s = std::min(req.timeout_s, cap);
    req.connect_timeout_s = std::min(req.connect_timeout_s, cap);
    req.backoff_s = std::min(req.backoff_s, cap / 4);
  }
  double backoff = req.backoff_s;
  for (int attempt = 0;; ++attempt) {
    // TESSARO_REPLAY_DIR answers from recorded files; TESSARO_RECORD_DIR saves what came back.
    Attempt a;
    if (recording::replaying()) {
      a.resp = recording::replay(req.method, req.url);
      remember_response_secrets(req, carried, a.resp);
    } else {
      a = perform(req);
      if (a.code == CURLE_OK) {
        remember_response_secrets(req, carried, a.resp);
        recording::record(req.method, req.url, a.resp);
      }
    }
    bool last = attempt >= req.retries;
    if (a.code != CURLE_OK) {
      bool retry = a.code == CURLE_OPERATION_TIMEDOUT || a.code == CURLE_GOT_NOTHING ||
                   a.code == CURLE_RECV_ERROR;
      if (!retry || last) raise_transport(a, req);
      pause(backoff);
      backoff *= 2;
      continue;
    }
    if (retryable_status(a.resp.status) && !last) {
      double wait = retry_after_s(a.resp);
      pause(wait >= 0 ? wait : backoff);
      backoff *= 2;
      continue;
    }
    if (a.resp.status >= 400 && req.throw_on_status) {
      std::string reason = a.resp.status == 429 ? "Too Many Requests"
                           : a.resp.status == 404 ? "Not Found"
                           : a.resp.status == 410 ? "Gone"
                           : a.resp.status >= 500 ? "Server Error"
                                                  : "Client Error";
      throw HTTPStatusError(
          secrets::mask(reason + " '" + std::to_string(a.resp.status) + "' for url '" + req.url.str() + "'"),
          a.resp.status);
    }
    return std::move(a.resp);
  }
}
}  // namespace

Response get(const Url& url, const std::vector<std::pair<std::string, std::string>>& headers,
             double timeout_s) {
  Request r;
  r.url = url;
  r.headers = headers;
  r.timeout_s = timeout_s;
  return fetch(r);
}

RequestBound::RequestBound(Semaphore& gate) : prev_(t_request_bound) { t_request_bound = &gate; }
RequestBound::~RequestBound() { t_request_bound = prev_; }

void as_bound_request(const std::function<void()>& transfer) {
  Semaphore* b = t_request_bound;
  if (!b) return transfer();
  enter_gate(*b, current_call());
  struct Leave {
    Semaphore& g;
    ~Leave() { g.release(); }
  } leave{*b};
  transfer();
}

}  // namespace tessaro::http
