// Shared broker client pieces: errors, hosts, token cache, pacing, the request
// loop, number parsing, bar windows and evidence record helpers.
#include "sources/brokers/broker_common.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>

#include "core/errors.hpp"
#include "core/files.hpp"
#include "core/format.hpp"
#include "core/secrets.hpp"
#include "core/result_meta.hpp"
#include "sources/market_data/evidence.hpp"

namespace tessaro::brokers {

using std::chrono::minutes;
using std::chrono::seconds;

void throw_broker_error(const std::string& broker, const std::string& what, const std::string& status) {
  if (broker == "kis") throw KisApiError(what, status);
  if (broker == "kiwoom") throw KiwoomApiError(what, status);
  if (broker == "toss") throw TossApiError(what, status);
  throw md::BrokerApiError(what, broker, status);
}

// ---- hosts -----------------------------------------------------------------------

std::string profile_or_real(const std::string& profile) { return profile.empty() ? "real" : profile; }

std::string kis_host(const std::string& profile) {
  return profile == "paper" ? "openapivts.koreainvestment.com:29443" : "openapi.koreainvestment.com:9443";
}

std::string kiwoom_host(const std::string& profile) {
  return profile == "paper" ? "mockapi.kiwoom.com" : "api.kiwoom.com";
}

// ---- token cache -------------------------------------------------------------------

std::chrono::sys_seconds wall_now() {
  return std::chrono::floor<seconds>(std::chrono::system_clock::now());
}

std::filesystem::path token_path(const std::filesystem::path& home, const std::string& id, const std::string& profile) {
  return home / "brokers" / "tokens" / (id + "-" + profile_or_real(profile) + ".json");
}

std::optional<CachedToken> load_token(const std::filesystem::path& path) {
  auto text = read_file(path);
  if (!text) return std::nullopt;
  try {
    json j = json::parse(*text);
    if (!j.is_object() || !j.contains("access_token") || !j["access_token"].is_string()) return std::nullopt;
    CachedToken t;
    t.access_token = j["access_token"].get<std::string>();
    t.expires_at = std::chrono::sys_seconds(seconds(j.value("expires_at", 0LL)));
    t.issued_at = std::chrono::sys_seconds(seconds(j.value("issued_at", 0LL)));
    t.key_tag = j.value("key_tag", std::string());
    if (t.access_token.empty()) return std::nullopt;
    return t;
  } catch (...) {
    return std::nullopt;
  }
}

void save_token(const std::filesystem::path& path, const CachedToken& t) {
  json j = {{"access_token", t.access_token},
            {"expires_at", (long long)t.expires_at.time_since_epoch().count()},
            {"issued_at", (long long)t.issued_at.time_since_epoch().count()},
            {"expires_at_kst", mt::iso_kst(t.expires_at)},
            {"key_tag", t.key_tag}};
  write_file_atomic(path, j.dump() + "\n", 0600);
}

std::string key_tag(const std::string& app_key) {
  if (app_key.empty()) return "";
  unsigned long long h = 1469598103934665603ULL;   // FNV-1a
  for (unsigned char c : "tessaro-token:" + app_key) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", h);
  return std::string(buf, 12);
}

std::string mask_key(const std::string& key) {
  if (key.size() <= 4) return "****";
  return "****" + key.substr(key.size() - 4);
}

// ---- pacing and retries --------------------------------------------------------------

void pace(const std::string& key, double per_second) {
  static std::mutex mu;
  static std::map<std::string, std::chrono::steady_clock::time_point> next_slot;
  if (auto o = fmt::parse_number(env_or("TESSARO_BROKER_RATE_PER_S", "")); o && *o > 0) per_second = *o;
  if (per_second <= 0) return;
  auto gap = std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(1.0 / per_second));
  std::chrono::steady_clock::time_point slot;
  {
    std::lock_guard<std::mutex> lk(mu);
    auto now = std::chrono::steady_clock::now();
    auto& n = next_slot[key];
    slot = std::max(now, n);
    n = slot + gap;
  }
  std::this_thread::sleep_until(slot);
}

RetryPolicy retry_policy() {
  RetryPolicy p;
  if (auto n = fmt::parse_int(env_or("TESSARO_BROKER_RETRIES", "")); n && *n >= 0) p.retries = int(std::min(*n, 10LL));
  if (auto w = fmt::parse_number(env_or("TESSARO_BROKER_RETRY_WAIT_S", "")); w && *w >= 0) p.wait_s = std::min(*w, 60.0);
  return p;
}

// ---- the request loop --------------------------------------------------------------------

std::string Reply::header(const std::string& name) const {
  auto it = headers.find(fmt::lower(name));
  return it == headers.end() ? "" : it->second;
}

Session::Session(Config cfg, const md::ProviderContext& ctx) : cfg_(std::move(cfg)), ctx_(ctx) {
  if (ctx_.home.empty()) ctx_.home = home_dir();
  for (const std::string* s : {&ctx_.app_key, &ctx_.app_secret, &ctx_.account}) secrets::remember(*s);
}

std::string Session::scrub(std::string text) const {
  // Short values the process-wide mask leaves alone are still this session's own.
  for (const std::string* s : {&ctx_.app_key, &ctx_.app_secret, &ctx_.account})
    if (s->size() >= 4) text = fmt::replace_all(text, *s, "***");
  if (token_ && token_->size() >= 4) text = fmt::replace_all(text, *token_, "***");
  return secrets::mask(std::move(text));
}

void Session::fail(const std::string& what, const std::string& status) const {
  throw_broker_error(cfg_.id, scrub(what), status);
}

namespace {

// Serialises token issues of one token file within the process and, through a
// lock file, across processes.
class IssueLock {
 public:
  explicit IssueLock(const std::filesystem::path& token_file) {
    static std::mutex map_mu;
    static std::map<std::string, std::unique_ptr<std::mutex>> mus;
    {
      std::lock_guard<std::mutex> lk(map_mu);
      auto& m = mus[token_file.string()];
      if (!m) m = std::make_unique<std::mutex>();
      mu_ = m.get();
    }
    mu_->lock();
    std::error_code ec;
    std::filesystem::create_directories(token_file.parent_path(), ec);
    fd_ = ::open((token_file.string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~IssueLock() {
    if (fd_ >= 0) {
      ::flock(fd_, LOCK_UN);
      ::close(fd_);
    }
    mu_->unlock();
  }
  IssueLock(const IssueLock&) = delete;
  IssueLock& operator=(const IssueLock&) = delete;

 private:
  std::mutex* mu_ = nullptr;
  int fd_ = -1;
};

bool usable(const std::optional<CachedToken>& t, const std::string& tag) {
  return t && t->key_tag == tag && t->expires_at - seconds(TOKEN_EXPIRY_MARGIN_S) > wall_now();
}

}  // namespace

std::string Session::token() {
  if (token_) return *token_;
  if (ctx_.app_key.empty() || ctx_.app_secret.empty())
    fail(cfg_.label + " 앱 키 또는 시크릿이 설정되어 있지 않습니다. `tessaro-mcp broker connect " + cfg_.id +
             "`로 연결하세요.",
         md::ST_NOT_CONFIGURED);
  auto t = load_token(token_path(ctx_.home, cfg_.id, profile()));
  if (usable(t, key_tag(ctx_.app_key))) {
    token_ = t->access_token;
    return *token_;
  }
  return issue_locked(false);
}

void Session::drop_token() { token_.reset(); }

std::string Session::issue_locked(bool refused) {
  auto path = token_path(ctx_.home, cfg_.id, profile());
  std::string tag = key_tag(ctx_.app_key);
  std::string refused_token = refused && token_ ? *token_ : std::string();
  IssueLock lock(path);
  // Another thread or process may have issued one while we waited.
  auto t = load_token(path);
  if (usable(t, tag) && t->access_token != refused_token) {
    token_ = t->access_token;
    return *token_;
  }
  if (t && t->key_tag == tag && wall_now() - t->issued_at < seconds(TOKEN_MIN_REISSUE_S)) {
    if (refused)
      fail(cfg_.label + " 접근 토큰이 거부되었고, 토큰은 1분에 한 번만 새로 발급할 수 있습니다. 잠시 후 다시 "
                        "시도하세요.",
           md::ST_AUTH_FAILED);
    fail(cfg_.label + " 접근 토큰은 1분에 한 번만 발급할 수 있습니다. 잠시 후 다시 시도하세요.", md::ST_RATE_LIMITED);
  }
  // A refused issue is not repeated inside the minute either: a wrong key would
  // otherwise hit the token endpoint on every tool call.
  static std::mutex failed_mu;
  struct Refusal {
    std::chrono::sys_seconds at;
    std::string status, what;
  };
  static std::map<std::string, Refusal> failed;
  std::string fkey = path.string() + "|" + tag;
  {
    std::lock_guard<std::mutex> lk(failed_mu);
    if (auto it = failed.find(fkey); it != failed.end()) {
      if (wall_now() - it->second.at < seconds(TOKEN_MIN_REISSUE_S))
        throw_broker_error(cfg_.id, it->second.what, it->second.status);
      failed.erase(it);
    }
  }
  CachedToken nt;
  try {
    nt = issue_token();
  } catch (const md::BrokerApiError& e) {
    if (e.status() == md::ST_AUTH_FAILED || e.status() == md::ST_RATE_LIMITED) {
      std::lock_guard<std::mutex> lk(failed_mu);
      failed.insert_or_assign(fkey, Refusal{wall_now(), e.status(), e.what()});
    }
    throw;
  }
  nt.issued_at = wall_now();
  nt.key_tag = tag;
  if (nt.expires_at <= nt.issued_at) nt.expires_at = nt.issued_at + std::chrono::hours(23);
  token_ = nt.access_token;
  try {
    save_token(path, nt);
  } catch (const std::exception&) {
    // The token still serves this call; the next process will issue again.
  }
  return *token_;
}

Reply Session::send_raw(const http::Request& in) {
  http::Request req = in;
  req.retries = 0;
  req.throw_on_status = false;
  pace(cfg_.id + ":" + profile(), cfg_.per_second);
  ++sent_;
  http::Response resp;
  try {
    resp = http::fetch(req);
  } catch (const HTTPError& e) {
    fail(cfg_.label + " 서버에 연결하지 못했습니다 (" + e.class_name() + ": " + e.what() + ")", md::ST_UNAVAILABLE);
  }
  Reply r;
  r.status = resp.status;
  r.headers = std::move(resp.headers);
  try {
    r.body = json::parse(resp.body);
  } catch (...) {
    r.body = json::object();
  }
  if (!r.body.is_object()) r.body = json::object();
  return r;
}

Reply Session::call(const std::function<http::Request(const std::string& token)>& build) {
  RetryPolicy rp = retry_policy();
  double wait = rp.wait_s;
  int rate_tries = 0, server_tries = 0;
  bool reissued = false;
  auto sleep_for = [](double s) {
    if (s > 0) std::this_thread::sleep_for(std::chrono::duration<double>(s));
  };
  for (;;) {
    std::string tok = token();
    Reply r = send_raw(build(tok));
    Verdict v = classify(r);
    std::string detail = v.message.empty() ? "HTTP " + std::to_string(r.status) : v.message;
    switch (v.outcome) {
      case Outcome::ok:
        return r;
      case Outcome::rate_limited: {
        if (rate_tries < rp.retries) {
          ++rate_tries;
          double w = wait;
          if (auto ra = fmt::parse_number(r.header("retry-after")); ra && *ra >= 0) w = std::min(*ra, std::max(wait, 0.0) * 4 + 1);
          sleep_for(w);
          wait *= 2;
          continue;
        }
        fail(cfg_.label + " 호출 한도를 넘었습니다 (" + std::to_string(rate_tries + 1) + "회 시도): " + detail,
             md::ST_RATE_LIMITED);
      }
      case Outcome::token_refused:
        if (!reissued) {
          reissued = true;
          issue_locked(true);
          continue;
        }
        fail(cfg_.label + " 접근 토큰이 거부되었습니다: " + detail, md::ST_AUTH_FAILED);
      case Outcome::auth_failed:
        fail(cfg_.label + " 인증에 실패했습니다: " + detail, md::ST_AUTH_FAILED);
      case Outcome::permission_denied:
        fail(cfg_.label + " 이 API를 사용할 권한이 없습니다: " + detail, md::ST_PERMISSION_DENIED);
      case Outcome::not_found:
        throw md::SymbolMappingError(scrub(cfg_.label + " 에서 종목을 찾지 못했습니다: " + detail), cfg_.id);
      case Outcome::failed:
        if (r.status >= 500 && server_tries < 1 && rp.retries > 0) {
          ++server_tries;
          sleep_for(wait);
          continue;
        }
        fail(cfg_.label + " 요청이 실패했습니다: " + detail, md::ST_UNAVAILABLE);
    }
  }
}

// ---- numbers and times --------------------------------------------------------------------

bool has_key(const json& row, const char* key) { return row.is_object() && row.contains(key); }

std::optional<double> num(const json& row, const char* key) {
  if (!has_key(row, key)) return std::nullopt;
  const json& v = row[key];
  if (v.is_number()) return v.get<double>();
  if (!v.is_string()) return std::nullopt;
  std::string s = fmt::trim(v.get<std::string>());
  if (s.empty()) return std::nullopt;
  // Only plain numbers: a stray word is missing, not a value.
  std::string t;
  for (char c : s)
    if (c != ',') t += c;
  size_t i = (t[0] == '+' || t[0] == '-') ? 1 : 0;
  if (i >= t.size()) return std::nullopt;
  bool digit = false;
  for (size_t k = i; k < t.size(); ++k) {
    if (std::isdigit((unsigned char)t[k]))
      digit = true;
    else if (t[k] != '.')
      return std::nullopt;
  }
  if (!digit) return std::nullopt;
  try {
    return std::stod(t);
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<double> price(const json& row, const char* key) {
  auto v = num(row, key);
  if (v) *v = std::fabs(*v);
  return v;
}

std::string str(const json& row, const char* key) {
  if (!has_key(row, key)) return "";
  const json& v = row[key];
  if (v.is_string()) return fmt::trim(v.get<std::string>());
  if (v.is_number()) return v.dump();
  return "";
}

std::optional<mt::Day> ymd(const std::string& s) {
  if (s.size() < 8) return std::nullopt;
  for (int i = 0; i < 8; ++i)
    if (!std::isdigit((unsigned char)s[i])) return std::nullopt;
  return mt::parse_day(s.substr(0, 8));
}

std::string ymd_of(mt::Day d) {
  std::string s = mt::day_str(d);
  return s.substr(0, 4) + s.substr(5, 2) + s.substr(8, 2);
}

std::optional<mt::Instant> minute_start(const std::string& yyyymmdd, const std::string& hhmmss, const std::string& tz) {
  auto d = ymd(yyyymmdd);
  if (!d || hhmmss.size() < 4) return std::nullopt;
  for (int i = 0; i < 4; ++i)
    if (!std::isdigit((unsigned char)hhmmss[i])) return std::nullopt;
  int h = std::stoi(hhmmss.substr(0, 2)), m = std::stoi(hhmmss.substr(2, 2));
  if (h > 23 || m > 59) return std::nullopt;
  return mt::from_zone(*d, h, m, tz);
}

json rows_of(const json& body, const char* key) {
  if (!has_key(body, key)) return json::array();
  const json& v = body[key];
  if (v.is_array()) return v;
  if (v.is_object()) return json::array({v});
  return json::array();
}

mt::Day kst_today() { return mt::to_kst(mt::now()).date(); }

// ---- bars ----------------------------------------------------------------------------------

std::pair<mt::Instant, mt::Instant> bar_window(const md::BarRequest& req) {
  mt::Instant s = req.start_at, e = req.end_at;
  if (e <= s) {
    if (auto d = mt::parse_day(req.trading_date))
      if (auto w = md::session_window(req.market, *d)) return {w->start_at, w->bars_end_at};
    return {s, e};
  }
  if (req.market == "KR") {
    auto d = mt::to_kst(s).date();
    if (auto w = md::session_window("KR", d); w && e == w->close_at) e = w->bars_end_at;
  }
  return {s, e};
}

std::optional<md::Bar> make_bar(mt::Instant start, std::optional<double> o, std::optional<double> h,
                                std::optional<double> l, std::optional<double> c, std::optional<double> v) {
  if (!o || !h || !l || !c) return std::nullopt;
  md::Bar b;
  b.start_at = start;
  b.end_at = start + minutes(1);
  b.open = *o;
  b.high = *h;
  b.low = *l;
  b.close = *c;
  // A bar without a volume figure still has prices; its volume is unknown, and
  // reading it as "no trades" would be wrong, so such a bar is dropped too.
  if (!v) return std::nullopt;
  b.volume = *v;
  return b;
}

md::BarDataset finish_dataset(std::vector<md::Bar> bars, const md::BarRequest& req, const std::string& provider,
                              const std::string& profile, const std::string& venue, const std::string& endpoint,
                              bool truncated, std::vector<std::string> warnings) {
  auto [ws, we] = bar_window(req);
  mt::Instant now = mt::now();
  std::vector<md::Bar> kept;
  for (auto& b : md::sort_and_dedupe(std::move(bars))) {
    if (b.start_at < ws || b.start_at >= we) continue;
    // A minute that has not begun cannot have traded: a row stamped in the
    // future is a placeholder, never a bar.
    if (b.start_at > now) continue;
    b.complete = b.end_at <= now;
    kept.push_back(b);
  }
  md::BarDataset ds;
  ds.bars = std::move(kept);
  ds.market = req.market;
  ds.symbol = req.symbol;
  ds.provider = provider;
  ds.profile = profile;
  ds.venue = venue;
  ds.timezone = md::market_tz(req.market);
  ds.session = req.session;
  ds.requested_interval = req.interval;
  ds.source_interval = "1m";
  ds.source_endpoint = endpoint;
  ds.coverage = {{"complete", !truncated}, {"returned_rows", (int)ds.bars.size()}, {"truncated", truncated}};
  ds.warnings = std::move(warnings);
  if (truncated)
    ds.warnings.push_back("증권사 페이지 한도에 걸려 " + req.trading_date + " 분봉의 앞부분을 받지 못했습니다.");
  return ds;
}

// ---- evidence ----------------------------------------------------------------------------------

std::string iso_date(mt::Day d) { return mt::day_str(d); }

std::string row_data_state(mt::Day d) {
  mt::Day today = kst_today();
  if (d > today) return "provisional";
  if (d == today && mt::to_kst(mt::now()).minutes() < KR_FLOW_FINAL_MIN) return "provisional";
  return "final";
}

json evidence_capability_table(const std::string& profile, const std::vector<std::string>& flow_categories) {
  std::string cap = profile_or_real(profile) == "paper" ? "unverified" : "available";
  json pressure = json::object();
  for (const auto& k : md::pressure_kinds()) pressure[k] = k == "cfd" ? std::string(md::ST_UNSUPPORTED) : cap;
  return {{"investor_flow", cap}, {"flow_categories", flow_categories}, {"pressure", pressure}};
}

json pressure_block(const std::string& kind, const std::string& provider, const std::string& granularity) {
  return {{"kind", kind},
          {"status", md::ST_OK},
          {"provider", provider},
          {"market", "KR"},
          {"granularity", granularity.empty() ? json(nullptr) : json(granularity)},
          {"measure_units", json::object()},
          {"data_as_of", nullptr},
          {"data_completeness", rmeta::NONE},
          {"unavailable_reason", nullptr},
          {"coverage", {{"complete", false}, {"returned_rows", 0}, {"truncated", false}}},
          {"warnings", json::array()},
          {"rows", json::array()},
          {"items", json::array()},
          {"raw_fields", json::array()}};
}

json unsupported_block(const std::string& kind, const std::string& provider, const std::string& reason) {
  json b = pressure_block(kind, provider, "");
  b["status"] = md::ST_UNSUPPORTED;
  b["unavailable_reason"] = reason;
  return b;
}

void close_block(json& block, bool truncated) {
  const json& rows = block["rows"];
  int n = (int)rows.size();
  if (n > 0) {
    const json& first = rows[0];
    block["data_as_of"] = first.contains("observed_at") && first["observed_at"].is_string() ? first["observed_at"]
                                                                                          : first["date"];
  }
  block["data_completeness"] = n == 0 ? rmeta::NONE : truncated ? rmeta::PARTIAL : rmeta::COMPLETE;
  block["coverage"] = {{"complete", n > 0 && !truncated}, {"returned_rows", n}, {"truncated", truncated}};
  for (const auto& r : rows)
    if (r.value("data_state", std::string()) == "provisional") {
      block["warnings"].push_back(r.value("date", std::string()) + " 행은 장 마감 전 잠정치입니다.");
      break;
    }
}

int calendar_span(int days) { return std::max(days, 1) * 7 / 5 + 10; }

}  // namespace tessaro::brokers

namespace tessaro::brokers {

void require_kr_code(const std::string& code, const std::string& provider) {
  bool ok = code.size() == 6;
  for (char c : code) ok = ok && std::isalnum((unsigned char)c);
  if (!ok) throw md::SymbolMappingError("국내 종목코드는 6자리여야 합니다: " + code, provider);
}

json flow_row(mt::Day d, const json& raw, const std::vector<CategoryField>& fields, std::optional<double> close,
              std::optional<double> volume, const std::vector<std::vector<std::string>>& institution_sets,
              double tolerance) {
  std::string state = row_data_state(d);
  json values = json::object(), unsettled = json::array(), rawc = json::object();
  for (const auto& f : fields) {
    if (!has_key(raw, f.field.c_str())) continue;
    rawc[f.field] = str(raw, f.field.c_str());
    if (auto v = num(raw, f.field.c_str()))
      values[f.category] = *v;
    else if (state == "provisional")
      unsettled.push_back(f.category);
  }
  json balance = nullptr;
  if (values.contains("institution_total")) {
    double total = values["institution_total"].get<double>();
    bool any_complete = false;
    for (const auto& set : institution_sets) {
      double sum = 0;
      bool complete = true;
      for (const auto& c : set) {
        if (!values.contains(c)) {
          complete = false;
          break;
        }
        sum += values[c].get<double>();
      }
      if (!complete) continue;
      any_complete = true;
      if (std::fabs(sum - total) <= tolerance) {
        balance = true;
        break;
      }
    }
    if (balance.is_null() && any_complete) balance = false;
  }
  return {{"date", iso_date(d)},
          {"close", close ? json(*close) : json(nullptr)},
          {"volume", volume ? json(*volume) : json(nullptr)},
          {"values", values},
          {"unsettled", unsettled},
          {"data_state", state},
          {"balance_ok", balance},
          {"raw_categories", rawc}};
}

json flow_record(const std::string& symbol, const std::string& provider, const std::string& profile,
                 const std::string& measure, const std::string& endpoint, json rows,
                 const std::vector<CategoryField>& fields, bool truncated, std::vector<std::string> warnings) {
  json unavailable = json::array();
  for (const auto& c : md::investor_categories()) {
    // Mapped and seen in a row; with no rows at all, mapped is all one can tell.
    bool delivered = false;
    for (const auto& f : fields)
      if (f.category == c) {
        if (rows.empty()) delivered = true;
        for (const auto& r : rows)
          if (r["raw_categories"].contains(f.field)) delivered = true;
      }
    if (!delivered) unavailable.push_back(c);
  }
  std::string state = "final";
  for (const auto& r : rows)
    if (r.value("data_state", std::string()) == "provisional") state = "provisional";
  if (truncated) warnings.push_back("증권사 페이지 한도에 걸려 요청한 일수를 다 받지 못했습니다.");
  return {{"symbol", symbol},
          {"provider", provider},
          {"profile", profile},
          {"market", "KR"},
          {"measure", measure},
          {"unit", md::unit_of(measure)},
          {"data_state", state},
          {"source_endpoint", endpoint},
          {"coverage", {{"complete", !truncated}, {"returned_rows", (int)rows.size()}, {"truncated", truncated}}},
          {"warnings", warnings},
          {"unavailable", unavailable},
          {"rows", rows}};
}

bool add_pressure_row(json& block, mt::Day d, const json& raw, const std::vector<MeasureField>& measures,
                      const json& observed_at) {
  json m = json::object();
  for (const auto& f : measures) {
    auto v = f.absolute ? price(raw, f.field) : num(raw, f.field);
    if (!v) continue;
    m[f.measure] = *v;
    block["measure_units"][f.measure] = f.unit;
  }
  for (const auto& f : measures) {
    bool listed = false;
    for (const auto& x : block["raw_fields"]) listed = listed || x == f.field;
    if (!listed && has_key(raw, f.field)) block["raw_fields"].push_back(f.field);
  }
  if (m.empty()) return false;
  for (auto& r : block["rows"])
    if (r["date"] == iso_date(d)) return false;   // a repeated day (paging overlap)
  block["rows"].push_back(
      {{"date", iso_date(d)}, {"observed_at", observed_at}, {"measures", m}, {"data_state", row_data_state(d)}});
  return true;
}

void finish_pressure_block(json& block, int days, bool truncated) {
  json& rows = block["rows"];
  std::vector<json> v(rows.begin(), rows.end());
  std::stable_sort(v.begin(), v.end(), [](const json& a, const json& b) {
    return a["date"].get<std::string>() > b["date"].get<std::string>();
  });
  if ((int)v.size() > std::max(days, 1)) v.resize(std::max(days, 1));
  rows = json::array();
  for (auto& r : v) rows.push_back(r);
  bool unverified = false;
  for (auto& [k, u] : block["measure_units"].items()) unverified = unverified || u == AMOUNT_UNIT_UNVERIFIED;
  if (unverified)
    block["warnings"].push_back(
        "금액 항목의 단위(원·천원·백만원)는 증권사 문서에 없어 확인되지 않았습니다. 수량(주)과 비율(%)을 먼저 "
        "읽으세요.");
  close_block(block, truncated);
}

}  // namespace tessaro::brokers
