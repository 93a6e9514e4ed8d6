// The host's one path contract. Every path the library and the host take or
// return is UTF-8. On Windows a path is converted to UTF-16 and handed to the
// wide calls, with the \\?\ prefix past MAX_PATH; a path that is not valid
// UTF-8 is taken as text in the ANSI code page, which is what the ANSI calls
// would have done with it, so a client passing code-page paths keeps working.
// On POSIX systems a path is a byte string and goes to the system unchanged.
// Not installed; NQFile, NQFileLog and the directory listing call it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "../NQPlatform.h"

namespace NQBase {
namespace nqpath {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
NQHOST_API bool isUtf8(const std::string& text);

// The path as std::filesystem and the file streams take it.
NQHOST_API std::filesystem::path fsPath(const std::string& path);
// A name or path the system returned, as UTF-8.
NQHOST_API std::string fromFsPath(const std::filesystem::path& path);

// fopen for the modes "rb", "wb", "ab" and "r+b" (an existing file, read and
// written in place). On Windows the file is opened so that others may read,
// write, rename and delete it meanwhile.
NQHOST_API std::FILE* openFile(const std::string& path, const char* mode);
NQHOST_API bool removeFile(const std::string& path);
// Replaces an existing target on every system.
NQHOST_API bool renameFile(const std::string& from, const std::string& to);

struct FileStatus {
    bool exists = false;
    bool directory = false;
    int64_t size = 0;
    int64_t modified = 0;  // seconds since 1970
};
NQHOST_API FileStatus statPath(const std::string& path);

struct DirEntry {
    std::string name;  // UTF-8 on Windows; the system's bytes elsewhere
    int64_t size = 0;
    int64_t modified = 0;
};
// The regular files directly in dir, in no particular order. False when dir
// cannot be read.
NQHOST_API bool listFiles(const std::string& dir, std::vector<DirEntry>& out);

// True when another handle holds the file open for writing, as far as the
// system can tell: Windows refuses a read handle that denies writers; POSIX
// systems have no such check and always answer false.
NQHOST_API bool isOpenForWriting(const std::string& path);

#if defined(_WIN32)
// The UTF-16 form handed to the wide calls (see above), \\?\ prefixed when
// longer than MAX_PATH allows.
NQHOST_API std::wstring toWide(const std::string& path);
#endif

}  // namespace nqpath
}  // namespace NQBase
