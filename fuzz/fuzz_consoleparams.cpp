// The console's parsing of what a request sends: search parameters (as a
// query string "k=v&k=v"), item ids, cursors, times, download names, and
// the error mark of log lines. Nothing may crash, and what is accepted must
// be what the console relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "downloadName.h"
#include "jsonText.h"
#include "logPager.h"
#include "searchQuery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::map<std::string, std::string> params;
    for (size_t begin = 0; begin <= text.size();) {
        size_t end = text.find('&', begin);
        if (end == std::string::npos) end = text.size();
        const std::string pair = text.substr(begin, end - begin);
        const size_t eq = pair.find('=');
        params[pair.substr(0, eq)] = eq == std::string::npos ? "" : pair.substr(eq + 1);
        begin = end + 1;
    }
    console::SearchQuery q;
    std::string error;
    const bool ok = console::parseSearchQuery(
        [&](const char* name) {
            auto it = params.find(name);
            return it == params.end() ? std::string() : it->second;
        },
        q, error);
    if (ok) {
        // Accepted times are in the index's fixed-width form; a kind is known.
        if ((!q.from.empty() && q.from.size() != 24) || (!q.to.empty() && q.to.size() != 24)) std::abort();
        if (!q.kind.empty() && !console::isKnownKind(q.kind)) std::abort();
        if (q.limit < 1 || q.limit > 500) std::abort();
    } else if (error.empty()) {
        std::abort();
    }
    int64_t id = 0;
    if (console::parseItemId(text, id) && (id <= 0 || std::to_string(id) != text)) std::abort();
    std::string time;
    if (console::parseCursor(text, time, id) && console::makeCursor(time, id) != text) std::abort();
    std::string normal;
    if (console::normalizeUtcTime(text, normal)) {
        std::string again;
        if (!console::normalizeUtcTime(normal, again) || again != normal) std::abort();
    }
    const std::string disposition = console::contentDisposition(text);
    if (disposition.find_first_of("\r\n") != std::string::npos) std::abort();
    const std::string valid = console::validUtf8(text);
    if (console::validUtf8(valid) != valid) std::abort();
    if (valid.find_first_of("\r\n") != std::string::npos) std::abort();  // a name stays on one line
    const std::string text2 = console::validUtf8(text, console::LineEnds::kKeep);
    if (console::validUtf8(text2, console::LineEnds::kKeep) != text2) std::abort();
    (void)console::isErrorLine(text.data(), text.size());
    return 0;
}
