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
//
// Operator settings are Ice property files, read at the Init that brings the
// manager up (so a changed file takes effect at the next Init): first the file
// the application ships beside its executable (kShippedConfig), then the
// files named by ICE_CONFIG (comma separated), later ones overriding. Only
// LogReport.* and IceSSL.* are taken from them; time-outs, retries and
// message sizes stay what Init decides.
//  - LogReport.Transport: tcp (default) or ssl. With ssl the tcp endpoints of
//    every proxy become ssl endpoints and IceSSL verifies the server's
//    certificate (IceSSL.CAs, or the platform's store when no CA is given)
//    and its name (IceSSL.CheckCertName defaults to 1).
//  - LogReport.Token: sent in every command's context under "Token"; never
//    logged.
// A relative path in IceSSL.CAs, IceSSL.CertFile, IceSSL.KeyFile or
// IceSSL.DefaultDir is taken against the folder of the file that sets it
// (IceSSL.CAs=ca.pem in logReport.config means the ca.pem beside it), not
// against the working folder the application happens to start in.

#include <Ice/RegisterPlugins.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <limits.h>
#include <unistd.h>
#endif

#include <LogServer.h>

#include "../NQCommon.h"
#include "../NQConnection.h"
#include "iceRuntime.h"
#include "operatorSettings.h"

namespace NQBase {
namespace {

// Largest request the client may send, in KiB (Ice's unit): big crash dumps
// travel as one command.
constexpr int kMessageSizeMaxKiB = 512 * 1024;
const char kModule[] = "NQCommunicate";

const char kShippedConfig[] = "logReport.config";

struct ConnectionManager {
    std::mutex mutex;
    int refs = 0;
    int timeoutMs = 0;
    Ice::PropertyDict settings;  // LogReport.* and IceSSL.* from the files
    bool secure = false;
    std::string token;
    Ice::CommunicatorPtr communicator;
};

// Never destroyed: connections held in static storage elsewhere may still ask
// for it while the process exits.
ConnectionManager& manager() {
    static ConnectionManager* instance = new ConnectionManager;
    return *instance;
}

std::string singleLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

std::string executableDir() {
#ifdef _WIN32
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text(path, n < MAX_PATH ? n : 0);
#else
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path));
    std::string text(path, n > 0 ? static_cast<size_t>(n) : 0);
#endif
    size_t slash = text.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
}

bool fileExists(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f != nullptr) std::fclose(f);
    return f != nullptr;
}

// The shipped file, then those named by ICE_CONFIG.
std::vector<std::string> operatorSettingsFiles() {
    std::vector<std::string> files;
    const std::string shipped = executableDir() + kShippedConfig;
    if (fileExists(shipped)) files.push_back(shipped);
    if (const char* env = std::getenv("ICE_CONFIG")) {
        std::string list = env;
        size_t begin = 0;
        while (begin <= list.size()) {
            size_t end = list.find(',', begin);
            if (end == std::string::npos) end = list.size();
            std::string name = list.substr(begin, end - begin);
            while (!name.empty() && name.front() == ' ') name.erase(0, 1);
            while (!name.empty() && name.back() == ' ') name.pop_back();
            if (!name.empty()) files.push_back(name);
            begin = end + 1;
        }
    }
    return files;
}

std::string setting(const Ice::PropertyDict& settings, const std::string& key) {
    auto it = settings.find(key);
    return it == settings.end() ? std::string() : it->second;
}

// Unknown transports are treated as ssl: a misspelt setting must not send
// uploads in clear text.
bool wantsTls(const Ice::PropertyDict& settings) {
    std::string transport = setting(settings, "LogReport.Transport");
    for (char& c : transport) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (transport.empty() || transport == "tcp") return false;
    if (transport != "ssl") {
        NQSDKCommonLog(3, kModule, "NQConnectionMgr: unknown LogReport.Transport \"%s\", using ssl", transport.c_str());
    }
    return true;
}

Ice::InitializationData clientSettings(int timeoutMs, const Ice::PropertyDict& settings, bool secure) {
    Ice::InitializationData init;
    init.properties = Ice::createProperties();
    for (const auto& entry : settings) init.properties->setProperty(entry.first, entry.second);
    if (secure) {
        // Linked in and registered, so no plugin library is looked up at run time.
        Ice::registerIceSSL(false);
        init.properties->setProperty("Ice.Plugin.IceSSL", "IceSSL:createIceSSL");
        if (setting(settings, "IceSSL.CheckCertName").empty()) init.properties->setProperty("IceSSL.CheckCertName", "1");
        if (setting(settings, "IceSSL.CAs").empty() && setting(settings, "IceSSL.UsePlatformCAs").empty()) {
            init.properties->setProperty("IceSSL.UsePlatformCAs", "1");
        }
    }
    init.properties->setProperty("Ice.RetryIntervals", "-1");
    init.properties->setProperty("Ice.Warn.Connections", "0");
    init.properties->setProperty("Ice.MessageSizeMax", std::to_string(kMessageSizeMaxKiB));
    if (timeoutMs > 0) {
        init.properties->setProperty("Ice.Override.ConnectTimeout", std::to_string(timeoutMs));
        init.properties->setProperty("Ice.Override.CloseTimeout", std::to_string(timeoutMs));
    }
    return init;
}


Ice::CommunicatorPtr createCommunicator(int timeoutMs, const Ice::PropertyDict& settings, bool secure) {
    try {
        auto communicator = Ice::initialize(clientSettings(timeoutMs, settings, secure));
        if (secure) {
            NQSDKCommonLog(1, kModule, "NQConnectionMgr: uploads use TLS, server certificate checked against %s",
                           setting(settings, "IceSSL.CAs").empty() ? "the system's CAs" : "IceSSL.CAs");
        } else {
            NQSDKCommonLog(2, kModule, "NQConnectionMgr: uploads are not encrypted (LogReport.Transport is tcp)");
        }
        return communicator;
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
    m.settings = operatorSettings::read(operatorSettingsFiles());
    m.secure = wantsTls(m.settings);
    m.token = setting(m.settings, "LogReport.Token");
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

namespace {

// The server lists name tcp endpoints; with TLS each becomes the ssl
// endpoint with the same options.
std::shared_ptr<Ice::ObjectPrx> withTlsEndpoints(const Ice::CommunicatorPtr& communicator,
                                                 const std::shared_ptr<Ice::ObjectPrx>& proxy) {
    Ice::EndpointSeq endpoints;
    for (const auto& endpoint : proxy->ice_getEndpoints()) {
        std::string text = endpoint->toString();
        if (text.compare(0, 4, "tcp ") != 0 && text != "tcp") {
            endpoints.push_back(endpoint);
            continue;
        }
        auto converted = communicator->stringToProxy("x:ssl" + text.substr(3))->ice_getEndpoints();
        endpoints.insert(endpoints.end(), converted.begin(), converted.end());
    }
    return proxy->ice_endpoints(endpoints);
}

}  // namespace

namespace iceRuntime {

std::string token() {
    ConnectionManager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    return m.token;
}

std::string refusal(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const Ice::SecurityException& e) {
        return singleLine(e.what());
    } catch (const Ice::ProtocolException& e) {
        return singleLine(e.what());
    } catch (...) {
        return {};
    }
}

std::shared_ptr<Ice::ObjectPrx> makeProxy(const std::string& text) {
    Ice::CommunicatorPtr communicator;
    int timeoutMs = 0;
    bool secure = false;
    {
        ConnectionManager& m = manager();
        std::lock_guard<std::mutex> lock(m.mutex);
        if (m.refs > 0 && !m.communicator) m.communicator = createCommunicator(m.timeoutMs, m.settings, m.secure);
        communicator = m.communicator;
        timeoutMs = m.timeoutMs;
        secure = m.secure;
    }
    if (!communicator) return nullptr;
    try {
        auto proxy = communicator->stringToProxy(text);
        if (proxy && secure) proxy = withTlsEndpoints(communicator, proxy);
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
