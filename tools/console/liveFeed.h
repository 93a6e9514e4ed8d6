// LiveFeed: new items as the refresher finds them, for the pages' live view.
// The last kKeep items are kept with increasing numbers; each event stream
// remembers the number it has sent up to and waits for more. close() wakes
// every waiter so that shutdown never hangs on an open stream.
// May be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "consoleItem.h"

namespace console {

class LiveFeed {
public:
    static constexpr size_t kKeep = 4096;

    void publish(const std::vector<ConsoleItem>& items);
    // The number after the newest item: a new stream starts there.
    uint64_t head();
    // Items numbered from `from` on (at most kKeep; older ones are gone),
    // waiting up to `wait` for the first. `from` moves past what is returned.
    // False once closed.
    bool waitNext(uint64_t& from, std::chrono::milliseconds wait, std::vector<ConsoleItem>& out);
    void close();

    // Event streams open now; the server refuses more than kMaxEventStreams.
    bool tryAddStream();
    void removeStream();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<ConsoleItem> items_;
    uint64_t first_ = 0;  // number of items_.front()
    bool closed_ = false;
    int streams_ = 0;
};

}  // namespace console
