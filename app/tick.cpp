// The millisecond tick: a monotonic clock read as an unsigned 32-bit count that wraps after
// about 49.7 days, which unsigned differences absorb.
#include <chrono>

#include "app/app.h"

namespace {
TickSource tickSource = nullptr;
}

std::uint32_t tickMs() {
  if (tickSource != nullptr) return tickSource();
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void setTickSource(TickSource source) { tickSource = source; }
