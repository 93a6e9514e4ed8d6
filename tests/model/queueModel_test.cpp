// Model-based test of the report queue: long random sequences of the exported
// calls, process restarts, clock moves and a log server that comes and goes,
// against the real library, the reference logger and the reference server on
// 127.0.0.1. After every step the oracle (queueModel.h) accounts for each line
// written so far; at the end, with everything drained, it counts deliveries.
//
// The library's timers and calendar run on the manual clock; Ice and the server
// run in real time, so the only waits are bounded polls for them.
//
// Run length comes from RC_PARAMS (default below); RapidCheck prints the seed
// of every run and, on a failure, the reproduce string to replay it.
#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "NQClock.h"
#include "NQCommon.h"
#include "NQFileLog.h"
#include "NQLogReport.h"
#include "logRptProtocol.h"
#include "queueModel.h"
#include "serverProcess.h"
#include "testSupport.h"

using namespace NQBase;

namespace model {

namespace {

constexpr int64_t kStartWallMs = 1772539200000LL;  // 2026-03-03 12:00:00 UTC
constexpr int kTimeoutMs = 1000;
const char* const kDefaultParams = "max_success=20 max_size=100 noshrink=1";

std::atomic<long> gSteps{0};
std::atomic<long> gCases{0};
std::atomic<long> gKills{0};
std::atomic<long> gTornAppends{0};
Tally gTally;
std::string gSelf;

enum class Op {
    Write, Init, Uninit, Restart, SetLogger, SetSvrInfo, Start, Stop, LastErrRep, UserReport,
    Advance, JumpDays, ServerUp, ServerDown, Settle, KillChild,
};

const char* opName(Op op) {
    static const char* const names[] = {"Write", "Init", "Uninit", "Restart", "SetLogger", "SetSvrInfo",
                                        "Start", "Stop", "LastErrRep", "UserReport", "Advance", "JumpDays",
                                        "ServerUp", "ServerDown", "Settle", "KillChild"};
    return names[static_cast<int>(op)];
}

// One step; a and b pick the step's variant (which logger, how many lines, ...).
struct Action {
    Op op = Op::Settle;
    int a = 0;
    int b = 0;
};

void showValue(const Action& act, std::ostream& os) { os << opName(act.op) << "(" << act.a << "," << act.b << ")"; }

rc::Gen<Action> genAction() {
    return rc::gen::apply([](Op op, int a, int b) { return Action{op, a, b}; },
                          rc::gen::weightedElement<Op>({{8, Op::Write},      {2, Op::Init},       {1, Op::Uninit},
                                                        {1, Op::Restart},    {4, Op::SetLogger},  {1, Op::SetSvrInfo},
                                                        {3, Op::Start},      {2, Op::Stop},       {4, Op::LastErrRep},
                                                        {2, Op::UserReport}, {2, Op::Advance},    {1, Op::JumpDays},
                                                        {2, Op::ServerUp},   {1, Op::ServerDown}, {2, Op::Settle},
                                                        {1, Op::KillChild}}),
                          rc::gen::inRange(0, 100), rc::gen::inRange(0, 100));
}

struct Snapshot {
    IdSet pending;
    IdSet queued;
    std::map<std::pair<int, int>, int> delivered;
};

class World {
public:
    World() {
        NQClock::useManual(wallMs_);
        port_ = testsupport::freeLoopbackPort();
        deadPort_ = testsupport::freeLoopbackPort();
        list_ = "127.0.0.1:" + std::to_string(port_) + ";127.0.0.1:" + std::to_string(port_);
        altList_ = "127.0.0.1:" + std::to_string(deadPort_) + ";127.0.0.1:" + std::to_string(port_);
        for (int l = 0; l < 2; ++l) {
            std::filesystem::create_directories(logDir(l));
            loggers_[l] = std::make_unique<NQFileLog>(logPath(l));
        }
    }
    ~World() {
        report_.reset();
        for (auto& l : loggers_) l.reset();
        if (server_) server_->stop();
        NQClock::useReal();
    }
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    void run(const std::vector<Action>& actions) {
        ++gCases;
        // Logger B starts with a queue of its own from an earlier run.
        const Action prelude[] = {{Op::Init, 0, 0},       {Op::SetLogger, 1, 0}, {Op::Start, 0, 0},
                                  {Op::Write, 1, 5},      {Op::LastErrRep, 0, 0}, {Op::Write, 1, 3},
                                  {Op::LastErrRep, 0, 0}, {Op::Uninit, 0, 0}};
        for (const Action& act : prelude) step(act);
        for (const Action& act : actions) step(act);
        drain();
    }

private:
    std::string logDir(int l) const { return dir_.path() + (l == 0 ? "/a" : "/b"); }
    std::string logPath(int l) const { return logDir(l) + "/client.log"; }
    std::string rptPath(int l) const { return logPath(l) + ".rpt"; }
    std::string storeDir() const { return dir_.path() + "/store"; }

    std::string recentLog(size_t count = 40) const {
        const auto lines = log_.texts();
        std::ostringstream out;
        for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) out << "  | " << lines[i] << "\n";
        return out.str();
    }
    // The failure's description, also printed at once: RapidCheck may run a
    // failed case again to describe it, and a timing-dependent failure may not
    // repeat.
    std::string where(const char* what) const {
        std::ostringstream out;
        out << what << " at step " << stepNo_ << " (" << opName(current_.op) << "(" << current_.a << "," << current_.b
            << ")) of case " << gCases.load() << "\nlast library log lines:\n"
            << recentLog();
        std::fprintf(stderr, "queue model failure: %s\n", out.str().c_str());
        return out.str();
    }

    // Returns once the worker has handled everything posted so far (an
    // unknown message type is answered with a log line). No worker: nothing.
    void sync() {
        const int type = 1000 + syncCount_++;
        if (!postMsgToNamed(kLogReportWorkerName, new NQMsg(getMsgSN(), type))) return;
        if (!log_.waitFor("handMsg unknown:_type:" + std::to_string(type), 20000)) RC_FAIL(where("worker did not answer"));
    }

    // Waits (bounded, real time) until the library has been quiet a moment:
    // answers and selections in flight have landed.
    void settle(int quietMs = 120, int limitMs = 4000) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        size_t seen = log_.lines().size();
        auto quietSince = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const size_t now = log_.lines().size();
            if (now != seen) {
                seen = now;
                quietSince = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - quietSince > std::chrono::milliseconds(quietMs)) {
                return;
            }
        }
    }

    // Pipeline order: the loggers, then the report files, then the server, so
    // that an id moving on while we look is still seen once.
    Snapshot observe() {
        Snapshot s;
        for (int l = 0; l < 2; ++l) {
            if (!loggers_[l]) continue;
            for (int type : {NQLOG_FILE_ERROR, NQLOG_FILE_DETAIL}) {
                std::string text;
                loggers_[l]->GetLogFileDat(type, text, false);
                std::vector<int> ids;
                idsIn(text, ids);
                for (int id : ids) s.pending.insert({id, type == NQLOG_FILE_ERROR ? kErrLog : kDetailLog});
            }
        }
        for (int l = 0; l < 2; ++l) {
            const QueueView view = readQueue(rptPath(l));
            oracle_.sawQueued(view);
            for (const auto& entry : view.queued) s.queued.insert(entry.first);
        }
        s.delivered = readStore(storeDir());
        return s;
    }

    int interruptionLines() const {
        return log_.countPrefix("selected log server") + log_.countPrefix("slot_logSvrSelectFailed") +
               log_.countPrefix("slot_reportRspFailed");
    }

    void step(const Action& act) {
        ++gSteps;
        ++stepNo_;
        current_ = act;
        const int interruptionsBefore = interruptionLines();
        IdSet posted;
        const bool interrupts = apply(act, posted);
        sync();
        oracle_.setNow(NQClock::wallMs() / 1000);
        const Snapshot now = observe();
        const auto problems = oracle_.checkAccounted(now.pending, now.queued, now.delivered);
        if (!problems.empty()) RC_FAIL(where(("lost: " + problems.front()).c_str()));
        // Whatever may have been outstanding when this step interrupted the
        // upload may arrive once more.
        if (interrupts || interruptionLines() != interruptionsBefore) {
            IdSet candidates = last_.queued;
            candidates.insert(last_.pending.begin(), last_.pending.end());
            candidates.insert(posted.begin(), posted.end());
            candidates.insert(now.queued.begin(), now.queued.end());
            oracle_.allowRepeat(candidates);
        }
        last_ = now;
    }

    void initReport() {
        if (!report_) report_ = std::make_unique<NQLogReport>();
        if (!inited_) libLogger_ = -1;
        inited_ = true;
        report_->Init("model", "1.0", "PC-M", kTimeoutMs, 0);
        report_->setLocIP("127.0.0.1");
        report_->setNickName("modeler");
    }
    NQLog* loggerPtr(int l) const { return l < 0 ? nullptr : loggers_[l].get(); }

    bool apply(const Action& act, IdSet& posted) {
        switch (act.op) {
        case Op::Write: {
            NQFileLog& logger = *loggers_[act.a % 2];
            for (int i = 0; i <= act.b % 8; ++i) {
                const int id = nextId_++;
                const bool error = id % 3 == 0;
                logger.write(error ? NQLOG_ERROR : NQLOG_INFO, "model", "uid=%d; step %d line %d", id, stepNo_, i);
                oracle_.expect(id, kDetailLog);
                if (error) oracle_.expect(id, kErrLog);
            }
            return false;
        }
        case Op::Init: initReport(); return false;
        case Op::Uninit:
            if (report_) report_->Uninit();
            inited_ = false;
            return true;
        case Op::Restart: restart(); return true;
        case Op::SetLogger: {
            const int l = act.a % 3 == 2 ? -1 : act.a % 3;
            if (!report_) return false;
            report_->setLogger(loggerPtr(l));
            const bool changed = inited_ && l != libLogger_;
            if (inited_) libLogger_ = l;
            return changed;
        }
        case Op::SetSvrInfo:
            if (report_) report_->setlogSvrInfo(act.a % 2 ? altList_ : list_);
            return inited_;
        case Op::Start:
            if (report_) report_->startReport();
            return false;
        case Op::Stop:
            if (report_) report_->stopReport();
            return inited_;
        case Op::LastErrRep:
            if (report_) report_->lastErrRep(0);
            return false;
        case Op::UserReport: {
            const int id = nextId_++;
            userReportData data;
            data.contact = "model@example.org";
            data.content = "uid=" + std::to_string(id) + "; the sound drops";
            const int before = log_.countPrefix("save_logSegment(type=2,");
            if (!postUserReport(data)) return false;
            sync();
            // Queued only while the report file is open; otherwise dropped.
            if (log_.countPrefix("save_logSegment(type=2,") > before) {
                oracle_.expect(id, kUserReport);
                posted.insert({id, kUserReport});
            }
            return false;
        }
        case Op::Advance: {
            static const int steps[] = {1000, 30000, 60000};
            NQClock::advance(steps[act.a % 3]);
            return false;
        }
        case Op::JumpDays:
            NQClock::setWallMs(NQClock::wallMs() + int64_t(1 + act.a % 9) * 86400 * 1000);
            return false;
        case Op::ServerUp: return startServer(act.a % 4 == 0);
        case Op::ServerDown:
            if (!server_) return false;
            if (act.a % 2) {
                server_->kill();
            } else {
                server_->stop();
            }
            server_.reset();
            return true;
        case Op::Settle: settle(); return false;
        case Op::KillChild: killChild(act.a, act.b); return true;
        }
        return false;
    }

    bool startServer(bool failing) {
        if (server_) return false;
        std::vector<std::string> args = {"--no-sync"};
        if (failing) args.insert(args.end(), {"--fail-every", "3"});
        server_ = std::make_unique<testsupport::ServerProcess>(LOGREPORT_SERVER_BIN, storeDir(), port_, args);
        if (!server_->start()) RC_FAIL(where(("server did not start: " + server_->output()).c_str()));
        failing_ = failing;
        return false;
    }

    // A new process on the same files: the client's objects go, new ones come
    // and are set up as a client does.
    void restart() {
        const int l = libLogger_ >= 0 && inited_ ? libLogger_ : 0;
        report_.reset();
        inited_ = false;
        for (int i = 0; i < 2; ++i) {
            loggers_[i].reset();
            loggers_[i] = std::make_unique<NQFileLog>(logPath(i));
        }
        initReport();
        report_->setLogger(loggerPtr(l));
        libLogger_ = l;
        report_->setlogSvrInfo(list_);
        report_->startReport();
    }

    // The file holds more than its header counts: a segment is being written.
    static bool appendInProgress(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        char header[20];
        if (!in.read(header, sizeof header)) return false;
        in.seekg(0, std::ios::end);
        const int64_t size = in.tellg();
        const uint32_t fileSize = static_cast<uint8_t>(header[16]) | static_cast<uint8_t>(header[17]) << 8 |
                                  static_cast<uint8_t>(header[18]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(header[19])) << 24;
        return size > static_cast<int64_t>(fileSize);
    }

    // A client process on logger A's files, killed at a random moment.
    void killChild(int a, int b) {
        report_.reset();
        inited_ = false;
        loggers_[0].reset();
        const int first = nextId_;
        const int count = 20 + a;
        nextId_ += count;
        const std::string args[] = {gSelf, "--model-child", logPath(0), list_, std::to_string(first),
                                    std::to_string(count), std::to_string(NQClock::wallMs())};
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that died
            execl(args[0].c_str(), args[0].c_str(), args[1].c_str(), args[2].c_str(), args[3].c_str(),
                  args[4].c_str(), args[5].c_str(), args[6].c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // Half the kills land on an append in progress when they can.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(50 + 4 * b);
        while (std::chrono::steady_clock::now() < deadline) {
            if (b % 2 == 1 && appendInProgress(rptPath(0))) break;
            std::this_thread::sleep_for(std::chrono::microseconds(b % 2 == 1 ? 20 : 2000));
        }
        ::kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        // What the child wrote completely is expected; the logger hands its
        // last pass out again, since the kill left it uncommitted.
        const std::string text = testsupport::readFile(logPath(0));
        IdSet written;
        size_t begin = 0;
        while (begin < text.size()) {
            // A line the kill tore is ended by the next logger and handed out.
            size_t end = text.find('\n', begin);
            if (end == std::string::npos) end = text.size();
            std::vector<int> ids;
            const std::string line = text.substr(begin, end - begin);
            idsIn(line, ids);
            for (int id : ids) {
                if (id < first || id >= first + count) continue;
                oracle_.expect(id, kDetailLog);
                written.insert({id, kDetailLog});
                if (parseLogLineLevel(line.data(), line.size()) >= NQLOG_ERROR) {
                    oracle_.expect(id, kErrLog);
                    written.insert({id, kErrLog});
                }
            }
            begin = end + 1;
        }
        oracle_.allowRepeat(written);
        // An append the kill cut short leaves a file the next start resets.
        const QueueView view = readQueue(rptPath(0));
        ++gKills;
        if (!view.headerValid) {
            ++gTornAppends;
            oracle_.allowLoss(view.inUnconsumed);
        }
        loggers_[0] = std::make_unique<NQFileLog>(logPath(0));
        initReport();
        report_->setLogger(loggerPtr(0));
        libLogger_ = 0;
        report_->setlogSvrInfo(list_);
        report_->startReport();
    }

    bool drained(int l) {
        if (!readQueue(rptPath(l)).queued.empty()) return false;
        for (int type : {NQLOG_FILE_ERROR, NQLOG_FILE_DETAIL}) {
            std::string text;
            loggers_[l]->GetLogFileDat(type, text, false);
            if (!text.empty()) return false;
        }
        return true;
    }

    // Everything left goes out: a healthy server, each logger in turn, until
    // its logger and its report file are empty.
    void drain() {
        if (server_ && failing_) step({Op::ServerDown, 0, 0});
        step({Op::ServerUp, 1, 0});
        step({Op::Init, 0, 0});
        step({Op::SetSvrInfo, 0, 0});
        for (int l : {0, 1}) {
            step({Op::SetLogger, l, 0});
            step({Op::Start, 0, 0});
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            for (;;) {
                step({Op::LastErrRep, 0, 0});
                step({Op::Settle, 0, 0});
                sync();
                if (drained(l)) break;
                if (std::chrono::steady_clock::now() > limit) RC_FAIL(where("the queue did not drain"));
                step({Op::Advance, 1, 0});  // past a retry pause
            }
        }
        step({Op::Stop, 0, 0});
        server_->stop();  // answers every call it accepted first
        server_.reset();
        oracle_.setNow(NQClock::wallMs() / 1000);
        Tally tally;
        const auto problems = oracle_.checkFinal(readStore(storeDir()), tally);
        gTally.expected += tally.expected;
        gTally.delivered += tally.delivered;
        gTally.repeated += tally.repeated;
        gTally.agedOut += tally.agedOut;
        gTally.resetByKill += tally.resetByKill;
        if (!problems.empty()) {
            std::string text = problems.front();
            if (problems.size() > 1) text += " (and " + std::to_string(problems.size() - 1) + " more)";
            RC_FAIL(where(text.c_str()));
        }
    }

    testsupport::TempDir dir_;
    testsupport::LogCapture log_;
    int64_t wallMs_ = kStartWallMs;
    int port_ = 0;
    int deadPort_ = 0;
    std::string list_;
    std::string altList_;
    std::unique_ptr<testsupport::ServerProcess> server_;
    bool failing_ = false;
    std::unique_ptr<NQFileLog> loggers_[2];
    std::unique_ptr<NQLogReport> report_;
    bool inited_ = false;
    int libLogger_ = -1;  // logger the worker holds: 0 A, 1 B, -1 none
    Oracle oracle_;
    Snapshot last_;
    int nextId_ = 1;
    int syncCount_ = 0;
    int stepNo_ = 0;
    Action current_;
};

// The killed client: logs its ids steadily and reports them until killed.
int runChild(char** argv) {
    NQSetLogSink([](int, const std::string&, const std::string&) {});
    NQClock::useManual(std::atoll(argv[6]));
    NQFileLog logger(argv[2]);
    NQLogReport report;
    report.Init("model", "1.0", "PC-M", kTimeoutMs, 0);
    report.setLocIP("127.0.0.1");
    report.setNickName("modeler");
    report.setLogger(&logger);
    report.setlogSvrInfo(argv[3]);
    report.startReport();
    const int first = std::atoi(argv[4]);
    const int count = std::atoi(argv[5]);
    for (int i = 0; i < count; ++i) {
        const int id = first + i;
        // Incompressible filler makes appends long enough for a kill to cut.
        std::string filler(6000, ' ');
        uint32_t x = static_cast<uint32_t>(id) * 2654435761u + 1;
        for (char& c : filler) {
            x = x * 1664525u + 1013904223u;
            c = "0123456789abcdef"[x >> 28];
        }
        logger.write(id % 3 == 0 ? NQLOG_ERROR : NQLOG_INFO, "model", "uid=%d; child line %s", id, filler.c_str());
        if (i % 4 == 3) report.lastErrRep(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    report.lastErrRep(0);
    // The parent kills it long before; a bound all the same.
    std::this_thread::sleep_for(std::chrono::seconds(60));
    std::_Exit(3);
}

}  // namespace

RC_GTEST_PROP(QueueModel, NothingLostAndRepeatsOnlyAfterInterruptions, ()) {
    const auto actions = *rc::gen::container<std::vector<Action>>(genAction());
    World world;
    world.run(actions);
}

// The length of a campaign, for whoever runs a long one.
class RunLength : public ::testing::Environment {
public:
    void TearDown() override {
        std::printf("queue model: %ld cases, %ld steps, %ld child kills (%ld cut an append); "
                    "ids %ld: delivered %ld, of them repeated %ld; aged out %ld, lost to a torn append %ld\n",
                    gCases.load(), gSteps.load(), gKills.load(), gTornAppends.load(), gTally.expected,
                    gTally.delivered, gTally.repeated, gTally.agedOut, gTally.resetByKill);
    }
};

}  // namespace model

int main(int argc, char** argv) {
    if (argc == 7 && std::string(argv[1]) == "--model-child") return model::runChild(argv);
    model::gSelf = std::filesystem::canonical("/proc/self/exe").string();
    setenv("TZ", "UTC", 1);
    tzset();
    if (std::getenv("RC_PARAMS") == nullptr) setenv("RC_PARAMS", model::kDefaultParams, 1);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new model::RunLength);
    return RUN_ALL_TESTS();
}
