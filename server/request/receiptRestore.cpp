#include "receiptRestore.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

namespace logserver {
namespace {

// The text of "key":"..." in an index line (the server writes no spaces);
// key is given with its quotes, colon and opening quote. Empty when absent.
// Without allocating: a start reads a whole day of lines.
std::string_view field(const std::string& line, std::string_view key) {
    const size_t at = line.find(key.data(), 0, key.size());
    if (at == std::string::npos) return {};
    const size_t begin = at + key.size();
    const size_t end = line.find('"', begin);
    return end == std::string::npos ? std::string_view() : std::string_view(line).substr(begin, end - begin);
}

// Digits text[at, at + n) as a number; false on anything else.
bool digits(std::string_view text, size_t at, size_t n, int& out) {
    out = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        out = out * 10 + (text[i] - '0');
    }
    return true;
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t daysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// "YYYY-MM-DDTHH:MM:SS.mmmZ" as UTC; false for anything else.
bool parseTime(std::string_view text, std::chrono::system_clock::time_point& out) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
    if (text.size() != 24 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != '.' || text[23] != 'Z' || !digits(text, 0, 4, year) ||
        !digits(text, 5, 2, month) || !digits(text, 8, 2, day) || !digits(text, 11, 2, hour) ||
        !digits(text, 14, 2, minute) || !digits(text, 17, 2, second) || !digits(text, 20, 3, millis) || month < 1 ||
        month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return false;
    const int64_t seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    out = std::chrono::system_clock::time_point(std::chrono::seconds(seconds)) + std::chrono::milliseconds(millis);
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
        const std::string_view receipt = field(line, "\"receipt\":\"");
        if (receipt.empty() || !parseTime(field(line, "\"time\":\""), stored)) continue;
        const auto age = std::chrono::duration_cast<std::chrono::seconds>(now - stored);
        if (age >= window.window() || !ReceiptWindow::fromHex(std::string(receipt), key)) continue;
        const uint64_t seq = std::strtoull(line.c_str() + 7, nullptr, 10);  // after {"seq":
        window.remember(key, seq, age.count() < 0 ? std::chrono::seconds(0) : age);
        ++restored;
    }
    return restored;
}

}  // namespace logserver
