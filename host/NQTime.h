// Calendar time on the runtime's clock (NQClock.h). nq_time64, nq_localtime64
// and nq_difftime64 are the portable stand-ins of the Windows calls _time64,
// _localtime64 and _difftime64.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "NQPlatform.h"

namespace NQBase {

NQHOST_API int64_t nq_time64();                         // seconds since 1970
NQHOST_API bool nq_localtime64(int64_t t, std::tm* out);  // local broken-down time
NQHOST_API double nq_difftime64(int64_t end, int64_t begin);

// Milliseconds since 1970.
NQHOST_API int64_t GetCurrentSystemTime();
// "YYYY-MM-DD HH:MM:SS" of seconds since 1970, local time when local is true,
// UTC otherwise. "" outside 1970-01-01 00:00:00 to 3000-12-31 23:59:59 UTC,
// the range of the Windows C runtime, on every system.
NQHOST_API std::string FormatTimeStr(int64_t seconds, bool local);

}  // namespace NQBase
