#include "operatorSettings.h"

#include <cctype>
#include <exception>

#include "../NQCommon.h"

namespace NQBase {
namespace operatorSettings {
namespace {

const char kModule[] = "NQCommunicate";

// Settings IceSSL reads as file or folder names.
const char* const kPathSettings[] = {"IceSSL.CAs", "IceSSL.CertFile", "IceSSL.KeyFile", "IceSSL.DefaultDir"};

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// "/x", "\x", "\\server\share" and "C:\x" or "C:/x": the forms either system
// takes as not relative to a working folder.
bool isAbsolute(const std::string& path) {
    if (!path.empty() && isSeparator(path[0])) return true;
    return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
           isSeparator(path[2]);
}

std::string singleLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

}  // namespace

std::string resolveAgainstFileFolder(const std::string& settingsFile, const std::string& value) {
    if (value.empty() || isAbsolute(value)) return value;
    size_t slash = settingsFile.find_last_of("/\\");
    if (slash == std::string::npos) return value;  // the file itself was found relative to the working folder
    return settingsFile.substr(0, slash + 1) + value;
}

Ice::PropertyDict read(const std::vector<std::string>& files) {
    Ice::PropertyDict settings;
    for (const std::string& file : files) {
        Ice::PropertiesPtr props = Ice::createProperties();
        try {
            props->load(file);
        } catch (const std::exception& e) {
            NQSDKCommonLog(3, kModule, "NQConnectionMgr: cannot read settings %s: %s", file.c_str(),
                           singleLine(e.what()).c_str());
            continue;
        }
        for (const char* prefix : {"LogReport.", "IceSSL."}) {
            for (const auto& entry : props->getPropertiesForPrefix(prefix)) settings[entry.first] = entry.second;
        }
        for (const char* key : kPathSettings) {
            const std::string value = props->getProperty(key);
            if (!value.empty()) settings[key] = resolveAgainstFileFolder(file, value);
        }
    }
    return settings;
}

}  // namespace operatorSettings
}  // namespace NQBase
