// entryinfo_test.cpp -- the attributes and times a selection gives its
// entry: host-dependent attribute mapping, DOS stamps, UT extra blocks, and
// time conversions, hostile extra fields included.
#include <gtest/gtest.h>

#include <windows.h>
#include <string.h>

#include <optional>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/zipbuilder.h"
#include "zipread/reader_fixture.h"

namespace {

TEST(Attributes, MappedByTheHostThatMadeTheEntry)
{
    struct Case {
        const char* label;
        uint8_t host;
        uint32_t external;
        uint32_t expected;
    };
    const Case cases[] = {
        {"DOS archive", 0, 0x20, 0x20},
        {"DOS read-only hidden system", 0, 0x07, 0x07},
        {"DOS directory", 0, 0x10, 0x10},
        {"DOS volume label dropped", 0, 0x08, 0x00},
        {"DOS high bits dropped", 0, 0xFFFFFFFF, 0x37},
        {"DOS with a Unix mode above", 0, 0x81A40021, 0x21},
        {"host 7", 7, 0x27, 0x27},
        {"host 11", 11, 0x3F, 0x37},
        {"host 14", 14, 0x11, 0x11},
        {"Unix 100644", 3, 0x81A40000, 0x20},
        {"Unix 100444", 3, 0x81240000, 0x21},
        {"Unix 40755", 3, 0x41ED0000, 0x30},
        {"Unix 40555", 3, 0x416D0000, 0x31},
        {"Unix with DOS bits below", 3, 0x81A40001, 0x20},
        {"Unix without any mode", 3, 0x00000000, 0x21},
        {"host 10 is read as a Unix mode", 10, 0x00000020, 0x21},
        {"host 19", 19, 0x41ED0010, 0x30},
        {"host 255", 255, 0x00800000, 0x20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.expected, MapAttributes((uint16_t)(c.host << 8 | 20), c.external));
    }
}

TEST(Attributes, SelectionReplacesTheExternalAttributes)
{
    ZipBuilder zip;
    zip.add("unix.txt", "u").back().madeBy(HOST_UNIX).externalAttributes = 0x81240000;
    zip.add("dosdir/", "").back().externalAttributes = 0x18;
    auto bytes = zip.build();
    OpenedArchive a(bytes);
    ASSERT_EQ(RESULT_OK, a.code);
    ASSERT_EQ(RESULT_OK, SelectEntry(a, 0));
    EXPECT_EQ(0x21u, a->header.externalAttributes);
    ASSERT_EQ(RESULT_OK, FindEntry(a, "dosdir/", 0));
    EXPECT_EQ(0x10u, a->header.externalAttributes);
    // Selected again, the mapping starts from the stored value, not the mapped one.
    ASSERT_EQ(RESULT_OK, SelectEntry(a, 0));
    EXPECT_EQ(0x21u, a->header.externalAttributes);
}

TEST(TimeConversion, DosStampsAsTheyStand)
{
    struct Case {
        const char* label;
        DosStamp stamp;
        int64_t unixSeconds;
    };
    const Case cases[] = {
        {"2001-02-03 04:05:06", DosStamp(2001, 2, 3, 4, 5, 6), 981173106},
        {"the first DOS time", DosStamp(1980, 1, 1, 0, 0, 0), 315532800},
        {"the last DOS time", DosStamp(2107, 12, 31, 23, 59, 58), 4354819198LL},
        {"a leap day", DosStamp(2000, 2, 29, 12, 0, 0), 951825600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        FILETIME t = {1, 1};
        DosTimeToFileTime(&t, c.stamp.date, c.stamp.time);
        EXPECT_EQ(UnixTicks(c.unixSeconds), Ticks(t));
    }
}

TEST(TimeConversion, DosStampsThatNameNoTimeGiveZero)
{
    struct Case {
        const char* label;
        DosStamp stamp;
    };
    const Case cases[] = {
        {"all zero", DosStamp::Raw(0, 0)},
        {"month 0", DosStamp(2001, 0, 3, 4, 5, 6)},
        {"month 13", DosStamp(2001, 13, 3, 4, 5, 6)},
        {"month 15", DosStamp(2001, 15, 3, 4, 5, 6)},
        {"day 0", DosStamp(2001, 2, 0, 4, 5, 6)},
        {"hour 24", DosStamp(2001, 2, 3, 24, 5, 6)},
        {"hour 31", DosStamp(2001, 2, 3, 31, 5, 6)},
        {"minute 60", DosStamp(2001, 2, 3, 4, 60, 6)},
        {"second 60", DosStamp(2001, 2, 3, 4, 5, 60)},
        {"second 62", DosStamp(2001, 2, 3, 4, 5, 62)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        FILETIME t = {0x12345678, 0x01D00000};
        DosTimeToFileTime(&t, c.stamp.date, c.stamp.time);
        EXPECT_EQ(0u, Ticks(t));
    }
}

TEST(TimeConversion, UnixSecondsAreSigned)
{
    struct Case {
        uint32_t seconds;
        int64_t asSigned;
    };
    const Case cases[] = {
        {0, 0},
        {1, 1},
        {981173106, 981173106},
        {0x7FFFFFFF, 0x7FFFFFFFLL},
        {0x80000000, -0x80000000LL},
        {0xFFFFFFFF, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.seconds));
        FILETIME t;
        UnixTimeToFileTime(&t, c.seconds);
        EXPECT_EQ(UnixTicks(c.asSigned), Ticks(t));
    }
    FILETIME epoch;
    UnixTimeToFileTime(&epoch, 0);
    EXPECT_EQ(0xD53E8000u, epoch.dwLowDateTime);
    EXPECT_EQ(0x019DB1DEu, epoch.dwHighDateTime);
}

// Times as a selection leaves them; "D" marks the DOS stamp's time.
struct Times {
    uint64_t write, access, creation;
};

const uint32_t M = 1100000000, A = 1200000000, C = 1300000000;

std::string RawBlock(uint16_t id, uint16_t claimedLength, const std::string& data)
{
    std::string block;
    PutU16(block, id);
    PutU16(block, claimedLength);
    return block + data;
}

std::string U16(uint16_t v)
{
    std::string s;
    PutU16(s, v);
    return s;
}

std::string U32(uint32_t v)
{
    std::string s;
    PutU32(s, v);
    return s;
}

TEST(EntryTimes, UtNtfsAndOldUnixBlocksOverTheDosStamp)
{
    struct Case {
        const char* label;
        std::string extra;
        // Unix seconds, or nothing for the DOS stamp's time.
        std::optional<uint32_t> write, access, creation;
    };
    const std::string other = ExtraBlock(0x000A, std::string(32, '\0'));
    const Case cases[] = {
        {"no extra field", "", {}, {}, {}},
        {"length 5, flags 3: the central copy", UtBlock(3, M), M, {}, {}},
        {"length 13, flags 7", UtBlock(7, M, A, C), M, A, C},
        {"length 9, flags 7", UtBlock(7, M, A), M, A, {}},
        {"flags 2 alone: the first value is the access time", UtBlock(2, A), {}, A, {}},
        {"flags 4 alone", UtBlock(4, C), {}, {}, C},
        {"flags 0", UtBlock(0, M), {}, {}, {}},
        {"length 1", UtBlock(7), {}, {}, {}},
        {"another block before it", other + UtBlock(1, M), M, {}, {}},
        {"two blocks before it, one empty", ExtraBlock(0x7875, "\x01\x04") + ExtraBlock(0xCAFE, "") + UtBlock(3, M, A),
         M, A, {}},
        {"the first of two UT blocks", UtBlock(1, M) + UtBlock(1, A), M, {}, {}},
        {"extra field of 4 bytes is not searched", RawBlock(0x5455, 0, ""), {}, {}, {}},
        {"UT head without a data byte after another block", other + RawBlock(0x5455, 5, ""), {}, {}, {}},
        {"UT length past the extra field: what is there counts", RawBlock(0x5455, 13, "\x07" + U32(M)), M, {}, {}},
        {"UT length past the extra field, value cut", RawBlock(0x5455, 13, "\x01" + U32(M).substr(0, 3)), {}, {},
         {}},
        {"value beyond the block's own length", RawBlock(0x5455, 3, "\x01" + U32(M)), {}, {}, {}},
        {"a block whose length runs past the field hides what follows",
         RawBlock(0x000A, 200, "0123456789") + UtBlock(1, M), {}, {}, {}},
        {"before 1970", UtBlock(1, 0x80000000u), 0x80000000u, {}, {}},
        {"zero seconds is a time", UtBlock(1, 0), 0u, {}, {}},
        // Without a UT block: the NTFS block, then the old Unix block.
        {"NTFS block", NtfsBlock(UnixTicks(M), UnixTicks(A), UnixTicks(C)), M, A, C},
        {"NTFS block after another", ExtraBlock(0xCAFE, "zz") + NtfsBlock(UnixTicks(M), UnixTicks(A), UnixTicks(C)),
         M, A, C},
        {"UT block over an NTFS block", NtfsBlock(UnixTicks(M), UnixTicks(A), UnixTicks(C)) + UtBlock(1, A), A, {},
         {}},
        {"NTFS times cut to two", NtfsBlock(UnixTicks(M), UnixTicks(A), UnixTicks(C), 16), M, A, {}},
        {"NTFS times claiming more than the block holds",
         RawBlock(0x000A, 32, std::string(4, '\0') + U16(1) + U16(24) + NtfsBlock(UnixTicks(M), 0, 0).substr(12, 8)),
         M, {}, {}},
        {"NTFS zero times name no time", NtfsBlock(0, UnixTicks(A), 0), {}, A, {}},
        {"NTFS block after an attribute of another tag",
         RawBlock(0x000A, 40, std::string(4, '\0') + U16(2) + U16(4) + "abcd" + U16(1) + U16(24) +
                                  NtfsBlock(UnixTicks(M), UnixTicks(A), UnixTicks(C)).substr(12)),
         M, A, C},
        {"old Unix block", OldUnixBlock(A, M), M, A, {}},
        {"NTFS block over an old Unix block", OldUnixBlock(C, C) + NtfsBlock(UnixTicks(M), UnixTicks(A), 0), M, A,
         {}},
        {"NTFS block without times, then an old Unix block",
         ExtraBlock(0x000A, std::string(4, '\0') + U16(2) + U16(0)) + OldUnixBlock(A, M), M, A, {}},
        {"old Unix block cut to the access time", RawBlock(0x5855, 4, U32(A)), {}, A, {}},
    };

    ZipBuilder zip;
    for (const Case& c : cases) {
        ZipBuilder::Entry e(c.label, "x");
        e.centralExtra = c.extra;
        zip.add(e);
    }
    auto bytes = zip.build();
    OpenedArchive a(bytes);
    ASSERT_EQ(RESULT_OK, a.code);

    // Entry 0 has no extra field: its times are the DOS stamp's, all three.
    ASSERT_EQ(RESULT_OK, SelectEntry(a, 0));
    uint64_t dos = Ticks(a->writeTime);
    ASSERT_NE(0u, dos);
    EXPECT_EQ(dos, Ticks(a->accessTime));
    EXPECT_EQ(dos, Ticks(a->creationTime));
    // The stamp is local time: whatever the zone, within a day of the UTC value.
    uint64_t asUtc = UnixTicks(981173106);
    EXPECT_LT((dos > asUtc ? dos - asUtc : asUtc - dos), 24ull * 3600 * 10000000);

    for (uint32_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.label);
        ASSERT_EQ(RESULT_OK, SelectEntry(a, i));
        EXPECT_EQ(c.write ? UnixTicks((int32_t)*c.write) : dos, Ticks(a->writeTime));
        EXPECT_EQ(c.access ? UnixTicks((int32_t)*c.access) : dos, Ticks(a->accessTime));
        EXPECT_EQ(c.creation ? UnixTicks((int32_t)*c.creation) : dos, Ticks(a->creationTime));
    }
}

TEST(EntryTimes, NoStaleTimesFromAnEarlierSelection)
{
    ZipBuilder zip;
    zip.add("good.txt", "g").back().centralExtra = UtBlock(7, M, A, C);
    zip.add("nostamp.txt", "n").back().stamp(DosStamp::Raw(0, 0));
    zip.add("month0.txt", "m").back().stamp(DosStamp(2001, 0, 1, 0, 0, 0));
    ZipBuilder::Entry partly("partly.txt", "p");
    partly.stamp(DosStamp(2001, 2, 30 + 1, 0, 0, 0));  // day 31 of February
    partly.centralExtra = UtBlock(3, M);
    zip.add(partly);
    auto bytes = zip.build();
    OpenedArchive a(bytes);
    ASSERT_EQ(RESULT_OK, a.code);

    for (uint32_t index : {1u, 2u}) {
        SCOPED_TRACE("index " + std::to_string(index));
        ASSERT_EQ(RESULT_OK, SelectEntry(a, 0));
        ASSERT_EQ(UnixTicks(C), Ticks(a->creationTime));
        ASSERT_EQ(RESULT_OK, SelectEntry(a, index));
        EXPECT_EQ(0u, Ticks(a->writeTime));
        EXPECT_EQ(0u, Ticks(a->accessTime));
        EXPECT_EQ(0u, Ticks(a->creationTime));
    }
    // An unconvertible stamp under a UT block: the block's value where it
    // has one, the zero time elsewhere.
    ASSERT_EQ(RESULT_OK, SelectEntry(a, 0));
    ASSERT_EQ(RESULT_OK, SelectEntry(a, 3));
    EXPECT_EQ(UnixTicks(M), Ticks(a->writeTime));
    EXPECT_EQ(0u, Ticks(a->accessTime));
    EXPECT_EQ(0u, Ticks(a->creationTime));
}

// Places `bytes` so that they end exactly where a page that cannot be read
// begins: any read past them faults.
class GuardedBytes {
  public:
    explicit GuardedBytes(const std::string& bytes)
    {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        size_t pages = (bytes.size() + page_ - 1) / page_ + 1;
        base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, pages * page_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        if (!base_)
            return;
        DWORD old;
        VirtualProtect(base_ + (pages - 1) * page_, page_, PAGE_NOACCESS, &old);
        data_ = base_ + (pages - 1) * page_ - bytes.size();
        memcpy(data_, bytes.data(), bytes.size());
    }
    ~GuardedBytes()
    {
        if (base_)
            VirtualFree(base_, 0, MEM_RELEASE);
    }
    const uint8_t* data() const { return data_; }
    bool ok() const { return base_ != nullptr; }

  private:
    uint8_t* base_ = nullptr;
    uint8_t* data_ = nullptr;
    size_t page_ = 0;
};

TEST(EntryTimes, HostileExtraFieldsAreReadOnlyWithinThemselves)
{
    const std::vector<std::string> extras = {
        RawBlock(0x5455, 0xFFFF, "\x07"),
        RawBlock(0x5455, 0xFFFF, "\x07" + U32(M) + "\x01"),
        RawBlock(0x5455, 0, "\x07"),
        RawBlock(0x000A, 1, "z") + RawBlock(0x5455, 0xFFFF, "\x07"),
        RawBlock(0x000A, 0xFFF0, "z"),
        RawBlock(0x000A, 0, "") + "U",
        std::string(5, '\xFF'),
        RawBlock(0x000A, 0, "") + RawBlock(0x000A, 0, "") + "UT\x05",
    };
    for (size_t i = 0; i < extras.size(); i++) {
        SCOPED_TRACE("extra " + std::to_string(i));
        GuardedBytes guarded(extras[i]);
        ASSERT_TRUE(guarded.ok());
        auto bytes = ZipBuilder().add("x", "x").build();
        OpenedArchive a(bytes);
        ASSERT_EQ(RESULT_OK, a.code);
        ASSERT_EQ(RESULT_OK, SelectEntry(a, 0));
        SetEntryTimes(a, guarded.data(), (uint32_t)extras[i].size());
        EXPECT_EQ(Ticks(a->accessTime), Ticks(a->creationTime));
    }
}

TEST(EntryPathBounds, NamesAreReadOnlyUpToTheirEnd)
{
    // BuildEntryPath reads the name up to its NUL and a little ahead of a
    // separator; a name at the very end of readable memory is still safe.
    const std::vector<std::string> names = {"a", "..", "a/..", "a/", "CON", "C:", "x/.. ", "/", std::string(259, 'n')};
    for (const std::string& name : names) {
        SCOPED_TRACE(name.substr(0, 20));
        GuardedBytes guarded(name + std::string(1, '\0'));
        ASSERT_TRUE(guarded.ok());
        auto bytes = ZipBuilder().add("x", "x").build();
        OpenedArchive a(bytes);
        ASSERT_EQ(RESULT_OK, a.code);
        BuildEntryPath(a, reinterpret_cast<const char*>(guarded.data()));
        EXPECT_LE(strlen(a->path), MAX_PATH_TEXT);
    }
}

}  // namespace
