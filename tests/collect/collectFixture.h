// A worker with an open report file beside a temp-dir log, a logger that hands
// out preset texts, and a reader for what was queued.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <deque>
#include <map>

#include "NQClock.h"
#include "NQCompress.h"
#include "store/reportFileReader.h"
#include "testSupport.h"
#include "worker/logReportThrdObj.h"

namespace collecttest {

constexpr int64_t kMarch3NoonMs = 1709467200000;  // 2024-03-03 12:00:00 UTC

struct FakeLog : NQBase::NQLog {
    void GetInitData(NQBase::LogInitData& data) override { data.logFilePath = path; }
    bool GetLogFileDat(int type, std::string& out, bool) override {
        std::deque<std::string>& queue = pending[type];
        out = queue.empty() ? std::string() : queue.front();
        if (!queue.empty()) queue.pop_front();
        return !out.empty();
    }
    std::string path;
    std::map<int, std::deque<std::string>> pending;  // texts still to hand out, by type
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
        w.Init("client", "5.2.1", "PC-7", 0);
        w.slot_setLogger(&log);
        w.load_logHeader();
        ASSERT_TRUE(w.rptFile.isOpen());
    }
    void TearDown() override { NQBase::NQClock::useReal(); }

    // Every queued segment's decoded record, in file order.
    std::vector<NQBase::SegmentPayload> queued() {
        w.rptFile.FlushBuffers();
        std::vector<NQBase::SegmentPayload> out;
        for (const NQBase::SegmentInfo& info : NQBase::scanReportFile(w.rptPath).segments) {
            NQBase::logSegment segment;
            out.emplace_back();
            EXPECT_TRUE(NQBase::readSegmentRecord(w.rptPath, info.offset, segment, out.back()));
        }
        return out;
    }

    testsupport::TempDir dir;
    FakeLog log;
    NQBase::logReportThrdObj w;
};

}  // namespace collecttest
