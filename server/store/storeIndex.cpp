#include "storeIndex.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "nameEncoding.h"

namespace logserver {

IndexLine::IndexLine(const std::string& seq, const std::string& node, const std::string& time) : w_(buf_) {
    w_.StartObject();
    w_.Key("seq");
    w_.RawValue(seq.data(), seq.size(), rapidjson::kNumberType);
    if (!node.empty()) text("node", node);
    text("time", time);
}

void IndexLine::text(const char* key, const std::string& value) {
    if (isValidUtf8(value)) {
        w_.Key(key);
        w_.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
        return;
    }
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(value.size() * 2);
    for (unsigned char c : value) {
        hex.push_back(digits[c >> 4]);
        hex.push_back(digits[c & 15]);
    }
    w_.Key((std::string(key) + "Hex").c_str());
    w_.String(hex.data(), static_cast<rapidjson::SizeType>(hex.size()));
}

void IndexLine::number(const char* key, int64_t value) {
    w_.Key(key);
    w_.Int64(value);
}

void IndexLine::flag(const char* key, bool value) {
    w_.Key(key);
    w_.Bool(value);
}

std::string IndexLine::finish() {
    w_.EndObject();
    std::string line(buf_.GetString(), buf_.GetSize());
    line += '\n';
    return line;
}

bool repairIndex(const std::string& path, const std::string& name, bool sync, std::vector<std::string>& notes) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return true;  // no index yet
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    off_t size = ok ? st.st_size : 0;
    char last = '\n';
    if (ok && size > 0) ok = ::pread(fd, &last, 1, size - 1) == 1;
    if (ok && last != '\n') {
        // Walk back to the end of the last whole line.
        off_t keep = size - 1;
        char buf[4096];
        bool found = false;
        while (keep > 0 && !found) {
            off_t from = keep > static_cast<off_t>(sizeof buf) ? keep - static_cast<off_t>(sizeof buf) : 0;
            ssize_t n = ::pread(fd, buf, static_cast<size_t>(keep - from), from);
            if (n <= 0) break;
            for (ssize_t i = n - 1; i >= 0; --i) {
                if (buf[i] == '\n') {
                    keep = from + i + 1;
                    found = true;
                    break;
                }
            }
            if (!found) keep = from;
        }
        ok = ::ftruncate(fd, keep) == 0 && (!sync || ::fsync(fd) == 0);
        notes.push_back(name + ": cut a torn last line of " + std::to_string(size - keep) + " bytes");
    }
    ::close(fd);
    return ok;
}

IndexScan scanIndex(const std::string& path, const std::set<uint64_t>& wanted) {
    IndexScan scan;
    std::ifstream in(path, std::ios::binary);
    const std::string prefix = "{\"seq\":";
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        const uint64_t seq = std::strtoull(line.c_str() + prefix.size(), nullptr, 10);
        if (seq > scan.lastSeq) scan.lastSeq = seq;
        if (wanted.count(seq)) scan.found.insert(seq);
    }
    return scan;
}

}  // namespace logserver
