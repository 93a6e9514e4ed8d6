// NQLogReport: the library's whole interface. A conference client creates one
// object, Init's it, hands in its logger and settings, starts reporting, and
// finally Uninit's it (or destroys it). Every call but Init, Uninit and
// lastErrRep only posts a message to the library's worker thread and returns.
//
// Init and Uninit of one object must not run at the same time as each other or
// as another method of that object. The logger handed to setLogger belongs to
// the client and must stay valid until another setLogger replaces it or Uninit
// returns.
#pragma once

#include <string>

#include "logReportExport.h"

namespace NQBase {

class NQLog;
class logReportImpl;

class LOGREPORT_API NQLogReport {
public:
    NQLogReport();
    ~NQLogReport();  // exactly Uninit()
    // Assignment shares the implementation; it is torn down once, by the last
    // of the sharing objects to Uninit.
    NQLogReport(const NQLogReport& other);
    NQLogReport& operator=(const NQLogReport& other);

    // A negative timeoutMs asks for the default of one minute; 0 means no
    // time-out. A second Init is ignored. reserved has no effect.
    void Init(const std::string& appName, const std::string& clientVer, const std::string& PCID,
              int timeoutMs, int reserved);
    void Uninit();
    // Collects the error and detail logs now and uploads; blocks waitMs ms when
    // waitMs >= 1.
    void lastErrRep(int waitMs);
    // Server list: "host:port;host:port;...". Two entries or more let the
    // library reconnect after an outage.
    void setlogSvrInfo(const std::string& logSvrInfo);
    void setLocIP(const std::string& locIP);
    void setMeetInfo(int meetID);
    void setNickName(const std::string& nickName);
    void setCompID(const std::string& compID);
    void setLogger(NQLog* logger);
    void startReport();
    void stopReport();

private:
    logReportImpl* impl_;
};

}  // namespace NQBase
