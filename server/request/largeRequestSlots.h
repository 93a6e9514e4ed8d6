// LargeRequestSlots: how many large requests may be inflated at once.
//
// A request's compressed data says little about the work it holds: 1 MB of
// zlib can inflate to 1 GiB and keep a dispatch thread busy for seconds. If
// every dispatch thread took such a request, a small one would wait behind
// them all. A request whose data is at most kSmallBytes cannot inflate past
// about 1000 times that (zlib's largest ratio), so it is always handled at
// once; a larger one needs a slot, and finds none when kSlots large ones are
// already being handled: it is refused at once with CommandFailed, freeing its
// thread, and its client sends it again later. The remaining dispatch threads
// are thus always free for small requests.
//
// Thread rules: may be used from any thread.
#pragma once

#include <atomic>
#include <cstddef>

namespace logserver {

class LargeRequestSlots {
public:
    static constexpr size_t kSmallBytes = 64 * 1024;

    explicit LargeRequestSlots(int slots) : free_(slots) {}
    LargeRequestSlots(const LargeRequestSlots&) = delete;
    LargeRequestSlots& operator=(const LargeRequestSlots&) = delete;

    // Holds a slot while it lives, if it got one.
    class Ticket {
    public:
        Ticket(LargeRequestSlots* slots, size_t dataBytes) {
            if (slots == nullptr || dataBytes <= kSmallBytes) return;
            if (--slots->free_ >= 0) {
                held_ = slots;
            } else {
                ++slots->free_;
                refused_ = true;
            }
        }
        ~Ticket() {
            if (held_ != nullptr) ++held_->free_;
        }
        Ticket(const Ticket&) = delete;
        Ticket& operator=(const Ticket&) = delete;
        bool refused() const { return refused_; }

    private:
        LargeRequestSlots* held_ = nullptr;
        bool refused_ = false;
    };

private:
    std::atomic<int> free_;
};

}  // namespace logserver
