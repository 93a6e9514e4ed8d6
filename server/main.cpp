// logreport-server: the reference log server. Receives the library's uploads
// over Ice and keeps them in a durable directory store (see logStore.h).
//
// Output: "logreport-server listening on <endpoints>" once it accepts calls,
// one line per stored command on stdout, refusals and protocol violations on
// stderr, and "logreport-server stopped: N commands, M violations" at the end.

#include <CLI/CLI.hpp>
#include <Ice/Ice.h>
#include <Ice/RegisterPlugins.h>

#include <csignal>
#include <functional>
#include <iostream>
#include <memory>
#include <string>

#include "commandServant.h"
#include "logStore.h"
#include "tokenGate.h"
#include "tokenRegistry.h"

namespace {

struct ServerOptions {
    std::string endpoints = "tcp -h 127.0.0.1 -p 12100";
    std::string storeDir = "./logstore";
    int maxMessageMb = 512;
    bool noSync = false;
    int failEvery = 0;
    int delayMs = 0;
    std::string tokensFile;
};

// Inflated data may be larger than what travels, but no single command may
// make the server hold more than this.
constexpr uint64_t kMaxInflatedCap = 2ull * 1024 * 1024 * 1024;

uint64_t inflatedCapFor(int maxMessageMb) {
    uint64_t scaled = static_cast<uint64_t>(maxMessageMb) * 1024 * 1024 * 4;
    return scaled < kMaxInflatedCap ? scaled : kMaxInflatedCap;
}

void addOptions(CLI::App& app, ServerOptions& o) {
    app.add_option("--endpoints", o.endpoints, "Ice endpoints to listen on")->capture_default_str();
    app.add_option("--store", o.storeDir, "directory that receives the uploads")->capture_default_str();
    app.add_option("--max-message-mb", o.maxMessageMb, "largest accepted request, in MiB")
        ->capture_default_str()
        ->check(CLI::Range(1, 2047));
    app.add_flag("--no-sync", o.noSync, "do not flush each stored command to disk before answering");
    app.add_option("--fail-every", o.failEvery, "refuse every Nth command with \"injected failure\"")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--delay-ms", o.delayMs, "delay every answer by this many milliseconds")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--tokens", o.tokensFile,
                   "file of \"ORGANISATION TOKEN\" lines: every command must carry a listed token, and each "
                   "organisation gets its own store under <store>/<ORGANISATION>/. A token may be written as "
                   "sha256:<hex digest of the token>. Read again on SIGHUP.");
    app.footer(
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
        props->setProperty("Ice.ThreadPool.Server.SizeMax", "8");
    }
    if (props->getProperty("Ice.Warn.Connections").empty()) props->setProperty("Ice.Warn.Connections", "0");
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
};

template <typename Servant>
Service serviceOf(const std::shared_ptr<Servant>& servant) {
    return {servant, [servant] { servant->beginShutdown(); }, [servant] { return servant->commandCount(); },
            [servant] { return servant->violationCount(); }};
}

int runServer(const Ice::PropertiesPtr& props, const ServerOptions& o, Ice::CtrlCHandler& ctrlC) {
    logserver::ServantOptions servantOptions;
    servantOptions.maxInflatedBytes = inflatedCapFor(o.maxMessageMb);
    servantOptions.failEvery = o.failEvery;
    servantOptions.delayMs = o.delayMs;

    std::unique_ptr<logserver::LogStore> store;
    std::unique_ptr<logserver::TokenRegistry> tokens;
    Service service;
    if (o.tokensFile.empty()) {
        store = std::make_unique<logserver::LogStore>(o.storeDir, !o.noSync);
        logserver::StoreError err;
        if (!store->open(err)) {
            std::cerr << "logreport-server: " << err.reason << std::endl;
            return 1;
        }
        service = serviceOf(std::make_shared<logserver::CommandServant>(*store, servantOptions));
    } else {
        tokens = std::make_unique<logserver::TokenRegistry>(o.tokensFile);
        std::string error;
        if (!tokens->load(error)) {
            std::cerr << "logreport-server: " << error << std::endl;
            return 1;
        }
        service = serviceOf(std::make_shared<logserver::TokenGate>(o.storeDir, !o.noSync, servantOptions, *tokens));
    }

    Ice::InitializationData init;
    init.properties = props;
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
    std::cout << "logreport-server listening on " << endpointsText(adapter) << std::endl;

    communicator->waitForShutdown();
    // No reload may run once the registry is gone.
    ctrlC.setCallback([communicator](int) { communicator->shutdown(); });
    std::cout << "logreport-server stopped: " << service.commands() << " commands, " << service.violations()
              << " violations" << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    // Blocks SIGINT and SIGTERM in every thread started later and waits for
    // them on its own thread: it must exist before Ice starts any thread.
    Ice::CtrlCHandler ctrlC;
    // IceSSL is linked in: --Ice.Plugin.IceSSL=... loads it without looking
    // for a plugin library at run time.
    Ice::registerIceSSL(false);
    try {
        Ice::PropertiesPtr props = Ice::createProperties(argc, argv);  // takes out --Ice.* options
        CLI::App app{"logreport-server: receives diagnostic log uploads and stores them"};
        ServerOptions options;
        addOptions(app, options);
        CLI11_PARSE(app, argc, argv);
        setServerProperties(props, options);
        return runServer(props, options, ctrlC);
    } catch (const std::exception& e) {
        std::cerr << "logreport-server: " << e.what() << std::endl;
        return 1;
    }
}
