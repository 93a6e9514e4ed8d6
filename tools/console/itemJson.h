// The JSON of an item as /api/search, /api/item and /api/events give it.
#pragma once

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <string>

#include "consoleItem.h"

namespace console {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

// Writes s, with invalid UTF-8 and control characters replaced.
void writeString(JsonWriter& w, const std::string& s);
// The same for text of several lines: line ends stay.
void writeText(JsonWriter& w, const std::string& s);
void writeItem(JsonWriter& w, const ConsoleItem& it);
std::string itemJson(const ConsoleItem& it);
std::string errorJson(const std::string& message);

}  // namespace console
