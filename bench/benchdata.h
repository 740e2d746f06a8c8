// benchdata.h -- the benchmarks' archives, written to disk by a small ZIP
// writer: deterministic text-like data, as one large entry or many small ones.
#pragma once

#include <stdint.h>

#include <string>

// An endless, deterministic stream of text-like lines: words of a made-up
// vocabulary drawn with a skewed frequency, numbers and punctuation. Deflate
// packs it to a little under half, a ratio between that of prose and that of
// binaries.
class TextStream {
public:
    explicit TextStream(uint32_t seed);
    void fill(char* out, size_t count);

private:
    uint32_t next();
    void makeLine();

    uint32_t state_;
    std::string line_;
    size_t linePos_ = 0;
};

const uint16_t BENCH_STORED = 0;
const uint16_t BENCH_DEFLATED = 8;

// Entries per folder in the many-entry archive: a tree extracted from it
// never puts more than this many files in one folder.
const uint32_t MANY_PER_FOLDER = 200;

// An archive whose one entry, `name`, holds `size` bytes of text; with a
// password, WinZip AES-256 encrypted (AE-2).
bool WriteLargeArchive(const std::string& path, const char* name, uint32_t size, uint16_t method,
                       const char* password = nullptr);

// An archive whose one entry, `name`, holds the bytes of `packedPath` as
// they are, compressed elsewhere with `method`, recorded with the CRC-32 and
// size of the data they unpack to.
bool WritePackedArchive(const std::string& path, const char* name, uint16_t method, const std::string& packedPath,
                        uint32_t crc, uint32_t size);

// An archive of `count` deflated text entries of 1 to 4 KiB, the entry at
// zero-based position i named by ManyEntryName(i). *totalSize receives the
// sum of their sizes.
bool WriteManyArchive(const std::string& path, uint32_t count, uint64_t* totalSize);
std::string ManyEntryName(uint32_t index);
uint32_t ManyEntrySize(uint32_t index);
