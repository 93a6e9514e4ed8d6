// ZipArchive: "download all" of a report's attachments as one .zip, written
// to a temporary file in the state folder (not memory, whatever the
// attachments weigh) and streamed from there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace console {

struct ZipEntry {
    std::string name;  // inside the archive, already made safe
    std::string file;  // on disk
};

class ZipArchive {
public:
    // Writes `entries` into a new file under `dir`; returns an open descriptor
    // of the finished archive, already unlinked (it goes when closed), or -1
    // with `error`.
    static int build(const std::string& dir, const std::vector<ZipEntry>& entries, std::string& error);
};

}  // namespace console
