// logreport-inspect: shows what a report file holds and whether the library
// would keep it, checks the queue, and extracts one segment's payload.
//
//   logreport-inspect FILE                  header, verdict and one line per segment
//   logreport-inspect FILE --json           the same as one JSON document
//   logreport-inspect FILE --verify         exit 1 on any inconsistency
//   logreport-inspect FILE --extract SEQ --out PATH
//
// Exit codes: 0 fine, 1 inconsistent file or payload, 2 cannot read or write.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "NQCompress.h"
#include "NQTime.h"
#include "store/reportFileReader.h"

namespace {

using namespace NQBase;

constexpr int kExitInconsistent = 1;
constexpr int kExitIo = 2;

using JsonWriter = rapidjson::PrettyWriter<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                                           rapidjson::CrtAllocator, rapidjson::kWriteNoFlags>;

// "3d 04:05:06"; a leading minus for a write time in the future.
std::string formatAge(int64_t seconds) {
    const char* sign = seconds < 0 ? "-" : "";
    const int64_t s = seconds < 0 ? -seconds : seconds;
    char text[48];
    std::snprintf(text, sizeof text, "%s%lldd %02lld:%02lld:%02lld", sign, static_cast<long long>(s / 86400),
                  static_cast<long long>(s / 3600 % 24), static_cast<long long>(s / 60 % 60),
                  static_cast<long long>(s % 60));
    return text;
}

int64_t ageOf(const SegmentInfo& info, int64_t now) { return now - static_cast<int64_t>(info.writeTime); }

const char* stateOf(const SegmentInfo& info) { return info.consumed ? "consumed" : "queued"; }

// What the next upload run does with a queued segment that has aged out.
const char* ageNote(const SegmentInfo& info, int64_t now) {
    return !info.consumed && segmentOutOfDate(info, now) ? " (out of date: the upload drops it)" : "";
}

bool consistent(const ReportFileScan& scan) { return scan.headerValid && scan.queueWalkable && scan.problems.empty(); }

void printText(const std::string& path, const ReportFileScan& scan, int64_t now) {
    std::printf("file: %s (%lld bytes)\n", path.c_str(), static_cast<long long>(scan.realSize));
    if (scan.headerPresent) {
        const logHeader& h = scan.header;
        std::printf("header: magic=%d total=%d index=%d position=%d fileSize=%d\n", h.magic, h.total, h.index,
                    h.position, h.fileSize);
    }
    std::printf("load_logHeader: %s\n", scan.headerValid ? "keeps the file" : "would reset the file");
    const int queued = scan.queuedCount();
    std::printf("queue: %s, %d queued, %d consumed\n", scan.queueWalkable ? "walkable" : "NOT walkable", queued,
                static_cast<int>(scan.segments.size()) - queued);
    if (!scan.segments.empty())
        std::printf("%-11s %-10s %-10s %-19s  %-14s %-10s %s\n", "offset", "sequence", "type", "written (UTC)", "age",
                    "length", "state");
    for (const SegmentInfo& info : scan.segments) {
        std::printf("%-11lld %-10d %-10s %-19s  %-14s %-10d %s%s%s\n", static_cast<long long>(info.offset),
                    info.sequence, segmentTypeName(info.type), FormatTimeStr(info.writeTime, false).c_str(),
                    formatAge(ageOf(info, now)).c_str(), info.length, stateOf(info), ageNote(info, now),
                    info.recordValid ? "" : " (record does not decode)");
    }
    if (scan.problems.empty()) {
        std::printf("problems: none\n");
        return;
    }
    std::printf("problems:\n");
    for (const std::string& problem : scan.problems) std::printf("  %s\n", problem.c_str());
}

void writeSegmentJson(JsonWriter& json, const SegmentInfo& info, int64_t now) {
    json.StartObject();
    json.Key("offset");
    json.Int64(info.offset);
    json.Key("sequence");
    json.Int(info.sequence);
    json.Key("type");
    json.Int(info.type);
    json.Key("typeName");
    json.String(segmentTypeName(info.type));
    json.Key("writeTime");
    json.Uint(info.writeTime);
    json.Key("writeTimeUtc");
    json.String(FormatTimeStr(info.writeTime, false).c_str());
    json.Key("ageSeconds");
    json.Int64(ageOf(info, now));
    json.Key("length");
    json.Int(info.length);
    json.Key("state");
    json.String(stateOf(info));
    json.Key("outOfDate");
    json.Bool(!info.consumed && segmentOutOfDate(info, now));
    json.Key("recordValid");
    json.Bool(info.recordValid);
    json.EndObject();
}

void printJson(const std::string& path, const ReportFileScan& scan, int64_t now) {
    rapidjson::StringBuffer buffer;
    JsonWriter json(buffer);
    json.StartObject();
    json.Key("file");
    json.String(path.c_str(), static_cast<rapidjson::SizeType>(path.size()));
    json.Key("size");
    json.Int64(scan.realSize);
    json.Key("header");
    if (scan.headerPresent) {
        json.StartObject();
        const std::pair<const char*, int32_t> fields[] = {{"magic", scan.header.magic},
                                                          {"total", scan.header.total},
                                                          {"index", scan.header.index},
                                                          {"position", scan.header.position},
                                                          {"fileSize", scan.header.fileSize}};
        for (const auto& field : fields) {
            json.Key(field.first);
            json.Int(field.second);
        }
        json.EndObject();
    } else {
        json.Null();
    }
    json.Key("keptByLoad");
    json.Bool(scan.headerValid);
    json.Key("queueWalkable");
    json.Bool(scan.queueWalkable);
    json.Key("queued");
    json.Int(scan.queuedCount());
    json.Key("segments");
    json.StartArray();
    for (const SegmentInfo& info : scan.segments) writeSegmentJson(json, info, now);
    json.EndArray();
    json.Key("problems");
    json.StartArray();
    for (const std::string& problem : scan.problems)
        json.String(problem.c_str(), static_cast<rapidjson::SizeType>(problem.size()));
    json.EndArray();
    json.EndObject();
    std::printf("%s\n", buffer.GetString());
}

bool writeBinary(const std::string& path, const char* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data, static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

bool writeBinary(const std::string& path, const std::string& bytes) {
    return writeBinary(path, bytes.data(), bytes.size());
}

// A user report becomes a directory: report.json (the document the record
// describes itself with), attachments.json and each attachment's bytes.
int extractUserReport(const userReport& report, const std::string& dir) {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (!writeBinary(dir + "/report.json", report.toJson())) {
        std::fprintf(stderr, "cannot write %s/report.json\n", dir.c_str());
        return kExitIo;
    }
    rapidjson::StringBuffer buffer;
    JsonWriter json(buffer);
    json.StartArray();
    int number = 0;
    for (const reportAttachment& item : report.attachments) {
        const std::string file = "attachment-" + std::to_string(++number) + ".bin";
        if (!writeBinary(dir + "/" + file, item.data.constData(), static_cast<size_t>(item.data.size()))) {
            std::fprintf(stderr, "cannot write %s/%s\n", dir.c_str(), file.c_str());
            return kExitIo;
        }
        json.StartObject();
        json.Key("name");
        json.String(item.name.c_str(), static_cast<rapidjson::SizeType>(item.name.size()));
        json.Key("text");
        json.String(item.text.c_str(), static_cast<rapidjson::SizeType>(item.text.size()));
        json.Key("file");
        json.String(file.c_str());
        json.EndObject();
    }
    json.EndArray();
    if (!writeBinary(dir + "/attachments.json", buffer.GetString(), buffer.GetSize())) return kExitIo;
    std::printf("extracted user report with %d attachment(s) to %s\n", number, dir.c_str());
    return 0;
}

const NQByteArray& compressedData(const SegmentPayload& payload) {
    switch (payload.type) {
    case segDetailLog: return payload.detailLog.data;
    case segDumpLog: return payload.dump.data;
    default: return payload.errLog.data;
    }
}

int extractSegment(const std::string& path, const ReportFileScan& scan, int32_t sequence, const std::string& out) {
    const SegmentInfo* info = scan.findSequence(sequence);
    if (info == nullptr) {
        std::fprintf(stderr, "no segment with sequence %d\n", sequence);
        return kExitInconsistent;
    }
    logSegment segment;
    SegmentPayload payload;
    std::string why;
    if (!readSegmentRecord(path, info->offset, segment, payload, &why)) {
        std::fprintf(stderr, "segment %d at offset %lld: %s\n", sequence, static_cast<long long>(info->offset),
                     why.c_str());
        return kExitInconsistent;
    }
    if (payload.type == segUserReport) return extractUserReport(payload.user, out);
    NQByteArray plain;
    const int result = zlib_uncompress(compressedData(payload), plain);
    if (result != 0) {
        std::fprintf(stderr, "segment %d: payload does not decompress (error %d)\n", sequence, result);
        return kExitInconsistent;
    }
    if (!writeBinary(out, plain.constData(), static_cast<size_t>(plain.size()))) {
        std::fprintf(stderr, "cannot write %s\n", out.c_str());
        return kExitIo;
    }
    std::printf("extracted %s segment %d: %d bytes to %s\n", segmentTypeName(payload.type), sequence, plain.size(),
                out.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Inspects a logReport report file (.rpt)"};
    std::string path;
    bool json = false;
    bool verify = false;
    int32_t extract = 0;
    std::string out;
    app.add_option("FILE", path, "the report file")->required();
    app.add_flag("--json", json, "print the result as one JSON document");
    app.add_flag("--verify", verify, "exit 1 on any inconsistency or undecodable segment");
    CLI::Option* extractOption =
        app.add_option("--extract", extract, "write the payload of the segment with this sequence");
    CLI::Option* outOption = app.add_option("--out", out, "where --extract writes (a directory for a user report)");
    extractOption->needs(outOption);
    outOption->needs(extractOption);
    CLI11_PARSE(app, argc, argv);

    const ReportFileScan scan = scanReportFile(path);
    if (!scan.opened) {
        std::fprintf(stderr, "%s\n", scan.problems.empty() ? "cannot open the file" : scan.problems.front().c_str());
        return kExitIo;
    }
    if (*extractOption) return extractSegment(path, scan, extract, out);

    const int64_t now = nq_time64();
    if (json) printJson(path, scan, now);
    else printText(path, scan, now);
    return verify && !consistent(scan) ? kExitInconsistent : 0;
}
