// zone_test.cpp -- item times when the local zone is not UTC. A DOS stamp is
// local time and the stem shows UTC; UT block and gzip times are UTC already
// and must not move. Wine takes a process's zone from the TZ variable it was
// started with, so ctest runs this program once per zone with TZ set (see
// CMakeLists.txt); run by hand without one of those zones, the tests skip.
#include <gtest/gtest.h>

#include <string>

#include "items/items_support.h"
#include "support/gzipbuilder.h"
#include "support/winfiles.h"
#include "support/zipbuilder.h"

namespace {

// The builder's default DOS stamp, 2001-02-03 04:05:06, read as UTC.
const int64_t STAMP_AS_UTC = 981173106;
const uint32_t MODIFIED = 1000000000;  // 20010909 01:46:40

struct Zone {
    const char* tz;
    LONG bias;          // minutes: UTC = local time + bias
    const char* stamp;  // the DOS stamp as the stem shows it
};

const Zone ZONES[] = {
    {"EET-2", -120, "20010203 02:05:06"},      // two hours ahead of UTC, no summer time
    {"Etc/GMT-2", -120, "20010203 02:05:06"},  // the same from the zone database
    {"EST5", 300, "20010203 09:05:06"},        // five hours behind
};

const Zone* ThisZone()
{
    char tz[64];
    DWORD n = GetEnvironmentVariableA("TZ", tz, sizeof tz);
    if (n == 0 || n >= sizeof tz)
        return nullptr;
    for (const Zone& zone : ZONES)
        if (std::string(tz) == zone.tz)
            return &zone;
    return nullptr;
}

uint64_t UnixTicks(int64_t seconds)
{
    return (uint64_t)(seconds * 10000000 + 116444736000000000LL);
}

class ZoneTest : public ItemsTest {
protected:
    void SetUp() override
    {
        zone = ThisZone();
        if (!zone)
            GTEST_SKIP() << "needs TZ set to one of the zones in the table (ctest does that)";
        ItemsTest::SetUp();
        TIME_ZONE_INFORMATION info;
        GetTimeZoneInformation(&info);
        ASSERT_EQ(zone->bias, info.Bias) << "the process is not in the zone TZ=" << zone->tz << " names";
    }

    const Zone* zone = nullptr;
};

TEST_F(ZoneTest, ADosStampIsShownInUtc)
{
    std::string h = OpenBytes(ZipBuilder().add("stamped.txt", "local time").build());
    ASSERT_EQ("ok", Result(Call("SETCURRENTITEM", {h, "S.", "1"})));
    EXPECT_EQ(zone->stamp, Tail(4));
    EXPECT_EQ(zone->stamp, Tail(5));
    EXPECT_EQ(zone->stamp, Tail(6));
}

TEST_F(ZoneTest, UtAndGzipTimesDoNotMove)
{
    ZipBuilder zip;
    zip.add("ut.txt", "utc time").back().centralExtra = UtBlock(1, MODIFIED);
    std::string h = OpenBytes(zip.build());
    ASSERT_EQ("ok", Result(Call("SETCURRENTITEM", {h, "S.", "1"})));
    EXPECT_EQ("20010909 01:46:40", Tail(6));
    EXPECT_EQ(zone->stamp, Tail(4)) << "the times the block does not hold come from the stamp";
    EXPECT_EQ(zone->stamp, Tail(5));

    h = OpenBytes(GzipBuilder().data("gz").name("g").mtime(1583020798).build());
    ASSERT_EQ("ok", Result(Call("SETCURRENTITEM", {h, "S.", "1"})));
    for (int tail = 4; tail <= 6; tail++)
        EXPECT_EQ("20200229 23:59:58", Tail(tail)) << "tail " << tail;
}

// The file made from the entry carries the UTC time of the stamp as well.
TEST_F(ZoneTest, AnExtractedFileGetsTheStampInUtc)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string h = OpenBytes(ZipBuilder().add("stamped.txt", "local time").build());
    Call("SETROOTDIR", {h, dir.path()});
    ASSERT_EQ("ok", Result(Call("SETCURRENTITEM", {h, "S.", "1"})));
    ASSERT_EQ("ok", Result(Call("GETITEM", {h, Tail(0)})));
    HANDLE file = CreateFileA(Tail(0).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    FILETIME creation, access, write;
    EXPECT_TRUE(GetFileTime(file, &creation, &access, &write));
    CloseHandle(file);
    uint64_t ticks = (uint64_t)write.dwHighDateTime << 32 | write.dwLowDateTime;
    EXPECT_EQ(UnixTicks(STAMP_AS_UTC + zone->bias * 60), ticks);
}

}  // namespace
