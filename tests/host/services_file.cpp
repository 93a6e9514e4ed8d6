// NQFile: open modes, the shared position, sizes, path helpers, directory lists.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <list>
#include <string>

#include "NQFile.h"
#include "testSupport.h"

using namespace NQBase;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace fs = std::filesystem;

TEST(NQFileOpen, ModesOnMissingFile) {
    TempDir dir;
    const std::string path = dir.file("missing.rpt");
    NQFile file;
    EXPECT_FALSE(file.Open(path, 1));
    EXPECT_FALSE(file.Open(path, 7));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(file.Open(path, 23));
    EXPECT_TRUE(file.isOpen());
    EXPECT_TRUE(fs::exists(path));
}

TEST(NQFileOpen, Mode7KeepsContentModes23And19Truncate) {
    TempDir dir;
    const std::string path = dir.file("a.rpt");
    writeFile(path, "0123456789");
    NQFile file;
    ASSERT_TRUE(file.Open(path, 7));
    EXPECT_EQ(file.GetSize(), 10);
    file.Close();
    ASSERT_TRUE(file.Open(path, 23));
    EXPECT_EQ(file.GetSize(), 0);
    file.WriteData("a\r\nb", 4);  // raw bytes, no line-end translation
    file.Close();
    EXPECT_EQ(readFile(path), "a\r\nb");
    ASSERT_TRUE(file.Open(path, 19));
    file.Close();
    EXPECT_EQ(readFile(path), "");
}

TEST(NQFileOpen, UnusedModeAndDirectoryAreRefused) {
    TempDir dir;
    writeFile(dir.file("a"), "x");
    NQFile file;
    EXPECT_FALSE(file.Open(dir.file("a"), 3));
    EXPECT_FALSE(file.Open(dir.path(), 1));
    EXPECT_FALSE(file.isOpen());
}

TEST(NQFileSize, ClosedFileIsBelowHeaderSize) {
    NQFile file;
    EXPECT_LT(file.GetSize(), 20);
}

TEST(NQFileSize, CountsBufferedUnflushedWrites) {
    TempDir dir;
    NQFile file;
    ASSERT_TRUE(file.Open(dir.file("a.rpt"), 23));
    file.getFStream().write("twenty-five bytes of text", 25);
    EXPECT_EQ(file.GetSize(), 25);
    // Taking the size must not move the position.
    EXPECT_EQ(file.GetPos(), 25);
    file.getFStream().write("!", 1);
    EXPECT_EQ(file.GetSize(), 26);
}

TEST(NQFileSeek, WriteWorksAfterReadHitEndOfFile) {
    TempDir dir;
    const std::string path = dir.file("a.rpt");
    NQFile file;
    ASSERT_TRUE(file.Open(path, 23));
    file.WriteData("abcd", 4);
    ASSERT_TRUE(file.Seek(0, SEEK_TYPE_BEGIN));
    char buffer[16];
    file.getFStream().read(buffer, sizeof buffer);  // runs past the end
    ASSERT_TRUE(file.getFStream().fail());

    ASSERT_TRUE(file.Seek(0, SEEK_TYPE_END));
    EXPECT_TRUE(file.getFStream().good());
    file.getFStream().write("efgh", 4);
    EXPECT_TRUE(file.FlushBuffers());
    EXPECT_EQ(readFile(path), "abcdefgh");
}

TEST(NQFileSeek, WriteDataOverwritesInTheMiddle) {
    TempDir dir;
    const std::string path = dir.file("a.rpt");
    NQFile file;
    ASSERT_TRUE(file.Open(path, 23));
    file.getFStream().write("0123456789AB", 12);
    ASSERT_TRUE(file.Seek(4, SEEK_TYPE_BEGIN));
    EXPECT_EQ(file.GetPos(), 4);
    EXPECT_EQ(static_cast<int64_t>(file.getFStream().tellp()), 4);
    EXPECT_TRUE(file.WriteData("wxyz", 4));
    EXPECT_EQ(file.GetPos(), 8);
    EXPECT_EQ(static_cast<int64_t>(file.getFStream().tellg()), 8);
    ASSERT_TRUE(file.Seek(0, SEEK_TYPE_END));
    EXPECT_EQ(file.GetPos(), 12);
    file.FlushBuffers();
    EXPECT_EQ(readFile(path), "0123wxyz89AB");
}

TEST(NQFileSeek, GetAndPutSideShareOnePosition) {
    TempDir dir;
    NQFile file;
    ASSERT_TRUE(file.Open(dir.file("a.rpt"), 23));
    file.getFStream().write("0123456789", 10);
    ASSERT_TRUE(file.Seek(2, SEEK_TYPE_BEGIN));
    char c = 0;
    file.getFStream().read(&c, 1);
    EXPECT_EQ(c, '2');
    EXPECT_EQ(file.GetPos(), 3);
    file.getFStream().seekp(7);
    file.getFStream().read(&c, 1);
    EXPECT_EQ(c, '7');
}

TEST(NQFileRead, ReadDataReturnsWhatTheFileHolds) {
    TempDir dir;
    const std::string path = dir.file("crash.dmp");
    writeFile(path, std::string("bin\0ary", 7));
    NQFile file;
    ASSERT_TRUE(file.Open(path, 1));
    ASSERT_EQ(file.GetSize(), 7);
    ASSERT_TRUE(file.Seek(0, SEEK_TYPE_BEGIN));
    EXPECT_EQ(file.ReadData(1000).toStdString(), std::string("bin\0ary", 7));
    EXPECT_EQ(file.ReadData(1000).size(), 0);
}

TEST(NQFileStatics, RenameReplacesAndRemoveDeletes) {
    TempDir dir;
    writeFile(dir.file("crash.dmp"), "new");
    writeFile(dir.file("crash.dmp.bak"), "old");
    EXPECT_TRUE(NQFile::RenameFile(dir.file("crash.dmp"), dir.file("crash.dmp.bak")));
    EXPECT_EQ(readFile(dir.file("crash.dmp.bak")), "new");
    EXPECT_FALSE(NQFile::FileExists(dir.file("crash.dmp")));
    EXPECT_TRUE(NQFile::RemoveFile(dir.file("crash.dmp.bak")));
    EXPECT_FALSE(NQFile::RemoveFile(dir.file("crash.dmp.bak")));
}

TEST(NQFilePaths, DirectoryAndBaseName) {
    EXPECT_EQ(NQFile::GetFilePath("C:\\logs\\client.log"), "C:\\logs");
    EXPECT_EQ(NQFile::GetFilePath("/var/log/client.log"), "/var/log");
    EXPECT_EQ(NQFile::GetFilePath("client.log"), "");
    EXPECT_EQ(NQFile::GetFilePath("/client.log"), "/");
    EXPECT_EQ(NQFile::getBaseName("dir/client.log"), "client.log");
    EXPECT_EQ(NQFile::getBaseName("C:\\logs\\client.log"), "client.log");
    EXPECT_EQ(NQFile::getBaseName("client.log"), "client.log");
}

TEST(NQFilePaths, CorrectPathFormatEndsWithSlash) {
    std::string dir = "C:\\logs";
    CorrectPathFormat(dir);
    EXPECT_EQ(dir, "C:/logs/");
    dir = "/var/log/";
    CorrectPathFormat(dir);
    EXPECT_EQ(dir, "/var/log/");
    dir = "";
    CorrectPathFormat(dir);
    EXPECT_EQ(dir, "./");
}

TEST(NQFilePaths, IllegalCharactersAreReplaced) {
    EXPECT_EQ(NQFile::FileNameIllegalCharDeal("a\\b/c:d*e?f\"g<h>i|j\tk"), "a_b_c_d_e_f_g_h_i_j_k");
    EXPECT_EQ(NQFile::FileNameIllegalCharDeal("Zoë 1.2"), "Zoë 1.2");
}

TEST(EntryInfoList, ListsFilesOnlyWithModificationTimes) {
    TempDir dir;
    writeFile(dir.file("crash.dmp"), "12345");
    writeFile(dir.file("client.log"), "x");
    fs::create_directory(dir.file("sub"));
    writeFile(dir.file("sub/inner.dmp"), "x");
    const auto stamp = fs::last_write_time(dir.file("crash.dmp")) - std::chrono::hours(24 * 8);
    fs::last_write_time(dir.file("crash.dmp"), stamp);
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count();

    std::list<SysFileInfo> entries;
    ASSERT_TRUE(EntryInfoList(entries, dir.path(), 1));
    ASSERT_EQ(entries.size(), 2u);
    const SysFileInfo& log = entries.front();
    const SysFileInfo& dump = entries.back();
    EXPECT_EQ(log.name, "client.log");
    EXPECT_EQ(dump.name, "crash.dmp");
    EXPECT_EQ(dump.fullPath, dir.file("crash.dmp"));
    EXPECT_EQ(dump.size, 5);
    EXPECT_NEAR(static_cast<double>(now - dump.timeStamp), 8 * 24 * 3600.0, 60.0);
    EXPECT_NEAR(static_cast<double>(now - log.timeStamp), 0.0, 60.0);
}

TEST(EntryInfoList, MissingDirectoryFails) {
    TempDir dir;
    std::list<SysFileInfo> entries;
    EXPECT_FALSE(EntryInfoList(entries, dir.file("nope"), 1));
    EXPECT_TRUE(entries.empty());
}
