// Converting a store written by the server of the earlier layout
// (tests/server/data/old-store, made by scripts/make-old-store.sh): stopped
// at every step as a kill would stop it, the next run finishes it with the
// same result; the shipping cursor still splits shipped from unshipped lines.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <stdlib.h>

#include "layoutConversion.h"
#include "testSupport.h"

namespace {

namespace fs = std::filesystem;
using logserver::LayoutConversion;

const std::string kOldStore = std::string(LOGREPORT_SOURCE_DIR) + "/tests/server/data/old-store";

// Every file under dir with its bytes, by path relative to dir.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
        if (it->is_regular_file()) files[fs::relative(it->path(), dir).string()] = testsupport::readFile(it->path().string());
        else if (it->is_directory() && fs::is_empty(it->path())) files[fs::relative(it->path(), dir).string() + "/"] = "";
    }
    return files;
}

// Memory-backed where the system has it: the kill test copies the store
// once per step, and a busy disk makes that slow.
class ScratchDir {
public:
    ScratchDir() {
        std::string base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string();
        std::string pattern = base + "/logreport-conversion-XXXXXX";
        if (::mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
        EXPECT_FALSE(path_.empty());
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string copyOfOldStore(const ScratchDir& tmp, const std::string& name) {
    const std::string dir = tmp.file(name);
    fs::copy(kOldStore, dir, fs::copy_options::recursive);
    return dir;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string seqOf(const std::string& line) {
    const size_t at = line.find("\"seq\":");
    return at == std::string::npos ? "" : line.substr(at + 6, line.find(',', at) - at - 6);
}

// The store and its organisation store, as the server converts them.
LayoutConversion::Status convert(const std::string& store, uint64_t stopAfter, std::vector<std::string>* log = nullptr) {
    LayoutConversion::Testing testing;
    testing.stopAfterSteps = stopAfter;
    testing.sync = false;
    std::string error;
    const auto status = LayoutConversion::convertAll(
        store, true,
        [log](const std::string& line) {
            if (log) log->push_back(line);
        },
        error, testing);
    EXPECT_NE(LayoutConversion::Status::Failed, status) << error;
    return status;
}

TEST(LayoutConversionTest, StoppedAtAnyStepTheNextRunFinishesWithTheSameStore) {
    ScratchDir tmp;
    const std::string reference = copyOfOldStore(tmp, "reference");
    ASSERT_EQ(LayoutConversion::Status::Converted, convert(reference, 0));
    const auto wanted = snapshot(reference);
    ASSERT_TRUE(wanted.count("index/2026-12-05.jsonl") && wanted.count("index/2026-12-06.jsonl"));
    ASSERT_TRUE(wanted.count("acme/index/2026-12-05.jsonl") && wanted.count("acme/index/2026-12-06.jsonl"));
    EXPECT_FALSE(wanted.count("index.jsonl"));
    EXPECT_FALSE(wanted.count("acme/index.jsonl"));
    EXPECT_FALSE(wanted.count(LayoutConversion::kCommitMarker));
    EXPECT_EQ(LayoutConversion::Status::NothingToDo, convert(reference, 0));

    uint64_t stops = 0;
    for (uint64_t n = 1;; ++n) {
        const std::string store = copyOfOldStore(tmp, "stop-" + std::to_string(n));
        const auto first = convert(store, n);
        if (first == LayoutConversion::Status::Converted) break;
        ASSERT_EQ(LayoutConversion::Status::Stopped, first) << "step " << n;
        ++stops;
        // Killed again at the same point of the next start, then left to finish.
        const auto second = convert(store, n);
        ASSERT_NE(LayoutConversion::Status::Failed, second);
        if (second != LayoutConversion::Status::Converted) {
            ASSERT_EQ(LayoutConversion::Status::Converted, convert(store, 0)) << "step " << n;
        }
        EXPECT_EQ(wanted, snapshot(store)) << "stopped after step " << n;
        fs::remove_all(store);
    }
    // Repair, build, plan, marker, moves and removals: dozens of points.
    EXPECT_GT(stops, 80u);
}

TEST(LayoutConversionTest, ShippingCursorStillSplitsShippedFromUnshippedLines) {
    ScratchDir tmp;
    const std::string store = copyOfOldStore(tmp, "store");
    const auto oldLines = linesOf(testsupport::readFile(store + "/index.jsonl"));
    const uint64_t oldCursor = std::stoull(testsupport::readFile(store + "/index.pgcursor.n1"));
    std::set<std::string> shipped, unshipped;
    uint64_t offset = 0;
    for (const auto& line : oldLines) {
        if (line.find("\"seq\":999,") != std::string::npos) continue;  // the torn line
        (offset < oldCursor ? shipped : unshipped).insert(seqOf(line));
        offset += line.size() + 1;
    }
    ASSERT_FALSE(shipped.empty());
    ASSERT_FALSE(unshipped.empty());
    ASSERT_EQ(LayoutConversion::Status::Converted, convert(store, 0));

    std::istringstream cursor(testsupport::readFile(store + "/index.pgcursor.n1"));
    std::string cursorDay;
    uint64_t cursorOffset = 0;
    ASSERT_TRUE(cursor >> cursorDay >> cursorOffset);
    std::set<std::string> before, after;
    for (const std::string day : {"2026-12-05", "2026-12-06"}) {
        uint64_t at = 0;
        for (const auto& line : linesOf(testsupport::readFile(store + "/index/" + day + ".jsonl"))) {
            const bool isShipped = day < cursorDay || (day == cursorDay && at < cursorOffset);
            (isShipped ? before : after).insert(seqOf(line));
            at += line.size() + 1;
        }
    }
    EXPECT_EQ(shipped, before);
    EXPECT_EQ(unshipped, after);
}

TEST(LayoutConversionTest, UnconfirmedAppendIsCutAndOldFilesGo) {
    ScratchDir tmp;
    const std::string store = copyOfOldStore(tmp, "store");
    ASSERT_NE(std::string::npos, testsupport::readFile(store + "/errlog/pc-0.log").find("never confirmed"));
    std::vector<std::string> log;
    ASSERT_EQ(LayoutConversion::Status::Converted, convert(store, 0, &log));
    const auto files = snapshot(store);
    for (const auto& f : files) {
        EXPECT_EQ(std::string::npos, f.first.find(".spare-")) << f.first;
        EXPECT_NE(0u, f.first.rfind("pending", 0)) << f.first;
        EXPECT_FALSE(f.first.rfind("meta/", 0) == 0 && f.first.find(".json") != std::string::npos) << f.first;
        EXPECT_EQ(std::string::npos, f.second.find("never confirmed")) << f.first;
        EXPECT_EQ(std::string::npos, f.second.find("\"seq\":999,")) << f.first;
    }
    EXPECT_FALSE(files.count("errlog/pc-0.log"));
    EXPECT_TRUE(files.count("errlog/pc-0/2026-12-06.log"));
    const std::string all = [&log] {
        std::string text;
        for (const auto& l : log) text += l + "\n";
        return text;
    }();
    EXPECT_NE(std::string::npos, all.find("cut a torn last line")) << all;
    EXPECT_NE(std::string::npos, all.find("cut errlog/pc-0.log back to")) << all;
    EXPECT_NE(std::string::npos, all.find("converted to index days in")) << all;
}

TEST(LayoutConversionTest, StoreWithBothLayoutsIsRefusedUntouched) {
    ScratchDir tmp;
    const std::string store = copyOfOldStore(tmp, "store");
    fs::create_directories(store + "/index");
    testsupport::writeFile(store + "/index/2026-12-07.jsonl", "{\"seq\":1}\n");
    const auto before = snapshot(store);
    LayoutConversion conversion(store, [](const std::string&) {});
    std::string error;
    EXPECT_EQ(LayoutConversion::Status::Failed, conversion.run(error));
    EXPECT_NE(std::string::npos, error.find("both index.jsonl and index/")) << error;
    EXPECT_EQ(before, snapshot(store));
}

}  // namespace
