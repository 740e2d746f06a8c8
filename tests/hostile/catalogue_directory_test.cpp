// catalogue_directory_test.cpp -- hostile end records and central directories:
// fake end records in the comment, entry counts and header lengths that run
// past the directory, offsets and sizes that overflow 32 bits or lie at and
// beyond 2 GiB, and a directory of 65,535 entries.
#include "catalogue.h"
#include "support/winfiles.h"
#include "support/zipbuilder.h"

namespace {

// An end record with the given fields, to hide in a comment.
std::string FakeEnd(uint16_t thisDisk, uint16_t directoryDisk, uint16_t onDisk, uint16_t total,
                    uint32_t directorySize, uint32_t directoryOffset, uint16_t commentLength = 0)
{
    std::string end;
    PutU32(end, END_RECORD_SIGNATURE);
    PutU16(end, thisDisk);
    PutU16(end, directoryDisk);
    PutU16(end, onDisk);
    PutU16(end, total);
    PutU32(end, directorySize);
    PutU32(end, directoryOffset);
    PutU16(end, commentLength);
    return end;
}

ZipBuilder TwoEntries()
{
    ZipBuilder zip;
    zip.add("one.txt", "one");
    zip.add("two.txt", Text(3000));
    return zip;
}

HostileCase WithEnd(const std::string& name, void (*change)(ZipBuilder::EndRecord&), uint32_t open)
{
    ZipBuilder zip = TwoEntries();
    change(zip.end());
    HostileCase c{name, zip.build()};
    c.open = open;
    return c;
}

std::vector<HostileCase> DirectoryCases()
{
    std::vector<HostileCase> cases;

    // Fake end records in the archive comment: the one nearest the end wins.
    cases.push_back({"fake end record in the comment, multi-disk",
                     TwoEntries().comment(FakeEnd(1, 0, 2, 2, 0, 0)).build(), 8});
    cases.push_back({"fake end record in the comment, directory past it",
                     TwoEntries().comment(FakeEnd(0, 0, 2, 2, 0x1000, 0x1000)).build(), 6});
    {
        HostileCase c{"fake end record in the comment, directory at the fake record",
                      TwoEntries().comment(FakeEnd(0, 0, 5, 5, 0, 0)).build()};
        c.count = 5;
        c.entries = {Unselectable(1, 6)};
        cases.push_back(c);
    }
    {
        // Fields after the signature run past the end of the source and read as 0.
        HostileCase c{"truncated end record at the very end",
                      TwoEntries().trailer(std::string("PK\5\6\0\0", 6)).build()};
        c.count = 0;
        cases.push_back(c);
    }
    {
        ZipLayout layout;
        ZipBuilder zip = TwoEntries();
        zip.build(&layout);
        // The real directory, described again by a record that sits later, so
        // every offset is read shifted.
        zip.comment(FakeEnd(0, 0, 2, 2, layout.centralDirectorySize, layout.centralDirectory));
        HostileCase c{"fake end record in the comment repeating the real one", zip.build()};
        c.count = 2;
        c.entries = {Unselectable(1, 6)};
        cases.push_back(c);
    }

    // Entry counts that disagree with the directory.
    {
        ZipBuilder zip = TwoEntries();
        zip.end().entriesOnDisk = zip.end().totalEntries = 1000;
        HostileCase c{"entry count past the directory", zip.build()};
        c.count = 1000;
        c.entries = {Ok(1, "one"), Ok(2, Text(3000)), Unselectable(3, 6)};
        c.names = {"two.txt", "missing"};
        cases.push_back(c);
    }
    {
        ZipBuilder zip;
        zip.end().entriesOnDisk = zip.end().totalEntries = 65535;
        HostileCase c{"entry count of 65,535 over an empty directory", zip.build()};
        c.count = 65535;
        c.entries = {Unselectable(1, 6)};
        c.names = {"missing"};
        cases.push_back(c);
    }
    {
        ZipBuilder zip = TwoEntries();
        zip.end().entriesOnDisk = zip.end().totalEntries = 1;
        HostileCase c{"entry count below the directory", zip.build()};
        c.count = 1;
        c.entries = {Ok(1, "one")};
        c.more = [](const ScriptRun& run) { EXPECT_EQ(CodeText(run.beyondCode), "4"); };
        cases.push_back(c);
    }
    cases.push_back(WithEnd("entry counts that differ (multi-disk)",
                            [](ZipBuilder::EndRecord& e) { e.totalEntries = 3; }, 8));

    // Header lengths that run past the directory.
    {
        ZipBuilder zip = TwoEntries();
        zip.back().centralNameLength = 0xFFFF;
        HostileCase c{"name length of the last entry past the end", zip.build()};
        c.entries = {Ok(1, "one"), Unselectable(2, 6)};
        c.names = {"two.txt"};
        cases.push_back(c);
    }
    {
        // The first 259 bytes of the name are there; the rest would run past the end.
        ZipBuilder zip = TwoEntries();
        zip.add(std::string(300, 'n'), "long");
        zip.back().centralNameLength = 0xFFFF;
        HostileCase c{"name length past the end beyond the first 259 bytes", zip.build()};
        c.entries = {Ok(1, "one"), Unselectable(3, 6)};
        cases.push_back(c);
    }
    {
        ZipBuilder zip = TwoEntries();
        zip.back().centralExtraLength = 0xFFFF;
        HostileCase c{"extra length of the last entry past the end", zip.build()};
        c.entries = {Ok(1, "one"), Unselectable(2, 6)};
        c.names = {"two.txt"};
        cases.push_back(c);
    }
    {
        ZipBuilder zip = TwoEntries();
        zip.entry(0).commentLength = 0xFFFF;
        HostileCase c{"comment length of the first entry past the end", zip.build()};
        c.entries = {Ok(1, "one"), Unselectable(2, 6)};
        c.names = {"two.txt"};
        cases.push_back(c);
    }
    {
        ZipBuilder zip = TwoEntries();
        zip.entry(0).centralNameLength = 9;  // two bytes into the next header
        HostileCase c{"name length of the first entry into the next header", zip.build()};
        c.entries = {Unselectable(2, 6)};
        cases.push_back(c);
    }

    // Offsets and sizes that overflow 32 bits or lie at and beyond 2 GiB.
    cases.push_back(WithEnd("directory offset plus size overflowing 32 bits", [](ZipBuilder::EndRecord& e) {
        e.centralDirectoryOffset = 0xFFFFFFF0;
        e.centralDirectorySize = 0x20;
    }, 6));
    cases.push_back(WithEnd("directory size of 0xFFFFFFFF",
                            [](ZipBuilder::EndRecord& e) { e.centralDirectorySize = 0xFFFFFFFF; }, 6));
    cases.push_back(WithEnd("directory offset at 2 GiB",
                            [](ZipBuilder::EndRecord& e) { e.centralDirectoryOffset = 0x80000000; }, 6));
    cases.push_back(WithEnd("directory offset beyond 2 GiB",
                            [](ZipBuilder::EndRecord& e) { e.centralDirectoryOffset = 0xC0000000; }, 6));
    for (uint32_t offset : {0x7FFFFFF0u, 0x80000000u, 0xC0000000u, 0xFFFFFFFFu}) {
        ZipBuilder zip;
        zip.add("far.txt", "far away");
        zip.back().localHeaderOffset = offset;
        char name[64];
        snprintf(name, sizeof name, "local header offset 0x%08X", offset);
        HostileCase c{name, zip.build()};
        c.entries = {Fails(1, {7}, {7})};
        cases.push_back(c);
    }
    {
        ZipBuilder zip;
        zip.prefix(NoiseBytes(256));
        zip.add("wrap.txt", "wraps around");
        zip.back().localHeaderOffset = 0xFFFFFFF0;
        HostileCase c{"local header offset plus the bytes before overflowing 32 bits", zip.build()};
        c.entries = {Fails(1, {7}, {7})};
        cases.push_back(c);
    }
    // Forged ZIP64 records and blocks: never a count, offset or size taken
    // past what the source holds. (The reader's own tests break each field
    // of the ZIP64 end record and locator.)
    {
        auto zip64 = [](const std::function<void(ZipBuilder&)>& change) {
            ZipBuilder zip = TwoEntries();
            zip.zip64();
            zip.entry(0).zip64 = zip.entry(1).zip64 = true;
            change(zip);
            return zip;
        };
        HostileCase sound{"ZIP64 records and blocks", zip64([](ZipBuilder&) {}).build()};
        sound.count = 2;
        sound.entries = {Ok(1, "one"), Ok(2, Text(3000))};
        sound.names = {"two.txt"};
        cases.push_back(sound);
        cases.push_back({"ZIP64 count of 2^40 over two entries", zip64([](ZipBuilder& z) {
                             z.end64().entriesOnDisk = z.end64().totalEntries = 1ull << 40;
                         }).build(), 6});
        HostileCase shortBlock{"ZIP64 block shorter than its values", zip64([](ZipBuilder& z) {
                                   z.entry(1).zip64 = false;
                                   z.entry(1).uncompressedSize = z.entry(1).compressedSize = 0xFFFFFFFF;
                                   z.entry(1).localHeaderOffset = 0xFFFFFFFF;
                                   z.entry(1).centralExtra = Zip64Block(3000, 100);
                               }).build()};
        shortBlock.entries = {Ok(1, "one"), Unselectable(2, 6)};
        cases.push_back(shortBlock);
        HostileCase farBlock{"ZIP64 local header offset of 2^63", zip64([](ZipBuilder& z) {
                                 z.entry(1).zip64 = false;
                                 z.entry(1).localHeaderOffset = 0xFFFFFFFF;
                                 z.entry(1).centralExtra = Zip64Block({}, {}, 1ull << 63);
                             }).build()};
        farBlock.entries = {Ok(1, "one"), Fails(2, {7}, {7})};
        cases.push_back(farBlock);
        HostileCase hugeSize{"ZIP64 size of 2^63 over 3,000 bytes", zip64([](ZipBuilder& z) {
                                 z.entry(1).zip64 = false;
                                 z.entry(1).uncompressedSize = 0xFFFFFFFF;
                                 z.entry(1).centralExtra = Zip64Block(1ull << 63);
                             }).build()};
        hugeSize.entries = {Ok(1, "one"), Fails(2, {11}, {18})};
        cases.push_back(hugeSize);
    }
    {
        ZipBuilder zip = TwoEntries();
        zip.prefix(NoiseBytes(1000) + "PK\3\4PK\1\2");
        HostileCase c{"stub of 1,010 bytes before the archive", zip.build()};
        c.entries = {Ok(1, "one"), Ok(2, Text(3000))};
        cases.push_back(c);
    }
    {
        ZipBuilder zip = TwoEntries();
        zip.end().centralDirectoryOffset = 0;
        HostileCase c{"directory offset 0: every local header read shifted", zip.build()};
        c.entries = {Fails(1, {7, 11, 18}, {7, 18}), Fails(2, {7, 11, 18}, {7, 18})};
        cases.push_back(c);
    }

    // Sources too small to hold an end record, and one whose record lies
    // just out of reach of the search.
    cases.push_back({"empty source", "", 6});
    cases.push_back({"source of the 4 bytes PK\\5\\6", "PK\5\6", 6});
    {
        HostileCase c{"end record alone", ZipBuilder().build()};
        c.count = 0;
        c.names = {"anything"};
        cases.push_back(c);
    }
    cases.push_back({"end record 65,536 bytes before the end",
                     TwoEntries().trailer(std::string(65536 - 22, 'x')).build(), 6});

    // A directory of 65,535 entries: a lookup that walks all of it stays quick.
    {
        ZipBuilder zip;
        for (int i = 1; i <= 65535; i++) {
            char name[16];
            snprintf(name, sizeof name, "e%05d", i);
            zip.add(name, "", 0);
        }
        HostileCase c{"65,535 entries", zip.build()};
        c.count = 65535;
        c.maxEntries = 4;
        c.names = {"e65535", "missing"};
        c.more = [](const ScriptRun& run) {
            ASSERT_EQ(run.finds.size(), 4u);
            EXPECT_TRUE(run.finds[0].found) << "the last entry is found by name";
            EXPECT_EQ(CodeText(run.finds[0].memoryCode), "0");
        };
        cases.push_back(c);
    }
    return cases;
}

TEST_F(HostileCatalogue, EndRecordAndWalk)
{
    RunTable(DirectoryCases());
}

}  // namespace

namespace {

// Archive files of 2.5 and 4.5 GiB (sparse, so they cost no disk): positions
// are 64-bit, so an archive at the end of such a file opens and reads, its
// bytes past 4 GiB, where a 32-bit position would wrap onto others.
TEST_F(HostileCatalogue, FilesBeyondTwoGiB)
{
    const uint64_t GIB = 1ull << 30;
    const std::string zip = ZipBuilder().add("a.txt", "at the start").build();
    TempDir scratch;
    ASSERT_TRUE(scratch.ok());
    struct Case {
        const char* name;
        uint64_t size, at;  // the file's size, and where the archive is written
        Codes open;
    } cases[] = {
        // An end record more than 65,535 bytes before the end is not searched for.
        {"archive at the start of 2.5 GiB", 5 * GIB / 2, 0, {6}},
        {"archive at the end of 2.5 GiB", 5 * GIB / 2, 5 * GIB / 2 - zip.size(), {0}},
        {"archive at the start of 4.5 GiB", 9 * GIB / 2, 0, {6}},
        {"archive at the end of 4.5 GiB", 9 * GIB / 2, 9 * GIB / 2 - zip.size(), {0}},
        // Seen through 32 bits alone, the file would be as long as the archive at its start.
        {"archive at the start of 4 GiB + its own size", 4 * GIB + zip.size(), 0, {6}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = scratch.file("big.zip");
        if (!WriteSparseFile(path, c.size, {{c.at, zip}}))
            GTEST_SKIP() << "the file system holds no sparse file of this size";
        for (SourceKind kind : {SourceKind::File, SourceKind::Handle}) {
            SCOPED_TRACE(SourceName(kind));
            ScriptPlan plan;
            plan.root = scratch.path();
            plan.scratch = scratch.path();
            plan.existingFile = path;
            ScriptRun run = RunScript(host, zip, kind, plan);
            std::string problems;
            for (const std::string& p : run.problems)
                problems += "\n  " + p;
            EXPECT_TRUE(run.problems.empty()) << "rules broken:" << problems;
            EXPECT_TRUE(OneOf(run.openCode, c.open)) << "OPEN";
            if (run.openCode == 0) {
                EXPECT_EQ(1u, run.count);
            }
            EXPECT_LT(run.milliseconds, 8000u);
        }
        DeleteFileA(path.c_str());
    }

    // A stored entry of 4.5 GiB, all there (sparse zeros): no variable of
    // the process can hold it, so GETITEM into one gives 2 at once.
    const uint64_t size = 9 * GIB / 2;
    ZipLayout layout;
    std::string bytes = HugeStoredEntry(size, &layout);
    std::string path = scratch.file("huge.zip");
    uint32_t dataStart = layout.dataStarts[0];
    ASSERT_TRUE(WriteSparseFile(path, bytes.size() + size,
                                {{0, bytes.substr(0, dataStart)}, {dataStart + size, bytes.substr(dataStart)}}));
    ScriptPlan plan;
    plan.root = scratch.path();
    plan.scratch = scratch.path();
    plan.existingFile = path;
    plan.toFile = plan.toHandle = false;
    ScriptRun run = RunScript(host, bytes, SourceKind::File, plan);
    EXPECT_EQ(0u, run.openCode);
    ASSERT_NE(nullptr, run.entry(1));
    EXPECT_EQ(size, run.entry(1)->size) << "tail 1";
    EXPECT_EQ(2u, run.entry(1)->memoryCode);
    DeleteFileA(path.c_str());
}

}  // namespace
