// The queue model: every line a test writes carries a unique id ("uid=N;"), and
// the oracle follows each id through the places it may be, in the order it
// moves: the logger's text not yet handed out, a queued segment of a report
// file, the log server's store. It knows the rules under which an id may leave
// without reaching the server (the age limits; the reset of a file whose append
// a kill cut short) and the events at which an id may reach it twice (it was
// outstanding when a connection dropped or was replaced, a failure answered, or
// the client stopped, switched files or died).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace model {

enum Channel { kErrLog = 0, kDetailLog = 1, kUserReport = 2, kChannels = 3 };

using IdSet = std::set<std::pair<int, int>>;  // (id, channel)

// Ids in the given text: every "uid=N;" occurrence, with repeats.
void idsIn(const std::string& text, std::vector<int>& out);

// Queued ids of one report file, as the upload cycle would take them: only a
// header that load_logHeader keeps, and only the first total - index segments
// from position on. writeTime is kept per id for the age rule.
struct QueueView {
    bool headerValid = false;
    std::map<std::pair<int, int>, uint32_t> queued;  // (id, channel) -> writeTime
    std::set<std::pair<int, int>> inUnconsumed;      // every segment past position, valid header or not
};
QueueView readQueue(const std::string& rptPath);

// Deliveries per (id, channel) in the log server's store directory.
std::map<std::pair<int, int>, int> readStore(const std::string& storeDir);

// What a run came to, so that a campaign shows which rules it exercised.
struct Tally {
    long expected = 0;
    long delivered = 0;   // reached the server at least once
    long repeated = 0;    // reached it more than once (allowed)
    long agedOut = 0;     // never reached it, excused by the age limits
    long resetByKill = 0; // never reached it, excused by a torn append
};

class Oracle {
public:
    // A line (or report) the client handed over; expected on these channels.
    void expect(int id, int channel);
    // The clock (seconds since 1970) at the time of a check.
    void setNow(int64_t nowSec) { nowSec_ = nowSec; }
    // Ids that may have been outstanding at an interruption: each may arrive
    // once more than before.
    void allowRepeat(const IdSet& ids);
    // Ids whose file will be reset because an append was cut short.
    void allowLoss(const IdSet& ids);
    // What a check saw queued: remembered for the age rule.
    void sawQueued(const QueueView& view);

    // Every expected id must be somewhere: still in its logger, queued, on
    // the server, or excused. Returns the violations, empty when none.
    std::vector<std::string> checkAccounted(const IdSet& pending, const IdSet& queued,
                                            const std::map<std::pair<int, int>, int>& delivered) const;
    // At the end, with nothing left to send: delivered at least once unless
    // excused, and never more often than the interruptions allow.
    std::vector<std::string> checkFinal(const std::map<std::pair<int, int>, int>& delivered, Tally& tally) const;

    size_t expectedCount() const { return expected_.size(); }

private:
    bool excused(const std::pair<int, int>& key) const;

    int64_t nowSec_ = 0;
    std::set<std::pair<int, int>> expected_;
    std::map<std::pair<int, int>, int> repeats_;
    std::set<std::pair<int, int>> lossAllowed_;
    std::map<std::pair<int, int>, uint32_t> writeTime_;  // oldest seen
};

const char* channelName(int channel);

}  // namespace model
