#include "collect/dumpTrailer.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "NQString.h"

namespace NQBase {

std::string formatDumpTrailer(const DumpTrailer& t) {
    std::string block = stdstring::FormatString(
        "\nMeetVer:%s\nMeetID:%d\nMemberID:%d\nClient:%s\nIP:%s\nDumpTime:%s\nException code:%s\n"
        "Fault address:%s\nModule:%s\n",
        t.meetVer.c_str(), t.meetID, t.memberID, t.client.c_str(), t.ip.c_str(), t.dumpTime.c_str(),
        t.exceptionCode.c_str(), t.faultAddress.c_str(), t.module.c_str());
    char length[kDumpLengthBytes];
    encodeInt32(length, static_cast<int32_t>(block.size() + kDumpLengthBytes));
    block.append(length, sizeof length);
    return block;
}

namespace {

constexpr int kDumpValueCapacity = 128;
constexpr int kDumpTimeBytes = 10;

uint32_t trailingLength(const char* data, int size) {
    return static_cast<uint32_t>(decodeInt32(data + size - kDumpLengthBytes));
}

// The value after key up to the next line feed, cut to the buffer; "" when the
// key is missing.
std::string dumpValue(const char* block, const char* key, int keepBytes = kDumpValueCapacity) {
    char value[kDumpValueCapacity];
    value[0] = '\0';
    int capacity = kDumpValueCapacity;
    MatchSubString(block, key, "\n", value, capacity);
    if (keepBytes < kDumpValueCapacity) value[keepBytes] = '\0';
    return value;
}

void fillFromBlock(const char* block, FatalLogInfo& info) {
    info.version = dumpValue(block, kDumpKeyMeetVer);
    info.conferenceID = std::atoi(dumpValue(block, kDumpKeyMeetID).c_str());
    info.userID = std::atoi(dumpValue(block, kDumpKeyMemberID).c_str());
    info.client = dumpValue(block, kDumpKeyClient);
    info.clientIP = dumpValue(block, kDumpKeyIP);
    info.logDate = dumpValue(block, kDumpKeyDumpTime, kDumpTimeBytes);
    info.content.clear();
    info.content += "Exception code:" + dumpValue(block, kDumpKeyExceptionCode) + "\n";
    info.content += "Fault address:" + dumpValue(block, kDumpKeyFaultAddress) + "\n";
    info.content += "Module:" + dumpValue(block, kDumpKeyModule) + "\n";
}

}  // namespace

DumpTrailerCheck readDumpTrailer(const char* data, int size, FatalLogInfo& info, uint32_t& n) {
    n = 0;
    if (size <= kDumpLengthBytes) return DumpTrailerCheck::tooShort;
    n = trailingLength(data, size);
    if (n > static_cast<uint32_t>(size)) return DumpTrailerCheck::lengthPastStart;
    // A copy, so that the search ends at the data's end even without a NUL.
    const std::string block(data + (size - static_cast<int>(n)), n);
    fillFromBlock(block.c_str(), info);
    return DumpTrailerCheck::ok;
}

bool appendDumpTrailer(const std::string& dumpPath, const DumpTrailer& t) {
    std::ofstream out(std::filesystem::u8path(dumpPath), std::ios::binary | std::ios::app);
    if (!out) return false;
    const std::string block = formatDumpTrailer(t);
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
    out.close();
    return !out.fail();
}

}  // namespace NQBase
