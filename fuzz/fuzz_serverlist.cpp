// Parses arbitrary server-list texts: candidates or a refusal, and a fallback
// proxy that never passes its 255 characters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "upload/serverList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string list(reinterpret_cast<const char*>(data), size);
    std::list<NQBase::NQIceSvrSelect::SvrDat> candidates;
    std::string bad;
    const bool ok = NQBase::buildCandidates(list, candidates, bad);
    if (ok && candidates.size() != NQBase::serverListEntries(list)) std::abort();
    if (!ok && !candidates.empty()) std::abort();
    if (NQBase::firstEntryProxy(list).size() > 255) std::abort();
    return 0;
}
