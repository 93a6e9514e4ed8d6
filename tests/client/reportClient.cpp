// A small client of the library, as a product links it: the exported class,
// the host's logger and clock, nothing of the library's inside. Its log folder
// lies under Chinese- and accented-named folders inside the folder given on the
// command line (built here: a Windows command line is in the ANSI code page).
// It writes error and detail lines and a crash dump, lets the library queue all
// three into the report file (no server is reachable), tears the library down
// and exits with 0 only when everything was queued and the dump was taken.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "NQClock.h"
#include "NQCommon.h"
#include "NQFileLog.h"
#include "NQLogReport.h"

namespace fs = std::filesystem;
using namespace NQBase;

namespace {

std::mutex gMutex;
std::set<int> gQueuedTypes;

// Moves the manual clock on by stepMs until a segment of the type is queued
// (the timers start on the library's thread, at a moment the client cannot see).
bool advanceUntilQueued(int type, int64_t stepMs) {
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard<std::mutex> lock(gMutex);
            if (gQueuedTypes.count(type) > 0) return true;
        }
        NQClock::advance(stepMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::fprintf(stderr, "segment type %d was not queued\n", type);
    return false;
}

// A crash dump as the crash handler leaves it: the dump, then a text block and
// its 32-bit little-endian length.
void writeDump(const std::string& path) {
    std::string bytes(64 * 1024, '\x5A');
    std::string block =
        "\nMeetVer:5.2.1\nMeetID:77\nMemberID:9\nClient:PC-WINE\nIP:127.0.0.1\nDumpTime:2026-12-06 09:30:00\n"
        "Exception code:0xC0000005\nFault address:0x00007FF6A1B2C3D4\nModule:confclient.exe\n";
    const uint32_t n = static_cast<uint32_t>(block.size() + 4);
    for (int i = 0; i < 4; ++i) block.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    std::ofstream out(fs::u8path(path), std::ios::binary | std::ios::trunc);
    out << bytes << block;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s WORK_FOLDER\n", argv[0]);
        return 2;
    }
    const std::string top = std::string(argv[1]) + "/\xE7\x94\xA8\xE6\x88\xB7";  // "用户"
    const std::string dir = top + "/Caf\xC3\xA9/\xE6\x97\xA5\xE5\xBF\x97";        // "Café/日志"
    std::error_code ec;
    fs::remove_all(fs::u8path(top), ec);
    fs::create_directories(fs::u8path(dir));
    const std::string dumpPath = dir + "/confclient \xE5\xB4\xA9\xE6\xBA\x83.dmp";  // "崩溃"
    writeDump(dumpPath);

    NQSetLogSink([](int level, const std::string& module, const std::string& text) {
        int type = -1;
        if (std::sscanf(text.c_str(), "save_logSegment(type=%d", &type) == 1) {
            std::lock_guard<std::mutex> lock(gMutex);
            gQueuedTypes.insert(type);
        }
        if (level >= 3) std::printf("[%s] %s\n", module.c_str(), text.c_str());
    });
    NQClock::useManual(static_cast<int64_t>(std::time(nullptr)) * 1000);
    bool queued = false;
    {
        NQFileLog logger(dir + "/client.log");
        logger.write(NQLOG_ERROR, "net", "stream lost %d packets", 17);
        // The detail log goes in pieces of at least 60 KiB.
        for (int i = 0; i < 2000; ++i) logger.write(NQLOG_INFO, "audio", "frame %d encoded in %d us", i, 500 + i % 97);
        NQLogReport report;
        report.Init("confclient", "5.2.1", "PC-WINE", 1000, 0);
        report.setLogger(&logger);
        report.setNickName("\xE5\xBC\xA0\xE4\xB8\x89");  // 张三: the detail log is collected once a user is known
        report.setlogSvrInfo("127.0.0.1:9;127.0.0.1:9");
        report.startReport();
        const bool dumpQueued = advanceUntilQueued(3, 1000);  // the dump scan, once after a second
        // The periodic collection of both logs, every minute.
        queued = dumpQueued && advanceUntilQueued(0, 60000) && advanceUntilQueued(1, 60000);
        report.Uninit();
    }
    NQSetLogSink(nullptr);
    NQClock::useReal();

    std::error_code sizeEc;
    const auto rptSize = fs::file_size(fs::u8path(dir + "/client.log.rpt"), sizeEc);
    const bool dumpTaken = fs::exists(fs::u8path(dumpPath + ".bak")) && !fs::exists(fs::u8path(dumpPath));
    std::printf("queued all three kinds: %s; report file: %lld bytes; dump taken: %s\n", queued ? "yes" : "no",
                sizeEc ? -1LL : static_cast<long long>(rptSize), dumpTaken ? "yes" : "no");
    return queued && !sizeEc && rptSize > 20 && dumpTaken ? 0 : 1;
}
