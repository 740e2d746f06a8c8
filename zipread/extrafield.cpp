// extrafield.cpp -- finding a block in an entry's extra field, and the ZIP64
// extended information block that widens its sizes and offset.
#include "zipread.h"

const uint16_t EXTRA_ZIP64_ID = 0x0001;
const uint32_t ZIP64_VALUE_LENGTH = 8;
const uint32_t ZIP64_DISK_LENGTH = 4;

static uint64_t GetLittleEndian(const uint8_t* p, uint32_t width)
{
    uint64_t value = 0;
    for (uint32_t i = width; i-- > 0;)
        value = value << 8 | p[i];
    return value;
}

// Blocks are (identifier, data length, data). A block is looked at only when
// its head and at least one data byte lie inside the extra field; the walk
// goes on past it while the next one does too. Nothing is read outside the
// extra field, whatever a block's length claims.
bool FindExtraBlock(const uint8_t* extra, uint32_t extraLength, uint16_t id, const uint8_t** data,
                    uint32_t* length)
{
    if (!extra)
        return false;
    uint32_t at = 0;
    while (extraLength > 4 && at < extraLength - 4) {
        uint16_t blockId = (uint16_t)GetLittleEndian(extra + at, 2);
        uint32_t blockLength = (uint32_t)GetLittleEndian(extra + at + 2, 2);
        if (blockId == id) {
            uint32_t inside = extraLength - at - 4;
            *data = extra + at + 4;
            *length = blockLength < inside ? blockLength : inside;
            return true;
        }
        at += 4 + blockLength;  // at most 65,535 + 4 + 65,535: no wrap
    }
    return false;
}

// The block holds, in this order, a value for each field that holds its
// all-ones value: uncompressed size, compressed size, local header offset
// (8 bytes each), disk number (4 bytes). A value is read only while the block
// still holds all its bytes. An entry without the block keeps its 32-bit
// values: an entry may be exactly 4 GiB less one byte.
uint32_t ApplyZip64Extra(CentralHeader* header, const uint8_t* extra, uint32_t extraLength)
{
    const uint8_t* data;
    uint32_t length;
    if (!FindExtraBlock(extra, extraLength, EXTRA_ZIP64_ID, &data, &length))
        return RESULT_OK;
    uint32_t at = 0;
    uint64_t* wide[3] = {&header->uncompressedSize, &header->compressedSize, &header->localHeaderOffset};
    for (uint64_t* field : wide) {
        if (*field != 0xFFFFFFFFu)
            continue;
        if (length - at < ZIP64_VALUE_LENGTH)
            return RESULT_CORRUPT;
        *field = GetLittleEndian(data + at, ZIP64_VALUE_LENGTH);
        at += ZIP64_VALUE_LENGTH;
    }
    if (header->diskStart == 0xFFFF) {
        if (length - at < ZIP64_DISK_LENGTH)
            return RESULT_CORRUPT;
        header->diskStart = (uint32_t)GetLittleEndian(data + at, ZIP64_DISK_LENGTH);
    }
    return RESULT_OK;
}
