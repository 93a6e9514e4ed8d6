#include "shippedDays.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include "fileOps.h"
#include "storeLayout.h"

namespace logserver {
namespace {

// Node names come from index lines: one with a separator cannot be listed.
bool listable(const std::string& node) {
    return !node.empty() && node.find_first_of(" \t\r\n") == std::string::npos;
}

}  // namespace

ShippedDays::ShippedDays(std::string storeDir, const std::string& node)
    : path_(std::move(storeDir) + "/index.pgdays." + node) {}

bool ShippedDays::load() {
    days_.clear();
    std::ifstream in(path_);
    if (!in) return false;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string day;
        if (!(fields >> day) || !StoreLayout::isDay(day)) continue;
        auto& nodes = days_[day];
        for (std::string node; fields >> node;) nodes.insert(node);
    }
    return true;
}

bool ShippedDays::save() const {
    std::string text;
    for (const auto& day : days_) {
        text += day.first;
        for (const auto& node : day.second) text += " " + node;
        text += "\n";
    }
    const std::string tmp = path_ + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = fileOps::writeAll(fd, text.data(), text.size()) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    return ok && std::rename(tmp.c_str(), path_.c_str()) == 0 && fileOps::syncDir(fileOps::parentOf(path_));
}

bool ShippedDays::add(const std::string& day, const std::string& node) {
    auto& nodes = days_[day];
    const bool newDay = nodes.empty();
    const bool newNode = listable(node) && nodes.insert(node).second;
    return newDay || newNode;
}

}  // namespace logserver
