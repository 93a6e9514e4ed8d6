// A worker object on its own thread, driven by messages under the manual clock,
// with a logger whose calls are counted.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>

#include "NQClock.h"
#include "NQLog.h"
#include "NQMsg.h"
#include "NQThread.h"
#include "worker/logReportThrdObj.h"
#include "logRptProtocol.h"
#include "testSupport.h"

namespace workertest {

// 2026-03-03 12:00:00 UTC.
constexpr int64_t kStartWallMs = 1772539200000LL;

// Hands out a preset text once per type, and counts the calls of each type.
class CountingLog : public NQBase::NQLog {
public:
    explicit CountingLog(std::string path) : path_(std::move(path)) {}
    void GetInitData(NQBase::LogInitData& data) override { data.logFilePath = path_; }
    // take false: the text the next take hands out, changing nothing.
    bool GetLogFileDat(int type, std::string& out, bool take) override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string& text = type == 1 ? errText : detailText;
        ++(type == 1 ? errCalls : detailCalls);
        out = text;
        if (take) text.clear();
        return !out.empty();
    }
    void give(int type, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        (type == 1 ? errText : detailText) += text;
    }
    std::atomic<int> errCalls{0};
    std::atomic<int> detailCalls{0};

private:
    std::mutex mutex_;
    std::string path_;
    std::string errText;
    std::string detailText;
};

class WorkerOnThread : public ::testing::Test {
protected:
    void SetUp() override {
        NQBase::NQClock::useManual(kStartWallMs);
        thread_ = NQBase::startObjThread<NQBase::logReportThrdObj>("logReportLib");
        ASSERT_NE(thread_, nullptr);
    }
    void TearDown() override {
        post(NQBase::MSG_UNINIT);
        thread_->stop(0, false);
        thread_->wait(0xFFFFFFFF);
        delete thread_;
        NQBase::NQClock::useReal();
    }

    void post(int type, NQBase::NQVariantMap params = {}) {
        auto* msg = new NQBase::NQMsg(NQBase::getMsgSN(), type);
        msg->params = std::move(params);
        NQBase::NQMsgObj* worker = thread_->getThreadObj();
        ASSERT_TRUE(worker->postMsg(msg, worker));
    }
    void postLogger(NQBase::NQLog* logger) {
        NQBase::NQVariantMap params;
        params["logger"].setCustom<NQBase::NQLog*>(logger);
        post(NQBase::MSG_LOGGER, params);
    }
    void postText(int type, const char* key, const std::string& value) {
        NQBase::NQVariantMap params;
        params[key] = value;
        post(type, params);
    }
    // Returns once the worker has handled everything posted so far: an
    // unknown message type is answered by a log line.
    void sync() {
        const int id = 1000 + syncCount_++;
        post(id);
        ASSERT_TRUE(log.waitFor("handMsg unknown:_type:" + std::to_string(id)));
    }

    testsupport::LogCapture log;
    testsupport::TempDir dir;
    NQBase::NQThread* thread_ = nullptr;

private:
    int syncCount_ = 0;
};

}  // namespace workertest
