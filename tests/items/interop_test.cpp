// interop_test.cpp -- archives made by other tools (Info-ZIP zip in its
// several modes, Python's zipfile, gzip), read through the item functions:
// every entry found by name and by position with the stem its manifest
// describes, and extracted to a file, to a variable and onto a handle, byte
// for byte the file it was made from.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/manifest.h"
#include "support/winfiles.h"
#include "items/items_support.h"

namespace {

struct Interop {
    InteropArchive archive;
    std::vector<ManifestRow> rows;
    bool gzip() const { return archive.kind == "gzip"; }
};

std::vector<Interop> LoadAll()
{
    std::vector<Interop> all;
    for (const InteropArchive& archive : LoadInteropIndex(InteropPath("archives.txt")))
        all.push_back({archive, LoadManifest(InteropPath(archive.file + ".manifest"))});
    return all;
}

std::string Backslashed(std::string name)
{
    for (char& c : name)
        if (c == '/')
            c = '\\';
    return name;
}

// Windows attributes from the recorded ones, by the rules of the system that
// made the entry: DOS bits as they stand, or the Unix mode in the high half.
uint32_t ExpectedAttributes(const Interop& a, const ManifestRow& row)
{
    if (a.gzip())
        return 0;
    if (row.createSystem == 0)
        return row.externalAttributes & 0x37;
    uint32_t mode = row.externalAttributes >> 16;
    uint32_t attributes = FILE_ATTRIBUTE_ARCHIVE;
    if ((mode & 0170000) == 0040000)
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (!(mode & 0200))
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}

// The seven tails the manifest calls for under `root`. The tools wrote their
// DOS stamps in UTC; the reader takes a stamp as local time, so this
// process's zone applies to it. A UT block in the central directory carries
// the modification time, and from libarchive the other two as well.
std::vector<std::string> ExpectedTails(const Interop& a, const ManifestRow& row, const std::string& root)
{
    std::string stamp, modified;
    if (a.gzip()) {
        stamp = modified = row.hasUnixMtime ? UnixTimeText(row.unixMtime) : "16010101 00:00:00";
    } else {
        stamp = LocalStampAsUtcText(row.year, row.month, row.day, row.hour, row.minute, row.second);
        modified = row.hasUnixMtime ? UnixTimeText(row.unixMtime) : stamp;
    }
    std::string accessed = row.hasUnixAtime ? UnixTimeText(row.unixAtime) : stamp;
    std::string created = row.hasUnixCtime ? UnixTimeText(row.unixCtime) : stamp;
    return {root + "\\" + Backslashed(row.name), std::to_string(row.size), std::to_string(row.compressedSize),
            std::to_string(ExpectedAttributes(a, row)), accessed, created, modified};
}

std::string SourceBytes(const ManifestRow& row)
{
    std::string bytes;
    if (!row.isDirectory()) {
        EXPECT_TRUE(ReadWholeFile(InteropPath(row.source), bytes)) << row.source;
    }
    return bytes;
}

class InteropTest : public ItemsTest {
protected:
    void SetUp() override
    {
        ItemsTest::SetUp();
        ASSERT_TRUE(dir.ok());
        all = LoadAll();
        ASSERT_GE(all.size(), 13u) << "build the interop_archives target";
        for (const Interop& a : all)
            ASSERT_FALSE(a.rows.empty()) << a.archive.file << " has no manifest";
    }

    // Opens one interop archive from its file, with its root under the temp folder.
    std::string OpenInterop(const Interop& a)
    {
        std::vector<morvalin::Arg> args = {"H", InteropPath(a.archive.file), "FILE"};
        if (!a.archive.password.empty())
            args.push_back(a.archive.password);
        EXPECT_EQ("ok", Result(Call("OPEN", args)));
        std::string h = Var("H");
        EXPECT_EQ("ok", Result(Call("SETROOTDIR", {h, Root(a)})));
        return h;
    }
    std::string Root(const Interop& a) { return dir.file(a.archive.file); }

    bool Select(const std::string& h, size_t index)
    {
        std::string result = Result(Call("SETCURRENTITEM", {h, "S.", std::to_string(index + 1)}));
        EXPECT_EQ("ok", result) << "selecting item " << index + 1;
        return result == "ok";
    }

    // Opens every interop archive, selects each of its entries in turn, and
    // hands the entry to `check`; an entry that cannot be selected fails there.
    void ForEachSelectedEntry(
        const std::function<void(const Interop&, const std::string& handle, const ManifestRow&)>& check)
    {
        for (const Interop& a : all) {
            SCOPED_TRACE(a.archive.file + " (" + a.archive.tool + ")");
            std::string h = OpenInterop(a);
            for (size_t i = 0; i < a.rows.size(); i++) {
                SCOPED_TRACE(a.rows[i].name);
                if (Select(h, i))
                    check(a, h, a.rows[i]);
            }
            Call("CLOSE", {h});
        }
    }

    TempDir dir;
    std::vector<Interop> all;
};

TEST_F(InteropTest, EveryEntryFoundByPositionAndByName)
{
    for (const Interop& a : all) {
        SCOPED_TRACE(a.archive.file + " (" + a.archive.tool + ")");
        std::string h = OpenInterop(a);
        ASSERT_EQ("ok", Result(Call("FINDITEM", {h, "N"})));
        EXPECT_EQ(std::to_string(a.rows.size()), Var("N"));
        for (size_t i = 0; i < a.rows.size(); i++) {
            const ManifestRow& row = a.rows[i];
            SCOPED_TRACE(row.name);
            std::vector<std::string> expected = ExpectedTails(a, row, Root(a));
            host.dropVariable("S.");
            ASSERT_TRUE(Select(h, i));
            EXPECT_EQ(expected, Tails("S."));
            // gzip -n stores no name, and an empty name asks for the count.
            if (row.name.empty())
                continue;
            host.dropVariable("T.");
            EXPECT_EQ("ok", Result(Call("FINDITEM", {h, "T.", row.name})));
            EXPECT_EQ(expected, Tails("T."));
        }
        Call("CLOSE", {h});
    }
}

TEST_F(InteropTest, EveryEntryExtractedToAFile)
{
    ForEachSelectedEntry([&](const Interop& a, const std::string& h, const ManifestRow& row) {
        std::string path = row.name.empty() ? Root(a) + "\\unnamed" : Tail(0);
        ASSERT_EQ("ok", Result(Call("GETITEM", {h, path})));
        if (row.isDirectory()) {
            EXPECT_TRUE(DirectoryExists(path));
            return;
        }
        std::string bytes;
        ASSERT_TRUE(ReadWholeFile(path, bytes));
        EXPECT_EQ(row.size, bytes.size());
        EXPECT_TRUE(bytes == SourceBytes(row)) << "the extracted bytes differ";
        DWORD attributes = GetFileAttributesA(path.c_str());
        EXPECT_EQ(ExpectedAttributes(a, row) & FILE_ATTRIBUTE_READONLY, attributes & FILE_ATTRIBUTE_READONLY);
    });
}

TEST_F(InteropTest, EveryEntryExtractedToAVariable)
{
    ForEachSelectedEntry([&](const Interop&, const std::string& h, const ManifestRow& row) {
        host.setVariable("V", "before");
        ASSERT_EQ("ok", Result(Call("GETITEM", {h, "V", "MEMORY"})));
        std::string v = Var("V");
        EXPECT_EQ(row.size, v.size());
        EXPECT_TRUE(v == SourceBytes(row)) << "the variable's bytes differ";
    });
}

TEST_F(InteropTest, EveryEntryExtractedOntoAHandle)
{
    std::string path = dir.file("handle.bin");
    ForEachSelectedEntry([&](const Interop&, const std::string& h, const ManifestRow& row) {
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        std::string result = Result(Call("GETITEM", {h, std::to_string((uintptr_t)file), "PIPE"}));
        CloseHandle(file);
        ASSERT_EQ("ok", result);
        std::string bytes;
        ASSERT_TRUE(ReadWholeFile(path, bytes));
        EXPECT_TRUE(bytes == SourceBytes(row)) << "the handle's bytes differ (" << bytes.size() << " bytes)";
    });
}

// WinZip AES archives from 7-Zip and bsdtar: a wrong password stops every
// encrypted entry before its file is even created, and one changed byte in an
// entry's encrypted data fails its authentication code, into a variable and
// onto a file alike.
TEST_F(InteropTest, AesEntriesRefuseAWrongPasswordAndAlteredData)
{
    int archives = 0;
    for (const Interop& a : all) {
        if (a.archive.file.find("aes") == std::string::npos)
            continue;
        archives++;
        SCOPED_TRACE(a.archive.file + " (" + a.archive.tool + ")");
        std::string h = Open(InteropPath(a.archive.file), "FILE", a.archive.password + "!");
        ASSERT_EQ("ok", Result(Call("SETROOTDIR", {h, Root(a)})));
        for (size_t i = 0; i < a.rows.size(); i++) {
            if (a.rows[i].method != 99 || !Select(h, i))
                continue;
            SCOPED_TRACE(a.rows[i].name);
            EXPECT_EQ("19", Result(Call("GETITEM", {h, "V", "MEMORY"})));
            ASSERT_TRUE(Select(h, i));
            std::string path = Tail(0), bytes;
            EXPECT_EQ("19", Result(Call("GETITEM", {h, path})));
            EXPECT_FALSE(ReadWholeFile(path, bytes)) << "a file of " << bytes.size() << " bytes stays";
        }
        Call("CLOSE", {h});

        // The large incompressible entry: its local header comes first in the
        // archive, and its data start after the name and the local extra field.
        std::string zip;
        ASSERT_TRUE(ReadWholeFile(InteropPath(a.archive.file), zip));
        size_t name = zip.find("bin/random.bin");
        ASSERT_NE(std::string::npos, name);
        size_t data = name + 14 + PeekU16(zip, name - 2);
        zip[data + 100000] ^= 0x40;
        h = OpenBytes(zip, a.archive.password);
        ASSERT_EQ("ok", Result(Call("FINDITEM", {h, "S.", "bin/random.bin"})));
        EXPECT_EQ("18", Result(Call("GETITEM", {h, "V", "MEMORY"})));
        ASSERT_EQ("ok", Result(Call("FINDITEM", {h, "S.", "bin/random.bin"})));
        EXPECT_EQ("18", Result(Call("GETITEM", {h, dir.file("altered.bin")})));
        Call("CLOSE", {h});
    }
    EXPECT_EQ(6, archives) << "7-Zip's three key lengths, bsdtar's, and 7-Zip's LZMA and PPMd inside AES";
}

}  // namespace
