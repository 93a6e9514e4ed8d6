// NQFile: a file opened as raw bytes through std::fstream, plus the path and
// directory helpers the library needs.
//
// Open modes are bit sets with the values 1 read, 2 write, 4 position at end,
// 16 truncate. These are not the std::ios values; each mode the library uses is
// mapped explicitly (binary always added):
//   1  read an existing file
//   7  read and write an existing file, content kept; fails when missing
//   19 write, truncated (empties a file; created when missing)
//   23 read and write, truncated; created when missing
//
// Reads and writes are positioned (pread/pwrite, on Windows ReadFile/WriteFile
// with an offset): NQFile keeps the one position itself, so a seek costs no
// system call and small writes are gathered with the next large one into a
// single write. The position advances only by the bytes a write reports
// written, so after a short write (a full disk) GetPos and GetSize show what
// the file really holds.
//
// getFStream's stream reads and writes through that same position (its
// std::ios buffer is NQFile's). Use it through std::istream/std::ostream
// operations; the std::fstream-only members (rdbuf(), is_open(), open, close)
// refer to a file buffer that is never opened: use isOpen, Seek and GetPos.
#pragma once

#include <cstdint>
#include <fstream>
#include <list>
#include <memory>
#include <string>

#include "NQByteArray.h"
#include "NQPlatform.h"

namespace NQBase {

// The open modes above, by name.
constexpr int kOpenReadExisting = 1;
constexpr int kOpenUpdateExisting = 7;
constexpr int kOpenEmpty = 19;
constexpr int kOpenRecreate = 23;

enum SEEK_TYPE { SEEK_TYPE_BEGIN = 0, SEEK_TYPE_CURRENT = 1, SEEK_TYPE_END = 2 };

struct NQHOST_API SysFileInfo {
    std::string name;      // bare name within the directory
    std::string fullPath;  // directory + name
    int64_t size = 0;      // bytes
    int64_t timeStamp = 0; // last modification, seconds since 1970
};

class NQHOST_API NQFile {
public:
    NQFile();
    ~NQFile();
    NQFile(const NQFile&) = delete;
    NQFile& operator=(const NQFile&) = delete;

    bool Open(const std::string& path, int mode);  // closes any open file first
    void Close();
    bool isOpen() const;
    const std::string& path() const { return path_; }

    // Size of the file after pushing buffered writes to it; 0 (below 20) when
    // not open.
    int64_t GetSize();
    // Clears the stream's error state first, so a stream that hit the end or
    // failed on a damaged record is usable again.
    bool Seek(int64_t offset, SEEK_TYPE origin);
    // GetPos, ReadData and WriteData share the stream's one position. GetPos
    // pushes buffered writes first, so it counts only bytes the file took.
    int64_t GetPos();
    NQByteArray ReadData(int64_t n);  // up to n bytes
    bool WriteData(const char* data, int64_t n);
    // Pushes buffered writes to the operating system (no fsync). False when
    // any write since the previous FlushBuffers fell short.
    bool FlushBuffers();
    std::fstream& getFStream() { return stream_; }

    static bool RemoveFile(const std::string& path);
    static bool RenameFile(const std::string& from, const std::string& to);
    static bool FileExists(const std::string& path);
    // Directory part of a path without the final separator ("" when none).
    static std::string GetFilePath(const std::string& path);
    // File name without its directory; keeps the extension.
    static std::string getBaseName(const std::string& path);
    // Replaces each of \ / : * ? " < > | and control bytes by '_'.
    static std::string FileNameIllegalCharDeal(const std::string& name);

private:
    class Buffer;
    std::unique_ptr<Buffer> buffer_;  // declared first: outlives the stream using it
    std::fstream stream_;
    std::string path_;
};

// Turns backslashes into '/', and makes the text end with '/' so that a file
// name can be appended directly; "" becomes "./".
NQHOST_API void CorrectPathFormat(std::string& dir);

// Lists the regular files directly in dir (flags 1: files only, the one mode
// used). Returns false when dir cannot be read.
NQHOST_API bool EntryInfoList(std::list<SysFileInfo>& out, const std::string& dir, int flags);

}  // namespace NQBase
