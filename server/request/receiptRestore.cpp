#include "receiptRestore.h"

#include <ctime>
#include <cstdlib>
#include <fstream>
#include <string>

namespace logserver {
namespace {

// The text of "key":"..." in an index line; the server writes no spaces.
std::string field(const std::string& line, const std::string& key) {
    const std::string start = "\"" + key + "\":\"";
    const size_t at = line.find(start);
    if (at == std::string::npos) return {};
    const size_t end = line.find('"', at + start.size());
    return end == std::string::npos ? std::string() : line.substr(at + start.size(), end - at - start.size());
}

// "YYYY-MM-DDTHH:MM:SS.mmmZ" as UTC; false for anything else.
bool parseTime(const std::string& text, std::chrono::system_clock::time_point& out) {
    std::tm tm{};
    int millis = 0;
    if (text.size() != 24 || std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &tm.tm_year, &tm.tm_mon,
                                         &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &millis) != 7)
        return false;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    out = std::chrono::system_clock::from_time_t(timegm(&tm)) + std::chrono::milliseconds(millis);
    return true;
}

}  // namespace

size_t ReceiptRestore::fromStore(ReceiptWindow& window, const LogStore& store,
                                 std::chrono::system_clock::time_point now) {
    if (!window.enabled() || store.newestIndexDay().empty()) return 0;
    std::ifstream in(store.root() + "/" + store.newestIndexDay(), std::ios::binary);
    size_t restored = 0;
    for (std::string line; std::getline(in, line);) {
        ReceiptWindow::Key key{};
        std::chrono::system_clock::time_point stored;
        if (!ReceiptWindow::fromHex(field(line, "receipt"), key) || !parseTime(field(line, "time"), stored)) continue;
        const auto age = std::chrono::duration_cast<std::chrono::seconds>(now - stored);
        if (age >= window.window()) continue;
        const uint64_t seq = std::strtoull(line.c_str() + 7, nullptr, 10);  // after {"seq":
        window.remember(key, seq, age.count() < 0 ? std::chrono::seconds(0) : age);
        ++restored;
    }
    return restored;
}

}  // namespace logserver
