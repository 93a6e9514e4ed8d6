#include "commandServant.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <set>
#include <thread>
#include <utility>

namespace logserver {
namespace {

// Command ids and the JSON / byte layouts the client sends with them.
constexpr int kReportLog = 11047;     // json empty; data: zlib(error-log text)
constexpr int kReportDetail = 11048;  // {"confId": int, "filename": "folder/name.log"}
constexpr int kReportDump = 11049;    // {"info": {..., "client": ...}}
constexpr int kReportUser = 11050;    // userReport object; data: zlib(attachment list)

const char kUnknownClient[] = "unknown";
const char kErrLogSeparator[] = "--------------------\n";

std::mutex& outputMutex() {
    static std::mutex m;
    return m;
}

void printLine(std::ostream& out, const std::string& line) {
    std::lock_guard<std::mutex> lock(outputMutex());
    out << line << std::endl;
}

enum class InflateResult { Ok, Malformed, TooLarge };

// zlib or gzip framing. The output is capped so that a small upload cannot
// make the server allocate without bound.
InflateResult inflateBounded(const Ice::ByteSeq& data, uint64_t cap, std::string& out) {
    out.clear();
    if (data.empty()) return InflateResult::Malformed;
    z_stream zs{};
    if (inflateInit2(&zs, 15 + 32) != Z_OK) return InflateResult::Malformed;
    zs.next_in = const_cast<Bytef*>(data.data());
    zs.avail_in = static_cast<uInt>(data.size());
    const uint64_t limit = cap + 1;
    InflateResult result = InflateResult::Malformed;
    for (;;) {
        if (out.size() >= limit) {
            result = InflateResult::TooLarge;
            break;
        }
        size_t old = out.size();
        uint64_t grow = std::min<uint64_t>(std::max<size_t>(old, 64 * 1024), limit - old);
        grow = std::min<uint64_t>(grow, 1u << 30);
        out.resize(old + grow);
        zs.next_out = reinterpret_cast<Bytef*>(&out[old]);
        zs.avail_out = static_cast<uInt>(grow);
        int rc = inflate(&zs, Z_NO_FLUSH);
        out.resize(old + grow - zs.avail_out);
        if (rc == Z_STREAM_END) {
            result = out.size() > cap ? InflateResult::TooLarge : InflateResult::Ok;
            break;
        }
        if (rc != Z_OK && !(rc == Z_BUF_ERROR && zs.avail_in > 0)) break;  // corrupt or cut short
    }
    inflateEnd(&zs);
    if (result != InflateResult::Ok) out.clear();
    return result;
}

// The error-log text starts with the separator line and a line of
// "key:value;" fields describing the client.
std::string clientOfErrorLog(const std::string& text) {
    size_t start = text.find(kErrLogSeparator);
    if (start == std::string::npos) return kUnknownClient;
    start += std::strlen(kErrLogSeparator);
    size_t end = text.find('\n', start);
    std::string header = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t field = 0;
    while (field < header.size()) {
        size_t next = header.find(';', field);
        if (next == std::string::npos) next = header.size();
        std::string item = header.substr(field, next - field);
        if (item.compare(0, 7, "client:") == 0 && item.size() > 7) return item.substr(7);
        field = next + 1;
    }
    return kUnknownClient;
}

// Client texts are raw bytes, not necessarily UTF-8: parse without validating
// the encoding.
bool parseJson(const std::string& text, rapidjson::Document& doc) {
    doc.Parse(text.data(), text.size());
    return !doc.HasParseError();
}

std::string stringMember(const rapidjson::Value& obj, const char* key) {
    auto it = obj.FindMember(key);
    if (it == obj.MemberEnd() || !it->value.IsString()) return {};
    return std::string(it->value.GetString(), it->value.GetStringLength());
}

std::string serialize(const rapidjson::Value& value) {
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    value.Accept(w);
    return std::string(buf.GetString(), buf.GetSize());
}

// Why a detail file name cannot be used, or empty when it can.
std::string unsafeDetailName(const std::string& name) {
    if (name.empty()) return "detail filename is empty";
    if (name[0] == '/') return "detail filename is absolute";
    if (name.find("..") != std::string::npos) return "detail filename contains ..";
    if (name.find('\\') != std::string::npos) return "detail filename contains a backslash";
    if (name.find('\0') != std::string::npos) return "detail filename contains a NUL";
    return {};
}

struct Attachment {
    std::string name;
    std::string text;
    std::string data;
};

// Attachment list: int32 LE count, then per item name, text and data, each an
// int32 LE length and its bytes. No length is trusted beyond what remains.
class AttachmentReader {
public:
    explicit AttachmentReader(const std::string& bytes) : bytes_(bytes) {}

    bool readAll(std::vector<Attachment>& items) {
        int32_t count = 0;
        if (!readInt(count) || count < 0) return false;
        for (int32_t i = 0; i < count; ++i) {
            Attachment a;
            if (!readBlob(a.name) || !readBlob(a.text) || !readBlob(a.data)) return false;
            items.push_back(std::move(a));
        }
        return pos_ == bytes_.size();
    }

private:
    bool readInt(int32_t& v) {
        if (bytes_.size() - pos_ < 4) return false;
        uint32_t u = 0;
        for (int i = 3; i >= 0; --i) u = (u << 8) | static_cast<unsigned char>(bytes_[pos_ + i]);
        v = static_cast<int32_t>(u);
        pos_ += 4;
        return true;
    }
    bool readBlob(std::string& out) {
        int32_t len = 0;
        if (!readInt(len) || len < 0 || static_cast<size_t>(len) > bytes_.size() - pos_) return false;
        out.assign(bytes_, pos_, static_cast<size_t>(len));
        pos_ += static_cast<size_t>(len);
        return true;
    }

    const std::string& bytes_;
    size_t pos_ = 0;
};

std::string peerOf(const Ice::Current& current) {
    if (!current.con) return {};
    try {
        for (auto info = current.con->getInfo(); info; info = info->underlying) {
            if (auto ip = std::dynamic_pointer_cast<Ice::IPConnectionInfo>(info)) {
                return ip->remoteAddress + ":" + std::to_string(ip->remotePort);
            }
        }
    } catch (const Ice::LocalException&) {
        // The connection closed meanwhile: the peer stays unknown.
    }
    return {};
}

std::string contextValue(const Ice::Current& current, const char* key) {
    auto it = current.ctx.find(key);
    return it == current.ctx.end() ? std::string() : it->second;
}

}  // namespace

struct CommandServant::Request {
    uint64_t seq = 0;
    int cmdId = 0;
    std::string peer;
    std::string cmdType;
    std::string json;
    Ice::ByteSeq data;
    std::string inflated;
    std::string path;
    std::string rejected;
};

// Counts commands in flight per connection; a second one while the first is
// still being handled means the client broke its one-at-a-time rule.
class CommandServant::InFlightGuard {
public:
    InFlightGuard(CommandServant& servant, const Ice::Current& current, const std::string& peer)
        : servant_(servant), key_(current.con.get()) {
        std::lock_guard<std::mutex> lock(servant_.inFlightMutex_);
        if (++servant_.inFlight_[key_] > 1) {
            ++servant_.violations_;
            printLine(std::cerr, "protocol violation: " + peer + " sent a command while another was in flight");
        }
    }
    ~InFlightGuard() {
        std::lock_guard<std::mutex> lock(servant_.inFlightMutex_);
        if (--servant_.inFlight_[key_] == 0) servant_.inFlight_.erase(key_);
    }
    InFlightGuard(const InFlightGuard&) = delete;
    InFlightGuard& operator=(const InFlightGuard&) = delete;

private:
    CommandServant& servant_;
    const Ice::Connection* key_;
};

CommandServant::CommandServant(LogStore& store, ServantOptions options) : store_(store), options_(options) {}

void CommandServant::sendCmd(int cmdId, std::string json, Ice::ByteSeq data, const Ice::Current& current) {
    Request req;
    req.cmdId = cmdId;
    req.peer = peerOf(current);
    req.cmdType = contextValue(current, "cmdType");
    req.json = std::move(json);
    req.data = std::move(data);
    InFlightGuard guard(*this, current, req.peer);
    const uint64_t n = ++commands_;
    auto delayAnswer = [this] {
        if (options_.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options_.delayMs));
    };
    try {
        if (shuttingDown_) throw Log::CommandFailed("shutting down");
        if (options_.failEvery > 0 && n % static_cast<uint64_t>(options_.failEvery) == 0) {
            throw Log::CommandFailed("injected failure");
        }
        req.seq = store_.nextSeq();
        storeCommand(req);
    } catch (const Log::CommandFailed& e) {
        printLine(std::cerr, "refused cmd " + std::to_string(cmdId) + " from " + req.peer + ": " + e.reason);
        delayAnswer();
        throw;
    }
    delayAnswer();
}

void CommandServant::storeCommand(Request& req) {
    switch (req.cmdId) {
        case kReportLog: storeErrorLog(req); break;
        case kReportDetail: storeDetailLog(req); break;
        case kReportDump: storeDump(req); break;
        case kReportUser: storeUserReport(req); break;
        default: quarantine(req, "unknown command id " + std::to_string(req.cmdId)); break;
    }
}

// Inflates req.data into req.inflated; quarantines and returns false when
// that is impossible.
static bool inflateOrReject(const Ice::ByteSeq& data, uint64_t cap, std::string& out, std::string& reason) {
    switch (inflateBounded(data, cap, out)) {
        case InflateResult::Ok: return true;
        case InflateResult::TooLarge: reason = "inflated data exceeds " + std::to_string(cap) + " bytes"; return false;
        case InflateResult::Malformed: break;
    }
    reason = "data does not inflate";
    return false;
}

void CommandServant::storeErrorLog(Request& req) {
    std::string reason;
    if (!inflateOrReject(req.data, options_.maxInflatedBytes, req.inflated, reason)) return quarantine(req, reason);
    req.path = "errlog/" + LogStore::safeName(clientOfErrorLog(req.inflated)) + ".log";
    write(req.path, req.inflated, true);
    finish(req);
}

void CommandServant::storeDetailLog(Request& req) {
    rapidjson::Document doc;
    if (!parseJson(req.json, doc) || !doc.IsObject()) return quarantine(req, "json does not parse as an object");
    auto it = doc.FindMember("filename");
    if (it == doc.MemberEnd() || !it->value.IsString()) return quarantine(req, "json has no filename");
    std::string name(it->value.GetString(), it->value.GetStringLength());
    std::string reason = unsafeDetailName(name);
    if (!reason.empty()) return quarantine(req, reason);
    if (!inflateOrReject(req.data, options_.maxInflatedBytes, req.inflated, reason)) return quarantine(req, reason);
    req.path = "detail/" + LogStore::safeRelativePath(name);
    write(req.path, req.inflated, true);
    finish(req);
}

void CommandServant::storeDump(Request& req) {
    rapidjson::Document doc;
    if (!parseJson(req.json, doc) || !doc.IsObject()) return quarantine(req, "json does not parse as an object");
    auto info = doc.FindMember("info");
    if (info == doc.MemberEnd() || !info->value.IsObject()) return quarantine(req, "json has no info object");
    std::string reason;
    if (!inflateOrReject(req.data, options_.maxInflatedBytes, req.inflated, reason)) return quarantine(req, reason);
    std::string client = stringMember(info->value, "client");
    std::string dir = "dumps/" + LogStore::safeName(client.empty() ? kUnknownClient : client) + "/";
    std::string seq = store_.seqName(req.seq);
    req.path = dir + seq + ".dmp";
    write(req.path, req.inflated, false);
    write(dir + seq + ".json", serialize(info->value), false);
    finish(req);
}

void CommandServant::storeUserReport(Request& req) {
    rapidjson::Document doc;
    if (!parseJson(req.json, doc) || !doc.IsObject()) return quarantine(req, "json does not parse as an object");
    std::vector<Attachment> items;
    if (!req.data.empty()) {
        std::string reason;
        if (!inflateOrReject(req.data, options_.maxInflatedBytes, req.inflated, reason)) return quarantine(req, reason);
        if (!AttachmentReader(req.inflated).readAll(items)) return quarantine(req, "attachment list is malformed");
    }
    req.path = "reports/" + store_.seqName(req.seq);
    std::set<std::string> used;
    for (size_t i = 0; i < items.size(); ++i) {
        std::string name = LogStore::safeName(items[i].name);
        if (!used.insert(name).second) name = std::to_string(i) + "-" + name;
        used.insert(name);
        write(req.path + "/attachments/" + name, items[i].data, false);
        if (!items[i].text.empty()) write(req.path + "/attachments/" + name + ".txt", items[i].text, false);
    }
    write(req.path + "/report.json", req.json, false);
    finish(req);
}

// Kept exactly as received so that an operator can look at it, and answered
// with success: the client could never make it acceptable by retrying.
void CommandServant::quarantine(Request& req, const std::string& reason) {
    req.rejected = reason;
    req.inflated.clear();
    req.path = "rejected/" + store_.seqName(req.seq);
    write(req.path + "/request.json", req.json, false);
    write(req.path + "/data.bin", std::string(req.data.begin(), req.data.end()), false);
    write(req.path + "/reason.txt", reason + "\n", false);
    finish(req);
}

void CommandServant::finish(Request& req) {
    IndexEntry entry;
    entry.seq = req.seq;
    entry.peer = req.peer;
    entry.cmdId = req.cmdId;
    entry.cmdType = req.cmdType;
    entry.json = req.json;
    entry.compressedSize = req.data.size();
    entry.inflatedSize = req.inflated.size();
    entry.path = req.path;
    entry.rejected = req.rejected;
    StoreError err;
    if (!store_.appendIndex(entry, err)) throw Log::CommandFailed(err.reason);
    std::string line = "seq " + store_.seqName(req.seq) + " cmd " + std::to_string(req.cmdId) + " " + req.cmdType +
                       " from " + req.peer + ": ";
    line += req.rejected.empty() ? "stored " + req.path : "quarantined " + req.path + " (" + req.rejected + ")";
    line += " (" + std::to_string(req.data.size()) + " -> " + std::to_string(req.inflated.size()) + " bytes)";
    printLine(std::cout, line);
}

void CommandServant::write(const std::string& relPath, const std::string& bytes, bool append) {
    StoreError err;
    bool ok = append ? store_.appendFile(relPath, bytes, err) : store_.writeFile(relPath, bytes, err);
    if (!ok) throw Log::CommandFailed(err.reason);
}

}  // namespace logserver
