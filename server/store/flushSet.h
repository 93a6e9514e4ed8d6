// FlushSet: what the next group flush must make durable, gathered from the
// commands that wrote since the last one.
//
// A command that wrote a file does not flush it itself: it notes the file
// here and waits for the group flush, which flushes each distinct file once
// however many commands appended to it. Appended files are noted by an open
// descriptor (a duplicate, so that the caller may close or cache its own):
// the file flushed is then the one written, even if an operator renames it
// meanwhile. Files a command created, and folders whose entries changed, are
// noted by path: a command may create many files and must not hold a
// descriptor for each.
//
// take() hands everything noted so far to one flush round; a round that
// failed gives it back with putBack(), so that the commands noted after it
// still find their files flushed by the next round.
//
// Thread rules: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace logserver {

class FlushSet {
public:
    // What one round flushes; owns its descriptors.
    struct Batch {
        Batch() = default;
        Batch(Batch&& other) noexcept;
        Batch& operator=(Batch&& other) noexcept;
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;
        ~Batch();

        std::map<std::pair<dev_t, ino_t>, int> appended;  // file identity -> descriptor
        std::set<std::string> created;  // full paths
        std::set<std::string> folders;  // full paths
        std::vector<uint64_t> commits;  // commands to record as committed afterwards
        bool empty() const { return appended.empty() && created.empty() && folders.empty() && commits.empty(); }
    };

    FlushSet() = default;
    FlushSet(const FlushSet&) = delete;
    FlushSet& operator=(const FlushSet&) = delete;

    // False when fd cannot be duplicated (errno tells why).
    bool noteAppended(int fd);
    void noteCreated(const std::string& fullPath);
    void noteFolder(const std::string& fullPath);
    void noteCommit(uint64_t seq);

    Batch take();
    void putBack(Batch&& batch);

private:
    std::mutex mutex_;
    Batch pending_;
};

}  // namespace logserver
