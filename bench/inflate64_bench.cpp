// inflate64_bench.cpp -- decoding speed of the Deflate64 decoder
// (zipread/inflate64.cpp) against zlib's raw inflate on the same content, in
// the same process and rounds. Run by bench/inflate64.sh:
//
//   inflate64_bench make DIRECTORY           writes the content files there
//   inflate64_bench run ARCHIVE [--rounds N]  measures its Deflate64 entries
//
// ARCHIVE holds the content files compressed by 7zz with Deflate64. For each
// entry, the content is also compressed with zlib's deflate at level 6 (what
// zip and zipfile use) and decoded with zlib's raw inflate. Both decoders
// are timed two ways: fed as the reader feeds them, input in blocks of
// INPUT_BLOCK_SIZE and output into one block of WRITE_BLOCK_SIZE used over
// and over; and in one call from the whole input into the whole output.
// Figures are MB/s of output (10^6 bytes), the fastest of the rounds.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "benchclock.h"
#include "benchdata.h"
#include "inflate64.h"
#include "zipread.h"

namespace {

const uint32_t TEXT_SIZE = 32u << 20;
const uint32_t MIXED_SIZE = 16u << 20;
const uint32_t LOCAL_HEADER_SIGNATURE = 0x04034b50;  // "PK\3\4"
const uint16_t METHOD_DEFLATE64 = 9;
const double MEGABYTE = 1e6;

bool WriteFileBytes(const std::string& path, const std::string& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

bool ReadFileBytes(const std::string& path, std::string& bytes)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char block[1 << 16];
    size_t n;
    bytes.clear();
    while ((n = fread(block, 1, sizeof(block), f)) > 0)
        bytes.append(block, n);
    fclose(f);
    return true;
}

// text.txt: the benchmarks' text-like lines. mixed.bin: stretches of text,
// of random bytes and of earlier 40 KiB stretches again from 33 to 64 KiB
// back, where only Deflate64's window reaches.
bool MakeContent(const std::string& directory)
{
    std::string text(TEXT_SIZE, '\0');
    TextStream(0x5EED0064).fill(&text[0], text.size());
    if (!WriteFileBytes(directory + "/text.txt", text))
        return false;

    std::string mixed;
    TextStream words(0x5EED0065);
    uint32_t x = 12345;
    while (mixed.size() < MIXED_SIZE) {
        x = x * 1103515245u + 12345u;
        uint32_t kind = (x >> 16) % 3;
        size_t size = 8192 + (x >> 8) % 32768;
        if (kind == 0) {
            std::string part(size, '\0');
            words.fill(&part[0], size);
            mixed += part;
        } else if (kind == 1) {
            for (size_t i = 0; i < size; i++) {
                x = x * 1103515245u + 12345u;
                mixed += (char)(x >> 24);
            }
        } else if (mixed.size() > 65536) {
            size_t back = 33000 + (x >> 4) % 31000;
            size_t length = std::min<size_t>(size, back);
            mixed += mixed.substr(mixed.size() - back, length);
        }
    }
    mixed.resize(MIXED_SIZE);
    return WriteFileBytes(directory + "/mixed.bin", mixed);
}

struct Entry {
    std::string name;
    uint16_t method;
    uint32_t crc;
    uint32_t size;
    std::string raw;
};

uint32_t Get16(const std::string& b, size_t at)
{
    return (uint8_t)b[at] | (uint32_t)(uint8_t)b[at + 1] << 8;
}

uint32_t Get32(const std::string& b, size_t at)
{
    return Get16(b, at) | Get16(b, at + 2) << 16;
}

// The entries in the order of their local headers (7zz writes sizes there,
// and no data descriptors).
std::vector<Entry> ReadEntries(const std::string& zip)
{
    std::vector<Entry> entries;
    size_t at = 0;
    while (at + 30 <= zip.size() && Get32(zip, at) == LOCAL_HEADER_SIGNATURE) {
        Entry e;
        e.method = (uint16_t)Get16(zip, at + 8);
        e.crc = Get32(zip, at + 14);
        uint32_t packed = Get32(zip, at + 18);
        e.size = Get32(zip, at + 22);
        size_t data = at + 30 + Get16(zip, at + 26) + Get16(zip, at + 28);
        if (data > zip.size() || packed > zip.size() - data)
            break;
        e.name = zip.substr(at + 30, Get16(zip, at + 26));
        e.raw = zip.substr(data, packed);
        entries.push_back(e);
        at = data + packed;
    }
    return entries;
}

// Decodes `raw` fed in input blocks of `inBlock` bytes into output blocks of
// `outBlock` bytes: one reused block when `out` is null, else consecutive
// blocks of `out`. Returns the bytes delivered, or 0 when the stream does not
// end well; `crc` (when given) receives their CRC-32.
uint64_t RunInflate64(const std::string& raw, uint32_t inBlock, uint8_t* out, uint32_t outBlock, uint32_t* crc)
{
    std::vector<uint8_t> reused(out ? 0 : outBlock);
    Inflate64* state = Inflate64Start();
    if (!state)
        return 0;
    const uint8_t* next = (const uint8_t*)raw.data();
    uint32_t rawLeft = (uint32_t)raw.size();
    uint32_t inLeft = 0;
    uint64_t total = 0;
    uint32_t sum = 0;
    int result = INFLATE64_MORE;
    while (result == INFLATE64_MORE) {
        if (inLeft == 0) {
            if (rawLeft == 0)
                break;
            inLeft = rawLeft < inBlock ? rawLeft : inBlock;
            rawLeft -= inLeft;
        }
        uint8_t* block = out ? out + total : reused.data();
        uint8_t* put = block;
        uint32_t outLeft = outBlock;
        result = Inflate64Run(state, &next, &inLeft, &put, &outLeft);
        total += (uint64_t)(put - block);
        if (crc)
            sum = (uint32_t)crc32(sum, block, (uInt)(put - block));
    }
    Inflate64End(state);
    if (crc)
        *crc = sum;
    return result == INFLATE64_ENDED ? total : 0;
}

uint64_t RunZlib(const std::string& raw, uint32_t inBlock, uint8_t* out, uint32_t outBlock, uint32_t* crc)
{
    std::vector<uint8_t> reused(out ? 0 : outBlock);
    z_stream z;
    memset(&z, 0, sizeof(z));
    if (inflateInit2(&z, -15) != Z_OK)
        return 0;
    const uint8_t* next = (const uint8_t*)raw.data();
    uint32_t rawLeft = (uint32_t)raw.size();
    uint64_t total = 0;
    uint32_t sum = 0;
    int result = Z_OK;
    while (result == Z_OK) {
        if (z.avail_in == 0) {
            if (rawLeft == 0)
                break;
            z.next_in = (Bytef*)next;
            z.avail_in = rawLeft < inBlock ? rawLeft : inBlock;
            next += z.avail_in;
            rawLeft -= z.avail_in;
        }
        uint8_t* block = out ? out + total : reused.data();
        z.next_out = block;
        z.avail_out = outBlock;
        result = inflate(&z, Z_NO_FLUSH);
        total += outBlock - z.avail_out;
        if (crc)
            sum = (uint32_t)crc32(sum, block, outBlock - z.avail_out);
    }
    inflateEnd(&z);
    if (crc)
        *crc = sum;
    return result == Z_STREAM_END ? total : 0;
}

std::string Deflate(const std::string& content)
{
    z_stream z;
    memset(&z, 0, sizeof(z));
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, (uLong)content.size()), '\0');
    z.next_in = (Bytef*)content.data();
    z.avail_in = (uInt)content.size();
    z.next_out = (Bytef*)&out[0];
    z.avail_out = (uInt)out.size();
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

typedef uint64_t (*Decoder)(const std::string&, uint32_t, uint8_t*, uint32_t, uint32_t*);

// Seconds one decoding takes; 0 when it does not deliver the size.
double Timed(Decoder decode, const std::string& raw, uint32_t inBlock, uint8_t* out, uint32_t outBlock, uint64_t size)
{
    Stopwatch watch;
    return decode(raw, inBlock, out, outBlock, nullptr) == size ? watch.seconds() : 0;
}

int Run(const std::string& archive, int rounds)
{
    std::string zip;
    if (!ReadFileBytes(archive, zip)) {
        fprintf(stderr, "inflate64_bench: cannot read %s\n", archive.c_str());
        return 1;
    }
    printf("Deflate64 entries of %s; %d rounds, fastest; MB/s of output\n", archive.c_str(), rounds);
    printf("%-10s %10s %9s %9s | %-25s | %-25s\n", "entry", "size", "deflate64", "zlib", "blocks of 256 KiB",
           "one call, whole");
    printf("%-10s %10s %9s %9s | %9s %9s %5s | %9s %9s %5s\n", "", "", "packed", "packed", "inflate64", "zlib",
           "ratio", "inflate64", "zlib", "ratio");
    int measured = 0;
    for (const Entry& e : ReadEntries(zip)) {
        if (e.method != METHOD_DEFLATE64)
            continue;
        std::string content(e.size, '\0');
        uint8_t* whole = (uint8_t*)&content[0];
        uint32_t crc = 0;
        if (RunInflate64(e.raw, (uint32_t)e.raw.size(), whole, e.size, &crc) != e.size || crc != e.crc) {
            fprintf(stderr, "inflate64_bench: %s does not decode to its size and CRC-32\n", e.name.c_str());
            return 1;
        }
        std::string zlibRaw = Deflate(content);
        uint32_t blockCrc = 0, zlibCrc = 0;
        if (RunInflate64(e.raw, INPUT_BLOCK_SIZE, nullptr, WRITE_BLOCK_SIZE, &blockCrc) != e.size ||
            RunZlib(zlibRaw, INPUT_BLOCK_SIZE, nullptr, WRITE_BLOCK_SIZE, &zlibCrc) != e.size || blockCrc != e.crc ||
            zlibCrc != e.crc) {
            fprintf(stderr, "inflate64_bench: %s decodes wrongly in blocks\n", e.name.c_str());
            return 1;
        }
        std::vector<uint8_t> target(e.size);
        // The two decoders take turns, so that a busy moment hurts both.
        std::vector<double> times[4];
        for (int i = 0; i < rounds; i++) {
            times[0].push_back(Timed(RunInflate64, e.raw, INPUT_BLOCK_SIZE, nullptr, WRITE_BLOCK_SIZE, e.size));
            times[1].push_back(Timed(RunZlib, zlibRaw, INPUT_BLOCK_SIZE, nullptr, WRITE_BLOCK_SIZE, e.size));
            times[2].push_back(Timed(RunInflate64, e.raw, (uint32_t)e.raw.size(), target.data(), e.size, e.size));
            times[3].push_back(Timed(RunZlib, zlibRaw, (uint32_t)zlibRaw.size(), target.data(), e.size, e.size));
        }
        double rate[4];
        for (int i = 0; i < 4; i++)
            rate[i] = Fastest(times[i]) > 0 ? e.size / Fastest(times[i]) / MEGABYTE : 0;
        printf("%-10s %10u %8.1f%% %8.1f%% | %9.1f %9.1f %5.2f | %9.1f %9.1f %5.2f\n", e.name.c_str(), e.size,
               100.0 * e.raw.size() / e.size, 100.0 * zlibRaw.size() / e.size, rate[0], rate[1],
               rate[1] > 0 ? rate[0] / rate[1] : 0, rate[2], rate[3], rate[3] > 0 ? rate[2] / rate[3] : 0);
        printf("RESULT inflate64 %s blocks inflate64=%.1f zlib=%.1f whole inflate64=%.1f zlib=%.1f\n", e.name.c_str(),
               rate[0], rate[1], rate[2], rate[3]);
        measured++;
    }
    if (measured == 0) {
        fprintf(stderr, "inflate64_bench: no Deflate64 entry in %s\n", archive.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && strcmp(argv[1], "make") == 0)
        return MakeContent(argv[2]) ? 0 : 1;
    if (argc >= 3 && strcmp(argv[1], "run") == 0) {
        int rounds = 5;
        if (argc >= 5 && strcmp(argv[3], "--rounds") == 0)
            rounds = atoi(argv[4]) > 0 ? atoi(argv[4]) : 1;
        return Run(argv[2], rounds);
    }
    fprintf(stderr, "usage: inflate64_bench make DIRECTORY | run ARCHIVE [--rounds N]\n");
    return 2;
}
