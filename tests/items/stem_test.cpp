// stem_test.cpp -- the item-information stem as a script reads it: the
// seven tails, numbers and time texts, the path under the root directory for
// ordinary and hostile names, and what is left when the host fails part way.
// (Times under a zone other than UTC: zone_test.cpp.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/gzipbuilder.h"
#include "support/zipbuilder.h"
#include "items/items_support.h"

namespace {

const uint32_t MODIFIED = 1000000000;  // 20010909 01:46:40
const uint32_t ACCESSED = 1100000000;  // 20041109 11:33:20
const uint32_t CREATED = 900000000;    // 19980709 16:00:00

class StemTest : public ItemsTest {};

bool IsTimeText(const std::string& text)
{
    if (text.size() != 17)
        return false;
    for (size_t i = 0; i < text.size(); i++) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        char fixed = i == 8 ? ' ' : i == 11 || i == 14 ? ':' : 0;
        if (fixed ? text[i] != fixed : !digit)
            return false;
    }
    return true;
}

TEST_F(StemTest, AllSevenTails)
{
    ZipBuilder::Entry e("docs/a.txt", std::string(3000, 'a') + "end");
    e.madeBy(HOST_UNIX);
    e.externalAttributes = 0x81240000;  // -r--r--r--
    e.centralExtra = UtBlock(7, MODIFIED, ACCESSED, CREATED);
    std::string packed = std::to_string(ZipBuilder::Payload(e).size());
    ASSERT_NE("3003", packed);
    std::string h = OpenBytes(ZipBuilder().add("other.txt", "x").add(e).build());
    Call("SETROOTDIR", {h, "C:\\out"});

    const std::vector<std::string> expected = {
        "C:\\out\\docs\\a.txt", "3003", packed, "33", "20041109 11:33:20", "19980709 16:00:00", "20010909 01:46:40",
    };
    EXPECT_EQ("ok", Result(Call("SETCURRENTITEM", {h, "S.", "2"})));
    EXPECT_EQ(expected, Tails());
    EXPECT_EQ("ok", Result(Call("FINDITEM", {h, "ITEM.", "docs/a.txt"})));
    EXPECT_EQ(expected, Tails("ITEM."));
    EXPECT_EQ("(unset)", Var("S.7"));
    EXPECT_EQ("(unset)", Var("S."));
}

TEST_F(StemTest, SizesAndAttributesAreNumbers)
{
    struct Case {
        const char* label;
        ZipBuilder::Entry entry;
        const char* size;
        const char* packed;
        const char* attributes;
    };
    auto entry = [](const char* name, const std::string& data, uint16_t method, uint8_t madeBy, uint32_t external) {
        ZipBuilder::Entry e(name, data, method);
        e.madeBy(madeBy);
        e.externalAttributes = external;
        return e;
    };
    std::vector<Case> cases = {
        {"empty stored file", entry("e", "", 0, HOST_MSDOS, 0x20), "0", "0", "32"},
        {"DOS directory", entry("d/", "", 0, HOST_MSDOS, 0x10), "0", "0", "16"},
        {"DOS hidden, system, read-only", entry("h", "hi", 0, HOST_MSDOS, 0x27), "2", "2", "39"},
        {"Unix directory 40755", entry("u/", "", 0, HOST_UNIX, 0x41ED0000), "0", "0", "48"},
        {"Unix file 100644", entry("f", "abc", 0, HOST_UNIX, 0x81A40000), "3", "3", "32"},
        {"NTFS archive, read-only", entry("n", "abcd", 0, HOST_NTFS, 0x21), "4", "4", "33"},
    };
    Case encrypted{"encrypted: the 12 header bytes count", entry("s", "12345", 0, HOST_MSDOS, 0x20), "5", "17", "32"};
    encrypted.entry.password = "pw";
    cases.push_back(encrypted);
    // Recorded sizes above 2^31 are unsigned numbers; a selection never looks at the data.
    Case huge{"sizes of 32 bits", entry("big", "x", 0, HOST_MSDOS, 0x20), "4294967295", "3000000000", "32"};
    huge.entry.uncompressedSize = 0xFFFFFFFFu;
    huge.entry.compressedSize = 3000000000u;
    cases.push_back(huge);
    // Past 32 bits (a ZIP64 block): exact decimal text.
    Case zip64{"ZIP64 sizes past 32 bits", entry("big64", "x", 0, HOST_MSDOS, 0x20), "5368709120", "4294967296",
               "32"};
    zip64.entry.uncompressedSize = zip64.entry.compressedSize = 0xFFFFFFFFu;
    zip64.entry.centralExtra = Zip64Block(5368709120ull, 4294967296ull);
    cases.push_back(zip64);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string h = OpenBytes(ZipBuilder().add(c.entry).build());
        host.dropVariable("S.");
        ASSERT_EQ("ok", Result(Call("SETCURRENTITEM", {h, "S.", "1"})));
        EXPECT_EQ(c.size, Tail(1));
        EXPECT_EQ(c.packed, Tail(2));
        EXPECT_EQ(c.attributes, Tail(3));
        Call("CLOSE", {h});
    }
}

TEST_F(StemTest, TimeTextsOfUtTimes)
{
    struct Case {
        uint32_t seconds;
        const char* text;
    };
    const Case cases[] = {
        {0, "19700101 00:00:00"},
        {1, "19700101 00:00:01"},
        {981173106, "20010203 04:05:06"},
        {946684799, "19991231 23:59:59"},
        {951782400, "20000229 00:00:00"},
        {0x7FFFFFFF, "20380119 03:14:07"},
        {0xFFFFFFFF, "19691231 23:59:59"},  // UT seconds are signed
        {0x80000000, "19011213 20:45:52"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_EQ(c.text, UnixTimeText((int32_t)c.seconds)) << "the test's own calendar";
        ZipBuilder::Entry e("t.txt", "time");
        e.centralExtra = UtBlock(7, c.seconds, c.seconds, c.seconds);
        std::string h = OpenBytes(ZipBuilder().add(e).build());
        host.dropVariable("S.");
        ASSERT_EQ("ok", Result(Call("SETCURRENTITEM", {h, "S.", "1"})));
        for (int tail = 4; tail <= 6; tail++) {
            SCOPED_TRACE("tail " + std::to_string(tail));
            EXPECT_EQ(c.text, Tail(tail));
            EXPECT_TRUE(IsTimeText(Tail(tail)));
        }
        Call("CLOSE", {h});
    }
}

// Every time text has the same shape, whatever the time: DOS stamps of every
// kind, the times of the UT block, and the empty time.
TEST_F(StemTest, EveryTimeTextHasSeventeenCharacters)
{
    ZipBuilder zip;
    zip.add("dos.txt", "a").back().stamp(DosStamp(1980, 1, 1, 0, 0, 0));
    zip.add("late.txt", "b").back().stamp(DosStamp(2107, 12, 31, 23, 59, 58));
    zip.add("bad.txt", "c").back().stamp(DosStamp::Raw(0, 0));
    zip.add("ut.txt", "d").back().centralExtra = UtBlock(1, MODIFIED);
    std::string h = OpenBytes(zip.build());
    for (int position = 1; position <= 4; position++) {
        SCOPED_TRACE("position " + std::to_string(position));
        host.dropVariable("S.");
        ASSERT_EQ("ok", Result(Call("SETCURRENTITEM", {h, "S.", std::to_string(position)})));
        for (int tail = 4; tail <= 6; tail++)
            EXPECT_TRUE(IsTimeText(Tail(tail))) << "tail " << tail << ": \"" << Tail(tail) << "\"";
    }
    // The all-zero stamp names no time: the zero FILETIME.
    ASSERT_EQ("ok", Result(Call("SETCURRENTITEM", {h, "S.", "3"})));
    EXPECT_EQ("16010101 00:00:00", Tail(6));
}

TEST_F(StemTest, GzipMemberTimesAndFields)
{
    struct Case {
        const char* label;
        uint32_t mtime;
        const char* text;
    };
    const Case cases[] = {
        {"no time", 0, "16010101 00:00:00"},
        {"Unix seconds", 1583020798, "20200229 23:59:58"},
        {"one second", 1, "19700101 00:00:01"},
    };
    std::string data = std::string(5000, 'g') + "zip";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        GzipLayout layout;
        std::string gz = GzipBuilder().data(data).name("data.txt").mtime(c.mtime).build(&layout);
        std::string h = OpenBytes(gz);
        Call("SETROOTDIR", {h, "C:\\out"});
        host.dropVariable("S.");
        ASSERT_EQ("ok", Result(Call("FINDITEM", {h, "S.", "data.txt"})));
        const std::vector<std::string> expected = {
            "C:\\out\\data.txt", "5003", std::to_string(layout.trailer - layout.dataStart), "0", c.text, c.text, c.text,
        };
        EXPECT_EQ(expected, Tails());
        Call("CLOSE", {h});
    }
}

TEST_F(StemTest, TailZeroIsTheRootFollowedByTheName)
{
    std::string h = OpenBytes(ZipBuilder().add("docs/a.txt", "a").add("top", "t").build());
    Call("SETROOTDIR", {h, "C:\\out"});
    ASSERT_EQ("ok", Result(Call("FINDITEM", {h, "S.", "docs/a.txt"})));
    EXPECT_EQ("C:\\out\\docs\\a.txt", Tail(0));

    // A new root shows from the next selection on.
    Call("SETROOTDIR", {h, "D:\\new\\"});
    EXPECT_EQ("C:\\out\\docs\\a.txt", Tail(0));
    ASSERT_EQ("ok", Result(Call("SETCURRENTITEM", {h, "S.", "2"})));
    EXPECT_EQ("D:\\new\\top", Tail(0));
    ASSERT_EQ("ok", Result(Call("SETCURRENTITEM", {h, "S.", "1"})));
    EXPECT_EQ("D:\\new\\docs\\a.txt", Tail(0));
}

// Names built to reach outside the root, or to name something that is not a
// plain file, come out as plain paths under it. (The full table of names is
// the reader's; these are the ones a script is most likely to meet.)
TEST_F(StemTest, HostileNamesStayUnderTheRoot)
{
    struct Case {
        const char* name;
        const char* path;  // after "C:\out\"
    };
    const Case cases[] = {
        {"../x", "x"},
        {"../../etc/passwd", "etc\\passwd"},
        {"..\\..\\win.ini", "win.ini"},
        {"x/../../../y", "y"},
        {"/abs/x", "abs\\x"},
        {"C:\\x", "x"},
        {"a:b", "b"},
        {"ab:c", "ab_c"},
        {"file.txt::$DATA", "file.txt__$DATA"},
        {"CON", "_CON"},
        {"dir/nul.txt", "dir\\_nul.txt"},
        {".. ", ""},
        {".. /x", "x"},
        {"a/. ./b", "b"},
        {"//server/share/x", "server\\share\\x"},
        {"\\\\?\\C:\\x", "_\\C_\\x"},
    };
    ZipBuilder zip;
    for (const Case& c : cases)
        zip.add(c.name, "x", 0);
    std::string h = OpenBytes(zip.build());
    Call("SETROOTDIR", {h, "C:\\out"});
    int position = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ("ok", Result(Call("SETCURRENTITEM", {h, "S.", std::to_string(position++)})));
        EXPECT_EQ(std::string("C:\\out\\") + c.path, Tail(0));
    }
}

// Each value the stem needs is refused in turn: the call still ends
// normally, the tails before the refusal are written and no value is lost.
TEST_F(StemTest, EachValueRefusedInTurn)
{
    ZipBuilder::Entry e("a.txt", "abc");
    e.centralExtra = UtBlock(7, MODIFIED, ACCESSED, CREATED);
    std::string h = OpenBytes(ZipBuilder().add(e).build());
    int written = 0;
    for (uint32_t n = 1; written < 7 && n <= 10; n++) {
        SCOPED_TRACE("value " + std::to_string(n) + " refused");
        host.dropVariable("S.");
        host.failMakeValue(n);
        EXPECT_EQ("ok", Result(Call("SETCURRENTITEM", {h, "S.", "1"})));
        host.clearFaults();
        std::vector<std::string> tails = Tails();
        int now = 0;
        while (now < 7 && tails[now] != "(unset)")
            now++;
        for (int tail = now; tail < 7; tail++)
            EXPECT_EQ("(unset)", tails[tail]) << "tail " << tail << " written after an earlier one failed";
        EXPECT_GE(now, written) << "a later refusal writes at least as much";
        written = now;
        EXPECT_EQ(0u, host.liveValues()) << Join(host.liveValueReport());
    }
    EXPECT_EQ(7, written);
    EXPECT_EQ("20010909 01:46:40", Tail(6));
}

// A failing assignment of tails 0 to 3 ends the filling; the results of the
// time assignments are not looked at, so the tails after a failing one are
// still written.
TEST_F(StemTest, AFailingAssignmentEndsTheFilling)
{
    std::string h = OpenBytes(ZipBuilder().add("a.txt", "abc").build());
    struct Case {
        const char* failing;
        const char* written;  // digit n: tail n has a value
    };
    const Case cases[] = {
        {"S.0", "-------"}, {"S.1", "0------"}, {"S.3", "012----"}, {"S.4", "0123-56"}, {"S.6", "012345-"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing);
        host.dropVariable("S.");
        host.failSetVariable(c.failing);
        EXPECT_EQ("ok", Result(Call("SETCURRENTITEM", {h, "S.", "1"})));
        host.clearFaults();
        std::string written;
        for (int tail = 0; tail <= 6; tail++)
            written += Tail(tail) == "(unset)" ? '-' : (char)('0' + tail);
        EXPECT_EQ(c.written, written);
        EXPECT_EQ(0u, host.liveValues()) << Join(host.liveValueReport());
    }
}

}  // namespace
