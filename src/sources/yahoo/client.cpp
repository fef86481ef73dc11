// Yahoo session and request layer. Yahoo's JSON APIs want a cookie (A3, set by
// fc.yahoo.com) and a crumb (v1/test/getcrumb) with every request; both are kept
// for the process and fetched again when an answer says they went stale.
#include "sources/yahoo/client.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>

#include "core/files.hpp"
#include "core/format.hpp"
#include "market_time/clock.hpp"
#include "sources/http.hpp"
#include "sources/yahoo/us.hpp"

namespace tessaro::us::detail {

namespace {

const char* kUserAgent =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/131.0.0.0 Safari/537.36";

struct Session {
  std::mutex m;
  std::map<std::string, std::string> cookies;
  std::string crumb;
  bool ready = false;
  long long generation = 0;
};

Session& session() {
  static Session s;
  return s;
}

// "A3=abc; Domain=.yahoo.com; Path=/" lines -> jar.
void take_cookies(const http::Response& r, std::map<std::string, std::string>& jar) {
  std::string all = r.header("set-cookie");
  size_t pos = 0;
  while (pos < all.size()) {
    size_t e = all.find('\n', pos);
    std::string line = all.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
    pos = e == std::string::npos ? all.size() : e + 1;
    std::string pair = line.substr(0, line.find(';'));
    auto eq = pair.find('=');
    if (eq == std::string::npos) continue;
    std::string name = fmt::trim(pair.substr(0, eq));
    std::string value = fmt::trim(pair.substr(eq + 1));
    if (name.empty()) continue;
    if (value.empty()) jar.erase(name);
    else jar[name] = value;
  }
}

std::string cookie_header(const std::map<std::string, std::string>& jar) {
  std::vector<std::string> parts;
  for (auto& [k, v] : jar) parts.push_back(k + "=" + v);
  return fmt::join(parts, "; ");
}

std::vector<std::pair<std::string, std::string>> base_headers(const std::string& cookies) {
  std::vector<std::pair<std::string, std::string>> h = {
      {"User-Agent", kUserAgent},
      {"Accept", "application/json, text/plain, */*"},
      {"Accept-Language", "en-US,en;q=0.5"},
      {"Origin", "https://finance.yahoo.com"},
      {"Referer", "https://finance.yahoo.com/"}};
  if (!cookies.empty()) h.push_back({"Cookie", cookies});
  return h;
}

// A request's timeout; TESSARO_YAHOO_TIMEOUT_S, read at each call, caps it (tests).
double timeout_s(double dflt) {
  auto cap = fmt::parse_number(env_or("TESSARO_YAHOO_TIMEOUT_S", ""));
  return cap && *cap > 0 ? std::min(dflt, *cap) : dflt;
}

bool looks_rate_limited(const std::string& body) {
  return body.find("Too Many Requests") != std::string::npos;
}

[[noreturn]] void throw_status(long status, const std::string& what_url) {
  std::string reason = status == 429   ? "Too Many Requests"
                       : status == 401 ? "Unauthorized"
                       : status == 404 ? "Not Found"
                       : status >= 500 ? "Server Error"
                                       : "Client Error";
  throw HTTPStatusError(reason + " '" + std::to_string(status) + "' for url '" + what_url + "'", status);
}

// Cookie then crumb, under the session lock. Returns (cookie header, crumb, generation).
struct Ticket {
  std::string cookies, crumb;
  long long generation;
};

Ticket ensure_session() {
  Session& s = session();
  std::lock_guard<std::mutex> lk(s.m);
  if (s.ready) return {cookie_header(s.cookies), s.crumb, s.generation};
  s.cookies.clear();
  s.crumb.clear();
  // fc.yahoo.com answers with an error page; only its Set-Cookie matters. A host we
  // cannot reach here is not fatal: some endpoints still answer without a cookie.
  try {
    http::Request req;
    req.url = build_url(FC, "/", {});
    req.headers = base_headers("");
    req.throw_on_status = false;
    req.retries = 0;
    req.timeout_s = timeout_s(10.0);
    take_cookies(http::fetch(req), s.cookies);
  } catch (const TransportError&) {
  }
  http::Request req;
  req.url = build_url(Q1, "/v1/test/getcrumb", {});
  req.headers = base_headers(cookie_header(s.cookies));
  req.throw_on_status = false;
  req.retries = 2;
  req.backoff_s = 1.0;
  req.timeout_s = timeout_s(10.0);
  http::Response r = http::fetch(req);
  take_cookies(r, s.cookies);
  if (r.status == 429 || looks_rate_limited(r.body)) throw_status(429, req.url);
  if (r.status < 400 && valid_crumb(r.body)) s.crumb = r.body;
  s.ready = true;
  ++s.generation;
  return {cookie_header(s.cookies), s.crumb, s.generation};
}

void invalidate(long long generation) {
  Session& s = session();
  std::lock_guard<std::mutex> lk(s.m);
  // Another thread may have refreshed already; only drop the session we used.
  if (s.generation == generation) s.ready = false;
}

void merge_cookies(const http::Response& r) {
  if (r.header("set-cookie").empty()) return;
  Session& s = session();
  std::lock_guard<std::mutex> lk(s.m);
  take_cookies(r, s.cookies);
}

bool stale_session_answer(const http::Response& r) {
  if (r.status == 401) return true;
  if (r.status >= 400 && (r.body.find("Invalid Crumb") != std::string::npos ||
                          r.body.find("Invalid Cookie") != std::string::npos))
    return true;
  return false;
}

}  // namespace

std::string url_encode(const std::string& s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += char(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string build_url(const std::string& host, const std::string& path, const Params& params) {
  std::string u = http::base("YAHOO", host) + path;
  for (size_t i = 0; i < params.size(); ++i)
    u += (i == 0 ? "?" : "&") + url_encode(params[i].first) + "=" + url_encode(params[i].second);
  return u;
}

bool valid_crumb(const std::string& body) {
  if (body.empty() || body.size() > 64) return false;
  if (looks_rate_limited(body)) return false;
  for (unsigned char c : body)
    if (std::isspace(c) || c == '<' || c == '>' || c == '{' || c == '"') return false;
  return true;
}

void reset_session() {
  Session& s = session();
  std::lock_guard<std::mutex> lk(s.m);
  s.ready = false;
  s.cookies.clear();
  s.crumb.clear();
}

std::string current_crumb() {
  Session& s = session();
  std::lock_guard<std::mutex> lk(s.m);
  return s.ready ? s.crumb : "";
}

ApiReply api(const std::string& host, const std::string& path, Params params, const std::string& post_body) {
  for (int attempt = 0;; ++attempt) {
    Ticket t = ensure_session();
    Params p = params;
    if (!t.crumb.empty()) p.push_back({"crumb", t.crumb});
    http::Request req;
    req.url = build_url(host, path, p);
    req.headers = base_headers(t.cookies);
    if (!post_body.empty()) {
      req.method = "POST";
      req.body = post_body;
      req.headers.push_back({"Content-Type", "application/json"});
    }
    req.throw_on_status = false;
    req.retries = 2;
    req.backoff_s = 1.0;
    req.timeout_s = timeout_s(15.0);
    http::Response r = http::fetch(req);
    merge_cookies(r);
    std::string shown_url = build_url(host, path, params);
    if (stale_session_answer(r)) {
      invalidate(t.generation);
      if (attempt == 0) continue;
      throw_status(r.status, shown_url);
    }
    if (r.status == 429 || (r.status >= 400 && looks_rate_limited(r.body))) throw_status(429, shown_url);
    if (r.status >= 400 && r.status != 404) throw_status(r.status, shown_url);
    ApiReply out;
    out.status = r.status;
    out.text = std::move(r.body);
    try {
      out.body = json::parse(out.text);
    } catch (const json::parse_error&) {
      out.body = nullptr;
    }
    return out;
  }
}

json api_json(const std::string& host, const std::string& path, Params params, const std::string& post_body) {
  ApiReply r = api(host, path, std::move(params), post_body);
  if (r.body.is_null()) {
    if (r.text.find("Will be right back") != std::string::npos)
      throw YahooError("Yahoo Finance is temporarily down (" + path + ")");
    if (r.status == 404) return json::object();
    throw YahooError("unreadable Yahoo answer for " + path);
  }
  return r.body;
}

json quote_summary(const std::string& symbol, const std::string& modules) {
  json body = api_json(Q2, "/v10/finance/quoteSummary/" + url_encode(symbol),
                       {{"modules", modules}, {"formatted", "false"}, {"corsDomain", "finance.yahoo.com"},
                        {"lang", "en-US"}, {"region", "US"}, {"symbol", symbol}});
  const json& qs = body.value("quoteSummary", json());
  if (!qs.is_object()) return nullptr;
  const json& res = qs.value("result", json());
  if (!res.is_array() || res.empty() || !res[0].is_object()) return nullptr;
  return res[0];
}

json quote_rows(const std::vector<std::string>& symbols) {
  json body = api_json(Q1, "/v7/finance/quote",
                       {{"symbols", fmt::join(symbols, ",")}, {"formatted", "false"}, {"lang", "en-US"},
                        {"region", "US"}});
  const json& qr = body.value("quoteResponse", json());
  if (!qr.is_object()) return json::array();
  const json& res = qr.value("result", json());
  return res.is_array() ? res : json::array();
}

std::optional<std::string> normalize_symbol(const std::string& ticker) {
  std::string t = fmt::upper(fmt::trim(ticker));
  if (t.empty() || t.size() > 24) return std::nullopt;
  for (unsigned char c : t)
    if (!(std::isalnum(c) || c == '.' || c == '-' || c == '^' || c == '=')) return std::nullopt;
  // Share classes are written with a dot by people (BRK.B) and with a dash by Yahoo
  // (BRK-B); exchange suffixes keep their dot (7203.T, 005930.KS).
  auto dot = t.find('.');
  if (dot != std::string::npos && dot > 0 && t.size() - dot - 1 == 1 && t.find('.', dot + 1) == std::string::npos) {
    bool letters = true;
    for (size_t i = 0; i < dot; ++i) letters = letters && std::isalpha((unsigned char)t[i]);
    if (letters && std::isalpha((unsigned char)t[dot + 1]) && t[dot + 1] != 'T' && t[dot + 1] != 'L' &&
        t[dot + 1] != 'V')
      t[dot] = '-';
  }
  return t;
}

json num(const json& v) {
  if (v.is_number()) return v;
  if (v.is_object()) {
    auto it = v.find("raw");
    if (it == v.end() || !it->is_number()) return nullptr;
    return *it;
  }
  return nullptr;
}

json statement_num(const json& v) {
  if (v.is_object()) {
    auto it = v.find("raw");
    auto f = v.find("fmt");
    if (it != v.end() && *it == 0 && f != v.end() && f->is_null()) return nullptr;   // Yahoo's "no value"
  }
  return num(v);
}

std::optional<double> dnum(const json& v) {
  json n = num(v);
  if (n.is_null()) return std::nullopt;
  return n.get<double>();
}

json str(const json& v) {
  if (v.is_string() && !v.get<std::string>().empty()) return v;
  if (v.is_object()) {
    auto f = v.find("fmt");
    if (f != v.end() && f->is_string() && !f->get<std::string>().empty()) return *f;
  }
  return nullptr;
}

json field(const json& obj, const char* key) {
  if (!obj.is_object()) return nullptr;
  auto it = obj.find(key);
  return it == obj.end() ? json(nullptr) : num(*it);
}

json first_of(const json& obj, std::initializer_list<const char*> keys) {
  if (!obj.is_object()) return nullptr;
  for (const char* k : keys) {
    auto it = obj.find(k);
    if (it == obj.end()) continue;
    json v = it->is_string() ? str(*it) : num(*it);
    if (!v.is_null()) return v;
  }
  return nullptr;
}

const json& module_of(const json& r, const char* name) {
  static const json empty = json::object();
  if (!r.is_object()) return empty;
  auto it = r.find(name);
  return it != r.end() && it->is_object() ? *it : empty;
}

json epoch_day_value(const json& v) {
  auto d = dnum(v);
  if (!d || *d <= 0) return nullptr;
  return epoch_day((long long)*d);
}

std::string day_in_zone(long long unix_s, const std::string& zone) {
  return mt::to_zone(mt::Instant{std::chrono::seconds{unix_s}}, zone).date_str();
}

std::string minute_in_zone(long long unix_s, const std::string& zone) {
  mt::Civil c = mt::to_zone(mt::Instant{std::chrono::seconds{unix_s}}, zone);
  return c.date_str() + " " + c.hm();
}

std::string iso_in_zone(long long unix_s, const std::string& zone) {
  return mt::iso_in_zone(mt::Instant{std::chrono::seconds{unix_s}}, zone);
}

}  // namespace tessaro::us::detail
