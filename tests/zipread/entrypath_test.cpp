// entrypath_test.cpp -- the path a selected entry is given under the root
// directory: the ordinary normalisation, and every hostile name we know of
// kept to a plain file or directory under the root.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "support/zipbuilder.h"
#include "zipread/reader_fixture.h"

namespace {

struct PathCase {
    std::string label;
    std::string name;      // as stored in the archive
    std::string expected;  // the path after the root "R\"
};

// The path an entry named `name` gets under the root "R\". The entry is made
// on a system whose names stay bytes (TOPS-20), so that the path rules alone
// are seen.
std::string PathOf(const std::string& name)
{
    ZipBuilder::Entry e(name, "x");
    e.madeBy(10);
    auto bytes = ZipBuilder().add(e).build();
    OpenedArchive a(bytes);
    EXPECT_EQ(RESULT_OK, a.code);
    if (!a.archive)
        return "<not opened>";
    EXPECT_EQ(RESULT_OK, SetRootDirectory(a, TEST_ROOT, 2));
    EXPECT_EQ(RESULT_OK, SelectEntry(a, 0));
    EXPECT_LE(strlen(a->path), MAX_PATH_TEXT);
    EXPECT_EQ(0, strncmp(a->path, TEST_ROOT, 2));
    return NamePart(a);
}

void RunCases(const std::vector<PathCase>& cases)
{
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.label + ": \"" + c.name.substr(0, 80) + "\"");
        EXPECT_EQ(c.expected, PathOf(c.name));
    }
}

// "abcdefg/" repeated: every character maps to one path character.
std::string Pattern(size_t length)
{
    std::string s;
    while (s.size() < length)
        s += "abcdefg/";
    return s.substr(0, length);
}

std::string Backslashed(std::string s)
{
    for (char& c : s)
        if (c == '/')
            c = '\\';
    return s;
}

TEST(EntryPath, OrdinaryNames)
{
    RunCases({
        {"plain", "a/b.txt", "a\\b.txt"},
        {"absolute", "/etc/x", "etc\\x"},
        {"drive and backslashes", "C:\\temp\\x", "temp\\x"},
        {"doubled separator", "a//b", "a\\b"},
        {"dot-dot inside", "a/../b", "b"},
        {"dot-dot at the start", "../../x", "x"},
        {"directory", "dir/", "dir\\"},
        {"single dots stay", "a/./b", "a\\.\\b"},
        {"dots inside names stay", "..x/y../a..b/...c", "..x\\y..\\a..b\\...c"},
        {"empty name", "", ""},
        {"name ends at a NUL", std::string("a\0b", 3), "a"},
        {"bytes above 127 as they are", "caf\xE9/\xFF", "caf\xE9\\\xFF"},
    });
}

TEST(EntryPath, AbsoluteAndDrivePrefixes)
{
    RunCases({
        {"backslash absolute", "\\etc\\x", "etc\\x"},
        {"UNC", "//server/share/x", "server\\share\\x"},
        {"UNC with backslashes", "\\\\server\\share\\x", "server\\share\\x"},
        {"device namespace", "\\\\.\\PhysicalDrive0", ".\\PhysicalDrive0"},
        {"long-path prefix", "\\\\?\\C:\\x", "_\\C_\\x"},
        {"drive-relative", "C:x", "x"},
        {"lower-case drive and slash", "c:/x", "x"},
        {"drive alone", "C:", ""},
        {"drive and root", "C:\\", ""},
        {"a:b is a drive prefix", "a:b", "b"},
        {"drive then dot-dot", "C:..\\x", "x"},
        {"drive after a dot-dot", "../C:/x", "C_\\x"},
        {"drive after dot-dot inside", "a/../D:\\x", "D_\\x"},
        {"drive after two dot-dots", "..\\..\\C:\\Windows", "C_\\Windows"},
        {"two drive prefixes", "C:C:\\x", "C_\\x"},
    });
}

TEST(EntryPath, DotDotInEveryPosition)
{
    RunCases({
        {"backslash start", "..\\x", "x"},
        {"backslashes inside", "a\\..\\b", "b"},
        {"slash then backslash", "a/..\\b", "b"},
        {"backslash then slash", "a\\../b", "b"},
        {"deeper goes to the root, not one up", "a/b/../c", "c"},
        {"two in a row", "a/b/../../c", "c"},
        {"more than the depth", "x/../../y", "y"},
        {"after a doubled separator", "a//../b", "b"},
        {"directory dot-dot", "../", ""},
        {"directory after a name", "a/../", ""},
        // A final ".." without a separator would name the root's parent.
        {"alone", "..", ""},
        {"at the end", "a/..", ""},
        {"at the end, backslash", "a\\..", ""},
        {"at the end after dot-dots", "x/../..", ""},
    });
}

TEST(EntryPath, RepeatedSeparators)
{
    RunCases({
        {"three slashes", "a///b", "a\\b"},
        {"four backslashes", "a\\\\\\\\b", "a\\b"},
        {"mixed", "a/\\/b", "a\\b"},
        {"only separators", "///", ""},
        {"leading mixed", "\\/\\a", "a"},
        {"trailing doubled", "a//", "a\\"},
    });
}

// A colon after the drive, and every other character Windows refuses in a
// name, becomes '_'.
TEST(EntryPath, ColonsAndCharactersWindowsRefuses)
{
    RunCases({
        {"refused characters", "a\"<b>|c*?.txt", "a__b__c__.txt"},
        {"control characters", "a\x01" "b\x1f\x7f/\tc", "a_b_\x7f\\_c"},
        {"inside a name", "ab:c", "ab_c"},
        {"in a later component", "a/b:c", "a\\b_c"},
        {"stream name", "file.txt::$DATA", "file.txt__$DATA"},
        {"alone after a directory", "x/:", "x\\_"},
        {"after a drive", "C:a:b", "a_b"},
    });
}

TEST(EntryPath, DeviceNames)
{
    RunCases({
        {"CON", "CON", "_CON"},
        {"lower case", "con", "_con"},
        {"with an extension", "nul.txt", "_nul.txt"},
        {"trailing blank", "COM1 ", "_COM1 "},
        {"two extensions", "aux.tar.gz", "_aux.tar.gz"},
        {"a directory on the way", "dir/PRN/x", "dir\\_PRN\\x"},
        {"LPT9", "LPT9", "_LPT9"},
        {"trailing dot", "lpt1.", "_lpt1."},
        {"blank before the dot", "CON .txt", "_CON .txt"},
        {"superscript one", "COM\xB9", "_COM\xB9"},
        {"after a drive", "C:NUL", "_NUL"},
        {"after a dot-dot", "../con/a", "_con\\a"},
        {"longer name", "CONSOLE", "CONSOLE"},
        {"COM0", "COM0", "COM0"},
        {"LPT10", "LPT10", "LPT10"},
        {"COM alone", "COM", "COM"},
        {"a letter before", "xnul", "xnul"},
        {"blank inside", "con x", "con x"},
        {"colon after", "CON:", "CON_"},
    });
}

TEST(EntryPath, DotsAndBlanksCountAsDotDot)
{
    RunCases({
        {"dot-dot blank", ".. /x", "x"},
        {"inside", "a/.. /b", "b"},
        {"three dots", ".../x", "x"},
        {"dot blank dot", "a/. ./b", "b"},
        {"blank dot-dot", "a\\ ..\\b", "b"},
        {"two blanks", "  /x", "x"},
        {"dot blank", ". /a", "a"},
        {"three dots at the end", "...", ""},
        {"at the end of a path", "a/...", ""},
        {"dot-dot blank at the end", "a/.. ", ""},
        {"one blank stays", "a/ /b", "a\\ \\b"},
        {"dots before a letter stay", "...x", "...x"},
    });
}

TEST(EntryPath, LongNamesAreCutAt260)
{
    // The root "R\" takes 2 of the 260 characters.
    std::string name259 = Pattern(259), name300 = Pattern(300), name65535 = Pattern(65535);
    std::string cut = Backslashed(Pattern(258));
    RunCases({
        {"259 bytes", name259, cut},
        {"300 bytes", name300, cut},
        {"65,535 bytes", name65535, cut},
        {"65,535 bytes ending in dot-dots", Pattern(65000) + std::string(535, 'x').replace(0, 12, "/../../../.."),
         cut},
        {"257 bytes fit with the root", Pattern(257), Backslashed(Pattern(257)).substr(0, 258)},
        {"the cut leaves a dot-dot at the end", std::string(255, 'x') + "/..abc", ""},
        {"the cut leaves a device name", std::string(254, 'x') + "/CONSOLE", std::string(254, 'x') + "\\"},
        {"the cut falls after a device prefix", std::string(255, 'x') + "/CON", std::string(255, 'x') + "\\_C"},
        {"a dot-dot after 258 characters is not reached", std::string(258, 'x') + "/../y", std::string(258, 'x')},
    });
}

TEST(EntryPath, RootDirectoryComesFirst)
{
    auto bytes = ZipBuilder().add("docs/a.txt", "a").add(Pattern(300), "b").add("../../up", "c").build();
    OpenedArchive a(bytes);
    ASSERT_EQ(RESULT_OK, a.code);

    ASSERT_EQ(RESULT_OK, SetRootDirectory(a, "C:\\out", 6));
    ASSERT_EQ(RESULT_OK, SelectEntry(a, 0));
    EXPECT_STREQ("C:\\out\\docs\\a.txt", a->path);
    ASSERT_EQ(RESULT_OK, SelectEntry(a, 2));
    EXPECT_STREQ("C:\\out\\up", a->path);

    // A long root leaves less room for the name; the whole is still 260.
    std::string root = "D:\\" + std::string(200, 'r') + "\\";
    ASSERT_EQ(RESULT_OK, SetRootDirectory(a, root.c_str(), (uint32_t)root.size()));
    ASSERT_EQ(RESULT_OK, SelectEntry(a, 1));
    EXPECT_EQ(root + Backslashed(Pattern(260 - root.size())), std::string(a->path));

    // An empty root: the path is the name alone, still without a leading
    // separator.
    a->path[0] = '\0';
    a->rootLength = 0;
    ASSERT_EQ(RESULT_OK, SelectEntry(a, 2));
    EXPECT_STREQ("up", a->path);
}

}  // namespace

namespace {

struct NameCase {
    const char* label;
    std::string name;         // stored bytes
    uint16_t flags;
    uint8_t host;
    std::string extra;        // central extra field
    std::string expected;     // the ANSI path after "R\", in code page 1252
    std::wstring wide;        // the wide path after "R\"; empty when the name has none
    bool findByShown;         // FindEntry also finds the converted text (separators as stored)
};

const std::string RESUME_UTF8 = "R\xC3\xA9sum\xC3\xA9.txt";
const std::string RESUME_1252 = "R\xE9sum\xE9.txt";

// Selects entry `e` (after a decoy) and checks its ANSI and wide paths, and
// that FindEntry finds it by its stored bytes and, when `c.findByShown`, by
// the text a script sees.
void CheckName(const NameCase& c, const ZipBuilder::Entry& e)
{
    auto bytes = ZipBuilder().add("decoy.txt", "d").add(e).build();
    OpenedArchive a(bytes);
    ASSERT_EQ(RESULT_OK, a.code);
    UseTestRoot(a);
    ASSERT_EQ(RESULT_OK, SelectEntry(a, 1));
    EXPECT_EQ(c.expected, NamePart(a));
    EXPECT_EQ(!c.wide.empty(), a->hasWidePath != 0);
    if (!c.wide.empty()) {
        EXPECT_TRUE(std::wstring(L"R\\") + c.wide == a->widePath) << "wide path differs";
    }
    EXPECT_EQ(RESULT_OK, FindEntry(a, c.name.c_str(), 0));
    EXPECT_EQ(1, a->currentIndex);
    if (c.findByShown) {
        std::string shown = c.expected;
        for (char& ch : shown)
            if (ch == '\\')
                ch = '/';
        EXPECT_EQ(RESULT_OK, FindEntry(a, shown.c_str(), 0));
        EXPECT_EQ(1, a->currentIndex);
        EXPECT_EQ(c.expected, NamePart(a));
    }
}

// How each kind of name reaches the script, the path and the disk: declared
// UTF-8, a Unicode Path block, Unix-made UTF-8, OEM text from MS-DOS and
// Windows, or bytes; and UTF-8 that could spell a separator, dot, colon or
// device after a careless conversion.
TEST(EntryNames, AsTheArchiveDeclaresThem)
{
    if (GetACP() != 1252 || GetOEMCP() != 437)
        GTEST_SKIP() << "the expected texts are those of code pages 1252 and 437, not " << GetACP() << " and "
                     << GetOEMCP();
    const uint16_t U = FLAG_UTF8_NAME;
    const NameCase cases[] = {
        {"bit 11, Latin letters", RESUME_UTF8, U, HOST_MSDOS, "", RESUME_1252, L"R\u00E9sum\u00E9.txt", true},
        {"bit 11, letters the code page lacks", "\xE4\xB8\x96\xE7\x95\x8C/a.txt", U, HOST_MSDOS, "", "__\\a.txt",
         L"\u4E16\u754C\\a.txt", true},
        {"bit 11, plain ASCII", "plain/a.txt", U, HOST_MSDOS, "", "plain\\a.txt", L"", false},
        {"bit 11, characters Windows refuses", "R\xC3\xA9<s>|*?\".txt", U, HOST_MSDOS, "", "R\xE9_s_____.txt",
         L"R\u00E9_s_____.txt", false},
        {"fullwidth dots and solidus", "\xEF\xBC\x8E\xEF\xBC\x8E\xEF\xBC\x8Fx", U, HOST_MSDOS, "", "___x",
         L"\uFF0E\uFF0E\uFF0Fx", true},
        {"fullwidth reverse solidus, colon; division slash", "a\xEF\xBC\xBC" "b\xEF\xBC\x9A" "c\xE2\x88\x95" "d", U,
         HOST_MSDOS, "", "a_b_c_d", L"a\uFF3Cb\uFF1Ac\u2215d", true},
        {"fullwidth CON", "\xEF\xBC\xA3\xEF\xBC\xAF\xEF\xBC\xAE", U, HOST_MSDOS, "", "___", L"\uFF23\uFF2F\uFF2E",
         true},
        {"overlong dots", "\xC0\xAE\xC0\xAE/x", U, HOST_MSDOS, "", "____\\x", L"\uFFFD\uFFFD\uFFFD\uFFFD\\x", true},
        {"overlong three-byte dots", "\xE0\x80\xAE\xE0\x80\xAE/x", U, HOST_MSDOS, "", "______\\x",
         L"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\\x", true},
        {"overlong solidus", "a\xC0\xAF" "b", U, HOST_MSDOS, "", "a__b", L"a\uFFFD\uFFFDb", true},
        {"surrogate", "\xED\xA0\x80x", U, HOST_MSDOS, "", "___x", L"\uFFFD\uFFFD\uFFFDx", true},
        {"stray continuation bytes", "\x80\xAFx", U, HOST_MSDOS, "", "__x", L"\uFFFD\uFFFDx", true},
        {"Unix, valid UTF-8", RESUME_UTF8, 0, HOST_UNIX, "", RESUME_1252, L"R\u00E9sum\u00E9.txt", true},
        {"macOS, valid UTF-8", RESUME_UTF8, 0, HOST_MACOS, "", RESUME_1252, L"R\u00E9sum\u00E9.txt", true},
        {"Unix, not UTF-8: bytes", RESUME_1252, 0, HOST_UNIX, "", RESUME_1252, L"", false},
        {"MS-DOS, UTF-8 bytes without bit 11: OEM text", RESUME_UTF8, 0, HOST_MSDOS, "", "R__sum__.txt",
         L"R\u251C\u2310sum\u251C\u2310.txt", true},
        {"NTFS, OEM text", "\x84\x94\x81/x.txt", 0, HOST_NTFS, "", "\xE4\xF6\xFC\\x.txt", L"\u00E4\u00F6\u00FC\\x.txt",
         true},
        {"NTFS, plain ASCII", "plain.txt", 0, HOST_NTFS, "", "plain.txt", L"", false},
        {"Unicode Path block", "Resume.txt", 0, HOST_MSDOS, UnicodePathBlock("Resume.txt", RESUME_UTF8),
         RESUME_1252, L"R\u00E9sum\u00E9.txt", true},
        {"Unicode Path block after a UT block", "Resume.txt", 0, HOST_MSDOS,
         UtBlock(1, 1) + UnicodePathBlock("Resume.txt", RESUME_UTF8), RESUME_1252, L"R\u00E9sum\u00E9.txt", true},
        {"Unicode Path block for another name", "Resume.txt", 0, HOST_MSDOS,
         UnicodePathBlock("Other.txt", RESUME_UTF8), "Resume.txt", L"", false},
        {"Unicode Path block of version 2", "Resume.txt", 0, HOST_MSDOS,
         UnicodePathBlock("Resume.txt", RESUME_UTF8, 2), "Resume.txt", L"", false},
        {"Unicode Path block climbing out", "safe.txt", 0, HOST_MSDOS, UnicodePathBlock("safe.txt", "../../x"), "x",
         L"", false},
        {"bit 11 over a Unicode Path block", "plain.txt", U, HOST_MSDOS, UnicodePathBlock("plain.txt", RESUME_UTF8),
         "plain.txt", L"", false},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.label);
        ZipBuilder::Entry e(c.name, "x");
        e.flags = c.flags;
        e.madeBy(c.host);
        e.centralExtra = c.extra;
        CheckName(c, e);
    }
}

// Names that 7-Zip and Windows write without the UTF-8 flag are text in the
// OEM code page of the machine that wrote them; read on a machine of the
// same code page, they keep their characters, and a double-byte character
// whose trail byte is a backslash (0x5C) is never split into folders. The
// rows of the machine's OEM code page run: this test runs again under Wine's
// Russian (866) and Japanese (932) settings (tests/zipread/CMakeLists.txt).
TEST(EntryNames, InTheOemCodePageOfTheirWriter)
{
    struct OemCase {
        UINT oem;
        NameCase name;
    };
    const OemCase cases[] = {
        {437, {"German, 437", "\x84rger/\x94l.txt", 0, HOST_MSDOS, "", "\xE4rger\\\xF6l.txt",
               L"\u00E4rger\\\u00F6l.txt", true}},
        {866, {"Russian, 866", "\xE2\xA5\xE1\xE2.txt", 0, HOST_NTFS, "", "\xF2\xE5\xF1\xF2.txt",
               L"\u0442\u0435\u0441\u0442.txt", true}},
        {932, {"Shift_JIS, a trail byte 0x5C", "\x95\x5C/\x83\x5C\x83t\x83g.txt", 0, HOST_NTFS, "",
               "_\\___.txt", L"\u8868\\\u30BD\u30D5\u30C8.txt", false}},
    };
    int ran = 0;
    for (const OemCase& c : cases) {
        if (c.oem != GetOEMCP())
            continue;
        SCOPED_TRACE(c.name.label);
        ran++;
        ZipBuilder::Entry e(c.name.name, "x");
        e.madeBy(c.name.host);
        CheckName(c.name, e);
    }
    if (ran == 0)
        GTEST_SKIP() << "no row for OEM code page " << GetOEMCP();
}

}  // namespace
