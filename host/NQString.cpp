#include "NQString.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#  include <winsock2.h>
#  include <ws2tcpip.h>
#else
#  include <arpa/inet.h>
#endif

namespace NQBase {
namespace stdstring {

std::string FormatString(const char* fmt, ...) {
    if (fmt == nullptr) return std::string();
    // Most log lines fit here, which saves a second formatting pass.
    char small[512];
    va_list args;
    va_start(args, fmt);
    va_list retry;
    va_copy(retry, args);
    const int needed = std::vsnprintf(small, sizeof small, fmt, args);
    va_end(args);

    std::string result;
    if (needed < 0) {
        va_end(retry);
        return result;
    }
    if (static_cast<size_t>(needed) < sizeof small) {
        result.assign(small, static_cast<size_t>(needed));
    } else {
        result.resize(static_cast<size_t>(needed) + 1);
        std::vsnprintf(&result[0], result.size(), fmt, retry);
        result.resize(static_cast<size_t>(needed));
    }
    va_end(retry);
    return result;
}

void SplitString(std::vector<std::string>& out, const std::string& text, char sep, bool skipEmpty) {
    if (text.empty()) return;
    size_t begin = 0;
    while (true) {
        const size_t end = text.find(sep, begin);
        const size_t stop = end == std::string::npos ? text.size() : end;
        if (!(skipEmpty && stop == begin)) out.emplace_back(text, begin, stop - begin);
        if (end == std::string::npos) break;
        begin = end + 1;
    }
}

}  // namespace stdstring

namespace {

// "[x]" -> "x"; anything else unchanged.
std::string stripBrackets(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
    return host;
}

}  // namespace

bool splitHostAndPort(const std::string& entry, std::string& host, std::string& port) {
    // "[::1]" alone has colons but no port: the last ':' is inside the brackets.
    const size_t closing = entry.size() > 0 && entry.front() == '[' ? entry.find(']') : std::string::npos;
    const size_t colon = entry.rfind(':');
    if (colon == std::string::npos || (closing != std::string::npos && colon < closing)) {
        host = stripBrackets(entry);
        port.clear();
        return false;
    }
    host = stripBrackets(entry.substr(0, colon));
    port = entry.substr(colon + 1);
    return true;
}

bool isIPV6Str(const std::string& host) {
    std::string address = stripBrackets(host);
    // A zone ("fe80::1%eth0") is part of the textual form but not of inet_pton's.
    const size_t zone = address.find('%');
    if (zone != std::string::npos) address.resize(zone);
    if (address.empty()) return false;
    unsigned char binary[16];
#if defined(_WIN32)
    return InetPtonA(AF_INET6, address.c_str(), binary) == 1;
#else
    return inet_pton(AF_INET6, address.c_str(), binary) == 1;
#endif
}

bool MatchSubString(const char* text, const char* beginKey, const char* endMark, char* out, int& capacity) {
    if (text == nullptr || beginKey == nullptr || out == nullptr || capacity <= 0) {
        capacity = 0;
        return false;
    }
    const char* found = std::strstr(text, beginKey);
    if (found == nullptr) {
        capacity = 0;
        return false;
    }
    const char* value = found + std::strlen(beginKey);
    const char* end = endMark != nullptr && *endMark != '\0' ? std::strstr(value, endMark) : nullptr;
    size_t length = end != nullptr ? static_cast<size_t>(end - value) : std::strlen(value);
    const size_t room = static_cast<size_t>(capacity) - 1;
    if (length > room) length = room;
    std::memcpy(out, value, length);
    out[length] = '\0';
    capacity = static_cast<int>(length);
    return true;
}

}  // namespace NQBase
