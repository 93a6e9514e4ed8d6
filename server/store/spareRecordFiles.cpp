#include "spareRecordFiles.h"

#include <unistd.h>

namespace logserver {

SpareRecordFiles::~SpareRecordFiles() { clear(); }

bool SpareRecordFiles::take(Spare& spare) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spares_.empty()) return false;
    spare = std::move(spares_.back());
    spares_.pop_back();
    return true;
}

bool SpareRecordFiles::give(const Spare& spare) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spares_.size() >= capacity_) return false;
    spares_.push_back(spare);
    return true;
}

std::string SpareRecordFiles::newName(const std::string& dir) {
    std::lock_guard<std::mutex> lock(mutex_);
    return dir + "/.spare-" + std::to_string(next_++);
}

void SpareRecordFiles::clear() {
    std::vector<Spare> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        old.swap(spares_);
    }
    for (const auto& s : old) ::close(s.fd);
}

}  // namespace logserver
