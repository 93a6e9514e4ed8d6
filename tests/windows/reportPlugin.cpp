// A DLL a Windows host loads with LoadLibrary, as an application loads an
// optional component: it links logReport.dll, so loading it loads the library
// (and Ice) and FreeLibrary unloads them again.
#include <memory>
#include <mutex>
#include <string>

#include "NQFileLog.h"
#include "NQLogReport.h"
#include "wineStage.h"

namespace {

std::mutex gMutex;
std::unique_ptr<NQBase::NQFileLog> gLogger;
std::unique_ptr<NQBase::NQLogReport> gReport;

}  // namespace

extern "C" {

__declspec(dllexport) void pluginStart(const char* logPath, const char* servers) {
    std::lock_guard<std::mutex> lock(gMutex);
    gLogger = std::make_unique<NQBase::NQFileLog>(logPath);
    gReport = std::make_unique<NQBase::NQLogReport>();
    gReport->Init(winestage::kApp, winestage::kVersion, winestage::kClient, 1000, 0);
    gReport->setLocIP(winestage::kClientIp);
    gReport->setLogger(gLogger.get());
    gReport->setNickName(winestage::kNick);
    gReport->setlogSvrInfo(servers);
    gReport->startReport();
}

// Any thread: one error line, reported at once.
__declspec(dllexport) void pluginReport(const char* text) {
    std::lock_guard<std::mutex> lock(gMutex);
    if (!gReport) return;
    gLogger->write(NQBase::NQLOG_ERROR, "host", "%s", text);
    gReport->lastErrRep(0);
}

__declspec(dllexport) void pluginStop() {
    std::lock_guard<std::mutex> lock(gMutex);
    gReport.reset();
    gLogger.reset();
}

}  // extern "C"
