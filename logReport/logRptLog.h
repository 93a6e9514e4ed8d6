// The library's log lines: module "LogReport", printf-style.
#pragma once

#include "NQCommon.h"

#define LOGRPT(level, ...) ::NQBase::NQSDKCommonLog((level), "LogReport", __VA_ARGS__)
