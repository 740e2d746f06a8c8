// inflate64.cpp -- the Deflate64 decoder: Deflate blocks (stored, fixed and
// dynamic Huffman codes) over a 64 KiB window, with the two changes Deflate64
// makes to the codes' meaning: length symbol 285 is a base of 3 with 16 extra
// bits, and distance symbols 30 and 31 reach back up to 65,536 bytes.
//
// Output is written straight into the caller's buffer. A match reaches back
// into this call's output, and past its start into the window, which holds
// the last 64 KiB of the output of earlier calls; the window is brought up to
// date once, when a call returns. Input is read through a 64-bit bit buffer.
// While at least FAST_INPUT_MARGIN input bytes and FAST_OUTPUT_MARGIN output
// bytes are left, a fast loop decodes whole symbols with no further checks
// for either; the rest goes step by step through a state machine that can
// stop after any bit and go on in the next call.
//
// Huffman codes are decoded through tables indexed by the next bits of the
// stream: a root table of LITERAL_ROOT_BITS (or DISTANCE_ROOT_BITS) bits whose
// entries either are the symbol or link to a second-level table for codes
// longer than the root.
#include "inflate64.h"

#include <string.h>

// The add-on's heap blocks (zipread/system.cpp): zeroed, null on failure.
void* AllocateBlock(uint32_t size);
void FreeBlock(void* block);

namespace {

const uint32_t WINDOW_SIZE = 65536;
const uint32_t WINDOW_MASK = WINDOW_SIZE - 1;

const uint32_t MAX_CODE_BITS = 15;
const uint32_t LITERAL_SYMBOLS = 288;       // of which 286 and 287 are never valid
const uint32_t MAX_LITERAL_CODES = 286;     // HLIT allows more; more is refused
const uint32_t DISTANCE_SYMBOLS = 32;       // 30 and 31 are Deflate64's
const uint32_t CODE_LENGTH_SYMBOLS = 19;
const uint32_t END_OF_BLOCK = 256;
const uint32_t FIRST_LENGTH_SYMBOL = 257;

// Table sizes. A second-level table for codes of up to k bits past the root
// serves at least k + 1 codes, since only a complete code gets second-level
// tables: with 286 literal/length codes and a root of 10 bits the second
// level holds at most 47 tables of 32 entries and one of 8; with 32 distance
// codes and a root of 8 bits, at most 4 tables of 128. The code length code
// (lengths up to 7) fits its root.
const uint32_t LITERAL_ROOT_BITS = 10;
const uint32_t DISTANCE_ROOT_BITS = 8;
const uint32_t CODE_LENGTH_ROOT_BITS = 7;
const uint32_t LITERAL_TABLE_SIZE = (1 << LITERAL_ROOT_BITS) + 47 * 32 + 8;
const uint32_t DISTANCE_TABLE_SIZE = (1 << DISTANCE_ROOT_BITS) + 4 * 128;
const uint32_t CODE_LENGTH_TABLE_SIZE = 1 << CODE_LENGTH_ROOT_BITS;

// Length symbols 257 to 285 and distance symbols 0 to 31: base and extra
// bits. Deflate64 differs from Deflate in the last length symbol (Deflate:
// 258 with no extra bits) and in having distance symbols 30 and 31.
const uint16_t LENGTH_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 3};
const uint8_t LENGTH_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 16};
const uint16_t DISTANCE_BASE[32] = {1,    2,    3,    4,    5,     7,     9,     13,    17,    25,   33,
                                    49,   65,   97,   129,  193,   257,   385,   513,   769,   1025, 1537,
                                    2049, 3073, 4097, 6145, 8193,  12289, 16385, 24577, 32769, 49153};
const uint8_t DISTANCE_EXTRA[32] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,  6,
                                    7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};

// The order in which a dynamic block gives the code length code's lengths.
const uint8_t CODE_LENGTH_ORDER[CODE_LENGTH_SYMBOLS] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                        11, 4,  12, 3, 13, 2, 14, 1, 15};

// A table entry: bits 0-7 the code's length in bits, bits 8-15 what it is,
// bits 16-31 its value.
//   OP_LITERAL          a literal byte (or a code length symbol); value is it
//   OP_BASE | extra     a length or distance: value is the base, then `extra` bits
//   OP_END              end of block
//   OP_INVALID          a code no valid stream uses
//   OP_LINK | bits      a second-level table of `bits` index bits at `value`;
//                       the entry's length is the root's
const uint32_t OP_LITERAL = 0x00;
const uint32_t OP_BASE = 0x20;
const uint32_t OP_END = 0x40;
const uint32_t OP_INVALID = 0x41;
const uint32_t OP_LINK = 0x80;
const uint32_t EXTRA_MASK = 0x1F;
const uint32_t LINK_MASK = 0x0F;

inline uint32_t MakeEntry(uint32_t op, uint32_t value, uint32_t length)
{
    return value << 16 | op << 8 | length;
}
inline uint32_t EntryLength(uint32_t entry) { return entry & 0xFF; }
inline uint32_t EntryOp(uint32_t entry) { return (entry >> 8) & 0xFF; }
inline uint32_t EntryValue(uint32_t entry) { return entry >> 16; }

enum TableKind { CODE_LENGTH_TABLE, LITERAL_TABLE, DISTANCE_TABLE };

// Where the decoder stands between two calls.
enum Mode {
    MODE_HEADER,          // the 3 header bits of a block
    MODE_STORED_LENGTHS,  // LEN and NLEN of a stored block
    MODE_STORED_COPY,     // `length` stored bytes to copy
    MODE_TABLE_COUNTS,    // HLIT, HDIST, HCLEN
    MODE_CODE_LENGTH_LENGTHS,
    MODE_CODE_LENGTHS,
    MODE_LITERAL_LENGTH,  // the next literal/length symbol
    MODE_LITERAL,         // `literal` waits for room in the output
    MODE_LENGTH_EXTRA,
    MODE_DISTANCE,
    MODE_DISTANCE_EXTRA,
    MODE_MATCH,           // `length` bytes from `distance` back to copy
    MODE_ENDED,
    MODE_BAD,
};

// The fast loop runs while one more round cannot run past either end. A
// round reads the input 8 bytes at a time at two places at most 7 bytes
// apart; it writes two literals, or a match of at most 258 bytes plus the
// up to 7 bytes a copy in 8-byte steps writes past its end (longer matches
// are checked one by one).
const uint32_t FAST_INPUT_MARGIN = 16;
const uint32_t COPY_SLACK = 8;
const uint32_t FAST_OUTPUT_MARGIN = 258 + COPY_SLACK;

}  // namespace

struct Inflate64 {
    int mode;
    bool last;            // the block being decoded is the final one
    bool fixedTables;     // the literal and distance tables hold the fixed codes
    uint64_t hold;        // bits read but not used, the next one lowest
    uint32_t bits;        // how many bits `hold` holds
    uint32_t length;      // stored bytes, or match bytes, still to come
    uint32_t distance;
    uint32_t extra;       // extra bits of the length or distance being read
    uint32_t literal;
    uint32_t literalCodes, distanceCodes, codeLengthCodes, have;  // dynamic block header
    uint32_t windowHave;  // valid bytes in the window, up to WINDOW_SIZE
    uint32_t windowNext;  // where the next byte goes; the oldest once it is full
    uint16_t lengths[LITERAL_SYMBOLS + DISTANCE_SYMBOLS];
    uint32_t literalTable[LITERAL_TABLE_SIZE];
    uint32_t distanceTable[DISTANCE_TABLE_SIZE];
    uint32_t codeLengthTable[CODE_LENGTH_TABLE_SIZE];
    uint8_t window[WINDOW_SIZE];
};

namespace {

// The decoder's view of one call: input and output as pointers, and the bit
// buffer in locals.
struct Cursor {
    const uint8_t* next;
    const uint8_t* inStart;
    const uint8_t* inEnd;
    uint8_t* put;
    uint8_t* outStart;
    uint8_t* outEnd;
    uint64_t hold;
    uint32_t bits;
};

inline uint64_t Load64(const uint8_t* p)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
#else
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
#endif
}

// The table entry for a symbol of a given kind, without its length.
uint32_t SymbolEntry(TableKind kind, uint32_t symbol)
{
    if (kind == CODE_LENGTH_TABLE)
        return MakeEntry(OP_LITERAL, symbol, 0);
    if (kind == DISTANCE_TABLE)
        return MakeEntry(OP_BASE | DISTANCE_EXTRA[symbol], DISTANCE_BASE[symbol], 0);
    if (symbol < END_OF_BLOCK)
        return MakeEntry(OP_LITERAL, symbol, 0);
    if (symbol == END_OF_BLOCK)
        return MakeEntry(OP_END, 0, 0);
    if (symbol < FIRST_LENGTH_SYMBOL + 29) {
        uint32_t i = symbol - FIRST_LENGTH_SYMBOL;
        return MakeEntry(OP_BASE | LENGTH_EXTRA[i], LENGTH_BASE[i], 0);
    }
    return MakeEntry(OP_INVALID, 0, 0);
}

inline uint32_t Reverse(uint32_t code, uint32_t length)
{
    uint32_t reversed = 0;
    for (uint32_t i = 0; i < length; i++, code >>= 1)
        reversed = reversed << 1 | (code & 1);
    return reversed;
}

// Builds the decoding table of the canonical code with these lengths (the
// code of RFC 1951, 3.2.2). Refused, as zlib refuses them: an over-subscribed
// set, and an incomplete one, except for a lone code of one bit in a
// literal/length or distance code. A distance code without any code is
// taken (a block of literals alone); decoding a distance through it fails.
bool BuildTable(uint32_t* table, uint32_t capacity, uint32_t rootBits, TableKind kind,
                const uint16_t* lengths, uint32_t count)
{
    uint32_t perLength[MAX_CODE_BITS + 1] = {0};
    for (uint32_t i = 0; i < count; i++)
        perLength[lengths[i]]++;
    perLength[0] = 0;
    uint32_t longest = 0;
    int32_t left = 1;
    for (uint32_t len = 1; len <= MAX_CODE_BITS; len++) {
        left = left * 2 - (int32_t)perLength[len];
        if (left < 0)
            return false;
        if (perLength[len])
            longest = len;
    }
    if (longest == 0) {
        if (kind == CODE_LENGTH_TABLE)
            return false;
    } else if (left > 0 && (kind == CODE_LENGTH_TABLE || longest != 1)) {
        return false;
    }

    uint32_t rootSize = 1u << rootBits;
    uint32_t invalid = MakeEntry(OP_INVALID, 0, 1);
    for (uint32_t i = 0; i < rootSize; i++)
        table[i] = invalid;

    uint32_t nextCode[MAX_CODE_BITS + 2];
    nextCode[1] = 0;
    for (uint32_t len = 1; len <= MAX_CODE_BITS; len++)
        nextCode[len + 1] = (nextCode[len] + perLength[len]) << 1;

    // First pass: the longest code under each root index decides the size
    // of that index's second-level table.
    uint8_t subLongest[1 << LITERAL_ROOT_BITS];
    if (longest > rootBits) {
        memset(subLongest, 0, rootSize);
        uint32_t code[MAX_CODE_BITS + 2];
        memcpy(code, nextCode, sizeof(code));
        for (uint32_t symbol = 0; symbol < count; symbol++) {
            uint32_t len = lengths[symbol];
            if (len == 0)
                continue;
            uint32_t reversed = Reverse(code[len]++, len);
            if (len > rootBits) {
                uint32_t root = reversed & (rootSize - 1);
                if (subLongest[root] < len)
                    subLongest[root] = (uint8_t)len;
            }
        }
        uint32_t offset = rootSize;
        for (uint32_t root = 0; root < rootSize; root++) {
            if (!subLongest[root])
                continue;
            uint32_t subBits = subLongest[root] - rootBits;
            uint32_t subSize = 1u << subBits;
            if (subSize > capacity - offset)
                return false;  // cannot happen for a complete code (see the sizes)
            table[root] = MakeEntry(OP_LINK | subBits, offset, rootBits);
            for (uint32_t i = 0; i < subSize; i++)
                table[offset + i] = invalid;
            offset += subSize;
        }
    }

    // Second pass: each code fills every entry whose index starts with it.
    for (uint32_t symbol = 0; symbol < count; symbol++) {
        uint32_t len = lengths[symbol];
        if (len == 0)
            continue;
        uint32_t reversed = Reverse(nextCode[len]++, len);
        uint32_t entry = SymbolEntry(kind, symbol) | len;
        if (len <= rootBits) {
            for (uint32_t i = reversed; i < rootSize; i += 1u << len)
                table[i] = entry;
        } else {
            uint32_t link = table[reversed & (rootSize - 1)];
            uint32_t* sub = table + EntryValue(link);
            uint32_t subSize = 1u << (EntryOp(link) & LINK_MASK);
            for (uint32_t i = reversed >> rootBits; i < subSize; i += 1u << (len - rootBits))
                sub[i] = entry;
        }
    }
    return true;
}

void BuildFixedTables(Inflate64* s)
{
    uint16_t* lengths = s->lengths;
    uint32_t i = 0;
    for (; i < 144; i++)
        lengths[i] = 8;
    for (; i < 256; i++)
        lengths[i] = 9;
    for (; i < 280; i++)
        lengths[i] = 7;
    for (; i < LITERAL_SYMBOLS; i++)
        lengths[i] = 8;
    BuildTable(s->literalTable, LITERAL_TABLE_SIZE, LITERAL_ROOT_BITS, LITERAL_TABLE, lengths, LITERAL_SYMBOLS);
    for (i = 0; i < DISTANCE_SYMBOLS; i++)
        lengths[i] = 5;
    BuildTable(s->distanceTable, DISTANCE_TABLE_SIZE, DISTANCE_ROOT_BITS, DISTANCE_TABLE, lengths,
               DISTANCE_SYMBOLS);
    s->fixedTables = true;
}

inline uint32_t Lookup(const uint32_t* table, uint32_t rootBits, uint64_t hold)
{
    uint32_t entry = table[hold & ((1u << rootBits) - 1)];
    if (EntryOp(entry) & OP_LINK)
        entry = table[EntryValue(entry) + ((hold >> rootBits) & ((1u << (EntryOp(entry) & LINK_MASK)) - 1))];
    return entry;
}

// Step-by-step bit reading: whole bytes are taken only while bits are
// missing, so between two symbols the buffer never holds a whole byte that
// is not needed yet.
inline bool Need(Cursor& c, uint32_t count)
{
    while (c.bits < count) {
        if (c.next == c.inEnd)
            return false;
        c.hold |= (uint64_t)*c.next++ << c.bits;
        c.bits += 8;
    }
    return true;
}

inline void Drop(Cursor& c, uint32_t count)
{
    c.hold >>= count;
    c.bits -= count;
}

// Looks a symbol up, taking bytes until the code found is no longer than
// the bits at hand: an entry found through missing (zero) bits is only
// trusted once its whole length is real.
inline bool Decode(Cursor& c, const uint32_t* table, uint32_t rootBits, uint32_t* entry)
{
    for (;;) {
        *entry = Lookup(table, rootBits, c.hold);
        if (EntryLength(*entry) <= c.bits)
            return true;
        if (c.next == c.inEnd)
            return false;
        c.hold |= (uint64_t)*c.next++ << c.bits;
        c.bits += 8;
    }
}

// Copies `length` bytes from `distance` back within the output, source and
// destination overlapping when distance < length; no byte past the end.
inline uint8_t* CopyWithin(uint8_t* put, uint32_t distance, uint32_t length)
{
    const uint8_t* from = put - distance;
    if (distance >= length) {
        memcpy(put, from, length);
        return put + length;
    }
    if (distance == 1) {
        memset(put, *from, length);
        return put + length;
    }
    // Each copy doubles the stretch that repeats, and never overlaps.
    uint8_t* end = put + length;
    while (put < end) {
        size_t chunk = (size_t)(put - from);
        if (chunk > (size_t)(end - put))
            chunk = (size_t)(end - put);
        memcpy(put, from, chunk);
        put += chunk;
    }
    return end;
}

// Copies a match whose first bytes may lie before this call's output, in
// the window. The distance was checked against what the window and the
// output hold.
uint8_t* CopyMatch(const Inflate64* s, uint8_t* put, const uint8_t* outStart, uint32_t distance, uint32_t length)
{
    size_t produced = (size_t)(put - outStart);
    if (distance > produced) {
        uint32_t back = distance - (uint32_t)produced;
        uint32_t from = (s->windowNext - back) & WINDOW_MASK;
        uint32_t count = length < back ? length : back;
        uint32_t first = WINDOW_SIZE - from;
        if (first > count)
            first = count;
        memcpy(put, s->window + from, first);
        memcpy(put + first, s->window, count - first);
        put += count;
        length -= count;
    }
    return length ? CopyWithin(put, distance, length) : put;
}

// The last 64 KiB of a call's output go into the window.
void KeepHistory(Inflate64* s, const uint8_t* outStart, size_t produced)
{
    if (produced >= WINDOW_SIZE) {
        memcpy(s->window, outStart + produced - WINDOW_SIZE, WINDOW_SIZE);
        s->windowNext = 0;
        s->windowHave = WINDOW_SIZE;
        return;
    }
    uint32_t count = (uint32_t)produced;
    uint32_t first = WINDOW_SIZE - s->windowNext;
    if (first > count)
        first = count;
    memcpy(s->window + s->windowNext, outStart, first);
    memcpy(s->window, outStart + first, count - first);
    s->windowNext = (s->windowNext + count) & WINDOW_MASK;
    s->windowHave = s->windowHave + count < WINDOW_SIZE ? s->windowHave + count : WINDOW_SIZE;
}

// The fast loop of a block's symbols. The caller makes sure the margins are
// there for the first round. The buffer is filled 8 bytes at a time: the
// bits above `bits` are then those of the following input, which a later
// fill writes again unchanged; on leaving, the whole bytes not used are
// handed back to the input.
void DecodeFast(Inflate64* s, Cursor& c)
{
    const uint8_t* next = c.next;
    const uint8_t* inLimit = c.inEnd - FAST_INPUT_MARGIN;
    uint8_t* put = c.put;
    uint8_t* const outStart = c.outStart;
    uint8_t* const outEnd = c.outEnd;
    uint8_t* const outLimit = outEnd - FAST_OUTPUT_MARGIN;
    uint64_t hold = c.hold;
    uint32_t bits = c.bits;
    const uint32_t* literals = s->literalTable;
    const uint32_t* distances = s->distanceTable;
    const uint32_t windowHave = s->windowHave;
    const uint64_t literalMask = (1u << LITERAL_ROOT_BITS) - 1;
    const uint64_t distanceMask = (1u << DISTANCE_ROOT_BITS) - 1;
    int mode = MODE_LITERAL_LENGTH;

    do {
        hold |= Load64(next) << bits;
        next += (63 - bits) >> 3;
        bits |= 56;

        uint32_t entry = literals[hold & literalMask];
        if (entry & (OP_LINK << 8))
            entry = literals[EntryValue(entry) +
                             ((hold >> LITERAL_ROOT_BITS) & ((1u << (EntryOp(entry) & LINK_MASK)) - 1))];
        hold >>= EntryLength(entry);
        bits -= EntryLength(entry);
        if (EntryOp(entry) == OP_LITERAL) {
            *put++ = (uint8_t)EntryValue(entry);
            // At least 41 bits were left: room for a second literal.
            entry = literals[hold & literalMask];
            if (entry & (OP_LINK << 8))
                entry = literals[EntryValue(entry) +
                                 ((hold >> LITERAL_ROOT_BITS) & ((1u << (EntryOp(entry) & LINK_MASK)) - 1))];
            hold >>= EntryLength(entry);
            bits -= EntryLength(entry);
            if (EntryOp(entry) == OP_LITERAL) {
                *put++ = (uint8_t)EntryValue(entry);
                continue;
            }
        }
        uint32_t op = EntryOp(entry);
        if (op & OP_BASE) {
            // At least 26 bits are left for the up to 16 extra bits.
            uint32_t extra = op & EXTRA_MASK;
            uint32_t length = EntryValue(entry) + ((uint32_t)hold & ((1u << extra) - 1));
            hold >>= extra;
            bits -= extra;

            hold |= Load64(next) << bits;
            next += (63 - bits) >> 3;
            bits |= 56;
            entry = distances[hold & distanceMask];
            if (entry & (OP_LINK << 8))
                entry = distances[EntryValue(entry) +
                                  ((hold >> DISTANCE_ROOT_BITS) & ((1u << (EntryOp(entry) & LINK_MASK)) - 1))];
            hold >>= EntryLength(entry);
            bits -= EntryLength(entry);
            op = EntryOp(entry);
            if (!(op & OP_BASE)) {
                mode = MODE_BAD;
                break;
            }
            extra = op & EXTRA_MASK;
            uint32_t distance = EntryValue(entry) + ((uint32_t)hold & ((1u << extra) - 1));
            hold >>= extra;
            bits -= extra;

            size_t produced = (size_t)(put - outStart);
            if (distance > produced && distance - produced > windowHave) {
                mode = MODE_BAD;
                break;
            }
            if (length + COPY_SLACK > (size_t)(outEnd - put)) {
                // A long Deflate64 match: copied as far as the output goes.
                s->length = length;
                s->distance = distance;
                mode = MODE_MATCH;
                break;
            }
            if (distance > produced || distance < COPY_SLACK) {
                put = CopyMatch(s, put, outStart, distance, length);
            } else {
                // In 8-byte steps, up to 7 bytes past the end, which the
                // next symbols overwrite.
                const uint8_t* from = put - distance;
                uint8_t* end = put + length;
                do {
                    memcpy(put, from, 8);
                    put += 8;
                    from += 8;
                } while (put < end);
                put = end;
            }
        } else if (op == OP_END) {
            mode = s->last ? MODE_ENDED : MODE_HEADER;
            break;
        } else {
            mode = MODE_BAD;
            break;
        }
    } while (next < inLimit && put < outLimit);

    // Whole unused bytes go back, though never past where this call began.
    uint32_t giveBack = bits >> 3;
    if (giveBack > (size_t)(next - c.inStart))
        giveBack = (uint32_t)(next - c.inStart);
    next -= giveBack;
    bits -= giveBack * 8;
    hold &= ((uint64_t)1 << bits) - 1;

    s->mode = mode;
    c.next = next;
    c.put = put;
    c.hold = hold;
    c.bits = bits;
}

// Decodes until the input runs out, the output is full, or the stream ends
// or fails.
void Decode(Inflate64* s, Cursor& c)
{
    for (;;) {
        switch (s->mode) {
        case MODE_HEADER: {
            if (!Need(c, 3))
                return;
            s->last = c.hold & 1;
            uint32_t type = (uint32_t)(c.hold >> 1) & 3;
            Drop(c, 3);
            if (type == 0) {
                Drop(c, c.bits & 7);  // stored data starts on a byte boundary
                s->mode = MODE_STORED_LENGTHS;
            } else if (type == 1) {
                if (!s->fixedTables)
                    BuildFixedTables(s);
                s->mode = MODE_LITERAL_LENGTH;
            } else if (type == 2) {
                s->mode = MODE_TABLE_COUNTS;
            } else {
                s->mode = MODE_BAD;
            }
            break;
        }
        case MODE_STORED_LENGTHS:
            if (!Need(c, 32))
                return;
            s->length = (uint32_t)c.hold & 0xFFFF;
            if (((uint32_t)(c.hold >> 16) & 0xFFFF) != (s->length ^ 0xFFFF)) {
                s->mode = MODE_BAD;
                break;
            }
            Drop(c, 32);
            s->mode = MODE_STORED_COPY;
            break;
        case MODE_STORED_COPY: {
            // Whole bytes still in the buffer come first.
            while (s->length && c.bits >= 8 && c.put < c.outEnd) {
                *c.put++ = (uint8_t)c.hold;
                Drop(c, 8);
                s->length--;
            }
            if (s->length == 0) {
                s->mode = s->last ? MODE_ENDED : MODE_HEADER;
                break;
            }
            if (c.bits >= 8)
                return;  // the output is full
            size_t count = s->length;
            if (count > (size_t)(c.inEnd - c.next))
                count = (size_t)(c.inEnd - c.next);
            if (count > (size_t)(c.outEnd - c.put))
                count = (size_t)(c.outEnd - c.put);
            if (count == 0)
                return;
            memcpy(c.put, c.next, count);
            c.put += count;
            c.next += count;
            s->length -= (uint32_t)count;
            break;
        }
        case MODE_TABLE_COUNTS:
            if (!Need(c, 14))
                return;
            s->literalCodes = 257 + ((uint32_t)c.hold & 0x1F);
            s->distanceCodes = 1 + ((uint32_t)(c.hold >> 5) & 0x1F);
            s->codeLengthCodes = 4 + ((uint32_t)(c.hold >> 10) & 0x0F);
            Drop(c, 14);
            if (s->literalCodes > MAX_LITERAL_CODES) {
                s->mode = MODE_BAD;
                break;
            }
            s->have = 0;
            s->mode = MODE_CODE_LENGTH_LENGTHS;
            break;
        case MODE_CODE_LENGTH_LENGTHS:
            while (s->have < s->codeLengthCodes) {
                if (!Need(c, 3))
                    return;
                s->lengths[CODE_LENGTH_ORDER[s->have++]] = (uint16_t)(c.hold & 7);
                Drop(c, 3);
            }
            while (s->have < CODE_LENGTH_SYMBOLS)
                s->lengths[CODE_LENGTH_ORDER[s->have++]] = 0;
            s->fixedTables = false;
            if (!BuildTable(s->codeLengthTable, CODE_LENGTH_TABLE_SIZE, CODE_LENGTH_ROOT_BITS, CODE_LENGTH_TABLE,
                            s->lengths, CODE_LENGTH_SYMBOLS)) {
                s->mode = MODE_BAD;
                break;
            }
            s->have = 0;
            s->mode = MODE_CODE_LENGTHS;
            break;
        case MODE_CODE_LENGTHS: {
            uint32_t total = s->literalCodes + s->distanceCodes;
            while (s->have < total) {
                uint32_t entry;
                if (!Decode(c, s->codeLengthTable, CODE_LENGTH_ROOT_BITS, &entry))
                    return;
                uint32_t symbol = EntryValue(entry);
                uint32_t codeBits = EntryLength(entry);
                if (symbol < 16) {
                    Drop(c, codeBits);
                    s->lengths[s->have++] = (uint16_t)symbol;
                    continue;
                }
                // The code is taken only with its extra bits, so that a call
                // that runs out of input between them starts it again.
                uint32_t extraBits = symbol == 16 ? 2 : symbol == 17 ? 3 : 7;
                if (!Need(c, codeBits + extraBits))
                    return;
                Drop(c, codeBits);
                uint32_t extra = (uint32_t)c.hold & ((1u << extraBits) - 1);
                Drop(c, extraBits);
                uint16_t value = 0;
                uint32_t repeat;
                if (symbol == 16) {
                    if (s->have == 0) {
                        s->mode = MODE_BAD;
                        break;
                    }
                    value = s->lengths[s->have - 1];
                    repeat = 3 + extra;
                } else {
                    repeat = (symbol == 17 ? 3 : 11) + extra;
                }
                if (repeat > total - s->have) {
                    s->mode = MODE_BAD;
                    break;
                }
                while (repeat--)
                    s->lengths[s->have++] = value;
            }
            if (s->mode == MODE_BAD)
                break;
            if (s->lengths[END_OF_BLOCK] == 0 ||
                !BuildTable(s->literalTable, LITERAL_TABLE_SIZE, LITERAL_ROOT_BITS, LITERAL_TABLE, s->lengths,
                            s->literalCodes) ||
                !BuildTable(s->distanceTable, DISTANCE_TABLE_SIZE, DISTANCE_ROOT_BITS, DISTANCE_TABLE,
                            s->lengths + s->literalCodes, s->distanceCodes)) {
                s->mode = MODE_BAD;
                break;
            }
            s->mode = MODE_LITERAL_LENGTH;
            break;
        }
        case MODE_LITERAL_LENGTH: {
            if ((size_t)(c.inEnd - c.next) >= FAST_INPUT_MARGIN &&
                (size_t)(c.outEnd - c.put) >= FAST_OUTPUT_MARGIN) {
                DecodeFast(s, c);
                break;
            }
            uint32_t entry;
            if (!Decode(c, s->literalTable, LITERAL_ROOT_BITS, &entry))
                return;
            Drop(c, EntryLength(entry));
            uint32_t op = EntryOp(entry);
            if (op == OP_LITERAL) {
                s->literal = EntryValue(entry);
                s->mode = MODE_LITERAL;
            } else if (op & OP_BASE) {
                s->length = EntryValue(entry);
                s->extra = op & EXTRA_MASK;
                s->mode = MODE_LENGTH_EXTRA;
            } else if (op == OP_END) {
                s->mode = s->last ? MODE_ENDED : MODE_HEADER;
            } else {
                s->mode = MODE_BAD;
            }
            break;
        }
        case MODE_LITERAL:
            if (c.put == c.outEnd)
                return;
            *c.put++ = (uint8_t)s->literal;
            s->mode = MODE_LITERAL_LENGTH;
            break;
        case MODE_LENGTH_EXTRA:
            if (!Need(c, s->extra))
                return;
            s->length += (uint32_t)c.hold & ((1u << s->extra) - 1);
            Drop(c, s->extra);
            s->mode = MODE_DISTANCE;
            break;
        case MODE_DISTANCE: {
            uint32_t entry;
            if (!Decode(c, s->distanceTable, DISTANCE_ROOT_BITS, &entry))
                return;
            Drop(c, EntryLength(entry));
            if (!(EntryOp(entry) & OP_BASE)) {
                s->mode = MODE_BAD;
                break;
            }
            s->distance = EntryValue(entry);
            s->extra = EntryOp(entry) & EXTRA_MASK;
            s->mode = MODE_DISTANCE_EXTRA;
            break;
        }
        case MODE_DISTANCE_EXTRA: {
            if (!Need(c, s->extra))
                return;
            s->distance += (uint32_t)c.hold & ((1u << s->extra) - 1);
            Drop(c, s->extra);
            size_t produced = (size_t)(c.put - c.outStart);
            if (s->distance > produced && s->distance - produced > s->windowHave) {
                s->mode = MODE_BAD;
                break;
            }
            s->mode = MODE_MATCH;
            break;
        }
        case MODE_MATCH: {
            size_t room = (size_t)(c.outEnd - c.put);
            if (room == 0)
                return;
            uint32_t count = s->length < room ? s->length : (uint32_t)room;
            c.put = CopyMatch(s, c.put, c.outStart, s->distance, count);
            s->length -= count;
            if (s->length == 0)
                s->mode = MODE_LITERAL_LENGTH;
            break;
        }
        default:  // MODE_ENDED, MODE_BAD
            return;
        }
    }
}

}  // namespace

Inflate64* Inflate64Start()
{
    Inflate64* state = static_cast<Inflate64*>(AllocateBlock(sizeof(Inflate64)));
    if (state)
        state->mode = MODE_HEADER;  // every other field starts at zero
    return state;
}

int Inflate64Run(Inflate64* state, const uint8_t** in, uint32_t* inLeft, uint8_t** out, uint32_t* outLeft)
{
    if (!state)
        return INFLATE64_BAD;
    Cursor c;
    c.next = c.inStart = *in;
    c.inEnd = c.next + *inLeft;
    c.put = c.outStart = *out;
    c.outEnd = c.put + *outLeft;
    c.hold = state->hold;
    c.bits = state->bits;

    Decode(state, c);

    KeepHistory(state, c.outStart, (size_t)(c.put - c.outStart));
    state->hold = c.hold;
    state->bits = c.bits;
    *inLeft -= (uint32_t)(c.next - c.inStart);
    *in = c.next;
    *outLeft -= (uint32_t)(c.put - c.outStart);
    *out = c.put;
    if (state->mode == MODE_ENDED)
        return INFLATE64_ENDED;
    return state->mode == MODE_BAD ? INFLATE64_BAD : INFLATE64_MORE;
}

void Inflate64End(Inflate64* state)
{
    FreeBlock(state);
}
