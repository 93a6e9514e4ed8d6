#include "jsonText.h"
#include <cstdint>

namespace console {

std::string validUtf8(const std::string& in, LineEnds lineEnds) {
    std::string out;
    out.reserve(in.size());
    const auto* s = reinterpret_cast<const unsigned char*>(in.data());
    const size_t n = in.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        size_t len = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            // Control characters other than tab (and line ends in text of
            // several lines) are shown as the replacement.
            const bool kept = c >= 0x20 || c == '\t' || (lineEnds == LineEnds::kKeep && (c == '\n' || c == '\r'));
            out += kept ? std::string(1, static_cast<char>(c)) : std::string("\xEF\xBF\xBD");
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        }
        bool ok = len > 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are invalid too.
        if (ok && ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
                   (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF))
            ok = false;
        if (ok) {
            out.append(in, i, len);
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

}  // namespace console
