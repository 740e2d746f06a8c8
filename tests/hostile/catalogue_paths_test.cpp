// catalogue_paths_test.cpp -- hostile entry names: every way a name may try to
// leave the root directory (climbing, absolute and drive paths, UNC and
// device prefixes, streams, DOS device names, dot-and-blank components), and
// names too long or with NUL bytes inside. Each name carries the marker
// "tvescape", so a file that got out is found wherever it went.
#include "catalogue.h"
#include "sentinel.h"
#include "support/zipbuilder.h"

namespace {

struct PathRow {
    std::string name;      // as stored in the archive
    std::string relative;  // tail 0 after the root and its backslash
    Codes file = {0};      // GETITEM to a file: 1 where Windows refuses the name
    bool utf8 = false;     // the name is declared UTF-8 (flag bit 11)
};

HostileCase FromPathRow(const PathRow& row)
{
    std::string data = "contents of " + row.name;
    HostileCase c;
    c.name = "name \"" + row.name + "\"";
    ZipBuilder zip;
    zip.add(row.name, data);
    if (row.utf8)
        zip.back().flags = FLAG_UTF8_NAME;
    c.archive = zip.build();
    EntryExpect e = At(1, row.relative);
    e.memory = e.handle = {0};
    e.file = row.file;
    e.bytes = data;
    c.entries = {e};
    if (!row.name.empty())
        c.names = {row.name};
    return c;
}

std::string Repeat(const std::string& part, size_t times)
{
    std::string out;
    for (size_t i = 0; i < times; i++)
        out += part;
    return out;
}

std::vector<HostileCase> PathCases()
{
    const std::vector<PathRow> rows = {
        // Climbing: every ".." that ends in a separator goes back to the root.
        {"../tvescape1.txt", "tvescape1.txt"},
        {"..\\tvescape2.txt", "tvescape2.txt"},
        {"a/../../b/../../../tvescape3.txt", "tvescape3.txt"},
        {"a/b/../tvescape4.txt", "tvescape4.txt"},
        {Repeat("../", 80) + "tvescape5", "tvescape5"},
        {Repeat("../", 100) + "tvescape36", ".", {1}},  // cut at 259 bytes, inside the last ".."
        {"..\\/..//\\tvescape6", "tvescape6"},
        {"a/..", "", {1}},
        {"..", "", {1}},
        {"a/.", "a\\.", {1}},
        // Absolute and drive paths.
        {"/etc/tvescape7", "etc\\tvescape7"},
        {"\\tvescape8", "tvescape8"},
        {"C:\\tvescape9.txt", "tvescape9.txt"},
        {"C:tvescape10.txt", "tvescape10.txt"},
        {"C:\\..\\..\\tvescape11", "tvescape11"},
        {"Z:/tmp/tvescape12", "tmp\\tvescape12"},
        // A drive that appears only once a ".." is taken away.
        {"../C:/tvescape13.txt", "C_\\tvescape13.txt"},
        {"..\\..\\D:\\tvescape14", "D_\\tvescape14"},
        {"a/../Z:/tvescape15", "Z_\\tvescape15"},
        // UNC and device namespace prefixes.
        {"\\\\server\\share\\tvescape16", "server\\share\\tvescape16"},
        {"//server/share/tvescape17", "server\\share\\tvescape17"},
        {"\\\\?\\C:\\tvescape18", "_\\C_\\tvescape18"},
        {"\\\\.\\C:\\tvescape19", ".\\C_\\tvescape19"},
        {"//./PhysicalDrive0/tvescape20", ".\\PhysicalDrive0\\tvescape20"},
        {"\\\\?\\UNC\\server\\share\\tvescape21", "_\\UNC\\server\\share\\tvescape21"},
        // Colons: streams and drive-relative names.
        {"a:tvescape22", "tvescape22"},  // a drive-relative name
        {"ab:tvescape35", "ab_tvescape35"},
        {"tvescape23.txt::$DATA", "tvescape23.txt__$DATA"},
        {"dir:stream/tvescape24", "dir_stream\\tvescape24"},
        {"C:a:tvescape25", "a_tvescape25"},
        // DOS device names, alone, with extensions and trailing blanks.
        {"CON", "_CON"},
        {"con.txt", "_con.txt"},
        {"NUL .txt", "_NUL .txt"},
        {"aux ", "_aux "},
        {"AUX .tvescape", "_AUX .tvescape"},
        {"dir/COM1/tvescape26", "dir\\_COM1\\tvescape26"},
        {"LPT9.tar.gz", "_LPT9.tar.gz"},
        {"Lpt1", "_Lpt1"},
        {"prn.....", "_prn....."},
        {"a\\CON\\tvescape27", "a\\_CON\\tvescape27"},
        {"com0", "com0"},
        {"COM\xC2\xB9", "_COM\xB9", {0}, true},  // COM and a superscript 1, declared UTF-8
        // Components of dots and blanks, which Windows may read as "..".
        {".. /tvescape28", "tvescape28"},
        {". ./tvescape29", "tvescape29"},
        {".../tvescape30", "tvescape30"},
        {"a/ ../tvescape31", "tvescape31"},
        {"a/. .", "", {1}},
        {"a/...", "", {1}},
        {"tvescape32. . .", "tvescape32. . ."},
        // UTF-8 names whose characters look like separators, dots, colons or
        // devices, or that spell them in forbidden forms: none reaches the
        // path as one (code page 1252 lacks every such character).
        {"\xEF\xBC\x8E\xEF\xBC\x8E\xEF\xBC\x8Ftvescape40", "___tvescape40", {0}, true},  // fullwidth ../
        {"..\xEF\xBC\xBCtvescape41", ".._tvescape41", {0}, true},                    // fullwidth backslash
        {"C\xEF\xBC\x9Atvescape42", "C_tvescape42", {0}, true},                      // fullwidth colon
        {"\xE2\x88\x95..\xE2\x88\x95tvescape43", "_.._tvescape43", {0}, true},        // division slashes
        {"\xEF\xBC\xA3\xEF\xBC\xAF\xEF\xBC\xAE.tvescape44", "___.tvescape44", {0}, true},  // fullwidth CON
        {"\xC0\xAE\xC0\xAE/tvescape45", "____\\tvescape45", {0}, true},                // overlong dots
        {"\xC0\xAF..\xC0\xAFtvescape46", "__..__tvescape46", {0}, true},              // overlong slashes
        {"\xED\xA0\x80/tvescape47", "___\\tvescape47", {0}, true},                    // a surrogate
        // Names that are no file at all.
        {"/", "", {0}},  // a folder: the root
        {"", "", {1}},
    };
    std::vector<HostileCase> cases;
    for (const PathRow& row : rows)
        cases.push_back(FromPathRow(row));

    // A directory entry that tries to climb becomes a directory under the root.
    {
        ZipBuilder zip;
        zip.add("../../tvescape_dir/", "", 0);
        zip.back().externalAttributes = FILE_ATTRIBUTE_DIRECTORY;
        HostileCase c{"directory entry ../../tvescape_dir/", zip.build()};
        EntryExpect e = At(1, "tvescape_dir\\");
        e.memory = e.handle = e.file = {0};
        c.entries = {e};
        c.more = [](const ScriptRun& run) {
            EXPECT_TRUE(DirectoryExists(run.root + "\\tvescape_dir"));
        };
        cases.push_back(c);
    }

    // A Unix symbolic link is extracted as a plain file holding its target.
    {
        ZipBuilder zip;
        zip.add("tvescape_link", "../../../../etc/passwd", 0);
        zip.back().madeBy(HOST_UNIX, 30);
        zip.back().externalAttributes = 0xA1FF0000;  // S_IFLNK | 0777
        HostileCase c{"Unix symbolic link to ../../../../etc/passwd", zip.build()};
        EntryExpect e = At(1, "tvescape_link");
        e.memory = e.handle = e.file = {0};
        e.bytes = "../../../../etc/passwd";
        c.entries = {e};
        c.more = [](const ScriptRun& run) {
            if (run.entry(1) && run.entry(1)->fileCode == 0) {
                EXPECT_EQ(ReadWholeFile(run.root + "\\tvescape_link"), "../../../../etc/passwd");
            }
        };
        cases.push_back(c);
    }

    // Names of 259, 300 and 65,535 bytes: only the first 259 bytes count, the
    // path is cut at 260 characters, and the walk stays in step with the
    // entry after them.
    for (size_t length : {259u, 300u, 65535u}) {
        std::string name = "tvescape_" + Repeat("n", length - 9);
        ZipBuilder zip;
        zip.add(name, "long");
        zip.add("after.txt", "after");
        HostileCase c{"name of " + std::to_string(length) + " bytes", zip.build()};
        EntryExpect first = Fails(1, {0}, {0});
        first.file = {0, 1};  // Windows refuses paths and components this long
        EntryExpect second = Ok(2, "after");
        second.path = "after.txt";
        c.entries = {first, second};
        c.names = {"after.txt", name};
        c.more = [](const ScriptRun& run) {
            const EntryRun* e = run.entry(1);
            ASSERT_NE(e, nullptr);
            EXPECT_EQ(e->path.size(), 260u) << "the path is cut at 260 characters";
            EXPECT_TRUE(run.finds.size() == 4 && run.finds[0].found) << "after.txt is found by name";
            EXPECT_TRUE(run.finds.size() == 4 && !run.finds[2].found)
                << "a name of 256 characters or more is not looked up";
        };
        cases.push_back(c);
    }

    // NUL bytes inside a name end it where they stand.
    {
        std::string name("a\0../../tvescape33", 18);
        ZipBuilder zip;
        zip.add(name, "nul inside");
        zip.add(std::string("\0../../tvescape34", 17), "nul first");
        HostileCase c{"NUL bytes inside names", zip.build()};
        EntryExpect first = At(1, "a");
        first.memory = first.handle = first.file = {0};
        EntryExpect second = At(2, "");
        second.memory = second.handle = {0};
        second.file = {1};
        c.entries = {first, second};
        c.names = {"a"};
        c.more = [](const ScriptRun& run) {
            ASSERT_EQ(run.finds.size(), 2u);
            EXPECT_TRUE(run.finds[0].found) << "the name up to its NUL is found";
        };
        cases.push_back(c);
    }
    return cases;
}

TEST_F(HostileCatalogue, Paths)
{
    RunTable(PathCases());
}

}  // namespace
