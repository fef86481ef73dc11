#include "core/parallel.hpp"

#include "core/pinned_instant.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/call_context.hpp"

namespace tessaro {

std::optional<long long>& pinned_instant() {
  thread_local std::optional<long long> slot;
  return slot;
}

// The workers run in the caller's call context (core/call_context.hpp): once the
// call is cancelled no new item starts (its slot holds a Cancelled failure), and
// inside a ProgressStage the finished items are reported as the call's progress.
std::vector<std::exception_ptr> parallel_for(size_t n, size_t bound,
                                             const std::function<void(size_t)>& fn) {
  std::vector<std::exception_ptr> errors(n);
  if (n == 0) return errors;
  CallContext* ctx = current_call();
  // Only the outermost map of a stage reports; maps inside its items stay quiet.
  bool report = ctx && ctx->wants_progress() && !detail::inside_item() && !ctx->stage().empty();
  if (report) ctx->batch_begin(n);
  // Threads are cheap next to a network round trip, but keep a ceiling.
  size_t workers = std::min({n, std::max<size_t>(bound, 1), size_t(64)});
  std::atomic<size_t> next{0}, done{0};
  auto run = [&] {
    CallScope scope(ctx);
    for (;;) {
      size_t i = next.fetch_add(1);
      if (i >= n) return;
      if (ctx && ctx->cancelled()) {
        errors[i] = std::make_exception_ptr(Cancelled());
        continue;
      }
      try {
        detail::ItemScope item;
        fn(i);
      } catch (...) {
        errors[i] = std::current_exception();
      }
      size_t d = ++done;
      if (report) ctx->batch_step(d);
    }
  };
  if (workers == 1) {
    run();
  } else {
    std::vector<std::thread> pool;
    pool.reserve(workers);
    const std::optional<long long> pinned = pinned_instant();
    for (size_t w = 0; w < workers; ++w)
      pool.emplace_back([&run, pinned] {
        pinned_instant() = pinned;
        run();
      });
    for (auto& t : pool) t.join();
  }
  if (report) ctx->batch_end();
  return errors;
}

struct Semaphore::Impl {
  std::mutex m;
  std::condition_variable cv;
  int count;
};

Semaphore::Semaphore(int count) : impl_(new Impl) { impl_->count = count; }
Semaphore::~Semaphore() { delete impl_; }
void Semaphore::acquire() {
  std::unique_lock<std::mutex> lk(impl_->m);
  impl_->cv.wait(lk, [&] { return impl_->count > 0; });
  --impl_->count;
}
bool Semaphore::try_acquire_for(std::chrono::milliseconds d) {
  std::unique_lock<std::mutex> lk(impl_->m);
  if (!impl_->cv.wait_for(lk, d, [&] { return impl_->count > 0; })) return false;
  --impl_->count;
  return true;
}
void Semaphore::release() {
  {
    std::lock_guard<std::mutex> lk(impl_->m);
    ++impl_->count;
  }
  impl_->cv.notify_one();
}

}  // namespace tessaro
