#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "NQCompress.h"
#include "harness.h"
#include "store/reportFileReader.h"

namespace harness {

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <class Fn>
void forEachLine(const std::string& text, Fn fn) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) fn(line);
}

}  // namespace

std::string linesLostToReset(const std::string& rptPath) {
    const NQBase::ReportFileScan scan = NQBase::scanReportFile(rptPath);
    if (!scan.opened || !scan.headerPresent || scan.headerValid) return {};
    std::string lines;
    for (const NQBase::SegmentInfo& seg : scan.segments) {
        if (seg.consumed || seg.type != NQBase::segDetailLog) continue;
        NQBase::logSegment header;
        NQBase::SegmentPayload payload;
        if (!NQBase::readSegmentRecord(rptPath, seg.offset, header, payload)) continue;
        NQBase::NQByteArray text;
        if (NQBase::zlib_uncompress(payload.detailLog.data, text) == 0) lines += text.toStdString();
    }
    return lines;
}

Tally compare(const std::string& logFile, const std::string& storeDir, const std::set<std::string>& resetLines) {
    std::map<std::string, int> seen;
    const std::string detailDir = storeDir + "/detail";
    if (std::filesystem::exists(detailDir)) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(detailDir))
            if (entry.is_regular_file()) forEachLine(readAll(entry.path().string()), [&](const std::string& l) { ++seen[l]; });
    }
    Tally tally;
    bool inDuplicatedRun = false;
    forEachLine(readAll(logFile), [&](const std::string& line) {
        ++tally.written;
        const auto it = seen.find(line);
        const int count = it == seen.end() ? 0 : it->second;
        if (count >= 1) ++tally.delivered;
        if (count > 1) ++tally.duplicated;
        if (count > 1 && !inDuplicatedRun) ++tally.duplicatedRuns;
        inDuplicatedRun = count > 1;
        if (count == 0) (resetLines.count(line) ? tally.lostToReset : tally.lost)++;
    });
    return tally;
}

}  // namespace harness
