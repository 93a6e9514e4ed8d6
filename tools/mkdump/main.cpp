// logreport-mkdump: writes a dump body of a given size (or keeps an existing
// file with --append) and appends the crash block with its length.
#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "collect/dumpTrailer.h"

namespace {

// Deterministic bytes that compress a little, like a real dump: pseudo-random
// with about a quarter of them zero.
void fillDumpBody(std::vector<char>& chunk, uint64_t& state) {
    for (size_t i = 0; i < chunk.size(); ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        chunk[i] = (state & 0x300) == 0 ? '\0' : static_cast<char>(state >> 24);
    }
}

bool writeDumpBody(const std::string& path, uint64_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    static const char kSignature[] = "MDMP";
    uint64_t state = 0x9E3779B97F4A7C15ULL ^ size;
    std::vector<char> chunk(1 << 20);
    for (uint64_t written = 0; written < size;) {
        fillDumpBody(chunk, state);
        if (written == 0) std::copy(kSignature, kSignature + 4, chunk.begin());
        const uint64_t n = std::min<uint64_t>(chunk.size(), size - written);
        out.write(chunk.data(), static_cast<std::streamsize>(n));
        written += n;
    }
    out.close();
    return !out.fail();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Writes a crash dump with the text block the report library reads."};
    std::string out;
    uint64_t size = 4096;
    bool append = false;
    NQBase::DumpTrailer t;
    app.add_option("--out", out, "dump file to write")->required();
    app.add_option("--size", size, "bytes of dump body before the block");
    app.add_flag("--append", append, "keep the existing file and only append the block");
    app.add_option("--meet-ver", t.meetVer, "MeetVer value");
    app.add_option("--meet-id", t.meetID, "MeetID value");
    app.add_option("--member-id", t.memberID, "MemberID value");
    app.add_option("--client", t.client, "Client value");
    app.add_option("--ip", t.ip, "IP value");
    app.add_option("--dump-time", t.dumpTime, "DumpTime value");
    app.add_option("--exception-code", t.exceptionCode, "Exception code value");
    app.add_option("--fault-address", t.faultAddress, "Fault address value");
    app.add_option("--module", t.module, "Module value");
    CLI11_PARSE(app, argc, argv);

    if (!append && !writeDumpBody(out, size)) {
        std::fprintf(stderr, "logreport-mkdump: cannot write %s\n", out.c_str());
        return 1;
    }
    if (!NQBase::appendDumpTrailer(out, t)) {
        std::fprintf(stderr, "logreport-mkdump: cannot append to %s\n", out.c_str());
        return 1;
    }
    return 0;
}
