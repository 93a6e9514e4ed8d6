#include "collect/pieceCompressor.h"

#include <utility>

namespace NQBase {

pieceCompressor::~pieceCompressor() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    for (std::thread& helper : helpers_) helper.join();
}

void pieceCompressor::start(std::vector<NQByteArray> pieces, int level, std::function<void()> pieceDone) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pieces_ = std::move(pieces);
        results_.assign(pieces_.size(), Result{});
        level_ = level;
        nextStart_ = nextTake_ = 0;
        pieceDone_ = std::move(pieceDone);
        if (helpers_.empty() && !pieces_.empty()) {
            const size_t count = std::thread::hardware_concurrency() > 1 ? 2 : 1;
            for (size_t i = 0; i < count; ++i) helpers_.emplace_back([this] { runHelper(); });
        }
    }
    wake_.notify_all();
}

bool pieceCompressor::takeLocked(int& result, NQByteArray& compressed) {
    if (nextTake_ >= results_.size() || !results_[nextTake_].done) return false;
    Result& r = results_[nextTake_++];
    result = r.code;
    compressed = std::move(r.out);
    r.out = NQByteArray();
    if (nextTake_ == results_.size()) {
        pieces_.clear();
        results_.clear();
        nextStart_ = nextTake_ = 0;
    }
    return true;
}

bool pieceCompressor::takeNext(int& result, NQByteArray& compressed) {
    std::lock_guard<std::mutex> lock(mutex_);
    return takeLocked(result, compressed);
}

bool pieceCompressor::waitNext(int& result, NQByteArray& compressed) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (nextTake_ >= results_.size()) return false;
    wake_.wait(lock, [this] { return results_[nextTake_].done; });
    return takeLocked(result, compressed);
}

size_t pieceCompressor::pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return results_.size() - nextTake_;
}

void pieceCompressor::runHelper() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return quit_ || nextStart_ < pieces_.size(); });
        if (quit_) return;
        const size_t i = nextStart_++;
        // pieces_ is left alone until every result was taken.
        const NQByteArray* in = &pieces_[i];
        const int level = level_;
        const std::function<void()> done = pieceDone_;
        lock.unlock();
        NQByteArray out;
        const int code = compress_(*in, out, level);
        lock.lock();
        results_[i].code = code;
        results_[i].out = std::move(out);
        results_[i].done = true;
        wake_.notify_all();
        // Only when the piece to take next became ready: the taker takes every
        // ready piece in order, so a piece done ahead of it is taken with it.
        // Not once the destructor has begun: whoever done() reaches may be
        // going too. A call already under way is waited for by the join.
        if (done && i == nextTake_ && !quit_) {
            lock.unlock();
            done();
            lock.lock();
        }
    }
}

}  // namespace NQBase
