#include "itemJson.h"

#include "jsonText.h"

namespace console {

void writeString(JsonWriter& w, const std::string& s) {
    const std::string v = validUtf8(s);
    w.String(v.data(), static_cast<rapidjson::SizeType>(v.size()));
}

void writeText(JsonWriter& w, const std::string& s) {
    const std::string v = validUtf8(s, LineEnds::kKeep);
    w.String(v.data(), static_cast<rapidjson::SizeType>(v.size()));
}

void writeItem(JsonWriter& w, const ConsoleItem& it) {
    auto str = [&w](const char* key, const std::string& s) {
        w.Key(key);
        writeString(w, s);
    };
    w.StartObject();
    str("id", std::to_string(it.id));
    w.Key("seq");
    w.Uint64(it.seq);
    str("node", it.node);
    str("org", it.org);
    str("cmdType", it.cmdType);
    str("time", it.time);
    str("client", it.client);
    str("nickname", it.nickname);
    str("meeting", it.meeting);
    str("path", it.path);
    w.Key("bytes");
    w.Uint64(it.bytes);
    if (it.hasRange) {
        w.Key("offset");
        w.Uint64(it.offset);
        w.Key("length");
        w.Uint64(it.length);
    }
    if (!it.rejected.empty()) str("rejected", it.rejected);
    w.EndObject();
}

std::string itemJson(const ConsoleItem& it) {
    rapidjson::StringBuffer buf;
    JsonWriter w(buf);
    writeItem(w, it);
    return buf.GetString();
}

std::string errorJson(const std::string& message) {
    rapidjson::StringBuffer buf;
    JsonWriter w(buf);
    w.StartObject();
    w.Key("error");
    writeString(w, message);
    w.EndObject();
    return buf.GetString();
}

}  // namespace console
