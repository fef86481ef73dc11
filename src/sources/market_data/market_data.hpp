#pragma once
// The bar layer: minute-bar models, the providers that serve them (the user's
// brokers and the public sources), the broker connection state, routing with
// failover, session windows, resampling and the per-provider disk cache of
// finished trading days. Tools read it through tools/intraday/intraday.hpp.
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/json.hpp"
#include "core/clock.hpp"

namespace tessaro::market_data {

// ---- provider statuses (also listed in rmeta::PROVIDER_STATUSES) -----------------
inline constexpr const char* ST_OK = "ok";
inline constexpr const char* ST_NOT_CONNECTED = "not_connected";
inline constexpr const char* ST_NOT_CONFIGURED = "not_configured";
inline constexpr const char* ST_AUTH_FAILED = "authentication_failed";
inline constexpr const char* ST_PERMISSION_DENIED = "permission_denied";
inline constexpr const char* ST_RATE_LIMITED = "rate_limited";
inline constexpr const char* ST_UNAVAILABLE = "provider_unavailable";
inline constexpr const char* ST_UNSUPPORTED = "unsupported";
inline constexpr const char* ST_NOT_FOUND = "entity_not_found";

// A provider failed; status() is one of the statuses above.
class ProviderError : public Error {
 public:
  ProviderError(const std::string& what, std::string provider, std::string status)
      : Error(what), provider_(std::move(provider)), status_(std::move(status)) {}
  const char* class_name() const override { return "ProviderError"; }
  const std::string& provider() const { return provider_; }
  const std::string& status() const { return status_; }

 private:
  std::string provider_, status_;
};
// A broker answered with an error (rate limit, token refused, bad request...).
// Each broker client throws its own subclass (KisApiError, KiwoomApiError, TossApiError).
class BrokerApiError : public ProviderError {
 public:
  BrokerApiError(const std::string& what, std::string broker, std::string status = ST_UNAVAILABLE)
      : ProviderError(what, std::move(broker), std::move(status)) {}
  const char* class_name() const override { return "BrokerApiError"; }
  const std::string& broker() const { return provider(); }
};
// No provider can serve the request (nothing connected, named source unusable).
class RouterError : public ProviderError {
 public:
  RouterError(const std::string& what, std::string status = ST_NOT_CONNECTED, std::string provider = "")
      : ProviderError(what, std::move(provider), std::move(status)) {}
  const char* class_name() const override { return "RouterError"; }
};
// The symbol has no counterpart at the provider.
class SymbolMappingError : public ProviderError {
 public:
  SymbolMappingError(const std::string& what, std::string provider = "")
      : ProviderError(what, std::move(provider), ST_NOT_FOUND) {}
  const char* class_name() const override { return "SymbolMappingError"; }
};

// ---- bars --------------------------------------------------------------------
struct Bar {
  mt::Instant start_at{}, end_at{};
  double open = 0, high = 0, low = 0, close = 0, volume = 0;
  bool complete = true;        // false: the bar had not ended when it was built
  bool session_tail = false;   // cut short by the session close (resampled bars)
  int actual_minutes = 0;      // minutes a session-tail bar really covers
  std::string session;         // session that traded it, when the provider says
                               // ("regular", "closing_price_after_close", "after_market")
};
// {start_at, end_at (ISO in tz), open, high, low, close, volume[, session_tail, actual_minutes][, session]}
json bar_to_dict(const Bar& b, const std::string& tz);
Bar bar_from_dict(const json& j);   // throws ValueError on a malformed entry

struct BarDataset {
  std::vector<Bar> bars;   // oldest first
  std::string market, symbol, provider, profile, venue, timezone;
  std::string session = "regular";
  std::string requested_interval, source_interval;
  std::string aggregation_method = "provider_native";
  std::string adjustment_basis = "unadjusted";
  std::string source_endpoint;
  json coverage = json::object();   // complete, returned_rows, cache_hit, days_fetched
  std::vector<std::string> warnings;
};

// One trading day's request to a provider.
struct BarRequest {
  std::string market;             // "KR" or "US"
  std::string symbol;             // "005930" / "AAPL"
  std::string venue;              // "KRX" for KR; "NYS" | "NAS" | "AMS" | "" for US
  std::string session = "regular";
  std::string interval = "1m";    // bar length asked of the provider
  std::string trading_date;       // "YYYY-MM-DD"
  mt::Instant start_at{}, end_at{};   // the session's bar window [start, end)
  int row_limit = 120;
  std::string adjustment = "unadjusted";
  bool completed_only = true;
  std::string source = "auto";
};

// Interval text -> minutes ("5m" -> 5); nullopt when unsupported.
std::optional<int> interval_minutes(const std::string& interval);
const std::vector<std::string>& supported_intervals();   // 1m 3m 5m 10m 15m 30m 60m 120m 240m

// ---- session windows ----------------------------------------------------------
struct SessionWindowUtc {
  mt::Instant start_at{}, close_at{};   // regular session open and close
  mt::Instant bars_end_at{};            // end of the last bar of the day: KRX's
                                        // closing-auction print is a 15:30 bar
};
// Regular session of a trading day; nullopt when the market is closed that day.
std::optional<SessionWindowUtc> session_window(const std::string& market, mt::Day day);

// The calendar rules the bar layer reads, handed in by the market-time floor
// (server/source_rules.cpp). Until they are, no day trades and none has closed.
struct CalendarRules {
  // Regular session of `day` ("KR" without the after-market, or "US") as minutes
  // after local midnight: {open, close}; nullopt on a day without trading.
  std::function<std::optional<std::pair<int, int>>(const std::string& market, mt::Day day)> regular_session;
  // Whether the KRX day (after-market included) has ended at `now`; nullopt when unknown.
  std::function<std::optional<bool>(mt::Day day, mt::Instant now)> krx_day_closed;
  // KRX trading days in [from, to], oldest first.
  std::function<std::vector<mt::Day>(mt::Day from, mt::Day to)> krx_trading_days;
};
void set_calendar_rules(CalendarRules rules);
const CalendarRules& calendar_rules();
std::string market_tz(const std::string& market);   // "Asia/Seoul" / "America/New_York"

// ---- resampling ----------------------------------------------------------------
// Sorts by start and drops repeated starts (the later copy wins).
std::vector<Bar> sort_and_dedupe(std::vector<Bar> bars);
// 1m bars -> `minutes` buckets anchored at each day's session open. A bucket cut by the
// session's bar end is a session tail (actual_minutes = its real length). A bucket
// that has not ended at `now` is marked incomplete.
std::vector<Bar> resample_intraday(const std::vector<Bar>& bars, int minutes, const std::string& market,
                                   mt::Instant now);
std::vector<Bar> filter_completed(const std::vector<Bar>& bars, mt::Instant now);

// ---- connection state ------------------------------------------------------------
struct ProviderProfile {
  std::string profile;        // "real" or "paper" for brokers
  std::string app_key, app_secret;
  std::string account;        // optional account number
  std::string connected_at;   // ISO time
};
struct ConnectionState {
  std::string data_source_mode = "legacy";
  std::optional<std::string> primary_provider;
  long long routing_generation = 0, connection_generation = 0;
  std::map<std::string, ProviderProfile> providers;
  json raw = json::object();   // the file as read, without secrets
};
std::filesystem::path state_path();   // <home>/brokers/connections.json
ConnectionState load_state_v2();      // a missing or unreadable file is an empty state
void save_state_v2(const ConnectionState& s);   // atomic, mode 0600
// {"KR": "available"|"unsupported"|"unverified", "US": ...} for the provider.
json provider_capabilities_v2(const ConnectionState& s, const std::string& active_provider,
                              const std::optional<std::string>& active_profile);

// ---- providers ------------------------------------------------------------------
// What a provider needs for one call: its connection profile and keys, and the
// home directory for its token cache.
struct ProviderContext {
  std::string provider;
  std::string profile;
  std::string app_key, app_secret, account;
  std::filesystem::path home;
};

class Provider {
 public:
  virtual ~Provider() = default;
  virtual std::string id() const = 0;
  virtual bool is_broker() const = 0;
  // Minute bars of `market`: "available", "unsupported" or "unverified".
  virtual std::string intraday_capability(const std::string& market, const std::string& profile) const = 0;
  // Bars of one trading day's window, oldest first, of req.interval when the
  // provider serves it natively (else 1m). coverage.complete false when paging
  // stopped at a cap. Throws ProviderError (or a subclass).
  virtual BarDataset fetch_bars(const BarRequest& req, const ProviderContext& ctx) = 0;

  // Evidence (Korean stocks). Records are JSON in the shapes of
  // sources/market_data/evidence.hpp. Default: unsupported.
  virtual json investor_flow(const std::string& code, int days, const std::string& measure,
                             const ProviderContext& ctx);
  virtual json supply_pressure(const std::string& code, const std::string& kind, int days,
                               const ProviderContext& ctx);
  // What the evidence calls deliver for a connection profile, when the provider
  // declares it: {"investor_flow": "available"|"unsupported"|"unverified",
  //  "flow_categories": [category...], "pressure": {kind: "available"|"unsupported"|"unverified"}}.
  // null: not declared (the service then asks and reads the errors).
  virtual json evidence_capabilities(const std::string& /*profile*/) const { return nullptr; }
};

// Provider files register themselves: static ProviderRegistration reg{"kis", [] { return ...; }};
using ProviderFactory = std::shared_ptr<Provider> (*)();
struct ProviderRegistration {
  ProviderRegistration(const char* id, ProviderFactory factory);
};

// Registry order: kis, kiwoom, toss, naver, yahoo.
const std::vector<std::string>& ids();
bool is_broker_id(const std::string& id);
// nullptr when no provider of that id is built in.
std::shared_ptr<Provider> provider(const std::string& id);
// Tests: serve `id` by another object (nullptr restores the built-in one).
void override_provider_for_tests(const std::string& id, std::shared_ptr<Provider> p);

// ---- runtime ---------------------------------------------------------------------
class ProviderRuntime {
 public:
  // Candidate providers for a market and requested source, in the order they are tried.
  std::vector<std::string> providers_for(const std::string& market, const std::string& source) const;
  // Why a provider cannot be called now ("" when it can): missing keys and the like.
  std::string credential_issue(const std::string& provider) const;
  ProviderContext context_for(const std::string& provider) const;
  std::filesystem::path home() const;
};
ProviderRuntime& runtime();   // one per process

// ---- routing ---------------------------------------------------------------------
struct Route {
  std::string requested_source, selected_provider, selection_reason, mode;
  bool fallback_used = false;
  std::optional<std::string> fallback_from;
  std::optional<std::string> primary_provider;
  bool cache_hit = false;
  std::vector<std::string> candidates;   // selected first, then failover order
  json to_json() const;
};
// Chooses the provider. A named source is strict (it alone is a candidate); "auto"
// takes the primary broker and, for US bars only, Yahoo after it. Throws RouterError.
Route resolve_source(const std::string& mode, const std::string& market, const std::string& interval,
                     const std::string& requested_source, const json& capabilities,
                     const std::optional<std::string>& primary_provider);
// Fetches from route.selected_provider; on a temporary failure moves to the next
// candidate (route is updated: fallback_used, fallback_from, selected_provider).
// Brokers are always asked for 1m bars; Yahoo keeps req.interval when it serves it.
BarDataset fetch_with_failover(Route& route, const BarRequest& req, const ProviderRuntime& rt);

// ---- disk cache of finished days --------------------------------------------------
class ProviderCache {
 public:
  explicit ProviderCache(std::filesystem::path root);
  std::optional<json> get(const json& key) const;
  void put(const json& key, const json& entry) const;   // atomic write
  std::filesystem::path path_of(const json& key) const;

 private:
  std::filesystem::path root_;
};

}  // namespace tessaro::market_data
