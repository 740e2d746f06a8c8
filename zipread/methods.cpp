// methods.cpp -- the compression methods this reader decodes, each behind
// the same three calls: start, run a step, end. A method is a small adapter
// from its library's own calls to that shape; the CRC-32, the counts and the
// end checks stay with the caller (decode.cpp), once for every method.
#include "zipread.h"

#include <string.h>

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

static uint32_t StartInflate(MethodDecoder* decoder)
{
    z_stream* z = static_cast<z_stream*>(AllocateBlock(sizeof(z_stream)));
    if (!z)
        return RESULT_NO_MEMORY;
    z->zalloc = InflateAlloc;
    z->zfree = InflateFree;
    if (inflateInit2(z, RAW_DEFLATE_WINDOW_BITS) != Z_OK) {
        FreeBlock(z);
        return RESULT_NO_MEMORY;
    }
    decoder->state = z;
    return RESULT_OK;
}

static DecodeStatus RunInflate(z_stream* z, const uint8_t** in, uint32_t* inLeft, uint8_t** out, uint32_t* outLeft)
{
    z->next_in = const_cast<Bytef*>(*in);
    z->avail_in = *inLeft;
    z->next_out = *out;
    z->avail_out = *outLeft;
    int result = inflate(z, Z_SYNC_FLUSH);
    *in = z->next_in;
    *inLeft = z->avail_in;
    *out = z->next_out;
    *outLeft = z->avail_out;
    switch (result) {
    case Z_STREAM_END:
        return DECODE_ENDED;
    case Z_OK:
    case Z_BUF_ERROR:  // no progress possible: input used up or no room
        return DECODE_MORE;
    case Z_MEM_ERROR:  // the window is allocated on first output
        return DECODE_NO_MEMORY;
    default:
        return DECODE_BAD_DATA;
    }
}

// Stored data are their own decoding; having no end marker, they end where
// the input does.
static DecodeStatus RunStored(const uint8_t** in, uint32_t* inLeft, uint8_t** out, uint32_t* outLeft,
                              bool inputEnds)
{
    uint32_t k = *outLeft < *inLeft ? *outLeft : *inLeft;
    memcpy(*out, *in, k);
    *in += k;
    *inLeft -= k;
    *out += k;
    *outLeft -= k;
    return *inLeft == 0 && inputEnds ? DECODE_ENDED : DECODE_MORE;
}

bool MethodSupported(uint16_t method)
{
    return method == METHOD_STORED || method == METHOD_DEFLATED;
}

uint32_t StartDecoder(MethodDecoder* decoder, uint16_t method)
{
    decoder->method = method;
    decoder->state = nullptr;
    switch (method) {
    case METHOD_STORED:
        return RESULT_OK;
    case METHOD_DEFLATED:
        return StartInflate(decoder);
    default:
        return RESULT_UNSUPPORTED;
    }
}

DecodeStatus RunDecoder(MethodDecoder* decoder, const uint8_t** in, uint32_t* inLeft, uint8_t** out,
                        uint32_t* outLeft, bool inputEnds)
{
    switch (decoder->method) {
    case METHOD_STORED:
        return RunStored(in, inLeft, out, outLeft, inputEnds);
    case METHOD_DEFLATED:
        return RunInflate(static_cast<z_stream*>(decoder->state), in, inLeft, out, outLeft);
    default:
        return DECODE_BAD_DATA;
    }
}

void EndDecoder(MethodDecoder* decoder)
{
    if (!decoder->state)
        return;
    if (decoder->method == METHOD_DEFLATED)
        inflateEnd(static_cast<z_stream*>(decoder->state));
    FreeBlock(decoder->state);
    decoder->state = nullptr;
}
