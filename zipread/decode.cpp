// decode.cpp -- turns the current entry's stored or deflated data, with or
// without traditional PKWARE or WinZip AES encryption, into its plain bytes.
// The source is read strictly forward from the entry's data start, in blocks
// of at most INPUT_BLOCK_SIZE bytes; output goes straight into the caller's
// buffer, and the CRC-32 is kept over it as it is delivered. Plain stored
// data skip the input buffer: the source is read into the output itself.
#include "zipread.h"

#include <string.h>

// ZIP local file header: 30 fixed bytes, then the name and the extra field.
// Only the extra field's length is taken from it; the name's length is the
// central header's.
const uint32_t LOCAL_HEADER_SIZE = 30;
const uint32_t LOCAL_EXTRA_LENGTH_OFFSET = 28;

// Traditional PKWARE encryption: 12 header bytes precede the data; the last
// one must decrypt to the check byte.
const uint32_t ENCRYPTION_HEADER_SIZE = 12;
const uint32_t PKWARE_KEY0 = 0x12345678;
const uint32_t PKWARE_KEY1 = 0x23456789;
const uint32_t PKWARE_KEY2 = 0x34567890;

// Raw deflate data (no zlib or gzip wrapper) with a 32 KiB window.
const int RAW_DEFLATE_WINDOW_BITS = -15;

// zlib's state comes from the same heap as every other block, so the
// fault-injection build can fail it too.
static voidpf InflateAlloc(voidpf, uInt items, uInt size)
{
    if (size != 0 && items > 0xFFFFFFFFu / size)
        return Z_NULL;
    return AllocateBlock(items * size);
}

static void InflateFree(voidpf, voidpf block)
{
    FreeBlock(block);
}

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
    if (stream->inflating)
        inflateEnd(&stream->zstream);
    AesClose(stream->aes);
    FreeBlock(stream->inputBuffer);
    FreeBlock(stream);
}

// Positions the source at the entry's first data byte: after the local
// header's fixed part, the central name length and the local extra length.
// Positions are 64-bit; an offset past the end of the source cannot be the
// entry's, and is refused before any sum could wrap.
static bool SeekToEntryData(Archive* archive)
{
    const CentralHeader& header = archive->header;
    if (archive->flags & ARCHIVE_GZIP)
        return SourceSeek(archive, header.localHeaderOffset, SEEK_FROM_BASE) == 0;

    uint64_t size = archive->sourceSize;
    if (archive->bytesBefore > size || header.localHeaderOffset > size - archive->bytesBefore)
        return false;
    uint64_t local = archive->bytesBefore + header.localHeaderOffset;
    if (SourceSeek(archive, local + LOCAL_EXTRA_LENGTH_OFFSET, SEEK_FROM_BASE) != 0)
        return false;
    uint8_t length[2];
    if (SourceRead(archive, length, 2) != 2)
        return false;
    uint32_t localExtra = length[0] | (length[1] << 8);

    uint64_t data = local + LOCAL_HEADER_SIZE + header.nameLength + localExtra;
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

void OpenEntryStream(Archive* archive)
{
    const CentralHeader& header = archive->header;
    EntryStream* stream = (EntryStream*)AllocateBlock(sizeof(EntryStream));
    if (!stream) {
        archive->error = RESULT_NO_MEMORY;
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
    if (DataMethod(archive) != METHOD_STORED) {
        stream->zstream.zalloc = InflateAlloc;
        stream->zstream.zfree = InflateFree;
        if (inflateInit2(&stream->zstream, RAW_DEFLATE_WINDOW_BITS) != Z_OK) {
            FreeStream(stream);
            archive->error = RESULT_NO_MEMORY;
            return;
        }
        stream->inflating = 1;
    }
    stream->compressedLeft = header.compressedSize;
    stream->uncompressedLeft = header.uncompressedSize;

    // An entry written with a data descriptor had no CRC yet when its
    // encryption header was made, so its check byte comes from the DOS time.
    if (header.flags & ENTRY_FLAG_DATA_DESCRIPTOR)
        stream->checkByte = (uint8_t)(header.dosTime >> 8);
    else
        stream->checkByte = (uint8_t)(header.crc32 >> 24);

    if (HasPkwareEncryption(archive)) {
        stream->headerLeft = ENCRYPTION_HEADER_SIZE;
        stream->keys[0] = PKWARE_KEY0;
        stream->keys[1] = PKWARE_KEY1;
        stream->keys[2] = PKWARE_KEY2;
        const z_crc_t* table = get_crc_table();
        for (const char* p = archive->password; p && *p; p++)
            UpdateKeys(stream->keys, table, (uint8_t)*p);
    }

    if (!SeekToEntryData(archive)) {
        FreeStream(stream);
        archive->error = RESULT_READ_FAILED;
        return;
    }
    if (header.method == METHOD_AES && !StartAes(archive, stream)) {
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
    stream->zstream.next_in = stream->inputBuffer;
    stream->zstream.avail_in = got;
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

// Delivers `count` bytes that now stand at the output cursor.
static void Deliver(EntryStream* stream, uint32_t count, uint32_t* delivered)
{
    z_stream& z = stream->zstream;
    stream->crc = crc32(stream->crc, z.next_out, count);
    z.next_out += count;
    z.avail_out -= count;
    z.total_out += count;
    *delivered += count;
    stream->uncompressedLeft -= count;
}

// The authentication code covers every encrypted byte, also those past the
// recorded size that were never decoded: they are read for it here, then
// the code that follows them is compared.
static bool Authenticated(Archive* archive, EntryStream* stream)
{
    while (stream->compressedLeft != 0) {
        uint32_t want = stream->compressedLeft < stream->inputSize ? (uint32_t)stream->compressedLeft
                                                                   : stream->inputSize;
        uint32_t got = SourceRead(archive, stream->inputBuffer, want);
        if (got == 0 || !AesAuthenticate(stream->aes, stream->inputBuffer, got))
            return false;
        stream->compressedLeft -= got;
    }
    stream->zstream.avail_in = 0;
    uint8_t code[AES_CODE_LENGTH];
    return SourceRead(archive, code, sizeof code) == sizeof code && AesCodeMatches(stream->aes, code);
}

// The recorded size has been delivered in full: the data is the entry's only
// if its CRC-32 is the recorded one and, for an AES entry, its authentication
// code matches (AE-2 records no CRC-32 and rests on the code alone).
static uint32_t CompleteEntry(Archive* archive, EntryStream* stream, uint32_t delivered)
{
    stream->finished = 1;
    if (stream->aes && !Authenticated(archive, stream)) {
        if (archive->error == 0)
            archive->error = RESULT_FLATE;
        return 0;
    }
    bool crcRecorded = !(stream->aes && archive->aes.vendorVersion == AES_VERSION_AE2);
    if (crcRecorded && stream->crc != archive->header.crc32) {
        archive->error = RESULT_FLATE;
        return 0;
    }
    return delivered;
}

uint32_t ReadEntryData(Archive* archive, void* buffer, uint32_t length)
{
    EntryStream* stream = archive->stream;
    if (!stream || archive->error != 0 || stream->finished)
        return 0;
    z_stream& z = stream->zstream;
    z.next_out = (Bytef*)buffer;
    z.avail_out = length < stream->uncompressedLeft ? length : (uInt)stream->uncompressedLeft;
    uint32_t delivered = 0;

    for (;;) {
        if (stream->uncompressedLeft == 0)
            return CompleteEntry(archive, stream, delivered);
        if (z.avail_out == 0)
            return delivered;
        if (stream->direct) {
            // Input used up with output still owed: as for stored data below.
            if (stream->compressedLeft == 0) {
                stream->finished = 1;
                return delivered;
            }
            uint32_t got = ReadEntryBytes(archive, stream, z.next_out, z.avail_out);
            if (got == 0)
                return 0;
            Deliver(stream, got, &delivered);
            continue;
        }
        if (z.avail_in == 0 && stream->compressedLeft != 0 && !FillInput(archive, stream))
            return 0;

        if (stream->headerLeft != 0 && z.avail_in != 0) {
            uint32_t h = stream->headerLeft < z.avail_in ? stream->headerLeft : z.avail_in;
            uint8_t last = z.next_in[h - 1];
            z.next_in += h;
            z.avail_in -= h;
            stream->headerLeft -= h;
            if (stream->headerLeft == 0 && last != stream->checkByte) {
                archive->error = RESULT_PASSWORD;
                return 0;
            }
            continue;
        }

        if (DataMethod(archive) == METHOD_STORED) {
            // Input used up with output still owed: the compressed size is
            // smaller than the uncompressed one. Hand back what there is;
            // the caller sees the bytes still owed.
            if (z.avail_in == 0) {
                stream->finished = 1;
                return delivered;
            }
            uint32_t k = z.avail_out < z.avail_in ? z.avail_out : z.avail_in;
            memcpy(z.next_out, z.next_in, k);
            z.next_in += k;
            z.avail_in -= k;
            Deliver(stream, k, &delivered);
            continue;
        }

        Bytef* out = z.next_out;
        uLong before = z.total_out;
        int result = inflate(&z, Z_SYNC_FLUSH);
        uint32_t produced = (uint32_t)(z.total_out - before);
        stream->crc = crc32(stream->crc, out, produced);
        stream->uncompressedLeft -= produced;
        delivered += produced;
        if (result == Z_STREAM_END) {
            if (stream->uncompressedLeft == 0)
                return CompleteEntry(archive, stream, delivered);
            stream->finished = 1;
            return delivered;
        }
        if (result == Z_BUF_ERROR && z.avail_in == 0 && stream->compressedLeft == 0) {
            // The compressed data ran out before the deflate data ended.
            stream->finished = 1;
            return delivered;
        }
        if (result != Z_OK) {
            archive->error = RESULT_FLATE;
            return 0;
        }
    }
}
