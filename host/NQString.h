// Small string utilities.
#pragma once

#include <string>
#include <vector>

#include "NQPlatform.h"

namespace NQBase {
namespace stdstring {

NQHOST_API std::string FormatString(const char* fmt, ...) NQ_PRINTF_FORMAT(1, 2);

// Splits text at every sep. skipEmpty false keeps empty pieces: "a;;b" gives
// "a", "", "b" and "a;" gives "a", "". An empty text gives no pieces.
NQHOST_API void SplitString(std::vector<std::string>& out, const std::string& text, char sep, bool skipEmpty);

}  // namespace stdstring

// Splits "host:port" at its last ':' ("[::1]:80" and "::1:80" give "::1", "80").
// Returns false when there is no ':' (host = entry, port empty).
NQHOST_API bool splitHostAndPort(const std::string& entry, std::string& host, std::string& port);
// True for a textual IPv6 address (brackets allowed).
NQHOST_API bool isIPV6Str(const std::string& host);

// Copies what follows the first beginKey in text, up to (not including) the next
// endMark or the end of text, into out, NUL-terminated. A value longer than
// capacity - 1 is cut to capacity - 1 bytes. On return capacity holds the bytes
// copied. On a miss out is untouched and false is returned.
NQHOST_API bool MatchSubString(const char* text, const char* beginKey, const char* endMark, char* out, int& capacity);

}  // namespace NQBase
