#include "support/fixture_server.hpp"

#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace tessaro::testing {

namespace {
std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
}  // namespace

struct FixtureServer::Impl {
  httplib::Server svr;
  std::thread th;
  int port = 0;
  mutable std::mutex m;
  std::map<std::string, std::function<FixtureResponse(const FixtureRequest&)>> routes;
  std::function<FixtureResponse(const FixtureRequest&)> fallback;
  struct Fault {
    int status = 0, times = 0;
    std::string retry_after;
  };
  std::map<std::string, Fault> faults;
  std::map<std::string, int> delays;
  std::map<std::string, bool> drops;
  std::map<std::string, int> hits;
  std::map<std::string, FixtureRequest> last;
};

FixtureServer::FixtureServer() : impl_(new Impl) {
  auto* I = impl_.get();
  auto handler = [I](const httplib::Request& req, httplib::Response& res) {
    FixtureRequest fr;
    fr.method = req.method;
    fr.path = req.path;
    fr.body = req.body;
    for (auto& [k, v] : req.headers) {
      std::string lk = k;
      for (auto& c : lk) c = char(std::tolower((unsigned char)c));
      fr.headers[lk] = v;
    }
    std::string q;
    for (auto& [k, v] : req.params) {
      fr.params[k] = v;
      if (!q.empty()) q += "&";
      q += k + "=" + v;
    }
    fr.query = q;
    std::function<FixtureResponse(const FixtureRequest&)> fn;
    int delay_ms = 0;
    bool drop = false;
    Impl::Fault fault;
    {
      std::lock_guard<std::mutex> lk(I->m);
      I->hits[req.path]++;
      I->last[req.path] = fr;
      auto it = I->routes.find(req.path);
      if (it != I->routes.end()) fn = it->second;
      else if (I->fallback) fn = I->fallback;
      if (auto d = I->delays.find(req.path); d != I->delays.end()) delay_ms = d->second;
      if (auto d = I->drops.find(req.path); d != I->drops.end()) drop = d->second;
      if (auto f = I->faults.find(req.path); f != I->faults.end() && f->second.times > 0) {
        fault = f->second;
        f->second.times--;
      }
    }
    if (delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    if (drop) {
      // Let the client wait for a reply that never comes; it times out.
      std::this_thread::sleep_for(std::chrono::seconds(30));
      res.status = 500;
      return;
    }
    if (fault.times > 0) {
      res.status = fault.status;
      if (!fault.retry_after.empty()) res.set_header("Retry-After", fault.retry_after);
      res.set_content("{\"error\":\"injected\"}", "application/json");
      return;
    }
    if (!fn) {
      res.status = 404;
      res.set_content("not found: " + req.path, "text/plain");
      return;
    }
    FixtureResponse r = fn(fr);
    res.status = r.status;
    for (auto& [k, v] : r.headers) res.set_header(k.c_str(), v);
    res.set_content(r.body, r.content_type.c_str());
  };
  I->svr.Get(".*", handler);
  I->svr.Post(".*", handler);
  I->svr.Put(".*", handler);
  I->svr.Delete(".*", handler);
  // One request per connection: an idle kept-alive connection of the client's
  // handle pool would hold one of the server's few worker threads.
  I->svr.set_keep_alive_max_count(1);
  I->port = I->svr.bind_to_any_port("127.0.0.1");
  I->th = std::thread([I] { I->svr.listen_after_bind(); });
  for (int i = 0; i < 200 && !I->svr.is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

FixtureServer::~FixtureServer() {
  impl_->svr.stop();
  if (impl_->th.joinable()) impl_->th.join();
}

int FixtureServer::port() const { return impl_->port; }
std::string FixtureServer::base_url() const { return "http://127.0.0.1:" + std::to_string(impl_->port); }

void FixtureServer::route(const std::string& path, FixtureResponse resp) {
  route(path, [resp](const FixtureRequest&) { return resp; });
}
void FixtureServer::route(const std::string& path, std::function<FixtureResponse(const FixtureRequest&)> fn) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->routes[path] = std::move(fn);
}
void FixtureServer::fallback(std::function<FixtureResponse(const FixtureRequest&)> fn) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->fallback = std::move(fn);
}
void FixtureServer::route_file(const std::string& path, const std::string& rel, const std::string& ct) {
  FixtureResponse r;
  r.body = read_fixture(rel);
  r.content_type = ct;
  route(path, r);
}
void FixtureServer::fail_next(const std::string& path, int status, int times, const std::string& retry_after) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->faults[path] = {status, times, retry_after};
}
void FixtureServer::delay(const std::string& path, int millis) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->delays[path] = millis;
}
void FixtureServer::drop(const std::string& path) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->drops[path] = true;
}
int FixtureServer::hits(const std::string& path) const {
  std::lock_guard<std::mutex> lk(impl_->m);
  auto it = impl_->hits.find(path);
  return it == impl_->hits.end() ? 0 : it->second;
}
int FixtureServer::total_hits() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  int n = 0;
  for (const auto& [path, k] : impl_->hits) n += k;
  return n;
}
std::vector<std::string> FixtureServer::paths_seen() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  std::vector<std::string> out;
  for (const auto& [path, k] : impl_->hits) out.push_back(path);
  return out;
}
FixtureRequest FixtureServer::last_request(const std::string& path) const {
  std::lock_guard<std::mutex> lk(impl_->m);
  auto it = impl_->last.find(path);
  return it == impl_->last.end() ? FixtureRequest{} : it->second;
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value) : name_(name) {
  if (const char* v = std::getenv(name.c_str())) {
    had_ = true;
    old_ = v;
  }
  ::setenv(name.c_str(), value.c_str(), 1);
}
ScopedEnv::~ScopedEnv() {
  if (had_) ::setenv(name_.c_str(), old_.c_str(), 1);
  else ::unsetenv(name_.c_str());
}

AllUpstreams::AllUpstreams() {
  for (const char* group : {"NAVER", "YAHOO", "SEC", "KIS", "KIWOOM", "TOSS"})
    env_.push_back(std::make_unique<ScopedEnv>(std::string("TESSARO_") + group + "_BASE_URL", srv_.base_url()));
  env_.push_back(std::make_unique<ScopedEnv>("TESSARO_SEC_CONTACT", "Test Person test@example.com"));
}

TempHome::TempHome() {
  char tmpl[] = "/tmp/tessaro-home-XXXXXX";
  char* p = ::mkdtemp(tmpl);
  path_ = p ? p : "/tmp/tessaro-home";
  env_ = std::make_unique<ScopedEnv>("TESSARO_HOME", path_);
}
TempHome::~TempHome() {
  env_.reset();
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string read_shared_sample(const std::string& rel) {
  // Skipping is for a checkout without ../shared; a capture missing from a folder that
  // is there (renamed, removed) is a failure, named.
  const std::string dir = std::string(TESSARO_SHARED_DIR) + "/reference/samples";
  std::error_code ec;
  if (std::filesystem::is_directory(dir, ec) && !std::filesystem::exists(dir + "/" + rel, ec))
    ADD_FAILURE() << "shared sample " << rel << " is missing from " << dir << ", which is there";
  return slurp(dir + "/" + rel);
}
std::string read_fixture(const std::string& rel) { return slurp(std::string(TESSARO_FIXTURE_DIR) + "/" + rel); }

}  // namespace tessaro::testing
