// SessionTable: signed-in operators by session cookie. A session id is 32
// random bytes (libsodium) in hex; sessions end after kSessionHours or at
// sign-out. May be called from any thread.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace console {

class SessionTable {
public:
    using Clock = std::chrono::steady_clock;
    // A new session for name; the oldest is dropped when the table is full.
    std::string open(const std::string& name, Clock::time_point now = Clock::now());
    // The operator's name, or empty for an unknown or expired session.
    std::string lookup(const std::string& id, Clock::time_point now = Clock::now());
    void close(const std::string& id);

private:
    struct Session {
        std::string name;
        Clock::time_point expires;
    };
    std::mutex mutex_;
    std::map<std::string, Session> sessions_;
};

}  // namespace console
