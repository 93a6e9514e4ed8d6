#include "storeSet.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <ctime>

namespace console {
namespace {

bool isDir(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string absolute(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

}  // namespace

bool StoreSet::isDay(const std::string& text) {
    if (text.size() != 10) return false;
    for (size_t i = 0; i < 10; ++i) {
        const bool dash = i == 4 || i == 7;
        if (dash ? text[i] != '-' : (text[i] < '0' || text[i] > '9')) return false;
    }
    return true;
}

StoreSet::StoreSet(std::vector<std::string> roots) {
    for (auto& r : roots) roots_.push_back(absolute(r));
    rescan();
}

void StoreSet::rescan() {
    std::vector<StoreDir> found;
    for (const auto& root : roots_) {
        found.push_back({root, ""});
        // An organisation store is a folder of the root that has an index of
        // its own; the root's own folders (index/, meta/, ...) never do.
        for (const auto& name : entries(root))
            if (isDir(root + "/" + name + "/index")) found.push_back({root + "/" + name, name});
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& f : found) {
        auto known = std::find_if(dirs_.begin(), dirs_.end(), [&](const StoreDir& d) { return d.root == f.root; });
        if (known == dirs_.end()) dirs_.push_back(f);
    }
}

std::vector<StoreDir> StoreSet::dirs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dirs_;
}

bool StoreSet::resolve(const StoreDir& dir, const std::string& rel, std::string& out) {
    if (rel.empty() || rel[0] == '/' || rel.find('\0') != std::string::npos) return false;
    for (size_t begin = 0; begin <= rel.size();) {
        size_t end = rel.find('/', begin);
        if (end == std::string::npos) end = rel.size();
        if (rel.compare(begin, end - begin, "..") == 0) return false;
        begin = end + 1;
    }
    out = dir.root + "/" + rel;
    return true;
}

std::string StoreSet::dayAfter(const std::string& day) {
    if (!isDay(day)) return {};
    std::tm tm{};
    tm.tm_year = std::atoi(day.c_str()) - 1900;
    tm.tm_mon = std::atoi(day.c_str() + 5) - 1;
    tm.tm_mday = std::atoi(day.c_str() + 8) + 1;  // timegm carries into the next month
    const std::time_t t = ::timegm(&tm);
    std::tm next{};
    gmtime_r(&t, &next);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &next);
    return buf;
}

std::vector<std::string> StoreSet::indexDays(const StoreDir& dir) {
    std::vector<std::string> days;
    for (const auto& name : entries(dir.root + "/index"))
        if (name.size() == 16 && name.compare(10, 6, ".jsonl") == 0 && isDay(name.substr(0, 10)))
            days.push_back(name.substr(0, 10));
    return days;
}

}  // namespace console
