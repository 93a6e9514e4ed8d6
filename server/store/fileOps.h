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
// fdatasync of a file (fsync of a folder) that may have been removed
// meanwhile: a path that is gone needs no flush and counts as flushed.
bool syncIfThere(const std::string& path, bool folder);
// The folder part of a path ("" for a bare name).
std::string parentOf(const std::string& path);

}  // namespace fileOps
}  // namespace logserver
