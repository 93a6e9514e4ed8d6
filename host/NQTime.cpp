#include "NQTime.h"

#include "NQClock.h"

namespace NQBase {

namespace {

// Seconds, rounded down also before 1970.
int64_t floorSeconds(int64_t ms) { return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000); }

bool utcTime(int64_t t, std::tm* out) {
#if defined(_WIN32)
    __time64_t value = t;
    return _gmtime64_s(out, &value) == 0;
#else
    std::time_t value = static_cast<std::time_t>(t);
    return gmtime_r(&value, out) != nullptr;
#endif
}

}  // namespace

int64_t nq_time64() { return floorSeconds(NQClock::wallMs()); }

bool nq_localtime64(int64_t t, std::tm* out) {
    if (out == nullptr) return false;
#if defined(_WIN32)
    __time64_t value = t;
    return _localtime64_s(out, &value) == 0;
#else
    std::time_t value = static_cast<std::time_t>(t);
    return localtime_r(&value, out) != nullptr;
#endif
}

double nq_difftime64(int64_t end, int64_t begin) { return static_cast<double>(end - begin); }

int64_t GetCurrentSystemTime() { return NQClock::wallMs(); }

std::string FormatTimeStr(int64_t seconds, bool local) {
    // The Windows C runtime converts 1970-01-01 00:00:00 to 3000-12-31 23:59:59
    // UTC and refuses the rest; every system refuses the same, so a time gives
    // the same text everywhere or none anywhere.
    constexpr int64_t kLatestTime = 32535215999;
    if (seconds < 0 || seconds > kLatestTime) return std::string();
    std::tm parts{};
    bool ok = local ? nq_localtime64(seconds, &parts) : utcTime(seconds, &parts);
    if (!ok) return std::string();
    char text[64];
    size_t n = std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &parts);
    return std::string(text, n);
}

}  // namespace NQBase
