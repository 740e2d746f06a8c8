// catalogue_sizes_test.cpp -- hostile sizes and streams: declared sizes far
// from the data (100 bytes that inflate to 16 MiB, 0x80000000, 0xFFFFFFFF),
// deflate data with no final block or with references before its start,
// stored sizes that disagree, wrong CRCs, and two bombs: many central entries
// sharing one local file, and a high ratio bounded by the declared size.
#include <windows.h>
#include <psapi.h>
#include <zlib.h>

#include "catalogue.h"
#include "support/zipbuilder.h"

namespace {

const size_t MIB = 1 << 20;

// Raw deflate data that is flushed but never finished: no final block.
std::string DeflateWithoutFinalBlock(const std::string& data)
{
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, (uLong)data.size()) + 64, '\0');
    z.next_in = (Bytef*)data.data();
    z.avail_in = (uInt)data.size();
    z.next_out = (Bytef*)&out[0];
    z.avail_out = (uInt)out.size();
    deflate(&z, Z_SYNC_FLUSH);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
}

// Raw deflate data that refers back into a preset dictionary, which a
// reader without it sees as distances before the start of the output.
std::string DeflateWithDictionary(const std::string& data, const std::string& dictionary)
{
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    deflateSetDictionary(&z, (const Bytef*)dictionary.data(), (uInt)dictionary.size());
    std::string out(deflateBound(&z, (uLong)data.size()) + 64, '\0');
    z.next_in = (Bytef*)data.data();
    z.avail_in = (uInt)data.size();
    z.next_out = (Bytef*)&out[0];
    z.avail_out = (uInt)out.size();
    deflate(&z, Z_FINISH);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
}

// `copies` central entries, all naming the one local file of `zip`'s only entry.
std::string SharedLocalFile(const ZipBuilder& zip, uint16_t copies)
{
    ZipLayout layout;
    std::string one = zip.build(&layout);
    std::string central = one.substr(layout.centralDirectory, layout.endRecord - layout.centralDirectory);
    std::string out = one.substr(0, layout.centralDirectory);
    for (uint16_t i = 0; i < copies; i++)
        out += central;
    uint32_t size = (uint32_t)(out.size() - layout.centralDirectory);
    PutU32(out, END_RECORD_SIGNATURE);
    PutU16(out, 0);
    PutU16(out, 0);
    PutU16(out, copies);
    PutU16(out, copies);
    PutU32(out, size);
    PutU32(out, layout.centralDirectory);
    PutU16(out, 0);
    return out;
}

size_t PeakWorkingSet()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PeakWorkingSetSize;
}

HostileCase One(const std::string& name, const ZipBuilder::Entry& entry, EntryExpect expect)
{
    ZipBuilder zip;
    zip.add(entry);
    HostileCase c{name, zip.build()};
    c.entries = {expect};
    c.names = {entry.name};
    return c;
}

std::vector<HostileCase> SizeCases()
{
    using E = ZipBuilder::Entry;
    std::vector<HostileCase> cases;
    const std::string zeros16(16 * MIB, '\0');
    const std::string text = Text(1000);

    // Declared sizes far from what the data holds.
    {
        E e("bomb.txt", zeros16);
        e.uncompressedSize = 100;
        cases.push_back(One("declared size 100 that inflates to 16 MiB", e, Fails(1, {18}, {18})));
        e.crc = Crc32(zeros16.substr(0, 100));
        // The CRC of the bytes it stops at does not make them the entry: the
        // data go on past the recorded size.
        cases.push_back(One("declared size 100 with the CRC of its first 100 bytes", e, Fails(1, {18}, {18})));
    }
    for (uint32_t size : {0x80000000u, 0xFFFFFFFFu, 0x7FFFFFF0u}) {
        E e("huge.txt", text);
        e.uncompressedSize = size;
        char name[64];
        snprintf(name, sizeof name, "declared size 0x%08X over 1,000 bytes", size);
        cases.push_back(One(name, e, Fails(1, {11}, {18})));
    }
    {
        // A variable of 256 MiB could be made, but 1,000 bytes of deflate
        // data can never fill it: nothing of that size is allocated.
        E e("big.txt", text);
        e.uncompressedSize = 256 * MIB;
        HostileCase c = One("declared size 256 MiB over 1,000 bytes", e, Fails(1, {11}, {18}));
        c.more = [](const ScriptRun&) {
            // Under an emulator (TARVUNE_EMULATOR) the working set is mostly
            // the emulator's own code and tables: no figure of the add-on's.
            if (!getenv("TARVUNE_EMULATOR")) {
                EXPECT_LT(PeakWorkingSet(), 200 * MIB) << "memory was taken for a size the data cannot have";
            }
        };
        cases.push_back(c);
        // bzip2 has no such bound (a few bytes may stand for megabytes): its
        // data are decoded once to nowhere before any memory is taken.
        E bz = MethodEntry("big.bz2.txt", METHOD_BZIP2, "seed");
        bz.uncompressedSize = 256 * MIB;
        HostileCase b = One("bzip2, declared size 256 MiB over 2,410 bytes", bz, Fails(1, {11}, {18}));
        b.more = c.more;
        cases.push_back(b);
    }

    // Deflate data without a final block.
    {
        E e("open.txt", text);
        e.rawPayload = DeflateWithoutFinalBlock(text);
        cases.push_back(One("deflate data with no final block, all data there", e, Fails(1, {18}, {18})));
        std::string cut = DeflateWithoutFinalBlock(NoiseBytes(4000));
        E half("half.txt", NoiseBytes(4000));
        half.rawPayload = cut.substr(0, cut.size() / 2);
        cases.push_back(One("deflate data with no final block, cut in half", half, Fails(1, {11, 18}, {18})));
    }
    {
        E e("dict.txt", text);
        e.rawPayload = DeflateWithDictionary(text, text);
        cases.push_back(One("deflate data reaching back before its start", e, Fails(1, {18}, {18})));
    }
    {
        E e("noise.txt", text);
        e.rawPayload = NoiseBytes(600, 7);
        cases.push_back(One("noise instead of deflate data", e, Fails(1, {11, 18}, {18})));
    }
    {
        E e("tail.txt", text);
        e.rawPayload = Deflate(text) + NoiseBytes(500);
        cases.push_back(One("deflate data followed by noise within the compressed size", e,
                            Fails(1, {18}, {18})));
    }
    {
        E e("far.txt", text);
        e.compressedSize = 0x80000000;
        cases.push_back(One("compressed size 0x80000000 over deflate data", e, Fails(1, {7, 18}, {7, 18})));
    }

    // Stored entries whose sizes disagree: only data that are exactly the
    // compressed size are the entry.
    {
        E e("short.txt", text, 0);
        e.compressedSize = 50;
        cases.push_back(One("stored, compressed size 50 below the uncompressed 1,000", e,
                            Fails(1, {11}, {18})));
    }
    {
        E e("long.txt", text, 0);
        e.compressedSize = 2000;
        cases.push_back(One("stored, compressed size 2,000 above the uncompressed 1,000", e,
                            Fails(1, {18}, {18})));
        e.compressedSize = 0xFFFFFFFF;
        cases.push_back(One("stored, compressed size 0xFFFFFFFF", e, Fails(1, {7, 18}, {7, 18})));
    }
    {
        E e("past.txt", text, 0);
        e.compressedSize = 100000;
        e.uncompressedSize = 100000;
        cases.push_back(One("stored, both sizes past the end of the archive", e, Fails(1, {7, 11}, {7})));
    }

    // CRCs.
    {
        E e("crc.txt", text);
        e.crc = Crc32(text) ^ 1;
        cases.push_back(One("wrong CRC", e, Fails(1, {18}, {18})));
        e.crc = 0;
        cases.push_back(One("CRC of 0 over data", e, Fails(1, {18}, {18})));
        E empty("empty.txt", "");
        empty.crc = 0;
        cases.push_back(One("CRC of 0 over an empty entry", empty, Ok(1, "")));
        empty.crc = 0xDEADBEEF;
        cases.push_back(One("CRC other than 0 over an empty entry", empty, Fails(1, {18}, {18})));
    }

    // Bombs.
    {
        const std::string zeros(256 * 1024, '\0');
        ZipBuilder zip;
        zip.add("shared.bin", zeros);
        HostileCase c{"64 central entries sharing one local file of 256 KiB", SharedLocalFile(zip, 64)};
        c.count = 64;
        c.maxEntries = 64;
        for (uint32_t i = 1; i <= 64; i++)
            c.entries.push_back(Ok(i, zeros));
        cases.push_back(c);
    }
    {
        E e("ratio.bin", zeros16);
        cases.push_back(One("16 MiB from 16 KiB, declared 16 MiB", e, Ok(1, zeros16)));
        e.uncompressedSize = (uint32_t)MIB;
        e.crc = Crc32(zeros16.substr(0, MIB));
        cases.push_back(One("16 MiB from 16 KiB, declared 1 MiB", e, Fails(1, {18}, {18})));
    }
    // The same bomb in every other method, as real tools made it at build
    // time: 16 MiB of zeros in a few KiB. Whole, it is the entry; declared
    // smaller, its data go on past the recorded size.
    for (uint16_t method : {METHOD_DEFLATE64, METHOD_BZIP2, METHOD_LZMA, METHOD_ZSTANDARD, METHOD_XZ, METHOD_PPMD}) {
        E e = MethodEntry("bomb.bin", method, "bomb");
        e.crc = Crc32(e.data);  // the 16 MiB go: this test's peak memory is measured
        e.uncompressedSize = (uint32_t)e.data.size();
        std::string().swap(e.data);
        std::string name = "method " + std::to_string(method) + ", 16 MiB of zeros";
        cases.push_back(One(name + ", declared 16 MiB", e, Ok(1)));
        e.uncompressedSize = 100;
        cases.push_back(One(name + ", declared 100", e, Fails(1, {18}, {18})));
    }
    return cases;
}

TEST_F(HostileCatalogue, SizesAndStreams)
{
    RunTable(SizeCases());
}

}  // namespace
