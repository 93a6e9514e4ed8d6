// OrganisationStores: each organisation's store and servant behind the token
// gate, opened on its first command and closed again when idle, so that any
// number of organisations is served within the server's descriptor budget.
//
// A store is opened outside the lock that every organisation's commands pass
// through: opening a large store delays that organisation's commands only.
// At most maxOpen stores are open at once; past that, the least recently used
// one that no command is using is closed (its descriptors with it) and is
// opened again on its next command. An organisation's counters survive its
// store being closed.
//
// Thread rules: every member may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "commandServant.h"
#include "logStore.h"

namespace logserver {

class OrganisationStores {
public:
    // Stores open at once; with the few descriptors each keeps between
    // commands, they stay well inside the descriptors kept for store files.
    static constexpr size_t kMaxOpen = 8;
    // Descriptors an organisation's store keeps open between commands for
    // appended files.
    static constexpr size_t kOpenAppendFilesEach = 2;

    OrganisationStores(std::string root, StoreOptions storeOptions, ServantOptions options, size_t maxOpen = kMaxOpen);
    ~OrganisationStores();
    OrganisationStores(const OrganisationStores&) = delete;
    OrganisationStores& operator=(const OrganisationStores&) = delete;

    // The servant of organisation's store, opened if it is not; it stays open
    // while the pointer is held. Throws Log::CommandFailed when the store
    // cannot be opened.
    std::shared_ptr<CommandServant> servantFor(const std::string& organisation);

    void beginShutdown();
    uint64_t commandCount() const;
    uint64_t violationCount() const;
    uint64_t resendCount() const;
    // Stores open now.
    size_t openCount() const;

private:
    struct Entry;
    using EntryPtr = std::shared_ptr<Entry>;

    // Drops the least recently used entries no command holds, beyond maxOpen;
    // they are returned, to be destroyed after the lock is released.
    std::list<EntryPtr> evictIdle();
    void forget(const std::string& organisation, const EntryPtr& entry);

    const std::string root_;
    const StoreOptions storeOptions_;
    const ServantOptions options_;
    const size_t maxOpen_;
    bool shuttingDown_ = false;
    mutable std::mutex mutex_;
    // Most recently used first.
    std::list<std::pair<std::string, EntryPtr>> recent_;
    std::map<std::string, std::list<std::pair<std::string, EntryPtr>>::iterator> byName_;
    // Counts of stores closed since.
    uint64_t closedCommands_ = 0;
    uint64_t closedViolations_ = 0;
    uint64_t closedResends_ = 0;
};

}  // namespace logserver
