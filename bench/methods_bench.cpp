// methods_bench.cpp -- extraction throughput of the methods beyond deflate
// (Deflate64, bzip2, LZMA, PPMd, XZ, Zstandard) against plain loops over
// their own libraries in the same process and rounds, and the private bytes
// one archive adds while it extracts each. bench/run.sh has real tools make
// the archives: 7zz writes every method but Zstandard, whose stream zstd
// writes and `pack` wraps into an entry.
//
//   methods_bench content DIRECTORY     writes large.txt there, the 200 MB
//                                       that every archive holds
//   methods_bench pack DIRECTORY        wraps large.txt.zst into zstd.zip
//   methods_bench memory DIRECTORY KIND [--figures FILE]
//   methods_bench run DIRECTORY [--rounds N] [--figures FILE] [--only KIND]
//
// KIND is one of deflate, deflate64, bzip2, lzma, ppmd, xz and zstd (each
// kind's archive is KIND.zip). `memory` samples the process's private bytes
// while one archive opens and extracts its entry, in a process of its own
// (an earlier extraction would have grown the heap), and sets them beside
// the working memory that the entry's stream declares. `run` times, in
// rounds (default 3) that each take them in another order:
//   - the add-on: one GETITEM of the entry to a file, as a script makes it;
//   - plain loops over the method's library, input and output blocks of
//     256 KiB and of 1 MiB: ReadFile of the entry's data, the library's
//     decoding call, crc32 and WriteFile of every whole output block;
//   - for Deflate64, the add-on and the 256 KiB loop on deflate.zip too, the
//     same content packed by 7zz with Deflate at the same level.
// Figures are MB/s of output (10^6 bytes), the fastest run; the ratio to the
// loops is also given as the median of the rounds' own ratios, and over the
// thread's CPU time (the steadiest on a machine others share). With
// --figures, "key value" lines are appended to FILE for bench/peers.py.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <windows.h>

#include <bzlib.h>
#include <lzma.h>
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader: the frame's window
#include <zstd.h>
extern "C" {
#include "Ppmd8.h"
}

#include "addonsession.h"
#include "benchclock.h"
#include "benchdata.h"
#include "benchprobe.h"
#include "inflate64.h"

namespace {

const uint32_t CONTENT_SIZE = 200000000;
const char CONTENT_FILE[] = "large.txt";
const char ZSTD_FILE[] = "large.txt.zst";
const uint32_t LOOP_BLOCKS[] = {262144, 1048576};  // keys loop256, loop1024
const double MEGABYTE = 1e6;
// What extract_bench allows one archive extracting a deflated entry: the
// reader's buffers, zlib's window and state. The other methods may add what
// their streams declare, and no more than this beyond it.
const double BUFFERS_LIMIT_KIB = 2048;

const uint16_t METHOD_DEFLATED = 8;
const uint16_t METHOD_DEFLATE64 = 9;
const uint16_t METHOD_BZIP2 = 12;
const uint16_t METHOD_LZMA = 14;
const uint16_t METHOD_ZSTANDARD = 93;
const uint16_t METHOD_XZ = 95;
const uint16_t METHOD_PPMD = 98;

// An LZMA entry's data open with the SDK's version (2 bytes) and the size of
// the properties (2 bytes, 5), then the properties: lc/lp/pb in one byte and
// the dictionary size.
const uint32_t LZMA_ZIP_HEADER_SIZE = 4;
const uint32_t LZMA_PROPERTIES_SIZE = 5;
// A PPMd entry's data open with a 16-bit word: order - 1 (bits 0-3), model
// memory in MiB - 1 (bits 4-11), restoration method (bits 12-15).
const uint32_t PPMD_HEADER_SIZE = 2;
// A bzip2 stream opens with "BZh" and its block size in 100 kB; the decoder
// (not in its small mode) takes 4 bytes per byte of block.
const uint32_t BZIP2_BLOCK_UNIT = 100000;
const uint32_t BZIP2_BYTES_PER_BLOCK_BYTE = 4;
const uint32_t DEFLATE64_WINDOW = 65536;
const uint32_t DEFLATE_WINDOW = 32768;

struct Kind {
    const char* key;  // for the figures file, and the archive's name
    const char* label;
    uint16_t method;
};

const Kind KINDS[] = {
    {"deflate", "Deflate (7zz)", METHOD_DEFLATED},
    {"deflate64", "Deflate64 (7zz)", METHOD_DEFLATE64},
    {"bzip2", "bzip2 (7zz)", METHOD_BZIP2},
    {"lzma", "LZMA (7zz)", METHOD_LZMA},
    {"ppmd", "PPMd var. I (7zz)", METHOD_PPMD},
    {"xz", "XZ (7zz)", METHOD_XZ},
    {"zstd", "Zstandard (zstd, wrapped here)", METHOD_ZSTANDARD},
};

bool failed = false;
std::map<std::string, double> figures;

void Fail(const std::string& what)
{
    fprintf(stderr, "FAILED: %s\n", what.c_str());
    failed = true;
}

const Kind* FindKind(const std::string& key)
{
    for (const Kind& k : KINDS)
        if (key == k.key)
            return &k;
    return nullptr;
}

std::string ArchivePath(const std::string& directory, const Kind& kind)
{
    return directory + "\\" + kind.key + ".zip";
}

uint32_t Get32(const uint8_t* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// ---- the plain loops

// The entry's data in blocks from ReadFile, and the output checked and
// written: crc32, then WriteFile.
struct LoopIo {
    HANDLE in = INVALID_HANDLE_VALUE;
    HANDLE out = INVALID_HANDLE_VALUE;
    std::vector<uint8_t> input;
    const uint8_t* next = nullptr;  // input read and not yet taken
    uint32_t avail = 0;
    uint32_t left = 0;  // entry data not yet read
    uint32_t crc = 0;
    uint64_t delivered = 0;
    bool ok = true;

    // Reads the next block; false when the data are used up or the read
    // failed.
    bool refill()
    {
        if (left == 0)
            return false;
        DWORD got = 0;
        if (!ReadFile(in, input.data(), left < input.size() ? left : (DWORD)input.size(), &got, nullptr) ||
            got == 0)
            return ok = false;
        left -= got;
        next = input.data();
        avail = got;
        return true;
    }

    // One byte for a decoder that pulls its input; false past the end.
    bool take(uint8_t* byte)
    {
        if (avail == 0 && !refill())
            return false;
        avail--;
        *byte = *next++;
        return true;
    }

    void deliver(const uint8_t* data, uint32_t count)
    {
        crc = crc32(crc, data, count);
        delivered += count;
        DWORD written = 0;
        if (count && (!WriteFile(out, data, count, &written, nullptr) || written != count))
            ok = false;
    }
};

// PPMd pulls its input a byte at a time through this reader.
struct PpmdReader {
    IByteIn vt;  // first: Read gets the reader's address through it
    LoopIo* io;
    bool overrun;
};

Byte PpmdReadByte(IByteInPtr p)
{
    PpmdReader* r = reinterpret_cast<PpmdReader*>(const_cast<IByteIn*>(p));
    uint8_t byte = 0;
    if (!r->io->take(&byte))
        r->overrun = true;
    return byte;
}

void* PpmdAllocate(ISzAllocPtr, size_t size)
{
    return malloc(size);
}

void PpmdFree(ISzAllocPtr, void* block)
{
    free(block);
}

const ISzAlloc PPMD_ALLOCATOR = {PpmdAllocate, PpmdFree};

enum Step { STEP_MORE, STEP_ENDED, STEP_FAILED };

// One method's library, used as its own documentation shows: the state,
// made by Start from the entry's header bytes, one decoding call a Step.
struct PlainDecoder {
    uint16_t method = 0;
    z_stream z{};
    Inflate64* inflate64 = nullptr;
    bz_stream bz{};
    lzma_stream lz = LZMA_STREAM_INIT;
    ZSTD_DStream* zstd = nullptr;
    CPpmd8 ppmd{};
    PpmdReader ppmdReader{};
    uint32_t ppmdLeft = 0;  // symbols still to decode
    bool made = false;

    bool start(uint16_t entryMethod, const EntryLayout& entry, LoopIo& io)
    {
        method = entryMethod;
        switch (method) {
        case METHOD_DEFLATED:
            return made = inflateInit2(&z, -15) == Z_OK;
        case METHOD_DEFLATE64:
            inflate64 = Inflate64Start();
            return made = inflate64 != nullptr;
        case METHOD_BZIP2:
            return made = BZ2_bzDecompressInit(&bz, 0, 0) == BZ_OK;
        case METHOD_XZ:
            return made = lzma_stream_decoder(&lz, UINT64_MAX, 0) == LZMA_OK;
        case METHOD_ZSTANDARD:
            zstd = ZSTD_createDStream();
            return made = zstd != nullptr;
        case METHOD_LZMA: {
            uint8_t h[LZMA_ZIP_HEADER_SIZE + LZMA_PROPERTIES_SIZE];
            for (uint8_t& b : h)
                if (!io.take(&b))
                    return false;
            lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
            if (lzma_properties_decode(&filters[0], nullptr, h + LZMA_ZIP_HEADER_SIZE, LZMA_PROPERTIES_SIZE) !=
                LZMA_OK)
                return false;
            lzma_options_lzma* options = static_cast<lzma_options_lzma*>(filters[0].options);
            options->ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
            options->ext_size_low = entry.uncompressedSize;
            options->ext_size_high = 0;
            made = lzma_raw_decoder(&lz, filters) == LZMA_OK;
            free(options);
            return made;
        }
        case METHOD_PPMD: {
            uint8_t h[PPMD_HEADER_SIZE];
            for (uint8_t& b : h)
                if (!io.take(&b))
                    return false;
            uint32_t word = h[0] | h[1] << 8;
            Ppmd8_Construct(&ppmd);
            if (!Ppmd8_Alloc(&ppmd, (((word >> 4) & 0xFF) + 1) << 20, &PPMD_ALLOCATOR))
                return false;
            made = true;
            ppmdReader = PpmdReader{{PpmdReadByte}, &io, false};
            ppmd.Stream.In = &ppmdReader.vt;
            ppmdLeft = entry.uncompressedSize;
            if (!Ppmd8_Init_RangeDec(&ppmd))
                return false;
            Ppmd8_Init(&ppmd, (word & 0xF) + 1, word >> 12);
            return true;
        }
        }
        return false;
    }

    // Decodes from the input at hand into out (room bytes); *produced says
    // how many came out.
    Step step(LoopIo& io, uint8_t* out, uint32_t room, uint32_t* produced)
    {
        Step result = STEP_FAILED;
        switch (method) {
        case METHOD_DEFLATED: {
            z.next_in = const_cast<Bytef*>(io.next);
            z.avail_in = io.avail;
            z.next_out = out;
            z.avail_out = room;
            int r = inflate(&z, Z_NO_FLUSH);
            io.next = z.next_in;
            io.avail = z.avail_in;
            *produced = room - z.avail_out;
            result = r == Z_STREAM_END ? STEP_ENDED : r == Z_OK || r == Z_BUF_ERROR ? STEP_MORE : STEP_FAILED;
            break;
        }
        case METHOD_DEFLATE64: {
            uint8_t* at = out;
            uint32_t outLeft = room;
            int r = Inflate64Run(inflate64, &io.next, &io.avail, &at, &outLeft);
            *produced = room - outLeft;
            result = r == INFLATE64_ENDED ? STEP_ENDED : r == INFLATE64_MORE ? STEP_MORE : STEP_FAILED;
            break;
        }
        case METHOD_BZIP2: {
            bz.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(io.next));
            bz.avail_in = io.avail;
            bz.next_out = reinterpret_cast<char*>(out);
            bz.avail_out = room;
            int r = BZ2_bzDecompress(&bz);
            io.next = reinterpret_cast<const uint8_t*>(bz.next_in);
            io.avail = bz.avail_in;
            *produced = room - bz.avail_out;
            result = r == BZ_STREAM_END ? STEP_ENDED : r == BZ_OK ? STEP_MORE : STEP_FAILED;
            break;
        }
        case METHOD_LZMA:
        case METHOD_XZ: {
            lz.next_in = io.next;
            lz.avail_in = io.avail;
            lz.next_out = out;
            lz.avail_out = room;
            lzma_ret r = lzma_code(&lz, LZMA_RUN);
            io.next = lz.next_in;
            io.avail = (uint32_t)lz.avail_in;
            *produced = room - (uint32_t)lz.avail_out;
            result = r == LZMA_STREAM_END ? STEP_ENDED
                     : r == LZMA_OK || r == LZMA_BUF_ERROR ? STEP_MORE
                                                           : STEP_FAILED;
            break;
        }
        case METHOD_ZSTANDARD: {
            ZSTD_inBuffer input = {io.next, io.avail, 0};
            ZSTD_outBuffer output = {out, room, 0};
            size_t r = ZSTD_decompressStream(zstd, &output, &input);
            io.next += input.pos;
            io.avail -= (uint32_t)input.pos;
            *produced = (uint32_t)output.pos;
            result = ZSTD_isError(r) ? STEP_FAILED : r == 0 ? STEP_ENDED : STEP_MORE;
            break;
        }
        case METHOD_PPMD: {
            // The symbols are as many as the recorded size; what 7-Zip
            // writes after them (an end marker) is not read.
            uint32_t n = room < ppmdLeft ? room : ppmdLeft;
            uint32_t i = 0;
            for (; i < n; i++) {
                int symbol = Ppmd8_DecodeSymbol(&ppmd);
                if (symbol < 0)
                    break;
                out[i] = (uint8_t)symbol;
            }
            ppmdLeft -= i;
            *produced = i;
            result = i < n || ppmdReader.overrun ? STEP_FAILED : ppmdLeft == 0 ? STEP_ENDED : STEP_MORE;
            break;
        }
        }
        return result;
    }

    void end()
    {
        switch (method) {
        case METHOD_DEFLATED:
            if (made)
                inflateEnd(&z);
            break;
        case METHOD_DEFLATE64:
            Inflate64End(inflate64);
            break;
        case METHOD_BZIP2:
            if (made)
                BZ2_bzDecompressEnd(&bz);
            break;
        case METHOD_LZMA:
        case METHOD_XZ:
            lzma_end(&lz);
            break;
        case METHOD_ZSTANDARD:
            ZSTD_freeDStream(zstd);
            break;
        case METHOD_PPMD:
            if (made)
                Ppmd8_Free(&ppmd, &PPMD_ALLOCATOR);
            break;
        }
    }
};

// The reference: the entry's data through its library with `block`-byte
// input and output buffers, every whole output block (and the last) crc32'd
// and written to outPath. Returns the seconds taken; the output must be the
// entry's.
double PlainLoop(const std::string& archivePath, const EntryLayout& entry, const std::string& outPath, uint32_t block)
{
    LoopIo io;
    io.in = CreateFileA(archivePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (io.in == INVALID_HANDLE_VALUE) {
        Fail("cannot open " + archivePath);
        return 0;
    }
    io.input.resize(block);
    std::vector<uint8_t> output(block);
    PlainDecoder decoder;

    Stopwatch clock;
    io.out = CreateFileA(outPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    SetFilePointer(io.in, (LONG)entry.dataStart, nullptr, FILE_BEGIN);
    io.left = entry.compressedSize;
    bool ended = false;
    if (io.out != INVALID_HANDLE_VALUE && decoder.start(entry.method, entry, io)) {
        uint32_t filled = 0;
        while (io.ok) {
            if (io.avail == 0 && io.left != 0 && !io.refill())
                break;
            uint32_t availBefore = io.avail, produced = 0;
            Step step = decoder.step(io, output.data() + filled, block - filled, &produced);
            filled += produced;
            if (step == STEP_FAILED)
                break;
            if (filled == block || step == STEP_ENDED) {
                io.deliver(output.data(), filled);
                filled = 0;
            }
            if (step == STEP_ENDED) {
                ended = true;
                break;
            }
            if (produced == 0 && io.avail == availBefore && (io.avail != 0 || io.left == 0))
                break;  // no progress and none to be had
        }
    }
    decoder.end();
    if (io.out != INVALID_HANDLE_VALUE)
        CloseHandle(io.out);
    double seconds = clock.seconds();

    CloseHandle(io.in);
    if (!ended || !io.ok || io.crc != entry.crc || io.delivered != entry.uncompressedSize)
        Fail("plain loop over " + archivePath + " did not deliver the entry");
    return seconds;
}

// ---- the add-on

// One GETITEM of the entry to a file, after selecting it; seconds.
double AddonToFile(AddonSession& addon, const std::string& h, const std::string& outPath)
{
    if (!AddonSession::succeeded(addon.host.call("UNZIPSETCURRENTITEM", {h, "ITEM.", "1"})))
        Fail("SETCURRENTITEM 1");
    Stopwatch clock;
    morvalin::Outcome out = addon.host.call("UNZIPGETITEM", {h, outPath});
    double seconds = clock.seconds();
    if (!AddonSession::succeeded(out))
        Fail("GETITEM: " + AddonSession::describe(out));
    return seconds;
}

// ---- memory

// The working memory that the entry's stream declares: Deflate's and
// Deflate64's windows, bzip2's block (4 bytes a byte), the LZMA and XZ
// dictionary, the PPMd model, the Zstandard window. 0 when the header is
// not understood.
uint64_t DeclaredMemory(const std::string& archivePath, const EntryLayout& entry)
{
    uint8_t head[256] = {0};
    HANDLE in = CreateFileA(archivePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD got = 0;
    SetFilePointer(in, (LONG)entry.dataStart, nullptr, FILE_BEGIN);
    bool ok = in != INVALID_HANDLE_VALUE && ReadFile(in, head, sizeof head, &got, nullptr) && got == sizeof head;
    CloseHandle(in);
    if (!ok)
        return 0;
    switch (entry.method) {
    case METHOD_DEFLATED:
        return DEFLATE_WINDOW;
    case METHOD_DEFLATE64:
        return DEFLATE64_WINDOW;
    case METHOD_BZIP2:
        if (memcmp(head, "BZh", 3) != 0 || head[3] < '1' || head[3] > '9')
            return 0;
        return (uint64_t)(head[3] - '0') * BZIP2_BLOCK_UNIT * BZIP2_BYTES_PER_BLOCK_BYTE;
    case METHOD_LZMA:
        return Get32(head + LZMA_ZIP_HEADER_SIZE + 1);
    case METHOD_PPMD:
        return (uint64_t)((((head[0] | head[1] << 8) >> 4) & 0xFF) + 1) << 20;
    case METHOD_ZSTANDARD: {
        ZSTD_frameHeader frame;
        return ZSTD_getFrameHeader(&frame, head, sizeof head) == 0 ? frame.windowSize : 0;
    }
    case METHOD_XZ: {
        // The first block's header, after the 12-byte stream header, names
        // its filters; LZMA2's options hold the dictionary size.
        lzma_stream_flags flags;
        lzma_filter filters[LZMA_FILTERS_MAX + 1];
        lzma_block block{};
        block.version = 0;
        block.filters = filters;
        if (lzma_stream_header_decode(&flags, head) != LZMA_OK)
            return 0;
        block.check = flags.check;
        block.header_size = lzma_block_header_size_decode(head[LZMA_STREAM_HEADER_SIZE]);
        if (lzma_block_header_decode(&block, nullptr, head + LZMA_STREAM_HEADER_SIZE) != LZMA_OK)
            return 0;
        uint64_t dictionary = 0;
        for (size_t i = 0; filters[i].id != LZMA_VLI_UNKNOWN; i++) {
            if (filters[i].id == LZMA_FILTER_LZMA2)
                dictionary = static_cast<lzma_options_lzma*>(filters[i].options)->dict_size;
            free(filters[i].options);
        }
        return dictionary;
    }
    }
    return 0;
}

// What one archive adds while it opens and extracts its entry to a file:
// the most private bytes over those held before. Run in a fresh process.
void MemoryOfOneExtraction(const std::string& directory, const Kind& kind)
{
    AddonSession addon;
    if (!addon.load()) {
        failed = true;
        return;
    }
    const std::string archivePath = ArchivePath(directory, kind), outPath = archivePath + ".out";
    EntryLayout entry;
    if (!ReadEntryLayout(archivePath, &entry) || entry.method != kind.method) {
        Fail("cannot read the local header of " + archivePath + ", or it is not " + kind.label);
        return;
    }
    std::string h;
    uint64_t extra = PrivateBytesWhile([&] {
        h = addon.open(archivePath);
        if (h.empty() || !AddonSession::succeeded(addon.host.call("UNZIPSETCURRENTITEM", {h, "ITEM.", "1"})) ||
            !AddonSession::succeeded(addon.host.call("UNZIPGETITEM", {h, outPath})))
            Fail("extracting " + archivePath);
    });
    addon.close(h);
    if (FileSize(outPath) != entry.uncompressedSize)
        Fail("the extraction of " + archivePath + " wrote " + std::to_string(FileSize(outPath)) + " bytes");
    DeleteFileA(outPath.c_str());
    uint64_t declared = DeclaredMemory(archivePath, entry);
    if (declared == 0)
        Fail("the stream of " + archivePath + " declares no working memory that this program reads");
    double extraKib = extra / 1024.0, declaredKib = declared / 1024.0;
    printf("  %-32s %9.0f KiB added while one archive extracts; the stream declares %8.0f KiB; "
           "beyond it %6.0f KiB\n",
           kind.label, extraKib, declaredKib, extraKib - declaredKib);
    figures[std::string(kind.key) + ".private_kib"] = extraKib;
    figures[std::string(kind.key) + ".declared_kib"] = declaredKib;
}

// ---- the rounds

struct Contender {
    std::string key;    // for the figures file
    std::string label;
    std::function<double()> run;  // seconds; leaves the output file behind
};

void MeasureKind(const std::string& directory, const Kind& kind, AddonSession& addon, int rounds)
{
    const std::string archivePath = ArchivePath(directory, kind), outPath = archivePath + ".out";
    EntryLayout entry;
    if (!ReadEntryLayout(archivePath, &entry) || entry.method != kind.method) {
        Fail("cannot read the local header of " + archivePath + ", or it is not " + kind.label);
        return;
    }
    WarmUp(archivePath);
    std::string h = addon.open(archivePath);
    if (h.empty()) {
        Fail("cannot open " + archivePath);
        return;
    }
    std::vector<Contender> contenders = {
        {"addon", "add-on: GETITEM to a file", [&] { return AddonToFile(addon, h, outPath); }},
        {"loop256", "plain loop, 256 KiB blocks", [&] { return PlainLoop(archivePath, entry, outPath, LOOP_BLOCKS[0]); }},
        {"loop1024", "plain loop, 1 MiB blocks", [&] { return PlainLoop(archivePath, entry, outPath, LOOP_BLOCKS[1]); }},
    };
    // Deflate64 is held against the add-on's own Deflate on the same
    // content, in the same rounds.
    std::string deflatePath, deflateHandle;
    EntryLayout deflateEntry;
    if (kind.method == METHOD_DEFLATE64) {
        deflatePath = ArchivePath(directory, *FindKind("deflate"));
        if (!ReadEntryLayout(deflatePath, &deflateEntry) || deflateEntry.method != METHOD_DEFLATED ||
            deflateEntry.uncompressedSize != entry.uncompressedSize ||
            (deflateHandle = addon.open(deflatePath)).empty()) {
            Fail("cannot open " + deflatePath + " beside " + archivePath);
        } else {
            WarmUp(deflatePath);
            figures["deflate.packed_mb"] = deflateEntry.compressedSize / MEGABYTE;
            contenders.push_back({"deflate.addon", "add-on on deflate.zip: GETITEM to a file",
                                  [&] { return AddonToFile(addon, deflateHandle, outPath); }});
            contenders.push_back({"deflate.loop256", "plain loop on deflate.zip (zlib), 256 KiB",
                                  [&] { return PlainLoop(deflatePath, deflateEntry, outPath, LOOP_BLOCKS[0]); }});
        }
    }

    // Wall-clock seconds, and the thread's CPU seconds over the same runs.
    std::map<std::string, std::vector<double>> times, cpu;
    std::vector<size_t> order(contenders.size());
    for (size_t k = 0; k < order.size(); k++)
        order[k] = k;
    std::mt19937 shuffler(20240104 + kind.method);
    for (int r = 0; r < rounds; r++) {
        std::shuffle(order.begin(), order.end(), shuffler);
        for (size_t k : order) {
            Contender& c = contenders[k];
            DeleteFileA(outPath.c_str());
            double cpuBefore = ThreadCpuSeconds();
            double seconds = c.run();
            cpu[c.key].push_back(ThreadCpuSeconds() - cpuBefore);
            uint64_t size = FileSize(outPath);
            if (size != entry.uncompressedSize)
                Fail(c.label + " wrote " + std::to_string(size) + " bytes from " + archivePath);
            DeleteFileA(outPath.c_str());
            times[c.key].push_back(seconds);
        }
    }
    addon.close(h);
    if (!deflateHandle.empty())
        addon.close(deflateHandle);

    double megabytes = entry.uncompressedSize / MEGABYTE;
    std::string prefix = std::string(kind.key) + ".";
    printf("\n%s: %.1f MB of output from %.1f MB of data; fastest of %d rounds\n", kind.label, megabytes,
           entry.compressedSize / MEGABYTE, rounds);
    printf("  %-44s %8s %8s %8s\n", "", "MB/s", "median", "by CPU");
    for (const Contender& c : contenders) {
        double best = megabytes / Fastest(times[c.key]);
        printf("  %-44s %8.1f %8.1f %8.1f\n", c.label.c_str(), best, megabytes / Median(times[c.key]),
               megabytes / Fastest(cpu[c.key]));
        figures[prefix + c.key] = best;
        figures[prefix + c.key + "_cpu"] = megabytes / Fastest(cpu[c.key]);
    }
    figures[prefix + "packed_mb"] = entry.compressedSize / MEGABYTE;

    // The add-on against the faster loop, over the fastest runs and round by
    // round (slow drifts of a shared machine cancel out of a round's ratio).
    // By CPU time as well: where other work takes turns on the cores, the
    // wall clock varies by a fifth from run to run, a thread's CPU time far
    // less.
    std::vector<double> loopTimes, loopCpu, paired;
    for (int r = 0; r < rounds; r++) {
        loopTimes.push_back(std::min(times["loop256"][r], times["loop1024"][r]));
        loopCpu.push_back(std::min(cpu["loop256"][r], cpu["loop1024"][r]));
        paired.push_back(loopTimes.back() / times["addon"][r]);
    }
    double share = 100 * Fastest(loopTimes) / Fastest(times["addon"]);
    double cpuShare = 100 * Fastest(loopCpu) / Fastest(cpu["addon"]);
    printf("  add-on vs the faster plain loop: %5.0f%% (fastest runs), %5.0f%% (median of the rounds' ratios), "
           "%5.0f%% (by CPU time)\n",
           share, 100 * Median(paired), cpuShare);
    figures[prefix + "loop"] = megabytes / Fastest(loopTimes);
    figures[prefix + "addon_vs_loop"] = share;
    figures[prefix + "addon_vs_loop_paired"] = 100 * Median(paired);
    figures[prefix + "addon_vs_loop_cpu"] = cpuShare;
    if (times.count("deflate.addon")) {
        std::vector<double> against;
        for (int r = 0; r < rounds; r++)
            against.push_back(times["deflate.addon"][r] / times["addon"][r]);
        double vsDeflate = 100 * Fastest(times["deflate.addon"]) / Fastest(times["addon"]);
        double cpuVsDeflate = 100 * Fastest(cpu["deflate.addon"]) / Fastest(cpu["addon"]);
        printf("  add-on's Deflate64 vs its Deflate on the same content: %5.0f%% (fastest runs), %5.0f%% (median "
               "of the rounds' ratios), %5.0f%% (by CPU time)\n",
               vsDeflate, 100 * Median(against), cpuVsDeflate);
        figures[prefix + "addon_vs_deflate"] = vsDeflate;
        figures[prefix + "addon_vs_deflate_paired"] = 100 * Median(against);
        figures[prefix + "addon_vs_deflate_cpu"] = cpuVsDeflate;
    }
}

// ---- making the archives' parts

int WriteContent(const std::string& directory)
{
    std::string path = directory + "\\" + CONTENT_FILE;
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) {
        fprintf(stderr, "cannot create %s\n", path.c_str());
        return 1;
    }
    TextStream text(0x5EED0001);  // the content of extract_bench's large entries
    std::vector<char> block(1 << 20);
    bool ok = true;
    for (uint32_t done = 0; done < CONTENT_SIZE && ok;) {
        uint32_t n = CONTENT_SIZE - done < block.size() ? CONTENT_SIZE - done : (uint32_t)block.size();
        text.fill(block.data(), n);
        ok = fwrite(block.data(), 1, n, f) == n;
        done += n;
    }
    if (fclose(f) != 0 || !ok) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
    }
    return 0;
}

int Pack(const std::string& directory)
{
    std::string contentPath = directory + "\\" + CONTENT_FILE;
    FILE* f = fopen(contentPath.c_str(), "rb");
    if (!f) {
        fprintf(stderr, "cannot read %s\n", contentPath.c_str());
        return 1;
    }
    std::vector<char> block(1 << 20);
    uint32_t crc = 0, size = 0;
    for (size_t n; (n = fread(block.data(), 1, block.size(), f)) != 0;) {
        crc = crc32(crc, (const Bytef*)block.data(), (uInt)n);
        size += (uint32_t)n;
    }
    fclose(f);
    std::string path = ArchivePath(directory, *FindKind("zstd"));
    if (!WritePackedArchive(path, CONTENT_FILE, METHOD_ZSTANDARD, directory + "\\" + ZSTD_FILE, crc, size)) {
        fprintf(stderr, "could not write %s\n", path.c_str());
        return 1;
    }
    return 0;
}

void WriteFigures(const std::string& path)
{
    if (path.empty())
        return;
    FILE* f = fopen(path.c_str(), "a");
    for (const auto& figure : figures)
        if (f)
            fprintf(f, "%s %.3f\n", figure.first.c_str(), figure.second);
    if (!f || fclose(f) != 0)
        Fail("cannot write the figures to " + path);
}

void Usage()
{
    fprintf(stderr, "usage: methods_bench content DIRECTORY\n"
                    "       methods_bench pack DIRECTORY\n"
                    "       methods_bench memory DIRECTORY KIND [--figures FILE]\n"
                    "       methods_bench run DIRECTORY [--rounds N] [--figures FILE] [--only KIND]\n"
                    "KIND: deflate deflate64 bzip2 lzma ppmd xz zstd\n");
    exit(2);
}

}  // namespace

// libbz2's internal consistency checks end here (none is reachable from a
// valid stream); the reader's own definition is not linked into this program.
extern "C" void bz_internal_error(int code)
{
    fprintf(stderr, "libbz2: internal error %d\n", code);
    exit(3);
}

int main(int argc, char** argv)
{
    if (argc < 3)
        Usage();
    std::string command = argv[1], directory = argv[2];
    if (command == "content")
        return WriteContent(directory);
    if (command == "pack")
        return Pack(directory);

    int firstOption = 3;
    const Kind* only = nullptr;
    if (command == "memory") {
        if (argc < 4 || !(only = FindKind(argv[3])))
            Usage();
        firstOption = 4;
    } else if (command != "run") {
        Usage();
    }
    int rounds = 3;
    std::string figuresPath;
    for (int i = firstOption; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--rounds" && i + 1 < argc && command == "run")
            rounds = atoi(argv[++i]);
        else if (arg == "--figures" && i + 1 < argc)
            figuresPath = argv[++i];
        else if (arg == "--only" && i + 1 < argc && command == "run" && (only = FindKind(argv[i + 1])))
            i++;
        else
            Usage();
    }
    if (rounds < 1)
        Usage();

    if (command == "memory") {
        MemoryOfOneExtraction(directory, *only);
    } else {
        AddonSession addon;
        if (!addon.load())
            return 1;
        // deflate.zip is measured beside deflate64.zip, not alone.
        for (const Kind& kind : KINDS)
            if (only ? &kind == only : kind.method != METHOD_DEFLATED)
                MeasureKind(directory, kind, addon, rounds);
    }
    WriteFigures(figuresPath);
    if (failed) {
        printf("\nmethods_bench: FAILED (see above)\n");
        return 1;
    }
    return 0;
}
