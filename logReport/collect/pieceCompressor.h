// Compression of a run of pieces, two at a time: the next piece on a helper
// thread while the calling thread does the current one. A detail pass over a
// backlog is tens of megabytes, and the worker uploads nothing until the whole
// pass is queued; sharing the compression with a second core shortens the pass
// without changing a byte of what is queued, nor the order of anything the
// caller does with the results.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "NQByteArray.h"
#include "collect/clientIdentity.h"

namespace NQBase {

class pieceCompressor {
public:
    explicit pieceCompressor(compressFn compressor) : compress_(compressor) {}
    ~pieceCompressor();  // ends the helper thread, if one was started
    pieceCompressor(const pieceCompressor&) = delete;
    pieceCompressor& operator=(const pieceCompressor&) = delete;

    // Compresses every piece and calls take(result, compressed bytes) for each,
    // in the order of pieces, on the calling thread. The helper thread starts at
    // the first run of more than one piece, and not at all on a single core.
    void compressEach(const std::vector<NQByteArray>& pieces, int level,
                      const std::function<void(int result, NQByteArray& compressed)>& take);

private:
    struct Job {
        const NQByteArray* in = nullptr;
        int level = 0;
        bool done = false;
        int result = 0;
        NQByteArray out;
    };
    void startAhead(const NQByteArray& piece, int level);
    // Waits for the piece started ahead; its result goes to out.
    int finishAhead(NQByteArray& out);
    void runHelper();

    const compressFn compress_;
    std::mutex mutex_;
    std::condition_variable wake_;
    Job job_;            // guarded by mutex_
    bool quit_ = false;  // guarded by mutex_
    std::thread helper_;
};

}  // namespace NQBase
