// benchprobe.h -- what the extraction benchmarks look at besides time: where
// an archive's first entry lies and what it should give, a file's size, the
// file read once into the cache, and the private bytes of the process while
// something runs.
#pragma once

#include <stdint.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

// Where the first entry's data lie and what they should give, from its local
// header (the benchmarks' writer and 7zz record the true CRC and sizes there).
struct EntryLayout {
    uint16_t method;
    uint16_t flags;
    uint32_t crc;
    uint32_t compressedSize;
    uint32_t uncompressedSize;
    uint32_t dataStart;
};

inline bool ReadEntryLayout(const std::string& path, EntryLayout* layout)
{
    const uint32_t LOCAL_HEADER_SIGNATURE = 0x04034b50;  // "PK\3\4"
    const uint32_t LOCAL_HEADER_SIZE = 30;
    HANDLE in = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE)
        return false;
    uint8_t h[LOCAL_HEADER_SIZE];
    DWORD got = 0;
    bool ok = ReadFile(in, h, sizeof h, &got, nullptr) && got == sizeof h;
    CloseHandle(in);
    auto get16 = [&](uint32_t at) { return (uint32_t)h[at] | (uint32_t)h[at + 1] << 8; };
    auto get32 = [&](uint32_t at) { return get16(at) | get16(at + 2) << 16; };
    if (!ok || get32(0) != LOCAL_HEADER_SIGNATURE)
        return false;
    layout->flags = (uint16_t)get16(6);
    layout->method = (uint16_t)get16(8);
    layout->crc = get32(14);
    layout->compressedSize = get32(18);
    layout->uncompressedSize = get32(22);
    layout->dataStart = LOCAL_HEADER_SIZE + get16(26) + get16(28);
    return true;
}

inline uint64_t FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return (uint64_t)-1;
    return (uint64_t)data.nFileSizeHigh << 32 | data.nFileSizeLow;
}

// Reads a whole file once, so that every method after it finds it in the
// cache.
inline void WarmUp(const std::string& path)
{
    HANDLE in = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<char> block(1 << 20);
    DWORD got = 0;
    while (in != INVALID_HANDLE_VALUE && ReadFile(in, block.data(), (DWORD)block.size(), &got, nullptr) && got)
        ;
    CloseHandle(in);
}

// Committed private memory of the process, region by region. (Wine's own
// counters do not follow the heap as it grows.)
inline uint64_t PrivateBytes()
{
    uint64_t total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;
         at = (const char*)region.BaseAddress + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            total += region.RegionSize;
        if ((uintptr_t)region.BaseAddress + region.RegionSize < (uintptr_t)region.BaseAddress)
            break;
    }
    return total;
}

// The most private bytes the process held while `run` ran, sampled every
// millisecond from another thread, over what it held just before. The
// sampler is running (its stack counted) before the first sample is taken.
inline uint64_t PrivateBytesWhile(const std::function<void()>& run)
{
    std::atomic<bool> running(true);
    std::atomic<uint64_t> before(0), most(0);
    std::thread sampler([&] {
        before = most = PrivateBytes();
        while (running) {
            uint64_t now = PrivateBytes();
            if (now > most)
                most = now;
            Sleep(1);
        }
    });
    while (before == 0)
        Sleep(1);
    run();
    running = false;
    sampler.join();
    return most - before;
}
