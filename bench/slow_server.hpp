#pragma once
// A loopback HTTP/1.1 server for benchmarks: one thread per connection,
// keep-alive, a fixed latency before every answer, and counters of requests and
// of the most requests it ever had in hand at once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

struct Reply {
  std::string body;
  std::string type;
};

// Query parameter of a request target ("" when absent).
inline std::string param(const std::string& target, const std::string& key) {
  auto q = target.find('?');
  if (q == std::string::npos) return "";
  std::string qs = target.substr(q + 1);
  size_t at = 0;
  while (at < qs.size()) {
    size_t amp = qs.find('&', at);
    std::string kv = qs.substr(at, amp == std::string::npos ? std::string::npos : amp - at);
    auto eq = kv.find('=');
    if (eq != std::string::npos && kv.substr(0, eq) == key) return kv.substr(eq + 1);
    if (amp == std::string::npos) break;
    at = amp + 1;
  }
  return "";
}

class SlowServer {
 public:
  SlowServer(int latency_ms, std::function<Reply(const std::string& target)> handler)
      : latency_ms_(latency_ms), handler_(std::move(handler)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    ::listen(fd_, 1024);
    th_ = std::thread([this] {
      for (;;) {
        int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        ++connections;
        ++live_;
        {
          std::lock_guard<std::mutex> lk(conns_m_);
          conns_.push_back(c);
        }
        std::thread([this, c] {
          serve(c);
          {
            std::lock_guard<std::mutex> lk(conns_m_);
            conns_.erase(std::find(conns_.begin(), conns_.end(), c));
            ::close(c);
          }
          --live_;   // the worker's last touch of the server
        }).detach();
      }
    });
  }
  ~SlowServer() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    th_.join();
    // Kept-alive connections of a client's pool end here, so no worker outlives the server.
    {
      std::lock_guard<std::mutex> lk(conns_m_);
      for (int c : conns_) ::shutdown(c, SHUT_RDWR);
    }
    while (live_.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::atomic<long> requests{0};
  std::atomic<int> max_in_flight{0};
  std::atomic<int> connections{0};   // TCP connections accepted

 private:
  void serve(int c) {
    std::string buf;
    char tmp[8192];
    for (;;) {
      size_t end;
      while ((end = buf.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = ::recv(c, tmp, sizeof tmp, 0);
        if (n <= 0) return;   // closed by the client, or by the destructor
        buf.append(tmp, size_t(n));
      }
      std::string head = buf.substr(0, end);
      buf.erase(0, end + 4);
      auto sp1 = head.find(' '), sp2 = head.find(' ', sp1 + 1);
      std::string target = head.substr(sp1 + 1, sp2 - sp1 - 1);
      ++requests;
      int now = ++in_flight_;
      int seen = max_in_flight.load();
      while (now > seen && !max_in_flight.compare_exchange_weak(seen, now)) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(latency_ms_));
      Reply r = handler_(target);
      --in_flight_;
      std::string resp = "HTTP/1.1 200 OK\r\nContent-Type: " + r.type + "\r\nContent-Length: " +
                         std::to_string(r.body.size()) + "\r\nConnection: keep-alive\r\n\r\n" + r.body;
      if (::send(c, resp.data(), resp.size(), MSG_NOSIGNAL) < 0) return;
    }
  }
  int latency_ms_;
  std::function<Reply(const std::string&)> handler_;
  std::atomic<int> in_flight_{0};
  int fd_ = -1;
  int port_ = 0;
  std::thread th_;
  std::mutex conns_m_;
  std::vector<int> conns_;   // open connections, shut down by the destructor
  std::atomic<int> live_{0};  // workers still running
};

}  // namespace bench
