// The client's logger as the library sees it. A client may plug in its own
// logger by implementing this interface; NQFileLog.h is the reference one.
#pragma once

#include <string>

#include "NQPlatform.h"

namespace NQBase {

// The kinds of text GetLogFileDat hands out.
enum NQLogFileType { NQLOG_FILE_ERROR = 1, NQLOG_FILE_DETAIL = 2 };

struct NQHOST_API LogInitData {
    std::string logFilePath;  // the logger's own log file
};

class NQHOST_API NQLog {
public:
    virtual ~NQLog();
    // Fills the set-up record; the library reads logFilePath.
    virtual void GetInitData(LogInitData& data) = 0;
    // type is an NQLogFileType (1 error log, 2 detail log). Fills out with the text of that
    // type not handed out by an earlier call. Called on the library's worker
    // thread.
    virtual bool GetLogFileDat(int type, std::string& out, bool take) = 0;
};

}  // namespace NQBase
