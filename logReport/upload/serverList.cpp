#include "upload/serverList.h"

#include <cstdio>
#include <vector>

#include "NQString.h"

namespace NQBase {

namespace {

constexpr const char* kProxyFormat = "Log.ClientLogServer:tcp -h %s -p %s";
constexpr size_t kProxyBufferBytes = 256;

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> pieces;
    stdstring::SplitString(pieces, text, sep, false);
    return pieces;
}

}  // namespace

bool buildCandidates(const std::string& list, std::list<NQIceSvrSelect::SvrDat>& candidates, std::string& badEntry) {
    candidates.clear();
    int index = 0;
    for (const std::string& entry : split(list, ';')) {
        const std::vector<std::string> pieces = split(entry, ':');
        if (pieces.size() < 2) {
            candidates.clear();
            badEntry = entry;
            return false;
        }
        NQIceSvrSelect::SvrDat candidate;
        candidate.svrIndex = index++;
        candidate.svrProxy = stdstring::FormatString(kProxyFormat, pieces[0].c_str(), pieces[1].c_str());
        candidate.svrInfo["server"] = stdstring::FormatString("%s:%s", pieces[0].c_str(), pieces[1].c_str());
        candidates.push_back(std::move(candidate));
    }
    return true;
}

size_t serverListEntries(const std::string& list) { return split(list, ';').size(); }

std::string firstEntryProxy(const std::string& list) {
    const std::vector<std::string> entries = split(list, ';');
    if (entries.empty()) return {};
    std::string host;
    std::string port;
    splitHostAndPort(entries.front(), host, port);
    if (isIPV6Str(host)) host = "\"" + host + "\"";
    char proxy[kProxyBufferBytes];
    std::snprintf(proxy, sizeof(proxy), kProxyFormat, host.c_str(), port.c_str());
    return proxy;
}

}  // namespace NQBase
