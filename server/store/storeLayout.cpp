#include "storeLayout.h"

namespace logserver {

bool StoreLayout::isDay(const std::string& text) {
    if (text.size() != 10) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 4 || i == 7;
        if (dash ? text[i] != '-' : (text[i] < '0' || text[i] > '9')) return false;
    }
    return true;
}

std::string StoreLayout::dayOfIndexFile(const std::string& fileName) {
    const std::string suffix = ".jsonl";
    if (fileName.size() != 10 + suffix.size() || fileName.compare(10, suffix.size(), suffix) != 0) return {};
    const std::string day = fileName.substr(0, 10);
    return isDay(day) ? day : std::string();
}

bool StoreLayout::staysInStore(const std::string& rel) {
    if (rel.empty() || rel[0] == '/') return false;
    for (size_t begin = 0; begin <= rel.size();) {
        size_t end = rel.find('/', begin);
        if (end == std::string::npos) end = rel.size();
        if (end == begin || rel.compare(begin, end - begin, "..") == 0) return false;
        begin = end + 1;
    }
    return true;
}

}  // namespace logserver
