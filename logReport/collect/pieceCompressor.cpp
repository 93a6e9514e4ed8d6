#include "collect/pieceCompressor.h"

#include <utility>

namespace NQBase {

pieceCompressor::~pieceCompressor() {
    if (!helper_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    helper_.join();
}

void pieceCompressor::compressEach(const std::vector<NQByteArray>& pieces, int level,
                                   const std::function<void(int, NQByteArray&)>& take) {
    static const bool twoCores = std::thread::hardware_concurrency() > 1;
    size_t i = 0;
    while (i < pieces.size()) {
        NQByteArray out;
        if (!twoCores || i + 1 == pieces.size()) {
            const int result = compress_(pieces[i], out, level);
            take(result, out);
            ++i;
            continue;
        }
        startAhead(pieces[i + 1], level);
        int result = compress_(pieces[i], out, level);
        // The helper reads pieces[i + 1]: it must be done with it before an
        // exception from take() lets the caller free the pieces.
        struct AheadGuard {
            pieceCompressor* self;
            bool pending = true;
            ~AheadGuard() {
                NQByteArray ignored;
                if (pending) self->finishAhead(ignored);
            }
        } guard{this};
        take(result, out);
        NQByteArray ahead;
        result = finishAhead(ahead);
        guard.pending = false;
        take(result, ahead);
        i += 2;
    }
}

void pieceCompressor::startAhead(const NQByteArray& piece, int level) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!helper_.joinable()) helper_ = std::thread([this] { runHelper(); });
        job_ = Job{};
        job_.in = &piece;
        job_.level = level;
    }
    wake_.notify_all();
}

int pieceCompressor::finishAhead(NQByteArray& out) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return job_.done; });
    out = std::move(job_.out);
    const int result = job_.result;
    job_ = Job{};
    return result;
}

void pieceCompressor::runHelper() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return quit_ || (job_.in != nullptr && !job_.done); });
        if (quit_) return;
        const NQByteArray* in = job_.in;
        const int level = job_.level;
        lock.unlock();
        NQByteArray out;
        const int result = compress_(*in, out, level);
        lock.lock();
        job_.out = std::move(out);
        job_.result = result;
        job_.done = true;
        wake_.notify_all();
    }
}

}  // namespace NQBase
