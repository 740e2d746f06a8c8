// reader_fixture.h -- what the reader's tests share: archives opened from
// memory or from a real file, sample data, and reading back what a selection left.
#pragma once

#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "zipread.h"

// An archive opened from a copy of `bytes`, released when it goes away.
struct OpenedArchive {
    Archive* archive = nullptr;
    uint32_t code = RESULT_OK;

    explicit OpenedArchive(const std::string& bytes, const char* password = nullptr)
    {
        code = OpenArchive(&archive, bytes.data(), (uint32_t)bytes.size(), SOURCE_MEMORY, password,
                           password ? (uint32_t)strlen(password) : 0);
        if (code != RESULT_OK)
            archive = nullptr;
    }
    // A file source: every read goes through the file's handle.
    OpenedArchive(const std::string& fileName, uint32_t kind)
    {
        code = OpenArchive(&archive, fileName.c_str(), 0, kind, nullptr, 0);
        if (code != RESULT_OK)
            archive = nullptr;
    }
    ~OpenedArchive()
    {
        if (archive)
            ReleaseArchive(archive);
    }
    OpenedArchive(const OpenedArchive&) = delete;
    OpenedArchive& operator=(const OpenedArchive&) = delete;

    Archive* operator->() const { return archive; }
    operator Archive*() const { return archive; }
};

// Reproducible bytes: `textLike` gives deflate something to squeeze, the
// other kind is close to incompressible.
inline std::string Sample(size_t size, bool textLike, uint32_t seed = 1)
{
    static const char words[] = "the quick brown fox jumps over a lazy dog ";
    std::string out(size, '\0');
    uint32_t x = seed;
    for (size_t i = 0; i < size; i++) {
        x = x * 1103515245u + 12345u;
        out[i] = textLike ? words[(x >> 16) % (sizeof(words) - 1)] : (char)(x >> 24);
    }
    return out;
}

// The root directory the path tests use: short, so that lengths are easy.
const char TEST_ROOT[] = "R\\";

inline void UseTestRoot(Archive* archive)
{
    ASSERT_EQ(RESULT_OK, SetRootDirectory(archive, TEST_ROOT, 2));
}

// The entry name part of `path`, after the root directory.
inline std::string NamePart(const Archive* archive)
{
    return std::string(archive->path + archive->rootLength);
}

inline uint64_t Ticks(const FILETIME& t)
{
    return (uint64_t)t.dwHighDateTime << 32 | t.dwLowDateTime;
}

// 100-ns ticks of a Unix time, computed apart from the reader's own code.
inline uint64_t UnixTicks(int64_t seconds)
{
    return (uint64_t)(seconds * 10000000LL + 116444736000000000LL);
}
