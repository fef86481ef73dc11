#pragma once
// Pieces shared by the broker clients (KIS, Kiwoom, Toss): their error types,
// the OAuth token cache under the home directory, per-process pacing, the
// request loop with rate-limit back-off, string-number parsing and the record
// builders of the evidence JSON.
//
// Secrets (app key, app secret, access token) never reach an exception text, a
// log line or a reply: every message built from a broker answer goes through
// Session::scrub.
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "core/clock.hpp"
#include "sources/http.hpp"
#include "sources/market_data/market_data.hpp"

namespace tessaro::brokers {

namespace md = market_data;

class KisApiError : public md::BrokerApiError {
 public:
  KisApiError(const std::string& what, std::string status = md::ST_UNAVAILABLE)
      : BrokerApiError(what, "kis", std::move(status)) {}
  const char* class_name() const override { return "KisApiError"; }
};
class KiwoomApiError : public md::BrokerApiError {
 public:
  KiwoomApiError(const std::string& what, std::string status = md::ST_UNAVAILABLE)
      : BrokerApiError(what, "kiwoom", std::move(status)) {}
  const char* class_name() const override { return "KiwoomApiError"; }
};
class TossApiError : public md::BrokerApiError {
 public:
  TossApiError(const std::string& what, std::string status = md::ST_UNAVAILABLE)
      : BrokerApiError(what, "toss", std::move(status)) {}
  const char* class_name() const override { return "TossApiError"; }
};

// Throws the broker's own error type.
[[noreturn]] void throw_broker_error(const std::string& broker, const std::string& what, const std::string& status);

// ---- hosts -----------------------------------------------------------------------
// Host of a broker profile: real or paper, served below TESSARO_KIS_BASE_URL /
// TESSARO_KIWOOM_BASE_URL when set (http::Url).
std::string kis_host(const std::string& profile);
std::string kiwoom_host(const std::string& profile);
std::string profile_or_real(const std::string& profile);   // "" -> "real"

// ---- token cache -------------------------------------------------------------------
struct CachedToken {
  std::string access_token;
  std::chrono::sys_seconds expires_at{};   // wall clock (tokens are real-time, not market time)
  std::chrono::sys_seconds issued_at{};
  std::string key_tag;   // fingerprint of the app key that obtained it (not the key)
};
std::chrono::sys_seconds wall_now();
// <home>/brokers/tokens/<id>-<profile>.json
std::filesystem::path token_path(const std::filesystem::path& home, const std::string& id, const std::string& profile);
std::optional<CachedToken> load_token(const std::filesystem::path& path);
void save_token(const std::filesystem::path& path, const CachedToken& t);   // atomic, 0600
// A short one-way fingerprint of an app key ("" for an empty key).
std::string key_tag(const std::string& app_key);
// "****" + the last four characters (for status displays).
std::string mask_key(const std::string& key);

// Tokens are treated as expired this long before their stated expiry.
inline constexpr int TOKEN_EXPIRY_MARGIN_S = 300;
// A broker issues at most one token a minute per app key.
inline constexpr int TOKEN_MIN_REISSUE_S = 60;

// ---- pacing and retries --------------------------------------------------------------
// Waits until this process may send the next request under `key` at `per_second`.
// TESSARO_BROKER_RATE_PER_S overrides every rate (tests).
void pace(const std::string& key, double per_second);
struct RetryPolicy {
  int retries = 3;        // extra tries after a rate-limit answer
  double wait_s = 1.0;    // first wait, doubled each try; Retry-After wins when given
};
// TESSARO_BROKER_RETRIES, TESSARO_BROKER_RETRY_WAIT_S.
RetryPolicy retry_policy();

// ---- the request loop --------------------------------------------------------------------
// What an answer means to the client.
enum class Outcome { ok, rate_limited, token_refused, auth_failed, permission_denied, not_found, failed };
struct Verdict {
  Outcome outcome = Outcome::ok;
  std::string message;   // broker's own text (scrubbed before use)
};
struct Reply {
  long status = 0;
  json body;   // object ({} when the body was not JSON)
  std::map<std::string, std::string> headers;
  std::string header(const std::string& name) const;
};

class Session {
 public:
  struct Config {
    std::string id;          // "kis" / "kiwoom"
    std::string label;       // "KIS" / "키움증권" (in messages)
    std::string group;       // "KIS" / "KIWOOM" (the base-URL group)
    std::string host;        // host of the profile
    double per_second = 5;   // pacing
  };
  Session(Config cfg, const md::ProviderContext& ctx);
  virtual ~Session() = default;

  // A usable access token: the cached one while valid, else a newly issued one.
  std::string token();
  // Sends one request built by `build` (called again on every retry with the
  // current token): pacing, back-off on rate limits, one re-issue when the token
  // is refused. Throws the broker's error type on failure.
  Reply call(const std::function<http::Request(const std::string& token)>& build);

  const md::ProviderContext& ctx() const { return ctx_; }
  // An address on the profile's host.
  http::Url at(const http::Target& target) const { return http::Url(cfg_.group, cfg_.host, target); }
  std::string profile() const { return profile_or_real(ctx_.profile); }
  // Replaces every secret in `text` by "***".
  std::string scrub(std::string text) const;
  [[noreturn]] void fail(const std::string& what, const std::string& status) const;
  int requests_sent() const { return sent_; }

 protected:
  // Issues a token at the broker's token endpoint (no caching here).
  virtual CachedToken issue_token() = 0;
  virtual Verdict classify(const Reply& r) const = 0;

  Reply send_raw(const http::Request& req);   // pacing + transport errors mapped

 private:
  std::string issue_locked(bool refused);
  void drop_token();
  Config cfg_;
  md::ProviderContext ctx_;
  std::optional<std::string> token_;
  int sent_ = 0;
};

// Continuation pages, at most `cap` of them: `page()` asks for one page, reads its
// rows, moves its own cursor and answers whether another page should follow.
// Returns true when the cap cut the walk short (the series is truncated).
template <class Page>
bool walk_pages(int cap, Page&& page) {
  for (int i = 0; i < cap; ++i)
    if (!page()) return false;
  return cap > 0;
}

// Verifies a connection by obtaining a token (issued when none is cached).
// Throws the broker's error type on failure.
void verify_kis(const md::ProviderContext& ctx);
void verify_kiwoom(const md::ProviderContext& ctx);

// The first request of a Korean minute-bar walk for `req`, sent as the bar layer
// sends it; its answer body unread, for `tessaro-mcp doctor` to hold against the
// declared shape ("broker.kis.minute", "broker.kiwoom.minute"). Throws the
// broker's error type when the call fails.
json kis_minute_probe(const md::ProviderContext& ctx, const md::BarRequest& req);
json kiwoom_minute_probe(const md::ProviderContext& ctx, const md::BarRequest& req);

// ---- numbers and times --------------------------------------------------------------------
// A string number of a broker body: "" / missing / non-number -> nullopt (never 0);
// "+1234" and "-1234" keep their sign.
std::optional<double> num(const json& row, const char* key);
// Prices may carry a direction sign ("-71500" for a falling price): absolute value.
std::optional<double> price(const json& row, const char* key);
std::string str(const json& row, const char* key);
// Keys present in a row (a present empty field differs from an absent one).
bool has_key(const json& row, const char* key);
// "YYYYMMDD" -> day.
std::optional<mt::Day> ymd(const std::string& s);
std::string ymd_of(mt::Day d);   // "YYYYMMDD"
// Instant of a "YYYYMMDD" date and "HHMMSS" time in a zone. Seconds are dropped:
// a minute bar stamped HHMMSS is the bar that starts at HH:MM.
std::optional<mt::Instant> minute_start(const std::string& yyyymmdd, const std::string& hhmmss, const std::string& tz);
// JSON array at body[key] (an object is wrapped, anything else is empty).
json rows_of(const json& body, const char* key);
mt::Day kst_today();

// ---- bars ----------------------------------------------------------------------------------
// The window a day's bars are kept in: [req.start_at, end) where a Korean request
// ending at the regular close also keeps the closing-auction bar stamped at the close.
std::pair<mt::Instant, mt::Instant> bar_window(const md::BarRequest& req);
// A 1-minute bar from string fields; nullopt when any of open/high/low/close is missing.
std::optional<md::Bar> make_bar(mt::Instant start, std::optional<double> o, std::optional<double> h,
                                std::optional<double> l, std::optional<double> c, std::optional<double> v);
// Sorted, de-duplicated, inside the window, forming bars marked; the dataset around them.
md::BarDataset finish_dataset(std::vector<md::Bar> bars, const md::BarRequest& req, const std::string& provider,
                              const std::string& profile, const std::string& venue, const std::string& endpoint,
                              bool truncated, std::vector<std::string> warnings = {});

// ---- evidence ----------------------------------------------------------------------------------
// Today's row before this time (KST, minutes after midnight) is provisional.
inline constexpr int KR_FLOW_FINAL_MIN = 15 * 60 + 30;
std::string row_data_state(mt::Day d);   // "provisional" | "final"
std::string iso_date(mt::Day d);         // "YYYY-MM-DD"
// A pressure block with every key of its shape (status ok, empty rows).
json pressure_block(const std::string& kind, const std::string& provider, const std::string& granularity);
// Status unsupported with the reason.
json unsupported_block(const std::string& kind, const std::string& provider, const std::string& reason);
// Fills data_as_of, data_completeness and coverage from the rows.
void close_block(json& block, bool truncated);
// Calendar days to ask for so that `days` trading days are covered.
int calendar_span(int days);

// Investor flow: one row of the record from a broker row. `fields` maps each
// category to the broker field holding the asked measure; `institution_sets` are
// the sub-category sets that should add up to institution_total (balance_ok is
// true when any of them does, null when a term is missing).
struct CategoryField {
  std::string category, field;
};
json flow_row(mt::Day d, const json& raw, const std::vector<CategoryField>& fields, std::optional<double> close,
              std::optional<double> volume, const std::vector<std::vector<std::string>>& institution_sets,
              double tolerance);
// The flow record around rows (newest first). Categories of investor_categories()
// missing from `fields`, or never delivered in any row, go to `unavailable`.
json flow_record(const std::string& symbol, const std::string& provider, const std::string& profile,
                 const std::string& measure, const std::string& endpoint, json rows,
                 const std::vector<CategoryField>& fields, bool truncated, std::vector<std::string> warnings);

// What a broker's evidence calls deliver for a connection profile: the real
// profile "available", the paper one "unverified" (not checked call by call);
// CFD is never offered.
json evidence_capability_table(const std::string& profile, const std::vector<std::string>& flow_categories);

// A daily pressure measure: measure name <- broker field, with its unit.
struct MeasureField {
  const char* measure;
  const char* field;
  const char* unit;       // "shares", "percent", "krw", AMOUNT_UNIT_UNVERIFIED ...
  bool absolute = false;  // prices carrying a direction sign
};
inline constexpr const char* AMOUNT_UNIT_UNVERIFIED = "krw_unit_unverified";
// Appends a row {date, observed_at, measures, data_state} when at least one
// measure is present; returns whether it did. Units go to measure_units, fields to raw_fields.
bool add_pressure_row(json& block, mt::Day d, const json& raw, const std::vector<MeasureField>& measures,
                      const json& observed_at = nullptr);
// The row limit and closing touches: newest first, at most `days` rows, then close_block.
void finish_pressure_block(json& block, int days, bool truncated);
// Validates a Korean stock code (six letters or digits); throws SymbolMappingError.
void require_kr_code(const std::string& code, const std::string& provider);

}  // namespace tessaro::brokers
