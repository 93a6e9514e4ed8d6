#include "nameEncoding.h"

#include <cstdint>
#include <cstdio>

namespace logserver {
namespace {

// Length of the well-formed UTF-8 sequence at text[i], or 0.
size_t utf8SequenceAt(const std::string& text, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80) return 1;
    size_t len = 0;
    uint32_t cp = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > text.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
    if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
    return len;
}

// ASCII bytes kept as they are; everything else ASCII is escaped. Windows'
// reserved characters are escaped too, so that a store can be copied there.
bool keptAscii(unsigned char c) {
    if (c < 0x20 || c == 0x7F) return false;
    switch (c) {
        case '/': case '\\': case '%': case '#': case '~': case ':': case '*': case '?':
        case '"': case '<': case '>': case '|':
            return false;
        default:
            return true;
    }
}

void escapeByte(std::string& out, unsigned char c) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%%%02X", c);
    out += buf;
}

uint64_t fnv1a(const std::string& text) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

}  // namespace

bool isValidUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        size_t n = utf8SequenceAt(text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string encodeName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size();) {
        const auto c = static_cast<unsigned char>(name[i]);
        const size_t n = utf8SequenceAt(name, i);
        if (n == 1 && keptAscii(c) && !(i == 0 && c == '.')) {
            out.push_back(static_cast<char>(c));
            i += 1;
        } else if (n > 1) {
            out.append(name, i, n);
            i += n;
        } else {
            escapeByte(out, c);
            i += 1;
        }
    }
    // A trailing space or dot is dropped by some file systems.
    if (!out.empty() && (out.back() == ' ' || out.back() == '.')) {
        const auto last = static_cast<unsigned char>(out.back());
        out.pop_back();
        escapeByte(out, last);
    }
    if (out.empty()) out = "%";  // no other name encodes to a lone '%'
    if (out.size() > kMaxComponentBytes) {
        // Cut at a character boundary, never inside an escape.
        size_t cut = kMaxComponentBytes - 17;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        for (size_t k = 1; k <= 2 && cut >= k; ++k) {
            if (out[cut - k] == '%') {
                cut -= k;
                break;
            }
        }
        char hash[24];
        std::snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(fnv1a(name)));
        out = out.substr(0, cut) + hash;
    }
    return out;
}

std::string encodePath(const std::string& path) {
    std::string out;
    size_t depth = 0;
    size_t begin = 0;
    while (begin < path.size()) {
        size_t end = path.find('/', begin);
        if (end == std::string::npos) end = path.size();
        if (end > begin) {
            if (!out.empty()) out += '/';
            if (++depth == kMaxPathDepth) {
                // The rest, '/' included, becomes one last component.
                std::string rest = path.substr(begin);
                while (!rest.empty() && rest.back() == '/') rest.pop_back();
                out += encodeName(rest);
                return out;
            }
            out += encodeName(path.substr(begin, end - begin));
        }
        begin = end + 1;
    }
    return out.empty() ? encodeName("") : out;
}

std::string decodeName(const std::string& encoded) {
    if (encoded == "%") return {};
    std::string out;
    for (size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '%' && i + 2 < encoded.size()) {
            out.push_back(static_cast<char>(std::stoi(encoded.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(encoded[i]);
        }
    }
    return out;
}

}  // namespace logserver
