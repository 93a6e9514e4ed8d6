#include "storedUpload.h"

#include <filesystem>
#include <set>
#include <system_error>

#include "NQFileLog.h"
#include "testSupport.h"

namespace testsupport {
namespace {

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void expectSame(std::vector<std::string>& out, const std::string& what, const std::string& stored,
                const std::string& queued) {
    if (stored == queued) return;
    size_t at = 0;
    while (at < stored.size() && at < queued.size() && stored[at] == queued[at]) ++at;
    out.push_back(what + ": stored " + std::to_string(stored.size()) + " bytes, queued " +
                  std::to_string(queued.size()) + ", first difference at byte " + std::to_string(at));
}

}  // namespace

std::string storedDays(const std::string& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) names.insert(e.path().string());
    std::string all;
    for (const auto& name : names) all += readFile(name);
    return all;
}

std::string errorLinesOf(const std::string& logText) {
    std::string out;
    size_t begin = 0;
    while (begin < logText.size()) {
        size_t end = logText.find('\n', begin);
        end = end == std::string::npos ? logText.size() : end + 1;
        const std::string line = logText.substr(begin, end - begin);
        if (NQBase::parseLogLineLevel(line.data(), line.size()) >= NQBase::NQLOG_ERROR) out += line;
        begin = end;
    }
    return out;
}

std::string onlyFileIn(const std::string& dir, const std::string& suffix) {
    std::string found;
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::u8path(dir), ec)) return {};
    for (const auto& e : std::filesystem::recursive_directory_iterator(std::filesystem::u8path(dir))) {
        if (!e.is_regular_file() || !endsWith(e.path().u8string(), suffix)) continue;
        if (!found.empty()) return {};
        found = e.path().u8string();
    }
    return found;
}

std::vector<std::string> storedMismatches(const std::string& storeDir, const QueuedUpload& upload) {
    std::vector<std::string> out;
    const std::string header = "version:" + upload.version + ";client:" + upload.client + ";clientIP:" +
                               upload.clientIp + ";module:" + upload.module + ";conferenceID:0;termID:0;";
    expectSame(out, "error log", storedDays(storeDir + "/errlog/" + upload.client),
               "--------------------\n" + header + "\n" + errorLinesOf(upload.logText));

    // One detail file per user, client, module and day, under the nick's first four bytes.
    const std::string detail = onlyFileIn(storeDir + "/detail/" + upload.nick.substr(0, 4),
                                          ".log");
    const std::string detailName = std::filesystem::u8path(detail).filename().u8string();
    if (detail.empty() || detailName.rfind(upload.nick + "_" + upload.client + "_" + upload.module + "_", 0) != 0) {
        out.push_back("detail log: no single file for " + upload.nick + "_" + upload.client + "_" + upload.module);
    } else {
        expectSame(out, "detail log " + detailName, readFile(detail), upload.logText);
    }

    if (!upload.dumpBytes.empty()) {
        const std::string dump = onlyFileIn(storeDir + "/dumps", ".dmp");
        if (dump.empty()) out.push_back("crash dump: no single .dmp stored");
        else expectSame(out, "crash dump", readFile(dump), upload.dumpBytes);
    }
    for (const auto& attachment : upload.attachments) {
        const std::string stored = onlyFileIn(storeDir + "/reports", attachment.first);
        if (stored.empty()) out.push_back("attachment " + attachment.first + ": not stored");
        else expectSame(out, "attachment " + attachment.first, readFile(stored), attachment.second);
    }
    return out;
}

}  // namespace testsupport
