#pragma once
// Daily, weekly and monthly bars of the Korean web source, fetched once.
//
// bars_cache::get_ohlcv has the signature and the result of naver::get_ohlcv and
// is what every reader of those series calls. Behind it:
//  - a memory cache per (code, timeframe), least recently used first out, bounded
//    by a byte cap (TESSARO_BARS_CACHE_MB, default 64);
//  - a disk cache under <home>/cache/bars/ holding only bars whose period the
//    market calendar calls final, written off the caller's path by one writer
//    thread; a file that does not read back whole is ignored and rewritten, an
//    unwritable folder only turns the disk part off;
//  - a request fetches only the tail it lacks, with an overlap of a few bars; when
//    the overlap disagrees with what is cached (a split, a corrected bar) the
//    series is dropped and fetched whole;
//  - bars still forming are kept in memory only, for TESSARO_BARS_TTL_S seconds
//    (default 45) but never across the next session boundary (an open or a
//    close of the market calendar), and never written to disk.
// TESSARO_BARS_CACHE=off passes every call straight to the source.
//
// What is final comes from the market calendar, which lives on a higher floor;
// it hands its rules in through a Finality registration. Without one nothing is
// final: no disk cache, and memory entries live for the short TTL only.
#include <chrono>
#include <optional>
#include <string>

#include "core/json.hpp"

namespace tessaro::bars_cache {

using Instant = std::chrono::sys_seconds;

struct Finality {
  // The one "now" of the market clock.
  Instant (*now)() = nullptr;
  // Whether the bar dated `day` ("YYYY-MM-DD") of `timeframe` has closed for good
  // at `now`: for a daily bar, the end of that day's last session (20:00 on
  // after-market days). nullopt when the calendar cannot tell.
  std::optional<bool> (*period_closed)(const std::string& timeframe, const std::string& day, Instant now) = nullptr;
  // The latest trading day ("YYYY-MM-DD") when it has ended and no later trading
  // day has begun at `now`: nothing upstream can change until the next one starts.
  // nullopt while a trading day is under way (from its midnight to its last close).
  std::optional<std::string> (*settled_day)(Instant now) = nullptr;
  // The first session boundary (an opening or a closing of any session) after
  // `at`: a series read before it can change at it. nullopt when unknown.
  std::optional<Instant> (*next_boundary)(Instant at) = nullptr;
};
struct FinalityRegistration {
  explicit FinalityRegistration(const Finality& f);
};

// Drop-in for naver::get_ohlcv: the latest `count` bars, oldest first.
json get_ohlcv(const std::string& code, const std::string& timeframe, int count);

// Why the disk part is off (the folder and the error), nullopt when it works.
// Waits for the file writes asked for so far.
std::optional<std::string> disk_problem();

// Files are written by a background thread; this waits until every write asked
// for so far is on disk (tests, benchmarks).
void flush_disk();

// Forget every memory entry (tests, benchmarks).
void clear_memory();
// Memory in use by cached bars, in bytes (benchmarks).
size_t memory_bytes();

}  // namespace tessaro::bars_cache
