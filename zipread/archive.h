// archive.h -- the record of one open archive, the decoding state of its
// current entry, and the result codes that every reader operation returns.
#pragma once

#include <windows.h>
#include <stdint.h>

// Result codes: 0 is success. The add-on's string table holds a text under
// each code's own number. Codes stay at or below 0xFFFF, so that a function
// handler can tell them from the host's error numbers.
enum : uint32_t {
    RESULT_OK = 0,
    RESULT_CANT_OPEN = 1,        // "Can't create/open file"
    RESULT_NO_MEMORY = 2,        // "Failed to allocate memory"
    RESULT_WRITE_FAILED = 3,     // "Error writing to file"
    RESULT_NOT_FOUND = 4,        // "Entry not found in the zip archive"
    RESULT_MORE_DATA = 5,        // not produced
    RESULT_CORRUPT = 6,          // "Zip archive is corrupt or not a zip archive"
    RESULT_READ_FAILED = 7,      // "Error reading file"
    RESULT_UNSUPPORTED = 8,      // a method or layout this reader cannot decode
    RESULT_BAD_ARGUMENTS = 9,    // "Faulty arguments"
    RESULT_NOT_MAPPED = 10,      // not produced
    RESULT_MEMORY_TOO_SMALL = 11,// "Not enough space allocated for memory zip"
    RESULT_UNSEEKABLE = 16,      // "Trying to seek the unseekable"
    RESULT_FLATE = 18,           // "An internal error during flation"
    RESULT_PASSWORD = 19,        // "Password is incorrect"
    RESULT_SUCCESS_TEXT = 20,    // the text of code 0
    RESULT_UNKNOWN_TEXT = 21,    // the text of any code without one
    RESULT_LAST = 21,
};

// Archive flags.
const uint32_t ARCHIVE_MEMORY = 1;       // the source is a memory block (also a resource)
const uint32_t ARCHIVE_OWNS_HANDLE = 2;  // releasing the record closes `source`
const uint32_t ARCHIVE_GZIP = 4;         // a gzip file read as a one-item archive
const uint32_t ARCHIVE_OWNS_MEMORY = 8;  // the memory block is the record's private copy
const uint32_t ARCHIVE_PRIVATE_HANDLE = 16;  // opened here from a name: no one else moves its file pointer

// Source kinds that OpenArchive receives.
const uint32_t SOURCE_MEMORY = 1;  // a block (reference, size) or, without a block, a resource id
const uint32_t SOURCE_FILE = 2;    // a NUL-terminated file name
const uint32_t SOURCE_HANDLE = 4;  // an open file handle of the caller's

// Extraction targets.
const uint32_t EXTRACT_TO_MEMORY = 1;  // a buffer of at least the uncompressed size
const uint32_t EXTRACT_TO_PATH = 2;    // a writable NUL-terminated path
const uint32_t EXTRACT_TO_HANDLE = 4;  // a caller's handle, never closed here

const uint32_t MAX_PATH_TEXT = 260;    // every path, root included, NUL excluded
// Entry data are read in blocks of up to INPUT_BLOCK_SIZE bytes and written
// in blocks of up to WRITE_BLOCK_SIZE. Measured under Wine on a 200 MB
// entry, 16 KiB blocks cost a fifth of the deflate speed and nearly half of
// the stored copy speed in kernel calls; from 256 KiB up the figures are
// flat, and larger blocks only add memory and fall out of the CPU cache.
const uint32_t INPUT_BLOCK_SIZE = 262144;
const uint32_t WRITE_BLOCK_SIZE = 262144;

// Small reads of a handle source (headers, names, extra fields) are served
// from a cache, so walking a central directory costs one ReadFile per
// READ_CACHE_SIZE bytes instead of a seek and three reads per header. It has
// two slots: extracting entry after entry reads the central directory and
// the entries' local headers by turns, and each keeps a slot of its own.
const uint32_t READ_CACHE_SIZE = 8192;
const uint32_t READ_CACHE_SLOTS = 2;

// The fixed fields of a central file header (bytes 4 to 45), decoded to host
// order. The sizes, the local header offset and the disk are wide enough for
// what a ZIP64 extra field supplies in place of their all-ones values. In gzip
// mode the fields are filled from the gzip header and trailer. After a
// selection `externalAttributes` holds the mapped Windows attributes.
struct CentralHeader {
    uint16_t versionMadeBy;      // high byte: the host system that made the entry
    uint16_t versionNeeded;
    uint16_t flags;              // bit 0 encrypted, bit 3 data descriptor, bit 11 UTF-8 name
    uint16_t method;             // 0 stored, 8 deflated
    uint16_t dosTime;
    uint16_t dosDate;
    uint32_t crc32;
    uint64_t compressedSize;
    uint64_t uncompressedSize;
    uint16_t nameLength;
    uint16_t extraLength;
    uint16_t commentLength;
    uint16_t internalAttributes;
    uint32_t diskStart;
    uint32_t externalAttributes;
    uint64_t localHeaderOffset;  // gzip: where the deflate data start
};

const uint16_t ENTRY_FLAG_ENCRYPTED = 0x0001;
const uint16_t ENTRY_FLAG_DATA_DESCRIPTOR = 0x0008;
const uint16_t ENTRY_FLAG_STRONG_ENCRYPTION = 0x0040;  // PKWARE strong encryption: not read
const uint16_t EXTRA_STRONG_ENCRYPTION_ID = 0x0017;    // its header's extra block
const uint16_t ENTRY_FLAG_UTF8_NAME = 0x0800;
const uint16_t METHOD_STORED = 0;
const uint16_t METHOD_DEFLATED = 8;
const uint16_t METHOD_AES = 99;  // WinZip AES; the real method is in the 0x9901 extra field

// What the WinZip AES extra field (0x9901) of the current entry says; zero
// for an entry of any other method.
struct AesField {
    uint16_t vendorVersion;  // AES_VERSION_AE1 or AES_VERSION_AE2
    uint8_t strength;        // 1, 2, 3: keys of 128, 192, 256 bits
    uint16_t method;         // METHOD_STORED or METHOD_DEFLATED, before encryption
};
const uint16_t AES_VERSION_AE1 = 1;  // the CRC-32 is recorded and checked
const uint16_t AES_VERSION_AE2 = 2;  // no CRC-32: the authentication code alone
const uint32_t AES_VERIFIER_LENGTH = 2;
const uint32_t AES_CODE_LENGTH = 10;

struct AesStream;  // one entry's keys, counter and authentication (winzipaes.cpp)

// How one step of a method's decoder ended. The caller keeps the CRC, the
// counts and the end checks: a decoder only says whether its stream goes on,
// ended exactly where its input now stands, or cannot go on.
enum DecodeStatus : uint32_t {
    DECODE_MORE = 0,       // all input used or the output full: call again
    DECODE_ENDED = 1,      // the stream's own end: input after it is not the stream's
    DECODE_BAD_DATA = 2,   // not a valid stream of the method (18)
    DECODE_NO_MEMORY = 3,  // the decoder's working memory could not be had (2)
};

// One entry's decoder: the method and its own state (none for stored data).
struct MethodDecoder {
    uint16_t method;
    void* state;
};

// Decoding state of the one entry being extracted. It owns its input buffer
// and its method's decoder. Plain stored data need no input buffer: they are
// read straight into the output.
struct EntryStream {
    uint8_t* inputBuffer;       // inputSize bytes, decrypted in place; none when `direct`
    uint32_t inputSize;         // INPUT_BLOCK_SIZE, or less for an entry that needs less
    uint8_t direct;             // stored and not encrypted: source reads go to the output
    const uint8_t* nextIn;      // the input not yet decoded, inside inputBuffer
    uint32_t availIn;
    MethodDecoder decoder;
    uint32_t crc;               // running CRC-32 of the bytes delivered
    uint64_t compressedLeft;    // entry bytes not yet read from the source
    uint64_t uncompressedLeft;  // bytes still to be delivered
    uint64_t delivered;         // bytes delivered so far
    uint32_t keys[3];           // traditional PKWARE decryption keys
    AesStream* aes;             // WinZip AES decryption, or none
    uint8_t sizeModulo32;       // gzip: the recorded size is the true one modulo 2^32
    uint8_t ended;              // the decoder reported its stream's end
    uint8_t finished;           // nothing more will be delivered
};

// One open archive. Its address, as a number, is the handle a script holds.
// A new record is zero in every field.
struct Archive {
    Archive* next;               // next record in the open-archive list
    uint32_t flags;              // ARCHIVE_*
    uint32_t rootLength;         // characters of root directory at the start of `path`
    union {
        HANDLE handle;           // the handle all reads go through
        const uint8_t* memory;   // start of the memory block
    } source;
    uint32_t error;              // first failure of the operation under way
    uint64_t baseOffset;         // file position at open; 0 for memory
    uint32_t memorySize;
    uint64_t memoryPosition;     // may stand past the end: reads there deliver nothing
    uint32_t entryCount;         // entries on this disk; 1 for gzip
    uint32_t commentLength;
    uint64_t bytesBefore;        // bytes before the archive proper (a stub, say)
    int32_t currentIndex;        // current entry, -1 for none
    uint64_t currentHeaderOffset;  // archive offset of the current central header
    uint64_t centralDirOffset;   // archive offset of the first central header; 3 for gzip
    EntryStream* stream;         // decoding state, or none
    char* password;              // NUL-terminated copy, or none
    uint8_t* writeBuffer;        // WRITE_BLOCK_SIZE bytes, allocated on first use
    FILETIME accessTime;
    FILETIME creationTime;
    FILETIME writeTime;
    CentralHeader header;        // the current entry's central header
    char path[MAX_PATH_TEXT + 2];  // root directory, then the entry's normalised name

    // Beyond the format: how a handle source is read.
    uint64_t sourceSize;         // bytes from baseOffset to the end of the source
    uint64_t handlePosition;     // read position of a handle source, from baseOffset
    uint8_t* readCache;          // small reads of a handle source come from here: READ_CACHE_SLOTS slots
    uint64_t cacheStart[READ_CACHE_SLOTS];  // position (from baseOffset) of each slot's first byte
    uint32_t cacheLength[READ_CACHE_SLOTS];  // valid bytes in each slot
    uint8_t cacheLatest;         // the slot read or filled last; the other is filled next
    uint64_t filePointer;        // where the last ReadFile left a private handle (from baseOffset)
    uint8_t filePointerKnown;    // filePointer is true: a read there needs no seek first

    // Where the last walk stood, so that a selection at or beyond it resumes
    // there instead of starting again from the first header.
    int32_t walkIndex;           // -1: no walk to resume
    uint64_t walkHeaderOffset;

    // The current entry's name in its true characters, when the archive
    // declares it in UTF-8 and it is not plain ASCII: the same normalised
    // path as `path`, for creating the file and folders under that name.
    uint8_t hasWidePath;
    wchar_t widePath[MAX_PATH_TEXT + 2];
    uint32_t nameCrc;            // CRC-32 of the current entry's whole stored name

    AesField aes;                // the current entry's AES field, when its method is METHOD_AES

    // The folder (a path up to its last backslash) of the last file that
    // extraction to a path created, as that path named it, in ANSI or wide
    // characters; the other is empty. Its folders need not be made again for
    // the next file in it.
    char madeFolder[MAX_PATH_TEXT + 2];
    wchar_t madeWideFolder[MAX_PATH_TEXT + 2];
};

// The process-wide list of every open archive, newest first.
extern Archive* openArchives;
