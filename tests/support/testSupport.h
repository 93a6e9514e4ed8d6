// Helpers shared by the tests: capturing log lines through the runtime's sink,
// temporary directories, and small file utilities.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#if defined(_WIN32)
// The C runtime of Windows has no setenv; TZ set through _putenv_s is read by _tzset.
inline int setenv(const char* name, const char* value, int /*overwrite*/) { return _putenv_s(name, value); }
inline int unsetenv(const char* name) { return _putenv_s(name, ""); }
#endif

namespace testsupport {

struct LogLine {
    int level;
    std::string module;
    std::string text;
};

// Captures every log line while alive (and still echoes nothing to stderr).
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> lines() const;
    std::vector<std::string> texts() const;
    // Number of lines whose text equals text exactly.
    int count(const std::string& text) const;
    // Number of lines whose text starts with prefix.
    int countPrefix(const std::string& prefix) const;
    bool contains(const std::string& text) const { return count(text) > 0; }
    void clear();
    // Waits (real time, bounded) until a line with this exact text appears.
    bool waitFor(const std::string& text, int timeoutMs = 5000) const;

private:
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
};

// A fresh directory in the temporary folder, removed with its content on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }  // no trailing '/'
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Paths are UTF-8, as everywhere in the host.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
int64_t fileSize(const std::string& path);

}  // namespace testsupport
