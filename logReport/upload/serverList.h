// The server list the client hands in ("host:port;host:port;..."), turned into
// the selector's candidates and into the proxy of the first entry.
#pragma once

#include <list>
#include <string>

#include "NQConnection.h"

namespace NQBase {

// One candidate per entry, in list order: index, proxy
// "Log.ClientLogServer:tcp -h HOST -p PORT" and {"server": "HOST:PORT"}.
// An entry without a ':' stops the whole list: false, with that entry.
bool buildCandidates(const std::string& list, std::list<NQIceSvrSelect::SvrDat>& candidates, std::string& badEntry);

// Number of entries in the list.
size_t serverListEntries(const std::string& list);

// The proxy of the first entry, an IPv6 host in double quotes, cut to 255
// characters.
std::string firstEntryProxy(const std::string& list);

}  // namespace NQBase
