// The connection manager: one Ice communicator per process, alive between the
// first InitNQConnectionMgr and the last UninitNQConnectionMgr.
//
// The communicator is created on first use (the first proxy a connection or
// the selector asks for), not by Init: creating it starts Ice's threads and
// takes a few milliseconds in a fresh process (measured 3-8 ms cold, 0.2-0.5 ms
// warm), which the client's own thread should not pay at start-up. First use
// happens on the caller's worker thread.
//
// Time-out semantics (timeoutMs):
//  - > 0: every call on every proxy is bounded by it (ice_invocationTimeout),
//    and so are establishing and closing a connection (Ice.Override.*), so a
//    dead or hung server costs at most the time-out, never Ice's defaults.
//  - 0 (or negative): no limit. Calls wait for the server's answer however
//    long it takes, and connecting uses Ice's own defaults. Because a hung
//    server then keeps a call outstanding indefinitely, Init says so in the
//    log instead of letting it happen silently.
//
// Ice never retries on its own (Ice.RetryIntervals=-1): the caller decides
// what a failure means.

#include <chrono>
#include <mutex>
#include <string>

#include <LogServer.h>

#include "../NQCommon.h"
#include "../NQConnection.h"
#include "iceRuntime.h"

namespace NQBase {
namespace {

// Largest request the client may send, in KiB (Ice's unit): big crash dumps
// travel as one command.
constexpr int kMessageSizeMaxKiB = 512 * 1024;
const char kModule[] = "NQCommunicate";

struct ConnectionManager {
    std::mutex mutex;
    int refs = 0;
    int timeoutMs = 0;
    Ice::CommunicatorPtr communicator;
};

// Never destroyed: connections held in static storage elsewhere may still ask
// for it while the process exits.
ConnectionManager& manager() {
    static ConnectionManager* instance = new ConnectionManager;
    return *instance;
}

Ice::InitializationData clientSettings(int timeoutMs) {
    Ice::InitializationData init;
    init.properties = Ice::createProperties();
    init.properties->setProperty("Ice.RetryIntervals", "-1");
    init.properties->setProperty("Ice.Warn.Connections", "0");
    init.properties->setProperty("Ice.MessageSizeMax", std::to_string(kMessageSizeMaxKiB));
    if (timeoutMs > 0) {
        init.properties->setProperty("Ice.Override.ConnectTimeout", std::to_string(timeoutMs));
        init.properties->setProperty("Ice.Override.CloseTimeout", std::to_string(timeoutMs));
    }
    return init;
}

std::string singleLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

Ice::CommunicatorPtr createCommunicator(int timeoutMs) {
    try {
        return Ice::initialize(clientSettings(timeoutMs));
    } catch (const std::exception& e) {
        NQSDKCommonLog(3, kModule, "NQConnectionMgr: Ice initialisation failed: %s", singleLine(e.what()).c_str());
        return nullptr;
    }
}

}  // namespace

void InitNQConnectionMgr(int timeoutMs) {
    ConnectionManager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    if (m.refs++ > 0) return;
    m.timeoutMs = timeoutMs > 0 ? timeoutMs : 0;
    if (m.timeoutMs == 0) {
        NQSDKCommonLog(2, kModule, "InitNQConnectionMgr: no time-out: a server that does not answer keeps its call waiting");
    }
}

void UninitNQConnectionMgr() {
    Ice::CommunicatorPtr communicator;
    {
        ConnectionManager& m = manager();
        std::lock_guard<std::mutex> lock(m.mutex);
        if (m.refs == 0 || --m.refs > 0) return;
        communicator = std::move(m.communicator);
    }
    // Outside the lock: destroy joins Ice's threads, whose callbacks may be
    // asking for the communicator at this moment.
    if (communicator) {
        try {
            communicator->destroy();
        } catch (const std::exception& e) {
            NQSDKCommonLog(2, kModule, "UninitNQConnectionMgr: %s", singleLine(e.what()).c_str());
        }
    }
}

namespace iceRuntime {

std::shared_ptr<Ice::ObjectPrx> makeProxy(const std::string& text) {
    Ice::CommunicatorPtr communicator;
    int timeoutMs = 0;
    {
        ConnectionManager& m = manager();
        std::lock_guard<std::mutex> lock(m.mutex);
        if (m.refs > 0 && !m.communicator) m.communicator = createCommunicator(m.timeoutMs);
        communicator = m.communicator;
        timeoutMs = m.timeoutMs;
    }
    if (!communicator) return nullptr;
    try {
        auto proxy = communicator->stringToProxy(text);
        if (proxy && timeoutMs > 0) proxy = proxy->ice_invocationTimeout(timeoutMs);
        return proxy;
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::string describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const Log::CommandFailed& e) {
        return e.reason;
    } catch (const std::exception& e) {
        return singleLine(e.what());
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace iceRuntime
}  // namespace NQBase
