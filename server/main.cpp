// logreport-server: the reference log server. Receives the library's uploads
// over Ice and keeps them in a durable directory store (see logStore.h).
//
// Output: "logreport-server listening on <endpoints>" once it accepts calls,
// one line per stored command on stdout; store repairs at start, refusals,
// quarantined commands, refused connections and protocol violations on
// stderr; and "logreport-server stopped: N commands, M violations, R re-sends
// dropped" at the end.

#include <CLI/CLI.hpp>
#include <Ice/Ice.h>

#include <sys/resource.h>

#include <csignal>

#include <iostream>
#include <memory>
#include <string>

#include "commandServant.h"
#include "connectionGuard.h"
#include "handshakeLog.h"
#include "layoutConversion.h"
#include "logStore.h"
#include "receiptRestore.h"
#include "receiptWindow.h"
#include "retentionWorker.h"
#ifdef LOGREPORT_HAVE_PQXX
#include "pgIndexShipper.h"
#endif
#include "tokenGate.h"
#include "tokenRegistry.h"

namespace {

struct ServerOptions {
    std::string endpoints = "tcp -h 127.0.0.1 -p 12100";
    std::string storeDir = "./logstore";
    std::string node = logserver::LogStore::defaultNodeName();
    std::string indexDb;
    int maxMessageMb = 16;
    int maxInflatedMb = 2048;
    int minFreeMb = 64;
    int maxRejectedMb = 1024;
    int maxConnections = 1000;
    int maxConnectionsPerIp = 512;
    int idleTimeoutS = 300;
    int handshakeTimeoutS = 10;
    bool noSync = false;
    int failEvery = 0;
    int delayMs = 0;
    std::string tokensFile;
    int dedupeWindowS = 600;
    logserver::RetentionSweep::Rules retain;
    int orgQuotaMb = 0;
};

// Descriptors kept free beyond the connections: store files, the listener, Ice's own.
constexpr int kSpareDescriptors = 64;
// Dispatch threads; requests being handled at once are at most this many.
constexpr int kDispatchThreads = 8;
// Of those, how many may inflate a large request; the rest stay free for small ones.
constexpr int kLargeRequestThreads = kDispatchThreads / 2;

void addOptions(CLI::App& app, ServerOptions& o) {
    app.add_option("--endpoints", o.endpoints, "Ice endpoints to listen on")->capture_default_str();
    app.add_option("--store", o.storeDir, "directory that receives the uploads")->capture_default_str();
    app.add_option("--node", o.node, "this server's name in sequence numbers and stored names (default: host name)")
        ->check([](const std::string& v) {
            return logserver::LogStore::validNodeName(v) ? std::string()
                                                           : "node name must be 1-64 of [A-Za-z0-9._-], not starting with . or -";
        });
    // The value may hold a password: it is never printed, and may come from
    // the environment instead of the command line.
    app.add_option("--index-db", o.indexDb, "PostgreSQL connection string of the shared index (never logged)")
        ->envname("LOGREPORT_INDEX_DB");
    app.add_option("--max-message-mb", o.maxMessageMb,
                   "largest accepted request, in MiB (also after Ice's own decompression); a larger one is "
                   "logged and its connection closed")
        ->capture_default_str()
        ->check(CLI::Range(1, 2047));
    app.add_option("--max-inflated-mb", o.maxInflatedMb,
                   "largest inflated data of one command, in MiB; more is quarantined. Inflated data goes "
                   "to disk as it comes, so this bounds disk use, not memory")
        ->capture_default_str()
        ->check(CLI::Range(1, 1 << 20));
    app.add_option("--min-free-mb", o.minFreeMb,
                   "free disk space below which commands fail with CommandFailed (the client retries later)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    app.add_option("--max-rejected-mb", o.maxRejectedMb,
                   "size of rejected/ beyond which malformed commands are only counted in the index")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    app.add_option("--max-connections", o.maxConnections,
                   "open client connections; one more is closed at once and its client retries later")
        ->capture_default_str()
        ->check(CLI::Range(1, 1 << 20));
    app.add_option("--max-connections-per-ip", o.maxConnectionsPerIp,
                   "open connections from one client address; high enough for an office behind one address")
        ->capture_default_str()
        ->check(CLI::Range(1, 1 << 20));
    app.add_option("--idle-timeout-s", o.idleTimeoutS,
                   "a connection that sends no request for this long is closed, whatever else it sends (clients "
                   "upload every 60 s)")
        ->capture_default_str()
        ->check(CLI::Range(1, 86400));
    app.add_option_function<std::vector<std::string>>(
           "--retain",
           [&o](const std::vector<std::string>& rules) {
               for (const auto& rule : rules) {
                   std::string error;
                   if (!logserver::RetentionSweep::addRule(rule, o.retain, error)) throw CLI::ValidationError(error);
               }
           },
           "KIND=DAYS (repeatable; errlog, detail, dump, report, rejected, all): delete commands of that kind "
           "older than DAYS days, at start and every hour; without it nothing is deleted")
        ->type_name("KIND=DAYS");
    app.add_option("--org-quota-mb", o.orgQuotaMb,
                   "with --tokens: MiB each organisation's store may hold; over it its oldest days are deleted "
                   "(never today's), and commands are refused while only today is left (0: no quota)")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--handshake-timeout-s", o.handshakeTimeoutS,
                   "a connection still in its TLS handshake (or Ice's own) after this long is closed")
        ->capture_default_str()
        ->check(CLI::Range(1, 3600));
    app.add_flag("--no-sync", o.noSync, "do not flush each stored command to disk before answering");
    app.add_option("--fail-every", o.failEvery, "refuse every Nth command with \"injected failure\"")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--delay-ms", o.delayMs, "delay every answer by this many milliseconds")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--tokens", o.tokensFile,
                   "file of \"ORGANISATION TOKEN\" lines: every command must carry a listed token, and each "
                   "organisation gets its own store under <store>/<ORGANISATION>/. A token may be written as "
                   "sha256:<hex digest of the token>. Read again on SIGHUP.");
    app.add_option("--dedupe-window", o.dedupeWindowS,
                   "seconds for which a stored command is remembered (by organisation, client IP address, command "
                   "id and SHA-256 of its JSON and bytes): the same command again is answered with success and not "
                   "stored twice. At most " + std::to_string(logserver::ReceiptWindow::kMaxEntries) +
                       " commands (about 16 MiB) are remembered, in memory only; 0 turns it off")
        ->capture_default_str()
        ->check(CLI::Range(0, 86400 * 7));
    app.footer(
        "Memory: each request being handled holds at most 3 x --max-message-mb (Ice's receive buffer, its own "
        "decompression and the request's bytes) plus about 3 MiB (inflate buffer, JSON of at most 1 MiB); at most " +
        std::to_string(kDispatchThreads) + " are handled at once, " + std::to_string(kLargeRequestThreads) +
        " of them inflating requests over 64 KiB, and a request still arriving holds the bytes received so far.\n"
        "Ice properties may be given as --Ice.<name>=<value>; for TLS: --Ice.Plugin.IceSSL=IceSSL:createIceSSL "
        "--IceSSL.CertFile=server.p12 --IceSSL.Password=... and an ssl endpoint, e.g. "
        "--endpoints \"ssl -h 0.0.0.0 -p 12101\" (add \":tcp -h 0.0.0.0 -p 12100\" to accept both).");
}

void setServerProperties(const Ice::PropertiesPtr& props, const ServerOptions& o) {
    props->setProperty("Ice.MessageSizeMax", std::to_string(o.maxMessageMb * 1024));
    // Concurrent dispatch, so that a client breaking the one-command-at-a-time
    // rule is seen rather than serialised away.
    if (props->getPropertyAsInt("Ice.ThreadPool.Server.Size") < 2) {
        props->setProperty("Ice.ThreadPool.Server.Size", "4");
        props->setProperty("Ice.ThreadPool.Server.SizeMax", std::to_string(kDispatchThreads));
    }
    // Idle connections are closed; a dispatch in progress sends heartbeats so
    // that a slow store does not look like a dead server to the client.
    props->setProperty("Ice.ACM.Server.Timeout", std::to_string(o.idleTimeoutS));
    props->setProperty("Ice.ACM.Server.Close", "1");      // CloseOnIdle
    props->setProperty("Ice.ACM.Server.Heartbeat", "1");  // HeartbeatOnDispatch
    // Ice times out a connection still being set up (the TLS handshake
    // included) by the connect time-out, or else by the endpoint's own
    // time-out of a minute: a stalled handshake must not hold its socket that long.
    props->setProperty("Ice.Override.ConnectTimeout", std::to_string(o.handshakeTimeoutS * 1000));
    // A peer that ignores the close request loses its connection all the same.
    if (props->getProperty("Ice.Override.CloseTimeout").empty()) props->setProperty("Ice.Override.CloseTimeout", "5000");
    if (props->getProperty("Ice.Warn.Connections").empty()) props->setProperty("Ice.Warn.Connections", "0");
    // Connections refused in their handshake are reported only by this trace
    // (see handshakeLog.h); the operator's own setting, if higher, is kept.
    if (props->getPropertyAsInt("Ice.Trace.Network") < 2) props->setProperty("Ice.Trace.Network", "2");
}

// Raises the descriptor limit as far as allowed and keeps the connection
// limit below it, so that the store can always open its files.
int fitConnectionLimit(int wanted) {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return wanted;
    if (rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &rl);
        ::getrlimit(RLIMIT_NOFILE, &rl);
    }
    const auto room = static_cast<long long>(rl.rlim_cur) - kSpareDescriptors;
    if (room >= wanted) return wanted;
    const int fitted = room > 1 ? static_cast<int>(room) : 1;
    std::cerr << "logreport-server: --max-connections lowered to " << fitted << ": only " << rl.rlim_cur
              << " open files allowed" << std::endl;
    return fitted;
}

std::string endpointsText(const Ice::ObjectAdapterPtr& adapter) {
    std::string text;
    for (const auto& e : adapter->getEndpoints()) {
        if (!text.empty()) text += ":";
        text += e->toString();
    }
    return text;
}

// The servant behind the adapter, with or without the token gate in front.
struct Service {
    Ice::ObjectPtr object;
    std::function<void()> beginShutdown;
    std::function<uint64_t()> commands;
    std::function<uint64_t()> violations;
    std::function<uint64_t()> resends;
};

template <typename Servant>
Service serviceOf(const std::shared_ptr<Servant>& servant) {
    return {servant, [servant] { servant->beginShutdown(); }, [servant] { return servant->commandCount(); },
            [servant] { return servant->violationCount(); }, [servant] { return servant->resendCount(); }};
}

int runServer(const Ice::PropertiesPtr& props, const ServerOptions& o, bool forwardNetworkTrace,
              Ice::CtrlCHandler& ctrlC) {
    logserver::StoreOptions storeOptions;
    storeOptions.sync = !o.noSync;
    storeOptions.node = o.node;
    storeOptions.minFreeBytes = static_cast<uint64_t>(o.minFreeMb) << 20;
    storeOptions.maxRejectedBytes = static_cast<uint64_t>(o.maxRejectedMb) << 20;
    if (o.orgQuotaMb > 0 && o.tokensFile.empty()) {
        std::cerr << "logreport-server: --org-quota-mb needs --tokens" << std::endl;
        return 1;
    }
    storeOptions.quotaBytes = static_cast<uint64_t>(o.orgQuotaMb) << 20;
    logserver::ServantOptions servantOptions;
    servantOptions.limits.maxInflatedBytes = static_cast<uint64_t>(o.maxInflatedMb) << 20;
    servantOptions.failEvery = o.failEvery;
    servantOptions.delayMs = o.delayMs;
    logserver::ReceiptWindow receipts{std::chrono::seconds(o.dedupeWindowS)};
    servantOptions.receipts = &receipts;
    logserver::LargeRequestSlots largeRequests{kLargeRequestThreads};
    servantOptions.largeRequests = &largeRequests;

    // A store of the earlier layout is brought to index days before anything reads it.
    std::string conversionError;
    const auto conversion = logserver::LayoutConversion::convertAll(
        o.storeDir, !o.tokensFile.empty(),
        [](const std::string& line) { std::cerr << "logreport-server: " << line << std::endl; }, conversionError);
    if (conversion == logserver::LayoutConversion::Status::Failed) {
        std::cerr << "logreport-server: store conversion failed, nothing is lost; start again once fixed: "
                  << conversionError << std::endl;
        return 1;
    }

    std::unique_ptr<logserver::LogStore> store;
    std::unique_ptr<logserver::TokenRegistry> tokens;
    std::shared_ptr<logserver::TokenGate> gate;
    Service service;
    if (o.tokensFile.empty()) {
        store = std::make_unique<logserver::LogStore>(o.storeDir, storeOptions);
        logserver::StoreError err;
        std::vector<std::string> notes;
        const bool opened = store->open(err, notes);
        for (const auto& note : notes) std::cerr << "logreport-server: " << note << std::endl;
        if (!opened) {
            std::cerr << "logreport-server: " << err.reason << std::endl;
            return 1;
        }
        logserver::ReceiptRestore::fromStore(receipts, *store, std::chrono::system_clock::now());
        service = serviceOf(std::make_shared<logserver::CommandServant>(*store, servantOptions));
    } else {
        tokens = std::make_unique<logserver::TokenRegistry>(o.tokensFile);
        std::string error;
        if (!tokens->load(error)) {
            std::cerr << "logreport-server: " << error << std::endl;
            return 1;
        }
        gate = std::make_shared<logserver::TokenGate>(o.storeDir, storeOptions, servantOptions, *tokens);
        service = serviceOf(gate);
    }
#ifdef LOGREPORT_HAVE_PQXX
    std::unique_ptr<logserver::PgIndexShipper> shipper;
    if (!o.indexDb.empty()) {
        logserver::PgShipperOptions shipping;
        shipping.organisationStores = !o.tokensFile.empty();
        shipper = std::make_unique<logserver::PgIndexShipper>(o.storeDir, o.node, o.indexDb, shipping);
        shipper->start();
    }
#else
    if (!o.indexDb.empty()) {
        std::cerr << "logreport-server: --index-db: this build has no PostgreSQL support (libpqxx)" << std::endl;
        return 1;
    }
#endif

    Ice::InitializationData init;
    init.properties = props;
    logserver::ConnectionLimits limits;
    limits.maxConnections = fitConnectionLimit(o.maxConnections);
    limits.maxPerAddress = o.maxConnectionsPerIp;
    limits.requestIdle = std::chrono::seconds(o.idleTimeoutS);
    limits.handshakeTimeout = std::chrono::seconds(o.handshakeTimeoutS);
    if (gate) limits.refuseAddress = [gate](const std::string& address) { return gate->guessing(address); };
    auto guard = std::make_shared<logserver::ConnectionGuard>(
        limits, [](const std::string& line) { logserver::printLine(true, line); });
    init.observer = guard;
    init.logger = std::make_shared<logserver::HandshakeLog>(
        Ice::getProcessLogger(), forwardNetworkTrace, [](const std::string& line) { logserver::printLine(true, line); },
        [guard](const logserver::HandshakeLog::Peer& p) { guard->handshakeStarted(p.address, p.localPort, p.remotePort); },
        [guard](const logserver::HandshakeLog::Peer& p) { guard->handshakeEnded(p.address, p.localPort, p.remotePort); });
    Ice::CommunicatorHolder holder(init);
    auto communicator = holder.communicator();
    logserver::TokenRegistry* registry = tokens.get();
    ctrlC.setCallback([communicator, service, registry](int sig) {
        if (sig == SIGHUP && registry != nullptr) {
            std::string error;
            if (registry->load(error)) {
                std::cout << "logreport-server: tokens reloaded: " << registry->size() << " tokens" << std::endl;
            } else {
                std::cerr << "logreport-server: tokens not reloaded, keeping the old ones: " << error << std::endl;
            }
            return;
        }
        service.beginShutdown();
        communicator->shutdown();
    });

    auto adapter = communicator->createObjectAdapterWithEndpoints("LogServer", o.endpoints);
    adapter->add(service.object, Ice::stringToIdentity("Log.ClientLogServer"));
    adapter->activate();
    std::cout << "logreport-server listening on " << endpointsText(adapter) << " as node " << o.node << std::endl;
    std::unique_ptr<logserver::RetentionWorker> retention;
    if (!o.retain.empty()) {
        retention = std::make_unique<logserver::RetentionWorker>(
            o.storeDir, o.retain, !o.tokensFile.empty(), [](const std::string& line) { logserver::printLine(false, line); });
        retention->start();
    }

    communicator->waitForShutdown();
    // No reload may run once the registry is gone.
    ctrlC.setCallback([communicator](int) { communicator->shutdown(); });
#ifdef LOGREPORT_HAVE_PQXX
    if (shipper) shipper->stop();
#endif
    std::cout << "logreport-server stopped: " << service.commands() << " commands, " << service.violations()
              << " violations, " << service.resends() << " re-sends dropped" << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    // Blocks SIGINT and SIGTERM in every thread started later and waits for
    // them on its own thread: it must exist before Ice starts any thread.
    Ice::CtrlCHandler ctrlC;
    // A write past the file-size limit fails like a full disk instead of
    // killing the server.
    std::signal(SIGXFSZ, SIG_IGN);
    // IceSSL is linked in: --Ice.Plugin.IceSSL=... loads it without looking
    // for a plugin library at run time.
    Ice::registerIceSSL(false);
    try {
        Ice::PropertiesPtr props = Ice::createProperties(argc, argv);  // takes out --Ice.* options
        CLI::App app{"logreport-server: receives diagnostic log uploads and stores them"};
        ServerOptions options;
        addOptions(app, options);
        CLI11_PARSE(app, argc, argv);
        const bool forwardNetworkTrace = props->getPropertyAsInt("Ice.Trace.Network") > 0;
        setServerProperties(props, options);
        return runServer(props, options, forwardNetworkTrace, ctrlC);
    } catch (const std::exception& e) {
        std::cerr << "logreport-server: " << e.what() << std::endl;
        return 1;
    }
}
