// Compression of a run of pieces on helper threads, so that the worker thread
// stays free for the upload's answers while a detail pass compresses: results
// are taken in the order of the pieces, each as soon as it is done.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "NQByteArray.h"
#include "NQCompress.h"
#include "collect/clientIdentity.h"

namespace NQBase {

class pieceCompressor {
public:
    explicit pieceCompressor(compressFn compressor) : compress_(compressor) {}
    ~pieceCompressor();  // drops the pieces not yet started and ends the helpers
    pieceCompressor(const pieceCompressor&) = delete;
    pieceCompressor& operator=(const pieceCompressor&) = delete;

    // Starts compressing pieces, which are views that must stay valid until
    // every result was taken (or the compressor is destroyed). pieceDone runs
    // on a helper thread each time the piece to take next is done. The helpers
    // (two, one on a single core) start with the first run. Only when no run
    // is pending.
    void start(std::vector<NQByteArray> pieces, int level, std::function<void()> pieceDone);
    // The next piece's result, in the order of the pieces: false when it is
    // not done yet (or no piece is left).
    bool takeNext(int& result, NQByteArray& compressed);
    // As takeNext, but waits for the piece; false only when no piece is left.
    bool waitNext(int& result, NQByteArray& compressed);
    // Pieces whose result was not taken yet.
    size_t pending() const;

private:
    struct Result {
        bool done = false;
        int code = 0;
        NQByteArray out;
    };
    bool takeLocked(int& result, NQByteArray& compressed);
    void runHelper();

    const compressFn compress_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    // Guarded by mutex_: the run, the next piece to start and to take.
    std::vector<NQByteArray> pieces_;
    std::vector<Result> results_;
    int level_ = 0;
    size_t nextStart_ = 0;
    size_t nextTake_ = 0;
    std::function<void()> pieceDone_;
    bool quit_ = false;
    std::vector<std::thread> helpers_;
};

}  // namespace NQBase
