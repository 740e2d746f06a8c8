// getitem_test.cpp -- extracting the current item with GETITEM, as a script
// does: into a variable, to a file named by tail 0 (directories, attributes,
// times), onto a file handle or a pipe; bad arguments, wrong passwords, and
// hostile names that must never put a file outside the script's root.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/winfiles.h"
#include "support/zipbuilder.h"
#include "items/items_support.h"

namespace {

const uint32_t MODIFIED = 1000000000;
const uint32_t ACCESSED = 1100000000;
const uint32_t CREATED = 900000000;

uint64_t UnixTicks(int64_t seconds)
{
    return (uint64_t)(seconds * 10000000 + 116444736000000000LL);
}

uint64_t Ticks(const FILETIME& t)
{
    return (uint64_t)t.dwHighDateTime << 32 | t.dwLowDateTime;
}

// True when `path` lies inside `folder` (not the folder itself).
bool IsUnder(const std::string& path, const std::string& folder)
{
    return path.compare(0, folder.size() + 1, folder + "\\") == 0;
}

// Whether this file system keeps a creation time that SetFileTime gives it
// (Wine on a Linux file system has nowhere to keep one).
bool CreationTimeIsKept(const std::string& probe)
{
    HANDLE file = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    FILETIME set = {0x12345600, 0x01B00000}, got = {};
    SetFileTime(file, &set, nullptr, nullptr);
    GetFileTime(file, &got, nullptr, nullptr);
    CloseHandle(file);
    DeleteFileA(probe.c_str());
    return got.dwLowDateTime == set.dwLowDateTime && got.dwHighDateTime == set.dwHighDateTime;
}

std::string HandleText(HANDLE handle)
{
    return std::to_string((uintptr_t)handle);
}

class GetItemTest : public ItemsTest {
protected:
    void SetUp() override
    {
        ItemsTest::SetUp();
        ASSERT_TRUE(dir.ok());
    }

    // Selects the item at `position` into stem S.; false with a test failure
    // when that does not work.
    bool Select(const std::string& h, int position)
    {
        std::string result = Result(Call("SETCURRENTITEM", {h, "S.", std::to_string(position)}));
        EXPECT_EQ("ok", result) << "selecting item " << position;
        return result == "ok";
    }

    TempDir dir;
};

TEST_F(GetItemTest, MemoryGivesTheEntrysBytes)
{
    std::string noise = NoiseBytes(100000, 7);
    std::string withNuls("a\0b\0\0c", 6);
    ZipBuilder zip;
    zip.add("stored.txt", "stored bytes", 0);
    zip.add("noise.bin", noise);
    zip.add("nuls.bin", withNuls);
    zip.add("secret.txt", "encrypted bytes").back().password = "pw";
    const std::string expected[] = {"stored bytes", noise, withNuls, "encrypted bytes"};
    std::string h = OpenBytes(zip.build(), "pw");
    for (int position = 1; position <= 4; position++) {
        SCOPED_TRACE("item " + std::to_string(position));
        ASSERT_TRUE(Select(h, position));
        host.dropVariable("V");
        EXPECT_EQ("ok", Result(Call("GETITEM", {h, "V", "MEMORY"})));
        std::string v = Var("V");
        EXPECT_EQ(expected[position - 1].size(), v.size());
        EXPECT_TRUE(v == expected[position - 1]) << "the bytes differ";

        // The extraction used up the selection.
        EXPECT_EQ("9", Result(Call("GETITEM", {h, "W", "memory"})));
        EXPECT_EQ("(unset)", Var("W"));
        EXPECT_TRUE(Var("V") == expected[position - 1]) << "a failed GETITEM leaves the variable alone";
    }
}

TEST_F(GetItemTest, AnEmptyEntryGivesTheEmptyString)
{
    ZipBuilder zip;
    zip.add("empty.txt", "", 0);
    zip.add("empty.z", "", 8);
    zip.add("empty.pw", "", 0).back().password = "pw";
    std::string h = OpenBytes(zip.build(), "pw");
    for (int position = 1; position <= 3; position++) {
        SCOPED_TRACE("item " + std::to_string(position));
        ASSERT_TRUE(Select(h, position));
        host.setVariable("V", "old contents");
        EXPECT_EQ("ok", Result(Call("GETITEM", {h, "V", "MEMORY"})));
        EXPECT_EQ("", Var("V"));
    }
}

// A value the host cannot make gives 2; a variable it cannot set (a name
// that is no variable name, or one it refuses) gives 9, never success.
TEST_F(GetItemTest, AValueTheHostCannotMakeOrSet)
{
    std::string h = OpenBytes(ZipBuilder().add("a.txt", "contents").build());
    ASSERT_TRUE(Select(h, 1));
    host.setVariable("V", "old");
    host.failMakeValue(1);
    EXPECT_EQ("2", Result(Call("GETITEM", {h, "V", "MEMORY"})));
    host.clearFaults();
    EXPECT_EQ("old", Var("V"));
    EXPECT_EQ(0u, host.liveValues()) << Join(host.liveValueReport());
    // Selected again, the entry comes out whole.
    ASSERT_TRUE(Select(h, 1));
    EXPECT_EQ("ok", Result(Call("GETITEM", {h, "V", "MEMORY"})));
    EXPECT_EQ("contents", Var("V"));

    ASSERT_TRUE(Select(h, 1));
    EXPECT_EQ("9", Result(Call("GETITEM", {h, "my-var", "MEMORY"})));
    ASSERT_TRUE(Select(h, 1));
    host.failSetVariable("W");
    EXPECT_EQ("9", Result(Call("GETITEM", {h, "W", "MEMORY"})));
    host.clearFaults();
    EXPECT_EQ("(unset)", Var("W"));
    EXPECT_EQ(0u, host.liveValues()) << Join(host.liveValueReport());
}

TEST_F(GetItemTest, NoCurrentEntryReportsNineAndWritesNothing)
{
    std::string h = OpenBytes(ZipBuilder().add("a.txt", "contents").build());
    std::string target = dir.file("a.txt");
    EXPECT_EQ("9", Result(Call("GETITEM", {h, target})));
    EXPECT_FALSE(FileExists(target));
    HANDLE file = CreateFileA(dir.file("h.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ("9", Result(Call("GETITEM", {h, HandleText(file), "PIPE"})));
    EXPECT_EQ(0u, GetFileSize(file, nullptr));
    CloseHandle(file);
}

// Tail 0 names the file under the script's root: GETITEM creates the
// directories on the way and gives the file the entry's attributes and times.
TEST_F(GetItemTest, FileNamedByTailZeroGetsDirectoriesAttributesAndTimes)
{
    std::string data = NoiseBytes(40000, 3);
    ZipBuilder::Entry e("docs/sub/deep/a.bin", data);
    e.madeBy(HOST_UNIX);
    e.externalAttributes = 0x81240000;  // read-only
    e.centralExtra = UtBlock(7, MODIFIED, ACCESSED, CREATED);
    std::string h = OpenBytes(ZipBuilder().add("first.txt", "x").add(e).build());
    std::string root = dir.file("out");
    Call("SETROOTDIR", {h, root});
    ASSERT_EQ("ok", Result(Call("FINDITEM", {h, "S.", "docs/sub/deep/a.bin"})));
    std::string path = Tail(0);
    ASSERT_EQ(root + "\\docs\\sub\\deep\\a.bin", path);

    EXPECT_EQ("ok", Result(Call("GETITEM", {h, path})));
    // The times first: reading the file would move its access time.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    FILETIME creation, access, write;
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(GetFileTime(file, &creation, &access, &write)) << "error " << GetLastError();
    CloseHandle(file);
    EXPECT_EQ(UnixTicks(MODIFIED), Ticks(write));
    EXPECT_EQ(UnixTicks(ACCESSED), Ticks(access));
    if (CreationTimeIsKept(dir.file("probe"))) {
        EXPECT_EQ(UnixTicks(CREATED), Ticks(creation));
    }

    EXPECT_TRUE(ReadWholeFile(path) == data) << "the file's bytes differ";
    DWORD attributes = GetFileAttributesA(path.c_str());
    EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE),
              attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_DIRECTORY))
        << "attributes " << attributes;
}

TEST_F(GetItemTest, TheFileNameIsUsedAsGiven)
{
    std::string h = OpenBytes(ZipBuilder().add("a/b.txt", "bee").build());
    Call("SETROOTDIR", {h, dir.file("root")});
    ASSERT_TRUE(Select(h, 1));
    std::string elsewhere = dir.file("elsewhere/new/name.txt");
    EXPECT_EQ("ok", Result(Call("GETITEM", {h, elsewhere, "FILE"})));
    EXPECT_EQ("bee", ReadWholeFile(elsewhere));
    EXPECT_FALSE(DirectoryExists(dir.file("root"))) << "the root is not added to a name";
}

TEST_F(GetItemTest, ADirectoryEntryBecomesADirectory)
{
    ZipBuilder::Entry d("top/inner/", "", 0);
    d.externalAttributes = 0x10;
    std::string h = OpenBytes(ZipBuilder().add(d).build());
    Call("SETROOTDIR", {h, dir.file("out")});
    ASSERT_TRUE(Select(h, 1));
    ASSERT_EQ(dir.file("out/top/inner/"), Tail(0));
    EXPECT_EQ("ok", Result(Call("GETITEM", {h, Tail(0)})));
    EXPECT_TRUE(DirectoryExists(dir.file("out/top/inner")));
    EXPECT_TRUE(FilesUnder(dir.path()).empty());
}

TEST_F(GetItemTest, OntoAFileHandleAtItsPosition)
{
    std::string data = NoiseBytes(70000, 5);
    std::string h = OpenBytes(ZipBuilder().add("a.bin", data).build());
    std::string path = dir.file("handle.bin");
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "HEAD", 4, &written, nullptr));

    ASSERT_TRUE(Select(h, 1));
    EXPECT_EQ("ok", Result(Call("GETITEM", {h, HandleText(file), "PIPE"})));
    EXPECT_EQ(4 + data.size(), SetFilePointer(file, 0, nullptr, FILE_CURRENT)) << "the handle stays after the data";
    EXPECT_TRUE(WriteFile(file, "TAIL", 4, &written, nullptr)) << "the handle is still open";
    CloseHandle(file);
    EXPECT_TRUE(ReadWholeFile(path) == "HEAD" + data + "TAIL") << "the file's bytes differ";
}

TEST_F(GetItemTest, OntoAPipe)
{
    std::string data = NoiseBytes(200000, 9);
    std::string h = OpenBytes(ZipBuilder().add("piped.bin", data).add("small.txt", "small", 0).build());
    for (int position = 1; position <= 2; position++) {
        SCOPED_TRACE("item " + std::to_string(position));
        HANDLE readEnd, writeEnd;
        ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
        // More than the pipe holds: the other end is read while GETITEM writes.
        std::string received;
        std::thread reader([&] {
            char buffer[8192];
            DWORD got = 0;
            while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0)
                received.append(buffer, got);
        });
        bool selected = Select(h, position);
        std::string result = selected ? Result(Call("GETITEM", {h, HandleText(writeEnd), "Pipe"})) : "";
        CloseHandle(writeEnd);
        reader.join();
        CloseHandle(readEnd);
        EXPECT_EQ("ok", result);
        EXPECT_TRUE(received == (position == 1 ? data : "small")) << "received " << received.size() << " bytes";
    }
}

TEST_F(GetItemTest, BadHandlesAndKindsAreHostErrors)
{
    std::string h = OpenBytes(ZipBuilder().add("a.txt", "abc").build());
    ASSERT_TRUE(Select(h, 1));
    struct Case {
        const char* label;
        morvalin::Arg destination;
        morvalin::Arg kind;
        const char* result;
    };
    const Case cases[] = {
        {"handle 0", "0", "PIPE", "host error 918056"},
        {"letters", "abc", "PIPE", "host error 918056"},
        {"a fraction", "12.5", "PIPE", "host error 918056"},
        {"omitted handle", morvalin::omitted, "PIPE", "host error 918056"},
        {"unknown kind", "V", "DISK", "host error 1835816"},
        {"OPEN's kind", "V", "RESOURCE", "host error 1835816"},
        {"blank after the kind", "V", "MEMORY ", "host error 1835816"},
        {"empty kind", "V", "", "host error 1835816"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.result, Result(Call("GETITEM", {h, c.destination, c.kind})));
        EXPECT_EQ("(unset)", Var("V"));
    }
    // None of them touched the selection.
    EXPECT_EQ("ok", Result(Call("GETITEM", {h, "V", "MEMORY"})));
    EXPECT_EQ("abc", Var("V"));

    // INVALID_HANDLE_VALUE is a number the host accepts, and a file that cannot be opened.
    ASSERT_TRUE(Select(h, 1));
    EXPECT_EQ("1", Result(Call("GETITEM", {h, "-1", "PIPE"})));
}

// A wrong password is found before anything is written: no file is created,
// no variable is set and nothing reaches a handle.
TEST_F(GetItemTest, AWrongPasswordReportsNineteen)
{
    ZipBuilder zip;
    zip.add("secret.txt", std::string(5000, 's')).back().password = "right";
    zip.add("stored.txt", "stored secret", 0).back().password = "right";
    std::string h = OpenBytes(zip.build(), "wrong");
    for (int position = 1; position <= 2; position++) {
        SCOPED_TRACE("item " + std::to_string(position));
        std::string path = dir.file("item" + std::to_string(position) + ".txt");
        ASSERT_TRUE(Select(h, position));
        EXPECT_EQ("19", Result(Call("GETITEM", {h, path})));
        EXPECT_FALSE(FileExists(path));

        ASSERT_TRUE(Select(h, position));
        EXPECT_EQ("19", Result(Call("GETITEM", {h, "V", "MEMORY"})));
        EXPECT_EQ("(unset)", Var("V"));

        HANDLE file = CreateFileA(dir.file("h.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        ASSERT_TRUE(Select(h, position));
        EXPECT_EQ("19", Result(Call("GETITEM", {h, HandleText(file), "PIPE"})));
        EXPECT_EQ(0u, GetFileSize(file, nullptr));
        CloseHandle(file);
    }
    host.dropVariable("ZIPERR");
    ASSERT_TRUE(Select(h, 1));
    EXPECT_EQ("Password is incorrect", Result(Call("GETITEM", {h, "V", "MEMORY"})));
}

// An archive of names made to escape, extracted the way a script does it
// (SETROOTDIR, then GETITEM with tail 0 of each item), with the root three
// folders deep in a private temp folder: every file lands under the root,
// and no marker name turns up anywhere above it.
TEST_F(GetItemTest, NothingIsWrittenOutsideTheRoot)
{
    const std::string marker = "tvesc" + std::to_string(GetCurrentProcessId());
    const std::vector<std::string> names = {
        "../" + marker + "1",
        "../../" + marker + "2",
        "../../../../" + marker + "3",
        "..\\..\\..\\..\\..\\" + marker + "4",
        "a/../../" + marker + "5",
        "a/b/../../../../" + marker + "6",
        "/" + marker + "7",
        "\\" + marker + "8",
        "C:\\" + marker + "9",
        "C:" + marker + "10",
        "C:/windows/../" + marker + "11",
        "//server/share/" + marker + "12",
        "\\\\?\\C:\\" + marker + "13",
        ".. /" + marker + "14",
        ".../" + marker + "15",
        "a/. ./. ./" + marker + "16",
        " ../" + marker + "17",
        "..",
        "a/..",
        "../",
        marker + "18:stream",
        marker + "19::$DATA",
        "CON",
        "aux.txt",
        "x/NUL/" + marker + "20",
        "COM1 .log",
        std::string(250, 'n') + "/../../" + marker + "21",
        "d1/d2/d3/../../../../" + marker + "22",
        "ok/plain.txt",
    };
    ZipBuilder zip;
    for (size_t i = 0; i < names.size(); i++)
        zip.add(names[i], "entry " + std::to_string(i), i % 2 ? 8 : 0);
    std::string h = OpenBytes(zip.build());

    std::string root = dir.file("l1/l2/l3/root");
    Call("SETROOTDIR", {h, root});
    for (size_t i = 0; i < names.size(); i++) {
        SCOPED_TRACE(names[i]);
        ASSERT_TRUE(Select(h, (int)i + 1));
        std::string path = Tail(0);
        ASSERT_EQ(root + "\\", path.substr(0, root.size() + 1));
        std::string result = Result(Call("GETITEM", {h, path}));
        if (path.back() == '\\') {
            // The name ends at the root: a folder entry ("../") makes it, any
            // other has no file to make.
            EXPECT_EQ(names[i].back() == '/' ? "ok" : "1", result);
        } else {
            EXPECT_EQ("ok", result);
            EXPECT_EQ("entry " + std::to_string(i), ReadWholeFile(path)) << path;
        }
    }

    for (const std::string& file : FilesUnder(dir.path()))
        EXPECT_TRUE(IsUnder(file, root)) << file << " is outside the root";
    for (const std::string& folder : FoldersUnder(dir.path()))
        EXPECT_TRUE(folder == root || IsUnder(folder, root) || IsUnder(root, folder))
            << folder << " is beside the root";

    // Above the temp folder nothing is walked, so look for the markers there.
    char current[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, current);
    std::vector<std::string> above = {current, "C:", "C:\\windows"};
    for (std::string folder = dir.path(); folder.find('\\') != std::string::npos;) {
        folder = folder.substr(0, folder.find_last_of('\\'));
        above.push_back(folder);
    }
    for (const std::string& folder : above)
        for (int n = 1; n <= 22; n++) {
            std::string candidate = folder + "\\" + marker + std::to_string(n);
            EXPECT_FALSE(FileExists(candidate)) << candidate;
        }
}

}  // namespace
