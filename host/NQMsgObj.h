// NQMsgObj: the base of every object that receives messages, timer ticks and
// signals. Each object belongs to one event loop (the NQThread that was running
// on the constructing thread, or the one it is bound to with NQThread::bindObj)
// and everything addressed to it runs there, one at a time, in posting order.
//
// Thread rules:
//  - postMsg, emitSignal and postMsgToNamed may be called from any thread.
//  - connect/disConnect are called on the receiver's own thread (or before its
//    loop runs).
//  - An object is destroyed on its own thread. Destruction removes every binding
//    in which it is sender or receiver, and anything still queued for it is
//    dropped: nothing reaches a destroyed object.
#pragma once

#include <memory>
#include <string>

#include "NQMsg.h"
#include "NQPlatform.h"

namespace NQBase {

class NQMsgObj;
namespace detail {
struct ObjCore;
struct LoopCore;
}  // namespace detail

// A slot: one member function of T, called on the receiver's thread. Once handed
// to connect (or to NQTimer::start) the slot object belongs to the runtime.
class NQHOST_API NQMsgFuncBase {
public:
    virtual ~NQMsgFuncBase();
    virtual void call(const std::shared_ptr<NQMsg>& msg, const NQMsgObj* sender) = 0;
    virtual void call() = 0;
};

template <class T>
class NQMsgHander final : public NQMsgFuncBase {
public:
    using WithMsg = void (T::*)(const std::shared_ptr<NQMsg>&, const NQMsgObj*);
    using NoMsg = void (T::*)();

    NQMsgHander(T* obj, WithMsg fn) : obj_(obj), withMsg_(fn) {}
    NQMsgHander(T* obj, NoMsg fn) : obj_(obj), noMsg_(fn) {}

    void call(const std::shared_ptr<NQMsg>& msg, const NQMsgObj* sender) override {
        if (withMsg_ != nullptr) (obj_->*withMsg_)(msg, sender);
        else (obj_->*noMsg_)();
    }
    void call() override {
        if (noMsg_ != nullptr) (obj_->*noMsg_)();
        else (obj_->*withMsg_)(nullptr, nullptr);
    }

private:
    T* obj_;
    WithMsg withMsg_ = nullptr;
    NoMsg noMsg_ = nullptr;
};

class NQHOST_API NQMsgObj {
public:
    explicit NQMsgObj(const std::string& name);
    virtual ~NQMsgObj();
    NQMsgObj(const NQMsgObj&) = delete;
    NQMsgObj& operator=(const NQMsgObj&) = delete;

    virtual void handMsg(const std::shared_ptr<NQMsg>& msg, const NQMsgObj* sender);
    virtual void timerMsg(int timerId);

    // Any thread. Takes ownership of msg. Returns false (and frees msg) when the
    // object has no running loop.
    bool postMsg(NQMsg* msg, const NQMsgObj* sender);

    // Binds the sender's signal id to slot, called on this object's thread with
    // the emitted message. Takes ownership of slot. A second binding of the same
    // sender and id adds a second call.
    void connect(const NQMsgObj* sender, int signalId, NQMsgFuncBase* slot);
    // Removes this object's bindings from sender with signalId (-1: every id).
    // A signal already emitted but not yet delivered is not delivered either.
    void disConnect(const NQMsgObj* sender, int signalId);

    // Any thread. Calls every slot bound to (this, signalId) on its receiver's
    // thread with msg (ownership taken). Returns the number of bindings reached.
    int emitSignal(int signalId, NQMsg* msg) const;

    const std::string& objName() const { return name_; }

    // Runtime internals.
    const std::shared_ptr<detail::ObjCore>& core() const { return core_; }

private:
    std::string name_;
    std::shared_ptr<detail::ObjCore> core_;
};

// Posts msg to the newest live object registered under name, without holding a
// pointer to it: safe while that object is being destroyed. Returns false (and
// frees msg) when no such object is alive. Any thread.
NQHOST_API bool postMsgToNamed(const std::string& name, NQMsg* msg);

}  // namespace NQBase
