// NQTimer: calls the receiver's timerMsg(getTimerID()) (or a slot) on the
// receiver's thread after each interval. Runs on the clock of NQClock.h: real
// time normally, a manual clock in tests.
#pragma once

#include <memory>
#include <string>

#include "NQPlatform.h"

namespace NQBase {

class NQMsgObj;
class NQMsgFuncBase;
namespace detail {
struct TimerCore;
}

class NQHOST_API NQTimer {
public:
    explicit NQTimer(const std::string& name);
    ~NQTimer();  // stops the timer
    NQTimer(const NQTimer&) = delete;
    NQTimer& operator=(const NQTimer&) = delete;

    void setSingleShot(bool singleShot);
    // Starts, or restarts when running: one schedule, never two. A tick queued
    // by an earlier schedule is not delivered. Takes ownership of slot (may be
    // null: ticks then go to receiver->timerMsg).
    void start(int intervalMs, NQMsgObj* receiver, NQMsgFuncBase* slot = nullptr);
    void stop();
    bool isActive() const;
    int getTimerID() const;
    const std::string& name() const { return name_; }

private:
    std::string name_;
    std::shared_ptr<detail::TimerCore> core_;
};

}  // namespace NQBase
