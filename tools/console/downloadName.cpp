#include "downloadName.h"

#include "jsonText.h"

namespace console {

std::string safeAsciiName(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '_' || c == '-';
        out += plain ? static_cast<char>(c) : '_';
    }
    // No hidden files, no "..": a leading dot is replaced.
    if (!out.empty() && out[0] == '.') out[0] = '_';
    if (out.size() > 120) out.resize(120);
    return out.empty() ? "download" : out;
}

std::string contentDisposition(const std::string& name) {
    static const char* hex = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : validUtf8(baseName(name))) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '_' || c == '-';
        if (plain) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 15];
        }
    }
    return "attachment; filename=\"" + safeAsciiName(baseName(name)) + "\"; filename*=UTF-8''" + encoded;
}

std::string baseName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace console
