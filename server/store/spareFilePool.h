// SpareFilePool: empty files made ahead of time in one folder, so that a
// command's new file there costs a rename instead of a create.
//
// On ext4 creating a file is the dear part of writing a small one (the
// allocator looks past every recently freed inode), and a command's meta file
// is created while its client waits for the answer. A thread of the pool
// creates hidden empty files ("<prefix><n>", the prefix starting with a dot)
// while the server is idle; a writer takes one, fills it and renames it to
// its real name. Names are kept, not descriptors: reopening an existing file
// costs a few microseconds, and a store per organisation must not hold
// hundreds of descriptors each.
//
// The pool never makes the folder: where it is missing (not made yet, or
// removed behind the server's back) the refill pauses until resume() says a
// file was created in it again, or until the pause ends. Any failed create
// (disk or inodes full, no descriptors) pauses it the same way, so it never
// spins. take() never waits for the thread: the lock is held only to move a
// number in or out.
//
// Thread rules: every member may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace logserver {

class SpareFilePool {
public:
    struct Options {
        // The refill starts below low and stops at high.
        size_t low = 128;
        size_t high = 256;
        // No refill for this long after a create failed, unless resume()
        // comes first: a folder made again is seen at its first new file.
        std::chrono::milliseconds pause{30000};
        // Milliseconds on a steady clock; empty: std::chrono::steady_clock.
        std::function<int64_t()> nowMs;
        // Asked before each refill: false pauses it (the store is below its
        // free-space floor). Empty: always true.
        std::function<bool()> mayGrow;
    };

    SpareFilePool(std::string dir, std::string prefix, Options options);
    // stop().
    ~SpareFilePool();
    SpareFilePool(const SpareFilePool&) = delete;
    SpareFilePool& operator=(const SpareFilePool&) = delete;

    void start();
    // Ends the thread (promptly, also in the middle of a refill) and removes
    // every spare it made that was not taken.
    void stop();

    // The full path of an empty spare, now the caller's; false when none is ready.
    bool take(std::string& path);
    // A spare taken was gone: the others may be too. They are forgotten (and
    // removed by the thread, if they still exist) and the pool starts anew.
    void lost();
    // A file was just created in the folder: a pause for a failed create ends.
    void resume();
    // Makes the thread look at the clock again (tests that move the clock).
    void wake();

    size_t ready() const;
    uint64_t taken() const;
    // Creates that failed so far (each one paused the refill).
    uint64_t failures() const;
    // Times the thread looked at its state: a test that wakes it waits for
    // this to move before it looks at what the thread did.
    uint64_t rounds() const;

    // Removes every file of dir whose name starts with ".spare-": the spares a
    // killed server left. Returns how many were removed.
    static size_t removeLeftovers(const std::string& dir);

private:
    int64_t now() const;
    void pauseLocked();
    void run();
    std::string pathOf(unsigned long n) const;

    const std::string dir_;
    const std::string prefix_;
    Options options_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<unsigned long> spares_;
    std::vector<unsigned long> discarded_;  // to be removed by the thread
    unsigned long next_ = 0;
    bool filling_ = false;
    bool stopping_ = false;
    int64_t pausedUntil_ = 0;
    uint64_t taken_ = 0;
    uint64_t failures_ = 0;
    uint64_t rounds_ = 0;
    std::thread thread_;
};

}  // namespace logserver
