#include "nqPath.h"

#include <sys/stat.h>

#include <cstring>
#include <system_error>

#if defined(_WIN32)
#  include <fcntl.h>
#  include <io.h>
#  include <windows.h>
#endif

namespace NQBase {
namespace nqpath {

namespace fs = std::filesystem;

bool isUtf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        int more;
        uint32_t code;
        if (c < 0x80) {
            ++p;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
            code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (end - p <= more) return false;
        for (int i = 1; i <= more; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            code = (code << 6) | (p[i] & 0x3F);
        }
        const uint32_t minimum = more == 1 ? 0x80 : more == 2 ? 0x800 : 0x10000;
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        p += more + 1;
    }
    return true;
}

#if defined(_WIN32)

namespace {

constexpr size_t kMaxPlainPath = MAX_PATH - 1;  // room for the terminating NUL

std::wstring convert(UINT codePage, const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

std::string toUtf8(const std::wstring& wide) {
    if (wide.empty()) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string text(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &text[0], n, nullptr, nullptr);
    return text;
}

// Seconds since 1970 of a FILETIME (100 ns steps since 1601).
int64_t unixSeconds(const FILETIME& t) {
    const uint64_t ticks = (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL;
}

}  // namespace

std::wstring toWide(const std::string& path) {
    std::wstring wide = convert(isUtf8(path) ? CP_UTF8 : CP_ACP, path);
    if (wide.size() <= kMaxPlainPath || wide.compare(0, 4, L"\\\\?\\") == 0) return wide;
    // \\?\ paths are taken literally: make the path absolute and normalised first.
    const DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0) return wide;
    std::wstring full(n, L'\0');
    const DWORD written = GetFullPathNameW(wide.c_str(), n, &full[0], nullptr);
    if (written == 0 || written >= n) return wide;
    full.resize(written);
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

fs::path fsPath(const std::string& path) { return fs::path(toWide(path)); }

std::string fromFsPath(const fs::path& path) { return toUtf8(path.native()); }

std::FILE* openFile(const std::string& path, const char* mode) {
    DWORD access;
    DWORD disposition;
    int flags = _O_BINARY;
    if (std::strcmp(mode, "rb") == 0) {
        access = GENERIC_READ;
        disposition = OPEN_EXISTING;
        flags |= _O_RDONLY;
    } else if (std::strcmp(mode, "wb") == 0) {
        access = GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        flags |= _O_WRONLY;
    } else if (std::strcmp(mode, "ab") == 0) {
        access = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
        disposition = OPEN_ALWAYS;
        flags |= _O_WRONLY | _O_APPEND;
    } else if (std::strcmp(mode, "r+b") == 0) {
        access = GENERIC_READ | GENERIC_WRITE;
        disposition = OPEN_EXISTING;
        flags |= _O_RDWR;
    } else {
        return nullptr;
    }
    const HANDLE handle = CreateFileW(toWide(path).c_str(), access,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, mode);
    if (file == nullptr) _close(fd);  // closes the handle too
    return file;
}

bool removeFile(const std::string& path) { return !path.empty() && DeleteFileW(toWide(path).c_str()) != 0; }

bool renameFile(const std::string& from, const std::string& to) {
    if (from.empty() || to.empty()) return false;
    return MoveFileExW(toWide(from).c_str(), toWide(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

FileStatus statPath(const std::string& path) {
    FileStatus status;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (path.empty() || !GetFileAttributesExW(toWide(path).c_str(), GetFileExInfoStandard, &data)) return status;
    status.exists = true;
    status.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status.size = static_cast<int64_t>((uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    status.modified = unixSeconds(data.ftLastWriteTime);
    return status;
}

bool listFiles(const std::string& dir, std::vector<DirEntry>& out) {
    out.clear();
    std::string pattern = dir.empty() ? std::string(".") : dir;
    if (pattern.back() != '/' && pattern.back() != '\\') pattern += '\\';
    pattern += '*';
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileExW(toWide(pattern).c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                         nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) continue;
        DirEntry entry;
        entry.name = toUtf8(data.cFileName);
        entry.size = static_cast<int64_t>((uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
        entry.modified = unixSeconds(data.ftLastWriteTime);
        out.push_back(std::move(entry));
    } while (FindNextFileW(find, &data));
    const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(find);
    return complete;
}

bool isOpenForWriting(const std::string& path) {
    // Denying writers fails with a sharing violation while someone writes.
    const HANDLE handle = CreateFileW(toWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

#else  // POSIX: paths are byte strings.

fs::path fsPath(const std::string& path) { return fs::path(path); }

std::string fromFsPath(const fs::path& path) { return path.native(); }

std::FILE* openFile(const std::string& path, const char* mode) {
    if (std::strcmp(mode, "rb") != 0 && std::strcmp(mode, "wb") != 0 && std::strcmp(mode, "ab") != 0 &&
        std::strcmp(mode, "r+b") != 0)
        return nullptr;
    return std::fopen(path.c_str(), mode);
}

bool removeFile(const std::string& path) { return !path.empty() && std::remove(path.c_str()) == 0; }

bool renameFile(const std::string& from, const std::string& to) {
    return !from.empty() && !to.empty() && std::rename(from.c_str(), to.c_str()) == 0;
}

FileStatus statPath(const std::string& path) {
    FileStatus status;
    struct stat info;
    if (path.empty() || ::stat(path.c_str(), &info) != 0) return status;
    status.exists = true;
    status.directory = S_ISDIR(info.st_mode);
    status.size = static_cast<int64_t>(info.st_size);
    status.modified = static_cast<int64_t>(info.st_mtime);
    return status;
}

bool listFiles(const std::string& dir, std::vector<DirEntry>& out) {
    out.clear();
    std::error_code ec;
    fs::directory_iterator it(dir.empty() ? fs::path(".") : fs::path(dir), ec);
    if (ec) return false;
    std::string prefix = dir.empty() ? std::string("./") : dir;
    if (prefix.back() != '/') prefix += '/';
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) return false;
        std::error_code entryEc;
        if (!it->is_regular_file(entryEc)) continue;
        DirEntry entry;
        entry.name = it->path().filename().native();
        // A file removed since it was listed keeps size and time 0 rather than vanishing.
        const FileStatus status = statPath(prefix + entry.name);
        entry.size = status.size;
        entry.modified = status.modified;
        out.push_back(std::move(entry));
    }
    return true;
}

bool isOpenForWriting(const std::string& /*path*/) { return false; }

#endif

}  // namespace nqpath
}  // namespace NQBase
