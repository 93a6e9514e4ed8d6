// A collector queueing into an open report file beside a temp-dir log, a
// logger that hands out preset texts, and a reader for what was queued.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <deque>
#include <map>

#include "NQClock.h"
#include "NQCompress.h"
#include "store/reportFileReader.h"
#include "testSupport.h"
#include "collect/logCollector.h"
#include "store/logRptFile.h"

namespace collecttest {

constexpr int64_t kMarch3NoonMs = 1709467200000;  // 2024-03-03 12:00:00 UTC

struct FakeLog : NQBase::NQLog {
    void GetInitData(NQBase::LogInitData& data) override { data.logFilePath = path; }
    // take false: the text the next take hands out, changing nothing.
    bool GetLogFileDat(int type, std::string& out, bool take) override {
        std::deque<std::string>& queue = pending[type];
        out = queue.empty() ? std::string() : queue.front();
        if (!queue.empty() && take) queue.pop_front();
        return !out.empty();
    }
    std::string path;
    std::map<int, std::deque<std::string>> pending;  // texts still to hand out, by type
};

// zlib_compress, except that call number failOnCall (counted from 1 after
// each reset) fails with Z_MEM_ERROR.
// Fails the failOnCall-th call, or any call whose input starts with
// failOnPrefix (detail pieces are compressed on two threads, so the order of
// calls is not the order of the pieces).
struct FlakyCompress {
    static inline std::atomic<int> calls{0};
    static inline int failOnCall = 0;
    static inline std::string failOnPrefix;
    static int compress(const NQBase::NQByteArray& in, NQBase::NQByteArray& out, int level) {
        const bool prefixMatches = !failOnPrefix.empty() && in.size() >= static_cast<int>(failOnPrefix.size()) &&
                                   std::string(in.constData(), failOnPrefix.size()) == failOnPrefix;
        return ++calls == failOnCall || prefixMatches ? -4 : NQBase::zlib_compress(in, out, level);
    }
};

// A sink that refuses every segment, as a full disk does.
struct RefusingSink : NQBase::logSegmentSink {
    NQBase::storeStatus save_logSegment(int, const NQBase::streamObj&) override {
        return NQBase::storeStatus::writeFailed;
    }
};

inline std::string inflate(const NQBase::NQByteArray& data) {
    NQBase::NQByteArray out;
    EXPECT_EQ(NQBase::zlib_uncompress(data, out), 0);
    return out.toStdString();
}

class CollectTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        NQBase::NQClock::useManual(kMarch3NoonMs);
        log.path = dir.file("client.log");
        id.appName = "client";
        id.clientVer = "5.2.1";
        id.PCID = "PC-7";
        file.open_rptFile(log);
        file.load_logHeader();
        ASSERT_TRUE(file.isOpen());
    }
    void TearDown() override { NQBase::NQClock::useReal(); }

    // Every queued segment's decoded record, in file order.
    std::vector<NQBase::SegmentPayload> queued() {
        std::vector<NQBase::SegmentPayload> out;
        for (const NQBase::SegmentInfo& info : NQBase::scanReportFile(file.path()).segments) {
            NQBase::logSegment segment;
            out.emplace_back();
            EXPECT_TRUE(NQBase::readSegmentRecord(file.path(), info.offset, segment, out.back()));
        }
        return out;
    }

    testsupport::TempDir dir;
    FakeLog log;
    NQBase::clientIdentity id;
    NQBase::logRptFile file;
    NQBase::logCollector c{id, file};
};

}  // namespace collecttest
