// Reads the trailer of an arbitrary "dump": whatever N and the block say, the
// reader stays inside the data and every field stays within its bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "collect/dumpTrailer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NQBase::FatalLogInfo info;
    uint32_t n = 0;
    const auto check = NQBase::readDumpTrailer(reinterpret_cast<const char*>(data), static_cast<int>(size), info, n);
    if (check == NQBase::DumpTrailerCheck::ok) {
        if (n > size || info.version.size() > 127 || info.logDate.size() > 10 || info.client.size() > 127) std::abort();
    }
    return 0;
}
