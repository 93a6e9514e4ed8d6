// Creates the thread "logReportLib" that hosts the worker object for exactly as
// long as the thread runs. Returns once the worker exists and is bound.
#pragma once

#include <string>

namespace NQBase {

class NQThread;
NQThread* createWorkerThread(const std::string& name);

}  // namespace NQBase
