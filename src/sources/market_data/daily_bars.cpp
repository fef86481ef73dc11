#include "sources/market_data/daily_bars.hpp"
#include "sources/market_data/today_bars.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/files.hpp"
#include "core/format.hpp"
#include "sources/http.hpp"
#include "sources/naver/naver.hpp"
#include "sources/naver/timeframes.hpp"
#include "sources/recording.hpp"

namespace tessaro::bars_cache {

namespace fs = std::filesystem;

namespace {

// Bars re-read before the first missing one; they must match what is cached.
constexpr int kOverlap = 3;
constexpr const char* kMagic = "tessaro-bars";
constexpr int kFormat = 2;
const char* const kFields[] = {"open", "high", "low", "close", "volume"};

Finality g_finality;

// One bar, compact: a day number and five values, with a bit per missing value.
struct Row {
  int32_t day = 0;     // days since 1970-01-01
  uint8_t nulls = 0;   // bit k: kFields[k] is missing
  double v[5] = {0, 0, 0, 0, 0};
  bool operator==(const Row& o) const {
    if (day != o.day || nulls != o.nulls) return false;
    for (int k = 0; k < 5; ++k)
      if (!(nulls & (1u << k)) && v[k] != o.v[k]) return false;
    return true;
  }
};

struct Entry {
  std::vector<Row> rows;        // oldest first
  size_t n_final = 0;           // rows[0, n_final) have closed for good
  bool whole = false;           // the source has no older bar than rows[0]
  std::optional<int32_t> settled;   // the settled trading day when last fetched
  std::chrono::steady_clock::time_point fetched{};   // epoch: never fetched (from disk)
  Instant fetched_at{};         // the market clock's now at that fetch
  std::optional<Instant> boundary;   // the first session boundary after that fetch
  size_t disk_final = 0;        // n_final of the copy on disk (0: none)
  bool disk_settled = false;
  std::list<std::string>::iterator lru;
  size_t bytes() const { return sizeof(Entry) + 64 + rows.capacity() * sizeof(Row); }
};

struct Store {
  std::mutex m;
  std::unordered_map<std::string, Entry> entries;
  std::list<std::string> lru;   // most recent first
  size_t bytes = 0;
  std::optional<std::string> disk_problem;
};
Store& store() {
  static Store s;
  return s;
}

// ---- days and rows --------------------------------------------------------------

// "YYYY-MM-DD" only (the parser's shape); read by hand, as every cached bar passes here.
std::optional<int32_t> parse_day(const std::string& s) {
  if (s.size() != 10 || s[4] != '-' || s[7] != '-') return std::nullopt;
  auto digits = [&](size_t at, size_t n) -> int {
    int v = 0;
    for (size_t i = at; i < at + n; ++i) {
      if (s[i] < '0' || s[i] > '9') return -1;
      v = v * 10 + (s[i] - '0');
    }
    return v;
  };
  int y = digits(0, 4), m = digits(5, 2), d = digits(8, 2);
  if (y < 0 || m < 0 || d < 0) return std::nullopt;
  std::chrono::year_month_day ymd{std::chrono::year(y), std::chrono::month(unsigned(m)), std::chrono::day(unsigned(d))};
  if (!ymd.ok()) return std::nullopt;
  return int32_t(std::chrono::sys_days(ymd).time_since_epoch().count());
}

std::string day_text(int32_t day) {
  std::chrono::year_month_day ymd{std::chrono::sys_days(std::chrono::days(day))};
  int y = int(ymd.year());
  unsigned m = unsigned(ymd.month()), d = unsigned(ymd.day());
  if (y < 0 || y > 9999) {
    char b[24];
    std::snprintf(b, sizeof b, "%04d-%02u-%02u", y, m, d);
    return b;
  }
  std::string t = "0000-00-00";
  for (int i = 3; i >= 0; --i, y /= 10) t[size_t(i)] = char('0' + y % 10);
  t[5] = char('0' + m / 10);
  t[6] = char('0' + m % 10);
  t[8] = char('0' + d / 10);
  t[9] = char('0' + d % 10);
  return t;
}

// A source row in the shape the bar parser makes; nullopt for anything else
// (such a series is passed through uncached).
std::optional<Row> row_of(const json& j) {
  if (!j.is_object()) return std::nullopt;
  Row r;
  auto d = j.find("date");
  if (d == j.end() || !d->is_string()) return std::nullopt;
  auto day = parse_day(d->get<std::string>());
  if (!day) return std::nullopt;
  r.day = *day;
  size_t known = 1;
  for (int k = 0; k < 5; ++k) {
    auto it = j.find(kFields[k]);
    if (it == j.end()) return std::nullopt;
    ++known;
    if (it->is_null()) r.nulls |= uint8_t(1u << k);
    else if (it->is_number()) r.v[k] = it->get<double>();
    else return std::nullopt;
  }
  if (j.contains("_parse_miss")) ++known;
  return j.size() == known ? std::optional<Row>(r) : std::nullopt;
}

json number_json(double v) {
  if (std::isfinite(v) && std::floor(v) == v && std::fabs(v) < 9.0e15) return static_cast<long long>(v);
  return v;
}

// The row exactly as the source parser writes it. Its keys are appended to the
// object directly (each is new), not looked up one by one: every cached bar of
// every read passes here.
json row_json(const Row& r) {
  json j = json::object();
  auto& obj = j.get_ref<json::object_t&>();
  obj.reserve(7);
  obj.Container::emplace_back("date", day_text(r.day));
  json miss;
  for (int k = 0; k < 5; ++k) {
    if (r.nulls & (1u << k)) {
      obj.Container::emplace_back(kFields[k], nullptr);
      if (miss.is_null()) miss = json::array();
      miss.push_back(kFields[k]);
    } else {
      obj.Container::emplace_back(kFields[k], number_json(r.v[k]));
    }
  }
  if (!miss.is_null()) obj.Container::emplace_back(naver::PARSE_MISS_KEY, std::move(miss));
  return j;
}

json rows_json(const std::vector<Row>& rows, int count) {
  json out = json::array();
  size_t from = rows.size() > size_t(count) ? rows.size() - size_t(count) : 0;
  out.get_ref<json::array_t&>().reserve(rows.size() - from);
  for (size_t i = from; i < rows.size(); ++i) out.push_back(row_json(rows[i]));
  return out;
}

std::optional<std::vector<Row>> rows_of(const json& arr) {
  if (!arr.is_array()) return std::nullopt;
  std::vector<Row> out;
  out.reserve(arr.size());
  for (const auto& j : arr) {
    auto r = row_of(j);
    if (!r || (!out.empty() && r->day <= out.back().day)) return std::nullopt;
    out.push_back(*r);
  }
  return out;
}

// ---- settings ----------------------------------------------------------------------

// On unless TESSARO_BARS_CACHE says off (off, 0, false, no).
bool enabled() {
  std::string v = fmt::lower(fmt::trim(env_or("TESSARO_BARS_CACHE", "on")));
  return !(v == "off" || v == "0" || v == "false" || v == "no");
}

std::chrono::seconds ttl() {
  auto v = fmt::parse_number(env_or("TESSARO_BARS_TTL_S", ""));
  return std::chrono::seconds(v && *v >= 0 ? (long long)*v : 45);
}

size_t byte_cap() {
  auto v = fmt::parse_number(env_or("TESSARO_BARS_CACHE_MB", ""));
  return size_t((v && *v > 0 ? *v : 64.0) * 1024 * 1024);
}

Instant now() {
  return g_finality.now ? g_finality.now()
                        : std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
}

uint64_t fnv1a(const std::string& s) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : s) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

std::string hex64(uint64_t h) {
  char b[20];
  std::snprintf(b, sizeof b, "%016llx", (unsigned long long)h);
  return b;
}

// What makes a series distinct besides its code and timeframe: the endpoint it
// is read from (scheme, host, port and path, so two upstreams never share a
// series) and the form of the request (requestType=0: the site's price-adjusted
// series). Kept in every file and checked when it is read back.
// A replayed or recorded session keeps a namespace of its own (named by its
// folder), so what it read never mixes with what the live site said.
std::string source_id() {
  std::string id = http::base("NAVER", "fchart.stock.naver.com") + "/sise.nhn?requestType=0";
  namespace rec = http::recording;
  if (rec::replaying()) id += "|replay:" + fs::absolute(env_or("TESSARO_REPLAY_DIR", "")).lexically_normal().string();
  else if (rec::recording()) id += "|record:" + fs::absolute(env_or("TESSARO_RECORD_DIR", "")).lexically_normal().string();
  return id;
}

// The folder name of a source: readable for the site itself, a hash otherwise.
std::string origin_tag() {
  std::string id = source_id();
  return id == "https://fchart.stock.naver.com/sise.nhn?requestType=0" ? "naver" : "src-" + hex64(fnv1a(id)).substr(0, 12);
}

fs::path folder() { return home_dir() / "cache" / "bars" / origin_tag(); }

fs::path file_of(const std::string& code, const std::string& timeframe) {
  return folder() / timeframe / (code + ".bars");
}

// ---- finality ----------------------------------------------------------------------

// Number of leading rows whose period has closed for good at `at`.
size_t final_prefix(const std::vector<Row>& rows, const std::string& timeframe, Instant at) {
  if (!g_finality.period_closed) return 0;
  for (size_t i = rows.size(); i-- > 0;) {
    std::optional<bool> closed;
    try {
      closed = g_finality.period_closed(timeframe, day_text(rows[i].day), at);
    } catch (const std::exception&) {
      closed = std::nullopt;
    }
    if (closed && *closed) return i + 1;
  }
  return 0;
}

std::optional<int32_t> settled_day(Instant at) {
  if (!g_finality.settled_day) return std::nullopt;
  try {
    auto d = g_finality.settled_day(at);
    return d ? parse_day(*d) : std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// The first session boundary after `at` (nullopt: none known).
std::optional<Instant> next_boundary(Instant at) {
  if (!g_finality.next_boundary) return std::nullopt;
  try {
    return g_finality.next_boundary(at);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Whether a cached entry may be served without asking the source. Either young:
// fetched less than the TTL ago by both the steady clock and the market clock
// (which tests and benchmarks may move), and never past the first session
// boundary after that fetch, since a bar forming then (today's, this week's,
// this month's) changes or closes there, and a copy read before a close must
// not come back as the closed bar. Or quiet: the latest trading day has ended
// and none has begun since the fetch, so nothing upstream can have changed.
bool serves_as_is(const Entry& e, Instant at, std::chrono::steady_clock::time_point steady,
                  std::optional<int32_t> settled) {
  const bool fetched = e.fetched.time_since_epoch().count() != 0;
  const bool young = fetched && steady - e.fetched < ttl() && at >= e.fetched_at && at - e.fetched_at < ttl() &&
                     (!e.boundary || at < *e.boundary) && (g_finality.next_boundary == nullptr || e.boundary);
  const bool quiet = settled && e.settled == settled;
  return young || quiet;
}

// ---- disk ----------------------------------------------------------------------------
// A file is one header line "tessaro-bars <format> <fnv1a-64 of the body> <body bytes>"
// and a JSON body {source, code, timeframe, whole, settled, rows: [[date, o, h, l, c, v], ...]}
// holding final bars only.

void note_disk(const std::optional<std::string>& problem) {
  std::lock_guard<std::mutex> lk(store().m);
  store().disk_problem = problem;
}

// The background writer's queue (below).
std::optional<std::optional<std::string>> pending_job(const fs::path& p);
void queue_remove(const fs::path& p);

std::optional<Entry> read_disk(const std::string& code, const std::string& timeframe) {
  fs::path p = file_of(code, timeframe);
  std::optional<std::string> text;
  if (auto pending = pending_job(p)) text = *pending;   // not yet written: what will be
  else text = read_file(p);
  if (!text) return std::nullopt;
  auto bad = [&]() -> std::optional<Entry> {
    queue_remove(p);   // never served; the next fetch writes it again
    return std::nullopt;
  };
  size_t nl = text->find('\n');
  if (nl == std::string::npos) return bad();
  char magic[32] = {0}, sum[32] = {0};
  int format = 0;
  unsigned long long len = 0;
  if (std::sscanf(text->substr(0, nl).c_str(), "%31s %d %31s %llu", magic, &format, sum, &len) != 4) return bad();
  std::string body = text->substr(nl + 1);
  if (std::string(magic) != kMagic || format != kFormat || body.size() != len || hex64(fnv1a(body)) != sum)
    return bad();
  try {
    json j = json::parse(body);
    if (j.value("code", "") != code || j.value("timeframe", "") != timeframe || j.value("source", "") != source_id())
      return bad();
    Entry e;
    for (const auto& a : j.at("rows")) {
      if (!a.is_array() || a.size() != 6 || !a[0].is_string()) return bad();
      auto day = parse_day(a[0].get<std::string>());
      if (!day || (!e.rows.empty() && *day <= e.rows.back().day)) return bad();
      Row r;
      r.day = *day;
      for (int k = 0; k < 5; ++k) {
        if (a[k + 1].is_null()) r.nulls |= uint8_t(1u << k);
        else if (a[k + 1].is_number()) r.v[k] = a[k + 1].get<double>();
        else return bad();
      }
      e.rows.push_back(r);
    }
    if (e.rows.empty()) return bad();
    e.n_final = e.disk_final = e.rows.size();
    e.whole = j.value("whole", false);
    if (j.contains("settled") && j["settled"].is_string()) {
      e.settled = parse_day(j["settled"].get<std::string>());
      e.disk_settled = e.settled.has_value();
    }
    return e;
  } catch (const std::exception&) {
    return bad();
  }
}

// Write to a temporary file and rename it over the old one. No fsync: a torn file
// after a crash fails its checksum and is fetched again.
void store_file(const fs::path& p, const std::string& text) {
  std::error_code ec;
  fs::create_directories(p.parent_path(), ec);
  static std::atomic<unsigned> seq{0};
  fs::path tmp = p;
  tmp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(seq.fetch_add(1));
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    note_disk(p.parent_path().string() + ": " + std::strerror(errno));
    return;
  }
  size_t off = 0;
  bool ok = true;
  while (off < text.size()) {
    ssize_t n = ::write(fd, text.data() + off, text.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    off += size_t(n);
  }
  int err = ok ? 0 : errno;
  ::close(fd);
  if (ok && ::rename(tmp.c_str(), p.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    note_disk(p.parent_path().string() + ": " + std::strerror(err));
    return;
  }
  note_disk(std::nullopt);
}

// File work is handed to one writer thread so that a fetch never waits for the
// file system (creating thousands of small files is what a cold screen would
// otherwise pay). Jobs are kept per path: a later write or removal replaces a
// pending one, and a read sees what is pending before what is on disk.
struct Writer {
  std::mutex m;
  std::condition_variable cv, idle;
  // path -> what makes the file's text, nullopt: remove. The text is made here,
  // in the writer, not in the call that cached the bars.
  std::map<std::string, std::optional<std::function<std::string()>>> jobs;
  bool busy = false;
  Writer() {
    std::thread([this] {
      // Files are written behind the calls that made them: the writer yields the
      // processor to the threads a caller is waiting on.
      ::setpriority(PRIO_PROCESS, pid_t(::syscall(SYS_gettid)), 19);
      run();
    }).detach();
  }
  void run() {
    std::unique_lock<std::mutex> lk(m);
    for (;;) {
      cv.wait(lk, [&] { return !jobs.empty(); });
      auto job = std::move(*jobs.begin());
      jobs.erase(jobs.begin());
      busy = true;
      lk.unlock();
      if (job.second) store_file(job.first, (*job.second)());
      else {
        std::error_code ec;
        fs::remove(job.first, ec);
      }
      lk.lock();
      busy = false;
      if (jobs.empty()) idle.notify_all();
    }
  }
  void put(const fs::path& p, std::optional<std::function<std::string()>> text) {
    {
      std::lock_guard<std::mutex> lk(m);
      jobs[p.string()] = std::move(text);
    }
    cv.notify_one();
  }
  // The pending job of a path: nullopt when none; an inner nullopt for a removal.
  std::optional<std::optional<std::string>> pending(const fs::path& p) {
    std::lock_guard<std::mutex> lk(m);
    auto it = jobs.find(p.string());
    if (it == jobs.end()) return std::nullopt;
    if (!it->second) return std::optional<std::string>();
    return std::optional<std::string>((*it->second)());
  }
  void wait_idle() {
    std::unique_lock<std::mutex> lk(m);
    idle.wait(lk, [&] { return jobs.empty() && !busy; });
  }
};
Writer& writer() {
  static Writer* w = new Writer();   // process lifetime: the thread outlives static teardown
  return *w;
}

std::optional<std::optional<std::string>> pending_job(const fs::path& p) { return writer().pending(p); }
void queue_remove(const fs::path& p) { writer().put(p, std::nullopt); }

void write_disk(const std::string& code, const std::string& timeframe, const Entry& e, bool settled) {
  std::vector<Row> rows(e.rows.begin(), e.rows.begin() + long(e.n_final));
  json head;
  head["source"] = source_id();
  head["code"] = code;
  head["timeframe"] = timeframe;
  head["whole"] = e.whole;
  head["settled"] = settled && e.settled ? json(day_text(*e.settled)) : json(nullptr);
  writer().put(file_of(code, timeframe), [head = std::move(head), rows = std::move(rows)] {
    json out = head;
    json arr = json::array();
    for (const Row& r : rows) {
      json a = json::array({day_text(r.day)});
      for (int k = 0; k < 5; ++k) a.push_back((r.nulls & (1u << k)) ? json(nullptr) : json(r.v[k]));
      arr.push_back(std::move(a));
    }
    out["rows"] = std::move(arr);
    std::string body = out.dump();
    return std::string(kMagic) + " " + std::to_string(kFormat) + " " + hex64(fnv1a(body)) + " " +
           std::to_string(body.size()) + "\n" + body;
  });
}

void drop_disk(const std::string& code, const std::string& timeframe) {
  writer().put(file_of(code, timeframe), std::nullopt);
}

// ---- memory --------------------------------------------------------------------------

void unlink_entry(Store& s, std::unordered_map<std::string, Entry>::iterator it) {
  s.bytes -= it->second.bytes();
  s.lru.erase(it->second.lru);
  s.entries.erase(it);
}

void put_entry(const std::string& key, Entry e) {
  Store& s = store();
  std::lock_guard<std::mutex> lk(s.m);
  auto it = s.entries.find(key);
  if (it != s.entries.end()) unlink_entry(s, it);
  e.rows.shrink_to_fit();
  s.lru.push_front(key);
  e.lru = s.lru.begin();
  s.bytes += e.bytes();
  s.entries.emplace(key, std::move(e));
  size_t cap = byte_cap();
  while (s.bytes > cap && s.lru.size() > 1) unlink_entry(s, s.entries.find(s.lru.back()));
}

std::optional<Entry> get_entry(const std::string& key) {
  Store& s = store();
  std::lock_guard<std::mutex> lk(s.m);
  auto it = s.entries.find(key);
  if (it == s.entries.end()) return std::nullopt;
  s.lru.splice(s.lru.begin(), s.lru, it->second.lru);
  return it->second;
}

void erase_entry(const std::string& key) {
  Store& s = store();
  std::lock_guard<std::mutex> lk(s.m);
  auto it = s.entries.find(key);
  if (it != s.entries.end()) unlink_entry(s, it);
}

// Bars the source may have after `last`, counted generously (weekdays, weeks,
// months up to today), so that a tail request always reaches back to the overlap.
int new_bars_upper_bound(int32_t last, const std::string& timeframe, Instant at) {
  int32_t today = int32_t(std::chrono::floor<std::chrono::days>(at + std::chrono::hours(9)).time_since_epoch().count());
  if (today <= last) return 1;
  int span = today - last;
  if (timeframe == "week") return span / 7 + 2;
  if (timeframe == "month") return span / 28 + 2;
  int weekdays = 0;
  for (int32_t d = last + 1; d <= today; ++d) {
    int wd = int((d + 3) % 7);   // 1970-01-01 was a Thursday; Monday = 0
    if (wd < 5) ++weekdays;
  }
  return weekdays + 1;
}

// Whether `fetched` agrees with the cached rows where they overlap and reaches
// back far enough; on success `fresh_from` is the index of its first new bar.
bool overlap_agrees(const std::vector<Row>& cached, size_t n_final, const std::vector<Row>& fetched, size_t& fresh_from) {
  if (fetched.empty() || n_final == 0) return false;
  auto pos = std::lower_bound(cached.begin(), cached.begin() + long(n_final), fetched.front().day,
                              [](const Row& r, int32_t d) { return r.day < d; });
  if (pos == cached.begin() + long(n_final) || pos->day != fetched.front().day) return false;
  size_t j = size_t(pos - cached.begin());
  size_t need = std::min<size_t>(kOverlap, n_final);
  if (n_final - j < need) return false;   // the request did not reach back far enough
  size_t k = 0;
  for (; j < n_final; ++j, ++k) {
    if (k >= fetched.size() || !(fetched[k] == cached[j])) return false;   // changed or vanished bar
  }
  fresh_from = k;
  return true;
}

}  // namespace

FinalityRegistration::FinalityRegistration(const Finality& f) { g_finality = f; }

void flush_disk() { writer().wait_idle(); }

std::optional<std::string> disk_problem() {
  flush_disk();   // the state after every write asked for so far
  std::lock_guard<std::mutex> lk(store().m);
  return store().disk_problem;
}

void clear_memory() {
  Store& s = store();
  std::lock_guard<std::mutex> lk(s.m);
  s.entries.clear();
  s.lru.clear();
  s.bytes = 0;
}

size_t memory_bytes() {
  std::lock_guard<std::mutex> lk(store().m);
  return store().bytes;
}

json get_ohlcv(const std::string& code, const std::string& timeframe, int count) {
  if (!enabled() || count <= 0 || code.size() != 6 ||
      !std::all_of(code.begin(), code.end(), [](unsigned char c) { return std::isalnum(c); }) ||
      !naver::is_ohlcv_timeframe(timeframe))
    return naver::get_ohlcv(code, timeframe, count);

  const std::string key = source_id() + "|" + env_or("TESSARO_HOME", "") + "|" + code + "|" + timeframe;
  const Instant at = now();
  const auto steady = std::chrono::steady_clock::now();
  const std::optional<int32_t> settled = settled_day(at);

  std::optional<Entry> cur = get_entry(key);
  const bool from_disk = !cur;
  if (!cur) cur = read_disk(code, timeframe);

  auto long_enough = [&](const Entry& e, size_t rows) { return e.whole || rows >= size_t(count); };
  if (cur) {
    if (serves_as_is(*cur, at, steady, settled) && long_enough(*cur, cur->rows.size())) {
      json out = rows_json(cur->rows, count);
      if (from_disk) put_entry(key, std::move(*cur));
      return out;
    }
  }

  // Fetch: only the tail when the final bars cached cover the request, else the
  // whole series.
  Entry next;
  bool merged = false;
  if (cur && cur->n_final > 0) {
    int fresh = new_bars_upper_bound(cur->rows[cur->n_final - 1].day, timeframe, at);
    int tail = int(std::min<size_t>(kOverlap, cur->n_final)) + fresh;
    // Worth trying when the final bars and the new ones can make up the count; a
    // merge that still falls short is fetched whole below.
    if (tail < count && (cur->whole || cur->n_final + size_t(fresh) >= size_t(count))) {
      json got = naver::get_ohlcv(code, timeframe, tail);
      auto fetched = rows_of(got);
      size_t fresh_from = 0;
      if (!fetched) return naver::get_ohlcv(code, timeframe, count);   // not in the parser's shape: uncached
      if (overlap_agrees(cur->rows, cur->n_final, *fetched, fresh_from)) {
        next.rows.assign(cur->rows.begin(), cur->rows.begin() + long(cur->n_final));
        next.rows.insert(next.rows.end(), fetched->begin() + long(fresh_from), fetched->end());
        next.whole = cur->whole;
        next.disk_final = cur->disk_final;
        next.disk_settled = cur->disk_settled;
        merged = long_enough(next, next.rows.size());
        if (!merged) next = Entry();
      } else {
        // A split or a corrected bar: what is cached can no longer be trusted.
        erase_entry(key);
        drop_disk(code, timeframe);
      }
    }
  }
  if (!merged) {
    int ask = count;
    if (cur && !cur->whole) ask = std::max<int>(ask, int(std::min<size_t>(cur->rows.size(), 5000)));
    json got = naver::get_ohlcv(code, timeframe, ask);
    auto fetched = rows_of(got);
    if (!fetched || fetched->empty()) {
      if (got.is_array() && got.size() > size_t(count)) got.erase(got.begin(), got.end() - count);
      return got;
    }
    next.rows = std::move(*fetched);
    next.whole = next.rows.size() < size_t(ask);
    if (cur && cur->disk_final > 0) next.disk_final = size_t(-1);   // the file is replaced
  }
  next.n_final = final_prefix(next.rows, timeframe, at);
  next.settled = settled;
  next.fetched = steady;
  next.fetched_at = at;
  next.boundary = next_boundary(at);

  // Disk: final bars only, written when they grew or the file must be replaced.
  bool all_final = next.n_final == next.rows.size();
  bool settled_on_disk = all_final && settled.has_value();
  if (next.n_final > 0 && (next.n_final != next.disk_final || settled_on_disk != next.disk_settled)) {
    write_disk(code, timeframe, next, settled_on_disk);
    next.disk_final = next.n_final;
    next.disk_settled = settled_on_disk;
  } else if (next.n_final == 0 && next.disk_final == size_t(-1)) {
    drop_disk(code, timeframe);
    next.disk_final = 0;
  }
  json out = rows_json(next.rows, count);
  put_entry(key, std::move(next));
  return out;
}

// ---- today's bar supplied from the quote feed (today_bars.cpp) ---------------------

namespace {

std::string series_key(const std::string& code) {
  return source_id() + "|" + env_or("TESSARO_HOME", "") + "|" + code + "|day";
}

int32_t kst_day(Instant at) {
  return int32_t(std::chrono::floor<std::chrono::days>(at + std::chrono::hours(9)).time_since_epoch().count());
}

bool weekend(int32_t day) {
  int wd = int((day + 3) % 7);   // Monday = 0
  return wd >= 5;
}

}  // namespace

std::optional<TodayGap> today_gap(const std::string& code, int count) {
  if (!enabled() || count <= 0 || code.size() != 6 ||
      !std::all_of(code.begin(), code.end(), [](unsigned char c) { return std::isalnum(c); }))
    return std::nullopt;
  if (!g_finality.now || !g_finality.period_closed || !g_finality.settled_day) return std::nullopt;
  const Instant at = now();
  // Only while a trading day is under way and its bar is still forming; a settled
  // day is served from the cache as it is, a final one comes from the chart.
  if (settled_day(at)) return std::nullopt;
  const int32_t today = kst_day(at);
  std::optional<bool> closed;
  try {
    closed = g_finality.period_closed("day", day_text(today), at);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (!closed || *closed) return std::nullopt;

  const std::string key = series_key(code);
  std::optional<Entry> cur = get_entry(key);
  if (!cur) cur = read_disk(code, "day");
  if (!cur || cur->n_final == 0) return std::nullopt;
  const auto steady = std::chrono::steady_clock::now();
  bool young = cur->fetched.time_since_epoch().count() != 0 && steady - cur->fetched < ttl() &&
               at >= cur->fetched_at && at - cur->fetched_at < ttl();
  if (young) return std::nullopt;   // served from memory anyway
  const Row& last = cur->rows[cur->n_final - 1];
  if (last.day >= today) return std::nullopt;
  // Every final bar before today is held when the series was read today, while
  // today's trading day was under way; or when it was read after the close of its
  // last bar's day with only a weekend since (a weekday between may have traded).
  bool read_today = cur->fetched.time_since_epoch().count() != 0 && !cur->settled && kst_day(cur->fetched_at) == today &&
                    at >= cur->fetched_at;
  bool settled_then = cur->settled && *cur->settled == last.day;
  if (settled_then)
    for (int32_t d = last.day + 1; d < today; ++d)
      if (!weekend(d)) settled_then = false;
  if (!read_today && !settled_then) return std::nullopt;
  if (!cur->whole && cur->n_final + 1 < size_t(count)) return std::nullopt;
  TodayGap g;
  g.today = day_text(today);
  g.last_final_day = day_text(last.day);
  g.close_known = !(last.nulls & (1u << 3));
  g.last_final_close = last.v[3];
  return g;
}

bool put_today_bar(const std::string& code, const TodayGap& gap, const std::optional<json>& row, int count) {
  const std::string key = series_key(code);
  const Instant at = now();
  std::optional<Entry> cur = get_entry(key);
  if (!cur) cur = read_disk(code, "day");
  if (!cur || cur->n_final == 0 || day_text(cur->rows[cur->n_final - 1].day) != gap.last_final_day) return false;
  Entry next;
  next.rows.assign(cur->rows.begin(), cur->rows.begin() + long(cur->n_final));
  if (row) {
    auto r = row_of(*row);
    if (!r || r->day <= next.rows.back().day || day_text(r->day) != gap.today) return false;
    next.rows.push_back(*r);
  }
  if (!cur->whole && next.rows.size() < size_t(count)) return false;
  next.n_final = cur->n_final;
  next.whole = cur->whole;
  next.disk_final = cur->disk_final;
  next.disk_settled = cur->disk_settled;
  next.settled = settled_day(at);
  next.fetched = std::chrono::steady_clock::now();
  next.fetched_at = at;
  next.boundary = next_boundary(at);   // a forming bar is young only until the session's next boundary
  put_entry(key, std::move(next));
  return true;
}

}  // namespace tessaro::bars_cache
