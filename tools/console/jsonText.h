// Text from clients made safe for JSON: invalid UTF-8 and control characters
// other than tab become U+FFFD, so every answer is valid JSON whatever bytes a
// store holds. Line ends are kept in text of several lines (a request's JSON,
// which clients lay out over lines), never in a name.
#pragma once

#include <string>

namespace console {

enum class LineEnds { kReplace, kKeep };

std::string validUtf8(const std::string& in, LineEnds lineEnds = LineEnds::kReplace);

}  // namespace console
