// selection_faults_test.cpp -- selection when allocations and reads fail,
// one after another, and how many reads a walk of the directory costs.
// Built against the fault-injection reader.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "faults.h"
#include "support/winfiles.h"
#include "support/zipbuilder.h"
#include "zipread/reader_fixture.h"

namespace {

ZipBuilder ManyEntries(int count)
{
    ZipBuilder zip;
    for (int i = 0; i < count; i++) {
        char name[32];
        wsprintfA(name, "dir/f%05d.txt", i);
        zip.add(name, "", 0);
        if (i % 7 == 0)
            zip.back().centralExtra = UtBlock(1, 1000000000 + i);
    }
    return zip;
}

TEST(SelectionFaults, EachAllocationFailsInTurn)
{
    ZipBuilder withExtra;
    withExtra.add("plain", "p").add("with extra", "e").back().centralExtra = UtBlock(7, 1, 2, 3);
    auto bytes = withExtra.build();
    OpenedArchive a(bytes);
    ASSERT_EQ(RESULT_OK, a.code);

    int failures = 0;
    for (uint32_t n = 1; n < 20; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        int32_t live = FaultsCounted().liveBlocks;
        FaultsReset({n, 0, 0});
        uint32_t code = SelectEntry(a, 1);
        FaultsReset({0, 0, 0});
        EXPECT_EQ(live, FaultsCounted().liveBlocks);  // the extra field's copy is freed
        if (code == RESULT_OK)
            break;
        failures++;
        EXPECT_EQ(RESULT_NO_MEMORY, code);
        EXPECT_EQ(-1, a->currentIndex);
    }
    EXPECT_EQ(1, failures);  // the copy of the extra field is the one allocation
    EXPECT_EQ(1, a->currentIndex);
    EXPECT_EQ(UnixTicks(3), Ticks(a->creationTime));
}

TEST(SelectionFaults, EachReadOfAFileFailsInTurn)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string file = dir.file("many.zip");
    ASSERT_TRUE(WriteWholeFile(file, ManyEntries(600).build()));
    OpenedArchive a(file, SOURCE_FILE);
    ASSERT_EQ(RESULT_OK, a.code);

    int failures = 0;
    for (uint32_t n = 1; n < 200; n++) {
        SCOPED_TRACE("read " + std::to_string(n));
        FaultsReset({0, n, 0});
        uint32_t code = SelectEntry(a, 599);
        FaultsReset({0, 0, 0});
        if (code == RESULT_OK)
            break;
        failures++;
        // ReadFile's failure is followed by a length or signature test.
        EXPECT_EQ(RESULT_CORRUPT, code);
        EXPECT_EQ(-1, a->currentIndex);
        EXPECT_EQ(-1, a->walkIndex);
    }
    EXPECT_GT(failures, 1);
    EXPECT_EQ(599, a->currentIndex);
    EXPECT_EQ(RESULT_OK, FindEntry(a, "dir/f00598.txt", 0));
}

TEST(SelectionFaults, SelectingEveryEntryInOrderCostsAboutOneWalk)
{
    // Not a timing: the number of ReadFile calls. Selecting every entry in
    // order must cost about what one walk over the whole directory costs;
    // starting each selection from the first entry would cost N/2 walks.
    const int count = 2000;
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string file = dir.file("order.zip");
    ZipLayout layout;
    ASSERT_TRUE(WriteWholeFile(file, ManyEntries(count).build(&layout)));
    OpenedArchive a(file, SOURCE_FILE);
    ASSERT_EQ(RESULT_OK, a.code);

    FaultsReset({0, 0, 0});
    ASSERT_EQ(RESULT_NOT_FOUND, FindEntry(a, "no entry has this name", 0));
    uint32_t oneWalk = FaultsCounted().reads;

    FaultsReset({0, 0, 0});
    for (int i = 0; i < count; i++) {
        ASSERT_EQ(RESULT_OK, SelectEntry(a, (uint32_t)i));
        ASSERT_EQ(i, a->currentIndex);
    }
    uint32_t inOrder = FaultsCounted().reads;
    std::printf("[ info ] %u-byte directory of %d entries: one walk %u reads, every entry in order %u reads\n",
                layout.centralDirectorySize, count, oneWalk, inOrder);
    EXPECT_GT(oneWalk, 0u);
    EXPECT_LE(inOrder, 4 * oneWalk + 4);
}

}  // namespace
