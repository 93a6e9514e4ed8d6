// The time-out Init hands the connection layer: it bounds every call to a log
// server and every connection attempt.
#pragma once

namespace NQBase {

constexpr int kDefaultCallTimeoutMs = 60000;

// A negative request asks for the default; 0 (no time-out) and positive values
// are taken as they are.
constexpr int callTimeoutMs(int requestedMs) { return requestedMs >= 0 ? requestedMs : kDefaultCallTimeoutMs; }

}  // namespace NQBase
