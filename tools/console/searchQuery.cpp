#include "searchQuery.h"

#include "consoleLimits.h"

namespace console {
namespace {

bool digits(const std::string& s, size_t pos, size_t n) {
    if (pos + n > s.size()) return false;
    for (size_t i = pos; i < pos + n; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

bool parseLimit(const std::string& text, int& out) {
    if (text.empty()) {
        out = kDefaultSearchLimit;
        return true;
    }
    if (text.size() > 4 || !digits(text, 0, text.size())) return false;
    out = std::stoi(text);
    return out >= 1 && out <= kMaxSearchLimit;
}

// Ids, names and meetings may hold any text a client sent, but not control
// characters: no legitimate search needs them.
bool plainText(const std::string& s) {
    if (s.size() > kMaxParamBytes) return false;
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

}  // namespace

bool isKnownKind(const std::string& kind) {
    return kind == "reportLog" || kind == "reportDetail" || kind == "reportDump" || kind == "reportUser";
}

bool normalizeUtcTime(const std::string& in, std::string& out) {
    std::string t = in;
    if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) t.pop_back();
    if (t.size() < 10 || !digits(t, 0, 4) || t[4] != '-' || !digits(t, 5, 2) || t[7] != '-' || !digits(t, 8, 2))
        return false;
    std::string result = t.substr(0, 10);
    const int month = std::stoi(t.substr(5, 2)), day = std::stoi(t.substr(8, 2));
    if (month < 1 || month > 12 || day < 1 || day > 31) return false;
    std::string hh = "00", mm = "00", ss = "00", ms = "000";
    size_t pos = 10;
    if (pos < t.size()) {
        if ((t[pos] != 'T' && t[pos] != 't' && t[pos] != ' ') || !digits(t, pos + 1, 2) || t.size() < pos + 6 ||
            t[pos + 3] != ':' || !digits(t, pos + 4, 2))
            return false;
        hh = t.substr(pos + 1, 2);
        mm = t.substr(pos + 4, 2);
        pos += 6;
        if (pos < t.size()) {
            if (t[pos] != ':' || !digits(t, pos + 1, 2)) return false;
            ss = t.substr(pos + 1, 2);
            pos += 3;
            if (pos < t.size()) {
                if (t[pos] != '.' || t.size() - pos - 1 < 1 || t.size() - pos - 1 > 9 ||
                    !digits(t, pos + 1, t.size() - pos - 1))
                    return false;
                ms = (t.substr(pos + 1) + "00").substr(0, 3);
                pos = t.size();
            }
        }
    }
    if (std::stoi(hh) > 23 || std::stoi(mm) > 59 || std::stoi(ss) > 60) return false;
    out = result + "T" + hh + ":" + mm + ":" + ss + "." + ms + "Z";
    return true;
}

bool parseItemId(const std::string& text, int64_t& out) {
    if (text.empty() || text.size() > 18 || text[0] == '0' || !digits(text, 0, text.size())) return false;
    out = std::stoll(text);
    return true;
}

std::string makeCursor(const std::string& time, int64_t id) { return time + "_" + std::to_string(id); }

bool parseCursor(const std::string& text, std::string& time, int64_t& id) {
    const size_t sep = text.rfind('_');
    if (sep == std::string::npos) return false;
    std::string normal;
    if (!normalizeUtcTime(text.substr(0, sep), normal) || normal != text.substr(0, sep)) return false;
    if (!parseItemId(text.substr(sep + 1), id)) return false;
    time = normal;
    return true;
}

bool parseSearchQuery(const ParamLookup& param, SearchQuery& q, std::string& error) {
    q = SearchQuery{};
    struct Text {
        const char* name;
        std::string* field;
    };
    for (Text t : {Text{"org", &q.org}, Text{"client", &q.client}, Text{"meeting", &q.meeting},
                   Text{"kind", &q.kind}, Text{"node", &q.node}}) {
        *t.field = param(t.name);
        if (!plainText(*t.field)) {
            error = std::string("bad parameter ") + t.name;
            return false;
        }
    }
    if (!q.kind.empty() && !isKnownKind(q.kind)) {
        error = "bad parameter kind: one of reportLog, reportDetail, reportDump, reportUser";
        return false;
    }
    const std::string from = param("from"), to = param("to");
    if (!from.empty() && !normalizeUtcTime(from, q.from)) {
        error = "bad parameter from: an ISO 8601 UTC time";
        return false;
    }
    if (!to.empty() && !normalizeUtcTime(to, q.to)) {
        error = "bad parameter to: an ISO 8601 UTC time";
        return false;
    }
    const std::string cursor = param("cursor");
    if (!cursor.empty()) {
        if (!parseCursor(cursor, q.cursorTime, q.cursorId)) {
            error = "bad parameter cursor";
            return false;
        }
        q.hasCursor = true;
    }
    if (!parseLimit(param("limit"), q.limit)) {
        error = "bad parameter limit: 1 to " + std::to_string(kMaxSearchLimit);
        return false;
    }
    return true;
}

}  // namespace console
