#include "testSupport.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <thread>

#include "NQCommon.h"

namespace testsupport {

LogCapture::LogCapture() {
    NQBase::NQSetLogSink([this](int level, const std::string& module, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back({level, module, text});
    });
}

LogCapture::~LogCapture() { NQBase::NQSetLogSink(nullptr); }

std::vector<LogLine> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::vector<std::string> LogCapture::texts() const {
    std::vector<std::string> out;
    for (const auto& l : lines()) out.push_back(l.text);
    return out;
}

int LogCapture::count(const std::string& text) const {
    int n = 0;
    for (const auto& l : lines()) n += l.text == text ? 1 : 0;
    return n;
}

int LogCapture::countPrefix(const std::string& prefix) const {
    int n = 0;
    for (const auto& l : lines()) n += l.text.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    return n;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

bool LogCapture::waitFor(const std::string& text, int timeoutMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (contains(text)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return contains(text);
}

TempDir::TempDir() {
#if defined(_WIN32)
    // No mkdtemp: try random names until one can be created.
    std::random_device seed;
    std::mt19937_64 rng(seed());
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        const auto candidate = std::filesystem::temp_directory_path() / ("logreport-test-" + std::to_string(rng() % 100000000));
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec)) path_ = candidate.generic_string();
    }
    if (path_.empty()) throw std::runtime_error("cannot create a temporary directory");
#else
    std::string tmpl = (std::filesystem::temp_directory_path() / "logreport-test-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
#endif
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::string& path) {
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

int64_t fileSize(const std::string& path) {
    std::error_code ec;
    auto size = std::filesystem::file_size(std::filesystem::u8path(path), ec);
    return ec ? -1 : static_cast<int64_t>(size);
}

}  // namespace testsupport
