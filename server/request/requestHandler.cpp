#include "requestHandler.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstring>
#include <exception>
#include <future>
#include <memory>
#include <vector>

#include "inflateStream.h"
#include "nameEncoding.h"
#include "storeIndex.h"
#include "storeLayout.h"
#include "utcTime.h"

namespace logserver {
namespace {

// Command ids and the JSON / byte layouts the client sends with them.
constexpr int kReportLog = 11047;     // json empty; data: zlib(error-log text)
constexpr int kReportDetail = 11048;  // {"confId": int, "filename": "folder/name.log"}
constexpr int kReportDump = 11049;    // {"info": {..., "client": ...}}
constexpr int kReportUser = 11050;    // userReport object; data: zlib(attachment list)

const char kUnknownClient[] = "unknown";
const char kErrLogSeparator[] = "--------------------\n";
// Inflated bytes go to disk through a buffer of this size.
constexpr size_t kChunk = 256 * 1024;
// The error log's client line must be within its first bytes.
constexpr size_t kErrLogHead = 64 * 1024;
// Longest attachment name read; names are short by nature.
constexpr uint32_t kMaxAttachmentName = 64 * 1024;
// A name longer than this is recorded cut in the index (the meta log has it whole).
constexpr size_t kMaxIndexedName = 4096;

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

std::string stringMember(const rapidjson::Value& obj, const char* key) {
    auto it = obj.FindMember(key);
    if (it == obj.MemberEnd() || !it->value.IsString()) return {};
    return std::string(it->value.GetString(), it->value.GetStringLength());
}

bool intMember(const rapidjson::Value& obj, const char* key, int64_t& out) {
    auto it = obj.FindMember(key);
    if (it == obj.MemberEnd() || !it->value.IsInt64()) return false;
    out = it->value.GetInt64();
    return true;
}

std::string serialize(const rapidjson::Value& value) {
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    value.Accept(w);
    return std::string(buf.GetString(), buf.GetSize());
}

// Why a detail file name is refused, or empty. These names would reach
// outside the store or mean nothing as a path.
std::string unsafeDetailName(const std::string& name) {
    if (name.empty()) return "detail filename is empty";
    if (name[0] == '/') return "detail filename is absolute";
    if (name.find('\0') != std::string::npos) return "detail filename contains a NUL";
    size_t begin = 0;
    while (begin <= name.size()) {
        size_t end = name.find_first_of("/\\", begin);
        if (end == std::string::npos) end = name.size();
        if (name.compare(begin, end - begin, "..") == 0) return "detail filename contains ..";
        begin = end + 1;
    }
    return {};
}

}  // namespace

std::string checkJson(const std::string& text, const RequestLimits& limits) {
    if (text.size() > limits.maxJsonBytes) return "json longer than " + std::to_string(limits.maxJsonBytes) + " bytes";
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > limits.maxJsonDepth) return "json nests deeper than " + std::to_string(limits.maxJsonDepth) + " levels";
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return {};
}

struct RequestHandler::Job {
    explicit Job(const Request& r) : req(r) {}
    const Request& req;
    uint64_t seq = 0;
    std::string seqText;
    std::string time;  // of arrival; its day is the command's day
    std::string day;
    // The command's bytes in an appended file (error log day, detail file).
    bool hasRange = false;
    uint64_t offset = 0;
    uint64_t length = 0;
    std::string path;
    std::string rejected;
    bool bytesKept = true;
    uint64_t inflated = 0;
    std::string name;  // the client's name that chose the path, as sent
    std::vector<std::pair<const char*, std::string>> texts;
    std::vector<std::pair<const char*, int64_t>> numbers;
    std::unique_ptr<FileWriter> append;     // committed with the index line
    std::vector<std::string> created;       // removed if the command fails
    bool keepMeta = false;  // the request's JSON goes to the day's meta log
    rapidjson::Document doc;
    // Not a vector: its resize would zero-fill the chunk for every command
    // before the inflater overwrites it.
    std::unique_ptr<char[]> buffer;

    char* chunk() {
        if (!buffer) buffer.reset(new char[kChunk]);
        return buffer.get();
    }
};

namespace {

[[noreturn]] void fail(const StoreError& err) { throw StoreFailure{err.reason}; }

// Parses job's JSON as an object; the reason when it cannot be used.
std::string parseObject(const std::string& text, const RequestLimits& limits, rapidjson::Document& doc) {
    std::string why = checkJson(text, limits);
    if (!why.empty()) return why;
    // Client texts are raw bytes, not necessarily UTF-8: no validation.
    doc.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
    if (doc.HasParseError() || !doc.IsObject()) return "json does not parse as an object";
    return {};
}

// Reads the inflated attachment list piece by piece.
class InflatedReader {
public:
    // buf holds kChunk bytes.
    InflatedReader(InflateStream& in, char* buf) : in_(in), buf_(buf) {}

    // False at the end of the data or on malformed input (then failed()).
    bool fill() {
        if (pos_ < len_) return true;
        if (done_) return false;
        size_t got = 0;
        status_ = in_.read(buf_, kChunk, got);
        pos_ = 0;
        len_ = got;
        if (status_ != InflateStream::Status::Data) done_ = true;
        return len_ > 0;
    }
    bool failed() const { return done_ && status_ != InflateStream::Status::End; }
    bool readExact(std::string& out, size_t n) {
        out.clear();
        while (out.size() < n) {
            if (!fill()) return false;
            size_t take = std::min(n - out.size(), len_ - pos_);
            out.append(buf_ + pos_, take);
            pos_ += take;
        }
        return true;
    }
    bool readU32(uint32_t& v) {
        std::string b;
        if (!readExact(b, 4)) return false;
        v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[static_cast<size_t>(i)]);
        return true;
    }
    // Copies n bytes into w; false if the data ends first.
    bool copy(uint64_t n, FileWriter& w) {
        while (n > 0) {
            if (!fill()) return false;
            size_t take = static_cast<size_t>(std::min<uint64_t>(n, len_ - pos_));
            StoreError err;
            if (!w.write(buf_ + pos_, take, err)) fail(err);
            pos_ += take;
            n -= take;
        }
        return true;
    }
    bool atEnd() { return !fill() && !failed(); }
    std::string reason() const { return in_.reason(); }

private:
    InflateStream& in_;
    char* const buf_;
    size_t pos_ = 0;
    size_t len_ = 0;
    bool done_ = false;
    InflateStream::Status status_ = InflateStream::Status::Data;
};

}  // namespace

void RequestHandler::handleAsync(const Request& req, Done done) {
    const Outcome out = storeUpToIndex(req);
    store_.commitAsync(out.seq, [this, out, done = std::move(done)](bool ok, const StoreError& err) {
        if (ok) return done(out, nullptr);
        store_.abandon(out.seq);
        const StoreFailure failure{err.reason};
        done(out, &failure);
    });
}

Outcome RequestHandler::handle(const Request& req) {
    // Shared with the callback, which may still be running when get() returns.
    auto result = std::make_shared<std::promise<Outcome>>();
    auto answer = result->get_future();
    handleAsync(req, [result](const Outcome& out, const StoreFailure* failure) {
        if (failure == nullptr) result->set_value(out);
        else result->set_exception(std::make_exception_ptr(*failure));
    });
    return answer.get();
}

Outcome RequestHandler::storeUpToIndex(const Request& req) {
    Job job(req);
    StoreError err;
    if (!store_.checkFreeSpace(err) || !store_.checkQuota(err) || !store_.reserveSeq(job.seq, err)) fail(err);
    job.seqText = store_.seqName(job.seq);
    job.time = utcTimestamp();
    job.day = job.time.substr(0, 10);
    try {
        switch (req.cmdId) {
            case kReportLog: storeErrorLog(job); break;
            case kReportDetail: storeDetailLog(job); break;
            case kReportDump: storeDump(job); break;
            case kReportUser: storeUserReport(job); break;
            default: quarantine(job, "unknown command id " + std::to_string(req.cmdId)); break;
        }
    } catch (const StoreFailure&) {
        job.append.reset();  // cut back before anything else is removed
        for (const auto& rel : job.created) store_.removeTree(rel);
        store_.abandon(job.seq);
        throw;
    }
    return Outcome{job.seq, job.path, job.rejected, job.inflated};
}

void RequestHandler::storeErrorLog(Job& job) {
    InflateStream in(job.req.data, job.req.size, limits_.maxInflatedBytes);
    // The client's name is in the text's second line: read up to it first.
    std::string head;
    InflateStream::Status st = InflateStream::Status::Data;
    while (st == InflateStream::Status::Data && head.size() < kErrLogHead) {
        size_t got = 0;
        st = in.read(job.chunk(), kChunk, got);
        head.append(job.chunk(), got);
        const size_t sep = head.find(kErrLogSeparator);
        if (sep != std::string::npos && head.find('\n', sep + std::strlen(kErrLogSeparator)) != std::string::npos) break;
    }
    if (st != InflateStream::Status::Data && st != InflateStream::Status::End) return quarantine(job, in.reason());
    job.name = clientOfErrorLog(head);
    StoreError err;
    job.append = store_.placeAndOpen(StoreLayout::errlogDay(encodeName(job.name), job.day), true, job.seq, job.path, err);
    if (!job.append || !job.append->write(head.data(), head.size(), err)) fail(err);
    if (!inflateRest(job, in, st, *job.append)) {
        job.append.reset();
        job.path.clear();
        return quarantine(job, in.reason());
    }
    if (!job.append->flush(err)) fail(err);
    job.inflated = in.total();
    job.texts.emplace_back("client", job.name);
    noteRange(job);
    finish(job);
}

// Writes what is left of in to out; false when the data turns out malformed
// (the caller quarantines the command). A refused write fails the command.
bool RequestHandler::inflateRest(Job& job, InflateStream& in, InflateStream::Status st, FileWriter& out) {
    StoreError err;
    while (st == InflateStream::Status::Data) {
        size_t got = 0;
        st = in.read(job.chunk(), kChunk, got);
        if (!out.write(job.chunk(), got, err)) fail(err);
    }
    return st == InflateStream::Status::End;
}

void RequestHandler::storeDetailLog(Job& job) {
    std::string why = parseObject(job.req.json, limits_, job.doc);
    if (!why.empty()) return quarantine(job, why);
    auto it = job.doc.FindMember("filename");
    if (it == job.doc.MemberEnd() || !it->value.IsString()) return quarantine(job, "json has no filename");
    job.name.assign(it->value.GetString(), it->value.GetStringLength());
    why = unsafeDetailName(job.name);
    if (!why.empty()) return quarantine(job, why);
    int64_t confId = 0;
    if (intMember(job.doc, "confId", confId)) job.numbers.emplace_back("confId", confId);
    StoreError err;
    InflateStream in(job.req.data, job.req.size, limits_.maxInflatedBytes);
    job.append = store_.placeAndOpen("detail/" + encodePath(job.name), true, job.seq, job.path, err);
    if (!job.append) fail(err);
    if (!inflateRest(job, in, InflateStream::Status::Data, *job.append)) {
        job.append.reset();
        job.path.clear();
        return quarantine(job, in.reason());
    }
    if (!job.append->flush(err)) fail(err);
    job.inflated = in.total();
    noteRange(job);
    job.keepMeta = true;
    finish(job);
}

void RequestHandler::storeDump(Job& job) {
    std::string why = parseObject(job.req.json, limits_, job.doc);
    if (!why.empty()) return quarantine(job, why);
    auto info = job.doc.FindMember("info");
    if (info == job.doc.MemberEnd() || !info->value.IsObject()) return quarantine(job, "json has no info object");
    job.name = stringMember(info->value, "client");
    for (const char* key : {"version", "clientIP", "logDate"}) job.texts.emplace_back(key, stringMember(info->value, key));
    for (const char* key : {"conferenceID", "userID"}) {
        int64_t n = 0;
        if (intMember(info->value, key, n)) job.numbers.emplace_back(key, n);
    }
    StoreError err;
    const std::string client = encodeName(job.name.empty() ? kUnknownClient : job.name);
    if (!store_.placeFile("dumps/" + client + "/" + job.seqText + ".dmp", job.path, err)) fail(err);
    const std::string dir = job.path.substr(0, job.path.rfind('/') + 1);
    job.created = {job.path, dir + job.seqText + ".json"};
    InflateStream in(job.req.data, job.req.size, limits_.maxInflatedBytes);
    auto w = store_.openFile(job.path, false, job.seq, err);
    if (!w) fail(err);
    if (!inflateRest(job, in, InflateStream::Status::Data, *w)) {
        w.reset();
        job.created.clear();
        job.path.clear();
        return quarantine(job, in.reason());
    }
    if (!w->flush(err)) fail(err);
    w->commit();
    const std::string infoText = serialize(info->value);
    if (!store_.writeFile(dir + job.seqText + ".json", infoText.data(), infoText.size(), job.seq, err, true)) fail(err);
    job.inflated = in.total();
    job.keepMeta = true;
    finish(job);
}

void RequestHandler::storeUserReport(Job& job) {
    std::string why = parseObject(job.req.json, limits_, job.doc);
    if (!why.empty()) return quarantine(job, why);
    job.name = stringMember(job.doc, "client");
    for (const char* key : {"version", "clientIP", "reportDate"}) job.texts.emplace_back(key, stringMember(job.doc, key));
    for (const char* key : {"conferenceID", "userID"}) {
        int64_t n = 0;
        if (intMember(job.doc, key, n)) job.numbers.emplace_back(key, n);
    }
    job.path = "reports/" + job.seqText;
    job.created = {job.path};
    StoreError err;
    if (!store_.intendCreate(job.seq, job.path, err)) fail(err);
    std::string placed;
    if (!store_.placeFile(job.path + "/attachments/x", placed, err)) fail(err);
    // Attachment list: u32 LE count, then per item name, text and data, each
    // a u32 LE length and its bytes. Each item gets its own number, so no
    // two of them, nor an item's text, can meet.
    std::string malformed;
    if (job.req.size > 0) {
        InflateStream in(job.req.data, job.req.size, limits_.maxInflatedBytes);
        InflatedReader rd(in, job.chunk());
        uint32_t count = 0;
        bool ok = rd.readU32(count) && count <= 0x7FFFFFFF;
        for (uint32_t i = 0; ok && i < count; ++i) {
            uint32_t nameLen = 0, textLen = 0, dataLen = 0;
            std::string name;
            if (!rd.readU32(nameLen) || nameLen > kMaxAttachmentName || !rd.readExact(name, nameLen)) {
                ok = false;
                break;
            }
            const std::string base = job.path + "/attachments/" + std::to_string(i) + "-" + encodeName(name);
            if (!rd.readU32(textLen) || textLen > 0x7FFFFFFF) {
                ok = false;
                break;
            }
            if (textLen > 0) {
                auto w = store_.openFile(base + ".txt", false, job.seq, err);
                if (!w) fail(err);
                if (!rd.copy(textLen, *w)) {
                    ok = false;
                    break;
                }
                if (!w->flush(err)) fail(err);
                w->commit();
            }
            auto w = store_.openFile(base, false, job.seq, err);
            if (!w) fail(err);
            if (!rd.readU32(dataLen) || dataLen > 0x7FFFFFFF || !rd.copy(dataLen, *w)) {
                ok = false;
                break;
            }
            if (!w->flush(err)) fail(err);
            w->commit();
        }
        if (ok && !rd.atEnd()) ok = false;
        if (!ok) malformed = rd.failed() ? rd.reason() : "attachment list is malformed";
        job.inflated = in.total();
    }
    if (!malformed.empty()) {
        store_.removeTree(job.path);
        job.created.clear();
        job.path.clear();
        job.inflated = 0;
        return quarantine(job, malformed);
    }
    if (!store_.writeFile(job.path + "/report.json", job.req.json.data(), job.req.json.size(), job.seq, err)) fail(err);
    job.keepMeta = true;
    finish(job);
}

// Kept as received so that an operator can look at it, and answered with
// success: the client could never make it acceptable by retrying.
void RequestHandler::quarantine(Job& job, const std::string& reason) {
    job.rejected = reason;
    job.keepMeta = false;
    job.hasRange = false;
    const std::string dir = "rejected/" + job.seqText;
    const uint64_t bytes = job.req.json.size() + job.req.size + reason.size() + 1;
    job.bytesKept = store_.reserveRejected(bytes);
    if (!job.bytesKept) {
        job.path.clear();
        return finish(job);
    }
    job.path = dir;
    job.created.push_back(dir);
    StoreError err;
    std::string placed;
    const std::string reasonLine = reason + "\n";
    if (!store_.intendCreate(job.seq, dir, err) || !store_.placeFile(dir + "/reason.txt", placed, err) ||
        !store_.writeFile(dir + "/request.json", job.req.json.data(), job.req.json.size(), job.seq, err) ||
        !store_.writeFile(dir + "/data.bin", reinterpret_cast<const char*>(job.req.data), job.req.size, job.seq, err) ||
        !store_.writeFile(dir + "/reason.txt", reasonLine.data(), reasonLine.size(), job.seq, err)) {
        fail(err);
    }
    finish(job);
}

void RequestHandler::finish(Job& job) {
    StoreError err;
    std::string meta;
    if (job.keepMeta && !store_.appendMeta(job.seq, job.day, job.req.json, meta, err)) fail(err);
    IndexLine line(formatSeq(job.seq), store_.node(), job.time);
    line.text("peer", job.req.peer);
    line.number("cmdId", job.req.cmdId);
    line.text("cmdType", job.req.cmdType);
    if (job.name.size() > kMaxIndexedName) {
        line.text("name", job.name.substr(0, kMaxIndexedName));
        line.flag("nameCut", true);
    } else {
        line.text("name", job.name);
    }
    for (const auto& t : job.texts) line.text(t.first, t.second.size() > kMaxIndexedName ? t.second.substr(0, kMaxIndexedName) : t.second);
    for (const auto& n : job.numbers) line.number(n.first, n.second);
    line.number("compressedSize", static_cast<int64_t>(job.req.size));
    line.number("inflatedSize", static_cast<int64_t>(job.inflated));
    line.text("path", job.path);
    if (job.hasRange) {
        line.number("offset", static_cast<int64_t>(job.offset));
        line.number("length", static_cast<int64_t>(job.length));
    }
    if (!meta.empty()) line.text("meta", meta);
    if (!job.req.receipt.empty() && job.rejected.empty()) line.text("receipt", job.req.receipt);
    if (!job.rejected.empty()) {
        line.text("rejected", job.rejected);
        if (!job.bytesKept) line.flag("bytesKept", false);
    }
    if (!store_.appendIndex(job.seq, job.day, line.finish(), err)) fail(err);
    // From here the command is stored: a failed flush is not undone, as
    // its index line may already be on disk. The appended file is let go
    // before the flush, so that the next command appending to it joins the
    // same round instead of waiting for this one's.
    if (job.append) job.append->commit();
    job.append.reset();
}

void RequestHandler::noteRange(Job& job) {
    job.hasRange = true;
    job.offset = job.append->offset();
    job.length = job.append->written();
}

}  // namespace logserver
