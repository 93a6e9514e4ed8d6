// NQFile: open modes, the shared position, sizes, path helpers, directory lists.
#include <gtest/gtest.h>

#include <filesystem>

#if !defined(_WIN32)
#include <csignal>
#include <sys/resource.h>
#endif

#include "NQFile.h"
#include "testSupport.h"

using namespace NQBase;
using testsupport::readFile;
using testsupport::writeFile;
namespace fs = std::filesystem;

TEST(NQFileTest, OpenModes) {
    testsupport::TempDir dir;
    const std::string path = dir.file("a.rpt");
    NQFile file;
    EXPECT_LT(file.GetSize(), 20);  // closed: never mistaken for a header
    EXPECT_FALSE(file.Open(path, 1));
    EXPECT_FALSE(file.Open(path, 7));
    EXPECT_FALSE(fs::exists(path));
    ASSERT_TRUE(file.Open(path, 23));
    file.WriteData("a\r\nb", 4);  // raw bytes, no line-end translation
    ASSERT_TRUE(file.Open(path, 7));
    EXPECT_EQ(file.GetSize(), 4);
    EXPECT_EQ(readFile(path), "a\r\nb");
    ASSERT_TRUE(file.Open(path, 23));
    EXPECT_EQ(file.GetSize(), 0);
    writeFile(path, "x");
    ASSERT_TRUE(file.Open(path, 19));
    file.Close();
    EXPECT_EQ(readFile(path), "");
    EXPECT_FALSE(file.Open(path, 3));
    EXPECT_FALSE(file.Open(dir.path(), 1));
    EXPECT_FALSE(file.isOpen());
}

TEST(NQFileTest, OnePositionForReadAndWriteAndSizeCountsBufferedWrites) {
    testsupport::TempDir dir;
    NQFile file;
    ASSERT_TRUE(file.Open(dir.file("a.rpt"), 23));
    file.getFStream().write("0123456789AB", 12);
    EXPECT_EQ(file.GetSize(), 12);
    EXPECT_EQ(file.GetPos(), 12);  // taking the size must not move the position
    ASSERT_TRUE(file.Seek(4, SEEK_TYPE_BEGIN));
    EXPECT_TRUE(file.WriteData("wxyz", 4));
    char c = 0;
    file.getFStream().read(&c, 1);
    EXPECT_EQ(c, '8');
    file.getFStream().seekp(2);
    file.getFStream().read(&c, 1);
    EXPECT_EQ(c, '2');
    file.FlushBuffers();
    EXPECT_EQ(readFile(dir.file("a.rpt")), "0123wxyz89AB");
}

TEST(NQFileTest, WriteWorksAfterReadHitEndOfFile) {
    testsupport::TempDir dir;
    NQFile file;
    ASSERT_TRUE(file.Open(dir.file("a.rpt"), 23));
    file.WriteData("abcd", 4);
    ASSERT_TRUE(file.Seek(0, SEEK_TYPE_BEGIN));
    char buffer[16];
    ASSERT_TRUE(file.getFStream().read(buffer, sizeof buffer).fail());
    ASSERT_TRUE(file.Seek(0, SEEK_TYPE_END));
    file.getFStream().write("efgh", 4);
    EXPECT_TRUE(file.FlushBuffers());
    EXPECT_EQ(readFile(dir.file("a.rpt")), "abcdefgh");
}

#if !defined(_WIN32)
// A file that refuses bytes past 100 (the process's file-size limit): the
// position and the size count only what the file took, and the flush says so.
TEST(NQFileTest, ShortWriteMovesThePositionOnlyByWhatWasWritten) {
    testsupport::TempDir dir;
    NQFile file;
    ASSERT_TRUE(file.Open(dir.file("a.rpt"), 23));
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = 100;
    void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    file.getFStream().write(std::string(60, 'a').data(), 60);  // buffered
    const bool whole = file.WriteData(std::string(20000, 'b').data(), 20000);
    const int64_t pos = file.GetPos();
    const bool flushed = file.FlushBuffers();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(whole);
    EXPECT_EQ(pos, 100);
    EXPECT_FALSE(flushed);
    EXPECT_EQ(file.GetSize(), 100);
    ASSERT_TRUE(file.Seek(0, SEEK_TYPE_BEGIN));
    EXPECT_TRUE(file.WriteData("h", 1));  // writes within the file still land
    EXPECT_TRUE(file.FlushBuffers());
    EXPECT_EQ(readFile(dir.file("a.rpt")), "h" + std::string(59, 'a') + std::string(40, 'b'));
}
#endif

// Renames and directory listings with times are exercised by the dump collector's tests.
TEST(NQFileTest, ReadDataPathsAndListing) {
    testsupport::TempDir dir;
    writeFile(dir.file("crash.dmp"), std::string("bin\0ary", 7));
    NQFile file;
    ASSERT_TRUE(file.Open(dir.file("crash.dmp"), 1));
    EXPECT_EQ(file.ReadData(1000).toStdString(), std::string("bin\0ary", 7));
    EXPECT_EQ(file.ReadData(1000).size(), 0);

    EXPECT_EQ(NQFile::GetFilePath("C:\\logs\\client.log") + "|" + NQFile::GetFilePath("/c.log") + "|" +
                  NQFile::GetFilePath("c.log") + "|" + NQFile::getBaseName("C:\\logs\\client.log"),
              "C:\\logs|/||client.log");
    std::string windowsDir = "C:\\logs", emptyDir;
    CorrectPathFormat(windowsDir);
    CorrectPathFormat(emptyDir);
    EXPECT_EQ(windowsDir + "|" + emptyDir, "C:/logs/|./");
    EXPECT_EQ(NQFile::FileNameIllegalCharDeal("a\\b/c:d*e?f\"g<h>i|j\tk Zoë"), "a_b_c_d_e_f_g_h_i_j_k Zoë");

    std::list<SysFileInfo> entries;
    EXPECT_FALSE(EntryInfoList(entries, dir.file("nope"), 1));
    fs::create_directory(dir.file("sub"));
    ASSERT_TRUE(EntryInfoList(entries, dir.path(), 1));
    ASSERT_EQ(entries.size(), 1u);  // files only
    EXPECT_EQ(entries.front().fullPath, dir.file("crash.dmp"));
    EXPECT_EQ(entries.front().size, 7);
}
