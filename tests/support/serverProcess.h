// Runs the reference log server as a child process on 127.0.0.1 for a test:
// started on a given port with its own store, stopped (or killed) by the test.
// Extra arguments that include "--endpoints" replace the default tcp endpoint.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// A loopback TCP port that was free a moment ago.
int freeLoopbackPort();

class ServerProcess {
public:
    ServerProcess(std::string binary, std::string storeDir, int port, std::vector<std::string> extraArgs = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts the server and waits (bounded) for its "listening" line.
    bool start();
    // SIGTERM and wait; returns the exit status.
    int stop();
    // SIGKILL and wait.
    void kill();
    // Sends a signal without waiting (SIGHUP: reread the tokens).
    void signal(int sig);
    bool running() const { return pid_ > 0; }
    int port() const { return port_; }
    std::string output() const;
    // Waits (bounded) until stdout holds at least count lines containing text.
    bool waitForOutput(const std::string& text, int count = 1, int timeoutMs = 10000) const;
    int countOutput(const std::string& text) const;

private:
    void readOutput(int fd);

    std::string binary_;
    std::string storeDir_;
    int port_;
    std::vector<std::string> extraArgs_;
    pid_t pid_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::string output_;
};

}  // namespace testsupport
