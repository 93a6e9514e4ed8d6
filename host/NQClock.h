// The one clock behind timers, calendar time and GetCurrentSystemTime.
// Normally real time. Tests switch it to a manual clock and advance it: due
// timers then fire on their own threads, in due order, and advance() returns
// once each tick has been handled.
#pragma once

#include <cstdint>

#include "NQPlatform.h"

namespace NQBase {
namespace NQClock {

// Monotonic milliseconds, the base of timer intervals.
NQHOST_API int64_t steadyMs();
// Calendar time: milliseconds since 1970-01-01 00:00 UTC.
NQHOST_API int64_t wallMs();

// Switches to the manual clock with the given calendar time. Timers started
// before the switch keep their real-time schedule.
NQHOST_API void useManual(int64_t wallStartMs);
// Back to real time (timers on the manual clock are dropped).
NQHOST_API void useReal();
NQHOST_API bool isManual();
// Manual clock only: moves both clocks forward by ms, firing every timer that
// falls due on the way, in due order, each handled before advance returns.
NQHOST_API void advance(int64_t ms);
// Manual clock only: sets the calendar time without moving timers (for ages of
// days without running days of timer ticks).
NQHOST_API void setWallMs(int64_t wallMs);

}  // namespace NQClock
}  // namespace NQBase
