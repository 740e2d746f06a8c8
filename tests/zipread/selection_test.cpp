// selection_test.cpp -- walking the central directory and making an entry
// current: by position, by name, in gzip mode, from memory and from a file,
// and on directories that are broken on purpose.
#include <gtest/gtest.h>

#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/gzipbuilder.h"
#include "support/winfiles.h"
#include "support/zipbuilder.h"
#include "zipread/reader_fixture.h"

namespace {

// What a selection left in the record, for comparing two selections.
struct Selected {
    uint32_t code;
    int32_t index;
    std::string path;
    CentralHeader header;
    uint64_t times[3];
};

Selected Snapshot(Archive* archive, uint32_t code)
{
    Selected s;
    s.code = code;
    s.index = archive->currentIndex;
    memset(&s.header, 0, sizeof s.header);
    s.times[0] = s.times[1] = s.times[2] = 0;
    if (code == RESULT_OK) {
        s.path = archive->path;
        s.header = archive->header;
        s.times[0] = Ticks(archive->accessTime);
        s.times[1] = Ticks(archive->creationTime);
        s.times[2] = Ticks(archive->writeTime);
    }
    return s;
}

void ExpectSame(const Selected& expected, const Selected& actual)
{
    EXPECT_EQ(expected.code, actual.code);
    EXPECT_EQ(expected.index, actual.index);
    EXPECT_EQ(expected.path, actual.path);
    EXPECT_EQ(0, memcmp(&expected.header, &actual.header, sizeof expected.header));
    EXPECT_EQ(expected.times[0], actual.times[0]);
    EXPECT_EQ(expected.times[1], actual.times[1]);
    EXPECT_EQ(expected.times[2], actual.times[2]);
}

// Entries whose names, extra fields and comments differ in length, so that
// a walk that loses count of a header's parts lands in the wrong place.
ZipBuilder VariedArchive(int count)
{
    ZipBuilder zip;
    for (int i = 0; i < count; i++) {
        std::string name = "dir" + std::to_string(i % 4) + "/file" + std::to_string(i) + ".txt";
        if (i % 11 == 7)
            name += std::string(280, 'L');  // longer than the 259 bytes kept
        ZipBuilder::Entry e(name, "contents of entry " + std::to_string(i), i % 3 == 0 ? 0 : 8);
        e.stamp(DosStamp(2001, 1 + i % 12, 1 + i % 28, i % 24, i % 60, 2 * (i % 30)));
        if (i % 2)
            e.centralExtra = ExtraBlock(0xCAFE, std::string(i % 9, 'x')) + UtBlock(1, 1000000 + i);
        e.comment = std::string(i % 5, 'c');
        zip.add(e);
    }
    return zip;
}

// Selecting by position in the given order must give, every time, what a
// walk from the first entry of a freshly opened archive gives.
void ExpectOrderMatchesFreshWalks(const std::string& bytes, Archive* archive,
                                  const std::vector<uint32_t>& order)
{
    for (uint32_t index : order) {
        SCOPED_TRACE("index " + std::to_string(index));
        OpenedArchive fresh(bytes);
        ASSERT_EQ(RESULT_OK, fresh.code);
        Selected expected = Snapshot(fresh, SelectEntry(fresh, index));
        Selected actual = Snapshot(archive, SelectEntry(archive, index));
        ExpectSame(expected, actual);
    }
}

std::vector<uint32_t> MixedOrder(uint32_t count)
{
    std::vector<uint32_t> order;
    for (uint32_t i = 0; i < count; i++)
        order.push_back(i);  // forwards, as a script listing the archive does
    for (uint32_t i = count; i-- > 0;)
        order.push_back(i);  // backwards
    for (uint32_t i : {5u, 5u, 6u, count, 4u, count - 1, 0u, 0xFFFFFFFFu, 3u, 7u, 7u, 8u, 2u})
        order.push_back(i);
    for (uint32_t i = 1; i < count; i += 3)
        order.push_back(i);  // skipping ahead
    return order;
}

TEST(SelectByPosition, FirstLastAndBeyondTheEnd)
{
    ZipLayout layout;
    auto bytes = ZipBuilder().add("one.txt", "1").add("two.txt", "22").add("three.txt", "333").build(&layout);
    OpenedArchive a(bytes);
    ASSERT_EQ(RESULT_OK, a.code);
    UseTestRoot(a);

    ASSERT_EQ(RESULT_OK, SelectEntry(a, 0));
    EXPECT_EQ(0, a->currentIndex);
    EXPECT_EQ("one.txt", NamePart(a));
    EXPECT_EQ(1u, a->header.uncompressedSize);

    ASSERT_EQ(RESULT_OK, SelectEntry(a, 2));
    EXPECT_EQ(2, a->currentIndex);
    EXPECT_EQ("three.txt", NamePart(a));
    EXPECT_EQ(layout.localHeaders[2], a->header.localHeaderOffset);

    for (uint32_t index : {3u, 4u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE("index " + std::to_string(index));
        ASSERT_EQ(RESULT_OK, SelectEntry(a, 1));
        EXPECT_EQ(RESULT_NOT_FOUND, SelectEntry(a, index));
        EXPECT_EQ(-1, a->currentIndex);
        EXPECT_EQ(nullptr, a->stream);
        EXPECT_EQ(RESULT_NOT_FOUND, a->error);
    }
}

TEST(SelectByPosition, EveryHeaderFieldIsDecoded)
{
    ZipBuilder zip;
    zip.prefix("MZ stub before the archive");
    zip.add("pad.txt", "padding");
    ZipBuilder::Entry e("fields.bin", "0123456789", 0);
    e.versionMadeBy = 0x0B3F;  // host 11 keeps DOS attribute bits
    e.versionNeeded = 0x0014;
    e.flags = 0x0800;
    e.stamp(DosStamp(2010, 11, 12, 13, 14, 16));
    e.crc = 0xA1B2C3D4;
    e.uncompressedSize = 0x00123456;
    e.internalAttributes = 0x0101;
    e.externalAttributes = 0xFFFF0023;
    e.centralExtra = ExtraBlock(0x0001, "12345678");
    e.comment = "a comment";
    zip.add(e);
    ZipLayout layout;
    auto bytes = zip.build(&layout);

    OpenedArchive a(bytes);
    ASSERT_EQ(RESULT_OK, a.code);
    ASSERT_EQ(RESULT_OK, SelectEntry(a, 1));
    const CentralHeader& h = a->header;
    EXPECT_EQ(0x0B3F, h.versionMadeBy);
    EXPECT_EQ(0x0014, h.versionNeeded);
    EXPECT_EQ(0x0800, h.flags);
    EXPECT_EQ(METHOD_STORED, h.method);
    EXPECT_EQ(e.dosTime, h.dosTime);
    EXPECT_EQ(e.dosDate, h.dosDate);
    EXPECT_EQ(0xA1B2C3D4u, h.crc32);
    EXPECT_EQ(10u, h.compressedSize);
    EXPECT_EQ(0x00123456u, h.uncompressedSize);
    EXPECT_EQ(10, h.nameLength);
    EXPECT_EQ(12, h.extraLength);
    EXPECT_EQ(9, h.commentLength);
    EXPECT_EQ(0, h.diskStart);
    EXPECT_EQ(0x0101, h.internalAttributes);
    EXPECT_EQ(0x23u, h.externalAttributes);  // mapped: 0x37 of the DOS bits
    // Recorded offsets do not count the stub; the reader adds it when it seeks.
    EXPECT_EQ(layout.localHeaders[1] - layout.prefixLength, h.localHeaderOffset);
    EXPECT_EQ(layout.centralHeaders[1] - layout.prefixLength, a->currentHeaderOffset);
}

TEST(SelectByPosition, AnyOrderGivesWhatAFreshWalkGives)
{
    auto bytes = VariedArchive(60).build();
    OpenedArchive a(bytes);
    ASSERT_EQ(RESULT_OK, a.code);
    ExpectOrderMatchesFreshWalks(bytes, a, MixedOrder(60));
}

TEST(SelectByPosition, ResumingNeverPassesOverABrokenHeader)
{
    // Header 20 has no signature, entry 30 has an unsupported method (6,
    // implode), and the
    // end record counts more entries than the directory holds.
    ZipBuilder zip = VariedArchive(40);
    zip.entry(30).method = 6;
    zip.end().entriesOnDisk = 45;
    zip.end().totalEntries = 45;
    ZipLayout layout;
    auto bytes = zip.build(&layout);
    auto broken = bytes;
    PokeU32(broken, layout.centralHeaders[20], 0x02014b51);

    for (const std::string* archiveBytes : {&bytes, &broken}) {
        SCOPED_TRACE(archiveBytes == &bytes ? "count beyond the directory" : "also a broken header");
        OpenedArchive a(*archiveBytes);
        ASSERT_EQ(RESULT_OK, a.code);
        ExpectOrderMatchesFreshWalks(*archiveBytes, a, MixedOrder(45));
        // A selection just past the broken header, then before it, then past it.
        ExpectOrderMatchesFreshWalks(*archiveBytes, a, {19, 21, 19, 20, 29, 30, 31, 44, 39, 40, 41});
    }
}

TEST(SelectByPosition, NoEntries)
{
    auto bytes = ZipBuilder().build();
    OpenedArchive a(bytes);
    ASSERT_EQ(RESULT_OK, a.code);
    ASSERT_EQ(0u, a->entryCount);
    EXPECT_EQ(RESULT_NOT_FOUND, SelectEntry(a, 0));
    EXPECT_EQ(-1, a->currentIndex);
    EXPECT_EQ(RESULT_NOT_FOUND, FindEntry(a, "a.txt", 0));
    EXPECT_EQ(-1, a->currentIndex);
}

TEST(SelectByPosition, UnsupportedMethodIsFoundButNotSelected)
{
    auto bytes = ZipBuilder()
                     .add("a.txt", "a", 8)
                     .add("b.txt", "b", 6)   // implode
                     .add("c.txt", "c", 1)   // shrink
                     .add("d.txt", "d", 0)
                     .build();
    OpenedArchive a(bytes);
    ASSERT_EQ(RESULT_OK, a.code);
    for (uint32_t index : {1u, 2u}) {
        SCOPED_TRACE("index " + std::to_string(index));
        ASSERT_EQ(RESULT_OK, SelectEntry(a, 0));
        EXPECT_EQ(RESULT_UNSUPPORTED, SelectEntry(a, index));
        EXPECT_EQ(-1, a->currentIndex);
    }
    ASSERT_EQ(RESULT_OK, SelectEntry(a, 0));
    EXPECT_EQ(RESULT_UNSUPPORTED, FindEntry(a, "b.txt", 0));
    EXPECT_EQ(-1, a->currentIndex);
    // The entries after it are still reached.
    EXPECT_EQ(RESULT_OK, SelectEntry(a, 3));
    EXPECT_EQ(3, a->currentIndex);
    EXPECT_EQ(RESULT_OK, FindEntry(a, "d.txt", 0));
}

TEST(FindByName, ComparesNamesAsStored)
{
    auto bytes = ZipBuilder()
                     .add("readme", "r")
                     .add("dir/file.txt", "first")
                     .add("Other.TXT", "o")
                     .add("dir/file.txt", "second copy")
                     .build();
    OpenedArchive a(bytes);
    ASSERT_EQ(RESULT_OK, a.code);
    UseTestRoot(a);

    struct Case {
        const char* label;
        const char* name;
        uint32_t flags;
        uint32_t code;
        int32_t index;
        const char* path;     // after the root, when found
        uint32_t size;        // uncompressed size of the entry found
    };
    const Case cases[] = {
        {"exact name; the first of two copies wins", "dir/file.txt", 0, RESULT_OK, 1, "dir\\file.txt", 5},
        {"backslash is not slash", "dir\\file.txt", 0, RESULT_NOT_FOUND, -1, "", 0},
        {"other case without flag", "DIR/FILE.TXT", 0, RESULT_NOT_FOUND, -1, "", 0},
        {"other case with flag 1", "DIR/FILE.TXT", 1, RESULT_OK, 1, "dir\\file.txt", 5},
        {"stored in mixed case", "other.txt", 1, RESULT_OK, 2, "Other.TXT", 1},
        {"stored in mixed case, exact", "Other.TXT", 0, RESULT_OK, 2, "Other.TXT", 1},
        {"other flag bits do not ignore case", "other.txt", 2, RESULT_NOT_FOUND, -1, "", 0},
        {"a prefix of a name", "dir/file", 0, RESULT_NOT_FOUND, -1, "", 0},
        {"a name with more after it", "readme2", 0, RESULT_NOT_FOUND, -1, "", 0},
        {"empty name", "", 0, RESULT_NOT_FOUND, -1, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        // Each lookup ends the previous selection, found or not.
        ASSERT_EQ(RESULT_OK, SelectEntry(a, 0));
        EXPECT_EQ(c.code, FindEntry(a, c.name, c.flags));
        EXPECT_EQ(c.index, a->currentIndex);
        if (c.code == RESULT_OK) {
            EXPECT_EQ(c.path, NamePart(a));
            EXPECT_EQ(c.size, a->header.uncompressedSize);
        }
    }
}

TEST(FindByName, NamesOf256CharactersAreRefused)
{
    std::string name255 = std::string(100, 'a') + "/" + std::string(154, 'b');
    ASSERT_EQ(255u, name255.size());
    std::string name256 = name255 + "c";
    auto bytes = ZipBuilder().add("first", "1").add(name255, "255").add(name256, "256").build();
    OpenedArchive a(bytes);
    ASSERT_EQ(RESULT_OK, a.code);

    // Refused without a walk, and like every failed lookup it leaves no
    // current entry: the one selected before must not be extracted instead.
    ASSERT_EQ(RESULT_OK, SelectEntry(a, 0));
    EXPECT_EQ(RESULT_BAD_ARGUMENTS, FindEntry(a, name256.c_str(), 0));
    EXPECT_EQ(-1, a->currentIndex);
    ASSERT_EQ(RESULT_OK, SelectEntry(a, 0));
    EXPECT_EQ(RESULT_BAD_ARGUMENTS, FindEntry(a, (name256 + std::string(1000, 'd')).c_str(), 1));
    EXPECT_EQ(-1, a->currentIndex);

    EXPECT_EQ(RESULT_OK, FindEntry(a, name255.c_str(), 0));
    EXPECT_EQ(1, a->currentIndex);
    EXPECT_EQ(3u, a->header.uncompressedSize);
}

TEST(FindByName, OverLongNamesKeepTheWalkInStep)
{
    // Only 259 bytes of a name are kept; the rest is passed over, so the
    // extra field and the next header are still read from their places.
    ZipBuilder zip;
    zip.add(std::string(300, 'L'), "long");
    zip.add(std::string(65535, 'M'), "longest");
    ZipBuilder::Entry after("after.txt", "after the long names");
    after.centralExtra = UtBlock(1, 1234567890);
    zip.add(after);
    auto bytes = zip.build();
    OpenedArchive a(bytes);
    ASSERT_EQ(RESULT_OK, a.code);

    ASSERT_EQ(RESULT_OK, FindEntry(a, "after.txt", 0));
    EXPECT_EQ(2, a->currentIndex);
    EXPECT_EQ(20u, a->header.uncompressedSize);
    EXPECT_EQ(UnixTicks(1234567890), Ticks(a->writeTime));

    ASSERT_EQ(RESULT_OK, SelectEntry(a, 1));
    EXPECT_EQ(65535, a->header.nameLength);
    ASSERT_EQ(RESULT_OK, SelectEntry(a, 2));
    EXPECT_EQ(UnixTicks(1234567890), Ticks(a->writeTime));
    // A name only its first 259 bytes of which match is not found.
    EXPECT_EQ(RESULT_NOT_FOUND, FindEntry(a, std::string(255, 'L').c_str(), 0));
}

// One broken archive, one lookup, the code it must give.
struct BrokenCase {
    const char* label;
    std::function<std::string()> make;
    std::function<uint32_t(Archive*)> lookup;
    uint32_t code;
};

std::function<uint32_t(Archive*)> Select(uint32_t index)
{
    return [index](Archive* a) { return SelectEntry(a, index); };
}

std::function<uint32_t(Archive*)> Find(const char* name)
{
    return [name](Archive* a) { return FindEntry(a, name, 0); };
}

std::string TwoEntries(ZipLayout* layout, std::function<void(ZipBuilder&)> change = nullptr)
{
    ZipBuilder zip;
    zip.add("a.txt", "aaaa").add("b.txt", "bbbb");
    if (change)
        change(zip);
    return zip.build(layout);
}

std::string WithoutSignature(int header)
{
    ZipLayout layout;
    auto bytes = TwoEntries(&layout);
    PokeU32(bytes, layout.centralHeaders[header], 0x02014b51);
    return bytes;
}

// The second header is found in the archive comment, where its signature
// stands with only 5 of its 42 bytes after it.
std::string SecondHeaderCutShort()
{
    ZipLayout layout;
    auto bytes = ZipBuilder().add("a.txt", "aaaa").comment(std::string("PK\x01\x02", 4) + "12345").build(&layout);
    PokeU16(bytes, layout.endRecord + 8, 2);   // entries on this disk
    PokeU16(bytes, layout.endRecord + 10, 2);  // total entries
    uint32_t next = layout.centralHeaders[0] + CENTRAL_HEADER_SIZE + 5;
    uint32_t comment = layout.endRecord + END_RECORD_SIZE;
    PokeU16(bytes, layout.centralHeaders[0] + 32, (uint16_t)(comment - next));
    return bytes;
}

std::string LastEntryLengths(uint16_t nameLength, uint16_t extraLength, const std::string& comment = "")
{
    ZipLayout layout;
    auto bytes = TwoEntries(&layout, [&](ZipBuilder& z) {
        z.comment(comment);
        if (nameLength)
            z.back().centralNameLength = nameLength;
        if (extraLength)
            z.back().centralExtraLength = extraLength;
    });
    return bytes;
}

TEST(BrokenDirectory, EveryFaultHasItsCodeAndLeavesNoCurrentEntry)
{
    const BrokenCase cases[] = {
        {"first header without signature, by position", [] { return WithoutSignature(0); }, Select(0),
         RESULT_CORRUPT},
        {"first header without signature, by name", [] { return WithoutSignature(0); }, Find("a.txt"),
         RESULT_CORRUPT},
        {"second header without signature", [] { return WithoutSignature(1); }, Select(1), RESULT_CORRUPT},
        {"second header without signature, found before it", [] { return WithoutSignature(1); },
         Find("a.txt"), RESULT_OK},
        {"second header without signature, looked up past it", [] { return WithoutSignature(1); },
         Find("b.txt"), RESULT_CORRUPT},
        {"header cut short", SecondHeaderCutShort, Select(1), RESULT_CORRUPT},
        {"header cut short, by name", SecondHeaderCutShort, Find("zzz"), RESULT_CORRUPT},
        {"entry count larger than the directory",
         [] {
             ZipLayout l;
             return TwoEntries(&l, [](ZipBuilder& z) {
                 z.end().entriesOnDisk = 3;
                 z.end().totalEntries = 3;
             });
         },
         Select(2), RESULT_CORRUPT},
        {"entry count larger than the directory, a miss by name",
         [] {
             ZipLayout l;
             return TwoEntries(&l, [](ZipBuilder& z) {
                 z.end().entriesOnDisk = 3;
                 z.end().totalEntries = 3;
             });
         },
         Find("missing"), RESULT_CORRUPT},
        {"name cut short", [] { return LastEntryLengths(200, 0); }, Select(1), RESULT_CORRUPT},
        {"name cut short, by name", [] { return LastEntryLengths(200, 0); }, Find("nope"), RESULT_CORRUPT},
        {"over-long name running past the end", [] { return LastEntryLengths(0xFFFF, 0, std::string(1000, 'c')); },
         Select(1), RESULT_CORRUPT},
        {"extra field cut short", [] { return LastEntryLengths(0, 0xFFFF); }, Select(1), RESULT_CORRUPT},
        {"extra field cut short, by name", [] { return LastEntryLengths(0, 0xFFFF); }, Find("b.txt"),
         RESULT_CORRUPT},
        {"extra field cut short, a miss by name", [] { return LastEntryLengths(0, 0xFFFF); }, Find("nope"),
         RESULT_NOT_FOUND},
        {"comment length running past the end",
         [] {
             ZipLayout l;
             return TwoEntries(&l, [](ZipBuilder& z) { z.entry(0).commentLength = 0xFFFF; });
         },
         Select(1), RESULT_CORRUPT},
        {"the entry before a broken comment length is sound",
         [] {
             ZipLayout l;
             return TwoEntries(&l, [](ZipBuilder& z) { z.entry(0).commentLength = 0xFFFF; });
         },
         Select(0), RESULT_OK},
    };
    for (const BrokenCase& c : cases) {
        SCOPED_TRACE(c.label);
        auto bytes = c.make();
        OpenedArchive a(bytes);
        ASSERT_EQ(RESULT_OK, a.code);
        // A selection that stood before the lookup must not survive a failure.
        if (c.code != RESULT_OK)
            SelectEntry(a, 0);
        EXPECT_EQ(c.code, c.lookup(a));
        EXPECT_EQ(c.code, a->error);
        if (c.code != RESULT_OK) {
            EXPECT_EQ(-1, a->currentIndex);
            EXPECT_EQ(nullptr, a->stream);
        }
    }
}

TEST(GzipEntry, TheMemberIsTheOneEntry)
{
    const std::string data = "hello gzip, hello gzip, hello gzip";
    GzipLayout layout;
    auto bytes = GzipBuilder().data(data).name("data.txt").mtime(981173106).build(&layout);
    OpenedArchive a(bytes);
    ASSERT_EQ(RESULT_OK, a.code);
    ASSERT_TRUE(a->flags & ARCHIVE_GZIP);
    UseTestRoot(a);

    ASSERT_EQ(RESULT_OK, SelectEntry(a, 0));
    EXPECT_EQ(0, a->currentIndex);
    EXPECT_EQ("data.txt", NamePart(a));
    const CentralHeader& h = a->header;
    EXPECT_EQ(METHOD_DEFLATED, h.method);
    EXPECT_EQ(8, h.nameLength);
    EXPECT_EQ(0, h.extraLength);
    EXPECT_EQ(0, h.versionMadeBy);
    EXPECT_EQ(0, h.flags);
    EXPECT_EQ(Crc32(data), h.crc32);
    EXPECT_EQ(data.size(), h.uncompressedSize);
    EXPECT_EQ(layout.dataStart, h.localHeaderOffset);
    EXPECT_EQ(layout.trailer - layout.dataStart, h.compressedSize);
    EXPECT_EQ(0u, h.externalAttributes);
    // MTIME is Unix seconds, for all three times.
    EXPECT_EQ(UnixTicks(981173106), Ticks(a->writeTime));
    EXPECT_EQ(UnixTicks(981173106), Ticks(a->accessTime));
    EXPECT_EQ(UnixTicks(981173106), Ticks(a->creationTime));

    EXPECT_EQ(RESULT_NOT_FOUND, SelectEntry(a, 1));
    EXPECT_EQ(-1, a->currentIndex);
    EXPECT_EQ(RESULT_OK, FindEntry(a, "data.txt", 0));
    EXPECT_EQ(RESULT_OK, FindEntry(a, "DATA.TXT", 1));
    EXPECT_EQ(RESULT_NOT_FOUND, FindEntry(a, "DATA.TXT", 0));
    EXPECT_EQ(-1, a->currentIndex);

    // Past the one entry: 4, and the walk stays where it stood.
    a->error = RESULT_OK;
    GoToFirstEntry(a);
    ASSERT_EQ(RESULT_OK, a->error);
    GoToNextEntry(a);
    EXPECT_EQ(RESULT_NOT_FOUND, a->error);
    EXPECT_EQ(0, a->currentIndex);
}

TEST(GzipEntry, OptionalHeaderPartsArePassedOver)
{
    struct Case {
        const char* label;
        GzipBuilder gz;
        const char* name;
    };
    const std::string data = "payload";
    const Case cases[] = {
        {"no name", GzipBuilder().data(data), ""},
        {"extra field", GzipBuilder().data(data).extra(std::string(300, 'e')).name("x.bin"), "x.bin"},
        {"comment", GzipBuilder().data(data).name("n").comment("a comment"), "n"},
        {"header CRC", GzipBuilder().data(data).name("crc.txt").headerCrc(), "crc.txt"},
        {"every part", GzipBuilder().data(data).extra("ex").name("all.txt").comment("c").headerCrc().text(),
         "all.txt"},
        {"empty extra field", GzipBuilder().data(data).extra(""), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        GzipLayout layout;
        auto bytes = c.gz.build(&layout);
        OpenedArchive a(bytes);
        ASSERT_EQ(RESULT_OK, a.code);
        UseTestRoot(a);
        ASSERT_EQ(RESULT_OK, SelectEntry(a, 0));
        EXPECT_EQ(c.name, NamePart(a));
        EXPECT_EQ(strlen(c.name), a->header.nameLength);
        EXPECT_EQ(layout.dataStart, a->header.localHeaderOffset);
        EXPECT_EQ(layout.trailer - layout.dataStart, a->header.compressedSize);
        EXPECT_EQ(data.size(), a->header.uncompressedSize);
        // No MTIME: no time at all, rather than one made up.
        EXPECT_EQ(0u, Ticks(a->writeTime));
        EXPECT_EQ(0u, Ticks(a->accessTime));
        EXPECT_EQ(0u, Ticks(a->creationTime));
    }
}

TEST(GzipEntry, HeaderOrTrailerCutShortIsCorrupt)
{
    GzipLayout full;
    auto extraName = GzipBuilder().data("abc").extra(std::string(40, 'e')).name("name.txt").build(&full);
    auto comment = GzipBuilder().data("abc").comment("a comment here").build();
    // No deflate data at all: the header ends exactly 8 bytes before the end.
    auto plain = GzipBuilder().rawPayload("").build();

    struct Case {
        const char* label;
        std::string bytes;
        uint32_t code;
    };
    const Case cases[] = {
        {"cut inside XLEN", extraName.substr(0, 11), RESULT_CORRUPT},
        {"cut inside the FEXTRA data", extraName.substr(0, 12 + 20), RESULT_CORRUPT},
        {"cut inside FNAME", extraName.substr(0, 12 + 40 + 4), RESULT_CORRUPT},
        {"FNAME without its NUL", extraName.substr(0, 12 + 40 + 8), RESULT_CORRUPT},
        {"cut inside FCOMMENT", comment.substr(0, 10 + 5), RESULT_CORRUPT},
        {"cut right after the fixed header", plain.substr(0, 10), RESULT_CORRUPT},
        {"trailer of 7 bytes", plain.substr(0, plain.size() - 1), RESULT_CORRUPT},
        {"only the magic", plain.substr(0, 2), RESULT_CORRUPT},
        {"header and a trailer, no data", plain, RESULT_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        OpenedArchive a(c.bytes);
        ASSERT_EQ(RESULT_OK, a.code);
        ASSERT_TRUE(a->flags & ARCHIVE_GZIP);
        EXPECT_EQ(c.code, SelectEntry(a, 0));
        if (c.code == RESULT_OK) {
            EXPECT_EQ(0u, a->header.compressedSize);
            EXPECT_EQ(10u, a->header.localHeaderOffset);
        } else {
            EXPECT_EQ(-1, a->currentIndex);
            EXPECT_EQ(c.code, FindEntry(a, "name.txt", 0));
            EXPECT_EQ(-1, a->currentIndex);
        }
    }
}

// A gzip member of 4 GiB or more: its trailer holds the size modulo 2^32, as
// the format says, so the stream's own end and the CRC-32 decide, and a file
// or handle gets the whole member. The data are 4 GiB and 1 MiB of zeros,
// each MiB deflated alone (a full flush forgets the history), so one MiB's
// deflate data, repeated, is the whole stream.
TEST(GzipEntry, FourGiBAndMoreComparesTheSizeModulo32Bits)
{
    const uint32_t MIB = 1u << 20;
    const uint32_t chunks = 4097;
    std::string zeros(MIB, '\0');
    z_stream z = {};
    ASSERT_EQ(Z_OK, deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY));
    std::string chunk(MIB, '\0'), end(64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(&zeros[0]);
    z.avail_in = MIB;
    z.next_out = reinterpret_cast<Bytef*>(&chunk[0]);
    z.avail_out = MIB;
    ASSERT_EQ(Z_OK, deflate(&z, Z_FULL_FLUSH));
    ASSERT_EQ(0u, z.avail_in);
    chunk.resize(MIB - z.avail_out);
    z.next_out = reinterpret_cast<Bytef*>(&end[0]);
    z.avail_out = (uInt)end.size();
    ASSERT_EQ(Z_STREAM_END, deflate(&z, Z_FINISH));
    end.resize(end.size() - z.avail_out);
    deflateEnd(&z);

    std::string stream;
    stream.reserve(chunk.size() * chunks + end.size());
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(zeros.data()), MIB), whole = crc;
    for (uint32_t i = 0; i < chunks; i++) {
        stream += chunk;
        if (i > 0)
            whole = crc32_combine(whole, crc, MIB);
    }
    stream += end;
    std::string gz = GzipBuilder().rawPayload(stream).crc((uint32_t)whole).isize(chunks * MIB).build();

    OpenedArchive a(gz);
    ASSERT_EQ(RESULT_OK, a.code);
    ASSERT_EQ(RESULT_OK, SelectEntry(a, 0));
    EXPECT_EQ((uint64_t)MIB, a->header.uncompressedSize) << "tail 1 is the trailer's";
    HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, nul);
    EXPECT_EQ(RESULT_OK, ExtractEntry(a, nul, EXTRACT_TO_HANDLE));
    CloseHandle(nul);
}

TEST(FileSource, SelectionsThroughAHandleMatchMemory)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    struct Case {
        const char* label;
        std::string bytes;
    };
    ZipBuilder withStub = VariedArchive(50);
    withStub.prefix(std::string(5000, 'S'));
    const Case cases[] = {
        {"zip", VariedArchive(50).build()},
        {"zip after a stub", withStub.build()},
        {"gzip", GzipBuilder().data(std::string(20000, 'g')).name("big.txt").comment("c").mtime(7).build()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string file = dir.file(std::string(c.label) + ".bin");
        ASSERT_TRUE(WriteWholeFile(file, c.bytes));
        OpenedArchive a(file, SOURCE_FILE);
        ASSERT_EQ(RESULT_OK, a.code);
        OpenedArchive m(c.bytes);
        ASSERT_EQ(RESULT_OK, m.code);
        std::vector<uint32_t> order = MixedOrder(a->entryCount);
        for (uint32_t index : order) {
            SCOPED_TRACE("index " + std::to_string(index));
            ExpectSame(Snapshot(m, SelectEntry(m, index)), Snapshot(a, SelectEntry(a, index)));
        }
        ASSERT_EQ(RESULT_OK, SelectEntry(m, a->entryCount - 1));
        std::string lastName = m->path + m->rootLength;
        if (!(a->flags & ARCHIVE_GZIP)) {
            // FindEntry compares stored names; the path has backslashes.
            for (char& ch : lastName)
                if (ch == '\\')
                    ch = '/';
        }
        EXPECT_EQ(RESULT_OK, FindEntry(a, lastName.c_str(), 0));
        EXPECT_EQ((int32_t)a->entryCount - 1, a->currentIndex);
    }
}

}  // namespace

namespace {

const uint64_t HUGE_VALUE = 1ull << 63;

// Two ZIP64 entries (sizes and offsets in the ZIP64 block) behind a ZIP64
// end record and locator; `change` breaks it.
std::string Zip64Archive(std::function<void(ZipBuilder&)> change = nullptr, ZipLayout* layout = nullptr)
{
    ZipBuilder zip;
    zip.zip64();
    zip.add("first.txt", Sample(3000, true)).back().zip64 = true;
    zip.add("second.bin", Sample(5000, false), 0).back().zip64 = true;
    if (change)
        change(zip);
    return zip.build(layout);
}

// The archive with the ZIP64 end record's bytes changed at `offset` (from
// its signature) to the 64-bit `value`.
std::string Zip64EndPatched(uint32_t offset, uint64_t value)
{
    ZipLayout layout;
    std::string bytes = Zip64Archive(nullptr, &layout);
    PokeU32(bytes, layout.zip64End + offset, (uint32_t)value);
    PokeU32(bytes, layout.zip64End + offset + 4, (uint32_t)(value >> 32));
    return bytes;
}

TEST(Zip64, EndRecordsAndExtraFieldsStandInForAllOnes)
{
    struct Case {
        const char* label;
        std::string bytes;
        uint32_t open;       // OpenArchive's code
        uint32_t count;      // entries, when it opens
        uint32_t selectLast; // SelectEntry of the last entry
    };
    const Case cases[] = {
        {"sound", Zip64Archive(), RESULT_OK, 2, RESULT_OK},
        {"after a stub", Zip64Archive([](ZipBuilder& z) { z.prefix(std::string(777, 'S')); }), RESULT_OK, 2,
         RESULT_OK},
        {"extensible data in the ZIP64 end record",
         Zip64Archive([](ZipBuilder& z) { z.end64().extensible = "twelve bytes"; }), RESULT_OK, 2, RESULT_OK},
        {"only the count at all ones", Zip64Archive([](ZipBuilder& z) {
             z.end().centralDirectorySize = (uint32_t)0;  // replaced by the ZIP64 values
             z.end().centralDirectoryOffset = (uint32_t)0;
         }),
         RESULT_OK, 2, RESULT_OK},
        {"locator pointing past the end: the record right before it is used",
         Zip64Archive([](ZipBuilder& z) { z.end64().recordOffset = HUGE_VALUE; }), RESULT_OK, 2, RESULT_OK},
        {"a count of 2^40 over two entries", Zip64Archive([](ZipBuilder& z) {
             z.end64().entriesOnDisk = 1ull << 40;
             z.end64().totalEntries = 1ull << 40;
         }),
         RESULT_CORRUPT, 0, 0},
        {"a count of 3 over two entries", Zip64Archive([](ZipBuilder& z) {
             z.end64().entriesOnDisk = 3;
             z.end64().totalEntries = 3;
         }),
         RESULT_OK, 3, RESULT_CORRUPT},
        {"counts that differ", Zip64Archive([](ZipBuilder& z) { z.end64().totalEntries = 3; }), RESULT_UNSUPPORTED,
         0, 0},
        {"a second disk", Zip64Archive([](ZipBuilder& z) { z.end64().thisDisk = 1; }), RESULT_UNSUPPORTED, 0, 0},
        {"the record on another disk", Zip64Archive([](ZipBuilder& z) { z.end64().recordDisk = 1; }),
         RESULT_UNSUPPORTED, 0, 0},
        {"directory offset 2^63", Zip64EndPatched(48, HUGE_VALUE), RESULT_CORRUPT, 0, 0},
        {"directory size past the record", Zip64EndPatched(40, 1ull << 32), RESULT_CORRUPT, 0, 0},
        {"record size below its fixed part", Zip64EndPatched(4, 43), RESULT_CORRUPT, 0, 0},
        {"record size running into the locator", Zip64EndPatched(4, 45), RESULT_CORRUPT, 0, 0},
        {"record size 2^63", Zip64EndPatched(4, HUGE_VALUE), RESULT_CORRUPT, 0, 0},
        {"no record signature", Zip64EndPatched(0, 0x06064b51), RESULT_CORRUPT, 0, 0},
        {"locator pointing at itself, no record before it",
         [] {
             ZipLayout layout;
             std::string bytes = Zip64Archive(nullptr, &layout);
             PokeU32(bytes, layout.zip64End, 0);
             PokeU32(bytes, layout.zip64Locator + 8, layout.zip64Locator);
             return bytes;
         }(),
         RESULT_CORRUPT, 0, 0},
        // Without a locator the end record's values are taken as they stand.
        {"all ones and no locator", [] {
             ZipLayout layout;
             std::string bytes = Zip64Archive(nullptr, &layout);
             PokeU32(bytes, layout.zip64Locator, 0);
             return bytes;
         }(),
         RESULT_CORRUPT, 0, 0},
        {"ZIP64 block shorter than the values it must hold", Zip64Archive([](ZipBuilder& z) {
             z.back().zip64 = false;
             z.back().uncompressedSize = 0xFFFFFFFF;
             z.back().compressedSize = 0xFFFFFFFF;
             z.back().centralExtra = Zip64Block(5000);
         }),
         RESULT_OK, 2, RESULT_CORRUPT},
        {"ZIP64 block whose length runs past the extra field", Zip64Archive([](ZipBuilder& z) {
             z.back().zip64 = false;
             z.back().uncompressedSize = 0xFFFFFFFF;
             z.back().centralExtra = Zip64Block(5000).substr(0, 8);
         }),
         RESULT_OK, 2, RESULT_CORRUPT},
        {"all-ones size without a ZIP64 block stays as it is", Zip64Archive([](ZipBuilder& z) {
             z.back().zip64 = false;
             z.back().uncompressedSize = 0xFFFFFFFF;
         }),
         RESULT_OK, 2, RESULT_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        OpenedArchive a(c.bytes);
        ASSERT_EQ(c.open, a.code);
        if (c.open != RESULT_OK)
            continue;
        EXPECT_EQ(c.count, a->entryCount);
        EXPECT_EQ(c.selectLast, SelectEntry(a, c.count - 1));
    }

    // The values in the ZIP64 blocks are the entries' own: both decode.
    ZipLayout layout;
    std::string bytes = Zip64Archive([](ZipBuilder& z) { z.prefix("stub"); }, &layout);
    OpenedArchive a(bytes);
    ASSERT_EQ(RESULT_OK, a.code);
    const std::string contents[2] = {Sample(3000, true), Sample(5000, false)};
    for (uint32_t i = 0; i < 2; i++) {
        SCOPED_TRACE(i);
        ASSERT_EQ(RESULT_OK, SelectEntry(a, i));
        EXPECT_EQ(contents[i].size(), a->header.uncompressedSize);
        EXPECT_EQ(layout.localHeaders[i] - layout.prefixLength, a->header.localHeaderOffset);
        std::string out(contents[i].size(), '\0');
        ASSERT_EQ(RESULT_OK, ExtractEntry(a, &out[0], EXTRACT_TO_MEMORY));
        EXPECT_EQ(contents[i], out);
    }
}

// A file with the archive's records past 4 GiB (sparse): a ZIP64 local
// header offset beyond 4 GiB, and an entry of 4.5 GiB whose central
// directory lies beyond it. Both are read through 64-bit positions.
TEST(Zip64, FilesPastFourGiB)
{
    const uint64_t GIB = 1ull << 30;
    TempDir dir;
    ASSERT_TRUE(dir.ok());

    // Every record moved up by `gap`: the file holds zeros before them.
    const uint64_t gap = 4 * GIB + 12345;
    ZipLayout layout;
    std::string moved = Zip64Archive(nullptr, &layout);
    for (uint32_t header : layout.centralHeaders) {
        uint32_t offsetField = header + CENTRAL_HEADER_SIZE + PeekU16(moved, header + 28) + 4 + 16;
        PokeU32(moved, offsetField + 4, (uint32_t)((PeekU32(moved, offsetField) + gap) >> 32));
        PokeU32(moved, offsetField, (uint32_t)(PeekU32(moved, offsetField) + gap));
    }
    for (uint32_t field : {layout.zip64End + 48, layout.zip64Locator + 8}) {
        uint64_t value = PeekU32(moved, field) + gap;
        PokeU32(moved, field, (uint32_t)value);
        PokeU32(moved, field + 4, (uint32_t)(value >> 32));
    }
    std::string file = dir.file("moved.zip");
    if (!WriteSparseFile(file, gap + moved.size(), {{gap, moved}}))
        GTEST_SKIP() << "the file system holds no sparse file of this size";
    {
        OpenedArchive a(file, SOURCE_FILE);
        ASSERT_EQ(RESULT_OK, a.code);
        ASSERT_EQ(2u, a->entryCount);
        ASSERT_EQ(RESULT_OK, SelectEntry(a, 1));
        EXPECT_EQ(gap + layout.localHeaders[1], a->header.localHeaderOffset);
        std::string out(5000, '\0');
        ASSERT_EQ(RESULT_OK, ExtractEntry(a, &out[0], EXTRACT_TO_MEMORY));
        EXPECT_EQ(Sample(5000, false), out);
    }

    // A stored entry of 4.5 GiB of zeros, with their CRC-32, put together
    // from that of 1 MiB (zlib's lengths are 32-bit here, so in pieces of
    // at most 1 GiB).
    const uint64_t size = 9 * GIB / 2;
    std::string bytes = HugeStoredEntry(size, &layout);
    const long MIB = 1 << 20;
    uLong pieces[11];  // of 1 MiB, 2 MiB, ... 1 GiB
    pieces[0] = crc32(0, (const Bytef*)std::string(MIB, '\0').data(), MIB);
    for (int k = 1; k <= 10; k++)
        pieces[k] = crc32_combine(pieces[k - 1], pieces[k - 1], MIB << (k - 1));
    uLong total = 0;
    uint64_t done = 0;
    for (int k = 10; k >= 0; k--) {
        while (size - done >= ((uint64_t)MIB << k)) {
            total = done ? crc32_combine(total, pieces[k], MIB << k) : pieces[k];
            done += (uint64_t)MIB << k;
        }
    }
    ASSERT_EQ(size, done);
    PokeU32(bytes, layout.centralHeaders[0] + 16, (uint32_t)total);
    uint32_t dataStart = layout.dataStarts[0];
    file = dir.file("huge.zip");
    ASSERT_TRUE(WriteSparseFile(file, bytes.size() + size,
                                {{0, bytes.substr(0, dataStart)}, {dataStart + size, bytes.substr(dataStart)}}));

    // Its exact size, and its first blocks, read from the start of the file.
    OpenedArchive a(file, SOURCE_FILE);
    ASSERT_EQ(RESULT_OK, a.code);
    ASSERT_EQ(RESULT_OK, SelectEntry(a, 0));
    EXPECT_EQ(size, a->header.uncompressedSize);
    EXPECT_EQ(size, a->header.compressedSize);
    OpenEntryStream(a);
    ASSERT_EQ(RESULT_OK, a->error);
    std::string head(100000, 'x');
    EXPECT_EQ(head.size(), ReadEntryData(a, &head[0], (uint32_t)head.size()));
    EXPECT_EQ(std::string(head.size(), '\0'), head);
    EXPECT_EQ(size - head.size(), a->stream->uncompressedLeft);
    CloseEntryStream(a);

    // All of it onto a handle, its CRC-32 checked at the end.
    ASSERT_EQ(RESULT_OK, SelectEntry(a, 0));
    HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, nul);
    EXPECT_EQ(RESULT_OK, ExtractEntry(a, nul, EXTRACT_TO_HANDLE));
    CloseHandle(nul);
}

}  // namespace
