#pragma once
// Inside the Yahoo source: the shared session (cookie jar + crumb), JSON requests
// with the crumb attached, the error shapes of Yahoo's APIs and the value helpers
// every parser uses. Not for tools: they read us.hpp.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/json.hpp"
#include "sources/http.hpp"

namespace tessaro::us::detail {

// Yahoo answered, but not with something we can use (outage page, unreadable
// body, an error object we do not know).
class YahooError : public Error {
 public:
  using Error::Error;
  const char* class_name() const override { return "YahooError"; }
};

inline constexpr const char* Q1 = "query1.finance.yahoo.com";
inline constexpr const char* Q2 = "query2.finance.yahoo.com";
inline constexpr const char* FC = "fc.yahoo.com";
inline constexpr const char* FINANCE = "finance.yahoo.com";
inline constexpr const char* GUCE = "guce.yahoo.com";   // EU consent

using Params = std::vector<std::pair<std::string, std::string>>;

http::Url build_url(const std::string& host, const http::Target& path, const Params& params);

struct ApiReply {
  long status = 0;
  json body;          // parsed JSON (null when the body was not JSON)
  std::string text;   // raw body
};

// GET (or POST with a JSON body) on one Yahoo API with cookie and crumb. 429 and
// 5xx are retried with back-off; a 401 / "Invalid Crumb" answer refreshes the
// session once and retries. Throws HTTPStatusError for 429 after the retries and
// for statuses other than 404; a 404 comes back to the caller (Yahoo's "not found").
// Setting up a session runs Yahoo's EU consent flow (at most once a refresh) when
// the cookie/crumb steps end on the consent page; a consent page without a form to
// accept, or an answer that is still the consent page after the refresh, is a YahooError.
ApiReply api(const std::string& host, const http::Target& path, Params params,
             const std::string& post_body = "");
// api() + the JSON must parse; otherwise YahooError.
json api_json(const std::string& host, const http::Target& path, Params params,
              const std::string& post_body = "");

// quoteSummary result[0] for the modules, or null when Yahoo has no such symbol
// (404 / empty result). Missing modules are simply absent from the object; when none
// of them exists for a symbol Yahoo does quote (its 404 "No fundamentals data found
// for any of the summaryTypes=..."), the result is an empty object, not null.
json quote_summary(const std::string& symbol, const std::string& modules);
// The quoteSummary error says the symbol exists but has none of the asked modules.
bool modules_absent_answer(const json& quote_summary_obj);
// The v7 quote knows the symbol.
bool symbol_is_quoted(const std::string& symbol);
// Module `name` of a quoteSummary result ({} when absent or not an object).
const json& module_of(const json& r, const char* name);
// "YYYY-MM-DD" of a Unix-seconds value (number or {"raw": n}); null when missing or <= 0.
json epoch_day_value(const json& v);
// v7 quote rows for the symbols (comma list sent once), keyed by nothing: as returned.
json quote_rows(const std::vector<std::string>& symbols);

// Session state, for tests: forget the cookie and crumb.
void reset_session();
// The crumb in use ("" when none), for tests.
std::string current_crumb();
// A getcrumb body is usable when short, without whitespace, "<" or rate-limit text.
bool valid_crumb(const std::string& body);

// "brk.b" -> "BRK-B"; nullopt when the text cannot be a Yahoo symbol.
std::optional<std::string> normalize_symbol(const std::string& ticker);

// Value helpers. A number stays; {"raw": x} gives x; {}, null and strings give null
// (missing, never 0).
json num(const json& v);
// The same for the statement modules, where {"raw": 0, "fmt": null} is Yahoo's
// placeholder for "no value" (elsewhere, e.g. revision counts, it is a real 0).
json statement_num(const json& v);
std::optional<double> dnum(const json& v);
// Text value or null ("" is null).
json str(const json& v);
// num() of obj[key] (obj may be anything).
json field(const json& obj, const char* key);
// First non-null of several keys.
json first_of(const json& obj, std::initializer_list<const char*> keys);

// Unix seconds -> "YYYY-MM-DD" / "YYYY-MM-DD HH:MM" / ISO with offset, in a zone.
std::string day_in_zone(long long unix_s, const std::string& zone);
std::string minute_in_zone(long long unix_s, const std::string& zone);
std::string iso_in_zone(long long unix_s, const std::string& zone);

// The usual shape of a profile-like operation: normalise the ticker, ask quoteSummary
// for the modules, give `missing` when the ticker cannot be a symbol or Yahoo has no
// such symbol, else parse(result, symbol).
template <class Parse>
json from_summary(const std::string& ticker, const char* modules, Parse parse, json missing = nullptr) {
  auto sym = normalize_symbol(ticker);
  if (!sym) return missing;
  json r = quote_summary(*sym, modules);
  if (r.is_null()) return missing;
  return parse(r, *sym);
}

}  // namespace tessaro::us::detail
