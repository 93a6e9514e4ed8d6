// SpareRecordFiles: files of pending/ kept for the next append's record.
//
// Every append is recorded under pending/<seq> until its index line is
// written. Creating that file and removing it again for each command is what
// costs most on some file systems (ext4 looks past every recently freed inode
// when it allocates one), so a confirmed record's file is renamed to a hidden
// spare name (".spare-<n>", which the start-up repair skips and removes) and
// kept open here; the next record is written into it and renamed to its
// sequence number. Thread rules: every member may be called from any thread.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace logserver {

class SpareRecordFiles {
public:
    struct Spare {
        int fd = -1;
        std::string relPath;  // from the store's root
    };

    explicit SpareRecordFiles(size_t capacity) : capacity_(capacity) {}
    ~SpareRecordFiles();
    SpareRecordFiles(const SpareRecordFiles&) = delete;
    SpareRecordFiles& operator=(const SpareRecordFiles&) = delete;

    bool take(Spare& spare);
    // False when the pool is full: the caller removes the file.
    bool give(const Spare& spare);
    // A fresh spare name in dir (relative to the root).
    std::string newName(const std::string& dir);
    // Closes every kept descriptor (their files may be gone).
    void clear();

private:
    size_t capacity_;
    std::mutex mutex_;
    std::vector<Spare> spares_;
    unsigned long next_ = 0;
};

}  // namespace logserver
