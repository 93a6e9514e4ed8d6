// The two zlib-format compressors behind zlib_compress, exposed for the
// benchmark and the tests that compare them. Not installed; not part of the
// host's interface.
#pragma once

#include "NQByteArray.h"
#include "NQPlatform.h"

namespace NQBase {
namespace detail {

// Both take levels -1 (default, 6) and 0 to 9, replace out, and return 0 or a
// zlib error code (Z_STREAM_ERROR for a bad level, Z_MEM_ERROR, Z_BUF_ERROR).
NQHOST_API int zlibBackendCompress(const NQByteArray& in, NQByteArray& out, int level);
// Reuses libdeflate compressors from a process-wide pool per level.
NQHOST_API int libdeflateBackendCompress(const NQByteArray& in, NQByteArray& out, int level);

}  // namespace detail
}  // namespace NQBase
