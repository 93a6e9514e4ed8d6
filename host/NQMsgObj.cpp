// Message objects: posting, signal bindings and the registry of names.
#include "NQMsgObj.h"

#include <memory>

#include <algorithm>
#include <typeinfo>
#include <unordered_map>
#include <vector>

#include "detail/runtimeCore.h"

namespace NQBase {

namespace detail {

// One connect(): sender's signal id to a slot called on the receiver's loop.
// `senderCore`/`receiverCore` are raw: a binding is unlinked, under
// bindingMutex(), before either object's core is released.
struct Binding {
    ObjCore* senderCore = nullptr;
    ObjCore* receiverCore = nullptr;
    std::weak_ptr<ObjCore> receiver;      // the same core, for queued emissions to hold
    int signalId = 0;
    bool connected = true;                // guarded by bindingMutex()
    std::shared_ptr<NQMsgFuncBase> slot;  // guarded by bindingMutex()
};

}  // namespace detail

namespace {

// Recycled closure storage: one block size covers every closure the runtime
// queues; the limit bounds what a past burst keeps.
constexpr std::size_t kRecycledBlockBytes = 256;
constexpr int kRecycledBlockLimit = 4096;

struct RecycledBlock {
    RecycledBlock* poolNext;
};

detail::FreeStack<RecycledBlock>& blockPool() {
    static auto* pool = new detail::FreeStack<RecycledBlock>(kRecycledBlockLimit);  // never destroyed: used during exit
    return *pool;
}

// A recycled message keeps the nodes of its parameters (cleared) for the next use.
constexpr int kSpareNodes = 4;
constexpr int kRecycledMsgLimit = 1024;

struct RecycledMsg final : NQMsg {
    RecycledMsg* poolNext = nullptr;
    NQVariantMap::node_type spare[kSpareNodes];
    int spareCount = 0;
};

detail::FreeStack<RecycledMsg>& msgPool() {
    static auto* pool = new detail::FreeStack<RecycledMsg>(kRecycledMsgLimit);  // never destroyed, as above
    return *pool;
}

RecycledMsg* asRecycled(NQMsg* msg) {
    return msg != nullptr && typeid(*msg) == typeid(RecycledMsg) ? static_cast<RecycledMsg*>(msg) : nullptr;
}

// The deleter of a posted message's shared handle.
void releaseMsg(NQMsg* msg) {
    RecycledMsg* recycled = asRecycled(msg);
    if (recycled == nullptr) {
        delete msg;
        return;
    }
    recycled->serialNumber = 0;
    recycled->typeId = 0;
    recycled->wParam = 0;
    recycled->lParam = 0;
    NQVariantMap& params = recycled->params;
    while (!params.empty() && recycled->spareCount < kSpareNodes) {
        NQVariantMap::node_type node = params.extract(params.begin());
        node.mapped().clear();
        recycled->spare[recycled->spareCount++] = std::move(node);
    }
    params.clear();
    if (!msgPool().push(recycled)) delete recycled;
}

using detail::Binding;
using detail::LoopCore;
using detail::ObjCore;

// Bindings live in the cores' outgoing/incoming lists, all guarded by one mutex.
std::mutex& bindingMutex() {
    static std::mutex* mutex = new std::mutex;  // never destroyed: objects may die during exit
    return *mutex;
}

// Removes b from both ends and hands its slot to `freed`, to be released
// outside the lock (a slot's destructor is user code).
void unlinkLocked(const std::shared_ptr<Binding>& b, std::vector<std::shared_ptr<NQMsgFuncBase>>& freed) {
    auto erase = [&b](std::vector<std::shared_ptr<Binding>>& list) {
        list.erase(std::remove(list.begin(), list.end(), b), list.end());
    };
    erase(b->senderCore->outgoing);
    erase(b->receiverCore->incoming);
    b->connected = false;
    freed.push_back(std::move(b->slot));
}

// Name → cores, oldest first.
struct NameRegistry {
    std::mutex mutex;
    std::unordered_map<std::string, std::vector<std::weak_ptr<ObjCore>>> byName;
};

NameRegistry& names() {
    static NameRegistry* registry = new NameRegistry;  // never destroyed, as above
    return *registry;
}

void registerName(const std::shared_ptr<ObjCore>& core) {
    std::lock_guard<std::mutex> lock(names().mutex);
    names().byName[core->name].push_back(core);
}

void unregisterName(const ObjCore* core) {
    std::lock_guard<std::mutex> lock(names().mutex);
    auto it = names().byName.find(core->name);
    if (it == names().byName.end()) return;
    auto& list = it->second;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [core](const std::weak_ptr<ObjCore>& w) {
                                  auto live = w.lock();
                                  return !live || live.get() == core;
                              }),
               list.end());
    if (list.empty()) names().byName.erase(it);
}

std::shared_ptr<ObjCore> newestNamed(const std::string& name) {
    std::lock_guard<std::mutex> lock(names().mutex);
    auto it = names().byName.find(name);
    if (it == names().byName.end()) return nullptr;
    for (auto w = it->second.rbegin(); w != it->second.rend(); ++w) {
        auto core = w->lock();
        if (core && core->alive.load()) return core;
    }
    return nullptr;
}

// The sender as the handler may see it: null once it has died.
const NQMsgObj* liveSender(const NQMsgObj* sender, const std::weak_ptr<ObjCore>& senderCore) {
    if (sender == nullptr) return nullptr;
    auto core = senderCore.lock();
    return core && core->alive.load() ? sender : nullptr;
}

// On the receiver's loop.
void deliverSignal(const std::shared_ptr<Binding>& b, const std::shared_ptr<ObjCore>& receiver,
                   const std::weak_ptr<ObjCore>& senderCore, const NQMsgObj* sender,
                   const std::shared_ptr<NQMsg>& msg) {
    if (!receiver->alive.load()) return;
    auto senderAlive = senderCore.lock();
    if (!senderAlive || !senderAlive->alive.load()) return;
    std::shared_ptr<NQMsgFuncBase> slot;
    {
        std::lock_guard<std::mutex> lock(bindingMutex());
        if (!b->connected) return;  // disConnect or a death since the emission
        slot = b->slot;
    }
    if (slot) detail::invokeGuarded("slot", [&] { slot->call(msg, sender); });
}

}  // namespace

void* detail::allocateRecycled(std::size_t bytes) {
    if (bytes > kRecycledBlockBytes) return ::operator new(bytes);
    if (RecycledBlock* block = blockPool().pop()) return block;
    return ::operator new(kRecycledBlockBytes);
}

void detail::deallocateRecycled(void* block, std::size_t bytes) noexcept {
    if (block == nullptr) return;
    if (bytes > kRecycledBlockBytes || !blockPool().push(static_cast<RecycledBlock*>(block))) ::operator delete(block);
}

NQMsg* newRecycledMsg(int32_t sn, int32_t type) {
    RecycledMsg* msg = msgPool().pop();
    if (msg == nullptr) msg = new RecycledMsg;
    msg->serialNumber = sn;
    msg->typeId = type;
    return msg;
}

void setMsgParam(NQMsg* msg, const std::string& key, const NQVariant& value) {
    if (msg == nullptr) return;
    auto existing = msg->params.find(key);
    if (existing != msg->params.end()) {
        existing->second = value;
        return;
    }
    RecycledMsg* recycled = asRecycled(msg);
    if (recycled == nullptr || recycled->spareCount == 0) {
        msg->params[key] = value;
        return;
    }
    NQVariantMap::node_type& node = recycled->spare[--recycled->spareCount];
    node.key() = key;
    node.mapped() = value;
    msg->params.insert(std::move(node));
}

bool detail::postToCore(const std::shared_ptr<ObjCore>& target, NQMsg* msg, const NQMsgObj* sender) {
    // The shared handle is made on the receiving thread: the poster, often a
    // client thread in a hurry, pays for one allocation fewer.
    std::unique_ptr<NQMsg> owned(msg);
    if (!target || !target->alive.load()) return false;
    std::shared_ptr<LoopCore> loop = target->loop();
    if (!loop) return false;
    // An object posting to itself (the front end's habit) needs no second
    // liveness handle: the target's own check covers it.
    if (sender == target->obj) {
        return loop->post([target, owned = std::move(owned)]() mutable {
            if (!target->alive.load()) return;
            const std::shared_ptr<NQMsg> shared(owned.release(), releaseMsg);
            invokeGuarded("handMsg", [&] { target->obj->handMsg(shared, target->obj); });
        });
    }
    std::weak_ptr<ObjCore> senderCore;
    if (sender != nullptr) senderCore = sender->core();
    return loop->post([target, owned = std::move(owned), sender, senderCore = std::move(senderCore)]() mutable {
        if (!target->alive.load()) return;
        const std::shared_ptr<NQMsg> shared(owned.release(), releaseMsg);
        invokeGuarded("handMsg", [&] { target->obj->handMsg(shared, liveSender(sender, senderCore)); });
    });
}

NQMsg::~NQMsg() = default;

int32_t getMsgSN() {
    static std::atomic<uint32_t> last{0};
    // Positive and increasing; wraps back to 1 after 2^31 - 1.
    uint32_t sn;
    do {
        sn = (last.fetch_add(1) + 1) & 0x7FFFFFFFu;
    } while (sn == 0);
    return static_cast<int32_t>(sn);
}

NQMsgFuncBase::~NQMsgFuncBase() = default;

NQMsgObj::NQMsgObj(const std::string& name) : name_(name), core_(std::make_shared<ObjCore>(this, name)) {
    core_->setLoop(detail::currentLoop());
    registerName(core_);
}

NQMsgObj::~NQMsgObj() {
    core_->alive.store(false);
    unregisterName(core_.get());
    std::vector<std::shared_ptr<NQMsgFuncBase>> freed;
    {
        std::lock_guard<std::mutex> lock(bindingMutex());
        auto outgoing = core_->outgoing;
        for (const auto& b : outgoing) unlinkLocked(b, freed);
        auto incoming = core_->incoming;
        for (const auto& b : incoming) unlinkLocked(b, freed);
    }
}

void NQMsgObj::handMsg(const std::shared_ptr<NQMsg>&, const NQMsgObj*) {}

void NQMsgObj::timerMsg(int) {}

bool NQMsgObj::postMsg(NQMsg* msg, const NQMsgObj* sender) { return detail::postToCore(core_, msg, sender); }

void NQMsgObj::connect(const NQMsgObj* sender, int signalId, NQMsgFuncBase* slot) {
    std::shared_ptr<NQMsgFuncBase> owned(slot);
    if (sender == nullptr || !owned) return;
    auto b = std::make_shared<Binding>();
    b->senderCore = sender->core_.get();
    b->receiverCore = core_.get();
    b->receiver = core_;
    b->signalId = signalId;
    b->slot = std::move(owned);
    {
        std::lock_guard<std::mutex> lock(bindingMutex());
        if (sender->core_->alive.load() && core_->alive.load()) {
            sender->core_->outgoing.push_back(b);
            core_->incoming.push_back(b);
            return;
        }
    }
    // One of the two is being destroyed: the binding and its slot go now.
}

void NQMsgObj::disConnect(const NQMsgObj* sender, int signalId) {
    std::vector<std::shared_ptr<NQMsgFuncBase>> freed;
    std::lock_guard<std::mutex> lock(bindingMutex());
    auto incoming = core_->incoming;
    for (const auto& b : incoming) {
        bool fromSender = sender == nullptr || b->senderCore == sender->core_.get();
        if (fromSender && (signalId == -1 || b->signalId == signalId)) unlinkLocked(b, freed);
    }
    // `freed` is declared before the lock, so the slots are released after it.
}

int NQMsgObj::emitSignal(int signalId, NQMsg* msg) const {
    std::shared_ptr<NQMsg> shared(msg);  // one message for every receiver
    std::vector<std::pair<std::shared_ptr<Binding>, std::shared_ptr<ObjCore>>> targets;
    {
        std::lock_guard<std::mutex> lock(bindingMutex());
        for (const auto& b : core_->outgoing) {
            if (b->signalId != signalId) continue;
            if (auto receiver = b->receiver.lock()) targets.emplace_back(b, std::move(receiver));
        }
    }
    std::weak_ptr<ObjCore> senderCore = core_;
    int reached = 0;
    for (const auto& [binding, receiver] : targets) {
        std::shared_ptr<LoopCore> loop = receiver->loop();
        if (!loop) continue;
        bool posted = loop->post([b = binding, receiver = receiver, senderCore, sender = this, shared] {
            deliverSignal(b, receiver, senderCore, sender, shared);
        });
        if (posted) ++reached;
    }
    return reached;
}

bool postMsgToNamed(const std::string& name, NQMsg* msg) {
    std::shared_ptr<ObjCore> target = newestNamed(name);
    if (!target) {
        delete msg;
        return false;
    }
    return detail::postToCore(target, msg, nullptr);
}

}  // namespace NQBase
