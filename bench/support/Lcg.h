// A small deterministic generator (Knuth's MMIX constants), so that every run
// of a benchmark works on the same input.
#pragma once

#include <cstdint>

namespace benchsupport {

class Lcg {
public:
    explicit Lcg(uint64_t seed) : state_(seed) {}
    uint32_t next() {
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(state_ >> 33);
    }
    uint32_t below(uint32_t n) { return next() % n; }

private:
    uint64_t state_;
};

}  // namespace benchsupport
