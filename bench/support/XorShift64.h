// Marsaglia's xorshift64: cheap pseudo-random words where the benchmark needs
// many (bytes that do not compress, fields of generated log lines).
#pragma once

#include <cstdint>

namespace benchsupport {

class XorShift64 {
public:
    static constexpr uint64_t kDefaultSeed = 0x9E3779B97F4A7C15ULL;
    explicit XorShift64(uint64_t seed = kDefaultSeed) : x_(seed) {}
    uint64_t next() {
        x_ ^= x_ << 13;
        x_ ^= x_ >> 7;
        x_ ^= x_ << 17;
        return x_;
    }

private:
    uint64_t x_;
};

}  // namespace benchsupport
