#pragma once
// The instant ("now", Unix seconds) pinned for the running call on this thread,
// if any; the workers of parallel_for inherit it from the thread that starts them.
#include <optional>

namespace tessaro {

std::optional<long long>& pinned_instant();

}  // namespace tessaro
