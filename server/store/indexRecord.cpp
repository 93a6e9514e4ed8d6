#include "indexRecord.h"

#include <rapidjson/document.h>

#include <utility>
#include <vector>

namespace logserver {
namespace {

std::string stringField(const rapidjson::Value& obj, const char* key) {
    auto it = obj.FindMember(key);
    if (it == obj.MemberEnd()) return {};
    if (it->value.IsString()) return std::string(it->value.GetString(), it->value.GetStringLength());
    if (it->value.IsInt64()) return std::to_string(it->value.GetInt64());
    return {};
}

uint64_t uintField(const rapidjson::Value& obj, const char* key) {
    auto it = obj.FindMember(key);
    return it != obj.MemberEnd() && it->value.IsUint64() ? it->value.GetUint64() : 0;
}

void fillIfEmpty(std::string& field, const std::string& value) {
    if (field.empty()) field = value;
}

// A detail file name is "[folder/]nickname_PCID_app_MMDD.log". The nickname
// may itself hold underscores, so the fixed parts are taken from the right.
void identityFromDetailName(const std::string& filename, IndexRecord& r) {
    std::string base = filename.substr(filename.rfind('/') == std::string::npos ? 0 : filename.rfind('/') + 1);
    std::vector<std::string> parts;
    size_t begin = 0;
    for (size_t us; (us = base.find('_', begin)) != std::string::npos; begin = us + 1)
        parts.push_back(base.substr(begin, us - begin));
    parts.push_back(base.substr(begin));
    if (parts.size() < 4) return;
    std::string nickname = parts[0];
    for (size_t i = 1; i + 3 < parts.size(); ++i) nickname += "_" + parts[i];
    fillIfEmpty(r.nickname, nickname);
    fillIfEmpty(r.pcid, parts[parts.size() - 3]);
}

void identityFromCommand(IndexRecord& r) {
    rapidjson::Document doc;
    if (!r.json.empty()) doc.Parse(r.json.data(), r.json.size());
    const bool object = !r.json.empty() && !doc.HasParseError() && doc.IsObject();
    switch (r.cmdId) {
        case 11047:
            // errlog/<client>/<day>.log (errlog/<client>.log in older stores):
            // the client's PC id, as far as it was a safe name.
            if (r.path.compare(0, 7, "errlog/") == 0 && r.path.size() > 11) {
                const size_t slash = r.path.find('/', 7);
                fillIfEmpty(r.pcid, slash != std::string::npos ? r.path.substr(7, slash - 7)
                                                               : r.path.substr(7, r.path.size() - 11));
            }
            break;
        case 11048:
            if (object) {
                fillIfEmpty(r.conference, stringField(doc, "confId"));
                identityFromDetailName(stringField(doc, "filename"), r);
            }
            break;
        case 11049:
            if (object) {
                auto info = doc.FindMember("info");
                if (info != doc.MemberEnd() && info->value.IsObject()) {
                    fillIfEmpty(r.pcid, stringField(info->value, "client"));
                    fillIfEmpty(r.conference, stringField(info->value, "conferenceID"));
                }
            }
            break;
        case 11050:
            if (object) {
                fillIfEmpty(r.pcid, stringField(doc, "client"));
                fillIfEmpty(r.conference, stringField(doc, "conferenceID"));
            }
            break;
        default: break;
    }
}

// The server writes a command's identifying fields into its index line (and
// keeps the request's JSON in meta/): "name" is the name as sent.
void identityFromLine(const rapidjson::Value& line, IndexRecord& r) {
    const std::string name = stringField(line, "name");
    switch (r.cmdId) {
        case 11048:
            fillIfEmpty(r.conference, stringField(line, "confId"));
            identityFromDetailName(name, r);
            break;
        case 11049:
        case 11050:
            fillIfEmpty(r.pcid, name);
            fillIfEmpty(r.conference, stringField(line, "conferenceID"));
            break;
        default: break;
    }
}

}  // namespace

std::string commandName(int cmdId) {
    switch (cmdId) {
        case 11047: return "reportLog";
        case 11048: return "reportDetail";
        case 11049: return "reportDump";
        case 11050: return "reportUser";
        default: return std::to_string(cmdId);
    }
}

bool parseByteRangeRef(const std::string& ref, ByteRangeRef& out) {
    const size_t second = ref.rfind(':');
    if (second == std::string::npos || second == 0) return false;
    const size_t first = ref.rfind(':', second - 1);
    if (first == std::string::npos || first == 0) return false;
    auto number = [](const std::string& text, uint64_t& value) {
        if (text.empty() || text.size() > 19) return false;
        value = 0;
        for (char c : text) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        return true;
    };
    ByteRangeRef r;
    r.path = ref.substr(0, first);
    if (!number(ref.substr(first + 1, second - first - 1), r.offset) || !number(ref.substr(second + 1), r.length))
        return false;
    out = std::move(r);
    return true;
}

bool parseIndexLine(const std::string& line, IndexRecord& r) {
    rapidjson::Document doc;
    doc.Parse(line.data(), line.size());
    if (doc.HasParseError() || !doc.IsObject()) return false;
    auto seq = doc.FindMember("seq");
    auto cmd = doc.FindMember("cmdId");
    if (seq == doc.MemberEnd() || !seq->value.IsUint64() || cmd == doc.MemberEnd() || !cmd->value.IsInt()) return false;
    r = IndexRecord{};
    r.seq = seq->value.GetUint64();
    r.cmdId = cmd->value.GetInt();
    r.node = stringField(doc, "node");
    r.time = stringField(doc, "time");
    r.peer = stringField(doc, "peer");
    r.cmdType = stringField(doc, "cmdType");
    if (r.cmdType.empty()) r.cmdType = commandName(r.cmdId);
    r.json = stringField(doc, "json");
    r.meta = stringField(doc, "meta");
    r.compressedSize = uintField(doc, "compressedSize");
    r.inflatedSize = uintField(doc, "inflatedSize");
    r.path = stringField(doc, "path");
    auto offset = doc.FindMember("offset");
    auto length = doc.FindMember("length");
    if (offset != doc.MemberEnd() && offset->value.IsUint64() && length != doc.MemberEnd() && length->value.IsUint64()) {
        r.hasRange = true;
        r.offset = offset->value.GetUint64();
        r.length = length->value.GetUint64();
    }
    r.rejected = stringField(doc, "rejected");
    // Fields the server may record itself win over what is derived below.
    r.pcid = stringField(doc, "pcid");
    if (r.pcid.empty()) r.pcid = stringField(doc, "client");
    r.nickname = stringField(doc, "nickname");
    r.conference = stringField(doc, "conference");
    r.org = stringField(doc, "org");
    identityFromLine(doc, r);
    identityFromCommand(r);
    return true;
}

}  // namespace logserver
