#include "front/workerThread.h"

#include <thread>

#include "NQSemaphore.h"
#include "NQThread.h"
#include "worker/logReportThrdObj.h"

namespace NQBase {

NQThread* createWorkerThread(const std::string& name) {
    NQThread* thread = new NQThread(name);
    NQSemaphore started(0);
    // The worker lives on the thread's stack for exactly as long as the loop runs.
    thread->adoptThread(std::thread([thread, &started] {
        thread->initRun();
        {
            logReportThrdObj worker;
            thread->bindObj(&worker);
            started.signal();
            thread->run();
            thread->bindObj(nullptr);
        }
        thread->uninitRun();
    }));
    started.wait(-1);
    return thread;
}

}  // namespace NQBase
