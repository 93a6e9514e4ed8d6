#include "collect/dumpTrailer.h"

#include <fstream>

#include "NQString.h"

namespace NQBase {

std::string formatDumpTrailer(const DumpTrailer& t) {
    std::string block = stdstring::FormatString(
        "\nMeetVer:%s\nMeetID:%d\nMemberID:%d\nClient:%s\nIP:%s\nDumpTime:%s\nException code:%s\n"
        "Fault address:%s\nModule:%s\n",
        t.meetVer.c_str(), t.meetID, t.memberID, t.client.c_str(), t.ip.c_str(), t.dumpTime.c_str(),
        t.exceptionCode.c_str(), t.faultAddress.c_str(), t.module.c_str());
    const uint32_t n = static_cast<uint32_t>(block.size() + kDumpLengthBytes);
    for (int i = 0; i < kDumpLengthBytes; ++i) block.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    return block;
}

bool appendDumpTrailer(const std::string& dumpPath, const DumpTrailer& t) {
    std::ofstream out(dumpPath, std::ios::binary | std::ios::app);
    if (!out) return false;
    const std::string block = formatDumpTrailer(t);
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
    out.close();
    return !out.fail();
}

}  // namespace NQBase
