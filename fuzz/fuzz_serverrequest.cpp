// One command handled from raw bytes, as the server would after Ice decoded
// it: the first byte picks the command and whether the data is compressed
// first (so that the attachment reader and the names are reached), two more
// give the JSON's length. Every command must end stored or quarantined, with
// its index line, and nothing may be written outside the store.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "logStore.h"
#include "requestHandler.h"

namespace fs = std::filesystem;

// Bytes in all index days: grows by one line per handled command.
static uintmax_t indexBytes(const fs::path& root) {
    uintmax_t total = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(root / "index", ec)) total += e.file_size(ec);
    return total;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // On tmpfs where there is one: creating and removing many small files is
    // what a run does, and a disk file system makes that the slow part.
    static const fs::path base = (fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) /
                                 ("fuzz_serverrequest." + std::to_string(::getpid()));
    static struct Cleanup {
        ~Cleanup() {
            std::error_code ec;
            fs::remove_all(base, ec);
        }
    } cleanup;
    if (size < 3) return 0;
    static const int commands[] = {11047, 11048, 11049, 11050, 11047, 11048, 11049, 1};
    logserver::Request req;
    req.cmdId = commands[data[0] & 7];
    const bool compress = (data[0] & 8) != 0;
    const size_t jsonLen = std::min<size_t>(size - 3, size_t(data[1]) | size_t(data[2]) << 8);
    req.json.assign(reinterpret_cast<const char*>(data + 3), jsonLen);
    std::string payload(reinterpret_cast<const char*>(data + 3 + jsonLen), size - 3 - jsonLen);
    if (compress) {
        uLongf n = compressBound(static_cast<uLong>(payload.size()));
        std::string z(n, '\0');
        compress2(reinterpret_cast<Bytef*>(&z[0]), &n, reinterpret_cast<const Bytef*>(payload.data()),
                  static_cast<uLong>(payload.size()), 1);
        z.resize(n);
        payload = z;
    }
    req.data = reinterpret_cast<const unsigned char*>(payload.data());
    req.size = payload.size();

    // A fresh store every few hundred inputs keeps the folder small without
    // paying its set-up on every run.
    static std::unique_ptr<logserver::LogStore> store;
    static std::unique_ptr<logserver::RequestHandler> handler;
    static int runs = 0;
    const fs::path root = base / "store";
    if (!store || ++runs % 500 == 0) {
        handler.reset();
        store.reset();
        std::error_code ec;
        fs::remove_all(base, ec);
        logserver::StoreOptions options;
        options.sync = false;
        options.minFreeBytes = 0;
        store.reset(new logserver::LogStore(root.string(), options));
        logserver::StoreError err;
        std::vector<std::string> notes;
        if (!store->open(err, notes)) std::abort();
        logserver::RequestLimits limits;
        limits.maxInflatedBytes = 1 << 20;
        handler.reset(new logserver::RequestHandler(*store, limits));
    }
    const auto indexBefore = indexBytes(root);
    logserver::Outcome out;
    try {
        out = handler->handle(req);
    } catch (const logserver::StoreFailure&) {
        return 0;  // a name the file system refused: may pass later
    }
    // One index line, and every path inside the store.
    if (indexBytes(root) <= indexBefore) std::abort();
    for (const auto& entry : fs::directory_iterator(base))
        if (entry.path() != root) std::abort();
    if (!out.path.empty() && !fs::exists(root / out.path)) std::abort();
    return 0;
}
