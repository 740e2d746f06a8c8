// catalogue_gzip_test.cpp -- hostile gzip files read as one-item archives:
// FNAME or FCOMMENT without their NUL, FEXTRA longer than the file, trailers
// cut short, an ISIZE or CRC that lies, headers too short for a trailer, and
// FNAME carrying the hostile paths of the ZIP catalogue.
#include "catalogue.h"
#include "support/bytes.h"
#include "support/gzipbuilder.h"

namespace {

const std::string DATA = Text(4000);

HostileCase Row(const std::string& name, const std::string& gz, EntryExpect expect, uint32_t open = 0)
{
    HostileCase c{name, gz};
    c.open = open;
    c.count = 1;
    c.entries = {expect};
    return c;
}

std::vector<HostileCase> GzipCases()
{
    std::vector<HostileCase> cases;
    cases.push_back(Row("sound member with FNAME", GzipBuilder().data(DATA).name("data.txt").build(),
                        Ok(1, DATA)));

    // Header texts and fields that run past the end of the file.
    {
        std::string gz = GzipBuilder().data(DATA).name("tvescape_name").build();
        gz = gz.substr(0, 10) + std::string(200, 'n');  // FNAME with no NUL to the end
        cases.push_back(Row("FNAME without a NUL", gz, Unselectable(1, 6)));
    }
    {
        std::string gz = GzipBuilder().data(DATA).comment("comment").build();
        gz = gz.substr(0, 10) + std::string(300, 'c');
        cases.push_back(Row("FCOMMENT without a NUL", gz, Unselectable(1, 6)));
    }
    cases.push_back(Row("FEXTRA of 65,535 bytes in a short file",
                        GzipBuilder().data(DATA).extra(std::string(10, 'x')).build().replace(10, 2, "\xff\xff"),
                        Unselectable(1, 6)));
    cases.push_back(Row("FHCRC flag on a file of the header alone",
                        GzipBuilder().data("").headerCrc().build().substr(0, 11), Unselectable(1, 6)));
    cases.push_back(Row("the two magic bytes alone", "\x1f\x8b", Unselectable(1, 6)));
    cases.push_back(Row("header of 10 bytes and nothing else",
                        GzipBuilder().data(DATA).build().substr(0, 10), Unselectable(1, 6)));

    // Trailers that lie or are cut short.
    for (size_t kept : {0u, 4u, 7u}) {
        std::string gz = GzipBuilder().data(DATA).name("cut.txt").trailerLength(kept).build();
        cases.push_back(Row("trailer cut to " + std::to_string(kept) + " bytes", gz, Fails(1, {11, 18}, {7, 18})));
    }
    cases.push_back(Row("ISIZE larger than the data", GzipBuilder().data(DATA).name("data.txt").isize(8000).build(),
                        Fails(1, {11}, {18})));
    cases.push_back(Row("ISIZE smaller than the data", GzipBuilder().data(DATA).name("data.txt").isize(100).build(),
                        Fails(1, {18}, {18})));
    cases.push_back(Row("ISIZE of 0xFFFFFFFF", GzipBuilder().data(DATA).name("data.txt").isize(0xFFFFFFFF).build(),
                        Fails(1, {11}, {18})));
    cases.push_back(Row("ISIZE of 0 over data", GzipBuilder().data(DATA).name("data.txt").isize(0).build(),
                        Fails(1, {18}, {18})));
    cases.push_back(Row("wrong CRC", GzipBuilder().data(DATA).name("data.txt").crc(Crc32(DATA) ^ 0x80000000).build(),
                        Fails(1, {18}, {18})));
    cases.push_back(Row("two members: the trailer is the second one's",
                        GzipBuilder().data(DATA).name("data.txt").build() + GzipBuilder().data("second").build(),
                        Fails(1, {11, 18}, {18})));
    cases.push_back(Row("method byte 0 over deflate data", GzipBuilder().data(DATA).name("data.txt").method(0).build(),
                        Ok(1, DATA)));
    cases.push_back(Row("noise after the header", std::string("\x1f\x8b\x08\x08\0\0\0\0\0\x03noise.txt\0", 20) + NoiseBytes(500),
                        Fails(1, {11, 18}, {18})));

    // FNAME carries a path like any entry name.
    {
        HostileCase c = Row("FNAME ../../tvescape_gz", GzipBuilder().data(DATA).name("../../tvescape_gz").build(),
                            At(1, "tvescape_gz"));
        c.entries[0].memory = c.entries[0].handle = c.entries[0].file = {0};
        c.names = {"../../tvescape_gz"};
        cases.push_back(c);
    }
    cases.push_back(Row("FNAME C:\\tvescape_gz", GzipBuilder().data(DATA).name("C:\\tvescape_gz").build(),
                        At(1, "tvescape_gz")));
    cases.push_back(Row("FNAME CON.txt", GzipBuilder().data(DATA).name("CON.txt").build(), At(1, "_CON.txt")));
    {
        std::string name = "tvescape_" + std::string(70000, 'g');
        HostileCase c = Row("FNAME of 70,009 bytes", GzipBuilder().data(DATA).name(name).build(),
                            Fails(1, {0}, {0}));
        c.entries[0].file = {0, 1};
        cases.push_back(c);
    }
    {
        // Without FNAME the item's path is the root alone: no file can be made there.
        EntryExpect e = At(1, "");
        e.memory = e.handle = {0};
        e.file = {1};
        cases.push_back(Row("no FNAME", GzipBuilder().data(DATA).build(), e));
    }
    return cases;
}

TEST_F(HostileCatalogue, Gzip)
{
    RunTable(GzipCases());
}

}  // namespace
