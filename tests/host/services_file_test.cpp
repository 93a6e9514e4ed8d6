// NQFile: open modes, the shared position, sizes, path helpers, directory lists.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <filesystem>

#if !defined(_WIN32)
#include <csignal>
#include <sys/resource.h>
#endif

#include "NQFile.h"
#include "detail/nqPath.h"
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

// Paths are UTF-8 on every system: a user's profile folder carries the user's name.
TEST(NQFileTest, Utf8NamesOpenListRenameAndRemoveAndLongPathsWork) {
    testsupport::TempDir dir;
    const std::string folder = dir.path() + "/\xE7\x94\xA8\xE6\x88\xB7/Caf\xC3\xA9";  // 用户/Café
    fs::create_directories(fs::u8path(folder));
    const std::string report = folder + "/\xE6\x8A\xA5\xE5\x91\x8A.log.rpt";  // 报告
    NQFile file;
    ASSERT_TRUE(file.Open(report, 23));
    file.WriteData("header", 6);
    file.Close();
    ASSERT_TRUE(file.Open(report, 7));
    EXPECT_EQ(file.GetSize(), 6);
    file.Close();
    const std::string dump = folder + "/na\xC3\xAFve \xE5\xB4\xA9\xE6\xBA\x83.dmp";  // naïve 崩溃
    writeFile(dump, "dump");
    std::list<SysFileInfo> entries;
    ASSERT_TRUE(EntryInfoList(entries, folder, 1));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries.front().fullPath, dump);  // 'n' sorts before the first byte of 报
    EXPECT_EQ(entries.front().size, 4);
    EXPECT_NEAR(static_cast<double>(entries.front().timeStamp), static_cast<double>(std::time(nullptr)), 120.0);
    EXPECT_EQ(entries.back().name, "\xE6\x8A\xA5\xE5\x91\x8A.log.rpt");
    EXPECT_TRUE(NQFile::RenameFile(dump, dump + ".bak"));
    EXPECT_TRUE(NQFile::FileExists(dump + ".bak"));
    EXPECT_FALSE(NQFile::FileExists(dump));
    EXPECT_TRUE(NQFile::RemoveFile(dump + ".bak"));
    EXPECT_FALSE(NQFile::FileExists(dump + ".bak"));

    // Past the 260 characters of a plain Windows path.
    std::string deep = folder;
    while (deep.size() < 300) deep += "/\xC3\xA9t\xC3\xA9-" + std::string(40, 'x');
    fs::create_directories(fs::u8path(deep));
    ASSERT_TRUE(file.Open(deep + "/client.log.rpt", 23));
    file.WriteData("x", 1);
    file.Close();
    EXPECT_TRUE(NQFile::RenameFile(deep + "/client.log.rpt", deep + "/moved.rpt"));
    ASSERT_TRUE(EntryInfoList(entries, deep, 1));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries.front().name, "moved.rpt");
    EXPECT_TRUE(NQFile::RemoveFile(deep + "/moved.rpt"));

    // A name that is not UTF-8 (Latin-1 é) still works, as a code-page name.
    const std::string latin1 = dir.path() + "/caf\xE9.rpt";
    ASSERT_TRUE(file.Open(latin1, 23));
    file.Close();
    EXPECT_TRUE(NQFile::FileExists(latin1));
    EXPECT_TRUE(NQFile::RemoveFile(latin1));

    EXPECT_TRUE(nqpath::isUtf8("a\xC3\xA9\xE6\x8A\xA5\xF0\x9F\x98\x80"));
    for (const char* bad : {"\xE9", "\xC0\xAF", "\xED\xA0\x80", "\xE6\x8A", "\xF4\x90\x80\x80", "\xC3\x28"})
        EXPECT_FALSE(nqpath::isUtf8(bad)) << bad;
}

// A dump its writer still holds is left for a later scan where the system can
// tell (Windows); elsewhere it is listed.
TEST(NQFileTest, ListingLeavesOutADumpStillOpenForWriting) {
    testsupport::TempDir dir;
    const std::string dump = dir.file("client.dmp");
    std::FILE* writer = nqpath::openFile(dump, "wb");
    ASSERT_NE(writer, nullptr);
    std::fputs("partial", writer);
    std::fflush(writer);
    writeFile(dir.file("client.log"), "log");
    std::list<SysFileInfo> entries;
    ASSERT_TRUE(EntryInfoList(entries, dir.path(), 1));
#if defined(_WIN32)
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries.front().name, "client.log");
#else
    EXPECT_EQ(entries.size(), 2u);
#endif
    // Files the host opens let others rename them meanwhile (FILE_SHARE_DELETE).
    EXPECT_TRUE(NQFile::RenameFile(dump, dir.file("taken.dmp")));
    std::fclose(writer);
    ASSERT_TRUE(EntryInfoList(entries, dir.path(), 1));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries.back().name, "taken.dmp");
    EXPECT_EQ(entries.back().size, 7);
}
