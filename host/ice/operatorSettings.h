// Internal to the host library: the operator's Ice property files (the one
// shipped beside the executable, those named by ICE_CONFIG) read into the
// settings the connection manager uses.
#pragma once

#include <Ice/Ice.h>

#include <string>
#include <vector>

namespace NQBase {
namespace operatorSettings {

// Reads the files in order, later ones overriding, and keeps LogReport.* and
// IceSSL.*. A relative path in a path-valued IceSSL setting is taken against
// the folder of the file that sets it, so a settings file and the files it
// names can move together whatever the process's working folder. A file that
// cannot be read is logged and skipped.
Ice::PropertyDict read(const std::vector<std::string>& files);

// value made absolute against the folder of settingsFile when it is a
// relative path; absolute paths (either system's form) are kept as they are.
std::string resolveAgainstFileFolder(const std::string& settingsFile, const std::string& value);

}  // namespace operatorSettings
}  // namespace NQBase
