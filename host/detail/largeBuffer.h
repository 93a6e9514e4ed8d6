// Large buffers that are filled right after they are allocated: a hand-out of
// the log file, the error text and its payload. Each first touch of a 4 KiB
// page is a page fault, and in a virtual machine a fault costs around 10 µs
// (a fresh 32 MiB string took 89 ms to fill with 4 KiB pages, 12 ms with 2 MiB
// ones). On Linux such a buffer asks for transparent huge pages before it is
// touched; elsewhere this does nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace NQBase {
namespace detail {

// Below this a buffer is not worth a system call.
constexpr size_t kLargeBufferBytes = size_t(4) << 20;

inline void adviseLargeBuffer(const void* data, size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kHugePage = uintptr_t(2) << 20;
    if (data == nullptr || size < kLargeBufferBytes) return;
    // Only the whole huge pages inside the buffer: the advice must not reach
    // memory that belongs to anything else.
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(kHugePage - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

}  // namespace detail
}  // namespace NQBase
