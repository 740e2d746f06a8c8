// decode.cpp -- turns the current entry's data, with or without traditional
// PKWARE or WinZip AES encryption, into its plain bytes through its method's
// decoder (methods.cpp), and decides whether they are the entry: its whole
// recorded size, its stream ended exactly there, no compressed byte left
// over, and its CRC-32 or AES authentication code matching.
// The source is read strictly forward from the entry's data start, in blocks
// of at most INPUT_BLOCK_SIZE bytes; output goes straight into the caller's
// buffer, and the CRC-32 is kept over it as it is delivered. Plain stored
// data skip the input buffer: the source is read into the output itself.
#include "zipread.h"

#include <string.h>

// ZIP local file header: 30 fixed bytes, then the name and the extra field.
// The data start after the local header's own name and extra field, as every
// reader finds them: a writer may name an entry differently in its local and
// central headers.
const uint32_t LOCAL_HEADER_SIZE = 30;
const uint32_t LOCAL_NAME_LENGTH_OFFSET = 26;

// Traditional PKWARE encryption: 12 header bytes precede the data; the last
// one must decrypt to the check byte.
const uint32_t ENCRYPTION_HEADER_SIZE = 12;
const uint32_t PKWARE_KEY0 = 0x12345678;
const uint32_t PKWARE_KEY1 = 0x23456789;
const uint32_t PKWARE_KEY2 = 0x34567890;

static inline void UpdateKeys(uint32_t keys[3], const z_crc_t* table, uint8_t c)
{
    keys[0] = table[(keys[0] ^ c) & 0xFF] ^ (keys[0] >> 8);
    keys[1] = (keys[1] + (keys[0] & 0xFF)) * 134775813u + 1;
    keys[2] = table[(keys[2] ^ (keys[1] >> 24)) & 0xFF] ^ (keys[2] >> 8);
}

// Decrypts in place. The key stream byte is taken before the keys move on
// with the plain byte; the keys run on from one block to the next.
static void DecryptBlock(uint32_t keys[3], uint8_t* data, uint32_t count)
{
    const z_crc_t* table = get_crc_table();
    for (uint32_t i = 0; i < count; i++) {
        uint32_t t = (keys[2] & 0xFFFF) | 2;
        uint8_t plain = data[i] ^ (uint8_t)((t * (t ^ 1)) >> 8);
        data[i] = plain;
        UpdateKeys(keys, table, plain);
    }
}

// The method the data was compressed with: for AES, the one inside.
static uint16_t DataMethod(const Archive* archive)
{
    return archive->header.method == METHOD_AES ? archive->aes.method : archive->header.method;
}

static bool HasPkwareEncryption(const Archive* archive)
{
    return !(archive->flags & ARCHIVE_GZIP) && (archive->header.flags & ENTRY_FLAG_ENCRYPTED) &&
           archive->header.method != METHOD_AES;
}

static void FreeStream(EntryStream* stream)
{
    EndDecoder(&stream->decoder);
    AesClose(stream->aes);
    FreeBlock(stream->inputBuffer);
    FreeBlock(stream);
}

// Positions the source at the entry's first data byte: after the local
// header's fixed part, its name and its extra field. Positions are 64-bit;
// an offset past the end of the source cannot be the entry's, and is refused
// before any sum could wrap.
static bool SeekToEntryData(Archive* archive)
{
    const CentralHeader& header = archive->header;
    if (archive->flags & ARCHIVE_GZIP)
        return SourceSeek(archive, header.localHeaderOffset, SEEK_FROM_BASE) == 0;

    uint64_t size = archive->sourceSize;
    if (archive->bytesBefore > size || header.localHeaderOffset > size - archive->bytesBefore)
        return false;
    uint64_t local = archive->bytesBefore + header.localHeaderOffset;
    if (SourceSeek(archive, local + LOCAL_NAME_LENGTH_OFFSET, SEEK_FROM_BASE) != 0)
        return false;
    uint8_t lengths[4];
    if (SourceRead(archive, lengths, 4) != 4)
        return false;
    uint32_t localName = lengths[0] | (lengths[1] << 8);
    uint32_t localExtra = lengths[2] | (lengths[3] << 8);

    uint64_t data = local + LOCAL_HEADER_SIZE + localName + localExtra;
    return SourceSeek(archive, data, SEEK_FROM_BASE) == 0;
}

// An AES entry's data opens with the salt and the password verifier and
// ends with the authentication code; what lies between is the encrypted
// data. The keys are made and the password checked here, before a byte of
// the entry is delivered. An entry too short for salt, verifier and code
// cannot be authenticated and is never taken for the entry.
static bool StartAes(Archive* archive, EntryStream* stream)
{
    uint32_t saltLength = AesSaltLength(archive->aes.strength);
    uint32_t overhead = saltLength + AES_VERIFIER_LENGTH + AES_CODE_LENGTH;
    if (archive->header.compressedSize < overhead) {
        archive->error = RESULT_FLATE;
        return false;
    }
    uint8_t head[16 + AES_VERIFIER_LENGTH];
    uint32_t headLength = saltLength + AES_VERIFIER_LENGTH;
    if (SourceRead(archive, head, headLength) != headLength) {
        if (archive->error == 0)
            archive->error = RESULT_READ_FAILED;
        return false;
    }
    archive->error = AesOpen(&stream->aes, archive->aes.strength, archive->password, head, head + saltLength);
    if (archive->error != 0)
        return false;
    stream->compressedLeft = archive->header.compressedSize - overhead;
    return true;
}

// Traditional encryption: the 12 header bytes are decrypted here and the
// last of them compared with the check byte, before a byte of the entry is
// delivered. An entry written with a data descriptor had no CRC yet when its
// header was made, so its check byte comes from the DOS time. Data too short
// to hold the header cannot be the entry's.
static bool StartPkware(Archive* archive, EntryStream* stream)
{
    const CentralHeader& header = archive->header;
    stream->keys[0] = PKWARE_KEY0;
    stream->keys[1] = PKWARE_KEY1;
    stream->keys[2] = PKWARE_KEY2;
    const z_crc_t* table = get_crc_table();
    for (const char* p = archive->password; p && *p; p++)
        UpdateKeys(stream->keys, table, (uint8_t)*p);

    if (header.compressedSize < ENCRYPTION_HEADER_SIZE) {
        archive->error = RESULT_FLATE;
        return false;
    }
    uint8_t head[ENCRYPTION_HEADER_SIZE];
    if (SourceRead(archive, head, sizeof head) != sizeof head) {
        if (archive->error == 0)
            archive->error = RESULT_READ_FAILED;
        return false;
    }
    DecryptBlock(stream->keys, head, sizeof head);
    uint8_t checkByte = (header.flags & ENTRY_FLAG_DATA_DESCRIPTOR) ? (uint8_t)(header.dosTime >> 8)
                                                                     : (uint8_t)(header.crc32 >> 24);
    if (head[ENCRYPTION_HEADER_SIZE - 1] != checkByte) {
        archive->error = RESULT_PASSWORD;
        return false;
    }
    stream->compressedLeft -= ENCRYPTION_HEADER_SIZE;
    return true;
}

// An entry without data at all, both sizes 0, is an empty file whatever its
// method or flags say: some writers store empty files as deflated with no
// deflate data, and there is nothing to decrypt or check.
static bool HasNoData(const CentralHeader& header)
{
    return header.compressedSize == 0 && header.uncompressedSize == 0 && header.method != METHOD_AES;
}

void OpenEntryStream(Archive* archive, bool wrapSize)
{
    const CentralHeader& header = archive->header;
    EntryStream* stream = (EntryStream*)AllocateBlock(sizeof(EntryStream));
    if (!stream) {
        archive->error = RESULT_NO_MEMORY;
        return;
    }
    stream->compressedLeft = header.compressedSize;
    stream->uncompressedLeft = header.uncompressedSize;
    if (HasNoData(header)) {
        stream->direct = 1;
        archive->stream = stream;
        return;
    }
    // An entry smaller than a block gets a buffer of its own size: a script
    // that extracts thousands of small entries does not pay for a large
    // block each time.
    stream->direct = header.method == METHOD_STORED && !HasPkwareEncryption(archive);
    if (!stream->direct) {
        stream->inputSize = header.compressedSize < INPUT_BLOCK_SIZE ? (uint32_t)header.compressedSize
                                                                     : INPUT_BLOCK_SIZE;
        stream->inputBuffer = (uint8_t*)AllocateBlock(stream->inputSize);
        if (!stream->inputBuffer) {
            FreeStream(stream);
            archive->error = RESULT_NO_MEMORY;
            return;
        }
    }
    archive->error = StartDecoder(&stream->decoder, DataMethod(archive), header.uncompressedSize, header.flags);
    if (archive->error != 0) {
        FreeStream(stream);
        return;
    }
    if (wrapSize && (archive->flags & ARCHIVE_GZIP)) {
        stream->sizeModulo32 = 1;
        stream->uncompressedLeft = UINT64_MAX;
    }

    if (!SeekToEntryData(archive)) {
        FreeStream(stream);
        archive->error = RESULT_READ_FAILED;
        return;
    }
    if ((header.method == METHOD_AES && !StartAes(archive, stream)) ||
        (HasPkwareEncryption(archive) && !StartPkware(archive, stream))) {
        FreeStream(stream);
        return;
    }
    archive->stream = stream;
}

// Reads up to `want` bytes of entry data (never past the compressed size)
// into `buffer`. A source that delivers them in pieces is read until they
// are whole or nothing more comes; a source that has nothing at all is a
// read failure, and 0 is returned.
static uint32_t ReadEntryBytes(Archive* archive, EntryStream* stream, uint8_t* buffer, uint32_t want)
{
    if (want > stream->compressedLeft)
        want = (uint32_t)stream->compressedLeft;
    uint32_t got = 0;
    while (got < want && archive->error == 0) {
        uint32_t n = SourceRead(archive, buffer + got, want - got);
        if (n == 0)
            break;
        got += n;
    }
    if (got == 0 || archive->error != 0) {
        if (archive->error == 0)
            archive->error = RESULT_READ_FAILED;
        return 0;
    }
    stream->compressedLeft -= got;
    return got;
}

// Reads the next block of entry data into the input buffer and decrypts it.
static bool FillInput(Archive* archive, EntryStream* stream)
{
    uint32_t got = ReadEntryBytes(archive, stream, stream->inputBuffer, stream->inputSize);
    if (got == 0)
        return false;
    stream->nextIn = stream->inputBuffer;
    stream->availIn = got;
    if (stream->aes) {
        if (!AesDecrypt(stream->aes, stream->inputBuffer, got)) {
            archive->error = RESULT_FLATE;
            return false;
        }
    } else if (HasPkwareEncryption(archive)) {
        DecryptBlock(stream->keys, stream->inputBuffer, got);
    }
    return true;
}

// Counts `count` bytes just written at `at` as delivered.
static void Deliver(EntryStream* stream, const uint8_t* at, uint32_t count, uint32_t* delivered)
{
    stream->crc = crc32(stream->crc, at, count);
    *delivered += count;
    stream->delivered += count;
    stream->uncompressedLeft -= count;
}

// Records `code` unless a failure is recorded already; gives 0 to return.
static uint32_t Fail(Archive* archive, uint32_t code)
{
    if (archive->error == 0)
        archive->error = code;
    return 0;
}

static uint32_t DecodeFailure(DecodeStatus status)
{
    return status == DECODE_NO_MEMORY ? RESULT_NO_MEMORY : RESULT_FLATE;
}

// The recorded size has been delivered: the entry's stream must end right
// here, with every compressed byte used. The decoder runs on with room for
// one byte more; producing it means the data go on past the recorded size.
static bool StreamEndsHere(Archive* archive, EntryStream* stream)
{
    if (stream->direct)
        return stream->compressedLeft == 0;
    if (stream->ended)
        return stream->availIn == 0 && stream->compressedLeft == 0;
    for (;;) {
        if (stream->availIn == 0 && stream->compressedLeft != 0 && !FillInput(archive, stream))
            return false;
        uint8_t spare;
        uint8_t* out = &spare;
        uint32_t room = 1;
        uint32_t inBefore = stream->availIn;
        DecodeStatus status = RunDecoder(&stream->decoder, &stream->nextIn, &stream->availIn, &out, &room,
                                         stream->compressedLeft == 0);
        if (status == DECODE_ENDED && room == 1)
            return stream->availIn == 0 && stream->compressedLeft == 0;
        if (status != DECODE_MORE) {
            Fail(archive, DecodeFailure(status));
            return false;
        }
        if (room == 0)
            return false;  // a byte past the recorded size
        if (stream->availIn == inBefore && (stream->availIn != 0 || stream->compressedLeft == 0))
            return false;  // the input ended (or stalled) before the stream did
    }
}

// The recorded size has been delivered in full: the data is the entry's only
// if its stream ended exactly there, its CRC-32 is the recorded one and, for
// an AES entry, its authentication code matches (AE-2 records no CRC-32 and
// rests on the code alone).
static uint32_t CompleteEntry(Archive* archive, EntryStream* stream, uint32_t delivered)
{
    stream->finished = 1;
    if (!StreamEndsHere(archive, stream))
        return Fail(archive, RESULT_FLATE);
    if (stream->aes) {
        uint8_t code[AES_CODE_LENGTH];
        if (SourceRead(archive, code, sizeof code) != sizeof code || !AesCodeMatches(stream->aes, code))
            return Fail(archive, RESULT_FLATE);
    }
    bool crcRecorded = !(stream->aes && archive->aes.vendorVersion == AES_VERSION_AE2);
    if (crcRecorded && stream->crc != archive->header.crc32)
        return Fail(archive, RESULT_FLATE);
    return delivered;
}

// The stream has ended. For a gzip member read to its end, the size is now
// known, and the trailer's holds it modulo 2^32.
static bool EndedAtRecordedSize(Archive* archive, EntryStream* stream)
{
    if (!stream->sizeModulo32)
        return stream->uncompressedLeft == 0;
    if ((uint32_t)stream->delivered != (uint32_t)archive->header.uncompressedSize)
        return false;
    stream->uncompressedLeft = 0;
    return true;
}

uint32_t ReadEntryData(Archive* archive, void* buffer, uint32_t length)
{
    EntryStream* stream = archive->stream;
    if (!stream || archive->error != 0 || stream->finished)
        return 0;
    uint8_t* out = (uint8_t*)buffer;
    uint32_t room = length < stream->uncompressedLeft ? length : (uint32_t)stream->uncompressedLeft;
    uint32_t delivered = 0;

    for (;;) {
        if (stream->uncompressedLeft == 0)
            return CompleteEntry(archive, stream, delivered);
        if (room == 0)
            return delivered;
        if (stream->direct) {
            // Input used up with output still owed: the compressed size is
            // smaller than the uncompressed one. Hand back what there is;
            // the caller sees the bytes still owed.
            if (stream->compressedLeft == 0) {
                stream->finished = 1;
                return delivered;
            }
            uint32_t want = room < INPUT_BLOCK_SIZE ? room : INPUT_BLOCK_SIZE;
            uint32_t got = ReadEntryBytes(archive, stream, out, want);
            if (got == 0)
                return 0;
            Deliver(stream, out, got, &delivered);
            out += got;
            room -= got;
            continue;
        }
        if (stream->availIn == 0 && stream->compressedLeft != 0 && !FillInput(archive, stream))
            return 0;

        uint8_t* at = out;
        uint32_t inBefore = stream->availIn;
        DecodeStatus status = RunDecoder(&stream->decoder, &stream->nextIn, &stream->availIn, &out, &room,
                                         stream->compressedLeft == 0);
        uint32_t produced = (uint32_t)(out - at);
        Deliver(stream, at, produced, &delivered);
        if (status == DECODE_ENDED) {
            stream->ended = 1;
            if (stream->sizeModulo32 && !EndedAtRecordedSize(archive, stream))
                return Fail(archive, RESULT_FLATE);
            if (stream->uncompressedLeft == 0)
                continue;  // whole: the checks follow
            // The stream ended before the recorded size: the caller sees
            // the bytes still owed.
            stream->finished = 1;
            return delivered;
        }
        if (status != DECODE_MORE)
            return Fail(archive, DecodeFailure(status));
        if (produced == 0 && stream->availIn == inBefore) {
            // No input left, and the stream has not ended: it stops short,
            // and the caller sees the bytes still owed. With input and room
            // at hand, a decoder that takes nothing cannot go on.
            if (inBefore != 0)
                return Fail(archive, RESULT_FLATE);
            stream->finished = 1;
            return delivered;
        }
    }
}
