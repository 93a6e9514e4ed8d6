// The implementation object behind NQLogReport: the worker thread and the
// number of NQLogReport objects that share it (assignment shares it; the last
// owner to Uninit tears it down, so teardown happens exactly once).
#pragma once

#include <atomic>

namespace NQBase {

class NQThread;

class logReportImpl {
public:
    NQThread* workerThread = nullptr;
    std::atomic<int> owners{1};
};

}  // namespace NQBase
