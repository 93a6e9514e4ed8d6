#include "zipArchive.h"

#include <fcntl.h>
#include <unistd.h>
#include <zip.h>

#include <cstdlib>

namespace console {

int ZipArchive::build(const std::string& dir, const std::vector<ZipEntry>& entries, std::string& error) {
    std::string path = dir + "/download-XXXXXX";
    const int tmp = ::mkstemp(path.data());
    if (tmp < 0) {
        error = "cannot create a temporary file in " + dir;
        return -1;
    }
    ::close(tmp);
    int zerr = 0;
    zip_t* zip = zip_open(path.c_str(), ZIP_TRUNCATE, &zerr);
    if (!zip) {
        ::unlink(path.c_str());
        error = "cannot write the archive";
        return -1;
    }
    for (const auto& e : entries) {
        zip_source_t* src = zip_source_file(zip, e.file.c_str(), 0, -1);
        if (!src || zip_file_add(zip, e.name.c_str(), src, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE) < 0) {
            if (src) zip_source_free(src);
            error = "cannot add " + e.name + " to the archive";
            zip_discard(zip);
            ::unlink(path.c_str());
            return -1;
        }
    }
    if (zip_close(zip) != 0) {
        error = std::string("cannot write the archive: ") + zip_strerror(zip);
        zip_discard(zip);
        ::unlink(path.c_str());
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ::unlink(path.c_str());
    if (fd < 0) error = "cannot read the archive back";
    return fd;
}

}  // namespace console
