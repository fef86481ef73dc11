#pragma once
// The context of one tool call: its cancellation flag and its progress channel.
//
// The host makes one context per call and binds it to the thread that runs the
// call (CallScope); parallel_for hands it on to its workers. Code below the tool
// reads it through current_call(): the HTTP client stops transfers of a cancelled
// call, the parallel map starts no new items, and long stages report progress.
// Nothing here knows about a transport: progress goes to a function the host gives.
//
// The context also keeps the call's ledger: every source request the call made,
// with what it came to (found, not found, failed and why, or stood in for another
// source). The meta builder and the wrapper read completeness, the failure
// warnings and the error flag from it, so a tool cannot forget a failed lookup.
// And it keeps the structured result a tool may hand back beside its text.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "core/lookup.hpp"

namespace tessaro {

// One source request of a call, as the ledger keeps it.
struct LedgerEntry {
  std::string source;         // what was asked: "naver.price", "naver.alerts", "sec.concept:Assets", ...
  LookupStatus outcome = LookupStatus::found;
  std::string reason;         // failed: the short cause; not_found: optional detail
  std::string stood_in_for;   // set when this source answered in place of that one
};


class CallContext {
 public:
  // progress, total and a short message; called at most once per interval.
  using ProgressFn = std::function<void(double progress, double total, const std::string& message)>;

  CallContext() = default;
  explicit CallContext(ProgressFn progress, std::chrono::milliseconds min_interval = std::chrono::milliseconds(500));
  CallContext(const CallContext&) = delete;
  CallContext& operator=(const CallContext&) = delete;

  void cancel();
  bool cancelled() const { return cancelled_.load(std::memory_order_relaxed); }
  void throw_if_cancelled() const {
    if (cancelled()) throw Cancelled();
  }
  // Sleeps up to `d`; returns early (false) when the call is cancelled meanwhile.
  bool sleep_for(std::chrono::milliseconds d) const;

  bool wants_progress() const { return static_cast<bool>(progress_); }

  // A batch of `total` items inside the current stage: progress counts on from
  // what earlier batches of the call reached, so the values only ever grow.
  void batch_begin(size_t total);
  void batch_step(size_t done);   // items of the current batch finished so far
  void batch_end();
  // A sequential loop's step (see report_progress).
  void loop_step(const std::string& label, size_t done, size_t total);

  // The stage label (empty outside a stage); set by ProgressStage.
  std::string stage() const;
  void set_stage(std::string label);

  // The ledger (safe from the call's worker threads).
  void record(LedgerEntry e);
  std::vector<LedgerEntry> ledger() const;
  // Turns a found entry into a failure; false when there is no such entry.
  bool fail_entry(size_t index, const std::string& reason);

  // The structured result of the call (the same document the text shows), if any.
  void set_structured(json doc);
  std::optional<json> structured() const;

 private:
  void emit_locked(double progress, double total, const std::string& message, bool force);

  std::atomic<bool> cancelled_{false};
  mutable std::mutex m_;
  mutable std::condition_variable cv_;
  ProgressFn progress_;
  std::chrono::milliseconds min_interval_{500};
  std::chrono::steady_clock::time_point last_sent_{};
  bool sent_any_ = false;
  double last_value_ = 0;
  double offset_ = 0;        // progress reached by finished batches
  size_t batch_total_ = 0;
  size_t batch_done_ = 0;
  double reached_ = 0;       // highest progress computed so far
  bool in_loop_ = false;     // a sequential loop is reporting
  std::string loop_label_;
  size_t loop_done_ = 0;
  std::string stage_;
  std::vector<LedgerEntry> ledger_;
  std::optional<json> structured_;
};

// The context bound to this thread, or nullptr outside a call.
CallContext* current_call();

// Binds a context to the current thread for its lifetime.
class CallScope {
 public:
  explicit CallScope(CallContext* ctx);
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  CallContext* prev_;
};

// Shorthands on the current call; no-ops outside one.
bool call_cancelled();
void check_cancelled();   // throws Cancelled when the current call was cancelled

// Records one source request in the current call's ledger; a no-op outside a call.
// The HTTP client records every request it makes on its own (named by the
// innermost LookupName, else by its host and path); a source adds what only it
// knows: a positive "no such item", a stand-in that answered for another source.
void record_lookup(std::string source, LookupStatus outcome, std::string reason = "",
                   std::string stood_in_for = "");
// The answer this thread recorded last was fetched but not understood: that entry
// becomes a failure (or, when there is none to amend, a failure is added).
void fail_last_lookup(std::string reason, std::string source = "");

// Holds back what this thread records while it lives: for a request sent ahead
// of knowing whether its answer will be used. The entries taken are handed to
// the call's ledger with record_held when the answer is used, and dropped when
// it is not (a stock with no bars needs no market division, and that request's
// fate says nothing about the stock).
class LedgerHold {
 public:
  LedgerHold();
  ~LedgerHold();
  std::vector<LedgerEntry> take();
  LedgerHold(const LedgerHold&) = delete;
  LedgerHold& operator=(const LedgerHold&) = delete;

 private:
  std::vector<LedgerEntry>* prev_;
  std::vector<LedgerEntry> held_;
};
void record_held(std::vector<LedgerEntry> entries);

// Names the source requests made on this thread while it lives ("naver.price").
class LookupName {
 public:
  explicit LookupName(std::string name);
  ~LookupName();
  LookupName(const LookupName&) = delete;
  LookupName& operator=(const LookupName&) = delete;

 private:
  std::string prev_;
};
// The innermost name on this thread ("" when none).
const std::string& current_lookup_name();

// What a call's ledger comes to.
struct LedgerSummary {
  size_t found = 0, not_found = 0, failed = 0;
  std::vector<LedgerEntry> failures;   // one per source: the first reason, `count` of them below
  std::vector<size_t> failure_counts;
  std::vector<LedgerEntry> stand_ins;  // one per (source, stood_in_for)
  bool clean() const { return failed == 0 && stand_ins.empty(); }
  // Something failed and nothing was obtained at all.
  bool nothing_obtained() const { return failed > 0 && found == 0 && stand_ins.empty(); }
};
LedgerSummary summarize(const std::vector<LedgerEntry>& ledger);
// The current call's summary (empty outside a call).
LedgerSummary current_ledger_summary();
// Hands the current call's structured result to the host; a no-op outside a call.
void set_structured_result(json doc);

// A long stage of a tool ("일봉 조회"). The parallel map run in it (the outermost
// one, wherever it sits) reports its items as progress under this label.
class ProgressStage {
 public:
  explicit ProgressStage(std::string label);
  ~ProgressStage();
  ProgressStage(const ProgressStage&) = delete;
  ProgressStage& operator=(const ProgressStage&) = delete;

 private:
  CallContext* ctx_;
  std::string prev_;
};

// Progress of a sequential loop: step `done` (1-based) of `total`, under `label`.
// Like the parallel map, only the outermost loop of a call reports.
void report_progress(const std::string& label, size_t done, size_t total);

namespace detail {
// Marks the running code as one item of a parallel map: maps and loops nested in
// it do not report progress of their own.
class ItemScope {
 public:
  ItemScope();
  ~ItemScope();
  ItemScope(const ItemScope&) = delete;
  ItemScope& operator=(const ItemScope&) = delete;
};
bool inside_item();
}  // namespace detail

}  // namespace tessaro
