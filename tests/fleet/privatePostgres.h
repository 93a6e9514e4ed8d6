// A private PostgreSQL for a test (scripts/private-pg.sh, on 127.0.0.1),
// stopped with the object.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include "fleetFixture.h"

namespace fleettest {

class PrivatePostgres {
public:
    explicit PrivatePostgres(const std::string& dir) : dir_(dir), port_(testsupport::freeLoopbackPort()) {}
    ~PrivatePostgres() {
        if (running_) stop();
    }
    bool start() { return running_ = pg("start " + dir_ + " " + std::to_string(port_)) == 0; }
    bool stop() {
        running_ = false;
        return pg("stop " + dir_) == 0;
    }
    std::string conninfo() const {
        return "host=127.0.0.1 port=" + std::to_string(port_) + " user=logreport dbname=postgres";
    }
    // psql's unaligned answer to one statement, or "error".
    std::string sql(const std::string& statement) const {
        std::string out;
        int rc = run("psql -X -q -tA -h 127.0.0.1 -p " + std::to_string(port_) + " -U logreport -d postgres -c \"" +
                         statement + "\" 2>/dev/null",
                     out);
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return rc == 0 ? out : "error";
    }
    // The shipper is asynchronous: poll its result, bounded.
    bool waitForRows(const std::string& count) const {
        for (int i = 0; i < 300; ++i) {
            if (sql("SELECT count(*) FROM logreport_index") == count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

private:
    static int pg(const std::string& args) {
        std::string out;
        return run("bash " LOGREPORT_SOURCE_DIR "/scripts/private-pg.sh " + args + " 2>&1", out);
    }
    std::string dir_;
    int port_;
    bool running_ = false;
};

}  // namespace fleettest
