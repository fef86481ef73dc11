#pragma once
// Parallel fetches that keep partial results: run fn(i) for i in [0, n) with at
// most `bound` running at once. Each failure is captured for its index (null
// when fn(i) returned normally); nothing is thrown to the caller.
#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <vector>

namespace tessaro {

std::vector<std::exception_ptr> parallel_for(size_t n, size_t bound,
                                             const std::function<void(size_t)>& fn);

// A counting semaphore usable across threads (concurrency bounds shared by many calls).
class Semaphore {
 public:
  explicit Semaphore(int count);
  ~Semaphore();
  void acquire();
  // Waits at most `d` for a slot; false when none came free.
  bool try_acquire_for(std::chrono::milliseconds d);
  void release();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

 private:
  struct Impl;
  Impl* impl_;
};

struct SemaphoreGuard {
  explicit SemaphoreGuard(Semaphore& s) : s_(s) { s_.acquire(); }
  ~SemaphoreGuard() { s_.release(); }
  Semaphore& s_;
};

}  // namespace tessaro
