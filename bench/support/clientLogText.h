// Text shaped like the client's log, the input of the compression benchmarks:
// time, thread, level, module, and a message from a few templates. As in a real
// log, ids and addresses come from small pools that recur, counters climb, and
// measurements vary. The same seed gives the same text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace benchsupport {

constexpr uint64_t kClientLogSeed = 0x5eed;

// Whole lines, at least `bytes` of them (the last line ends the text).
std::string clientLogText(size_t bytes, uint64_t seed = kClientLogSeed);

}  // namespace benchsupport
