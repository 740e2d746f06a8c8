// directory.cpp -- walking the central directory, header by header, and
// selecting an entry by position or by name.
// The directory is never held in memory: only the current header is. A walk
// may resume where the last one stood, so that selecting every entry in turn
// costs time linear in the number of entries.
#include "zipread.h"

#include <string.h>

const uint32_t CENTRAL_HEADER_SIGNATURE = 0x02014b50;  // "PK\1\2"
const uint32_t CENTRAL_HEADER_FIXED = 46;               // signature + 42 bytes of fields
const uint32_t CENTRAL_FIELDS_LENGTH = 42;

// gzip member header (RFC 1952) flag bits in FLG.
const uint8_t GZIP_FHCRC = 0x02;
const uint8_t GZIP_FEXTRA = 0x04;
const uint8_t GZIP_FNAME = 0x08;
const uint8_t GZIP_FCOMMENT = 0x10;
const uint32_t GZIP_TRAILER_LENGTH = 8;  // CRC-32, then ISIZE

const uint32_t NAME_BUFFER_LENGTH = 260;  // name bytes kept: 259 and a NUL
const uint32_t NAME_LOOKUP_LIMIT = 256;   // names to find are shorter than this
const uint32_t EXTRA_ROOM_LENGTH = 1024;

static uint16_t Get16(const uint8_t* p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}

static uint32_t Get32(const uint8_t* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// Reads exactly `count` bytes or records result code 6.
static bool ReadExactly(Archive* archive, void* buffer, uint32_t count)
{
    if (SourceRead(archive, buffer, count) == count)
        return true;
    archive->error = RESULT_CORRUPT;
    return false;
}

static bool SkipForward(Archive* archive, uint64_t count)
{
    if (SourceSeek(archive, count, SEEK_FROM_HERE) == RESULT_OK)
        return true;
    archive->error = RESULT_CORRUPT;
    return false;
}

// Reads a NUL-terminated gzip header text, returning its length without the
// NUL. A source that ends first is result code 6.
static uint32_t SkipGzipText(Archive* archive)
{
    uint32_t length = 0;
    uint8_t c;
    while (ReadExactly(archive, &c, 1) && c != 0)
        length++;
    return length;
}

static void ReadZipCentralHeader(Archive* archive)
{
    SourceSeek(archive, archive->currentHeaderOffset + archive->bytesBefore, SEEK_FROM_BASE);
    // A seek to the wrong place fails the signature test.
    if (ReadU32(archive) != CENTRAL_HEADER_SIGNATURE) {
        archive->error = RESULT_CORRUPT;
        return;
    }
    uint8_t raw[CENTRAL_FIELDS_LENGTH];
    if (!ReadExactly(archive, raw, sizeof raw))
        return;

    CentralHeader& h = archive->header;
    h.versionMadeBy = Get16(raw + 0);
    h.versionNeeded = Get16(raw + 2);
    h.flags = Get16(raw + 4);
    h.method = Get16(raw + 6);
    h.dosTime = Get16(raw + 8);
    h.dosDate = Get16(raw + 10);
    h.crc32 = Get32(raw + 12);
    h.compressedSize = Get32(raw + 16);
    h.uncompressedSize = Get32(raw + 20);
    h.nameLength = Get16(raw + 24);
    h.extraLength = Get16(raw + 26);
    h.commentLength = Get16(raw + 28);
    h.diskStart = Get16(raw + 30);  // ZIP64 widens it
    h.internalAttributes = Get16(raw + 32);
    h.externalAttributes = Get32(raw + 34);
    h.localHeaderOffset = Get32(raw + 38);
}

// The gzip member header stands in for a central header: the name is FNAME,
// the sizes and CRC come from the trailer, the data start after the header.
// MTIME is kept, as stored, in the DOS time and date fields.
static void ReadGzipHeader(Archive* archive)
{
    CentralHeader& h = archive->header;
    if (SourceSeek(archive, archive->currentHeaderOffset, SEEK_FROM_BASE) != RESULT_OK) {
        archive->error = RESULT_CORRUPT;
        return;
    }
    memset(&h, 0, sizeof h);

    uint8_t fixed[7];  // FLG, MTIME (4), XFL, OS
    if (!ReadExactly(archive, fixed, sizeof fixed))
        return;
    uint8_t flg = fixed[0];
    h.dosTime = Get16(fixed + 1);
    h.dosDate = Get16(fixed + 3);

    if (flg & GZIP_FEXTRA) {
        uint8_t xlen[2];
        if (!ReadExactly(archive, xlen, 2) || !SkipForward(archive, Get16(xlen)))
            return;
    }
    uint64_t namePosition = SourceTell(archive);
    if (flg & GZIP_FNAME) {
        uint32_t length = SkipGzipText(archive);
        if (archive->error)
            return;
        // A longer name still ends at its NUL; only its first bytes are used.
        h.nameLength = (uint16_t)(length < 0xFFFF ? length : 0xFFFF);
    }
    if (flg & GZIP_FCOMMENT) {
        SkipGzipText(archive);
        if (archive->error)
            return;
    }
    if ((flg & GZIP_FHCRC) && !SkipForward(archive, 2))
        return;

    // The member must leave room for its 8-byte trailer at the end of the
    // source; anything shorter is not a gzip file this reader can trust.
    uint64_t dataStart = SourceTell(archive);
    uint64_t size = archive->sourceSize;
    if (size < GZIP_TRAILER_LENGTH || dataStart > size - GZIP_TRAILER_LENGTH) {
        archive->error = RESULT_CORRUPT;
        return;
    }
    if (SourceSeek(archive, size - GZIP_TRAILER_LENGTH, SEEK_FROM_BASE) != RESULT_OK) {
        archive->error = RESULT_CORRUPT;
        return;
    }
    uint8_t trailer[GZIP_TRAILER_LENGTH];
    if (!ReadExactly(archive, trailer, sizeof trailer))
        return;
    h.crc32 = Get32(trailer);
    h.uncompressedSize = Get32(trailer + 4);
    h.compressedSize = size - GZIP_TRAILER_LENGTH - dataStart;
    h.localHeaderOffset = dataStart;
    h.method = METHOD_DEFLATED;

    if (SourceSeek(archive, namePosition, SEEK_FROM_BASE) != RESULT_OK)
        archive->error = RESULT_CORRUPT;
}

void ReadCentralHeader(Archive* archive)
{
    if (archive->flags & ARCHIVE_GZIP)
        ReadGzipHeader(archive);
    else
        ReadZipCentralHeader(archive);
}

// Remembers the header just read as the place a later selection may resume
// from; a failed step forgets it.
static void NoteWalkPosition(Archive* archive)
{
    if (archive->error) {
        archive->walkIndex = -1;
    } else {
        archive->walkIndex = archive->currentIndex;
        archive->walkHeaderOffset = archive->currentHeaderOffset;
    }
}

void GoToFirstEntry(Archive* archive)
{
    if (archive->entryCount == 0) {
        archive->error = RESULT_NOT_FOUND;
        archive->walkIndex = -1;
        return;
    }
    archive->currentIndex = 0;
    archive->currentHeaderOffset = archive->centralDirOffset;
    ReadCentralHeader(archive);
    NoteWalkPosition(archive);
}

void GoToNextEntry(Archive* archive)
{
    if ((uint32_t)archive->currentIndex + 1 >= archive->entryCount) {
        archive->error = RESULT_NOT_FOUND;
        archive->walkIndex = -1;
        return;
    }
    const CentralHeader& h = archive->header;
    archive->currentIndex++;
    archive->currentHeaderOffset += CENTRAL_HEADER_FIXED + h.nameLength + h.extraLength + h.commentLength;
    ReadCentralHeader(archive);
    NoteWalkPosition(archive);
}

void ReadEntryName(Archive* archive, char* buffer)
{
    uint32_t length = archive->header.nameLength;
    uint32_t kept = length < NAME_BUFFER_LENGTH - 1 ? length : NAME_BUFFER_LENGTH - 1;
    buffer[kept] = '\0';
    archive->nameCrc = 0;
    if (kept > 0) {
        uint32_t got = SourceRead(archive, buffer, kept);
        if (got < kept) {
            buffer[got] = '\0';
            archive->error = RESULT_CORRUPT;
            archive->walkIndex = -1;
            return;
        }
    }
    if (length == kept)
        return;
    // The rest of an over-long name is read past, so that the extra field is
    // read from its true place, and its CRC-32 is taken over all of it (a
    // name read whole has its CRC-32 taken only where needed). A name that
    // runs past the end of the source is cut short.
    archive->nameCrc = (uint32_t)crc32(0, (const Bytef*)buffer, kept);
    uint8_t rest[64];
    for (uint32_t left = length - kept; left > 0;) {
        uint32_t piece = left < sizeof rest ? left : (uint32_t)sizeof rest;
        if (SourceRead(archive, rest, piece) != piece) {
            archive->error = RESULT_CORRUPT;
            archive->walkIndex = -1;
            return;
        }
        archive->nameCrc = (uint32_t)crc32(archive->nameCrc, rest, piece);
        left -= piece;
    }
}

// A lookup that failed leaves no current entry. Only an unsupported method
// keeps the walk position: the headers up to it were read and are sound.
static uint32_t FailSelection(Archive* archive)
{
    CloseEntryStream(archive);
    if (archive->error != RESULT_UNSUPPORTED)
        archive->walkIndex = -1;
    return archive->error;
}

// Reads the current entry's central extra field, where the source stands,
// into `room` when it fits there, else into a new block; none when it is
// empty. Sets `error` on failure. ReleaseExtraField frees what it made.
static uint8_t* ReadExtraField(Archive* archive, uint8_t* room, uint32_t roomLength)
{
    uint32_t length = archive->header.extraLength;
    if (length == 0)
        return nullptr;
    uint8_t* extra = length <= roomLength ? room : static_cast<uint8_t*>(AllocateBlock(length));
    if (!extra) {
        archive->error = RESULT_NO_MEMORY;
        return nullptr;
    }
    if (SourceRead(archive, extra, length) < length) {
        if (extra != room)
            FreeBlock(extra);
        archive->error = RESULT_CORRUPT;
        return nullptr;
    }
    return extra;
}

static void ReleaseExtraField(uint8_t* extra, uint8_t* room)
{
    if (extra != room)
        FreeBlock(extra);
}

// Finishes selecting the entry at which the walk stands, whose name has just
// been read: the source stands at its central extra field.
static uint32_t FinishSelection(Archive* archive, const char* name)
{
    CentralHeader& h = archive->header;
    if (!MethodSupported(h.method) && h.method != METHOD_AES)
        archive->error = RESULT_UNSUPPORTED;
    if (archive->error)
        return FailSelection(archive);

    uint8_t* extra = ReadExtraField(archive, nullptr, 0);
    if (archive->error)
        return FailSelection(archive);
    archive->error = ApplyZip64Extra(&h, extra, h.extraLength);
    // PKWARE's strong encryption (flag bit 6, its 0x0017 field) is another
    // cipher than the traditional one: refused, never read as that.
    const uint8_t* data;
    uint32_t length;
    if (archive->error == 0 && ((h.flags & ENTRY_FLAG_STRONG_ENCRYPTION) ||
                                FindExtraBlock(extra, h.extraLength, EXTRA_STRONG_ENCRYPTION_ID, &data, &length)))
        archive->error = RESULT_UNSUPPORTED;
    if (archive->error) {
        FreeBlock(extra);
        return FailSelection(archive);
    }

    // An AES entry's real method and key strength are in its extra field.
    memset(&archive->aes, 0, sizeof archive->aes);
    if (h.method == METHOD_AES) {
        archive->error = ReadAesField(&archive->aes, extra, h.extraLength);
        if (archive->error) {
            FreeBlock(extra);
            return FailSelection(archive);
        }
    }

    char shown[NAME_BUFFER_LENGTH];
    wchar_t wide[NAME_BUFFER_LENGTH];
    bool unicode = DecodeEntryName(h, name, archive->nameCrc, extra, h.extraLength, shown, wide);
    BuildEntryPath(archive, shown);
    if (unicode)
        BuildWideEntryPath(archive, wide);
    else
        archive->hasWidePath = 0;
    h.externalAttributes = MapAttributes(h.versionMadeBy, h.externalAttributes);
    // A name that ends in a separator names a folder, whatever attributes
    // its writer gave it (jar and OpenDocument writers give none).
    uint32_t kept = h.nameLength < NAME_BUFFER_LENGTH - 1 ? h.nameLength : NAME_BUFFER_LENGTH - 1;
    if (kept > 0 && (name[kept - 1] == '/' || name[kept - 1] == '\\'))
        h.externalAttributes |= FILE_ATTRIBUTE_DIRECTORY;
    SetEntryTimes(archive, extra, h.extraLength);
    FreeBlock(extra);
    archive->error = RESULT_OK;
    return RESULT_OK;
}

static bool NamesMatch(const char* wanted, const char* name, uint32_t flags)
{
    // Names are compared as they stand, forward slashes and all.
    return ((flags & 1) ? lstrcmpiA(wanted, name) : lstrcmpA(wanted, name)) == 0;
}

// Whether the current entry's name may read differently from its stored
// bytes: declared UTF-8, made where names are UTF-8 or OEM text, or with a
// block that could hold its Unicode name.
static bool MayHaveOtherName(const CentralHeader& h)
{
    uint8_t host = (uint8_t)(h.versionMadeBy >> 8);
    return (h.flags & ENTRY_FLAG_UTF8_NAME) || host == 0 || host == 3 || host == 6 || host == 11 ||
           host == 14 || host == 19 || h.extraLength > 4;
}

// An entry is found by its stored name or by the name a script sees (before
// it is put under the root).
uint32_t FindEntry(Archive* archive, const char* name, uint32_t flags)
{
    if (!name)
        return RESULT_BAD_ARGUMENTS;
    uint32_t length = 0;
    while (length < NAME_LOOKUP_LIMIT && name[length])
        length++;
    // A lookup ends the current selection whatever its outcome, an over-long
    // name included: otherwise a GETITEM after a failed FINDITEM would extract
    // the entry selected before, and report success.
    CloseEntryStream(archive);
    if (length >= NAME_LOOKUP_LIMIT)
        return RESULT_BAD_ARGUMENTS;

    archive->error = RESULT_OK;
    // Always from the first entry: the first match in directory order wins.
    GoToFirstEntry(archive);
    char entryName[NAME_BUFFER_LENGTH];
    char shown[NAME_BUFFER_LENGTH];
    wchar_t wide[NAME_BUFFER_LENGTH];
    uint8_t room[EXTRA_ROOM_LENGTH];  // most extra fields fit here, so the walk allocates nothing
    while (!archive->error) {
        ReadEntryName(archive, entryName);
        if (archive->error)
            break;
        if (NamesMatch(name, entryName, flags))
            return FinishSelection(archive, entryName);
        if (MayHaveOtherName(archive->header)) {
            uint64_t extraAt = SourceTell(archive);
            uint8_t* extra = ReadExtraField(archive, room, sizeof room);
            // An extra field cut short fails only the selection of its own
            // entry; the walk goes on as it would without it.
            if (archive->error == RESULT_NO_MEMORY)
                break;
            archive->error = RESULT_OK;
            DecodeEntryName(archive->header, entryName, archive->nameCrc, extra, archive->header.extraLength,
                            shown, wide);
            ReleaseExtraField(extra, room);
            if (lstrcmpA(shown, entryName) != 0 && NamesMatch(name, shown, flags)) {
                SourceSeek(archive, extraAt, SEEK_FROM_BASE);
                return FinishSelection(archive, entryName);
            }
        }
        GoToNextEntry(archive);
    }
    return FailSelection(archive);
}

uint32_t SelectEntry(Archive* archive, uint32_t index)
{
    archive->error = RESULT_OK;
    CloseEntryStream(archive);

    // Every header before the last one walked to was read without fault, so
    // a walk from the first entry would reach it the same way: go on from
    // there when the requested position lies at or beyond it.
    if (archive->walkIndex >= 0 && index >= (uint32_t)archive->walkIndex &&
        (uint32_t)archive->walkIndex < archive->entryCount) {
        archive->currentIndex = archive->walkIndex;
        archive->currentHeaderOffset = archive->walkHeaderOffset;
        ReadCentralHeader(archive);
        NoteWalkPosition(archive);
    } else {
        GoToFirstEntry(archive);
    }
    while (!archive->error && (uint32_t)archive->currentIndex < index)
        GoToNextEntry(archive);
    if (archive->error)
        return FailSelection(archive);

    char entryName[NAME_BUFFER_LENGTH];
    ReadEntryName(archive, entryName);
    return FinishSelection(archive, entryName);
}
