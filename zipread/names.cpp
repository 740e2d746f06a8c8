// names.cpp -- the one place where an entry's stored name becomes the text a
// script sees, and where its character set is decided.
//
// The rule, first match wins:
//   1. general purpose flag bit 11 set: the stored name is UTF-8;
//   2. an Info-ZIP Unicode Path block (0x7075, version 1) whose CRC-32 is the
//      stored name's: the block's UTF-8 name replaces the stored one;
//   3. made on Unix or macOS (version-made-by host 3 or 19), the stored name
//      valid UTF-8 and not plain ASCII: UTF-8, as those systems write names;
//   4. made on MS-DOS, OS/2 or Windows (host 0, 6, 11 or 14), not plain
//      ASCII: text in the OEM code page, as the tools of those systems
//      write names (CP_OEMCP: the machine's own, as Windows itself reads
//      such names); bytes that are not text in it fall to rule 5;
//   5. anything else: the stored bytes, as ANSI text, unchanged.
// A Unicode name (rules 1 to 4) reaches ANSI text one character at a time,
// without best fit:
// a character the code page lacks, or one that would come out as an ASCII
// byte (a fullwidth dot or solidus mapped to '.' or '/', say), becomes '_',
// so the conversion never invents a separator, dot, colon or device name.
#include "zipread.h"

#include <string.h>

const uint16_t EXTRA_UNICODE_PATH_ID = 0x7075;  // "up"
const uint8_t UNICODE_PATH_VERSION = 1;
const uint32_t UNICODE_PATH_HEAD = 5;           // version, then the CRC-32 of the stored name

const uint8_t HOST_MSDOS = 0;
const uint8_t HOST_OS2_HPFS = 6;
const uint8_t HOST_UNIX = 3;
const uint8_t HOST_NTFS = 11;
const uint8_t HOST_VFAT = 14;
const uint8_t HOST_MACOS = 19;

const uint32_t NAME_TEXT_LIMIT = 259;  // characters kept, as for stored names
const wchar_t REPLACEMENT_CHARACTER = 0xFFFD;

// Decodes strict UTF-8 into at most 259 UTF-16 units, ending at a NUL. An
// overlong form, a surrogate, a value past U+10FFFF or a stray or missing
// continuation byte is invalid: each such byte becomes U+FFFD, never the
// character it would spell. Gives the units written; `*valid` tells whether
// every byte was part of a well-formed character (a sequence cut by the end
// of a name that was itself cut short counts as well-formed).
static uint32_t DecodeUtf8(const uint8_t* text, uint32_t length, bool nameWasCut, wchar_t* out, bool* valid)
{
    uint32_t n = 0;
    uint32_t at = 0;
    *valid = true;
    while (at < length && text[at] != 0 && n < NAME_TEXT_LIMIT) {
        uint32_t lead = text[at];
        uint32_t needed;
        uint32_t value;
        uint8_t low = 0x80, high = 0xBF;  // bounds of the first continuation byte
        if (lead < 0x80) {
            out[n++] = (wchar_t)lead;
            at++;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            needed = 1;
            value = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            needed = 2;
            value = lead & 0x0F;
            if (lead == 0xE0)
                low = 0xA0;  // no overlong three-byte forms
            if (lead == 0xED)
                high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            needed = 3;
            value = lead & 0x07;
            if (lead == 0xF0)
                low = 0x90;  // no overlong four-byte forms
            if (lead == 0xF4)
                high = 0x8F;  // nothing past U+10FFFF
        } else {
            *valid = false;
            out[n++] = REPLACEMENT_CHARACTER;
            at++;
            continue;
        }
        uint32_t got = 0;
        while (got < needed && at + 1 + got < length) {
            uint8_t c = text[at + 1 + got];
            if (c < (got == 0 ? low : 0x80) || c > (got == 0 ? high : 0xBF))
                break;
            value = value << 6 | (c & 0x3F);
            got++;
        }
        if (got < needed) {
            bool endOfCutName = nameWasCut && at + 1 + got == length;
            if (!endOfCutName)
                *valid = false;
            out[n++] = REPLACEMENT_CHARACTER;
            at++;
            if (endOfCutName)
                break;
            continue;
        }
        at += 1 + needed;
        if (value >= 0x10000) {
            if (n + 2 > NAME_TEXT_LIMIT)
                break;
            value -= 0x10000;
            out[n++] = (wchar_t)(0xD800 + (value >> 10));
            out[n++] = (wchar_t)(0xDC00 + (value & 0x3FF));
        } else {
            out[n++] = (wchar_t)value;
        }
    }
    out[n] = L'\0';
    return n;
}

// Converts `count` UTF-16 units to ANSI text of at most 259 bytes, as the
// header comment says. A character that does not fit whole is left out.
static void WideToAnsi(const wchar_t* wide, uint32_t count, char* ansi)
{
    uint32_t out = 0;
    for (uint32_t i = 0; i < count;) {
        wchar_t c = wide[i];
        if (c < 0x80) {
            if (out + 1 > NAME_TEXT_LIMIT)
                break;
            ansi[out++] = (char)c;
            i++;
            continue;
        }
        int units = (c >= 0xD800 && c <= 0xDBFF && i + 1 < count) ? 2 : 1;
        char bytes[8];
        BOOL usedDefault = FALSE;
        int made = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide + i, units, bytes, sizeof bytes, "_",
                                       &usedDefault);
        bool safe = made > 0 && !usedDefault;
        for (int k = 0; safe && k < made; k++)
            if ((uint8_t)bytes[k] < 0x80)
                safe = false;
        if (!safe) {
            bytes[0] = '_';
            made = 1;
        }
        if (out + (uint32_t)made > NAME_TEXT_LIMIT)
            break;
        for (int k = 0; k < made; k++)
            ansi[out++] = bytes[k];
        i += units;
    }
    ansi[out] = '\0';
}

// Decodes `length` bytes of OEM text into at most 259 UTF-16 units; 0 when
// they are not text in the OEM code page (a double-byte character cut
// short, say). A name cut at 259 bytes loses a double-byte character cut
// in two.
static uint32_t DecodeOem(const uint8_t* text, uint32_t length, bool nameWasCut, wchar_t* out)
{
    const char* bytes = reinterpret_cast<const char*>(text);
    int made = MultiByteToWideChar(CP_OEMCP, MB_ERR_INVALID_CHARS, bytes, (int)length, out, NAME_TEXT_LIMIT);
    if (made <= 0 && nameWasCut && length > 1)
        made = MultiByteToWideChar(CP_OEMCP, MB_ERR_INVALID_CHARS, bytes, (int)length - 1, out, NAME_TEXT_LIMIT);
    if (made <= 0)
        return 0;
    out[made] = L'\0';
    return (uint32_t)made;
}

static bool HasDosNames(uint8_t host)
{
    return host == HOST_MSDOS || host == HOST_OS2_HPFS || host == HOST_NTFS || host == HOST_VFAT;
}

static bool IsPlainAscii(const uint8_t* text, uint32_t length)
{
    for (uint32_t i = 0; i < length; i++)
        if (text[i] >= 0x80)
            return false;
    return true;
}

static bool IsPlainAscii(const wchar_t* text, uint32_t count)
{
    for (uint32_t i = 0; i < count; i++)
        if (text[i] >= 0x80)
            return false;
    return true;
}

// The CRC-32 of the whole stored name: a name read whole is all in `stored`,
// NUL bytes included.
static uint32_t StoredNameCrc(const CentralHeader& header, const char* stored, uint32_t longNameCrc)
{
    if (header.nameLength > NAME_TEXT_LIMIT)
        return longNameCrc;
    return (uint32_t)crc32(0, (const Bytef*)stored, header.nameLength);
}

bool DecodeEntryName(const CentralHeader& header, const char* stored, uint32_t longNameCrc, const uint8_t* extra,
                     uint32_t extraLength, char* ansi, wchar_t* wide)
{
    const uint8_t* storedBytes = (const uint8_t*)stored;
    uint32_t storedLength = (uint32_t)strlen(stored);  // at most 259: as ReadEntryName kept it
    bool storedWasCut = header.nameLength > storedLength;
    const uint8_t* utf8 = nullptr;
    uint32_t utf8Length = 0;
    bool utf8WasCut = false;

    const uint8_t* block;
    uint32_t blockLength;
    if (header.flags & ENTRY_FLAG_UTF8_NAME) {
        utf8 = storedBytes;
        utf8Length = storedLength;
        utf8WasCut = storedWasCut;
    } else if (FindExtraBlock(extra, extraLength, EXTRA_UNICODE_PATH_ID, &block, &blockLength) &&
               blockLength > UNICODE_PATH_HEAD && block[0] == UNICODE_PATH_VERSION &&
               ((uint32_t)block[1] | (uint32_t)block[2] << 8 | (uint32_t)block[3] << 16 |
                (uint32_t)block[4] << 24) == StoredNameCrc(header, stored, longNameCrc)) {
        utf8 = block + UNICODE_PATH_HEAD;
        utf8Length = blockLength - UNICODE_PATH_HEAD;
    } else {
        uint8_t host = (uint8_t)(header.versionMadeBy >> 8);
        if (host == HOST_UNIX || host == HOST_MACOS) {
            bool valid;
            uint32_t count = DecodeUtf8(storedBytes, storedLength, storedWasCut, wide, &valid);
            if (valid && !IsPlainAscii(wide, count)) {
                WideToAnsi(wide, count, ansi);
                return true;
            }
        } else if (HasDosNames(host) && !IsPlainAscii(storedBytes, storedLength)) {
            uint32_t count = DecodeOem(storedBytes, storedLength, storedWasCut, wide);
            if (count > 0) {
                WideToAnsi(wide, count, ansi);
                return true;
            }
        }
    }

    if (utf8) {
        bool valid;
        uint32_t count = DecodeUtf8(utf8, utf8Length, utf8WasCut, wide, &valid);
        WideToAnsi(wide, count, ansi);
        return !IsPlainAscii(wide, count);
    }
    memcpy(ansi, stored, storedLength + 1);
    return false;
}
