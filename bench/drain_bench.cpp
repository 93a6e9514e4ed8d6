// Upload speed and selection delay against the reference log server, run as a
// child process on 127.0.0.1 for the whole program (--no-sync).
//
//  Drain/Library/<KiB>: a backlog of N error-log segments queued in the report
//    file is uploaded by a worker on its own thread, started by MSG_LASTERRREP;
//    timed from that post until the Nth "slot_reportRspSuc" line is logged.
//  Drain/RawLoop/<KiB>: the same payloads sent with NQConnection::sendCmd by a
//    plain receiver on its own thread, one outstanding at a time (the next goes
//    out from the success slot), timed from the first post to the Nth answer.
//    Both start on a fresh Ice connection, so both pay one TCP connect.
//  Drain/Paired/<KiB>: one library drain and one raw drain back to back in
//    every iteration; library_over_raw compares them under the same load.
//  Drain/PairedTls/<KiB>: the same over ssl with an organisation token, against
//    a second server that listens on ssl only with --tokens; the client's
//    settings come from an ICE_CONFIG file, as an operator would give them.
//    Its raw loop against the plain one's gives the cost of TLS.
//  Repetitions run in random order (unless the command line says otherwise),
//  so library and raw loop see the same spread of machine load.
//  Select/<kind>/<T>: the connection manager's time-out is T ms; the worker is
//    handed a list of two candidates that never answer (a loopback listener
//    whose accept queue is full, so connects hang), or two refused ports, or a
//    hung candidate followed by the live server. Timed from MSG_LOGSVRINFO to
//    "slot_logSvrSelectFailed, try use default" (or "selected log server:").
//
// The library's own timers run on the manual clock during the drains so that
// the one-second start-up dump scan cannot start a drain before the timed post;
// Ice, the server and every measurement run in real time. Log lines go to a
// counting sink, not to a file.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "NQClock.h"
#include "NQCommon.h"
#include "NQCompress.h"
#include "NQConnection.h"
#include "NQLog.h"
#include "NQMsg.h"
#include "NQMsgObj.h"
#include "NQSemaphore.h"
#include "NQThread.h"
#include "logRptProtocol.h"
#include "store/reportRecords.h"
#include "support/XorShift64.h"
#include "logServerCmds.h"
#include "worker/logReportThrdObj.h"

// The launcher and the throw-away TLS material the tests use, compiled in here.
#include "../tests/support/serverProcess.cpp"
#include "../tests/support/tlsFiles.cpp"

#ifndef LOGREPORT_SERVER_BIN
#error "LOGREPORT_SERVER_BIN must name the reference log server"
#endif

using Clock = std::chrono::steady_clock;


namespace {

using namespace NQBase;

constexpr int kDrainTimeoutMs = 5000;     // connection manager time-out during the drains
constexpr int kWaitLimitMs = 30000;       // every wait is bounded by this (or more for long time-outs)
const char kClientHeader[] = "--------------------\nversion:5.2.1;client:PC-7;clientIP:127.0.0.1;module:bench;conferenceID:0;termID:0;\n";

// ---------------------------------------------------------------------------
// Log lines: counted by prefix, with the moment a target count is reached.

class LineWatch {
public:
    explicit LineWatch(const char* prefix) : prefix_(prefix), prefixLen_(std::strlen(prefix)) {}

    bool matches(const std::string& text) const { return text.compare(0, prefixLen_, prefix_) == 0; }
    void hit() {
        const int64_t n = count_.fetch_add(1, std::memory_order_acq_rel) + 1;
        if (n == target_.load(std::memory_order_acquire)) {
            const Clock::time_point now = Clock::now();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                reachedAt_ = now;
                reached_ = true;
            }
            cv_.notify_all();
        }
    }
    // Expects `more` further lines from now on.
    void arm(int64_t more) {
        std::lock_guard<std::mutex> lock(mutex_);
        reached_ = false;
        target_.store(count_.load() + more, std::memory_order_release);
    }
    // Waits (bounded) for the armed count; gives the moment it was reached.
    bool wait(int timeoutMs, Clock::time_point& at) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return reached_; })) return false;
        at = reachedAt_;
        return true;
    }
    int64_t count() const { return count_.load(); }

private:
    const char* prefix_;
    size_t prefixLen_;
    std::atomic<int64_t> count_{0};
    std::atomic<int64_t> target_{INT64_MAX};
    std::mutex mutex_;
    std::condition_variable cv_;
    bool reached_ = false;
    Clock::time_point reachedAt_;
};

LineWatch gConfirmed("slot_reportRspSuc:");
LineWatch gRefused("slot_reportRspFailed:");
LineWatch gSelected("selected log server:");
LineWatch gSelectFailed("slot_logSvrSelectFailed, try use default");
LineWatch gSegmentDropped("slot_runReport: segment out of date");

void installSink() {
    NQSetLogSink([](int, const std::string& module, const std::string& text) {
        if (module != "LogReport") return;
        for (LineWatch* w : {&gConfirmed, &gRefused, &gSelected, &gSelectFailed, &gSegmentDropped}) {
            if (w->matches(text)) {
                w->hit();
                return;
            }
        }
    });
}

double secondsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// ---------------------------------------------------------------------------
// Shared fixtures: the server, temporary directories, payloads.

class TempDir {
public:
    TempDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "drain_bench.XXXXXX").string();
        if (mkdtemp(templ.data()) != nullptr) path_ = templ;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

struct ServerHolder {
    TempDir dir;
    std::unique_ptr<testsupport::ServerProcess> process;
    int port = 0;
};
ServerHolder* gPlainServer = nullptr;
ServerHolder* gTlsServer = nullptr;
std::string gTlsClientConfig;
// The server the current benchmark talks to; TLS clients name it "localhost",
// the name its certificate carries.
ServerHolder* gServer = nullptr;
std::string gHost = "127.0.0.1";

void useTls(bool tls) {
    gServer = tls ? gTlsServer : gPlainServer;
    gHost = tls ? "localhost" : "127.0.0.1";
}

std::string serverProxy(int port) { return "Log.ClientLogServer:tcp -h " + gHost + " -p " + std::to_string(port); }

int storedErrLogs() { return gServer ? gServer->process->countOutput(": stored errlog/") : 0; }

// Pseudo-random bytes behind the error-log header, zlib at level 6 as the
// collector does it: they do not shrink, so each payload is about `bytes`
// long, and the server inflates and stores it like a real error log.
std::vector<NQByteArray> makePayloads(int bytes, int count) {
    std::vector<NQByteArray> out;
    benchsupport::XorShift64 random;
    const int body = std::max(0, bytes - static_cast<int>(sizeof(kClientHeader) - 1) - 16);
    for (int i = 0; i < count; ++i) {
        std::string text(kClientHeader);
        text.reserve(text.size() + static_cast<size_t>(body));
        for (int b = 0; b < body; ++b) text.push_back(static_cast<char>(random.next() >> 24));
        NQByteArray compressed;
        if (zlib_compress(NQByteArray(text), compressed, 6) != 0) return {};
        out.push_back(std::move(compressed));
    }
    return out;
}

double meanSize(const std::vector<NQByteArray>& payloads) {
    double sum = 0;
    for (const auto& p : payloads) sum += p.size();
    return payloads.empty() ? 0 : sum / static_cast<double>(payloads.size());
}

// A logger with a file name and no text: lastErrRep then queues nothing new.
class SilentLog : public NQLog {
public:
    explicit SilentLog(std::string path) : path_(std::move(path)) {}
    void GetInitData(LogInitData& data) override { data.logFilePath = path_; }
    bool GetLogFileDat(int, std::string& out, bool) override {
        out.clear();
        return false;
    }

private:
    std::string path_;
};

// One figure per repetition, for the summary after the run.
std::map<std::string, std::vector<double>> gFigures;

void record(const std::string& key, double value) { gFigures[key].push_back(value); }

class ManualTimers {
public:
    ManualTimers() {
        const int64_t wallMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count();
        NQClock::useManual(wallMs);
    }
    ~ManualTimers() { NQClock::useReal(); }
};

class ConnectionManagerScope {
public:
    // tls: the manager reads the TLS client settings at this Init.
    explicit ConnectionManagerScope(int timeoutMs, bool tls = false) {
        InitNQCommon();
        if (tls) setenv("ICE_CONFIG", gTlsClientConfig.c_str(), 1);
        InitNQConnectionMgr(timeoutMs);
        unsetenv("ICE_CONFIG");
        // The communicator is created on first use; make that happen here, not
        // inside the first timed selection or upload.
        NQConnection warm(NQConnection::Ice_Type, "warm-up");
        warm.connectSvr(serverProxy(9), true, "");
    }
    ~ConnectionManagerScope() {
        UninitNQConnectionMgr();
        UninitNQCommon();
    }
};

// The worker on its own thread, as the front end runs it.
class Worker {
public:
    Worker() : thread_(startObjThread<logReportThrdObj>("logReportLib")) {}
    ~Worker() {
        post(MSG_UNINIT);
        thread_->stop(0, false);
        thread_->wait(0xFFFFFFFF);
        delete thread_;
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void post(int type, NQVariantMap params = {}) {
        auto* msg = new NQMsg(getMsgSN(), type);
        msg->params = std::move(params);
        NQMsgObj* obj = thread_->getThreadObj();
        obj->postMsg(msg, obj);
    }
    void init() {
        NQVariantMap p;
        p["appName"] = "bench";
        p["clientVer"] = "5.2.1";
        p["PCID"] = "PC-7";
        p["timeoutMs"] = kDrainTimeoutMs;
        post(MSG_INIT, p);
    }
    void setLogger(NQLog* log) {
        NQVariantMap p;
        p["logger"].setCustom<NQLog*>(log);
        post(MSG_LOGGER, p);
    }
    void setServers(const std::string& list) {
        NQVariantMap p;
        p["logSvrInfo"] = list;
        post(MSG_LOGSVRINFO, p);
    }

private:
    NQThread* thread_;
};

}  // namespace

// ---------------------------------------------------------------------------
// The raw loop's receiver.

namespace rawloop {

struct CallMsg : NQBase::NQMsg {
    std::function<void()> fn;
};

class Uploader : public NQBase::NQMsgObj {
public:
    Uploader() : NQMsgObj("RawUploader") {}

    void handMsg(const std::shared_ptr<NQBase::NQMsg>& msg, const NQBase::NQMsgObj*) override {
        if (auto* call = dynamic_cast<CallMsg*>(msg.get())) call->fn();
    }
    // On this object's thread.
    void bind(NQBase::NQConnection* conn) {
        conn_ = conn;
        connect(conn, NQBase::kCmdReportLog,
                new NQBase::NQMsgHander<Uploader>(this, &Uploader::onSuccess));
        connect(conn, NQBase::kCmdReportLog + NQBase::kCmdFailedOffset,
                new NQBase::NQMsgHander<Uploader>(this, &Uploader::onFailure));
    }
    // On this object's thread.
    void begin(const std::vector<NQBase::NQByteArray>* payloads) {
        payloads_ = payloads;
        done_ = 0;
        failed_ = false;
        sendNext();
    }
    bool waitFinished(int timeoutMs, Clock::time_point& at, std::string& err) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return finished_; })) {
            err = "raw loop timed out after " + std::to_string(done_.load()) + " answers";
            return false;
        }
        finished_ = false;
        at = finishedAt_;
        err = errDesc_;
        return !failed_;
    }

private:
    void sendNext() {
        NQBase::NQVariantMap cookie;
        cookie["TermID"] = 0;
        cookie["cmdType"] = "reportLog";
        conn_->sendCmd(NQBase::kCmdReportLog, std::string(), (*payloads_)[static_cast<size_t>(done_.load())],
                       NQBase::NQVariant(cookie), 0);
    }
    void onSuccess(const std::shared_ptr<NQBase::NQMsg>&, const NQBase::NQMsgObj*) {
        if (done_.fetch_add(1) + 1 < static_cast<int>(payloads_->size())) {
            sendNext();
            return;
        }
        finish(false, std::string());
    }
    void onFailure(const std::shared_ptr<NQBase::NQMsg>& msg, const NQBase::NQMsgObj*) {
        std::string err = "failure answer";
        if (msg) {
            auto it = msg->params.find("ErrDesc");
            if (it != msg->params.end()) err += ": " + it->second.toString();
        }
        finish(true, err);
    }
    void finish(bool failed, const std::string& err) {
        const Clock::time_point now = Clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
            failed_ = failed;
            errDesc_ = err;
            finishedAt_ = now;
        }
        cv_.notify_all();
    }

    NQBase::NQConnection* conn_ = nullptr;
    const std::vector<NQBase::NQByteArray>* payloads_ = nullptr;
    std::atomic<int> done_{0};
    std::mutex mutex_;
    std::condition_variable cv_;
    bool finished_ = false;
    bool failed_ = false;
    std::string errDesc_;
    Clock::time_point finishedAt_;
};

// The receiver's thread; runs functions on it.
class UploaderThread {
public:
    UploaderThread() { 
        thread_ = NQBase::startObjThread<Uploader>("RawUploader");
        uploader_ = static_cast<Uploader*>(thread_->getThreadObj());
    }
    ~UploaderThread() {
        thread_->stop(0, true);
        thread_->wait(0xFFFFFFFF);
        delete thread_;
    }
    UploaderThread(const UploaderThread&) = delete;
    UploaderThread& operator=(const UploaderThread&) = delete;

    Uploader& uploader() { return *uploader_; }
    void post(std::function<void()> fn) {
        auto* msg = new CallMsg;
        msg->fn = std::move(fn);
        uploader_->postMsg(msg, nullptr);
    }
    void runAndWait(std::function<void()> fn) {
        auto done = std::make_shared<NQBase::NQSemaphore>(0);
        post([fn, done] {
            fn();
            done->signal();
        });
        done->wait(kWaitLimitMs);
    }

private:
    NQBase::NQThread* thread_ = nullptr;
    Uploader* uploader_ = nullptr;
};

}  // namespace rawloop

namespace {

// ---------------------------------------------------------------------------
// 1. The library drains a queued backlog; 2. the raw loop sends the same.

std::string sizeKey(int bytes) { return std::to_string(bytes / 1024) + "KiB"; }

// What one drain benchmark shares across its iterations.
class DrainContext {
public:
    DrainContext(int bytes, int count)
        : count_(count),
          payloads_(makePayloads(bytes, count)),
          log_(logDir_.path() + "/client.log"),
          rptPath_(logDir_.path() + "/client.log.rpt"),
          list_(gHost + ":" + std::to_string(gServer->port) + ";" + gHost + ":" + std::to_string(gServer->port)),
          storedBefore_(storedErrLogs()),
          refusedBefore_(gRefused.count()) {}

    // One drain through the library: seconds from MSG_LASTERRREP to the last
    // confirmation, or a negative value with err set.
    double library(std::string& err) {
        if (!prepareBacklog()) {
            err = "could not queue the backlog";
            return -1;
        }
        Worker worker;
        gSelected.arm(1);
        worker.init();
        worker.setLogger(&log_);
        worker.setServers(list_);
        worker.post(MSG_STARTREPORT);
        Clock::time_point at;
        if (!gSelected.wait(kWaitLimitMs, at)) {
            err = "no log server selected";
            return -1;
        }
        gConfirmed.arm(count_);
        const Clock::time_point start = Clock::now();
        worker.post(MSG_LASTERRREP);
        Clock::time_point end;
        if (!gConfirmed.wait(kWaitLimitMs, end)) {
            err = "drain did not finish; confirmed " + std::to_string(gConfirmed.count()) + ", refused " +
                  std::to_string(gRefused.count() - refusedBefore_);
            return -1;
        }
        ++drains_;
        return secondsBetween(start, end);
    }

    // One drain through the raw loop, on a fresh connection like the library's.
    double raw(std::string& err) {
        rawloop::UploaderThread thread;
        NQConnection conn(NQConnection::Ice_Type, "NQConnection");
        if (!conn.connectSvr(serverProxy(gServer->port), true, "")) {
            err = "connectSvr failed";
            return -1;
        }
        rawloop::Uploader& up = thread.uploader();
        thread.runAndWait([&up, &conn] { up.bind(&conn); });
        const Clock::time_point start = Clock::now();
        const std::vector<NQByteArray>* payloads = &payloads_;
        thread.post([&up, payloads] { up.begin(payloads); });
        Clock::time_point end;
        if (!up.waitFinished(kWaitLimitMs, end, err)) return -1;
        conn.disconnectSvr();
        ++drains_;
        return secondsBetween(start, end);
    }

    // Every segment must have reached the server and been stored as an error
    // log, and none refused.
    std::string check() const {
        const int expected = storedBefore_ + static_cast<int>(drains_) * count_;
        if (!gServer->process->waitForOutput(": stored errlog/", expected, kWaitLimitMs))
            return "the server stored " + std::to_string(storedErrLogs() - storedBefore_) + " of " +
                   std::to_string(expected - storedBefore_);
        if (gRefused.count() != refusedBefore_) return "the server refused a command";
        return {};
    }

    int count() const { return count_; }
    double payloadBytes() const { return meanSize(payloads_); }

private:
    // Queues the payloads as error-log segments in the report file, the way
    // the collector does, with a worker object on this thread.
    bool prepareBacklog() {
        std::error_code ec;
        std::filesystem::remove(rptPath_, ec);
        logRptFile writer;
        writer.open_rptFile(log_);
        writer.load_logHeader();
        for (const NQByteArray& p : payloads_) {
            errLogInfo record;
            record.data = p;
            if (writer.save_logSegment(segErrLog, record) != storeStatus::ok) return false;
        }
        return writer.header().total == static_cast<int32_t>(payloads_.size());
    }

    int count_;
    std::vector<NQByteArray> payloads_;
    TempDir logDir_;
    SilentLog log_;
    std::string rptPath_;
    std::string list_;
    int storedBefore_;
    int64_t refusedBefore_;
    int64_t drains_ = 0;
};

void setDrainCounters(benchmark::State& state, const DrainContext& ctx, double seconds, int64_t drains) {
    const double rate = seconds > 0 ? static_cast<double>(drains * ctx.count()) / seconds : 0;
    state.counters["segments_per_s"] = rate;
    state.counters["us_per_segment"] = rate > 0 ? 1e6 / rate : 0;
    state.counters["payload_bytes"] = ctx.payloadBytes();
    state.SetBytesProcessed(drains * ctx.count() * static_cast<int64_t>(ctx.payloadBytes()));
}

template <bool kLibrary>
void BM_Drain(benchmark::State& state) {
    const int bytes = static_cast<int>(state.range(0));
    ManualTimers timers;
    ConnectionManagerScope manager(kDrainTimeoutMs);
    DrainContext ctx(bytes, static_cast<int>(state.range(1)));
    double total = 0;
    int64_t drains = 0;
    for (auto _ : state) {
        std::string err;
        const double seconds = kLibrary ? ctx.library(err) : ctx.raw(err);
        if (seconds < 0) {
            state.SkipWithError(err.c_str());
            break;
        }
        state.SetIterationTime(seconds);
        total += seconds;
        ++drains;
    }
    const std::string problem = ctx.check();
    if (!problem.empty()) state.SkipWithError(problem.c_str());
    setDrainCounters(state, ctx, total, drains);
    record(std::string(kLibrary ? "library/" : "raw/") + sizeKey(bytes),
           total > 0 ? static_cast<double>(drains * ctx.count()) / total : 0);
}

// Library and raw loop back to back in every iteration (alternating which goes
// first), so both see the same load: the ratio of one repetition compares like
// with like. The iteration time is the library's.
void BM_DrainPaired(benchmark::State& state) {
    const int bytes = static_cast<int>(state.range(0));
    const bool tls = state.range(2) != 0;
    if (tls && gTlsServer == nullptr) {
        state.SkipWithError("no TLS server (openssl missing?)");
        return;
    }
    useTls(tls);
    ManualTimers timers;
    ConnectionManagerScope manager(kDrainTimeoutMs, tls);
    DrainContext ctx(bytes, static_cast<int>(state.range(1)));
    double libTotal = 0;
    double rawTotal = 0;
    int64_t pairs = 0;
    for (auto _ : state) {
        std::string err;
        double lib = 0;
        double raw = 0;
        if (pairs % 2 == 0) {
            lib = ctx.library(err);
            if (lib >= 0) raw = ctx.raw(err);
        } else {
            raw = ctx.raw(err);
            if (raw >= 0) lib = ctx.library(err);
        }
        if (lib < 0 || raw < 0) {
            state.SkipWithError(err.c_str());
            break;
        }
        state.SetIterationTime(lib);
        libTotal += lib;
        rawTotal += raw;
        ++pairs;
    }
    const std::string problem = ctx.check();
    if (!problem.empty()) state.SkipWithError(problem.c_str());
    setDrainCounters(state, ctx, libTotal, pairs);
    const double segments = static_cast<double>(pairs * ctx.count());
    state.counters["raw_segments_per_s"] = rawTotal > 0 ? segments / rawTotal : 0;
    state.counters["library_over_raw"] = libTotal > 0 ? rawTotal / libTotal : 0;
    const std::string side = tls ? "tls/" : "";
    record("paired/" + side + sizeKey(bytes), libTotal > 0 ? rawTotal / libTotal : 0);
    record("paired_raw/" + side + sizeKey(bytes), rawTotal > 0 ? segments / rawTotal : 0);
    record("paired_lib/" + side + sizeKey(bytes), libTotal > 0 ? segments / libTotal : 0);
    useTls(false);
}

// ---------------------------------------------------------------------------
// 3. What candidates that never answer cost the selection.

// A loopback listener that never accepts, with its accept queue filled by a
// few connections of its own: further connects get no answer to their SYN, so
// they hang instead of being refused.
class HungListener {
public:
    HungListener() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd_, 0) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return;
        port_ = ntohs(addr.sin_port);
        for (int i = 0; i < 4; ++i) fillers_.push_back(connectNonBlocking());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~HungListener() {
        for (int fd : fillers_)
            if (fd >= 0) close(fd);
        if (fd_ >= 0) close(fd_);
    }
    HungListener(const HungListener&) = delete;
    HungListener& operator=(const HungListener&) = delete;

    int port() const { return port_; }
    // True when a fresh connect neither completes nor fails within ms.
    bool hangs(int ms) const {
        const int fd = connectNonBlocking();
        if (fd < 0) return false;
        pollfd p{fd, POLLOUT, 0};
        const int ready = poll(&p, 1, ms);
        close(fd);
        return ready == 0;
    }

private:
    int connectNonBlocking() const {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (fd < 0) return -1;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port_));
        connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));  // EINPROGRESS expected
        return fd;
    }

    int fd_ = -1;
    int port_ = 0;
    std::vector<int> fillers_;
};

enum SelectKind { kHung = 0, kRefused = 1, kHungThenLive = 2 };

const char* kindName(int kind) {
    switch (kind) {
    case kHung: return "hung";
    case kRefused: return "refused";
    default: return "hung_then_live";
    }
}

void BM_SelectDeadCandidates(benchmark::State& state) {
    const int timeoutMs = static_cast<int>(state.range(0));
    const int kind = static_cast<int>(state.range(1));
    ConnectionManagerScope manager(timeoutMs);
    HungListener hungA;
    HungListener hungB;
    if (kind != kRefused && (!hungA.hangs(300) || !hungB.hangs(300))) {
        state.SkipWithError("could not make a loopback listener whose connects hang");
        return;
    }
    std::string list;
    switch (kind) {
    case kHung: list = "127.0.0.1:" + std::to_string(hungA.port()) + ";127.0.0.1:" + std::to_string(hungB.port()); break;
    case kRefused: {
        // Two ports that were free a moment ago: nothing listens there.
        const int a = testsupport::freeLoopbackPort();
        const int b = testsupport::freeLoopbackPort();
        list = "127.0.0.1:" + std::to_string(a) + ";127.0.0.1:" + std::to_string(b);
        break;
    }
    default: list = "127.0.0.1:" + std::to_string(hungA.port()) + ";127.0.0.1:" + std::to_string(gServer->port); break;
    }
    LineWatch& outcome = kind == kHungThenLive ? gSelected : gSelectFailed;
    LineWatch& wrong = kind == kHungThenLive ? gSelectFailed : gSelected;
    const int64_t wrongBefore = wrong.count();
    double totalSeconds = 0;
    int64_t runs = 0;

    for (auto _ : state) {
        Worker worker;
        worker.init();
        outcome.arm(1);
        const Clock::time_point start = Clock::now();
        worker.setServers(list);
        Clock::time_point end;
        if (!outcome.wait(kWaitLimitMs + 4 * timeoutMs, end)) {
            state.SkipWithError("the selection gave no outcome");
            break;
        }
        state.SetIterationTime(secondsBetween(start, end));
        totalSeconds += secondsBetween(start, end);
        ++runs;
    }
    if (wrong.count() != wrongBefore) state.SkipWithError("the selection ended the other way");
    const double ms = runs > 0 ? 1000.0 * totalSeconds / static_cast<double>(runs) : 0;
    state.counters["timeout_ms"] = timeoutMs;
    state.counters["outcome_ms"] = ms;
    state.counters["outcome_over_timeout"] = ms / timeoutMs;
    record(std::string("select/") + kindName(kind) + "/" + std::to_string(timeoutMs), ms);
}

BENCHMARK_TEMPLATE(BM_Drain, true)->Name("Drain/Library/1KiB")->Args({1024, 300})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK_TEMPLATE(BM_Drain, false)->Name("Drain/RawLoop/1KiB")->Args({1024, 300})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK(BM_DrainPaired)->Name("Drain/Paired/1KiB")->Args({1024, 300, 0})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK_TEMPLATE(BM_Drain, true)->Name("Drain/Library/60KiB")->Args({60 * 1024, 100})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK_TEMPLATE(BM_Drain, false)->Name("Drain/RawLoop/60KiB")->Args({60 * 1024, 100})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK(BM_DrainPaired)->Name("Drain/Paired/60KiB")->Args({60 * 1024, 100, 0})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_DrainPaired)->Name("Drain/PairedTls/1KiB")->Args({1024, 300, 1})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_DrainPaired)->Name("Drain/PairedTls/60KiB")->Args({60 * 1024, 100, 1})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_SelectDeadCandidates)->Name("Select/hung/500ms")->Args({500, kHung})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SelectDeadCandidates)->Name("Select/hung/1000ms")->Args({1000, kHung})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SelectDeadCandidates)->Name("Select/refused/1000ms")->Args({1000, kRefused})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SelectDeadCandidates)->Name("Select/hung_then_live/1000ms")->Args({1000, kHungThenLive})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void printSummary() {
    std::printf("\nSummary (median over repetitions)\n");
    for (const char* size : {"1KiB", "60KiB"}) {
        const double lib = median(gFigures["library/" + std::string(size)]);
        const double raw = median(gFigures["raw/" + std::string(size)]);
        const double paired = median(gFigures["paired/" + std::string(size)]);
        std::printf("  drain %-5s  library %7.0f seg/s   raw loop %7.0f seg/s   library/raw %.3f   paired library/raw %.3f\n",
                    size, lib, raw, raw > 0 ? lib / raw : 0.0, paired);
    }
    for (const char* size : {"1KiB", "60KiB"}) {
        const std::string key(size);
        const double tcpRaw = median(gFigures["paired_raw/" + key]);
        const double tlsRaw = median(gFigures["paired_raw/tls/" + key]);
        const double tlsLib = median(gFigures["paired_lib/tls/" + key]);
        if (tlsRaw <= 0) continue;
        std::printf("  tls   %-5s  library %7.0f seg/s   raw loop %7.0f seg/s   paired library/raw %.3f   "
                    "tls raw / tcp raw %.3f\n",
                    size, tlsLib, tlsRaw, median(gFigures["paired/tls/" + key]), tcpRaw > 0 ? tlsRaw / tcpRaw : 0.0);
    }
    for (const auto& entry : gFigures) {
        if (entry.first.compare(0, 7, "select/") != 0) continue;
        const size_t slash = entry.first.rfind('/');
        const double timeoutMs = std::atof(entry.first.c_str() + slash + 1);
        const double ms = median(entry.second);
        std::printf("  %-30s %8.1f ms   time-out %5.0f ms   ratio %.3f\n", entry.first.c_str(), ms, timeoutMs,
                    timeoutMs > 0 ? ms / timeoutMs : 0.0);
    }
    for (ServerHolder* holder : {gPlainServer, gTlsServer}) {
        if (holder == nullptr) continue;
        std::printf("  server%s: %d error logs stored, %d quarantined, %d refused\n", holder == gTlsServer ? " (tls)" : "",
                    holder->process->countOutput(": stored errlog/"), holder->process->countOutput("quarantined"),
                    holder->process->countOutput("refused"));
    }
}

}  // namespace

int main(int argc, char** argv) {
    // The machine is shared: run the repetitions of library and raw loop
    // interleaved, so that a change of load does not land on one side only.
    std::vector<char*> args(argv, argv + argc);
    bool interleavingGiven = false;
    for (int i = 1; i < argc; ++i)
        if (std::strstr(argv[i], "random_interleaving") != nullptr) interleavingGiven = true;
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    if (!interleavingGiven) args.insert(args.begin() + 1, interleave);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

    installSink();
    ServerHolder server;
    server.port = testsupport::freeLoopbackPort();
    // The same segments are drained again and again: without --dedupe-window 0
    // the server would answer the repeats without storing them.
    server.process = std::make_unique<testsupport::ServerProcess>(
        LOGREPORT_SERVER_BIN, server.dir.path() + "/store", server.port,
        std::vector<std::string>{"--no-sync", "--dedupe-window", "0"});
    if (!server.process->start()) {
        std::fprintf(stderr, "the log server did not start:\n%s\n", server.process->output().c_str());
        return 1;
    }
    gPlainServer = &server;
    useTls(false);

    // The TLS server: ssl only, with a token, certificates made at run time.
    ServerHolder tlsServer;
    testsupport::TlsFiles tls = testsupport::makeTlsFiles(tlsServer.dir.path());
    if (tls.error.empty()) {
        tlsServer.port = testsupport::freeLoopbackPort();
        const std::string tokens = tlsServer.dir.path() + "/tokens";
        const std::string token = "bench-token";
        std::FILE* f = std::fopen(tokens.c_str(), "w");
        if (f != nullptr) {
            std::fprintf(f, "bench %s\n", token.c_str());
            std::fclose(f);
        }
        auto args = testsupport::sslServerArgs(tls, tls.serverP12, tlsServer.port);
        args.insert(args.end(), {"--no-sync", "--dedupe-window", "0", "--tokens", tokens});
        tlsServer.process = std::make_unique<testsupport::ServerProcess>(
            LOGREPORT_SERVER_BIN, tlsServer.dir.path() + "/store", tlsServer.port, args);
        gTlsClientConfig = tlsServer.dir.path() + "/client.config";
        f = std::fopen(gTlsClientConfig.c_str(), "w");
        if (f != nullptr) {
            std::fprintf(f, "LogReport.Transport=ssl\nIceSSL.CAs=%s\nLogReport.Token=%s\n", tls.caPem.c_str(),
                         token.c_str());
            std::fclose(f);
        }
        if (tlsServer.process->start()) gTlsServer = &tlsServer;
    }
    if (gTlsServer == nullptr) std::fprintf(stderr, "no TLS server: %s\n", tls.error.c_str());

    benchmark::RunSpecifiedBenchmarks();
    printSummary();

    if (gTlsServer != nullptr) tlsServer.process->stop();
    server.process->stop();
    gServer = nullptr;
    gPlainServer = nullptr;
    gTlsServer = nullptr;
    benchmark::Shutdown();
    NQSetLogSink(nullptr);
    return 0;
}
