#include "organisationStores.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <utility>
#include <vector>

#include "receiptRestore.h"

namespace logserver {

struct OrganisationStores::Entry {
    // Held while the store is opened, so that a second command of the same
    // organisation waits for the first open instead of opening it twice.
    std::mutex openMutex;
    std::atomic<bool> opened{false};
    std::unique_ptr<LogStore> store;
    std::shared_ptr<CommandServant> servant;
};

OrganisationStores::OrganisationStores(std::string root, StoreOptions storeOptions, ServantOptions options,
                                       size_t maxOpen)
    : root_(std::move(root)), storeOptions_(std::move(storeOptions)), options_(std::move(options)),
      maxOpen_(maxOpen > 0 ? maxOpen : 1) {}

OrganisationStores::~OrganisationStores() = default;

std::shared_ptr<CommandServant> OrganisationStores::servantFor(const std::string& organisation) {
    EntryPtr entry;
    std::list<EntryPtr> closing;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = byName_.find(organisation);
        if (found != byName_.end()) {
            recent_.splice(recent_.begin(), recent_, found->second);
            entry = found->second->second;
        } else {
            entry = std::make_shared<Entry>();
            recent_.emplace_front(organisation, entry);
            byName_[organisation] = recent_.begin();
            closing = evictIdle();
        }
    }
    closing.clear();  // closed outside the lock: closing flushes and joins

    std::lock_guard<std::mutex> openLock(entry->openMutex);
    if (!entry->opened) {
        std::error_code ec;
        std::filesystem::create_directories(root_, ec);
        StoreOptions storeOptions = storeOptions_;
        storeOptions.openAppendFiles = kOpenAppendFilesEach;
        auto store = std::make_unique<LogStore>(root_ + "/" + organisation, storeOptions);
        StoreError err;
        std::vector<std::string> notes;
        const bool opened = store->open(err, notes);
        for (const auto& note : notes) printLine(true, organisation + ": " + note);
        if (!opened) {
            forget(organisation, entry);
            throw Log::CommandFailed(err.reason);
        }
        ServantOptions options = options_;
        options.organisation = organisation;  // one receipt window serves every organisation
        if (options.receipts != nullptr) ReceiptRestore::fromStore(*options.receipts, *store, std::chrono::system_clock::now());
        entry->servant = std::make_shared<CommandServant>(*store, options);
        entry->store = std::move(store);
        entry->opened = true;
        std::lock_guard<std::mutex> lock(mutex_);
        if (shuttingDown_) entry->servant->beginShutdown();
    }
    // The servant keeps its whole entry (and so its store) alive.
    return std::shared_ptr<CommandServant>(entry, entry->servant.get());
}

std::list<OrganisationStores::EntryPtr> OrganisationStores::evictIdle() {
    std::list<EntryPtr> closing;
    auto it = recent_.end();
    while (byName_.size() > maxOpen_ && it != recent_.begin()) {
        --it;
        // Held elsewhere: a command is using it, or it is being opened, or
        // commands wait for its flush to be answered.
        if (it->second.use_count() > 1 || !it->second->opened || it->second->servant->awaitingCount() > 0) continue;
        Entry& e = *it->second;
        closedCommands_ += e.servant->commandCount();
        closedViolations_ += e.servant->violationCount();
        closedResends_ += e.servant->resendCount();
        closing.push_back(std::move(it->second));
        byName_.erase(it->first);
        it = recent_.erase(it);
    }
    return closing;
}

void OrganisationStores::forget(const std::string& organisation, const EntryPtr& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = byName_.find(organisation);
    if (found == byName_.end() || found->second->second != entry) return;
    recent_.erase(found->second);
    byName_.erase(found);
}

void OrganisationStores::beginShutdown() {
    std::lock_guard<std::mutex> lock(mutex_);
    shuttingDown_ = true;
    for (auto& named : recent_)
        if (named.second->opened) named.second->servant->beginShutdown();
}

uint64_t OrganisationStores::commandCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t n = closedCommands_;
    for (const auto& named : recent_)
        if (named.second->opened) n += named.second->servant->commandCount();
    return n;
}

uint64_t OrganisationStores::violationCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t n = closedViolations_;
    for (const auto& named : recent_)
        if (named.second->opened) n += named.second->servant->violationCount();
    return n;
}

uint64_t OrganisationStores::resendCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t n = closedResends_;
    for (const auto& named : recent_)
        if (named.second->opened) n += named.second->servant->resendCount();
    return n;
}

size_t OrganisationStores::openCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& named : recent_) n += named.second->opened ? 1 : 0;
    return n;
}

}  // namespace logserver
