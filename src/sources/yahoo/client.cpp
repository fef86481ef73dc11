// Yahoo session and request layer. Yahoo's JSON APIs want a cookie (A3, set by
// fc.yahoo.com) and a crumb (v1/test/getcrumb) with every request; both are kept
// for the process and fetched again when an answer says they went stale. EU
// visitors first have to accept Yahoo's consent form (see accept_consent).
#include "sources/contracts.hpp"
#include "sources/yahoo/client.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <optional>

#include "core/call_context.hpp"
#include "core/files.hpp"
#include "core/lookup.hpp"
#include "core/format.hpp"
#include "core/clock.hpp"
#include "sources/http.hpp"
#include "sources/yahoo/us.hpp"

namespace tessaro::us::detail {

// quoteSummary and v7 quote answers (also checked by `tessaro-mcp doctor`).
[[maybe_unused]] static const contracts::Contract& kQuoteSummaryShape = contracts::declare(
    {"yahoo.quote_summary", "Yahoo quoteSummary", false,
     {{"quoteSummary", contracts::Kind::Object},
      {"quoteSummary.result", contracts::Kind::Array},
      {"quoteSummary.result[].price", contracts::Kind::Object},
      {"quoteSummary.result[].price.regularMarketPrice", contracts::Kind::Any},
      {"quoteSummary.result[].price.marketState", contracts::Kind::String, false},
      {"quoteSummary.result[].summaryDetail", contracts::Kind::Object, false}}});
[[maybe_unused]] static const contracts::Contract& kQuoteShape = contracts::declare(
    {"yahoo.quote", "Yahoo 시세", false,
     {{"quoteResponse", contracts::Kind::Object},
      {"quoteResponse.result", contracts::Kind::Array},
      {"quoteResponse.result[].symbol", contracts::Kind::String},
      {"quoteResponse.result[].regularMarketPrice", contracts::Kind::Number},
      {"quoteResponse.result[].marketState", contracts::Kind::String, false}}});

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

// ---- EU consent -----------------------------------------------------------
// Visitors from the EU are sent to guce.yahoo.com / consent.yahoo.com before any
// cookie worth having is set. The consent page holds a form (csrfToken, sessionId,
// originalDoneUrl, namespace); posting it with agree=agree leads through
// guce.yahoo.com/copyConsent, which sets A1/A3/GUC for .yahoo.com. After that the
// crumb answers as usual.

std::vector<std::pair<std::string, std::string>> page_headers(const std::string& cookies,
                                                              const std::string& referer = "") {
  std::vector<std::pair<std::string, std::string>> h = {
      {"User-Agent", kUserAgent},
      {"Accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"},
      {"Accept-Language", "en-US,en;q=0.5"}};
  if (!referer.empty()) h.push_back({"Referer", referer});
  if (!cookies.empty()) h.push_back({"Cookie", cookies});
  return h;
}

// The Yahoo host a URL points at, whether it is a real one (https://guce.yahoo.com/…)
// or one served below TESSARO_YAHOO_BASE_URL (<base>/guce.yahoo.com/…).
std::string yahoo_host_of(const std::string& url) {
  std::string prefix = http::base("YAHOO", "");
  std::string rest;
  if (fmt::starts_with(url, prefix)) {
    rest = url.substr(prefix.size());
  } else {
    auto s = url.find("://");
    rest = s == std::string::npos ? url : url.substr(s + 3);
  }
  return fmt::lower(rest.substr(0, rest.find_first_of("/?#")));
}

// The path and query of a URL on `host` (as yahoo_host_of found it).
std::string path_after_host(const std::string& url, const std::string& host) {
  auto at = fmt::lower(url).find(host);
  if (at == std::string::npos) return "/";
  std::string rest = url.substr(at + host.size());
  return rest.empty() || rest[0] != '/' ? "/" + rest : rest;
}

bool on_consent_host(const std::string& url) {
  std::string h = yahoo_host_of(url);
  return h == "guce.yahoo.com" || fmt::ends_with(h, ".guce.yahoo.com") || h == "consent.yahoo.com" ||
         fmt::ends_with(h, ".consent.yahoo.com");
}

// A cookie that lets getcrumb answer: A3 (set by fc.yahoo.com) or what the consent
// flow leaves behind.
bool has_session_cookie(const std::map<std::string, std::string>& jar) {
  return jar.count("A3") || jar.count("A1") || jar.count("GUC");
}

std::string html_unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '&') {
      out += s[i];
      continue;
    }
    size_t semi = s.find(';', i);
    if (semi == std::string::npos || semi - i > 10) {
      out += s[i];
      continue;
    }
    std::string ent = s.substr(i + 1, semi - i - 1);
    long cp = -1;
    if (ent == "amp") cp = '&';
    else if (ent == "lt") cp = '<';
    else if (ent == "gt") cp = '>';
    else if (ent == "quot") cp = '"';
    else if (ent == "apos") cp = '\'';
    else if (ent.size() > 1 && ent[0] == '#') {
      bool hex = ent[1] == 'x' || ent[1] == 'X';
      std::string digits = ent.substr(hex ? 2 : 1);
      if (!digits.empty() && digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") ==
                                 std::string::npos && digits.size() <= 6)
        cp = std::stol(digits, nullptr, hex ? 16 : 10);
    }
    if (cp < 0 || cp > 0x10FFFF) {
      out += s[i];
      continue;
    }
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | (cp >> 6));
      out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += char(0xE0 | (cp >> 12));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xF0 | (cp >> 18));
      out += char(0x80 | ((cp >> 12) & 0x3F));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
    i = semi;
  }
  return out;
}

// Attributes of one tag's text ("<input type=hidden name='a' value=\"b\">"), names
// lower-cased, values unescaped.
std::map<std::string, std::string> tag_attributes(const std::string& tag) {
  std::map<std::string, std::string> attrs;
  size_t i = tag.find_first_of(" \t\r\n/>");
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '/'; };
  while (i < tag.size()) {
    while (i < tag.size() && space(tag[i])) ++i;
    if (i >= tag.size() || tag[i] == '>') break;
    size_t ns = i;
    while (i < tag.size() && !space(tag[i]) && tag[i] != '=' && tag[i] != '>') ++i;
    std::string name = fmt::lower(tag.substr(ns, i - ns));
    while (i < tag.size() && (tag[i] == ' ' || tag[i] == '\t')) ++i;
    std::string value;
    if (i < tag.size() && tag[i] == '=') {
      ++i;
      while (i < tag.size() && (tag[i] == ' ' || tag[i] == '\t')) ++i;
      if (i < tag.size() && (tag[i] == '"' || tag[i] == '\'')) {
        char q = tag[i++];
        size_t e = tag.find(q, i);
        if (e == std::string::npos) e = tag.size();
        value = tag.substr(i, e - i);
        i = e + 1;
      } else {
        size_t vs = i;
        while (i < tag.size() && !std::isspace((unsigned char)tag[i]) && tag[i] != '>') ++i;
        value = tag.substr(vs, i - vs);
      }
    }
    if (!name.empty() && !attrs.count(name)) attrs[name] = html_unescape(value);
  }
  return attrs;
}

struct ConsentForm {
  std::string action;   // as written in the page ("" = the page itself)
  std::vector<std::pair<std::string, std::string>> fields;   // the inputs to send back
  bool has(const std::string& name) const {
    return std::any_of(fields.begin(), fields.end(), [&](auto& f) { return f.first == name; });
  }
};

// The consent form of a page: the first <form> holding a csrfToken input. nullopt
// when the page has no such form.
std::optional<ConsentForm> find_consent_form(const std::string& html) {
  std::string low = fmt::lower(html);
  for (size_t at = low.find("<form"); at != std::string::npos; at = low.find("<form", at + 5)) {
    size_t tag_end = low.find('>', at);
    if (tag_end == std::string::npos) break;
    size_t end = low.find("</form", tag_end);
    if (end == std::string::npos) end = low.size();
    ConsentForm f;
    auto fa = tag_attributes(html.substr(at, tag_end - at + 1));
    f.action = fa.count("action") ? fmt::trim(fa["action"]) : "";
    for (size_t in = low.find("<input", tag_end); in != std::string::npos && in < end;
         in = low.find("<input", in + 6)) {
      size_t ie = low.find('>', in);
      if (ie == std::string::npos || ie > end) break;
      auto a = tag_attributes(html.substr(in, ie - in + 1));
      std::string type = fmt::lower(a.count("type") ? a["type"] : "text");
      if (!a.count("name") || a["name"].empty()) continue;
      if (type == "submit" || type == "button" || type == "image" || type == "reset") continue;
      if ((type == "checkbox" || type == "radio") && !a.count("checked")) continue;
      f.fields.push_back({a["name"], a.count("value") ? a["value"] : ""});
    }
    if (f.has("csrfToken")) return f;
  }
  return std::nullopt;
}

std::string query_param(const std::string& url, const std::string& name) {
  auto q = url.find('?');
  if (q == std::string::npos) return "";
  std::string qs = url.substr(q + 1, url.find('#') == std::string::npos ? std::string::npos : url.find('#') - q - 1);
  size_t pos = 0;
  while (pos <= qs.size()) {
    size_t e = qs.find('&', pos);
    std::string kv = qs.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
    if (fmt::starts_with(kv, name + "=")) return kv.substr(name.size() + 1);
    if (e == std::string::npos) break;
    pos = e + 1;
  }
  return "";
}

// Where the form goes: its action resolved against the page, through the base URL of
// its host so a loopback Yahoo serves it too.
std::string form_target(const std::string& page_url, const std::string& action) {
  if (action.empty() || action[0] == '#') return page_url;
  if (action.find("://") != std::string::npos) {
    std::string host = yahoo_host_of(action);
    return http::base("YAHOO", host) + path_after_host(action, host);
  }
  std::string host = yahoo_host_of(page_url);
  if (action[0] == '/') return http::base("YAHOO", host) + action;
  std::string path = path_after_host(page_url, host);
  path = path.substr(0, path.find('?'));
  return http::base("YAHOO", host) + path.substr(0, path.rfind('/') + 1) + action;
}

// Accepts the consent on behalf of the session, collecting its cookies into `jar`.
// `landed` is a response that already ended on the consent page (a redirect chain),
// else the page is asked for at guce.yahoo.com/consent. Returns false when no consent
// page is offered (the host answers 4xx/5xx, cannot be reached or sends the visitor on
// elsewhere); throws YahooError
// when a consent page came but without a form we can send back, or the form was refused.
bool accept_consent(std::map<std::string, std::string>& jar, const http::Response* landed) {
  http::Response page;
  if (landed && on_consent_host(landed->effective_url) && landed->status < 400) {
    page = *landed;
  } else {
    http::Request req;
    req.url = build_url(GUCE, http::Target("/consent"), {});
    req.headers = page_headers(cookie_header(jar));
    req.throw_on_status = false;
    req.retries = 0;
    req.timeout_s = timeout_s(15.0);
    try {
      page = http::fetch(req);
    } catch (const TransportError&) {
      return false;
    }
    take_cookies(page, jar);
    // Visitors outside the EU are sent on to finance.yahoo.com: nothing to accept.
    if (page.status >= 400 || !on_consent_host(page.effective_url)) return false;
  }
  std::string page_url = page.effective_url;
  auto form = find_consent_form(page.body);
  if (!form) throw YahooError("Yahoo consent page has no consent form to accept (" + page_url + ")");
  std::string session_id;
  for (auto& [k, v] : form->fields)
    if (k == "sessionId") session_id = v;
  if (session_id.empty()) session_id = query_param(page_url, "sessionId");
  if (session_id.empty())
    throw YahooError("Yahoo consent form carries no sessionId (" + page_url + ")");

  Params body = {{"agree", "agree"}, {"agree", "agree"}};
  if (!form->has("consentUUID")) body.push_back({"consentUUID", "default"});
  if (!form->has("sessionId")) body.push_back({"sessionId", session_id});
  for (auto& f : form->fields)
    if (f.first != "agree") body.push_back(f);
  if (!form->has("originalDoneUrl")) body.push_back({"originalDoneUrl", "https://finance.yahoo.com/"});
  if (!form->has("namespace")) body.push_back({"namespace", "yahoo"});
  std::string encoded;
  for (auto& [k, v] : body) encoded += (encoded.empty() ? "" : "&") + http::encode(k) + "=" + http::encode(v);

  http::Request post;
  post.method = "POST";
  post.url = http::Url::given(form_target(page_url, form->action));
  post.headers = page_headers(cookie_header(jar), page_url);
  post.headers.push_back({"Content-Type", "application/x-www-form-urlencoded"});
  post.headers.push_back({"Origin", "https://" + yahoo_host_of(post.url)});
  post.body = encoded;
  post.throw_on_status = false;
  post.retries = 0;
  post.timeout_s = timeout_s(15.0);
  http::Response done = http::fetch(post);
  take_cookies(done, jar);
  if (done.status >= 400)
    throw YahooError("Yahoo refused the consent form (HTTP " + std::to_string(done.status) + ", " + post.url.str() + ")");
  // The answer redirects through guce.yahoo.com/copyConsent, which sets the cookies.
  // Where that hop did not set them (cookies are not carried across hosts on the way),
  // ask for it once ourselves.
  if (!jar.count("A1") && !jar.count("GUC")) {
    http::Request copy;
    copy.url = build_url(GUCE, http::Target("/copyConsent"), {{"sessionId", session_id}});
    copy.headers = page_headers(cookie_header(jar), page_url);
    copy.throw_on_status = false;
    copy.retries = 0;
    copy.timeout_s = timeout_s(15.0);
    try {
      take_cookies(http::fetch(copy), jar);
    } catch (const TransportError&) {
    }
  }
  return true;
}

// Cookie then crumb, under the session lock. Returns (cookie header, crumb, generation).
struct Ticket {
  std::string cookies, crumb;
  long long generation;
};

http::Response fetch_crumb(const std::map<std::string, std::string>& jar) {
  http::Request req;
  req.url = build_url(Q1, http::Target("/v1/test/getcrumb"), {});
  req.secret_response = true;   // the crumb
  req.headers = base_headers(cookie_header(jar));
  req.throw_on_status = false;
  req.retries = 2;
  req.backoff_s = 1.0;
  req.timeout_s = timeout_s(10.0);
  http::Response r = http::fetch(req);
  if (r.status == 429 || looks_rate_limited(r.body)) throw_status(429, req.url);
  return r;
}

// What an EU visitor gets from getcrumb before consenting: the consent page by
// redirect, or an empty / HTML body instead of the crumb.
bool consent_shaped_crumb_answer(const http::Response& r) {
  return on_consent_host(r.effective_url) || fmt::trim(r.body).empty() || r.body.find('<') != std::string::npos;
}

Ticket ensure_session() {
  Session& s = session();
  std::lock_guard<std::mutex> lk(s.m);
  if (s.ready) return {cookie_header(s.cookies), s.crumb, s.generation};
  s.cookies.clear();
  s.crumb.clear();
  // fc.yahoo.com answers with an error page; only its Set-Cookie matters. A host we
  // cannot reach here is not fatal: some endpoints still answer without a cookie.
  std::optional<http::Response> fc;
  try {
    http::Request req;
    req.url = build_url(FC, http::Target("/"), {});
    req.headers = base_headers("");
    req.throw_on_status = false;
    req.retries = 0;
    req.timeout_s = timeout_s(10.0);
    fc = http::fetch(req);
    take_cookies(*fc, s.cookies);
  } catch (const TransportError&) {
  }
  bool had_cookie = has_session_cookie(s.cookies);
  // The consent flow runs at most once per refresh: straight away when fc.yahoo.com
  // led to the consent page, else when the crumb is refused the way an EU visitor
  // sees it (or no cookie came at all).
  bool consent_tried = false;
  if (fc && on_consent_host(fc->effective_url)) {
    consent_tried = true;
    accept_consent(s.cookies, &*fc);
  }
  http::Response r = fetch_crumb(s.cookies);
  take_cookies(r, s.cookies);
  bool usable = r.status < 400 && valid_crumb(r.body) && !on_consent_host(r.effective_url);
  if (!usable && !consent_tried && (!had_cookie || consent_shaped_crumb_answer(r))) {
    consent_tried = true;
    if (accept_consent(s.cookies, &r)) {
      r = fetch_crumb(s.cookies);
      take_cookies(r, s.cookies);
      usable = r.status < 400 && valid_crumb(r.body) && !on_consent_host(r.effective_url);
    }
  }
  if (usable) s.crumb = r.body;
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


http::Url build_url(const std::string& host, const http::Target& path, const Params& params) {
  http::Target t = path;
  for (const auto& [k, v] : params) t.param(k, v);
  return http::Url("YAHOO", host, t);
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

namespace {

// The ledger name of one Yahoo request: the path (which names the symbol), and the
// modules of a quoteSummary, e.g. "yahoo:/v10/finance/quoteSummary/AAPL?modules=price".
std::string ledger_source(const std::string& path, const Params& params) {
  std::string s = "yahoo:" + path;
  for (const auto& [k, v] : params)
    if (k == "modules" || k == "symbols" || k == "scrIds" || k == "type") {
      s += "?" + k + "=" + (v.size() > 80 ? v.substr(0, 80) + "…" : v);
      break;
    }
  return s;
}

ApiReply api_unrecorded(const std::string& host, const http::Target& path, Params params, const std::string& post_body);

// The top-level keys one of which every answer of an API carries (its envelope).
// A 200 without it - "{}", a consent or error object of another shape - is an
// answer we cannot read, never an empty result.
const std::vector<std::string>* expected_envelope(const std::string& path) {
  static const std::vector<std::pair<std::string, std::vector<std::string>>> kEnvelopes = {
      {"/v7/finance/quote", {"quoteResponse"}},
      {"/v10/finance/quoteSummary/", {"quoteSummary"}},
      {"/v8/finance/chart/", {"chart"}},
      {"/v7/finance/options/", {"optionChain"}},
      {"/ws/fundamentals-timeseries/", {"timeseries"}},
      {"/v1/finance/search", {"quotes", "news", "count"}},
  };
  for (const auto& [prefix, keys] : kEnvelopes)
    if (path.rfind(prefix, 0) == 0) return &keys;
  return nullptr;
}

}  // namespace

// Every Yahoo request records what it came to in the call's ledger: a 404 is
// "not found", an exception "failed" (with its short reason), anything else found.
ApiReply api(const std::string& host, const http::Target& path, Params params, const std::string& post_body) {
  const std::string source = ledger_source(path.str(), params);
  try {
    ApiReply r = api_unrecorded(host, path, std::move(params), post_body);
    record_lookup(source, r.status == 404 ? LookupStatus::not_found : LookupStatus::found);
    return r;
  } catch (const Cancelled&) {
    throw;
  } catch (const std::exception& e) {
    record_lookup(source, LookupStatus::failed, lookup_reason(e));
    throw;
  }
}

json api_json(const std::string& host, const http::Target& path, Params params, const std::string& post_body) {
  const std::string source = ledger_source(path.str(), params);
  ApiReply r;
  try {
    r = api_unrecorded(host, path, std::move(params), post_body);
  } catch (const Cancelled&) {
    throw;
  } catch (const std::exception& e) {
    record_lookup(source, LookupStatus::failed, lookup_reason(e));
    throw;
  }
  if (r.body.is_null()) {
    if (r.text.find("Will be right back") != std::string::npos) {
      record_lookup(source, LookupStatus::failed, "YahooError outage page");
      throw YahooError("Yahoo Finance is temporarily down (" + path.str() + ")");
    }
    if (r.status == 404) {
      record_lookup(source, LookupStatus::not_found, "404");
      return json::object();
    }
    record_lookup(source, LookupStatus::failed, "YahooError unreadable");
    throw YahooError("unreadable Yahoo answer for " + path.str());
  }
  if (r.status < 400)
    if (const auto* keys = expected_envelope(path.str())) {
      bool carried = false;
      if (r.body.is_object())
        for (const auto& k : *keys) carried = carried || r.body.contains(k);
      if (!carried) {
        record_lookup(source, LookupStatus::failed, "YahooError no " + keys->front());
        throw YahooError("Yahoo 응답 모양이 달라졌습니다 (없는 항목: " + keys->front() + ") - " + path.str());
      }
    }
  record_lookup(source, r.status == 404 ? LookupStatus::not_found : LookupStatus::found);
  return r.body;
}

namespace {
ApiReply api_unrecorded(const std::string& host, const http::Target& path, Params params, const std::string& post_body) {
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
    std::string shown_url = build_url(host, path, params).str();
    bool consent_page = on_consent_host(r.effective_url);
    if (consent_page || stale_session_answer(r)) {
      invalidate(t.generation);
      if (attempt == 0) continue;
      if (consent_page) throw YahooError("Yahoo answered with its consent page instead of data (" + shown_url + ")");
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
}  // namespace

json quote_summary(const std::string& symbol, const std::string& modules) {
  json body = api_json(Q2, http::Target("/v10/finance/quoteSummary/{}", symbol),
                       {{"modules", modules}, {"formatted", "false"}, {"corsDomain", "finance.yahoo.com"},
                        {"lang", "en-US"}, {"region", "US"}, {"symbol", symbol}});
  const json& qs = body.value("quoteSummary", json());
  if (!qs.is_object()) return nullptr;
  const json& res = qs.value("result", json());
  if (res.is_array() && !res.empty() && res[0].is_object()) return res[0];
  // Yahoo answers 404 both for a symbol it does not know and for a known symbol that
  // has none of the asked modules (a fund has no insider or financialData module).
  // The second is "nothing of that kind", not "no such ticker": an empty result.
  if (modules_absent_answer(qs) && symbol_is_quoted(symbol)) return json::object();
  return nullptr;
}

bool modules_absent_answer(const json& quote_summary_obj) {
  const json& err = quote_summary_obj.is_object() ? quote_summary_obj.value("error", json()) : json();
  if (!err.is_object()) return false;
  std::string desc = fmt::lower(err.value("description", std::string()));
  return desc.find("no fundamentals data found") != std::string::npos;
}

bool symbol_is_quoted(const std::string& symbol) {
  for (const json& q : quote_rows({symbol}))
    if (q.is_object() && q.value("symbol", std::string()) == symbol) return true;
  return false;
}

json quote_rows(const std::vector<std::string>& symbols) {
  json body = api_json(Q1, http::Target("/v7/finance/quote"),
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
  if (!std::isalnum((unsigned char)t[0]) && t[0] != '^') return std::nullopt;
  if (t.find("..") != std::string::npos || t.back() == '.') return std::nullopt;
  // Share classes are written with a dot by people (BRK.B) and with a dash by Yahoo
  // (BRK-B); exchange suffixes keep their dot (7203.T, 005930.KS), the one-letter
  // ones included: Tokyo, London, TSX Venture and Frankfurt (SAP.F).
  static const std::string kOneLetterExchanges = "TLVF";
  auto dot = t.find('.');
  if (dot != std::string::npos && dot > 0 && t.size() - dot - 1 == 1 && t.find('.', dot + 1) == std::string::npos) {
    bool letters = true;
    for (size_t i = 0; i < dot; ++i) letters = letters && std::isalpha((unsigned char)t[i]);
    if (letters && std::isalpha((unsigned char)t[dot + 1]) && kOneLetterExchanges.find(t[dot + 1]) == std::string::npos)
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
