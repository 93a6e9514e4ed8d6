// How a client's names become file names in the store.
//
// Valid UTF-8 is kept as it is, so operators find nicknames in their own
// script; every byte the file system or a shell would trip over (separators,
// control bytes, '%', a leading dot, bytes that are not UTF-8...) becomes
// %XX. The encoding is therefore reversible and two different names never
// meet. A component too long for the file system is cut and ends in "~" and
// a hash of the whole name; '~' is always escaped otherwise, so a shortened
// name cannot meet an unshortened one. '#' is always escaped too: the store
// uses it for the suffix of a name that meets a file or folder of the other
// kind. The full name as sent is recorded in the index.
#pragma once

#include <string>

namespace logserver {

// Longest encoded component, in bytes (file systems allow 255).
constexpr size_t kMaxComponentBytes = 200;
// Folder levels a client's path may have; deeper parts stay in the last
// component, their '/' escaped.
constexpr size_t kMaxPathDepth = 8;

// One path component; never empty, never "." or "..".
std::string encodeName(const std::string& name);

// A '/' separated path; empty components are dropped.
std::string encodePath(const std::string& path);

// The inverse of encodeName for names that were not shortened.
std::string decodeName(const std::string& encoded);

// True when text is well-formed UTF-8 (no overlongs, no surrogates).
bool isValidUtf8(const std::string& text);

}  // namespace logserver
