// open.cpp -- opening an archive from its source, the open-archive list, and
// releasing records and entry streams.
#include "zipread.h"

#include <string.h>

Archive* openArchives = nullptr;

const uint32_t END_RECORD_SIGNATURE = 0x06054b50;  // "PK\5\6"
const uint16_t GZIP_MAGIC = 0x8b1f;                // bytes 1F 8B

// The end record is searched backwards from the tail: an archive comment of
// up to 65,535 bytes may follow it. Windows of 1028 bytes step back by 1024,
// so a signature across a window boundary is still seen.
static const uint32_t END_SEARCH_LIMIT = 0xFFFF;
static const uint32_t END_SEARCH_STEP = 1024;
static const uint32_t END_SEARCH_WINDOW = END_SEARCH_STEP + 4;

static const uint32_t HANDLE_CACHE_SIZE = 8192;  // matches source.cpp's READ_CACHE_SIZE

void CloseEntryStream(Archive* archive)
{
    EntryStream* stream = archive->stream;
    if (stream) {
        if (stream->inflating)
            inflateEnd(&stream->zstream);
        AesClose(stream->aes);
        FreeBlock(stream->inputBuffer);
        FreeBlock(stream);
        archive->stream = nullptr;
    }
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
static bool FindEndRecord(Archive* archive, uint32_t size, uint32_t* position)
{
    if (size <= 4)
        return false;
    uint8_t* window = static_cast<uint8_t*>(AllocateBlock(END_SEARCH_WINDOW));
    if (!window) {
        archive->error = RESULT_NO_MEMORY;
        return false;
    }
    uint32_t maxBack = size < END_SEARCH_LIMIT ? size : END_SEARCH_LIMIT;
    bool found = false;
    uint32_t backRead = 4;
    while (!found && backRead < maxBack) {
        backRead = backRead + END_SEARCH_STEP < maxBack ? backRead + END_SEARCH_STEP : maxBack;
        uint32_t readPos = size - backRead;
        uint32_t readSize = size - readPos < END_SEARCH_WINDOW ? size - readPos : END_SEARCH_WINDOW;
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

// Reads and checks the end record at `eocd`, filling entryCount,
// centralDirOffset, commentLength and bytesBefore.
static uint32_t ReadEndRecord(Archive* archive, uint32_t eocd)
{
    SourceSeek(archive, eocd, SEEK_FROM_BASE);
    ReadU32(archive);
    uint32_t thisDisk = ReadU16(archive);
    uint32_t directoryDisk = ReadU16(archive);
    archive->entryCount = ReadU16(archive);
    uint32_t totalEntries = ReadU16(archive);
    if (archive->error)
        return RESULT_CORRUPT;
    // Multi-disk archives are not supported.
    if (totalEntries != archive->entryCount || directoryDisk != 0 || thisDisk != 0)
        return RESULT_UNSUPPORTED;
    uint32_t directorySize = ReadU32(archive);
    archive->centralDirOffset = ReadU32(archive);
    archive->commentLength = ReadU16(archive);
    if (archive->error)
        return RESULT_CORRUPT;
    // Written as subtractions, so that no sum can wrap.
    if (archive->centralDirOffset > eocd || directorySize > eocd - archive->centralDirOffset)
        return RESULT_CORRUPT;
    archive->bytesBefore = eocd - (archive->centralDirOffset + directorySize);
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
        archive->flags = ARCHIVE_OWNS_HANDLE;
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

    // A pipe has no position. All ones is also a real answer near 4 GiB, so
    // the last error tells.
    SetLastError(NO_ERROR);
    DWORD base = SetFilePointer(archive->source.handle, 0, nullptr, FILE_CURRENT);
    if (base == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR)
        return RESULT_UNSEEKABLE;
    // Positions are 32-bit and set without a high part, so no byte at or
    // beyond 2 GiB can be reached: a source that ends there is refused now,
    // rather than searched at positions that wrap.
    SetLastError(NO_ERROR);
    LONG endHigh = 0;
    DWORD end = SetFilePointer(archive->source.handle, 0, &endHigh, FILE_END);
    if (end == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR)
        return RESULT_UNSEEKABLE;
    if (endHigh != 0 || end >= 0x80000000u)
        return RESULT_UNSEEKABLE;
    archive->baseOffset = base;
    archive->sourceSize = end >= base ? end - base : 0;
    archive->handlePosition = archive->sourceSize;

    archive->readCache = static_cast<uint8_t*>(AllocateBlock(HANDLE_CACHE_SIZE));
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

    uint32_t eocd = 0;
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
        if (kind == SOURCE_HANDLE && code != RESULT_UNSEEKABLE)
            SetFilePointer(archive->source.handle, (LONG)archive->baseOffset, nullptr, FILE_BEGIN);
        ReleaseArchive(archive);
        return code;
    }
    *out = archive;
    return RESULT_OK;
}
