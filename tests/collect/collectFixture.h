// A worker with an open report file beside a temp-dir log, a logger that hands
// out preset texts, and readers for what was queued.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "NQClock.h"
#include "NQCompress.h"
#include "store/reportFileReader.h"
#include "testSupport.h"
#include "worker/logReportThrdObj.h"

namespace collecttest {

// 2024-03-03 12:00:00 UTC.
constexpr int64_t kMarch3NoonMs = 1709467200000;

class FakeLog : public NQBase::NQLog {
public:
    explicit FakeLog(std::string path) : path_(std::move(path)) {}
    void GetInitData(NQBase::LogInitData& data) override { data.logFilePath = path_; }
    bool GetLogFileDat(int type, std::string& out, bool) override {
        ++asked[type];
        out.clear();
        std::deque<std::string>& queue = pending[type];
        if (!queue.empty()) {
            out = queue.front();
            queue.pop_front();
        }
        return !out.empty();
    }

    std::map<int, std::deque<std::string>> pending;  // by type
    std::map<int, int> asked;

private:
    std::string path_;
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
            NQBase::SegmentPayload payload;
            EXPECT_TRUE(NQBase::readSegmentRecord(w.rptPath, info.offset, segment, payload));
            out.push_back(payload);
        }
        return out;
    }

    testsupport::TempDir dir;
    FakeLog log{dir.file("client.log")};
    NQBase::logReportThrdObj w;
};

}  // namespace collecttest
