#include "support/clientLogText.h"

#include <cstdio>

#include "support/Lcg.h"

namespace benchsupport {

std::string clientLogText(size_t bytes, uint64_t seed) {
    static const char* const kLevels[] = {"INFO", "INFO", "INFO", "DEBUG", "DEBUG", "WARN", "ERROR"};
    static const char* const kModules[] = {"MeetingMgr", "AudioEngine", "VideoCapture", "NetTransport", "UIMain",
                                           "ScreenShare", "IceConn",    "LogReport",    "Whiteboard", "Chat"};
    static const char* const kNames[] = {"alice", "bob", "chen.wei", "d.muller", "e-ortiz", "fatima", "gunnar"};
    Lcg rng(seed);
    uint32_t ssrcs[6], handles[8], members[7];
    for (uint32_t& id : ssrcs) id = rng.next();
    for (uint32_t& id : handles) id = rng.next();
    for (uint32_t& id : members) id = rng.below(1000000);
    const uint32_t meetingId = 80000000 + rng.below(1000);
    uint32_t frameSeq = rng.below(1000);
    uint32_t chatSeq = 0;

    std::string text;
    text.reserve(bytes + 256);
    constexpr int64_t kStart = 1714979289000;  // 2024-05-06 07:08:09 UTC
    int64_t millis = kStart;
    char line[512];
    while (text.size() < bytes) {
        millis += rng.below(400);
        const int64_t seconds = millis / 1000;
        const int n = std::snprintf(line, sizeof line, "2024-05-%02d %02d:%02d:%02d.%03d [%05u] %-5s %s: ",
                                    6 + static_cast<int>((millis - kStart) / 86400000), static_cast<int>(seconds / 3600 % 24),
                                    static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60),
                                    static_cast<int>(millis % 1000), 4000 + rng.below(12),
                                    kLevels[rng.below(7)], kModules[rng.below(10)]);
        text.append(line, static_cast<size_t>(n));
        const uint32_t who = rng.below(7);
        int m = 0;
        switch (rng.below(8)) {
        case 0:
            frameSeq += 1 + rng.below(3);
            m = std::snprintf(line, sizeof line, "send frame seq=%u size=%u ssrc=0x%08x\n", frameSeq,
                              200 + rng.below(1200), ssrcs[rng.below(6)]);
            break;
        case 1:
            m = std::snprintf(line, sizeof line, "member %s (id %u) joined meeting %u from 10.%u.%u.%u\n", kNames[who],
                              members[who], meetingId, 20 + who, 4 * who, 100 + who);
            break;
        case 2:
            m = std::snprintf(line, sizeof line, "jitter=%ums loss=%u.%u%% rtt=%ums bitrate=%ukbps\n", rng.below(80),
                              rng.below(3), rng.below(10), 20 + rng.below(300), 100 + rng.below(3000));
            break;
        case 3:
            m = std::snprintf(line, sizeof line, "request %08x-%04x done in %u us, result %d\n", rng.next(),
                              rng.below(0x10000), rng.below(50000), static_cast<int>(rng.below(3)) - 1);
            break;
        case 4:
            m = std::snprintf(line, sizeof line, "window 1280x720 moved to (%d,%d), dpi %u\n",
                              static_cast<int>(rng.below(1920)), static_cast<int>(rng.below(1080)), 96 + 24 * rng.below(3));
            break;
        case 5:
            m = std::snprintf(line, sizeof line, "connect Log.ClientLogServer:tcp -h 10.1.%u.%u -p %u timed out after %u ms\n",
                              who, 10 + who, 4063 + rng.below(2), 1000 + rng.below(9000));
            break;
        case 6:
            m = std::snprintf(line, sizeof line, "buffer pool: %u free, %u used, handle 0x%08x%08x\n", rng.below(512),
                              rng.below(512), handles[rng.below(8)], handles[rng.below(8)]);
            break;
        default:
            m = std::snprintf(line, sizeof line, "chat message %u from %s: %u characters\n", ++chatSeq, kNames[who],
                              rng.below(500));
            break;
        }
        text.append(line, static_cast<size_t>(m));
    }
    return text;
}

}  // namespace benchsupport
