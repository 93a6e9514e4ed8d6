// console-fixture: writes stores for the console's browser test and demo.
//   console-fixture seed DIR     a scenario of two organisations, hostile names,
//                                logs with error lines, a dump and a user report;
//                                prints what it wrote as JSON
//   console-fixture add DIR CLIENT MEETING ORG SEQ
//                                one dump stamped now, as an arrival
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>

#include "storeWriter.h"

namespace {

std::string nowUtc(int minutesAgo) {
    const std::time_t t = std::time(nullptr) - minutesAgo * 60;
    std::tm tm {};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.000Z", &tm);
    return buf;
}

consolefixture::Upload upload(const std::string& client, const std::string& nickname, const std::string& meeting,
                              const std::string& org, int minutesAgo) {
    consolefixture::Upload u;
    u.client = client;
    u.nickname = nickname;
    u.meeting = meeting;
    u.org = org;
    u.time = nowUtc(minutesAgo);
    return u;
}

std::string errorLogText(int lines) {
    std::string text;
    for (int i = 0; i < lines; ++i) {
        text += "2026-12-06 08:" + std::to_string(10 + i % 50) + " [audio] ";
        if (i % 7 == 3)
            text += "ERROR capture device lost (" + std::to_string(i) + ")";
        else if (i % 31 == 5)
            text += "FATAL renderer stopped";
        else if (i % 11 == 0)
            text += "ERRORS=0 xERROR are not errors";
        else
            text += "INFO frame " + std::to_string(i);
        text += "\n";
    }
    return text;
}

int seed(const std::string& dir) {
    const std::string hostile = "<img src=x onerror=window.__xss=1></script><script>window.__xss=2</script>";
    consolefixture::StoreWriter acme(dir + "/ACME", "node-a", 100);
    consolefixture::StoreWriter globex(dir + "/GLOBEX", "node-a", 500);
    const std::string log = errorLogText(400);
    acme.errorLog(upload("PC-SOUND-01", "alice", "123456", "ACME", 90), "earlier upload of the day\n");
    const uint64_t logSeq = acme.errorLog(upload("PC-SOUND-01", "alice", "123456", "ACME", 60), log);
    acme.detailLog(upload("PC-SOUND-01", "alice", "123456", "ACME", 55), "alice_PC-SOUND-01_conf_1206.log",
                   errorLogText(60));
    std::string dmp = "MDMP";
    for (int i = 0; i < 70000; ++i) dmp += static_cast<char>((i * 7919) & 0xFF);
    const uint64_t dumpSeq = acme.dump(upload("PC-SOUND-01", "alice", "123456", "ACME", 50), dmp);
    const uint64_t reportSeq = acme.userReport(
        upload("PC-SOUND-01", "alice", "123456", "ACME", 45), "alice@example.org, +49 30 1234",
        "No sound in meeting 123456 this morning. <b>bold?</b>",
        {{"screenshot.png", std::string("\x89PNG\r\n\x1a\n", 8) + std::string(3000, 'p')},
         {"notes <script>.txt", "first note\n"},
         {"../../etc/passwd", "not a path\n"}});
    acme.errorLog(upload(hostile, hostile, "777", "ACME", 40), "line with " + hostile + " ERROR\n");
    const uint64_t otherSeq = globex.dump(upload("PC-GLOBEX-9", "bob", "123456", "GLOBEX", 30), "MDMP-globex");
    std::cout << "{\"logSeq\":" << logSeq << ",\"dumpSeq\":" << dumpSeq << ",\"reportSeq\":" << reportSeq
              << ",\"otherSeq\":" << otherSeq << ",\"hostile\":" << consolefixture::jsonString(hostile) << "}"
              << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "seed") return seed(argv[2]);
    if (argc == 7 && std::string(argv[1]) == "add") {
        const std::string org = argv[5];
        consolefixture::StoreWriter w(std::string(argv[2]) + "/" + org, "node-a", std::stoull(argv[6]));
        w.dump(upload(argv[3], "", argv[4], org, 0), "MDMP-live");
        return 0;
    }
    std::cerr << "usage: console-fixture seed DIR | add DIR CLIENT MEETING ORG SEQ\n";
    return 2;
}
