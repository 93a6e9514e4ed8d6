// The library's log lines, printf-style, under one module name.
#pragma once

#include "NQCommon.h"

namespace NQBase {
constexpr char kLogReportModule[] = "LogReport";
}  // namespace NQBase

#define LOGRPT(level, ...) ::NQBase::NQSDKCommonLog((level), ::NQBase::kLogReportModule, __VA_ARGS__)
