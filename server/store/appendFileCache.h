// AppendFileCache: descriptors of recently appended files, kept open between
// commands so that a busy client's detail log, its error log and the index
// are not opened and closed for every command.
//
// An entry is only used while its path still names the file it was opened
// on (same device and inode): a file an operator renamed, rotated or removed
// is left alone and the path is opened afresh. The cache holds at most its
// capacity of descriptors, closing the least recently used.
//
// A descriptor taken out is the caller's until it is given back; the cache
// never closes it in the meantime. Thread rules: every member may be called
// from any thread.
#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

#include <sys/stat.h>

namespace logserver {

class AppendFileCache {
public:
    explicit AppendFileCache(size_t capacity) : capacity_(capacity) {}
    ~AppendFileCache();
    AppendFileCache(const AppendFileCache&) = delete;
    AppendFileCache& operator=(const AppendFileCache&) = delete;

    // The descriptor kept for key if it is open on the file current
    // describes (a stat of the path just made), or -1. A stale one is closed.
    int take(const std::string& key, const struct stat& current);
    // Keeps fd (open on key's file) for the next take; closes the least
    // recently used beyond the capacity. Takes over fd in every case.
    // opened is fd's stat when the caller has it (else fd is asked).
    void give(const std::string& key, int fd, const struct stat* opened = nullptr);
    size_t size() const;

private:
    struct Entry {
        std::string key;
        int fd;
        dev_t dev;
        ino_t ino;
    };
    size_t capacity_;
    mutable std::mutex mutex_;
    std::list<Entry> lru_;  // most recently given back first
    std::unordered_map<std::string, std::list<Entry>::iterator> byKey_;
};

}  // namespace logserver
