// method_lzma.cpp -- LZMA (method 14) and XZ (method 95) data, through
// liblzma.
//
// An LZMA entry's data open with a header of their own: the LZMA SDK's
// version (2 bytes), the size of the properties (2 bytes, little-endian,
// 5), and the properties: one byte of lc/lp/pb, then the dictionary size
// (4 bytes). Raw LZMA data follow. Flag bit 1 says they end with an end
// marker; without it they end at the recorded size. The header arrives with
// the data, so it is gathered here before the decoder is made.
//
// An XZ entry is a whole .xz stream, with its own integrity check.
//
// Working memory is the dictionary and some tens of KiB; a dictionary above
// DECODER_MEMORY_LIMIT is refused with 2.
#include "methods.h"

#include <lzma.h>
#include <string.h>

const uint32_t LZMA_ZIP_HEADER_SIZE = 4;
const uint32_t LZMA_PROPERTIES_SIZE = 5;

// The most an .xz stream's decoder may take: the dictionary limit and the
// decoder's own tables.
const uint64_t XZ_MEMORY_LIMIT = DECODER_MEMORY_LIMIT + (1u << 20);

struct LzmaState {
    lzma_stream stream;
    lzma_allocator allocator;
    DecoderSetup setup;
    uint8_t header[LZMA_ZIP_HEADER_SIZE + LZMA_PROPERTIES_SIZE];
    uint32_t headerHave;   // header bytes gathered so far
    uint8_t started;       // the decoder exists
};

static void* LzmaAllocate(void*, size_t items, size_t size)
{
    if (size != 0 && items > SIZE_MAX / size)
        return nullptr;
    return AllocateLibraryBlock((uint64_t)items * size);
}

static void LzmaFree(void*, void* block)
{
    FreeBlock(block);
}

static LzmaState* NewState()
{
    LzmaState* s = static_cast<LzmaState*>(AllocateBlock(sizeof(LzmaState)));
    if (!s)
        return nullptr;
    s->stream = LZMA_STREAM_INIT;
    s->allocator.alloc = LzmaAllocate;
    s->allocator.free = LzmaFree;
    s->stream.allocator = &s->allocator;
    return s;
}

static uint32_t ResultOf(lzma_ret ret)
{
    switch (ret) {
    case LZMA_OK:
        return RESULT_OK;
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR:
        return RESULT_NO_MEMORY;
    default:
        return RESULT_FLATE;
    }
}

uint32_t StartLzma(void** state, const DecoderSetup& setup)
{
    LzmaState* s = NewState();
    if (!s)
        return RESULT_NO_MEMORY;
    s->setup = setup;
    *state = s;
    return RESULT_OK;
}

uint32_t StartXz(void** state)
{
    LzmaState* s = NewState();
    if (!s)
        return RESULT_NO_MEMORY;
    uint32_t code = ResultOf(lzma_stream_decoder(&s->stream, XZ_MEMORY_LIMIT, 0));
    if (code != RESULT_OK) {
        lzma_end(&s->stream);
        FreeBlock(s);
        return code;
    }
    s->started = 1;
    *state = s;
    return RESULT_OK;
}

static uint32_t Get32(const uint8_t* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// Makes the raw LZMA decoder from the gathered header: the properties'
// size must be 5, the dictionary within the limit. Without an end marker
// the decoder must know where the data end: the recorded size.
static DecodeStatus StartRawLzma(LzmaState* s)
{
    const uint8_t* h = s->header;
    if ((h[2] | h[3] << 8) != LZMA_PROPERTIES_SIZE)
        return DECODE_BAD_DATA;
    if (Get32(h + LZMA_ZIP_HEADER_SIZE + 1) > DECODER_MEMORY_LIMIT)
        return DECODE_NO_MEMORY;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_ret ret = lzma_properties_decode(&filters[0], &s->allocator, h + LZMA_ZIP_HEADER_SIZE,
                                          LZMA_PROPERTIES_SIZE);
    if (ret != LZMA_OK)
        return ret == LZMA_MEM_ERROR ? DECODE_NO_MEMORY : DECODE_BAD_DATA;
    lzma_options_lzma* options = static_cast<lzma_options_lzma*>(filters[0].options);
    // An end marker is allowed right at the recorded size; with flag bit 1
    // it is required there, and with an unknown size it ends the data.
    uint64_t size = s->setup.uncompressedSize;
    options->ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
    options->ext_size_low = (uint32_t)size;
    options->ext_size_high = (uint32_t)(size >> 32);
    ret = lzma_raw_decoder(&s->stream, filters);
    LzmaFree(nullptr, options);
    if (ret != LZMA_OK)
        return ret == LZMA_MEM_ERROR ? DECODE_NO_MEMORY : DECODE_BAD_DATA;
    s->started = 1;
    return DECODE_MORE;
}

DecodeStatus RunLzma(void* state, const uint8_t** in, uint32_t* inLeft, uint8_t** out, uint32_t* outLeft)
{
    LzmaState* s = static_cast<LzmaState*>(state);
    if (!s->started) {
        uint32_t want = (uint32_t)sizeof s->header - s->headerHave;
        uint32_t k = *inLeft < want ? *inLeft : want;
        memcpy(s->header + s->headerHave, *in, k);
        s->headerHave += k;
        *in += k;
        *inLeft -= k;
        if (s->headerHave < sizeof s->header)
            return DECODE_MORE;
        DecodeStatus status = StartRawLzma(s);
        if (status != DECODE_MORE)
            return status;
    }
    s->stream.next_in = *in;
    s->stream.avail_in = *inLeft;
    s->stream.next_out = *out;
    s->stream.avail_out = *outLeft;
    lzma_ret ret = lzma_code(&s->stream, LZMA_RUN);
    *in = s->stream.next_in;
    *inLeft = (uint32_t)s->stream.avail_in;
    *out = s->stream.next_out;
    *outLeft = (uint32_t)s->stream.avail_out;
    switch (ret) {
    case LZMA_OK:
    case LZMA_BUF_ERROR:  // no progress possible: input used up or no room
        return DECODE_MORE;
    case LZMA_STREAM_END:
        return DECODE_ENDED;
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR:
        return DECODE_NO_MEMORY;
    default:
        return DECODE_BAD_DATA;
    }
}

void EndLzma(void* state)
{
    LzmaState* s = static_cast<LzmaState*>(state);
    lzma_end(&s->stream);
    FreeBlock(s);
}
