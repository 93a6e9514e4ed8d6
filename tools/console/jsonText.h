// Text from clients made safe for JSON: invalid UTF-8 becomes U+FFFD, so
// every answer is valid JSON whatever bytes a store holds.
#pragma once

#include <string>

namespace console {

std::string validUtf8(const std::string& in);

}  // namespace console
