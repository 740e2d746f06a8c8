// winfiles_test.cpp -- the Win32 test helpers: temp folders clean up after
// themselves (read-only files and subfolders too), whole files round-trip.
#include <gtest/gtest.h>

#include <windows.h>

#include "support/winfiles.h"

namespace {

TEST(TempDir, IsNewAndRemovesEverythingInIt) {
  std::string kept;
  {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    kept = dir.path();
    EXPECT_TRUE(DirectoryExists(kept));
    TempDir other;
    EXPECT_NE(other.path(), kept);

    ASSERT_TRUE(CreateDirectoryA(dir.file("sub").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(dir.file("sub/deeper").c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(dir.file("sub/deeper/f.txt"), "x"));
    ASSERT_TRUE(WriteWholeFile(dir.file("ro.txt"), "read-only"));
    ASSERT_TRUE(SetFileAttributesA(dir.file("ro.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(FileExists(dir.file("sub/deeper/f.txt")));
  }
  EXPECT_FALSE(DirectoryExists(kept));
}

TEST(WholeFiles, RoundTripBinaryBytesAndReportFailures) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  std::string bytes(3 * 65536 + 17, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + (i >> 9));
  ASSERT_TRUE(WriteWholeFile(dir.file("b.bin"), bytes));
  std::string back;
  ASSERT_TRUE(ReadWholeFile(dir.file("b.bin"), back));
  EXPECT_TRUE(back == bytes);

  ASSERT_TRUE(WriteWholeFile(dir.file("b.bin"), "short")); // truncates
  EXPECT_EQ(ReadWholeFile(dir.file("b.bin")), "short");
  ASSERT_TRUE(WriteWholeFile(dir.file("empty"), ""));
  EXPECT_TRUE(ReadWholeFile(dir.file("empty"), back));
  EXPECT_EQ(back, "");

  EXPECT_FALSE(ReadWholeFile(dir.file("missing"), back));
  EXPECT_FALSE(WriteWholeFile(dir.file("no/such/folder/f"), "x"));
  EXPECT_FALSE(FileExists(dir.path()));
  EXPECT_FALSE(DirectoryExists(dir.file("b.bin")));
}

TEST(BinPath, NamesTheFolderOfTheRunningProgram) {
  EXPECT_TRUE(FileExists(BinPath("support_test.exe")));
  EXPECT_TRUE(DirectoryExists(BinPath()));
  EXPECT_EQ(BinPath("a/b"), BinPath() + "\\a\\b");
}

} // namespace
