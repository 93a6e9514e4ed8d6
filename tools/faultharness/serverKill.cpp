// The server-kill test: plain Ice clients upload continuously while the
// server is killed with SIGKILL at random moments and started again. Each
// client sends every command once (a failed one is given up, not retried), so
// that the store can be checked exactly: every command a client saw
// confirmed is stored whole and has exactly one index line, no two lines
// share a sequence number, and an appended file holds nothing of a command
// that has no index line.
#include <Ice/Ice.h>
#include <LogServer.h>
#include <rapidjson/document.h>

#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "harness.h"
#include "serverProcess.h"
#include "zlib.h"

namespace harness {
namespace {

constexpr int kClients = 4;
constexpr int kLinesPerBlock = 100;

std::string deflated(const std::string& text) {
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(text.data()),
              static_cast<uLong>(text.size()), 6);
    out.resize(size);
    return out;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Block n of client k: lines that name their command, so that the appended
// file can be split back into commands.
std::string detailBlock(int k, int n) {
    std::string text;
    for (int j = 0; j < kLinesPerBlock; ++j)
        text += "c" + std::to_string(k) + " n" + std::to_string(n) + " line " + std::to_string(j) +
                " ................................................................\n";
    return text;
}

std::string dumpBytes(int k, int n) {
    std::string bytes = "MDMP c" + std::to_string(k) + " n" + std::to_string(n) + "\n";
    while (bytes.size() < 8192) bytes += bytes;
    return bytes;
}

struct Sent {
    std::mutex mutex;
    std::set<std::pair<int, int>> confirmed;  // (client, n); even n detail, odd n dump
    int64_t failed = 0;
};

void uploadUntilStopped(int k, const std::string& proxy, std::atomic<bool>& stop, Sent& sent) {
    Ice::CommunicatorHolder ice(Ice::initialize());
    auto prx = Ice::uncheckedCast<Log::ClientLogServerPrx>(
        ice->stringToProxy(proxy)->ice_invocationTimeout(5000)->ice_connectionId("c" + std::to_string(k)));
    for (int n = 0; !stop; ++n) {
        try {
            if (n % 2 == 0) {
                const std::string json = "{\"confId\":" + std::to_string(n) + ",\"filename\":\"kill/c" + std::to_string(k) + ".log\"}";
                const std::string data = deflated(detailBlock(k, n));
                prx->sendCmd(11048, json, Ice::ByteSeq(data.begin(), data.end()), Ice::Context{{"cmdType", "reportDetail"}});
            } else {
                const std::string json = "{\"info\":{\"client\":\"c" + std::to_string(k) + "\",\"logDate\":\"" +
                                         std::to_string(n) + "\"}}";
                const std::string data = deflated(dumpBytes(k, n));
                prx->sendCmd(11049, json, Ice::ByteSeq(data.begin(), data.end()), Ice::Context{{"cmdType", "reportDump"}});
            }
            std::lock_guard<std::mutex> lock(sent.mutex);
            sent.confirmed.insert({k, n});
        } catch (const Ice::Exception&) {
            {
                std::lock_guard<std::mutex> lock(sent.mutex);
                ++sent.failed;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

}  // namespace

// Every index day, oldest first.
std::string indexText(const std::string& store) {
    std::set<std::string> days;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(store + "/index", ec)) days.insert(e.path().string());
    std::string all;
    for (const auto& day : days) all += readAll(day);
    return all;
}

// Files of commands with no index line: a dump (with its info beside it), a
// report's or a quarantined command's folder that a kill left behind.
int64_t orphanFiles(const std::string& store, const std::set<std::string>& indexedPaths) {
    int64_t orphans = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(store + "/dumps", ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file()) continue;
        std::string rel = std::filesystem::relative(it->path(), store).string();
        const std::string info = ".json";
        if (rel.size() > info.size() && rel.compare(rel.size() - info.size(), info.size(), info) == 0)
            rel = rel.substr(0, rel.size() - info.size()) + ".dmp";
        if (!indexedPaths.count(rel)) {
            std::printf("server kill: no index line for %s\n", it->path().c_str());
            ++orphans;
        }
    }
    for (const char* kind : {"reports", "rejected"}) {
        for (const auto& e : std::filesystem::directory_iterator(store + "/" + kind, ec)) {
            const std::string rel = std::string(kind) + "/" + e.path().filename().string();
            if (!indexedPaths.count(rel)) {
                std::printf("server kill: no index line for %s\n", e.path().c_str());
                ++orphans;
            }
        }
    }
    return orphans;
}

bool runServerKillTest(const std::string& serverBin, const std::string& work, int kills, unsigned seed) {
    const std::string store = work + "/server-kill-store";
    const int port = testsupport::freeLoopbackPort();
    testsupport::ServerProcess server(serverBin, store, port);
    if (!server.start()) {
        std::printf("server kill: server did not start\n");
        return false;
    }
    const std::string proxy = "Log.ClientLogServer:tcp -h 127.0.0.1 -p " + std::to_string(port);
    Sent sent;
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int k = 0; k < kClients; ++k) clients.emplace_back(uploadUntilStopped, k, proxy, std::ref(stop), std::ref(sent));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> life(100, 600);
    int restartsFailed = 0;
    for (int i = 0; i < kills; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(life(rng)));
        server.kill();
        if (!server.start()) ++restartsFailed;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
    for (auto& t : clients) t.join();
    server.stop();

    // The index: one line per command, numbers never shared.
    std::map<std::pair<int, int>, int> indexed;  // (client, n) -> lines
    std::map<std::pair<int, int>, std::string> paths;
    std::set<uint64_t> seqs;
    int64_t sharedSeq = 0, badLines = 0;
    std::istringstream index(indexText(store));
    std::set<std::string> indexedPaths;
    for (std::string line; std::getline(index, line);) {
        rapidjson::Document d;
        d.Parse(line.c_str());
        if (d.HasParseError() || !d.IsObject() || !d.HasMember("seq") || !d["seq"].IsUint64()) {
            ++badLines;
            continue;
        }
        if (!seqs.insert(d["seq"].GetUint64()).second) ++sharedSeq;
        if (d.HasMember("path") && d["path"].IsString()) indexedPaths.insert(d["path"].GetString());
        if (d.HasMember("rejected") || !d.HasMember("name") || !d["name"].IsString()) {
            ++badLines;
            continue;
        }
        const std::string name = d["name"].GetString();
        int k = -1, n = -1;
        if (d.HasMember("confId") && d["confId"].IsInt() && std::sscanf(name.c_str(), "kill/c%d.log", &k) == 1) {
            n = d["confId"].GetInt();
        } else if (d.HasMember("logDate") && d["logDate"].IsString() && std::sscanf(name.c_str(), "c%d", &k) == 1) {
            n = std::atoi(d["logDate"].GetString());
        }
        ++indexed[{k, n}];
        paths[{k, n}] = d["path"].IsString() ? d["path"].GetString() : "";
    }
    // The appended files, split back into blocks.
    std::map<std::pair<int, int>, int> blocksInFiles;
    int64_t tornBlocks = 0, unindexedBlocks = 0;
    for (int k = 0; k < kClients; ++k) {
        const std::string text = readAll(store + "/detail/kill/c" + std::to_string(k) + ".log");
        size_t pos = 0;
        while (pos < text.size()) {
            int kk = -1, n = -1, j = -1;
            std::sscanf(text.c_str() + pos, "c%d n%d line %d", &kk, &n, &j);
            const std::string block = detailBlock(k, n);
            if (j != 0 || text.compare(pos, block.size(), block) != 0) {
                ++tornBlocks;
                size_t next = text.find('\n', pos);
                pos = next == std::string::npos ? text.size() : next + 1;
                continue;
            }
            ++blocksInFiles[{k, n}];
            if (!indexed.count({k, n})) ++unindexedBlocks;
            pos += block.size();
        }
    }
    const int64_t orphans = orphanFiles(store, indexedPaths);
    int64_t missing = 0, duplicated = 0, notWhole = 0;
    for (const auto& c : sent.confirmed) {
        const int lines = indexed.count(c) ? indexed[c] : 0;
        if (lines == 0) ++missing;
        if (lines > 1) ++duplicated;
        if (lines == 0) continue;
        const bool whole = c.second % 2 == 0 ? blocksInFiles[c] == 1
                                              : readAll(store + "/" + paths[c]) == dumpBytes(c.first, c.second);
        if (!whole) ++notWhole;
    }
    std::printf("server kill: %d kills, %d restarts failed, %zu commands confirmed, %lld failed, %zu index lines\n",
                kills, restartsFailed, sent.confirmed.size(), static_cast<long long>(sent.failed), seqs.size());
    std::printf("server kill: confirmed but missing %lld, not whole %lld, indexed twice %lld, shared numbers %lld, "
                "bad index lines %lld, torn blocks in appended files %lld, blocks without an index line %lld, "
                "files without an index line %lld\n",
                static_cast<long long>(missing), static_cast<long long>(notWhole), static_cast<long long>(duplicated),
                static_cast<long long>(sharedSeq), static_cast<long long>(badLines), static_cast<long long>(tornBlocks),
                static_cast<long long>(unindexedBlocks), static_cast<long long>(orphans));
    return restartsFailed == 0 && missing == 0 && notWhole == 0 && duplicated == 0 && sharedSeq == 0 && badLines == 0 &&
           tornBlocks == 0 && unindexedBlocks == 0 && orphans == 0 && !sent.confirmed.empty();
}

}  // namespace harness
