// The text block a crash handler appends to a dump so that the report library
// can tell which client, meeting and fault it belongs to.
//
// Layout at the end of the dump file:
//   dump body (not interpreted)
//   block text: "\nMeetVer:%s\nMeetID:%d\nMemberID:%d\nClient:%s\nIP:%s\nDumpTime:%s\n"
//               "Exception code:%s\nFault address:%s\nModule:%s\n"
//   N (4 bytes, unsigned, least significant first): length of the block text
//               plus these 4 bytes, so the block starts at file size - N.
// A value runs from the end of its key to the next line feed, so values must
// hold no line feed; the reader keeps at most 127 bytes of each.
#pragma once

#include <cstdint>
#include <string>

#include "store/reportRecords.h"

namespace NQBase {

// Keys of the block, each starting with the line feed that ends the previous value.
inline constexpr const char* kDumpKeyMeetVer = "\nMeetVer:";
inline constexpr const char* kDumpKeyMeetID = "\nMeetID:";
inline constexpr const char* kDumpKeyMemberID = "\nMemberID:";
inline constexpr const char* kDumpKeyClient = "\nClient:";
inline constexpr const char* kDumpKeyIP = "\nIP:";
inline constexpr const char* kDumpKeyDumpTime = "\nDumpTime:";
inline constexpr const char* kDumpKeyExceptionCode = "\nException code:";
inline constexpr const char* kDumpKeyFaultAddress = "\nFault address:";
inline constexpr const char* kDumpKeyModule = "\nModule:";

constexpr int kDumpLengthBytes = 4;

struct DumpTrailer {
    std::string meetVer;
    int32_t meetID = 0;
    int32_t memberID = 0;
    std::string client;
    std::string ip;
    std::string dumpTime;
    std::string exceptionCode;
    std::string faultAddress;
    std::string module;
};

// The whole appended block: text and length.
std::string formatDumpTrailer(const DumpTrailer& t);
// Appends the block to the file (created when missing). False when the file
// cannot be opened or written.
bool appendDumpTrailer(const std::string& dumpPath, const DumpTrailer& t);

enum class DumpTrailerCheck { ok, tooShort, lengthPastStart };

// Reads the block at the end of a whole dump into the record's descriptive
// fields (version, conferenceID, userID, client, clientIP, logDate cut to 10
// bytes, the three content lines). N is the trailing length as stored. Never
// reads outside [data, data + size).
DumpTrailerCheck readDumpTrailer(const char* data, int size, FatalLogInfo& info, uint32_t& n);

}  // namespace NQBase
