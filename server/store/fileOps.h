// Small POSIX file helpers the store's classes share.
#pragma once

#include <cstddef>
#include <string>

namespace logserver {
namespace fileOps {

// Writes all of [p, p + size); false with errno set (ENOSPC for a write of 0).
bool writeAll(int fd, const char* p, size_t size);
// fsync of the file or folder at path.
bool syncFile(const std::string& path);
bool syncDir(const std::string& dir);
// The folder part of a path ("" for a bare name).
std::string parentOf(const std::string& path);

}  // namespace fileOps
}  // namespace logserver
