// Runtime set-up, sleeping and the log call.
#pragma once

#include <functional>
#include <string>

#include "NQPlatform.h"

namespace NQBase {

// Reference counted: each Init is matched by one Uninit.
NQHOST_API void InitNQCommon();
NQHOST_API void UninitNQCommon();

// Blocks the calling thread (real time, whatever the clock mode).
NQHOST_API void mSleep(int ms);

// Log levels: 1 information, 2 warning, 3 error.
// Writes one line; printf-style. Any thread.
NQHOST_API void NQSDKCommonLog(int level, const char* module, const char* fmt, ...) NQ_PRINTF_FORMAT(3, 4);

// Receives each line: level, module and the formatted text (no line end).
using NQLogSink = std::function<void(int level, const std::string& module, const std::string& text)>;
// Replaces the sink (any thread); an empty function restores the default, which
// writes "YYYY-MM-DD HH:MM:SS.mmm LEVEL [module] text" to stderr.
NQHOST_API void NQSetLogSink(NQLogSink sink);

}  // namespace NQBase
