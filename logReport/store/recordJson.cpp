// The JSON documents that describe a record to the log server. Only the
// descriptive fields go in; the compressed bytes travel beside the document.
//
// The escaping is RapidJSON's default writer, pinned here: \" \\ \b \t \n \f \r,
// every other byte below 0x20 as \u00XX in upper-case hex, everything else (the
// slash, 0x7F and bytes of 0x80 and above) copied as is. Validation is left off
// on purpose: texts are raw bytes, not necessarily UTF-8, and must reach the
// server unchanged.
#include <string>

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "store/reportRecords.h"

namespace NQBase {

namespace {

using JsonWriter = rapidjson::PrettyWriter<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                                           rapidjson::CrtAllocator, rapidjson::kWriteNoFlags>;

// Builds one flat object member by member, in the order they are added.
class JsonObject {
public:
    JsonObject() { doc_.SetObject(); }

    JsonObject& text(const char* key, const std::string& value) {
        // A zero byte ends the text for the server, although the file keeps it.
        const size_t zero = value.find('\0');
        const size_t length = zero == std::string::npos ? value.size() : zero;
        rapidjson::Value copy;
        copy.SetString(value.data(), static_cast<rapidjson::SizeType>(length), doc_.GetAllocator());
        doc_.AddMember(rapidjson::StringRef(key), copy, doc_.GetAllocator());
        return *this;
    }

    JsonObject& integer(const char* key, int32_t value) {
        doc_.AddMember(rapidjson::StringRef(key), rapidjson::Value(value), doc_.GetAllocator());
        return *this;
    }

    std::string serialise() const {
        rapidjson::StringBuffer buffer;
        JsonWriter writer(buffer);
        doc_.Accept(writer);
        return std::string(buffer.GetString(), buffer.GetSize());
    }

private:
    rapidjson::Document doc_;
};

}  // namespace

std::string detailLogInfo::toJson() const {
    return JsonObject().integer("confId", confId).text("filename", filename).serialise();
}

std::string FatalLogInfo::toJson() const {
    return JsonObject()
        .text("version", version)
        .integer("conferenceID", conferenceID)
        .integer("userID", userID)
        .text("client", client)
        .text("clientIP", clientIP)
        .text("logDate", logDate)
        .text("content", content)
        .serialise();
}

std::string userReport::toJson() const {
    return JsonObject()
        .text("version", version)
        .integer("conferenceID", conferenceID)
        .integer("userID", userID)
        .text("client", client)
        .text("clientIP", clientIP)
        .text("reportDate", reportDate)
        .text("contact", contact)
        .text("content", content)
        .serialise();
}

}  // namespace NQBase
