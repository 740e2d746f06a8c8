// extract_bench.cpp -- extraction throughput of the add-on against plain
// Win32 + zlib loops on the same data, in the same process and run, and the
// cost per entry of extracting a 20,000-entry archive in order.
//
//   extract_bench make DIRECTORY              writes the archives there
//   extract_bench run DIRECTORY [options]     measures them
//
// The large entries are measured again WinZip AES-256 encrypted, beside the
// plain ones in the same rounds, with the platform's own AES and key setup
// timed alone for reference.
//     --rounds N      rounds of every method on the deflated entry (default
//                     5); the stored entry, quicker and noisier, gets 3N
//     --figures FILE  also writes "key value" lines for bench/run.sh
//     --tree          also extracts the many-entry archive as files in a
//                     tree (200 per folder; minutes under Wine), beside a
//                     plain CreateFile, WriteFile, SetFileTime, CloseHandle
//                     loop over the same files
//     --many          measures the many-entry archive only (with --tree, the
//                     tree as well)
//
// The plain loop reads blocks of 16 KiB to 1 MiB with ReadFile, inflates
// each with zlib into a buffer of the same size, runs crc32 over the output
// and writes it with WriteFile; for a stored entry it copies without
// inflate. The fastest of its block sizes is the reference. The add-on's
// figure is one GETITEM call to a file name, as a script makes it. First of
// all, the process's private bytes are sampled while one archive extracts.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>
#include <bcrypt.h>
#include <psapi.h>

#include "addonsession.h"
#include "benchclock.h"
#include "benchdata.h"
#include "benchprobe.h"
#include "zipread.h"

namespace {

const uint32_t LARGE_SIZE = 200000000;  // bytes of output of each large entry
const uint32_t MANY_COUNT = 20000;
const uint32_t MANY_COUNTS[] = {1000, 5000, 20000};
const uint32_t TREE_COUNTS[] = {20000};
const int TREE_ROUNDS = 4;
const uint32_t SMALL_BLOCK = 16384;
const uint32_t LOOP_BLOCKS[] = {16384, 65536, 262144, 1048576};  // keys loop16 ... loop1024
const double MEGABYTE = 1e6;

const char DEFLATED_ARCHIVE[] = "deflated.zip";
const char STORED_ARCHIVE[] = "stored.zip";
const char MANY_ARCHIVE[] = "many.zip";
const char DEFLATED_AES_ARCHIVE[] = "deflated_aes256.zip";
const char STORED_AES_ARCHIVE[] = "stored_aes256.zip";
const char AES_PASSWORD[] = "bench password";

bool failed = false;
std::map<std::string, double> figures;

void Fail(const std::string& what)
{
    fprintf(stderr, "FAILED: %s\n", what.c_str());
    failed = true;
}

// ---- the plain loops

// What a plain loop delivered, and whether every call succeeded.
struct LoopState {
    HANDLE in;
    HANDLE out;  // null: nothing is written
    std::vector<uint8_t> input, output;
    z_stream z{};
    uint32_t crc = 0;
    uint64_t delivered = 0;
    bool ok = true;

    bool read(uint32_t* left)
    {
        DWORD got = 0;
        if (!ReadFile(in, input.data(), *left < input.size() ? *left : (DWORD)input.size(), &got, nullptr) ||
            got == 0)
            return ok = false;
        *left -= got;
        z.next_in = input.data();
        z.avail_in = got;
        return true;
    }

    void deliver(const uint8_t* data, uint32_t count)
    {
        crc = crc32(crc, data, count);
        delivered += count;
        DWORD written = 0;
        if (out && count && (!WriteFile(out, data, count, &written, nullptr) || written != count))
            ok = false;
    }
};

// Each input block is inflated to the end before the next is read; the
// output of one block ends in a partly filled buffer. A stored entry is
// copied block by block.
void InputDrivenLoop(LoopState& s, uint32_t left, bool deflated)
{
    uint32_t block = (uint32_t)s.output.size();
    while (s.ok && left != 0 && s.read(&left)) {
        if (!deflated) {
            s.deliver(s.input.data(), s.z.avail_in);
            continue;
        }
        int result;
        do {
            s.z.next_out = s.output.data();
            s.z.avail_out = block;
            result = inflate(&s.z, Z_SYNC_FLUSH);
            if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR)
                s.ok = false;
            s.deliver(s.output.data(), block - s.z.avail_out);
        } while (s.ok && result != Z_STREAM_END && s.z.avail_out == 0);
    }
}

// The output buffer is filled before it is written, reading input as inflate
// asks for it, as the reader does: every write but the last is a whole block.
void OutputDrivenLoop(LoopState& s, uint32_t left)
{
    uint32_t block = (uint32_t)s.output.size();
    bool end = false;
    while (s.ok && !end) {
        s.z.next_out = s.output.data();
        s.z.avail_out = block;
        while (s.z.avail_out != 0) {
            if (s.z.avail_in == 0 && (left == 0 || !s.read(&left))) {
                end = true;
                break;
            }
            int result = inflate(&s.z, Z_SYNC_FLUSH);
            if (result == Z_STREAM_END) {
                end = true;
                break;
            }
            if (result != Z_OK && result != Z_BUF_ERROR) {
                s.ok = false;
                break;
            }
        }
        s.deliver(s.output.data(), block - s.z.avail_out);
    }
}

// The reference: ReadFile, inflate (deflated only), crc32, WriteFile, with
// `block`-byte input and output buffers. Without an output path nothing is
// written. Returns the seconds taken; the output must be the entry's.
double PlainLoop(const std::string& archivePath, const EntryLayout& entry, const char* outPath, uint32_t block,
                 bool wholeOutputBlocks = false)
{
    LoopState s;
    s.in = CreateFileA(archivePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    s.input.resize(block);
    s.output.resize(block);
    if (s.in == INVALID_HANDLE_VALUE) {
        Fail("cannot open " + archivePath);
        return 0;
    }
    bool deflated = entry.method == BENCH_DEFLATED;

    Stopwatch clock;
    s.out = outPath ? CreateFileA(outPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)
                    : nullptr;
    if (s.out == INVALID_HANDLE_VALUE || (deflated && inflateInit2(&s.z, -15) != Z_OK))
        s.ok = false;
    SetFilePointer(s.in, (LONG)entry.dataStart, nullptr, FILE_BEGIN);
    if (s.ok && deflated && wholeOutputBlocks)
        OutputDrivenLoop(s, entry.compressedSize);
    else if (s.ok)
        InputDrivenLoop(s, entry.compressedSize, deflated);
    if (deflated)
        inflateEnd(&s.z);
    if (s.out && s.out != INVALID_HANDLE_VALUE)
        CloseHandle(s.out);
    double seconds = clock.seconds();

    CloseHandle(s.in);
    if (!s.ok || s.crc != entry.crc || s.delivered != entry.uncompressedSize)
        Fail("plain loop over " + archivePath + " did not deliver the entry");
    return seconds;
}

// ---- memory

// What one archive adds while it extracts its large entry, measured first
// in the process, before earlier extractions have grown the heap: opening,
// then one GETITEM to a file.
void MemoryOfOneExtraction(const char* kind, const std::string& archivePath, AddonSession& addon)
{
    const std::string outPath = archivePath + ".out";
    std::string h;
    uint64_t extra = PrivateBytesWhile([&] {
        h = addon.open(archivePath);
        if (h.empty() || !AddonSession::succeeded(addon.host.call("UNZIPSETCURRENTITEM", {h, "ITEM.", "1"})) ||
            !AddonSession::succeeded(addon.host.call("UNZIPGETITEM", {h, outPath})))
            Fail("extracting " + archivePath);
    });
    addon.close(h);
    DeleteFileA(outPath.c_str());
    printf("%s entry: %.0f KiB of private memory added while one archive opens and extracts it\n", kind,
           extra / 1024.0);
    figures[std::string(kind) + ".private_kib"] = extra / 1024.0;
}

// ---- one large entry, every method

struct Method {
    const char* key;     // for the figures file
    const char* label;
    std::function<double()> run;  // seconds; leaves the output file, if any, behind
    const char* against;          // key of the method it is compared with
};

// The first entry read through the reader in small blocks, nothing written;
// seconds.
double ReaderNoWrite(Archive* archive, const EntryLayout& entry, std::vector<uint8_t>& buffer)
{
    if (SelectEntry(archive, 0) != RESULT_OK)
        Fail("SelectEntry 0");
    Stopwatch clock;
    OpenEntryStream(archive);
    uint64_t total = 0;
    for (uint32_t n; archive->error == 0 && (n = ReadEntryData(archive, buffer.data(), SMALL_BLOCK)) != 0;)
        total += n;
    bool complete = archive->error == 0 && archive->stream && archive->stream->uncompressedLeft == 0;
    CloseEntryStream(archive);
    double seconds = clock.seconds();
    if (!complete || total != entry.uncompressedSize)
        Fail("ReadEntryData did not deliver the entry");
    return seconds;
}

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

void LargeEntry(const char* kind, const std::string& archivePath, AddonSession& addon, int rounds)
{
    EntryLayout entry;
    if (!ReadEntryLayout(archivePath, &entry)) {
        Fail("cannot read the local header of " + archivePath + "; run 'extract_bench make' first");
        return;
    }
    const std::string outPath = archivePath + ".out";
    WarmUp(archivePath);

    std::string h = addon.open(archivePath);
    Archive* archive = nullptr;
    if (h.empty() || OpenArchive(&archive, archivePath.c_str(), 0, SOURCE_FILE, nullptr, 0) != RESULT_OK) {
        Fail("cannot open " + archivePath);
        return;
    }
    std::vector<uint8_t> decodeBuffer(SMALL_BLOCK);

    std::vector<Method> methods = {
        {"loop16", "plain loop, 16 KiB blocks",
         [&] { return PlainLoop(archivePath, entry, outPath.c_str(), LOOP_BLOCKS[0]); }, "loop16"},
        {"loop64", "plain loop, 64 KiB blocks",
         [&] { return PlainLoop(archivePath, entry, outPath.c_str(), LOOP_BLOCKS[1]); }, "loop16"},
        {"loop256", "plain loop, 256 KiB blocks",
         [&] { return PlainLoop(archivePath, entry, outPath.c_str(), LOOP_BLOCKS[2]); }, "loop16"},
        {"loop1024", "plain loop, 1 MiB blocks",
         [&] { return PlainLoop(archivePath, entry, outPath.c_str(), LOOP_BLOCKS[3]); }, "loop16"},
        {"addon", "add-on: GETITEM to a file", [&] { return AddonToFile(addon, h, outPath); }, "loop16"},
        {"reader", "reader: ExtractEntry to a file",
         [&] {
             if (SelectEntry(archive, 0) != RESULT_OK)
                 Fail("SelectEntry 0");
             std::string target = outPath;
             Stopwatch clock;
             uint32_t code = ExtractEntry(archive, &target[0], EXTRACT_TO_PATH);
             double seconds = clock.seconds();
             if (code != RESULT_OK)
                 Fail("ExtractEntry: result code " + std::to_string(code));
             return seconds;
         },
         "loop16"},
        {"loop16_whole", "plain loop, 16 KiB, whole output blocks",
         [&] { return PlainLoop(archivePath, entry, outPath.c_str(), SMALL_BLOCK, true); }, "loop16"},
        {"loop16_nowrite", "plain loop, 16 KiB, nothing written",
         [&] { return PlainLoop(archivePath, entry, nullptr, SMALL_BLOCK); }, "loop16_nowrite"},
        {"reader_nowrite", "reader: ReadEntryData, nothing written",
         [&] { return ReaderNoWrite(archive, entry, decodeBuffer); }, "loop16_nowrite"},
    };

    // Stored data is copied the same way whichever side drives the loop.
    if (entry.method != BENCH_DEFLATED)
        methods.erase(std::remove_if(methods.begin(), methods.end(),
                                     [](const Method& m) { return strcmp(m.key, "loop16_whole") == 0; }),
                      methods.end());

    // Each round runs the methods in another order, so that none always
    // follows the same one (the deletion of a large file, say).
    std::map<std::string, std::vector<double>> times;
    std::vector<size_t> order(methods.size());
    for (size_t k = 0; k < order.size(); k++)
        order[k] = k;
    std::mt19937 shuffler(20240102);
    for (int r = 0; r < rounds; r++) {
        std::shuffle(order.begin(), order.end(), shuffler);
        for (size_t k : order) {
            Method& m = methods[k];
            DeleteFileA(outPath.c_str());
            double seconds = m.run();
            uint64_t size = FileSize(outPath);
            if (strstr(m.key, "nowrite") == nullptr && size != entry.uncompressedSize)
                Fail(std::string(m.label) + " wrote " + std::to_string(size) + " bytes");
            DeleteFileA(outPath.c_str());
            times[m.key].push_back(seconds);
        }
    }
    addon.close(h);
    ReleaseArchive(archive);

    double megabytes = entry.uncompressedSize / MEGABYTE;
    printf("\n%s entry: %.1f MB of output from %.1f MB of data; fastest of %d rounds\n", kind, megabytes,
           entry.compressedSize / MEGABYTE, rounds);
    printf("  %-40s %8s %8s   %s\n", "", "MB/s", "median", "share of its loop");
    for (const Method& m : methods) {
        double best = megabytes / Fastest(times[m.key]);
        double reference = megabytes / Fastest(times[m.against]);
        std::string share = strcmp(m.key, m.against) == 0 ? "" : std::to_string((int)(100 * best / reference + 0.5)) + "%";
        printf("  %-40s %8.1f %8.1f   %s\n", m.label, best, megabytes / Median(times[m.key]), share.c_str());
        figures[std::string(kind) + "." + m.key] = best;
    }
    // The reference: the fastest plain loop of any block size.
    const char* fastestLoop = "loop16";
    for (const char* loop : {"loop64", "loop256", "loop1024"})
        if (Fastest(times[loop]) < Fastest(times[fastestLoop]))
            fastestLoop = loop;
    double loopShare = 100 * Fastest(times[fastestLoop]) / Fastest(times["addon"]);
    printf("  add-on vs the fastest plain loop (%s):    %5.0f%% (fastest runs)\n", fastestLoop, loopShare);
    figures[std::string(kind) + ".loop"] = megabytes / Fastest(times[fastestLoop]);
    figures[std::string(kind) + ".addon_vs_loop"] = loopShare;
    // The add-on against each 16 KiB loop, round by round as well: slow
    // drifts of the machine cancel out of a round's own ratio.
    for (const char* loop : {"loop16", "loop16_whole"}) {
        if (times.count(loop) == 0)
            continue;
        std::vector<double> paired;
        for (int r = 0; r < rounds; r++)
            paired.push_back(times[loop][r] / times["addon"][r]);
        double fastest = Fastest(times[loop]) / Fastest(times["addon"]);
        printf("  add-on vs %-29s %5.0f%% (fastest runs), %5.0f%% (median of the rounds' ratios)\n",
               strcmp(loop, "loop16") == 0 ? "the 16 KiB loop:" : "the whole-block 16 KiB loop:", 100 * fastest,
               100 * Median(paired));
        figures[std::string(kind) + ".addon_vs_" + loop] = 100 * fastest;
        figures[std::string(kind) + ".addon_vs_" + loop + "_paired"] = 100 * Median(paired);
    }
}

// ---- the large entries, WinZip AES-256 encrypted

// The encrypted entry against the plain one: GETITEM to a file, and the
// reader's ReadEntryData with nothing written, all four in each round in a
// shuffled order. The share is the encrypted speed over the plain one.
void EncryptedEntry(const char* kind, const std::string& plainPath, const std::string& aesPath, AddonSession& addon,
                    int rounds)
{
    EntryLayout entry;
    if (!ReadEntryLayout(plainPath, &entry) || FileSize(aesPath) == (uint64_t)-1) {
        Fail("cannot read " + plainPath + " or " + aesPath + "; run 'extract_bench make' first");
        return;
    }
    WarmUp(plainPath);
    WarmUp(aesPath);
    const std::string outPath = aesPath + ".out";
    std::string plainHandle = addon.open(plainPath), aesHandle = addon.open(aesPath, AES_PASSWORD);
    Archive* plain = nullptr;
    Archive* aes = nullptr;
    if (plainHandle.empty() || aesHandle.empty() ||
        OpenArchive(&plain, plainPath.c_str(), 0, SOURCE_FILE, nullptr, 0) != RESULT_OK ||
        OpenArchive(&aes, aesPath.c_str(), 0, SOURCE_FILE, AES_PASSWORD, (uint32_t)strlen(AES_PASSWORD)) != RESULT_OK) {
        Fail("cannot open " + plainPath + " and " + aesPath);
        return;
    }
    std::vector<uint8_t> buffer(SMALL_BLOCK);
    auto readerNoWrite = [&](Archive* archive) { return ReaderNoWrite(archive, entry, buffer); };
    std::vector<Method> methods = {
        {"addon", "add-on: GETITEM to a file", [&] { return AddonToFile(addon, plainHandle, outPath); }, "addon"},
        {"aes.addon", "add-on: GETITEM to a file, AES-256",
         [&] { return AddonToFile(addon, aesHandle, outPath); }, "addon"},
        {"reader_nowrite", "reader: ReadEntryData, nothing written", [&] { return readerNoWrite(plain); },
         "reader_nowrite"},
        {"aes.reader_nowrite", "reader: ReadEntryData, AES-256", [&] { return readerNoWrite(aes); },
         "reader_nowrite"},
    };
    std::map<std::string, std::vector<double>> times;
    std::vector<size_t> order = {0, 1, 2, 3};
    std::mt19937 shuffler(20240103);
    for (int r = 0; r < rounds; r++) {
        std::shuffle(order.begin(), order.end(), shuffler);
        for (size_t k : order) {
            DeleteFileA(outPath.c_str());
            double seconds = methods[k].run();
            if (strstr(methods[k].key, "nowrite") == nullptr && FileSize(outPath) != entry.uncompressedSize)
                Fail(std::string(methods[k].label) + " wrote " + std::to_string(FileSize(outPath)) + " bytes");
            DeleteFileA(outPath.c_str());
            times[methods[k].key].push_back(seconds);
        }
    }
    addon.close(plainHandle);
    addon.close(aesHandle);
    ReleaseArchive(plain);
    ReleaseArchive(aes);

    double megabytes = entry.uncompressedSize / MEGABYTE;
    printf("\n%s entry, WinZip AES-256 beside plain: %.1f MB of output from %.1f MB of data; fastest of %d rounds\n",
           kind, megabytes, FileSize(aesPath) / MEGABYTE, rounds);
    printf("  %-40s %8s %8s   %s\n", "", "MB/s", "median", "share of plain (fastest, median of rounds)");
    for (const Method& m : methods) {
        double best = megabytes / Fastest(times[m.key]);
        std::string share;
        if (strcmp(m.key, m.against) != 0) {
            std::vector<double> paired;
            for (int r = 0; r < rounds; r++)
                paired.push_back(times[m.against][r] / times[m.key][r]);
            double fastest = 100 * Fastest(times[m.against]) / Fastest(times[m.key]);
            share = std::to_string((int)(fastest + 0.5)) + "%, " + std::to_string((int)(100 * Median(paired) + 0.5)) + "%";
            figures[std::string(kind) + "." + m.key + "_share"] = fastest;
        }
        printf("  %-40s %8.1f %8.1f   %s\n", m.label, best, megabytes / Median(times[m.key]), share.c_str());
        // The plain entry's own figures are LargeEntry's, measured beside
        // the loops: only the encrypted ones are recorded here.
        if (strncmp(m.key, "aes.", 4) == 0)
            figures[std::string(kind) + "." + m.key] = best;
    }
}

// What the platform's cryptography costs by itself: AES-256 over counter
// blocks, 16 KiB per call, HMAC-SHA1 over 16 KiB
// pieces, and one entry's key setup (PBKDF2-HMAC-SHA1, 1,000 iterations).
void PlatformCryptography()
{
    BCRYPT_ALG_HANDLE aes = nullptr, hmac = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    static const WCHAR ecb[] = BCRYPT_CHAIN_MODE_ECB;
    UCHAR secret[32] = {1, 2, 3};
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&aes, BCRYPT_AES_ALGORITHM, nullptr, 0)) ||
        !BCRYPT_SUCCESS(BCryptSetProperty(aes, BCRYPT_CHAINING_MODE, (PUCHAR)ecb, sizeof ecb, 0)) ||
        !BCRYPT_SUCCESS(BCryptGenerateSymmetricKey(aes, &key, nullptr, 0, secret, sizeof secret, 0)) ||
        !BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&hmac, BCRYPT_SHA1_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG)) ||
        !BCRYPT_SUCCESS(BCryptCreateHash(hmac, &hash, nullptr, 0, secret, sizeof secret, 0))) {
        Fail("bcrypt.dll cannot do AES-ECB and HMAC-SHA1 here");
        return;
    }
    const uint32_t total = 64u << 20;
    std::vector<UCHAR> block(SMALL_BLOCK);
    ULONG done = 0;
    Stopwatch ecbClock;
    for (uint32_t i = 0; i < total / SMALL_BLOCK; i++)
        BCryptEncrypt(key, block.data(), SMALL_BLOCK, nullptr, nullptr, 0, block.data(), SMALL_BLOCK, &done, 0);
    double ecb16 = total / MEGABYTE / ecbClock.seconds();
    Stopwatch macClock;
    for (uint32_t i = 0; i < total / SMALL_BLOCK; i++)
        BCryptHashData(hash, block.data(), SMALL_BLOCK, 0);
    double mac = total / MEGABYTE / macClock.seconds();
    const int setups = 20;
    uint8_t salt[16] = {0}, verifier[2] = {0, 0};
    Stopwatch setupClock;
    for (int i = 0; i < setups; i++) {
        AesStream* stream = nullptr;
        AesOpen(&stream, 3, AES_PASSWORD, salt, verifier);  // 0 or 19: the keys are made either way
        AesClose(stream);
    }
    double setup = setupClock.seconds() * 1e3 / setups;
    BCryptDestroyHash(hash);
    BCryptDestroyKey(key);
    BCryptCloseAlgorithmProvider(hmac, 0);
    BCryptCloseAlgorithmProvider(aes, 0);

    printf("\nThe platform's cryptography alone (bcrypt.dll)\n");
    printf("  %-40s %8.1f MB/s\n", "AES-256, ECB, 16 KiB per call", ecb16);
    printf("  %-40s %8.1f MB/s\n", "HMAC-SHA1, 16 KiB per call", mac);
    printf("  %-40s %8.2f ms\n", "key setup of one AES-256 entry", setup);
    figures["platform.aes_ecb16"] = ecb16;
    figures["platform.hmac_sha1"] = mac;
    figures["platform.key_setup_ms"] = setup;
}

// ---- many small entries

std::string HandleText(HANDLE handle)
{
    return std::to_string((uintptr_t)handle);
}

void ManyEntries(const std::string& directory, AddonSession& addon, bool tree)
{
    const std::string archivePath = directory + "\\" + MANY_ARCHIVE;
    const std::string outPath = archivePath + ".out";
    WarmUp(archivePath);
    std::string h = addon.open(archivePath);
    Archive* archive = nullptr;
    if (h.empty() || OpenArchive(&archive, archivePath.c_str(), 0, SOURCE_FILE, nullptr, 0) != RESULT_OK) {
        Fail("cannot open " + archivePath + "; run 'extract_bench make' first");
        return;
    }
    HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        Fail("cannot create " + outPath);
        return;
    }
    std::string handle = HandleText(out);

    printf("\n%u entries of 1 to 4 KiB, extracted in order onto one handle; fastest of 3 runs\n", MANY_COUNT);
    for (bool viaAddon : {true, false}) {
        for (uint32_t n : MANY_COUNTS) {
            uint64_t expected = 0;
            for (uint32_t i = 0; i < n; i++)
                expected += ManyEntrySize(i);
            std::vector<double> times;
            for (int r = 0; r < 3; r++) {
                SetFilePointer(out, 0, nullptr, FILE_BEGIN);
                SetEndOfFile(out);
                Stopwatch clock;
                for (uint32_t i = 0; i < n; i++) {
                    bool ok;
                    if (viaAddon) {
                        ok = AddonSession::succeeded(
                                 addon.host.call("UNZIPSETCURRENTITEM", {h, "ITEM.", std::to_string(i + 1)})) &&
                             AddonSession::succeeded(addon.host.call("UNZIPGETITEM", {h, handle, "PIPE"}));
                    } else {
                        ok = SelectEntry(archive, i) == RESULT_OK &&
                             ExtractEntry(archive, out, EXTRACT_TO_HANDLE) == RESULT_OK;
                    }
                    if (!ok) {
                        Fail("extracting entry " + std::to_string(i + 1));
                        break;
                    }
                }
                times.push_back(clock.seconds());
                if (FileSize(outPath) != expected)
                    Fail("the handle received " + std::to_string(FileSize(outPath)) + " bytes for N = " +
                         std::to_string(n));
            }
            double best = Fastest(times);
            printf("  %-44s N = %6u  %9.1f ms  %7.1f us per entry\n",
                   viaAddon ? "add-on: SETCURRENTITEM + GETITEM 'PIPE'" : "reader: SelectEntry + ExtractEntry",
                   n, best * 1e3, best * 1e6 / n);
            figures[std::string("many.") + (viaAddon ? "addon." : "reader.") + std::to_string(n)] = best * 1e6 / n;
        }
    }
    CloseHandle(out);
    DeleteFileA(outPath.c_str());

    if (tree) {
        // What each file needs, taken through the reader beforehand: its
        // path under the root, its bytes and its times.
        struct File {
            std::string relative, data;
            FILETIME creation, access, write;
        };
        std::vector<File> files(MANY_COUNT);
        for (uint32_t i = 0; i < MANY_COUNT; i++) {
            File& f = files[i];
            if (SelectEntry(archive, i) != RESULT_OK) {
                Fail("selecting entry " + std::to_string(i + 1));
                break;
            }
            f.relative = archive->path + archive->rootLength;
            f.creation = archive->creationTime;
            f.access = archive->accessTime;
            f.write = archive->writeTime;
            f.data.resize(archive->header.uncompressedSize);
            if (ExtractEntry(archive, &f.data[0], EXTRACT_TO_MEMORY) != RESULT_OK)
                Fail("extracting entry " + std::to_string(i + 1) + " to memory");
        }
        printf("\nThe same as files in a tree of %u per folder: SETROOTDIR, then GETITEM to tail 0, against a\n"
               "plain loop of CreateFile (a folder made where it fails), WriteFile, SetFileTime, CloseHandle;\n"
               "each round into new folders, the two taking turns to go first; fastest of %d rounds\n",
               MANY_PER_FOLDER, TREE_ROUNDS);
        for (uint32_t n : TREE_COUNTS) {
            std::vector<double> loopTimes, addonTimes;
            // Each round writes new folders; which of the two goes first
            // changes from round to round, so that neither always meets the
            // other's writes still being flushed.
            auto plainLoop = [&](const std::string& suffix) {
                std::string loopRoot = directory + "\\loop" + suffix + "\\";
                CreateDirectoryA(loopRoot.c_str(), nullptr);
                Stopwatch clock;
                for (uint32_t i = 0; i < n; i++) {
                    const File& f = files[i];
                    std::string path = loopRoot + f.relative;
                    HANDLE out = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr);
                    if (out == INVALID_HANDLE_VALUE) {
                        CreateDirectoryA(path.substr(0, path.rfind('\\')).c_str(), nullptr);
                        out = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
                    }
                    DWORD written = 0;
                    if (out == INVALID_HANDLE_VALUE ||
                        !WriteFile(out, f.data.data(), (DWORD)f.data.size(), &written, nullptr) ||
                        written != f.data.size() || !SetFileTime(out, &f.creation, &f.access, &f.write)) {
                        Fail("the plain loop could not write " + path);
                        break;
                    }
                    CloseHandle(out);
                }
                loopTimes.push_back(clock.seconds());
            };
            auto viaAddon = [&](const std::string& suffix) {
                addon.host.call("UNZIPSETROOTDIR", {h, directory + "\\tree" + suffix});
                Stopwatch clock;
                for (uint32_t i = 1; i <= n; i++) {
                    if (!AddonSession::succeeded(
                            addon.host.call("UNZIPSETCURRENTITEM", {h, "ITEM.", std::to_string(i)})) ||
                        !AddonSession::succeeded(addon.host.call("UNZIPGETITEM", {h, addon.tail("ITEM.", 0)}))) {
                        Fail("extracting entry " + std::to_string(i) + " to a file");
                        break;
                    }
                }
                addonTimes.push_back(clock.seconds());
            };
            for (int r = 0; r < TREE_ROUNDS; r++) {
                std::string suffix = std::to_string(n) + "." + std::to_string(r);
                if (r % 2 == 0) {
                    plainLoop(suffix);
                    viaAddon(suffix);
                } else {
                    viaAddon(suffix);
                    plainLoop(suffix);
                }
            }
            printf("  rounds (ms, loop / add-on):");
            for (int r = 0; r < TREE_ROUNDS; r++)
                printf("  %.0f / %.0f", loopTimes[r] * 1e3, addonTimes[r] * 1e3);
            printf("\n");
            double loopSeconds = Fastest(loopTimes), seconds = Fastest(addonTimes);
            printf("  %-44s N = %6u  %9.1f ms  %7.1f us per entry\n", "plain loop: files in a tree", n,
                   loopSeconds * 1e3, loopSeconds * 1e6 / n);
            printf("  %-44s N = %6u  %9.1f ms  %7.1f us per entry\n", "add-on: files in a tree", n, seconds * 1e3,
                   seconds * 1e6 / n);
            printf("  add-on vs the plain loop: %.0f%%\n", 100 * loopSeconds / seconds);
            figures["tree.loop." + std::to_string(n)] = loopSeconds * 1e6 / n;
            figures["tree.addon." + std::to_string(n)] = seconds * 1e6 / n;
            figures["tree_share.addon_vs_loop." + std::to_string(n)] = 100 * loopSeconds / seconds;
        }
    }
    addon.close(h);
    ReleaseArchive(archive);
}

int Make(const std::string& directory)
{
    struct {
        const char* name;
        uint16_t method;
        const char* password;
    } large[] = {{DEFLATED_ARCHIVE, BENCH_DEFLATED, nullptr},
                 {STORED_ARCHIVE, BENCH_STORED, nullptr},
                 {DEFLATED_AES_ARCHIVE, BENCH_DEFLATED, AES_PASSWORD},
                 {STORED_AES_ARCHIVE, BENCH_STORED, AES_PASSWORD}};
    for (const auto& a : large) {
        std::string path = directory + "\\" + a.name;
        Stopwatch clock;
        if (!WriteLargeArchive(path, "large.txt", LARGE_SIZE, a.method, a.password)) {
            fprintf(stderr, "could not write %s\n", path.c_str());
            return 1;
        }
        printf("  %s: %.1f MB, written in %.1f s\n", path.c_str(), FileSize(path) / MEGABYTE, clock.seconds());
    }
    std::string path = directory + "\\" + MANY_ARCHIVE;
    Stopwatch clock;
    if (!WriteManyArchive(path, MANY_COUNT, nullptr)) {
        fprintf(stderr, "could not write %s\n", path.c_str());
        return 1;
    }
    printf("  %s: %u entries, %.1f MB, written in %.1f s\n", path.c_str(), MANY_COUNT, FileSize(path) / MEGABYTE,
           clock.seconds());
    return 0;
}

void Usage()
{
    fprintf(stderr, "usage: extract_bench make DIRECTORY\n"
                    "       extract_bench run DIRECTORY [--rounds N] [--figures FILE] [--tree] [--many]\n");
    exit(2);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        Usage();
    std::string command = argv[1], directory = argv[2];
    if (command == "make")
        return Make(directory);
    if (command != "run")
        Usage();

    int rounds = 5;
    std::string figuresPath;
    bool tree = false, manyOnly = false;
    for (int i = 3; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--rounds" && i + 1 < argc)
            rounds = atoi(argv[++i]);
        else if (arg == "--figures" && i + 1 < argc)
            figuresPath = argv[++i];
        else if (arg == "--tree")
            tree = true;
        else if (arg == "--many")
            manyOnly = true;
        else
            Usage();
    }
    if (rounds < 1)
        Usage();

    AddonSession addon;
    if (!addon.load())
        return 1;
    if (!manyOnly) {
        MemoryOfOneExtraction("deflated", directory + "\\" + DEFLATED_ARCHIVE, addon);
        LargeEntry("deflated", directory + "\\" + DEFLATED_ARCHIVE, addon, rounds);
        // A stored entry takes a fraction of a second and depends most on how
        // fast the system takes writes, which varies most from run to run.
        LargeEntry("stored", directory + "\\" + STORED_ARCHIVE, addon, 3 * rounds);
        EncryptedEntry("deflated", directory + "\\" + DEFLATED_ARCHIVE, directory + "\\" + DEFLATED_AES_ARCHIVE,
                       addon, rounds);
        EncryptedEntry("stored", directory + "\\" + STORED_ARCHIVE, directory + "\\" + STORED_AES_ARCHIVE, addon,
                       3 * rounds);
        PlatformCryptography();
    }
    ManyEntries(directory, addon, tree);

    if (!figuresPath.empty()) {
        FILE* f = fopen(figuresPath.c_str(), "w");
        for (const auto& figure : figures)
            if (f)
                fprintf(f, "%s %.3f\n", figure.first.c_str(), figure.second);
        if (f)
            fclose(f);
    }
    if (failed) {
        printf("\nextract_bench: FAILED (see above)\n");
        return 1;
    }
    return 0;
}
