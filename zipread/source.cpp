// source.cpp -- reading and positioning in an archive's bytes, wherever they live.
// Nothing else in zipread/ reads a source: memory blocks are copied from,
// handle sources go through ReadHandle at a position this file keeps.
#include "zipread.h"

#include <string.h>

// File positions are signed 64-bit numbers to Windows.
static const uint64_t HANDLE_POSITION_LIMIT = 0x7FFFFFFFFFFFFFFFull;

static bool IsMemorySource(const Archive* archive)
{
    return (archive->flags & ARCHIVE_MEMORY) != 0;
}

// Reads `count` bytes at `position` (from baseOffset) straight from the handle.
// Returns the bytes received; a failed ReadFile sets `error` to 7.
// A handle opened here from a file name is seen by no one else, so where a
// read left its file pointer is where the next one starts: entry data read
// block after block cost one ReadFile each, not a seek and a ReadFile. A
// caller's handle (or our duplicate of it, which shares its pointer) may
// have been moved by the caller at any time and is positioned every time.
static uint32_t ReadHandleAt(Archive* archive, uint64_t position, void* buffer, uint32_t count)
{
    if (position > HANDLE_POSITION_LIMIT - archive->baseOffset)
        return 0;  // nothing can be read there
    bool standsThere = (archive->flags & ARCHIVE_PRIVATE_HANDLE) && archive->filePointerKnown &&
                       archive->filePointer == position;
    archive->filePointerKnown = 0;
    if (!standsThere) {
        LARGE_INTEGER absolute;
        absolute.QuadPart = (LONGLONG)(archive->baseOffset + position);
        if (!SetFilePointerEx(archive->source.handle, absolute, nullptr, FILE_BEGIN)) {
            archive->error = archive->error ? archive->error : RESULT_READ_FAILED;
            return 0;
        }
    }
    DWORD received = 0;
    if (!ReadHandle(archive->source.handle, buffer, count, &received)) {
        if (!archive->error)
            archive->error = RESULT_READ_FAILED;
        return 0;
    }
    archive->filePointer = position + received;
    archive->filePointerKnown = 1;
    return received;
}

static uint32_t ReadMemory(Archive* archive, void* buffer, uint32_t count)
{
    if (archive->memoryPosition >= archive->memorySize)
        return 0;
    uint32_t left = archive->memorySize - (uint32_t)archive->memoryPosition;
    uint32_t n = count < left ? count : left;
    memcpy(buffer, archive->source.memory + archive->memoryPosition, n);
    archive->memoryPosition += n;
    return n;
}

// Reads at the handle source's position through the read cache: what a slot
// already holds there comes from it; a rest smaller than a slot refills the
// slot read least lately, and a larger rest goes straight to the caller.
static uint32_t ReadHandleSource(Archive* archive, void* buffer, uint32_t count)
{
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint32_t delivered = 0;
    uint64_t position = archive->handlePosition;

    if (archive->readCache) {
        for (uint32_t slot = 0; slot < READ_CACHE_SLOTS; slot++) {
            if (position < archive->cacheStart[slot] ||
                position - archive->cacheStart[slot] >= archive->cacheLength[slot])
                continue;
            uint32_t offset = (uint32_t)(position - archive->cacheStart[slot]);
            uint32_t available = archive->cacheLength[slot] - offset;
            uint32_t n = count < available ? count : available;
            memcpy(out, archive->readCache + slot * READ_CACHE_SIZE + offset, n);
            delivered = n;
            position += n;
            archive->cacheLatest = (uint8_t)slot;
            break;
        }
    }

    uint32_t rest = count - delivered;
    if (rest > 0) {
        if (rest >= READ_CACHE_SIZE || !archive->readCache) {
            delivered += ReadHandleAt(archive, position, out + delivered, rest);
        } else {
            static_assert(READ_CACHE_SLOTS == 2, "the slot filled next is the one not read last");
            uint32_t slot = archive->cacheLatest ^ 1u;
            uint8_t* cache = archive->readCache + slot * READ_CACHE_SIZE;
            archive->cacheLength[slot] = 0;
            uint32_t filled = ReadHandleAt(archive, position, cache, READ_CACHE_SIZE);
            archive->cacheStart[slot] = position;
            archive->cacheLength[slot] = filled;
            archive->cacheLatest = (uint8_t)slot;
            uint32_t n = rest < filled ? rest : filled;
            memcpy(out + delivered, cache, n);
            delivered += n;
        }
    }
    archive->handlePosition += delivered;
    return delivered;
}

uint32_t SourceRead(Archive* archive, void* buffer, uint32_t count)
{
    if (count == 0)
        return 0;
    if (IsMemorySource(archive))
        return ReadMemory(archive, buffer, count);
    return ReadHandleSource(archive, buffer, count);
}

uint32_t SourceSeek(Archive* archive, uint64_t offset, uint32_t origin)
{
    uint64_t here = IsMemorySource(archive) ? archive->memoryPosition : archive->handlePosition;
    // The position must be one a file could hold; a sum that would pass the
    // largest one is refused rather than wrapped.
    uint64_t limit = IsMemorySource(archive) ? HANDLE_POSITION_LIMIT : HANDLE_POSITION_LIMIT - archive->baseOffset;
    if (origin != SEEK_FROM_BASE && offset > limit - (here < limit ? here : limit))
        return RESULT_UNSEEKABLE;
    uint64_t position = origin == SEEK_FROM_BASE ? offset : here + offset;
    if (position > limit)
        return RESULT_UNSEEKABLE;
    // No bounds test against the end: reads beyond it deliver nothing. A
    // handle source keeps its position here; the file pointer is set at each
    // ReadFile.
    if (IsMemorySource(archive))
        archive->memoryPosition = position;
    else
        archive->handlePosition = position;
    return RESULT_OK;
}

uint64_t SourceTell(Archive* archive)
{
    return IsMemorySource(archive) ? archive->memoryPosition : archive->handlePosition;
}

// Assembles `width` bytes little-endian; bytes that did not arrive count as 0.
static uint32_t ReadLittleEndian(Archive* archive, uint32_t width)
{
    if (archive->error)
        return 0;
    uint8_t bytes[4] = {0, 0, 0, 0};
    if (SourceRead(archive, bytes, width) == 0)
        return 0;
    return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 |
           (uint32_t)bytes[3] << 24;
}

uint32_t ReadU16(Archive* archive)
{
    return ReadLittleEndian(archive, 2);
}

uint32_t ReadU32(Archive* archive)
{
    return ReadLittleEndian(archive, 4);
}
