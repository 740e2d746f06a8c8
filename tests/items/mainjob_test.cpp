// mainjob_test.cpp -- the main job end to end: bin/tvunzip.exe run as its
// own process on the sample archive the build makes, its extracted tree
// compared with the sample's sources, and its exit code and output when the
// password is wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/winfiles.h"
#include "items/items_support.h"

namespace {

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

ProcessRun RunTvunzip(const std::string& password, const std::string& directory)
{
    return RunProcess(Quoted(BinPath("tvunzip.exe")) + " -p " + password + " -d " + Quoted(directory) + " " +
                      Quoted(BinPath("sample/sample.zip")));
}

// Paths under `top`, relative to it.
std::vector<std::string> Relative(const std::vector<std::string>& paths, const std::string& top)
{
    std::vector<std::string> relative;
    for (const std::string& path : paths)
        relative.push_back(path.substr(top.size() + 1));
    std::sort(relative.begin(), relative.end());
    return relative;
}

TEST(MainJob, ExtractsTheSampleTreeByteForByte)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string sources = BinPath("sample/sample-src");
    ASSERT_TRUE(FileExists(BinPath("sample/sample.zip"))) << "build the sample_archive target";
    std::vector<std::string> files = Relative(FilesUnder(sources), sources);
    ASSERT_GE(files.size(), 6u);

    ProcessRun run = RunTvunzip("tarvune", dir.path());
    ASSERT_TRUE(run.started);
    EXPECT_EQ(0u, run.exitCode) << run.output;

    EXPECT_EQ(files, Relative(FilesUnder(dir.path()), dir.path())) << run.output;
    EXPECT_EQ(Relative(FoldersUnder(sources), sources), Relative(FoldersUnder(dir.path()), dir.path()))
        << "the empty directory included";
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        std::string expected, extracted;
        ASSERT_TRUE(ReadWholeFile(sources + "\\" + file, expected));
        ASSERT_TRUE(ReadWholeFile(dir.path() + "\\" + file, extracted));
        EXPECT_EQ(expected.size(), extracted.size());
        EXPECT_TRUE(expected == extracted) << "the extracted bytes differ";
    }
    // Every item is listed with its stem before the extraction starts.
    EXPECT_NE(std::string::npos, run.output.find("item.6  modified")) << run.output;
}

TEST(MainJob, AWrongPasswordFailsWithTheAddOnsText)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    ProcessRun run = RunTvunzip("wrong", dir.path());
    ASSERT_TRUE(run.started);
    EXPECT_EQ(1u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("Password is incorrect")) << run.output;
    // The items that are not encrypted still come out.
    EXPECT_EQ(ReadWholeFile(BinPath("sample/sample-src/docs/readme.txt")),
              ReadWholeFile(dir.file("docs/readme.txt")));
    EXPECT_NE("", ReadWholeFile(dir.file("docs/readme.txt")));
}

}  // namespace
