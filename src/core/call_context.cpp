#include "core/call_context.hpp"

#include <algorithm>
#include <tuple>
#include <utility>

namespace tessaro {

namespace {
thread_local CallContext* t_call = nullptr;
thread_local int t_item_depth = 0;
thread_local std::string t_lookup_name;
// The entry this thread recorded last: its call and its place in that ledger.
thread_local const CallContext* t_last_ctx = nullptr;
thread_local size_t t_last_index = 0;
thread_local std::vector<LedgerEntry>* t_hold = nullptr;   // a LedgerHold of this thread

std::string step_message(const std::string& label, size_t done, size_t total) {
  return label + " " + std::to_string(done) + "/" + std::to_string(total);
}
}  // namespace

CallContext::CallContext(ProgressFn progress, std::chrono::milliseconds min_interval)
    : progress_(std::move(progress)), min_interval_(min_interval) {}

void CallContext::cancel() {
  {
    std::lock_guard<std::mutex> lk(m_);
    cancelled_.store(true);
  }
  cv_.notify_all();
}

bool CallContext::sleep_for(std::chrono::milliseconds d) const {
  std::unique_lock<std::mutex> lk(m_);
  return !cv_.wait_for(lk, d, [&] { return cancelled(); });
}

void CallContext::emit_locked(double progress, double total, const std::string& message, bool force) {
  if (!progress_ || cancelled()) return;
  reached_ = std::max(reached_, progress);
  if (sent_any_ && progress <= last_value_) return;   // values only grow
  auto now = std::chrono::steady_clock::now();
  if (sent_any_ && !force && now - last_sent_ < min_interval_) return;
  sent_any_ = true;
  last_sent_ = now;
  last_value_ = progress;
  try {
    progress_(progress, total, message);
  } catch (...) {
    // A transport that cannot send a notification must not fail the call.
  }
}

void CallContext::batch_begin(size_t total) {
  std::lock_guard<std::mutex> lk(m_);
  offset_ = reached_;
  batch_total_ = total;
  batch_done_ = 0;
  in_loop_ = false;
}

void CallContext::batch_step(size_t done) {
  std::lock_guard<std::mutex> lk(m_);
  if (stage_.empty() || batch_total_ == 0) return;
  batch_done_ = std::max(batch_done_, done);
  emit_locked(offset_ + double(batch_done_), offset_ + double(batch_total_),
              step_message(stage_, batch_done_, batch_total_), false);
}

void CallContext::batch_end() {
  std::lock_guard<std::mutex> lk(m_);
  offset_ = reached_;
  batch_total_ = 0;
  batch_done_ = 0;
}

void CallContext::loop_step(const std::string& label, size_t done, size_t total) {
  std::lock_guard<std::mutex> lk(m_);
  if (total == 0) return;
  if (!in_loop_ || label != loop_label_ || done < loop_done_ || total != batch_total_) {
    offset_ = reached_;
    batch_total_ = total;
    in_loop_ = true;
    loop_label_ = label;
  }
  loop_done_ = done;
  emit_locked(offset_ + double(done), offset_ + double(total), step_message(label, done, total), false);
}

std::string CallContext::stage() const {
  std::lock_guard<std::mutex> lk(m_);
  return stage_;
}

void CallContext::set_stage(std::string label) {
  std::lock_guard<std::mutex> lk(m_);
  stage_ = std::move(label);
}

void CallContext::record(LedgerEntry e) {
  std::lock_guard<std::mutex> lk(m_);
  ledger_.push_back(std::move(e));
  t_last_ctx = this;
  t_last_index = ledger_.size() - 1;
}

bool CallContext::fail_entry(size_t index, const std::string& reason) {
  std::lock_guard<std::mutex> lk(m_);
  if (index >= ledger_.size() || ledger_[index].outcome != LookupStatus::found || !ledger_[index].stood_in_for.empty())
    return false;
  ledger_[index].outcome = LookupStatus::failed;
  ledger_[index].reason = reason;
  return true;
}

std::vector<LedgerEntry> CallContext::ledger() const {
  std::lock_guard<std::mutex> lk(m_);
  return ledger_;
}

void CallContext::set_structured(json doc) {
  std::lock_guard<std::mutex> lk(m_);
  structured_ = std::move(doc);
}

std::optional<json> CallContext::structured() const {
  std::lock_guard<std::mutex> lk(m_);
  return structured_;
}

CallContext* current_call() { return t_call; }

CallScope::CallScope(CallContext* ctx) : prev_(t_call) { t_call = ctx; }
CallScope::~CallScope() { t_call = prev_; }

bool call_cancelled() { return t_call && t_call->cancelled(); }

void check_cancelled() {
  if (t_call) t_call->throw_if_cancelled();
}

void record_lookup(std::string source, LookupStatus outcome, std::string reason, std::string stood_in_for) {
  if (!t_call) return;
  LedgerEntry e{std::move(source), outcome, std::move(reason), std::move(stood_in_for)};
  if (t_hold) t_hold->push_back(std::move(e));
  else t_call->record(std::move(e));
}

void fail_last_lookup(std::string reason, std::string source) {
  if (!t_call) return;
  if (t_hold) {
    if (!t_hold->empty() && t_hold->back().outcome == LookupStatus::found && t_hold->back().stood_in_for.empty()) {
      t_hold->back().outcome = LookupStatus::failed;
      t_hold->back().reason = std::move(reason);
      return;
    }
    if (source.empty()) source = t_lookup_name.empty() ? "source" : t_lookup_name;
    t_hold->push_back(LedgerEntry{std::move(source), LookupStatus::failed, std::move(reason), ""});
    return;
  }
  if (t_last_ctx == t_call && t_call->fail_entry(t_last_index, reason)) return;
  if (source.empty()) source = t_lookup_name.empty() ? "source" : t_lookup_name;
  t_call->record(LedgerEntry{std::move(source), LookupStatus::failed, std::move(reason), ""});
}

LedgerHold::LedgerHold() : prev_(t_hold) { t_hold = &held_; }
LedgerHold::~LedgerHold() { t_hold = prev_; }
std::vector<LedgerEntry> LedgerHold::take() { return std::exchange(held_, {}); }

void record_held(std::vector<LedgerEntry> entries) {
  for (auto& e : entries) record_lookup(std::move(e.source), e.outcome, std::move(e.reason), std::move(e.stood_in_for));
}

LookupName::LookupName(std::string name) : prev_(std::move(t_lookup_name)) { t_lookup_name = std::move(name); }
LookupName::~LookupName() { t_lookup_name = std::move(prev_); }
const std::string& current_lookup_name() { return t_lookup_name; }

LedgerSummary summarize(const std::vector<LedgerEntry>& ledger) {
  LedgerSummary s;
  for (const auto& e : ledger) {
    if (!e.stood_in_for.empty()) {
      bool seen = false;
      for (const auto& x : s.stand_ins) seen = seen || (x.source == e.source && x.stood_in_for == e.stood_in_for);
      if (!seen) s.stand_ins.push_back(e);
      continue;
    }
    switch (e.outcome) {
      case LookupStatus::found: ++s.found; break;
      case LookupStatus::not_found: ++s.not_found; break;
      case LookupStatus::failed: {
        ++s.failed;
        size_t i = 0;
        while (i < s.failures.size() && s.failures[i].source != e.source) ++i;
        if (i == s.failures.size()) {
          s.failures.push_back(e);
          s.failure_counts.push_back(0);
        }
        ++s.failure_counts[i];
        break;
      }
    }
  }
  // In the order of their names, not of which parallel request ended first: the
  // same call gives the same words every time.
  std::vector<size_t> idx(s.failures.size());
  for (size_t i = 0; i < idx.size(); ++i) idx[i] = i;
  std::stable_sort(idx.begin(), idx.end(), [&](size_t a, size_t b) { return s.failures[a].source < s.failures[b].source; });
  std::vector<LedgerEntry> failures;
  std::vector<size_t> counts;
  for (size_t i : idx) {
    failures.push_back(std::move(s.failures[i]));
    counts.push_back(s.failure_counts[i]);
  }
  s.failures = std::move(failures);
  s.failure_counts = std::move(counts);
  std::stable_sort(s.stand_ins.begin(), s.stand_ins.end(), [](const LedgerEntry& a, const LedgerEntry& b) {
    return std::tie(a.source, a.stood_in_for) < std::tie(b.source, b.stood_in_for);
  });
  return s;
}

LedgerSummary current_ledger_summary() { return t_call ? summarize(t_call->ledger()) : LedgerSummary{}; }

void set_structured_result(json doc) {
  if (t_call) t_call->set_structured(std::move(doc));
}

ProgressStage::ProgressStage(std::string label) : ctx_(t_item_depth == 0 ? t_call : nullptr) {
  if (!ctx_) return;
  prev_ = ctx_->stage();
  ctx_->set_stage(std::move(label));
}

ProgressStage::~ProgressStage() {
  if (ctx_) ctx_->set_stage(std::move(prev_));
}

void report_progress(const std::string& label, size_t done, size_t total) {
  if (!t_call || t_item_depth > 0 || !t_call->wants_progress()) return;
  t_call->loop_step(label, done, total);
}

namespace detail {
ItemScope::ItemScope() { ++t_item_depth; }
ItemScope::~ItemScope() { --t_item_depth; }
bool inside_item() { return t_item_depth > 0; }
}  // namespace detail

}  // namespace tessaro
