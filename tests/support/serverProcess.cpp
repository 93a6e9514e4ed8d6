#include "serverProcess.h"

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace testsupport {

int freeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

ServerProcess::ServerProcess(std::string binary, std::string storeDir, int port, std::vector<std::string> extraArgs)
    : binary_(std::move(binary)), storeDir_(std::move(storeDir)), port_(port), extraArgs_(std::move(extraArgs)) {}

ServerProcess::~ServerProcess() {
    if (running()) stop();
}

bool ServerProcess::start() {
    if (running()) return true;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return false;
    std::vector<std::string> args = {binary_, "--store", storeDir_};
    // Extra arguments may name endpoints of their own (ssl, several).
    if (std::find(extraArgs_.begin(), extraArgs_.end(), "--endpoints") == extraArgs_.end()) {
        args.insert(args.end(), {"--endpoints", "tcp -h 127.0.0.1 -p " + std::to_string(port_)});
    }
    args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());
    // Built before fork: the child of a threaded process must not allocate,
    // since another thread may have held the allocator's lock at the fork.
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(pipeFds[1], STDERR_FILENO);  // refusals and repairs are logged there
        close(pipeFds[0]);
        close(pipeFds[1]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    if (pid_ < 0) {
        close(pipeFds[0]);
        return false;
    }
    if (reader_.joinable()) reader_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        output_.clear();
    }
    reader_ = std::thread([this, fd = pipeFds[0]] { readOutput(fd); });
    return waitForOutput("listening", 1, 15000);
}

void ServerProcess::readOutput(int fd) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0) break;
        std::lock_guard<std::mutex> lock(mutex_);
        output_.append(buf, static_cast<size_t>(n));
    }
    close(fd);
}

int ServerProcess::stop() {
    if (!running()) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (reader_.joinable()) reader_.join();
    return status;
}

void ServerProcess::kill() {
    if (!running()) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    if (reader_.joinable()) reader_.join();
}

void ServerProcess::signal(int sig) {
    if (running()) ::kill(pid_, sig);
}

std::string ServerProcess::output() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
}

int ServerProcess::countOutput(const std::string& text) const {
    const std::string out = output();
    int count = 0;
    for (size_t pos = out.find(text); pos != std::string::npos; pos = out.find(text, pos + text.size())) ++count;
    return count;
}

bool ServerProcess::waitForOutput(const std::string& text, int count, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (countOutput(text) < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace testsupport
