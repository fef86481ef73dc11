#pragma once
// What a source operation found: something, nothing, or it could not look (and
// why). An empty record cannot tell the last two apart, and a failed lookup
// must never be reported to a user as "nothing found".
#include <exception>
#include <string>
#include <utility>

#include "core/errors.hpp"

namespace tessaro {

enum class LookupStatus { found, not_found, failed };

template <class T>
struct Lookup {
  LookupStatus status = LookupStatus::not_found;
  T value{};
  std::string reason;   // failed: short cause ("HTTPStatusError 500", "ReadTimeout"); not_found: optional detail

  static Lookup found(T v) { return Lookup{LookupStatus::found, std::move(v), ""}; }
  static Lookup not_found(std::string why = "") { return Lookup{LookupStatus::not_found, T{}, std::move(why)}; }
  static Lookup failed(std::string why) { return Lookup{LookupStatus::failed, T{}, std::move(why)}; }

  bool ok() const { return status == LookupStatus::found; }
  bool missing() const { return status == LookupStatus::not_found; }
  bool failure() const { return status == LookupStatus::failed; }
};

// A short cause for a failed lookup: the class name, with the HTTP status when
// there is one. No message text, so no address or query ever shows.
inline std::string lookup_reason(const std::exception& e) {
  std::string r = exception_class_name(e);
  if (auto* s = dynamic_cast<const HTTPStatusError*>(&e)) r += " " + std::to_string(s->status());
  return r;
}

// Runs one source call; any exception is "failed" with its reason. An HTTP
// status never proves the asked thing does not exist (a 404/410 is an endpoint
// that moved or was retired, whatever the code): only an answer can say
// "nothing there", and `absent(value)` says whether the value that came back is
// such an empty answer.
template <class F, class Empty>
auto attempt_lookup(F&& call, Empty&& absent) -> Lookup<decltype(call())> {
  using T = decltype(call());
  try {
    T v = call();
    if (absent(v)) return Lookup<T>::not_found();
    return Lookup<T>::found(std::move(v));
  } catch (const Cancelled&) {
    throw;
  } catch (const std::exception& e) {
    return Lookup<T>::failed(lookup_reason(e));
  }
}

}  // namespace tessaro
