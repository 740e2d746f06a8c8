// open.cpp -- opening an archive from its source, the open-archive list, and
// releasing records and entry streams.
#include "zipread.h"

#include <string.h>

Archive* openArchives = nullptr;

const uint32_t END_RECORD_SIGNATURE = 0x06054b50;  // "PK\5\6"

// ZIP64: a locator of 20 bytes right before the end record points at the
// ZIP64 end record, whose fixed part is 56 bytes (12 of head, then 44 counted
// by its own size field). Its counts, size and offset stand in for those of
// the end record that hold their all-ones values.
const uint32_t ZIP64_LOCATOR_SIGNATURE = 0x07064b50;     // "PK\6\7"
const uint32_t ZIP64_LOCATOR_LENGTH = 20;
const uint32_t ZIP64_END_RECORD_SIGNATURE = 0x06064b50;  // "PK\6\6"
const uint32_t ZIP64_END_RECORD_LENGTH = 56;
const uint64_t ZIP64_END_RECORD_SIZE_LEAST = 44;
const uint32_t CENTRAL_HEADER_LEAST = 46;  // a central header without name, extra or comment
const uint16_t GZIP_MAGIC = 0x8b1f;                // bytes 1F 8B

// The end record is searched backwards from the tail: an archive comment of
// up to 65,535 bytes may follow it. Windows of 1028 bytes step back by 1024,
// so a signature across a window boundary is still seen.
static const uint32_t END_SEARCH_LIMIT = 0xFFFF;
static const uint32_t END_SEARCH_STEP = 1024;
static const uint32_t END_SEARCH_WINDOW = END_SEARCH_STEP + 4;

void EndEntryStream(Archive* archive)
{
    EntryStream* stream = archive->stream;
    if (stream) {
        EndDecoder(&stream->decoder);
        AesClose(stream->aes);
        FreeBlock(stream->inputBuffer);
        FreeBlock(stream);
        archive->stream = nullptr;
    }
}

void CloseEntryStream(Archive* archive)
{
    EndEntryStream(archive);
    archive->currentIndex = -1;
}

uint32_t ReleaseArchive(Archive* archive)
{
    Archive** link = &openArchives;
    while (*link && *link != archive)
        link = &(*link)->next;
    if (!*link)
        return 0;
    *link = archive->next;

    CloseEntryStream(archive);
    if (archive->flags & ARCHIVE_OWNS_HANDLE)
        CloseHandle(archive->source.handle);
    if (archive->flags & ARCHIVE_OWNS_MEMORY)
        FreeBlock(const_cast<uint8_t*>(archive->source.memory));
    FreeBlock(archive->password);
    FreeBlock(archive->writeBuffer);
    FreeBlock(archive->readCache);
    FreeBlock(archive);
    return 0;
}

void CloseAllArchives()
{
    while (openArchives)
        ReleaseArchive(openArchives);
}

// Returns the position of the end record, or false when none was found in the
// last 65,535 bytes. The first match, nearest the end, wins. A window that
// cannot be allocated is result code 2 in `error`.
static bool FindEndRecord(Archive* archive, uint64_t size, uint64_t* position)
{
    if (size <= 4)
        return false;
    uint8_t* window = static_cast<uint8_t*>(AllocateBlock(END_SEARCH_WINDOW));
    if (!window) {
        archive->error = RESULT_NO_MEMORY;
        return false;
    }
    uint32_t maxBack = size < END_SEARCH_LIMIT ? (uint32_t)size : END_SEARCH_LIMIT;
    bool found = false;
    uint32_t backRead = 4;
    while (!found && backRead < maxBack) {
        backRead = backRead + END_SEARCH_STEP < maxBack ? backRead + END_SEARCH_STEP : maxBack;
        uint64_t readPos = size - backRead;
        uint32_t readSize = backRead < END_SEARCH_WINDOW ? backRead : END_SEARCH_WINDOW;
        if (SourceSeek(archive, readPos, SEEK_FROM_BASE) != RESULT_OK)
            break;
        uint32_t got = SourceRead(archive, window, readSize);
        if (got == 0)
            break;
        // A short read leaves stale bytes past `got`: scan only what arrived.
        if (got < readSize)
            readSize = got;
        for (uint32_t i = readSize >= 4 ? readSize - 3 : 0; i-- > 0;) {
            uint32_t word = (uint32_t)window[i] | (uint32_t)window[i + 1] << 8 |
                            (uint32_t)window[i + 2] << 16 | (uint32_t)window[i + 3] << 24;
            if (word == END_RECORD_SIGNATURE) {
                *position = readPos + i;
                found = true;
                break;
            }
        }
    }
    FreeBlock(window);
    // A failed read during the search only ends it: the gzip test follows.
    archive->error = RESULT_OK;
    return found;
}

static uint64_t ReadU64(Archive* archive)
{
    uint64_t low = ReadU32(archive);
    return low | (uint64_t)ReadU32(archive) << 32;
}

// The fields of an end record, 32-bit or ZIP64, as far as they are checked.
struct EndFields {
    uint32_t thisDisk;
    uint32_t directoryDisk;
    uint64_t entriesHere;
    uint64_t totalEntries;
    uint64_t directorySize;
    uint64_t directoryOffset;
};

// Finds the ZIP64 end record that the locator right before the end record at
// `eocd` points to, and reads it. It must lie, whole, before the locator: at
// the recorded offset, or, in an archive with bytes before it (the offsets
// then count from its true start), right before the locator. Returns false
// when no locator stands there; `*code` is 6 for a locator whose record
// cannot be had.
static bool ReadZip64EndRecord(Archive* archive, uint64_t eocd, EndFields* end, uint64_t* recordAt,
                               uint32_t* code)
{
    *code = RESULT_OK;
    if (eocd < ZIP64_LOCATOR_LENGTH + ZIP64_END_RECORD_LENGTH)
        return false;
    uint64_t locator = eocd - ZIP64_LOCATOR_LENGTH;
    SourceSeek(archive, locator, SEEK_FROM_BASE);
    if (ReadU32(archive) != ZIP64_LOCATOR_SIGNATURE || archive->error)
        return false;
    uint32_t recordDisk = ReadU32(archive);
    uint64_t recorded = ReadU64(archive);
    uint32_t disks = ReadU32(archive);
    *code = RESULT_CORRUPT;
    if (archive->error)
        return true;
    if (recordDisk != 0 || disks > 1) {
        *code = RESULT_UNSUPPORTED;
        return true;
    }
    uint64_t latest = locator - ZIP64_END_RECORD_LENGTH;  // the last place a whole record fits
    uint64_t candidates[2] = {recorded, latest};
    for (uint64_t at : candidates) {
        if (at > latest)
            continue;
        SourceSeek(archive, at, SEEK_FROM_BASE);
        if (ReadU32(archive) != ZIP64_END_RECORD_SIGNATURE || archive->error)
            continue;
        uint64_t recordSize = ReadU64(archive);
        ReadU16(archive);  // version made by
        ReadU16(archive);  // version needed
        end->thisDisk = ReadU32(archive);
        end->directoryDisk = ReadU32(archive);
        end->entriesHere = ReadU64(archive);
        end->totalEntries = ReadU64(archive);
        end->directorySize = ReadU64(archive);
        end->directoryOffset = ReadU64(archive);
        // The record's size counts the 44 fixed bytes after its size field
        // and any extensible data, all of which must end before the locator.
        if (archive->error || recordSize < ZIP64_END_RECORD_SIZE_LEAST || recordSize > locator - at - 12)
            return true;
        *recordAt = at;
        *code = RESULT_OK;
        return true;
    }
    return true;
}

// Reads and checks the end record at `eocd`, filling entryCount,
// centralDirOffset, commentLength and bytesBefore. An end record with a
// count, size or offset at its all-ones value and a ZIP64 locator before it
// takes all of them from the ZIP64 end record instead.
static uint32_t ReadEndRecord(Archive* archive, uint64_t eocd)
{
    SourceSeek(archive, eocd, SEEK_FROM_BASE);
    ReadU32(archive);
    EndFields end;
    end.thisDisk = ReadU16(archive);
    end.directoryDisk = ReadU16(archive);
    end.entriesHere = ReadU16(archive);
    end.totalEntries = ReadU16(archive);
    if (archive->error)
        return RESULT_CORRUPT;
    end.directorySize = ReadU32(archive);
    end.directoryOffset = ReadU32(archive);
    archive->commentLength = ReadU16(archive);
    // A record cut short here still tells a multi-disk archive by its counts.
    uint32_t cutShort = archive->error;

    // The directory ends where the end record (or the ZIP64 one) begins.
    uint64_t directoryEnd = eocd;
    bool zip64 = false;
    if (!cutShort && (end.thisDisk == 0xFFFF || end.directoryDisk == 0xFFFF || end.entriesHere == 0xFFFF ||
                      end.totalEntries == 0xFFFF || end.directorySize == 0xFFFFFFFF ||
                      end.directoryOffset == 0xFFFFFFFF)) {
        EndFields wide;
        uint32_t code;
        zip64 = ReadZip64EndRecord(archive, eocd, &wide, &directoryEnd, &code);
        archive->error = RESULT_OK;
        if (code)
            return code;
        if (zip64)
            end = wide;
    }

    // Multi-disk archives are not supported.
    if (end.totalEntries != end.entriesHere || end.directoryDisk != 0 || end.thisDisk != 0)
        return RESULT_UNSUPPORTED;
    if (cutShort)
        return RESULT_CORRUPT;
    // Written as subtractions, so that no sum can wrap.
    if (end.directoryOffset > directoryEnd || end.directorySize > directoryEnd - end.directoryOffset)
        return RESULT_CORRUPT;
    // Each entry takes a central header of at least 46 bytes, so a count
    // that the directory cannot hold is forged; and positions are counted in
    // 31 bits.
    if (zip64 && (end.totalEntries > end.directorySize / CENTRAL_HEADER_LEAST || end.totalEntries > 0x7FFFFFFF))
        return RESULT_CORRUPT;
    archive->entryCount = (uint32_t)end.totalEntries;
    archive->centralDirOffset = end.directoryOffset;
    archive->bytesBefore = directoryEnd - (end.directoryOffset + end.directorySize);
    return RESULT_OK;
}

// A source without an end record that begins 1F 8B is a gzip file: one item.
static uint32_t TryGzip(Archive* archive)
{
    archive->error = RESULT_OK;
    SourceSeek(archive, 0, SEEK_FROM_BASE);
    if (ReadU16(archive) != GZIP_MAGIC)
        return RESULT_CORRUPT;
    archive->flags |= ARCHIVE_GZIP;
    archive->entryCount = 1;
    archive->centralDirOffset = 3;  // the gzip flag byte
    archive->bytesBefore = 0;
    return RESULT_OK;
}

// The current directory, ending in a backslash; one backslash when it cannot
// be had or does not fit.
static void SetDefaultRoot(Archive* archive)
{
    uint32_t n = GetCurrentDirectoryA(259, archive->path);
    if (n > 258)
        n = 0;
    if (n == 0 || archive->path[n - 1] != '\\') {
        archive->path[n] = '\\';
        n++;
    }
    archive->path[n] = '\0';
    archive->rootLength = n;
}

uint32_t SetRootDirectory(Archive* archive, const char* text, uint32_t length)
{
    char root[MAX_PATH_TEXT + 2];
    uint32_t n;
    if (length > 0) {
        // At most 258 characters: with the backslash that may be added the
        // root stays below 260, so that a name still fits after it.
        if (length > MAX_PATH_TEXT - 2)
            return RESULT_BAD_ARGUMENTS;
        memcpy(root, text, length);
        n = length;
    } else {
        n = GetCurrentDirectoryA(259, root);
        if (n > 258)
            return RESULT_BAD_ARGUMENTS;
    }
    if (n > 0 && root[n - 1] != '\\')
        root[n++] = '\\';
    root[n] = '\0';
    memcpy(archive->path, root, n + 1);
    archive->rootLength = n;
    archive->hasWidePath = 0;  // the path now names the root alone
    return RESULT_OK;
}

// Attaches the source of the given kind; fills source, flags, baseOffset,
// memorySize and sourceSize.
static uint32_t AttachSource(Archive* archive, const void* reference, uint32_t sizeOrId, uint32_t kind)
{
    if (kind == SOURCE_MEMORY) {
        archive->flags = ARCHIVE_MEMORY;
        if (reference) {
            // The caller's bytes need not outlive this call: keep a copy.
            uint8_t* copy = static_cast<uint8_t*>(AllocateBlock(sizeOrId));
            if (!copy)
                return RESULT_NO_MEMORY;
            memcpy(copy, reference, sizeOrId);
            archive->source.memory = copy;
            archive->flags |= ARCHIVE_OWNS_MEMORY;
            archive->memorySize = sizeOrId;
        } else {
            HMODULE module = GetModuleHandleA(nullptr);
            HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(sizeOrId & 0xFFFF), MAKEINTRESOURCEA(10));
            if (!resource)
                return RESULT_NOT_FOUND;
            HGLOBAL loaded = LoadResource(module, resource);
            if (!loaded)
                return RESULT_NOT_FOUND;
            const void* data = LockResource(loaded);
            if (!data)
                return RESULT_NO_MEMORY;
            archive->source.memory = static_cast<const uint8_t*>(data);
            archive->memorySize = SizeofResource(module, resource);
        }
        archive->sourceSize = archive->memorySize;
        archive->memoryPosition = archive->memorySize;
        return RESULT_OK;
    }

    if (kind == SOURCE_FILE) {
        HANDLE file = CreateFileA(static_cast<const char*>(reference), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return RESULT_CANT_OPEN;
        archive->source.handle = file;
        archive->flags = ARCHIVE_OWNS_HANDLE | ARCHIVE_PRIVATE_HANDLE;
    } else {
        HANDLE given = const_cast<HANDLE>(reference);
        HANDLE duplicate = nullptr;
        if (DuplicateHandle(GetCurrentProcess(), given, GetCurrentProcess(), &duplicate, 0, FALSE,
                            DUPLICATE_SAME_ACCESS)) {
            archive->source.handle = duplicate;
            archive->flags = ARCHIVE_OWNS_HANDLE;
        } else {
            archive->source.handle = given;  // read through, never closed
        }
    }

    // A pipe has no position.
    LARGE_INTEGER zero, base, end;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(archive->source.handle, zero, &base, FILE_CURRENT))
        return RESULT_UNSEEKABLE;
    if (!SetFilePointerEx(archive->source.handle, zero, &end, FILE_END))
        return RESULT_UNSEEKABLE;
    archive->baseOffset = (uint64_t)base.QuadPart;
    archive->sourceSize = end.QuadPart >= base.QuadPart ? (uint64_t)(end.QuadPart - base.QuadPart) : 0;
    archive->handlePosition = archive->sourceSize;

    archive->readCache = static_cast<uint8_t*>(AllocateBlock(READ_CACHE_SIZE * READ_CACHE_SLOTS));
    if (!archive->readCache)
        return RESULT_NO_MEMORY;
    return RESULT_OK;
}

static uint32_t OpenSteps(Archive* archive, const void* reference, uint32_t sizeOrId, uint32_t kind,
                          const char* password, uint32_t passwordLength)
{
    if (password && passwordLength > 0) {
        archive->password = static_cast<char*>(AllocateBlock(passwordLength + 1));
        if (!archive->password)
            return RESULT_NO_MEMORY;
        memcpy(archive->password, password, passwordLength);
        archive->password[passwordLength] = '\0';
    }
    archive->currentIndex = -1;
    archive->walkIndex = -1;

    uint32_t code = AttachSource(archive, reference, sizeOrId, kind);
    if (code)
        return code;

    uint64_t eocd = 0;
    if (FindEndRecord(archive, archive->sourceSize, &eocd)) {
        code = ReadEndRecord(archive, eocd);
    } else if (archive->error) {
        code = archive->error;
    } else {
        code = TryGzip(archive);
    }
    archive->error = RESULT_OK;
    if (code)
        return code;

    SetDefaultRoot(archive);
    return RESULT_OK;
}

uint32_t OpenArchive(Archive** out, const void* reference, uint32_t sizeOrId, uint32_t kind,
                     const char* password, uint32_t passwordLength)
{
    Archive* archive = static_cast<Archive*>(AllocateBlock(sizeof(Archive)));
    if (!archive)
        return RESULT_NO_MEMORY;
    archive->next = openArchives;
    openArchives = archive;

    uint32_t code = OpenSteps(archive, reference, sizeOrId, kind, password, passwordLength);
    if (code) {
        // A caller's handle shares its position with our duplicate: put it
        // back where it was, so that the caller may try again.
        if (kind == SOURCE_HANDLE && code != RESULT_UNSEEKABLE) {
            LARGE_INTEGER base;
            base.QuadPart = (LONGLONG)archive->baseOffset;
            SetFilePointerEx(archive->source.handle, base, nullptr, FILE_BEGIN);
        }
        ReleaseArchive(archive);
        return code;
    }
    *out = archive;
    return RESULT_OK;
}
