// methods.cpp -- the compression methods this reader decodes, each behind
// the same three calls: start, run a step, end. A method is a small adapter
// from its library's own calls to that shape (stored and deflated data here,
// the others in a method_*.cpp file each); the CRC-32, the counts and the
// end checks stay with the caller (decode.cpp), once for every method.
//
//   0 stored, 8 deflated (zlib), 9 Deflate64 (inflate64.cpp), 12 bzip2
//   (libbz2), 14 LZMA and 95 XZ (liblzma), 93 Zstandard (libzstd),
//   98 PPMd variant I (Ppmd8).
#include "methods.h"

#include <string.h>

#include "inflate64.h"

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

static uint32_t StartInflate64(MethodDecoder* decoder)
{
    Inflate64* state = Inflate64Start();
    if (!state)
        return RESULT_NO_MEMORY;
    decoder->state = state;
    return RESULT_OK;
}

static DecodeStatus RunInflate64(Inflate64* state, const uint8_t** in, uint32_t* inLeft, uint8_t** out,
                                 uint32_t* outLeft)
{
    switch (Inflate64Run(state, in, inLeft, out, outLeft)) {
    case INFLATE64_MORE:
        return DECODE_MORE;
    case INFLATE64_ENDED:
        return DECODE_ENDED;
    default:
        return DECODE_BAD_DATA;
    }
}

void* AllocateLibraryBlock(uint64_t size)
{
    return size <= 0xFFFFFFFFu ? AllocateBlock((uint32_t)size) : nullptr;
}

bool MethodSupported(uint16_t method)
{
    switch (method) {
    case METHOD_STORED:
    case METHOD_DEFLATED:
    case METHOD_DEFLATE64:
    case METHOD_BZIP2:
    case METHOD_LZMA:
    case METHOD_ZSTANDARD:
    case METHOD_XZ:
    case METHOD_PPMD:
        return true;
    default:
        return false;
    }
}

uint32_t StartDecoder(MethodDecoder* decoder, uint16_t method, uint64_t uncompressedSize, uint16_t flags)
{
    decoder->method = method;
    decoder->state = nullptr;
    DecoderSetup setup = {uncompressedSize, flags};
    switch (method) {
    case METHOD_STORED:
        return RESULT_OK;
    case METHOD_DEFLATED:
        return StartInflate(decoder);
    case METHOD_DEFLATE64:
        return StartInflate64(decoder);
    case METHOD_BZIP2:
        return StartBzip2(&decoder->state);
    case METHOD_LZMA:
        return StartLzma(&decoder->state, setup);
    case METHOD_XZ:
        return StartXz(&decoder->state);
    case METHOD_ZSTANDARD:
        return StartZstandard(&decoder->state);
    case METHOD_PPMD:
        return StartPpmd(&decoder->state, setup);
    default:
        return RESULT_UNSUPPORTED;
    }
}

DecodeStatus RunDecoder(MethodDecoder* decoder, const uint8_t** in, uint32_t* inLeft, uint8_t** out,
                        uint32_t* outLeft, bool inputEnds)
{
    void* state = decoder->state;
    switch (decoder->method) {
    case METHOD_STORED:
        return RunStored(in, inLeft, out, outLeft, inputEnds);
    case METHOD_DEFLATED:
        return RunInflate(static_cast<z_stream*>(state), in, inLeft, out, outLeft);
    case METHOD_DEFLATE64:
        return RunInflate64(static_cast<Inflate64*>(state), in, inLeft, out, outLeft);
    case METHOD_BZIP2:
        return RunBzip2(state, in, inLeft, out, outLeft);
    case METHOD_LZMA:
    case METHOD_XZ:
        return RunLzma(state, in, inLeft, out, outLeft);
    case METHOD_ZSTANDARD:
        return RunZstandard(state, in, inLeft, out, outLeft);
    case METHOD_PPMD:
        return RunPpmd(state, in, inLeft, out, outLeft, inputEnds);
    default:
        return DECODE_BAD_DATA;
    }
}

void EndDecoder(MethodDecoder* decoder)
{
    void* state = decoder->state;
    if (!state)
        return;
    decoder->state = nullptr;
    switch (decoder->method) {
    case METHOD_DEFLATED:
        inflateEnd(static_cast<z_stream*>(state));
        FreeBlock(state);
        break;
    case METHOD_DEFLATE64:
        Inflate64End(static_cast<Inflate64*>(state));
        break;
    case METHOD_BZIP2:
        EndBzip2(state);
        break;
    case METHOD_LZMA:
    case METHOD_XZ:
        EndLzma(state);
        break;
    case METHOD_ZSTANDARD:
        EndZstandard(state);
        break;
    case METHOD_PPMD:
        EndPpmd(state);
        break;
    }
}
