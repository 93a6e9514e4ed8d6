// The fixture's buffered writer, which generates stores of millions of lines
// for the store-start benchmark: a small store of the same shape, read back
// as the server and the console read it.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "storeWriter.h"
#include "testSupport.h"

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(BufferedStoreWriter, EveryLinesMetaRecordIsWhereItSaysAndSeqsFollowAcrossDaysAndUnbufferedWrites) {
    testsupport::TempDir dir;
    const std::string root = dir.path() + "/store";
    {
        consolefixture::StoreWriter w(root, "n1");
        for (const char* day : {"2026-03-01", "2026-03-02"}) {
            for (int i = 0; i < 40; ++i) {
                consolefixture::Upload u;
                u.time = std::string(day) + "T10:00:" + (i < 10 ? "0" : "") + std::to_string(i) + ".000Z";
                u.client = "PC-" + std::to_string(i);
                // Every tenth command with its bytes, written past the buffers.
                if (i % 10 == 5) w.errorLog(u, "--------------------\nclient:" + u.client + ";\nbytes\n");
                else w.bufferedLine(u, i % 2 ? "ab" + std::to_string(i) : std::string());
            }
        }
    }  // the destructor flushes what is buffered
    const std::regex metaRef("\"meta\":\"(meta/[0-9-]+\\.log):([0-9]+):([0-9]+)\"");
    const std::regex client("\"name\":\"([^\"]+)\"");
    uint64_t expectSeq = 1;
    int receipts = 0;
    for (const char* day : {"2026-03-01", "2026-03-02"}) {
        std::istringstream index(readAll(root + "/index/" + day + ".jsonl"));
        int lines = 0;
        for (std::string line; std::getline(index, line); ++lines) {
            EXPECT_EQ(0u, line.find("{\"seq\":" + std::to_string(expectSeq++) + ",")) << line;
            std::smatch ref, name;
            ASSERT_TRUE(std::regex_search(line, ref, metaRef)) << line;
            ASSERT_TRUE(std::regex_search(line, name, client)) << line;
            EXPECT_EQ(std::string("meta/") + day + ".log", ref[1].str());
            const std::string meta = readAll(root + "/" + ref[1].str());
            const size_t at = std::stoul(ref[2].str()), length = std::stoul(ref[3].str());
            ASSERT_LE(at + length, meta.size()) << line;
            EXPECT_NE(std::string::npos, meta.substr(at, length).find("\"" + name[1].str() + "\"")) << line;
            if (line.find("\"receipt\":\"ab") != std::string::npos) ++receipts;
        }
        EXPECT_EQ(40, lines) << day;
    }
    EXPECT_EQ(2 * 16, receipts);  // odd i, less the four written with bytes
}

}  // namespace
