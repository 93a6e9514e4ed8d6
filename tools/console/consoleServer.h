// ConsoleServer: the operators' HTTP console. Pages (HTML, CSS, JavaScript
// compiled into the binary) and the JSON interface under /api/ that they
// use, which scripts may use too.
//
// Every request is hostile: parameters are checked and bounded, ids are
// numbers of the console's own index (never paths), an item of an
// organisation the operator does not have answers 404, and every answer
// carries a Content-Security-Policy that allows no inline script.
//
// Threads: httplib's pool serves requests; one refresher thread brings the
// index up to date every kRefreshInterval and feeds the live view; stop()
// may be called from any thread and ends both.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "searchIndex.h"
#include "liveFeed.h"
#include "operatorFile.h"
#include "sessionTable.h"
#include "signInThrottle.h"
#include "storeSet.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace console {

struct ConsoleOptions {
    std::vector<std::string> stores;
    std::string stateDir;
    // The fleet's shared PostgreSQL table instead of the embedded index.
    std::string indexDb;
    std::string operatorsFile;
    std::string host = "127.0.0.1";
    int port = 8080;
    std::string certFile;
    std::string keyFile;
};

class ConsoleServer {
public:
    static constexpr std::chrono::milliseconds kRefreshInterval{500};

    explicit ConsoleServer(ConsoleOptions options);
    ~ConsoleServer();
    ConsoleServer(const ConsoleServer&) = delete;
    ConsoleServer& operator=(const ConsoleServer&) = delete;

    // Opens the index, reads the operators, builds the index once and binds
    // the address; false with `error` when any of it fails.
    bool start(std::string& error);
    // Serves until stop().
    void run();
    void stop();
    bool reloadOperators(std::string& error) { return operators_.reload(error); }
    int port() const { return boundPort_; }

private:
    struct Caller;
    void routes();
    bool openIndex(std::string& error);
    void refreshLoop();
    bool signedIn(const httplib::Request& req, httplib::Response& res, Caller& caller);

    void login(const httplib::Request& req, httplib::Response& res);
    void logout(const httplib::Request& req, httplib::Response& res);
    void me(const httplib::Request& req, httplib::Response& res);
    void search(const httplib::Request& req, httplib::Response& res);
    void item(const httplib::Request& req, httplib::Response& res);
    void file(const httplib::Request& req, httplib::Response& res);
    void zip(const httplib::Request& req, httplib::Response& res);
    void log(const httplib::Request& req, httplib::Response& res);
    void chart(const httplib::Request& req, httplib::Response& res);
    void events(const httplib::Request& req, httplib::Response& res);

    bool findItem(const httplib::Request& req, httplib::Response& res, const Caller& caller, ConsoleItem& it);
    bool itemFile(const ConsoleItem& it, std::string& file);
    std::vector<std::pair<std::string, std::string>> attachments(const ConsoleItem& it);

    ConsoleOptions options_;
    StoreSet stores_;
    std::unique_ptr<SearchIndex> index_;
    OperatorFile operators_;
    SessionTable sessions_;
    SignInThrottle throttle_;
    LiveFeed feed_;
    std::unique_ptr<httplib::Server> http_;
    int boundPort_ = 0;
    bool secure_ = false;

    std::mutex stopMutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::thread refresher_;
};

}  // namespace console
