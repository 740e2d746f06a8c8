// extract_test.cpp -- putting the current entry into memory, a new file or a
// caller's handle: directories on the way, attributes and times, what the
// caller's handle looks like afterwards, and every failure along the way.
// Linked with the fault-injection reader, so that allocations, reads and
// writes can be failed one at a time.
#include <gtest/gtest.h>

#include <string.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "faults.h"
#include "support/bytes.h"
#include "support/winfiles.h"
#include "support/zipbuilder.h"
#include "zipread.h"
#include "zipread/reader_fixture.h"

namespace {

// Unix seconds as a FILETIME, computed here independently of the reader.
uint64_t UnixToFileTime(int32_t seconds)
{
    return (uint64_t)((int64_t)seconds * 10000000 + 116444736000000000LL);
}

uint64_t AsNumber(const FILETIME& t)
{
    return (uint64_t)t.dwHighDateTime << 32 | t.dwLowDateTime;
}

struct FileTimes {
    uint64_t creation = 0, access = 0, write = 0;
};

FileTimes TimesOf(const std::string& path)
{
    FileTimes times;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, file) << "opening " << path;
    if (file == INVALID_HANDLE_VALUE)
        return times;
    FILETIME c, a, w;
    EXPECT_TRUE(GetFileTime(file, &c, &a, &w));
    CloseHandle(file);
    times.creation = AsNumber(c);
    times.access = AsNumber(a);
    times.write = AsNumber(w);
    return times;
}

HANDLE CreateForWriting(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

uint32_t CurrentPosition(HANDLE handle)
{
    return SetFilePointer(handle, 0, nullptr, FILE_CURRENT);
}

const int32_t MODIFIED = 1000000000;  // 2001-09-09 01:46:40 UTC
const int32_t ACCESSED = 1100000000;
const int32_t CREATED = 900000000;

class ExtractTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FaultsReset(FaultPlan());
        ASSERT_TRUE(dir.ok());
    }
    // Extracts entry `index` of `z` to `relative` under the temp folder.
    uint32_t ToPath(OpenedArchive& z, uint32_t index, const std::string& relative)
    {
        uint32_t selected = SelectEntry(z.archive, index);
        EXPECT_EQ(0u, selected) << "selecting entry " << index;
        if (selected)
            return 1000 + selected;
        std::string path = dir.file(relative);
        return ExtractEntry(z.archive, &path[0], EXTRACT_TO_PATH);
    }
    TempDir dir;
};

TEST_F(ExtractTest, FilesLandUnderNewDirectoriesWithTheirData)
{
    std::string big = Sample(100000, false, 2);
    std::string zip = ZipBuilder()
                          .add("top.txt", "top level", 0)
                          .add("a/b/c/deep.bin", big)
                          .add("a/b/side.txt", "beside", 0)
                          .build();
    OpenedArchive z(zip);
    ASSERT_EQ(0u, z.code);
    EXPECT_EQ(0u, ToPath(z, 0, "top.txt"));
    EXPECT_EQ(0u, ToPath(z, 1, "a/b/c/deep.bin"));
    EXPECT_EQ(0u, ToPath(z, 2, "a/b/side.txt")) << "directories already there are no error";
    EXPECT_EQ("top level", ReadWholeFile(dir.file("top.txt")));
    EXPECT_TRUE(ReadWholeFile(dir.file("a/b/c/deep.bin")) == big);
    EXPECT_EQ("beside", ReadWholeFile(dir.file("a/b/side.txt")));
    EXPECT_EQ(-1, z.archive->currentIndex) << "extraction consumes the selection";
}

// A file in the folder of the last one extracted skips making the folders;
// should the folder have gone since, it is made again, and a name that
// Windows reads as the folder itself ("a/.") never becomes a file "a".
TEST_F(ExtractTest, TheLastFilesFolderRemovedSince)
{
    OpenedArchive z(ZipBuilder()
                        .add("a/x.txt", "first", 0)
                        .add("a/y.txt", "second", 0)
                        .add("a/.", "dot", 0)
                        .build());
    ASSERT_EQ(0u, z.code);
    EXPECT_EQ(0u, ToPath(z, 0, "a/x.txt"));
    ASSERT_TRUE(RemoveTree(dir.file("a")));
    EXPECT_EQ(0u, ToPath(z, 1, "a/y.txt"));
    EXPECT_EQ("second", ReadWholeFile(dir.file("a/y.txt")));

    ASSERT_TRUE(RemoveTree(dir.file("a")));
    EXPECT_EQ((uint32_t)RESULT_CANT_OPEN, ToPath(z, 2, "a/."));
    EXPECT_TRUE(DirectoryExists(dir.file("a")));
    EXPECT_FALSE(FileExists(dir.file("a")));
}

// Entries at the sizes where the reader's blocks begin and end, read from a
// file and extracted out of their order, so that each extraction starts
// where the last one did not leave the file.
TEST_F(ExtractTest, EntriesAroundTheBlockSizesFromAFile)
{
    struct Case {
        const char* name;
        std::string data;
        uint16_t method;
    };
    const Case cases[] = {
        {"many blocks, deflated", Sample(3 * WRITE_BLOCK_SIZE + 5, true, 21), 8},
        {"empty", "", 0},
        {"one write block, stored", Sample(WRITE_BLOCK_SIZE, false, 22), 0},
        {"one write block and a byte, stored", Sample(WRITE_BLOCK_SIZE + 1, false, 23), 0},
        {"one input block and a byte of deflate data", Sample(INPUT_BLOCK_SIZE + 1, false, 24), 8},
        {"one write block, deflated", Sample(WRITE_BLOCK_SIZE, true, 25), 8},
    };
    ZipBuilder builder;
    for (const auto& c : cases)
        builder.add(c.name, c.data, c.method);
    std::string zipPath = dir.file("blocks.zip");
    ASSERT_TRUE(WriteWholeFile(zipPath, builder.build()));
    OpenedArchive z(zipPath, SOURCE_FILE);
    ASSERT_EQ(0u, z.code);
    for (uint32_t index : {2, 0, 5, 1, 4, 3, 2}) {
        const Case& c = cases[index];
        SCOPED_TRACE(c.name);
        EXPECT_EQ(0u, ToPath(z, index, "blocks.out"));
        EXPECT_TRUE(ReadWholeFile(dir.file("blocks.out")) == c.data);
    }
}

// A UTF-8 name extracted to the current entry's own path gets its true
// characters on disk, folders included, whatever the ANSI code page lacks;
// any other target text is used as it stands.
TEST_F(ExtractTest, UnicodeNamesLandUnderTheirTrueCharacters)
{
    ZipBuilder::Entry file("\xE4\xB8\x96\xE7\x95\x8C/R\xC3\xA9sum\xC3\xA9 \xE2\x88\x95.txt", "unicode");
    file.flags = FLAG_UTF8_NAME;
    ZipBuilder::Entry folder("\xCE\xB1\xCE\xB2/", "", 0);
    folder.flags = FLAG_UTF8_NAME;
    folder.externalAttributes = 0x10;
    OpenedArchive z(ZipBuilder().add(file).add(folder).add(file).build());
    ASSERT_EQ(0u, z.code);
    ASSERT_EQ(RESULT_OK, SetRootDirectory(z.archive, dir.path().c_str(), (uint32_t)dir.path().size()));

    const std::wstring root = std::wstring(dir.path().begin(), dir.path().end()) + L"\\";
    const std::wstring expected[2] = {root + L"\u4E16\u754C\\R\u00E9sum\u00E9 \u2215.txt", root + L"\u03B1\u03B2"};
    for (uint32_t i = 0; i < 2; i++) {
        SCOPED_TRACE(i);
        ASSERT_EQ(RESULT_OK, SelectEntry(z.archive, i));
        std::string path = z.archive->path;
        EXPECT_EQ(RESULT_OK, ExtractEntry(z.archive, &path[0], EXTRACT_TO_PATH));
        DWORD attributes = GetFileAttributesW(expected[i].c_str());
        ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes) << "not on disk under its Unicode name";
        EXPECT_EQ(i == 1, (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    }
    HANDLE f = CreateFileW(expected[0].c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    char buffer[16] = {};
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(f, buffer, sizeof buffer, &got, nullptr));
    CloseHandle(f);
    EXPECT_EQ("unicode", std::string(buffer, got));

    // A new root leaves the path naming the root alone: the entry's wide
    // name is no longer what that text means.
    ASSERT_EQ(RESULT_OK, SelectEntry(z.archive, 2));
    ASSERT_EQ(RESULT_OK, SetRootDirectory(z.archive, dir.path().c_str(), (uint32_t)dir.path().size()));
    std::string rootText = z.archive->path;
    EXPECT_EQ(RESULT_CANT_OPEN, ExtractEntry(z.archive, &rootText[0], EXTRACT_TO_PATH));

    // Another text names the file it says.
    EXPECT_EQ(0u, ToPath(z, 2, "plain.txt"));
    EXPECT_EQ("unicode", ReadWholeFile(dir.file("plain.txt")));
}

// Wine keeps no creation time of its own on Linux file systems (it reports
// the last-write time), so only the other two can be read back here.
TEST_F(ExtractTest, FileGetsTheEntrysTimes)
{
    ZipBuilder::Entry e("timed.txt", "tick tock");
    e.centralExtra = UtBlock(7, MODIFIED, ACCESSED, CREATED);
    ZipBuilder::Entry empty("empty.txt", "", 0);
    empty.centralExtra = UtBlock(7, MODIFIED, ACCESSED, CREATED);
    OpenedArchive z(ZipBuilder().add(e).add(empty).build());
    ASSERT_EQ(0u, z.code);
    for (uint32_t i = 0; i < 2; i++) {
        std::string name = i == 0 ? "timed.txt" : "empty.txt";
        SCOPED_TRACE(name);
        ASSERT_EQ(0u, ToPath(z, i, name));
        FileTimes times = TimesOf(dir.file(name));
        EXPECT_EQ(UnixToFileTime(MODIFIED), times.write);
        EXPECT_EQ(UnixToFileTime(ACCESSED), times.access);
    }
    EXPECT_EQ("", ReadWholeFile(dir.file("empty.txt")));
    EXPECT_EQ("tick tock", ReadWholeFile(dir.file("timed.txt")));
}

// The file is created with the mapped attributes; read-only files are still
// written in full through the handle that created them.
TEST_F(ExtractTest, FileGetsTheEntrysAttributes)
{
    struct Case {
        const char* name;
        uint8_t host;
        uint32_t external;
        DWORD expected;
    };
    const Case cases[] = {
        {"dos archive", HOST_MSDOS, 0x20, FILE_ATTRIBUTE_ARCHIVE},
        {"dos read-only", HOST_MSDOS, 0x21, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY},
        {"unix 0644", HOST_UNIX, 0x81A40000, FILE_ATTRIBUTE_ARCHIVE},
        {"unix 0444", HOST_UNIX, 0x81240000, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY},
    };
    std::string data = Sample(40000, false, 3);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ZipBuilder::Entry e("attr.bin", data);
        e.madeBy(c.host);
        e.externalAttributes = c.external;
        OpenedArchive z(ZipBuilder().add(e).build());
        ASSERT_EQ(0u, z.code);
        std::string name = std::string(c.name) + ".bin";
        ASSERT_EQ(0u, ToPath(z, 0, name));
        DWORD attributes = GetFileAttributesA(dir.file(name).c_str());
        EXPECT_EQ(c.expected, attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE |
                                            FILE_ATTRIBUTE_DIRECTORY));
        EXPECT_TRUE(ReadWholeFile(dir.file(name)) == data);
    }
}

TEST_F(ExtractTest, DirectoryEntriesBecomeDirectories)
{
    ZipBuilder::Entry d("d1/d2/", "", 0);
    d.externalAttributes = 0x10;
    // A name ending in a separator is a folder whatever its attributes, as
    // jar and OpenDocument writers leave them.
    ZipBuilder::Entry jar("j1/META-INF/", "", 0);
    jar.externalAttributes = 0;
    ZipBuilder::Entry backslash("b1\\b2\\", "", 0);
    backslash.madeBy(HOST_UNIX);
    backslash.externalAttributes = 0x81A40000;  // a plain file's mode
    OpenedArchive z(ZipBuilder().add(d).add(jar).add(backslash).build());
    ASSERT_EQ(0u, z.code);
    for (uint32_t i = 1; i <= 2; i++) {
        ASSERT_EQ(0u, SelectEntry(z.archive, i));
        EXPECT_TRUE(z.archive->header.externalAttributes & FILE_ATTRIBUTE_DIRECTORY) << "entry " << i;
        std::string folder = dir.file(i == 1 ? "j1/META-INF/" : "b1/b2/");
        EXPECT_EQ(0u, ExtractEntry(z.archive, &folder[0], EXTRACT_TO_PATH));
        EXPECT_TRUE(DirectoryExists(folder.substr(0, folder.size() - 1)));
    }

    ASSERT_EQ(0u, SelectEntry(z.archive, 0));
    std::string path = dir.file("d1/d2/");
    EXPECT_EQ(0u, ExtractEntry(z.archive, &path[0], EXTRACT_TO_PATH));
    EXPECT_EQ(dir.file("d1/d2/"), path) << "the path text is given back unchanged";
    EXPECT_TRUE(DirectoryExists(dir.file("d1/d2")));
    EXPECT_EQ(0, z.archive->currentIndex) << "a created directory stays current";

    HANDLE file = CreateForWriting(dir.file("handle.out"));
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ(0u, ExtractEntry(z.archive, file, EXTRACT_TO_HANDLE));
    EXPECT_EQ(0u, GetFileSize(file, nullptr)) << "nothing written onto a handle";
    CloseHandle(file);
    EXPECT_EQ(0, z.archive->currentIndex);

    EXPECT_EQ(0u, ExtractEntry(z.archive, nullptr, EXTRACT_TO_MEMORY)) << "its (empty) data";
    EXPECT_EQ(-1, z.archive->currentIndex);

    std::string again = dir.file("d1/d2/");
    EXPECT_EQ((uint32_t)RESULT_BAD_ARGUMENTS, ExtractEntry(z.archive, &again[0], EXTRACT_TO_PATH));
}

// A file standing where a directory must go: neither the directory entry
// nor a file under it can be made.
TEST_F(ExtractTest, AFileInTheWayOfADirectory)
{
    ASSERT_TRUE(WriteWholeFile(dir.file("blocker"), "x"));
    ZipBuilder::Entry d("blocker/", "", 0);
    d.externalAttributes = 0x10;
    OpenedArchive z(ZipBuilder().add(d).add("blocker/inner.txt", "data").build());
    ASSERT_EQ(0u, z.code);
    EXPECT_EQ((uint32_t)RESULT_CANT_OPEN, ToPath(z, 0, "blocker/"));
    EXPECT_EQ(-1, z.archive->currentIndex);
    EXPECT_EQ((uint32_t)RESULT_CANT_OPEN, ToPath(z, 1, "blocker/inner.txt"));
    EXPECT_EQ(-1, z.archive->currentIndex);
    EXPECT_EQ("x", ReadWholeFile(dir.file("blocker")));
}

TEST_F(ExtractTest, CreatePathDirectoriesWalk)
{
    struct Case {
        const char* name;
        std::string path;
        BOOL lastIsDirectory;
        const char* mustExist;   // relative to the temp folder, or null
        const char* mustNotExist;
    };
    const Case cases[] = {
        {"last component is a file", dir.file("p/q/file.txt"), FALSE, "p/q", "p/q/file.txt"},
        {"last component is a directory", dir.file("r/s"), TRUE, "r/s", nullptr},
        {"trailing backslash", dir.file("t/u\\"), FALSE, "t/u", nullptr},
        {"already there", dir.file("p/q/v"), TRUE, "p/q/v", nullptr},
        {"no directory at all", "file.txt", FALSE, nullptr, nullptr},
        // A volume is never made: the walk starts after the prefix, the
        // drive or the share (no share exists here, so any attempt to make
        // "\\server" or "share" would fail the walk).
        {"behind \\\\?\\", "\\\\?\\" + dir.file("y/z"), TRUE, "y/z", nullptr},
        {"a file on a share", "\\\\server\\share\\file.txt", FALSE, nullptr, nullptr},
        {"a file on a share behind \\\\?\\UNC", "\\\\?\\UNC\\server\\share\\f.txt", FALSE, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = c.path;
        EXPECT_TRUE(CreatePathDirectories(&text[0], c.lastIsDirectory));
        EXPECT_EQ(c.path, text) << "the path comes back as it was";
        if (c.mustExist) {
            EXPECT_TRUE(DirectoryExists(dir.file(c.mustExist)));
        }
        if (c.mustNotExist) {
            EXPECT_FALSE(DirectoryExists(dir.file(c.mustNotExist)));
            EXPECT_FALSE(FileExists(dir.file(c.mustNotExist)));
        }
    }
    // Without its drive prefix, the same folder from the current drive's root.
    char current[MAX_PATH];
    ASSERT_NE(0u, GetCurrentDirectoryA(MAX_PATH, current));
    ASSERT_TRUE(SetCurrentDirectoryA(dir.path().c_str()));
    std::string noDrive = dir.file("w/x").substr(2);
    ASSERT_EQ('\\', noDrive[0]);
    EXPECT_TRUE(CreatePathDirectories(&noDrive[0], TRUE));
    SetCurrentDirectoryA(current);
    EXPECT_TRUE(DirectoryExists(dir.file("w/x")));
}

TEST_F(ExtractTest, SecondExtractionNeedsASelection)
{
    OpenedArchive z(ZipBuilder().add("a.txt", "alpha").build(), "wrong");
    ASSERT_EQ(0u, z.code);
    EXPECT_EQ((uint32_t)RESULT_BAD_ARGUMENTS, ExtractEntry(z.archive, nullptr, EXTRACT_TO_MEMORY))
        << "nothing selected yet";
    EXPECT_EQ(0u, ToPath(z, 0, "a.txt"));
    std::string path = dir.file("again.txt");
    EXPECT_EQ((uint32_t)RESULT_BAD_ARGUMENTS, ExtractEntry(z.archive, &path[0], EXTRACT_TO_PATH));
    EXPECT_FALSE(FileExists(path));

    // A failed extraction's code stays in `error` through a refused one.
    ZipBuilder::Entry e("s", "secret");
    e.password = "right";
    OpenedArchive locked(ZipBuilder().add(e).build(), "wrong");
    ASSERT_EQ(0u, locked.code);
    EXPECT_EQ((uint32_t)RESULT_PASSWORD, ToPath(locked, 0, "s"));
    EXPECT_EQ((uint32_t)RESULT_BAD_ARGUMENTS, ExtractEntry(locked.archive, &path[0], EXTRACT_TO_PATH));
    EXPECT_EQ((uint32_t)RESULT_PASSWORD, locked.archive->error);
}

// Data that stops short of the recorded size is not the entry: onto a file
// or a handle that is a decoding failure.
TEST_F(ExtractTest, DataEndingEarlyFailsFileAndHandle)
{
    std::string data = Sample(50000, false, 5);
    std::string deflated = Deflate(data);
    struct Case {
        const char* name;
        ZipBuilder::Entry entry;
    };
    ZipBuilder::Entry streamEnds("f", data, 8);
    streamEnds.uncompressedSize = 50001;
    ZipBuilder::Entry inputCut("f", data, 8);
    inputCut.rawPayload = deflated.substr(0, 30000);
    ZipBuilder::Entry storedShort("f", data, 0);
    storedShort.rawPayload = data.substr(0, 20000);
    const Case cases[] = {
        {"deflate data end before the recorded size", streamEnds},
        {"deflate data cut short", inputCut},
        {"stored, compressed size below the uncompressed size", storedShort},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OpenedArchive z(ZipBuilder().add(c.entry).build());
        ASSERT_EQ(0u, z.code);
        EXPECT_EQ((uint32_t)RESULT_FLATE, ToPath(z, 0, "early.bin"));
        EXPECT_FALSE(FileExists(dir.file("early.bin"))) << "no partial file stays";

        HANDLE file = CreateForWriting(dir.file("early.handle"));
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        ASSERT_EQ(0u, SelectEntry(z.archive, 0));
        EXPECT_EQ((uint32_t)RESULT_FLATE, ExtractEntry(z.archive, file, EXTRACT_TO_HANDLE));
        CloseHandle(file);
    }
}

// The caller's handle is written at its own position, stays open and is
// left after the data.
TEST_F(ExtractTest, CallersHandleStaysOpenAndPositionedAfterTheData)
{
    std::string data = Sample(40000, false, 6);
    ZipBuilder::Entry e("h.bin", data);
    e.centralExtra = UtBlock(1, MODIFIED);
    OpenedArchive z(ZipBuilder().add(e).build());
    ASSERT_EQ(0u, z.code);
    std::string path = dir.file("handle.bin");
    HANDLE file = CreateForWriting(path);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "HEAD", 4, &written, nullptr));

    ASSERT_EQ(0u, SelectEntry(z.archive, 0));
    EXPECT_EQ(0u, ExtractEntry(z.archive, file, EXTRACT_TO_HANDLE));
    EXPECT_EQ(4 + data.size(), CurrentPosition(file));
    FILETIME c, a, w;
    ASSERT_TRUE(GetFileTime(file, &c, &a, &w));
    EXPECT_EQ(UnixToFileTime(MODIFIED), AsNumber(w)) << "times are set on the caller's handle";
    EXPECT_TRUE(WriteFile(file, "TAIL", 4, &written, nullptr)) << "the handle is still open";
    CloseHandle(file);
    EXPECT_TRUE(ReadWholeFile(path) == "HEAD" + data + "TAIL");
}

TEST_F(ExtractTest, OntoAPipe)
{
    std::string data = Sample(100000, false, 7);
    OpenedArchive z(ZipBuilder().add("p.bin", data).build());
    ASSERT_EQ(0u, z.code);
    HANDLE readEnd, writeEnd;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 4096));
    std::string received;
    std::thread reader([&] {
        char buffer[3000];
        DWORD n;
        while (ReadFile(readEnd, buffer, sizeof(buffer), &n, nullptr) && n > 0)
            received.append(buffer, n);
    });
    ASSERT_EQ(0u, SelectEntry(z.archive, 0));
    uint32_t code = ExtractEntry(z.archive, writeEnd, EXTRACT_TO_HANDLE);
    CloseHandle(writeEnd);
    reader.join();
    CloseHandle(readEnd);
    EXPECT_EQ(0u, code);
    EXPECT_TRUE(received == data) << "received " << received.size() << " bytes";
}

TEST_F(ExtractTest, HandlesThatCannotBeWritten)
{
    OpenedArchive z(ZipBuilder().add("f.txt", Sample(1000, false, 8)).build());
    ASSERT_EQ(0u, z.code);
    ASSERT_EQ(0u, SelectEntry(z.archive, 0));
    EXPECT_EQ((uint32_t)RESULT_CANT_OPEN, ExtractEntry(z.archive, INVALID_HANDLE_VALUE, EXTRACT_TO_HANDLE));
    EXPECT_EQ(-1, z.archive->currentIndex);

    ASSERT_TRUE(WriteWholeFile(dir.file("ro.txt"), "unchanged"));
    HANDLE readOnly = CreateFileA(dir.file("ro.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, readOnly);
    ASSERT_EQ(0u, SelectEntry(z.archive, 0));
    EXPECT_EQ((uint32_t)RESULT_WRITE_FAILED, ExtractEntry(z.archive, readOnly, EXTRACT_TO_HANDLE));
    CloseHandle(readOnly);
    EXPECT_EQ("unchanged", ReadWholeFile(dir.file("ro.txt")));
}

// A failed extraction to a file leaves the disk as it was: a file that was
// there keeps its bytes, attributes and times, a new one is not left behind,
// and no temporary file stays beside it. Each cause strikes after the entry
// began to be written where it can (the entries span several blocks), and
// the checks that need no output come before anything is created.
TEST_F(ExtractTest, AFailedExtractionLeavesTheDiskAsItWas)
{
    const std::string data = Sample(2 * WRITE_BLOCK_SIZE + 7232, false, 9);  // three blocks
    struct Cause {
        const char* name;
        std::function<void(ZipBuilder::Entry&)> entry;
        std::function<void(std::string&, const ZipLayout&)> damage;
        FaultPlan faults;
        uint32_t code;
    };
    auto aes = [](ZipBuilder::Entry& e) { e.aesPassword = "pw"; };
    const Cause causes[] = {
        {"traditional encryption, wrong password", [](ZipBuilder::Entry& e) { e.password = "other"; }, nullptr,
         {}, RESULT_PASSWORD},
        {"AES, wrong password", [](ZipBuilder::Entry& e) { e.aesPassword = "other"; }, nullptr, {},
         RESULT_PASSWORD},
        {"AES, one ciphertext bit flipped in the last block", aes,
         [](std::string& zip, const ZipLayout& l) { zip[l.centralDirectory - 10 - 100] ^= 0x10; }, {},
         RESULT_FLATE},
        {"AES, the code's first byte altered, data intact", aes,
         [](std::string& zip, const ZipLayout& l) { zip[l.centralDirectory - 10] ^= 0x01; }, {}, RESULT_FLATE},
        {"AES, the recorded size lowered", [](ZipBuilder::Entry& e) {
             e.aesPassword = "pw";
             e.uncompressedSize = 100;
         }, nullptr, {}, RESULT_FLATE},
        {"CRC mismatch", [](ZipBuilder::Entry& e) { e.crc = 0x12345678; }, nullptr, {}, RESULT_FLATE},
        {"the second write fails", nullptr, nullptr, {0, 0, 2}, RESULT_WRITE_FAILED},
        {"a read of the data fails", [](ZipBuilder::Entry& e) { e.method = 0; }, nullptr, {0, 3, 0},
         RESULT_READ_FAILED},
    };
    const uint64_t OLD_TIME = UnixToFileTime(700000000);
    for (const Cause& c : causes) {
        SCOPED_TRACE(c.name);
        ZipBuilder::Entry e("f.bin", data);
        e.centralExtra = UtBlock(1, MODIFIED);
        if (c.entry)
            c.entry(e);
        ZipLayout layout;
        std::string zip = ZipBuilder().add(e).build(&layout);
        if (c.damage)
            c.damage(zip, layout);
        std::string zipPath = dir.file("source.zip");
        ASSERT_TRUE(WriteWholeFile(zipPath, zip));

        for (bool there : {false, true}) {
            SCOPED_TRACE(there ? "over an existing file" : "no file there");
            TempDir out;
            std::string path = out.file("f.bin");
            DWORD attributes = 0;
            if (there) {
                ASSERT_TRUE(WriteWholeFile(path, "the user's own bytes"));
                HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
                FILETIME old = {(DWORD)OLD_TIME, (DWORD)(OLD_TIME >> 32)};
                ASSERT_TRUE(SetFileTime(h, nullptr, &old, &old));
                CloseHandle(h);
                ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN));
                attributes = GetFileAttributesA(path.c_str());
            }
            Archive* archive = nullptr;
            ASSERT_EQ(0u, OpenArchive(&archive, zipPath.c_str(), 0, SOURCE_FILE, "pw", 2));
            ASSERT_EQ(0u, SelectEntry(archive, 0));
            FaultsReset(c.faults);
            uint32_t code = ExtractEntry(archive, &path[0], EXTRACT_TO_PATH);
            FaultsReset(FaultPlan());
            ReleaseArchive(archive);
            EXPECT_EQ(c.code, code);

            std::vector<std::string> files;
            ListTree(out.path(), &files, nullptr);
            if (there) {
                EXPECT_EQ(1u, files.size()) << "no temporary file stays";
                EXPECT_EQ("the user's own bytes", ReadWholeFile(path));
                EXPECT_EQ(attributes, GetFileAttributesA(path.c_str()));
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                EXPECT_EQ(OLD_TIME, TimesOf(path).write);
            } else {
                EXPECT_TRUE(files.empty()) << "no file, whole or partial, stays";
            }
        }
    }
}

// Over a file that is there, a whole entry takes its place with the entry's
// bytes, times and attributes; a file that cannot be replaced (read-only, or
// held open by another) is refused with 1 before anything is decoded, and
// keeps its bytes.
TEST_F(ExtractTest, ReplacingAFileThatIsThere)
{
    ZipBuilder::Entry e("r.bin", Sample(70000, false, 12));
    e.centralExtra = UtBlock(1, MODIFIED);
    e.madeBy(HOST_MSDOS);
    e.externalAttributes = 0x21;  // read-only, archive
    OpenedArchive z(ZipBuilder().add(e).build());
    ASSERT_EQ(0u, z.code);

    std::string path = dir.file("r.bin");
    ASSERT_TRUE(WriteWholeFile(path, std::string(100000, 'o')));
    ASSERT_EQ(0u, ToPath(z, 0, "r.bin"));
    EXPECT_TRUE(ReadWholeFile(path) == e.data);
    EXPECT_EQ(UnixToFileTime(MODIFIED), TimesOf(path).write);
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_READONLY, GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY);

    EXPECT_EQ((uint32_t)RESULT_CANT_OPEN, ToPath(z, 0, "r.bin")) << "now read-only";
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(WriteWholeFile(path, "held"));
    HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    EXPECT_EQ((uint32_t)RESULT_CANT_OPEN, ToPath(z, 0, "r.bin")) << "held open";
    CloseHandle(held);
    EXPECT_EQ("held", ReadWholeFile(path));
    std::vector<std::string> files;
    ListTree(dir.path(), &files, nullptr);
    EXPECT_EQ(1u, files.size()) << "no temporary file stays";
}

// Every allocation of an extraction failed in turn: each gives its code and
// nothing leaks, until the extraction succeeds. A WinZip AES entry adds its
// decryption state.
TEST_F(ExtractTest, EachAllocationFailedInTurn)
{
    std::string data = Sample(30000, false, 10);
    ZipBuilder::Entry aes("f.bin", data);
    aes.aesPassword = "pw";
    const std::pair<const char*, std::string> archives[] = {{"deflated", ZipBuilder().add("f.bin", data).build()},
                                                            {"AES, deflated", ZipBuilder().add(aes).build()}};
    for (const auto& [kind, zip] : archives) {
        SCOPED_TRACE(kind);
        int32_t liveBefore = FaultsCounted().liveBlocks;
        bool succeeded = false;
        for (uint32_t n = 1; n < 20 && !succeeded; n++) {
            SCOPED_TRACE("failing allocation " + std::to_string(n));
            {
                OpenedArchive z(zip, "pw");
                ASSERT_EQ(0u, z.code);
                ASSERT_EQ(0u, SelectEntry(z.archive, 0));
                HANDLE file = CreateForWriting(dir.file("alloc.bin"));
                ASSERT_NE(INVALID_HANDLE_VALUE, file);
                FaultPlan plan = {};
                plan.failAllocation = n;
                FaultsReset(plan);
                uint32_t code = ExtractEntry(z.archive, file, EXTRACT_TO_HANDLE);
                FaultsReset(FaultPlan());
                CloseHandle(file);
                EXPECT_EQ(-1, z.archive->currentIndex);
                EXPECT_EQ(nullptr, z.archive->stream);
                if (code == 0) {
                    succeeded = true;
                    EXPECT_TRUE(ReadWholeFile(dir.file("alloc.bin")) == data);
                } else {
                    // zlib allocates its window on the first inflate; that
                    // failure comes back from inflate itself.
                    EXPECT_TRUE(code == RESULT_NO_MEMORY || code == RESULT_FLATE) << "code " << code;
                }
            }
            EXPECT_EQ(liveBefore, FaultsCounted().liveBlocks) << "blocks leaked";
        }
        EXPECT_TRUE(succeeded);
    }
}

// Every read of a file source failed in turn, for stored, deflated and
// WinZip AES data (salt, encrypted data and code are read apart).
TEST_F(ExtractTest, EachReadFailedInTurn)
{
    std::string stored = Sample(40000, false, 11);
    ZipBuilder::Entry aes("a.bin", stored);
    aes.aesPassword = "pw";
    std::string zip = ZipBuilder().add("s.bin", stored, 0).add("d.bin", stored).add(aes).build();
    std::string zipPath = dir.file("source.zip");
    ASSERT_TRUE(WriteWholeFile(zipPath, zip));
    for (uint32_t index = 0; index < 3; index++) {
        SCOPED_TRACE(index == 0 ? "stored" : index == 1 ? "deflated" : "AES, deflated");
        bool succeeded = false;
        for (uint32_t n = 1; n < 30 && !succeeded; n++) {
            SCOPED_TRACE("failing read " + std::to_string(n));
            Archive* archive = nullptr;
            ASSERT_EQ(0u, OpenArchive(&archive, zipPath.c_str(), 0, SOURCE_FILE, "pw", 2));
            ASSERT_EQ(0u, SelectEntry(archive, index));
            std::string out(stored.size(), '\0');
            FaultPlan plan = {};
            plan.failRead = n;
            FaultsReset(plan);
            uint32_t code = ExtractEntry(archive, &out[0], EXTRACT_TO_MEMORY);
            FaultsReset(FaultPlan());
            if (code == 0) {
                succeeded = true;
                EXPECT_TRUE(out == stored);
            } else {
                EXPECT_EQ((uint32_t)RESULT_READ_FAILED, code);
            }
            ReleaseArchive(archive);
        }
        EXPECT_TRUE(succeeded);
    }
}

}  // namespace
