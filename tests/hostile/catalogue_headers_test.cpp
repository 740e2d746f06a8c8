// catalogue_headers_test.cpp -- local and central headers that disagree: the
// name, the method, the sizes, the CRC, the flags and the extra lengths. Only
// the local name and extra lengths are read from a local header; everything
// else must come from the central header, and a local header that points
// elsewhere may give wrong data but never wrong results reported as right.
#include "catalogue.h"
#include "support/zipbuilder.h"

namespace {

const std::string DATA = Text(5000);

// One entry with DATA, adjusted by `change`.
HostileCase Row(const std::string& name, void (*change)(ZipBuilder::Entry&), EntryExpect expect)
{
    ZipBuilder zip;
    zip.add("entry.txt", DATA);
    change(zip.back());
    HostileCase c{name, zip.build()};
    c.entries = {expect};
    c.names = {"entry.txt"};
    return c;
}

std::vector<HostileCase> HeaderCases()
{
    using E = ZipBuilder::Entry;
    std::vector<HostileCase> cases;

    // Fields of the local header that are never read: the data is sound.
    cases.push_back(Row("local sizes and CRC all wrong", [](E& e) {
        e.localCompressedSize = 0xFFFFFFFF;
        e.localUncompressedSize = 1;
        e.localCrc = 0x12345678;
    }, Ok(1, DATA)));
    cases.push_back(Row("local extra longer than the central one", [](E& e) {
        e.localExtra = ExtraBlock(0x7075, NoiseBytes(300));
    }, Ok(1, DATA)));

    // The data start after the local header's own name, as every reader
    // finds them: a local name other than the central one still finds the
    // data, a local name length that lies moves the start off them.
    cases.push_back(Row("local name one byte longer than the central one",
                        [](E& e) { e.localName = "entry.txt~"; }, Ok(1, DATA)));
    cases.push_back(Row("local name length longer than the local name",
                        [](E& e) { e.localNameLength = 200; }, Fails(1, {7, 11, 18}, {7, 18})));
    {
        ZipBuilder zip;
        zip.add("entry.txt", DATA);
        zip.back().name = "entry.txt";
        zip.back().centralNameLength = 5;  // "entry"; the walk is then out of step
        HostileCase c{"central name length shorter than the name", zip.build()};
        c.entries = {Ok(1, DATA)};  // the local header still finds the data
        cases.push_back(c);
    }

    // Local extra lengths that move the data start away from the data.
    {
        ZipBuilder zip;
        zip.add("entry.txt", DATA);
        ZipLayout layout;
        std::string bytes = zip.build(&layout);
        PokeU16(bytes, layout.localHeaders[0] + 28, 0xFFFF);  // extra length, past the end
        HostileCase c{"local extra length pointing past the end", bytes};
        c.entries = {Fails(1, {7}, {7})};
        cases.push_back(c);
    }
    {
        ZipBuilder zip;
        zip.add("entry.txt", DATA, 0);
        ZipLayout layout;
        std::string bytes = zip.build(&layout);
        PokeU16(bytes, layout.localHeaders[0] + 28, 3);  // 3 bytes of data taken for an extra field
        HostileCase c{"local extra length eating into stored data", bytes};
        c.entries = {Fails(1, {18}, {18})};
        cases.push_back(c);
    }

    // Methods: only the central method is used.
    {
        ZipBuilder zip;
        zip.add("entry.txt", DATA);
        ZipLayout layout;
        std::string bytes = zip.build(&layout);
        PokeU16(bytes, layout.localHeaders[0] + 8, 0);  // local says stored, central deflated
        HostileCase c{"local method stored, central deflated", bytes};
        c.entries = {Ok(1, DATA)};
        cases.push_back(c);
    }
    {
        ZipBuilder zip;
        zip.add("entry.txt", DATA);
        ZipLayout layout;
        std::string bytes = zip.build(&layout);
        PokeU16(bytes, layout.centralHeaders[0] + 10, 0);  // central says stored: the deflate data is copied
        HostileCase c{"central method stored over deflate data", bytes};
        c.entries = {Fails(1, {11, 18}, {18})};
        cases.push_back(c);
    }
    {
        ZipBuilder zip;
        zip.add("entry.txt", DATA, 0);
        ZipLayout layout;
        std::string bytes = zip.build(&layout);
        PokeU16(bytes, layout.centralHeaders[0] + 10, 8);  // central says deflated: text is no deflate data
        HostileCase c{"central method deflated over stored data", bytes};
        c.entries = {Fails(1, {11, 18}, {18})};
        cases.push_back(c);
    }
    {
        ZipBuilder zip;
        zip.add("entry.txt", DATA, 0);
        ZipLayout layout;
        std::string bytes = zip.build(&layout);
        PokeU16(bytes, layout.centralHeaders[0] + 10, 99);  // AES, but without its AES field
        HostileCase c{"central method 99 without an AES field", bytes};
        c.entries = {Unselectable(1, 6)};
        cases.push_back(c);
    }

    // Sizes and CRC: only the central ones count.
    cases.push_back(Row("central sizes 0 and CRC 0 (data descriptor style)", [](E& e) {
        e.compressedSize = 0;
        e.uncompressedSize = 0;
        e.crc = 0;
    }, Ok(1, "")));
    cases.push_back(Row("central sizes 0 with the real CRC", [](E& e) {
        e.compressedSize = 0;
        e.uncompressedSize = 0;
    }, Fails(1, {18}, {18})));
    cases.push_back(Row("data descriptor without signature, local values 0", [](E& e) {
        e.dataDescriptor = true;
        e.descriptorSignature = false;
    }, Ok(1, DATA)));

    // Flags: the central ones count.
    {
        ZipBuilder zip;
        zip.add("entry.txt", DATA, 0);
        ZipLayout layout;
        std::string bytes = zip.build(&layout);
        PokeU16(bytes, layout.centralHeaders[0] + 8, 1);  // encrypted, but the data is plain
        HostileCase c{"central flag encrypted over plain data", bytes};
        c.entries = {Fails(1, {11, 18, 19}, {18, 19})};
        cases.push_back(c);
    }
    {
        ZipBuilder zip;
        ZipBuilder::Entry e("entry.txt", DATA);
        e.password = "secret";
        zip.add(e);
        ZipLayout layout;
        std::string bytes = zip.build(&layout);
        PokeU16(bytes, layout.centralHeaders[0] + 8, 0);  // plain, but the data is encrypted
        HostileCase c{"central flag plain over encrypted data", bytes};
        c.password = "secret";
        c.entries = {Fails(1, {11, 18}, {18})};
        cases.push_back(c);
    }

    // Local header offsets that point elsewhere.
    {
        ZipBuilder zip;
        zip.add("a.txt", "first entry's data", 0);
        zip.add("b.txt", "second entry's data", 0);
        zip.back().localHeaderOffset = 0;  // the first entry's local header
        HostileCase c{"local header offset of another entry", zip.build()};
        c.entries = {Ok(1, "first entry's data"), Fails(2, {18}, {18})};
        cases.push_back(c);
    }
    {
        ZipBuilder zip;
        zip.add("a.txt", DATA);
        ZipLayout layout;
        zip.build(&layout);
        zip.back().localHeaderOffset = layout.centralDirectory;
        HostileCase c{"local header offset at the central directory", zip.build()};
        c.entries = {Fails(1, {7, 11, 18}, {7, 18})};
        cases.push_back(c);
    }
    {
        ZipBuilder zip;
        zip.add("a.txt", DATA);
        zip.back().localHeaderOffset = 7;  // into the local header itself
        HostileCase c{"local header offset inside the local header", zip.build()};
        c.entries = {Fails(1, {7, 11, 18}, {7, 18})};
        cases.push_back(c);
    }

    // A central extra field that claims more than the header holds.
    {
        ZipBuilder zip;
        zip.add("a.txt", "a");
        zip.back().centralExtra = UtBlock(7, 1000000000);  // flags 3 times, holds one
        zip.back().centralExtraLength = 20;  // and the length reaches into the next header
        zip.add("b.txt", "b");
        HostileCase c{"central extra length reaching into the next header", zip.build()};
        c.entries = {Ok(1, "a"), Unselectable(2, 6)};
        cases.push_back(c);
    }
    return cases;
}

TEST_F(HostileCatalogue, LocalAndCentralDisagree)
{
    RunTable(HeaderCases());
}

}  // namespace
