// Content-Disposition for a download whose name a client chose: an ASCII
// fallback with everything but [A-Za-z0-9._-] replaced, and the name itself
// percent-encoded as filename*=UTF-8''..., so no quote, semicolon, newline or
// path in it can reach the header or the operator's disk.
#pragma once

#include <string>

namespace console {

std::string safeAsciiName(const std::string& name);
std::string contentDisposition(const std::string& name);
// The last path segment, with invalid UTF-8 replaced.
std::string baseName(const std::string& path);

}  // namespace console
