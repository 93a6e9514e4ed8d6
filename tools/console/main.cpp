// logreport-console: the operators' web console. Finds uploads by meeting,
// client, kind, node and time across the stores, shows logs, dumps and user
// reports in the browser, serves their files and shows arrivals live.
//
// Exit status: 0 after SIGINT/SIGTERM, 2 on bad options or a failed start.

#include <CLI/CLI.hpp>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "consoleServer.h"
#include "operatorFile.h"

namespace {

bool isLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.compare(0, 4, "127.") == 0;
}

bool parseListen(const std::string& text, std::string& host, int& port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string p = text.substr(colon + 1);
    if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
    port = std::stoi(p);
    return port <= 65535;
}

bool makeDirs(const std::string& path) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        const std::string part = path.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

std::string realPath(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

std::string defaultStateDir() {
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg && *xdg) return std::string(xdg) + "/logreport-console";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.local/state/logreport-console";
}

int hashPassword() {
    std::cerr << "Password: " << std::flush;
    std::string password;
    std::getline(std::cin, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (password.empty()) {
        std::cerr << "logreport-console: an empty password is not allowed\n";
        return 2;
    }
    const std::string hash = console::OperatorFile::hashPassword(password);
    if (hash.empty()) {
        std::cerr << "logreport-console: out of memory while hashing\n";
        return 2;
    }
    std::cout << hash << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"logreport-console: the operators' web console over the log server's stores"};
    console::ConsoleOptions o;
    std::string listen = "127.0.0.1:8080";
    bool hash = false;
    app.add_flag("--hash-password", hash, "read a password on standard input and print its hash for --operators");
    app.add_option("--store", o.stores, "a store folder as the server writes it (repeatable; one per node)")
        ->check(CLI::ExistingDirectory);
    app.add_option("--index-db", o.indexDb, "PostgreSQL connection string of the fleet's shared index")
        ->envname("LOGREPORT_INDEX_DB");
    app.add_option("--state-dir", o.stateDir, "where the console keeps its own index (never inside a store)");
    app.add_option("--listen", listen, "HOST:PORT to serve on (default 127.0.0.1:8080)");
    app.add_option("--cert", o.certFile, "TLS certificate (PEM): serve HTTPS")->check(CLI::ExistingFile);
    app.add_option("--key", o.keyFile, "TLS private key (PEM)")->check(CLI::ExistingFile);
    app.add_option("--operators", o.operatorsFile, "operators file: lines NAME ORGANISATION HASH")->check(CLI::ExistingFile);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (hash) return hashPassword();

    auto fail = [](const std::string& message) {
        std::cerr << "logreport-console: " << message << "\n";
        return 2;
    };
    if (o.operatorsFile.empty()) return fail("--operators FILE is required");
    if (o.stores.empty()) return fail("at least one --store DIR is required");
    if (!parseListen(listen, o.host, o.port)) return fail("--listen " + listen + ": expected HOST:PORT");
    if (o.certFile.empty() != o.keyFile.empty()) return fail("--cert and --key go together");
    if (!isLoopback(o.host) && o.certFile.empty())
        return fail("--listen " + listen + " is not a loopback address: serving operators' sign-ins and clients' "
                    "files over the network needs HTTPS (--cert FILE --key FILE)");
    if (o.stateDir.empty()) o.stateDir = defaultStateDir();
    if (o.stateDir[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd)) o.stateDir = std::string(cwd) + "/" + o.stateDir;
    }
    // Checked before the folder is made (nothing is ever written into a
    // store) and again after, when links are resolved.
    auto insideStore = [&o](const std::string& dir) -> std::string {
        for (const auto& s : o.stores) {
            const std::string store = realPath(s);
            if (dir == store || dir.compare(0, store.size() + 1, store + "/") == 0) return store;
        }
        return {};
    };
    std::string store = insideStore(o.stateDir);
    if (store.empty()) {
        if (!makeDirs(o.stateDir)) return fail("--state-dir " + o.stateDir + " cannot be created");
        o.stateDir = realPath(o.stateDir);
        store = insideStore(o.stateDir);
    }
    if (!store.empty())
        return fail("--state-dir " + o.stateDir + " is inside the store " + store + "; stores are only read");

    // Signals are taken by one thread with sigwait; every other thread has
    // them blocked.
    sigset_t signals;
    sigemptyset(&signals);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, sig);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    console::ConsoleServer server(o);
    std::string error;
    if (!server.start(error)) return fail(error);
    std::cerr << "logreport-console: serving " << (o.certFile.empty() ? "http" : "https") << "://" << o.host << ":"
              << server.port() << "/" << std::endl;
    std::thread signalThread([&] {
        for (;;) {
            int sig = 0;
            if (sigwait(&signals, &sig) != 0) continue;
            if (sig == SIGHUP) {
                std::string err;
                if (server.reloadOperators(err))
                    std::cerr << "logreport-console: operators reloaded" << std::endl;
                else
                    std::cerr << "logreport-console: operators not reloaded: " << err << std::endl;
                continue;
            }
            server.stop();
            return;
        }
    });
    server.run();
    server.stop();
    // The signal thread ends on the signal that stopped the server; when the
    // server stopped on its own, send one to end it.
    ::kill(::getpid(), SIGTERM);
    signalThread.join();
    std::cerr << "logreport-console: stopped" << std::endl;
    return 0;
}
