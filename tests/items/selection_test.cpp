// selection_test.cpp -- counting, finding and selecting items as a script
// does it: FINDITEM and SETCURRENTITEM, what they put in the variables, what
// they report, and which entry is current afterwards.
#include <gtest/gtest.h>

#include <string>

#include "support/gzipbuilder.h"
#include "support/zipbuilder.h"
#include "items/items_support.h"

namespace {

std::string ThreeEntries()
{
    return ZipBuilder().add("docs/a.txt", "first", 0).add("docs/B.txt", "second").add("c.bin", "third").build();
}

class SelectionTest : public ItemsTest {
protected:
    // The current entry's bytes, taken by GETITEM into variable V; the
    // result code when there is none ("9").
    std::string CurrentEntryBytes(const std::string& handle)
    {
        host.dropVariable("V");
        std::string result = Result(Call("GETITEM", {handle, "V", "MEMORY"}));
        return result == "ok" ? Var("V") : "code " + result;
    }
};

TEST_F(SelectionTest, AnEmptyOrOmittedNameStoresTheEntryCount)
{
    struct Case {
        const char* label;
        std::string archive;
        const char* count;
    };
    const Case cases[] = {
        {"three entries", ThreeEntries(), "3"},
        {"gzip file", GzipBuilder().data("one member").name("m.txt").build(), "1"},
        {"gzip file without a name", GzipBuilder().data("one member").build(), "1"},
        {"no entries", ZipBuilder().build(), "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string h = OpenBytes(c.archive);
        host.dropVariable("N");
        EXPECT_EQ("ok", Result(Call("FINDITEM", {h, "N"})));
        EXPECT_EQ(c.count, Var("N"));
        host.setVariable("N", "before");
        EXPECT_EQ("ok", Result(Call("FINDITEM", {h, "N", ""})));
        EXPECT_EQ(c.count, Var("N"));
        host.setVariable("N", "before");
        EXPECT_EQ("ok", Result(Call("FINDITEM", {h, "N", morvalin::omitted, "1"})));
        EXPECT_EQ(c.count, Var("N")) << "flags do not matter without a name";
        EXPECT_EQ("(unset)", Var("N.0")) << "counting fills no stem";
        Call("CLOSE", {h});
    }
}

TEST_F(SelectionTest, FindingByNameMakesTheEntryCurrent)
{
    std::string h = OpenBytes(ThreeEntries());
    Call("SETROOTDIR", {h, "R:\\"});
    EXPECT_EQ("ok", Result(Call("FINDITEM", {h, "S.", "docs/B.txt"})));
    EXPECT_EQ("R:\\docs\\B.txt", Tail(0));
    EXPECT_EQ("second", CurrentEntryBytes(h));

    EXPECT_EQ("ok", Result(Call("FINDITEM", {h, "S.", "c.bin", "0"})));
    EXPECT_EQ("R:\\c.bin", Tail(0));
    EXPECT_EQ("third", CurrentEntryBytes(h));
}

TEST_F(SelectionTest, OtherLetterCaseIsFoundOnlyWithFlagOne)
{
    std::string h = OpenBytes(ThreeEntries());
    Call("SETROOTDIR", {h, "R:\\"});
    struct Case {
        const char* name;
        const char* flags;  // nullptr: omitted
        const char* found;  // the entry's bytes, or nullptr when not found
    };
    const Case cases[] = {
        {"DOCS/A.TXT", nullptr, nullptr},
        {"DOCS/A.TXT", "0", nullptr},
        {"DOCS/A.TXT", "1", "first"},
        {"docs/b.txt", "1", "second"},
        {"C.BIN", "3", "third"},  // only bit 0 counts
        {"docs/a.txt", nullptr, "first"},
        {"docs\\a.txt", "1", nullptr},  // names compare as stored, separators and all
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " flags " + (c.flags ? c.flags : "omitted"));
        host.dropVariable("S.");
        std::vector<morvalin::Arg> args = {h, "S.", c.name};
        if (c.flags)
            args.push_back(c.flags);
        EXPECT_EQ("ok", Result(Call("FINDITEM", args))) << "a search never reports";
        if (c.found) {
            EXPECT_NE("(unset)", Tail(0));
            EXPECT_EQ(c.found, CurrentEntryBytes(h));
        } else {
            EXPECT_EQ("(unset)", Tail(0));
            EXPECT_EQ("code 9", CurrentEntryBytes(h));
        }
    }
}

// A failed search is not reported: the script sees its stem untouched and no
// entry current any more.
TEST_F(SelectionTest, ANameNotInTheArchiveLeavesTheStemAndNoCurrentEntry)
{
    std::string h = OpenBytes(ThreeEntries());
    ASSERT_EQ("ok", Result(Call("FINDITEM", {h, "S.", "c.bin"})));
    std::vector<std::string> before = Tails();
    ASSERT_NE("(unset)", before[6]);

    for (const char* name : {"missing.txt", "docs/", "docs/a.tx", "c.bin "}) {
        SCOPED_TRACE(name);
        ASSERT_EQ("ok", Result(Call("SETCURRENTITEM", {h, "S.", "3"})));  // c.bin current again
        EXPECT_EQ("ok", Result(Call("FINDITEM", {h, "S.", name})));
        EXPECT_EQ(before, Tails());
        EXPECT_EQ("9", Result(Call("GETITEM", {h, "V", "MEMORY"}))) << "the earlier entry is no longer current";
        EXPECT_EQ("(unset)", Var("V"));
    }
}

// Names of 256 characters or more are refused before any walk, and end the
// selection as any failed lookup does; 255 characters are looked up.
TEST_F(SelectionTest, NamesOf255And256Characters)
{
    std::string name255 = "d/" + std::string(253, 'n');
    std::string name256 = "d/" + std::string(254, 'n');
    std::string h = OpenBytes(
        ZipBuilder().add("short.txt", "short").add(name255, "255 long").add(name256, "256 long").build());
    Call("SETROOTDIR", {h, "R:\\"});

    EXPECT_EQ("ok", Result(Call("FINDITEM", {h, "S.", name255})));
    EXPECT_EQ("R:\\d\\" + std::string(253, 'n'), Tail(0));
    EXPECT_EQ("255 long", CurrentEntryBytes(h));

    ASSERT_EQ("ok", Result(Call("FINDITEM", {h, "S.", "short.txt"})));
    std::vector<std::string> before = Tails();
    EXPECT_EQ("ok", Result(Call("FINDITEM", {h, "S.", name256})));
    EXPECT_EQ(before, Tails()) << "the over-long name fills nothing";
    EXPECT_EQ("code 9", CurrentEntryBytes(h)) << "short.txt is no longer current";

    ASSERT_EQ("ok", Result(Call("FINDITEM", {h, "S.", "short.txt"})));
    EXPECT_EQ("ok", Result(Call("FINDITEM", {h, "S.", std::string(300, 'x')})));
    EXPECT_EQ("code 9", CurrentEntryBytes(h));
}

TEST_F(SelectionTest, PositionOneIsTheFirstEntry)
{
    std::string h = OpenBytes(ThreeEntries());
    Call("SETROOTDIR", {h, "R:\\"});
    const char* paths[] = {"R:\\docs\\a.txt", "R:\\docs\\B.txt", "R:\\c.bin"};
    const char* bytes[] = {"first", "second", "third"};
    for (int i = 3; i >= 1; i--) {
        SCOPED_TRACE("position " + std::to_string(i));
        EXPECT_EQ("ok", Result(Call("SETCURRENTITEM", {h, "S.", std::to_string(i)})));
        EXPECT_EQ(paths[i - 1], Tail(0));
        EXPECT_EQ(bytes[i - 1], CurrentEntryBytes(h));
    }
}

TEST_F(SelectionTest, PositionsOutsideTheArchiveReportFour)
{
    std::string h = OpenBytes(ThreeEntries());
    struct Case {
        const char* label;
        morvalin::Arg index;
    };
    const Case cases[] = {
        {"0", "0"}, {"entryCount + 1", "4"}, {"-1", "-1"}, {"far beyond", "4294967295"}, {"omitted", morvalin::omitted},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ("ok", Result(Call("SETCURRENTITEM", {h, "S.", "1"})));
        std::vector<std::string> before = Tails();
        EXPECT_EQ("4", Result(Call("SETCURRENTITEM", {h, "S.", c.index})));
        EXPECT_EQ(before, Tails()) << "a failed selection fills nothing";
        EXPECT_EQ("9", Result(Call("GETITEM", {h, "V", "MEMORY"}))) << "and leaves no current entry";
    }
}

TEST_F(SelectionTest, FailuresFollowZiperr)
{
    std::string h = OpenBytes(ThreeEntries());
    host.dropVariable("ZIPERR");
    EXPECT_EQ("Entry not found in the zip archive", Result(Call("SETCURRENTITEM", {h, "S.", "9"})));
    host.setVariable("ZIPERR", "ERROR");
    EXPECT_EQ("condition 0: Entry not found in the zip archive", Result(Call("SETCURRENTITEM", {h, "S.", "9"})));
    EXPECT_EQ("condition 0: Faulty arguments", Result(Call("GETITEM", {h, "V", "MEMORY"})));
}

TEST_F(SelectionTest, BadArgumentsAreHostErrors)
{
    std::string h = OpenBytes(ThreeEntries());
    EXPECT_EQ("host error 918312", Result(Call("SETCURRENTITEM", {h, "S.", "x"})));
    EXPECT_EQ("host error 918312", Result(Call("SETCURRENTITEM", {h, "S.", "1.5"})));
    EXPECT_EQ("host error 917800", Result(Call("SETCURRENTITEM", {"abc", "S.", "1"})));
    EXPECT_EQ("host error 917800", Result(Call("FINDITEM", {"abc", "N"})));
    // A closed handle's record is gone: its address is either unreadable or
    // no longer in the list.
    Call("CLOSE", {h});
    for (const char* function : {"SETCURRENTITEM", "FINDITEM"}) {
        SCOPED_TRACE(function);
        std::string result = Result(Call(function, {h, "S.", "1"}));
        EXPECT_TRUE(result == "host error 2359592" || result == "host error 917800") << result;
    }
    EXPECT_EQ("(unset)", Var("S.0"));
    EXPECT_EQ("(unset)", Var("N"));
}

}  // namespace
