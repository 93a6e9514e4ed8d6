// ReceiptWindow: remembers, for a while, the commands this server stored, so
// that a client sending one again is answered without storing it twice.
//
// Why a client sends a stored command again: it was killed (or lost its
// connection) after the server had stored the command but before it recorded
// the answer, so the command is still in its queue at the next start and goes
// out again, byte for byte. Such a re-send is answered like the first store
// (the client removes it from its queue) and stores nothing.
//
// A command is known by its key: the organisation (with --tokens), the
// client's IP address (not the port: a restarted client comes on a new
// connection), the command id, the request context's command type and
// terminal id, and the SHA-256 of its JSON text and its compressed bytes. Two commands of one key are taken for one: identical
// bytes from the same address within the window. Only commands that were
// stored enter the window, so a refused command is stored on its next try.
// A copy that arrives while the first is still being stored is stored too: it
// is not known yet (rare: its client had to restart meanwhile).
//
// Bounded by age (the window; 0 turns it off) and by entries (kMaxEntries,
// the oldest goes first): about 120 bytes an entry, so at most about 12 MiB.
// Each stored command's index line records its key ("receipt"), so that a
// restarted server rebuilds the table from the newest index day
// (receiptRestore.h); another server of a fleet does not know what this one
// stored.
//
// Thread rules: every member may be called from any thread. The clock must
// stay valid while the window exists.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

namespace logserver {

class ReceiptWindow {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using Key = std::array<unsigned char, 32>;
    static constexpr size_t kMaxEntries = 100000;

    explicit ReceiptWindow(std::chrono::seconds window, size_t maxEntries = kMaxEntries,
                           Clock clock = [] { return std::chrono::steady_clock::now(); });
    ReceiptWindow(const ReceiptWindow&) = delete;
    ReceiptWindow& operator=(const ReceiptWindow&) = delete;

    // Fields are length-prefixed before they are hashed, so that no two
    // different commands give the same input.
    // cmdType and termId are the request context's "cmdType" and "TermID".
    static Key keyOf(const std::string& organisation, const std::string& address, int cmdId, const std::string& json,
                     const unsigned char* data, size_t size, const std::string& cmdType = {},
                     const std::string& termId = {});

    bool enabled() const { return window_.count() > 0; }
    // The sequence number under which a command of this key was stored within
    // the window, or false.
    bool find(const Key& key, uint64_t& seq);
    // After the command was stored under seq; age is how long ago (for
    // commands restored from the index at start).
    void remember(const Key& key, uint64_t seq, std::chrono::seconds age = std::chrono::seconds(0));
    std::chrono::seconds window() const { return window_; }
    // The key as 64 hexadecimal digits, as index lines record it, and back.
    static std::string hexOf(const Key& key);
    static bool fromHex(const std::string& text, Key& key);
    size_t size() const;

private:
    struct KeyHash {
        size_t operator()(const Key& key) const;
    };
    struct Entry {
        uint64_t seq;
        std::chrono::steady_clock::time_point stored;
    };
    // Drops what is older than the window, then the oldest beyond the bound.
    void expire(std::chrono::steady_clock::time_point now);

    const std::chrono::seconds window_;
    const size_t maxEntries_;
    Clock clock_;
    mutable std::mutex mutex_;
    std::unordered_map<Key, Entry, KeyHash> entries_;
    std::deque<Key> order_;  // oldest first
};

}  // namespace logserver
