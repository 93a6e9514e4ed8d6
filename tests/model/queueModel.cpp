#include "queueModel.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "NQCompress.h"
#include "store/reportFileReader.h"

namespace model {

namespace {

constexpr int64_t kDetailMaxAgeSec = 604800;
constexpr int64_t kOtherMaxAgeSec = 1209600;
constexpr int64_t kFutureSkewSec = 86400;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string inflate(const NQBase::NQByteArray& data) {
    NQBase::NQByteArray text;
    if (NQBase::zlib_uncompress(data, text) != 0) return {};
    return text.toStdString();
}

int channelOfType(int32_t type) {
    switch (type) {
    case NQBase::segErrLog: return kErrLog;
    case NQBase::segDetailLog: return kDetailLog;
    case NQBase::segUserReport: return kUserReport;
    default: return -1;
    }
}

std::string payloadText(const NQBase::SegmentPayload& p) {
    switch (p.type) {
    case NQBase::segErrLog: return inflate(p.errLog.data);
    case NQBase::segDetailLog: return inflate(p.detailLog.data);
    case NQBase::segUserReport: return p.user.content;
    default: return {};
    }
}

}  // namespace

const char* channelName(int channel) {
    switch (channel) {
    case kErrLog: return "error log";
    case kDetailLog: return "detail log";
    default: return "user report";
    }
}

void idsIn(const std::string& text, std::vector<int>& out) {
    for (size_t at = text.find("uid="); at != std::string::npos; at = text.find("uid=", at + 4)) {
        size_t end = at + 4;
        int value = 0;
        while (end < text.size() && end - at < 14 && text[end] >= '0' && text[end] <= '9')
            value = value * 10 + (text[end++] - '0');
        if (end > at + 4 && end < text.size() && text[end] == ';') out.push_back(value);
    }
}

QueueView readQueue(const std::string& rptPath) {
    QueueView view;
    // The worker may rewrite the header while we read: take a copy of the
    // file whose header did not change while it was read.
    std::string bytes;
    for (int attempt = 0; attempt < 20; ++attempt) {
        const std::string before = readAll(rptPath).substr(0, 20);
        bytes = readAll(rptPath);
        if (bytes.compare(0, 20, before) == 0 && readAll(rptPath).compare(0, 20, before) == 0) break;
    }
    std::istringstream in(bytes);
    const NQBase::ReportFileScan scan = NQBase::scanReportStream(in);
    view.headerValid = scan.headerPresent && scan.headerValid;
    int64_t budget = static_cast<int64_t>(scan.header.total) - scan.header.index;
    for (const NQBase::SegmentInfo& seg : scan.segments) {
        if (seg.consumed) continue;
        const int channel = channelOfType(seg.type);
        NQBase::logSegment header;
        NQBase::SegmentPayload payload;
        in.clear();
        if (channel < 0 || !NQBase::readSegmentRecord(in, seg.offset, header, payload)) continue;
        std::vector<int> ids;
        idsIn(payloadText(payload), ids);
        const bool queued = view.headerValid && budget > 0;
        for (int id : ids) {
            view.inUnconsumed.insert({id, channel});
            if (queued) view.queued.emplace(std::make_pair(id, channel), seg.writeTime);
        }
        --budget;
    }
    return view;
}

std::map<std::pair<int, int>, int> readStore(const std::string& storeDir) {
    namespace fs = std::filesystem;
    std::map<std::pair<int, int>, int> delivered;
    const std::pair<const char*, int> parts[] = {{"errlog", kErrLog}, {"detail", kDetailLog}, {"reports", kUserReport}};
    for (const auto& [folder, channel] : parts) {
        const fs::path dir = fs::path(storeDir) / folder;
        std::error_code ec;
        if (!fs::exists(dir, ec)) continue;
        for (const auto& entry : fs::recursive_directory_iterator(dir, ec)) {
            if (!entry.is_regular_file()) continue;
            if (channel == kUserReport && entry.path().filename() != "report.json") continue;
            std::vector<int> ids;
            idsIn(readAll(entry.path().string()), ids);
            for (int id : ids) ++delivered[{id, channel}];
        }
    }
    return delivered;
}

void Oracle::expect(int id, int channel) { expected_.insert({id, channel}); }

void Oracle::allowRepeat(const IdSet& ids) {
    for (const auto& key : ids) ++repeats_[key];
}

void Oracle::allowLoss(const IdSet& ids) { lossAllowed_.insert(ids.begin(), ids.end()); }

void Oracle::sawQueued(const QueueView& view) {
    for (const auto& [key, writeTime] : view.queued) {
        auto it = writeTime_.find(key);
        if (it == writeTime_.end() || writeTime < it->second) writeTime_[key] = writeTime;
    }
}

bool Oracle::excused(const std::pair<int, int>& key) const {
    if (lossAllowed_.count(key)) return true;
    const auto it = writeTime_.find(key);
    if (it == writeTime_.end()) return false;
    const int64_t limit = key.second == kDetailLog ? kDetailMaxAgeSec : kOtherMaxAgeSec;
    const int64_t written = static_cast<int64_t>(it->second);
    return nowSec_ - written > limit || written > nowSec_ + kFutureSkewSec;
}

std::vector<std::string> Oracle::checkAccounted(const IdSet& pending, const IdSet& queued,
                                                const std::map<std::pair<int, int>, int>& delivered) const {
    std::vector<std::string> problems;
    for (const auto& key : expected_) {
        if (pending.count(key) || queued.count(key) || delivered.count(key) || excused(key)) continue;
        problems.push_back("uid=" + std::to_string(key.first) + " (" + channelName(key.second) +
                           ") is neither in its logger, nor queued, nor on the server");
    }
    return problems;
}

std::vector<std::string> Oracle::checkFinal(const std::map<std::pair<int, int>, int>& delivered,
                                            Tally& tally) const {
    std::vector<std::string> problems;
    for (const auto& key : expected_) {
        const auto it = delivered.find(key);
        const int count = it == delivered.end() ? 0 : it->second;
        ++tally.expected;
        if (count > 0) ++tally.delivered;
        if (count > 1) ++tally.repeated;
        if (count == 0 && lossAllowed_.count(key)) ++tally.resetByKill;
        else if (count == 0 && excused(key)) ++tally.agedOut;
        const auto rep = repeats_.find(key);
        const int allowed = 1 + (rep == repeats_.end() ? 0 : rep->second);
        const std::string name = "uid=" + std::to_string(key.first) + " (" + channelName(key.second) + ")";
        if (count == 0 && !excused(key)) problems.push_back(name + " never reached the server");
        if (count > allowed)
            problems.push_back(name + " reached the server " + std::to_string(count) + " times, " +
                               std::to_string(allowed - 1) + " interruption(s) while it was queued");
    }
    for (const auto& [key, count] : delivered)
        if (!expected_.count(key))
            problems.push_back("uid=" + std::to_string(key.first) + " (" + channelName(key.second) +
                               ") reached the server " + std::to_string(count) + " times but was never handed over");
    return problems;
}

}  // namespace model
