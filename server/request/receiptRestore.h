// ReceiptRestore: refills the re-send window at start from the newest index
// day, so that a command a client sends again after the server restarted is
// answered without being stored twice.
//
// Index lines of stored commands carry their window key ("receipt") and their
// time; lines older than the window, or without a key, are skipped.
#pragma once

#include <chrono>
#include <cstddef>

#include "logStore.h"
#include "receiptWindow.h"

namespace logserver {

class ReceiptRestore {
public:
    // now is the wall-clock time the lines' times are compared with.
    // Returns how many commands were restored.
    static size_t fromStore(ReceiptWindow& window, const LogStore& store, std::chrono::system_clock::time_point now);
};

}  // namespace logserver
