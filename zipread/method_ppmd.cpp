// method_ppmd.cpp -- PPMd data (method 98): variant I, revision 1, through
// the public-domain model and decoder of Debian's 7zip sources (Ppmd8).
//
// The data open with a 16-bit little-endian word: bits 0-3 the model order
// less 1, bits 4-11 the model's memory in MiB less 1, bits 12-15 the
// restoration method (0 restart, 1 cut off). Range-coded symbols follow,
// one a byte, as many as the recorded size, then (as 7-Zip writes them) an
// end marker; the encoder's final flush makes the range decoder's code 0
// exactly after the last of them.
//
// The model pulls its input a byte at a time, while this reader pushes
// blocks: symbols are decoded only while at least PPMD_INPUT_MARGIN bytes
// are at hand (more than any one symbol can take) or no more input follows;
// a shorter rest is kept in `carry` until the next block arrives. Working
// memory is the model's, as the data declare it, at most 256 MiB.
#include "methods.h"

#include <string.h>

extern "C" {
#include "Ppmd8.h"
}

const uint32_t PPMD_HEADER_SIZE = 2;
const uint32_t PPMD_INPUT_MARGIN = 256;
const unsigned PPMD_RESTORE_CUT_OFF = 1;

struct PpmdState {
    IByteIn reader;            // first: Read gets the state's address through it
    ISzAlloc allocator;
    CPpmd8 model;
    uint64_t left;             // symbols still to decode
    const uint8_t* in;         // the caller's input during a step
    uint32_t inLeft;
    uint8_t carry[2 * PPMD_INPUT_MARGIN];  // input kept from the last step, read first
    uint32_t carryStart, carryEnd;
    uint8_t header[PPMD_HEADER_SIZE];
    uint32_t headerHave;
    uint8_t modelMade;         // Ppmd8_Alloc succeeded: Ppmd8_Free is owed
    uint8_t decoding;          // the range decoder has started
    uint8_t overrun;           // the model read past the end of the data
};

static Byte ReadByte(IByteInPtr reader)
{
    PpmdState* s = reinterpret_cast<PpmdState*>(const_cast<IByteIn*>(reader));
    if (s->carryStart < s->carryEnd)
        return s->carry[s->carryStart++];
    if (s->inLeft > 0) {
        s->inLeft--;
        return *s->in++;
    }
    s->overrun = 1;
    return 0;
}

static void* PpmdAllocate(ISzAllocPtr, size_t size)
{
    return AllocateLibraryBlock(size);
}

static void PpmdFree(ISzAllocPtr, void* block)
{
    FreeBlock(block);
}

uint32_t StartPpmd(void** state, const DecoderSetup& setup)
{
    PpmdState* s = static_cast<PpmdState*>(AllocateBlock(sizeof(PpmdState)));
    if (!s)
        return RESULT_NO_MEMORY;
    s->reader.Read = ReadByte;
    s->allocator.Alloc = PpmdAllocate;
    s->allocator.Free = PpmdFree;
    Ppmd8_Construct(&s->model);
    s->model.Stream.In = &s->reader;
    s->left = setup.uncompressedSize;
    *state = s;
    return RESULT_OK;
}

static uint32_t Available(const PpmdState* s)
{
    return s->carryEnd - s->carryStart + s->inLeft;
}

// Makes the model the header declares.
static DecodeStatus MakeModel(PpmdState* s)
{
    uint32_t word = s->header[0] | s->header[1] << 8;
    unsigned order = (word & 0xF) + 1;
    uint64_t memory = (uint64_t)(((word >> 4) & 0xFF) + 1) << 20;
    unsigned restore = word >> 12;
    if (order < PPMD8_MIN_ORDER || restore > PPMD_RESTORE_CUT_OFF)
        return DECODE_BAD_DATA;
    if (memory > DECODER_MEMORY_LIMIT || !Ppmd8_Alloc(&s->model, (UInt32)memory, &s->allocator))
        return DECODE_NO_MEMORY;
    s->modelMade = 1;
    Ppmd8_Init(&s->model, order, restore);
    return DECODE_MORE;
}

// Keeps the input not yet decoded for the next step: it is shorter than
// the margin, so it fits behind what the carry still holds.
static void KeepTheRest(PpmdState* s)
{
    uint32_t kept = s->carryEnd - s->carryStart;
    memmove(s->carry, s->carry + s->carryStart, kept);
    memcpy(s->carry + kept, s->in, s->inLeft);
    s->carryStart = 0;
    s->carryEnd = kept + s->inLeft;
    s->in += s->inLeft;
    s->inLeft = 0;
}

static DecodeStatus Step(PpmdState* s, uint8_t** out, uint32_t* outLeft, bool inputEnds)
{
    if (!s->modelMade) {
        while (s->headerHave < PPMD_HEADER_SIZE && s->inLeft > 0) {
            s->header[s->headerHave++] = *s->in++;
            s->inLeft--;
        }
        if (s->headerHave < PPMD_HEADER_SIZE)
            return inputEnds ? DECODE_BAD_DATA : DECODE_MORE;
        DecodeStatus made = MakeModel(s);
        if (made != DECODE_MORE)
            return made;
    }
    for (;;) {
        if (Available(s) < PPMD_INPUT_MARGIN && !inputEnds) {
            KeepTheRest(s);
            return DECODE_MORE;
        }
        if (!s->decoding) {
            if (!Ppmd8_Init_RangeDec(&s->model) || s->overrun)
                return DECODE_BAD_DATA;
            s->decoding = 1;
        }
        if (s->left == 0) {
            // Every symbol is out. Nothing may follow but the end marker
            // that 7-Zip writes, and the range decoder must end at 0.
            if (Available(s) > 0) {
                int marker = Ppmd8_DecodeSymbol(&s->model);
                if (marker != PPMD8_SYM_END || s->overrun)
                    return DECODE_BAD_DATA;
            }
            bool exact = Ppmd8_RangeDec_IsFinishedOK(&s->model) && s->carryStart == s->carryEnd;
            return exact ? DECODE_ENDED : DECODE_BAD_DATA;
        }
        if (*outLeft == 0)
            return DECODE_MORE;
        int symbol = Ppmd8_DecodeSymbol(&s->model);
        if (symbol < 0 || s->overrun)
            return DECODE_BAD_DATA;
        *(*out)++ = (uint8_t)symbol;
        (*outLeft)--;
        s->left--;
    }
}

DecodeStatus RunPpmd(void* state, const uint8_t** in, uint32_t* inLeft, uint8_t** out, uint32_t* outLeft,
                     bool inputEnds)
{
    PpmdState* s = static_cast<PpmdState*>(state);
    s->in = *in;
    s->inLeft = *inLeft;
    DecodeStatus status = Step(s, out, outLeft, inputEnds);
    *in = s->in;
    *inLeft = s->inLeft;
    return status;
}

void EndPpmd(void* state)
{
    PpmdState* s = static_cast<PpmdState*>(state);
    if (s->modelMade)
        Ppmd8_Free(&s->model, &s->allocator);
    FreeBlock(s);
}
