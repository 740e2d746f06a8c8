// method_bzip2.cpp -- bzip2 data (method 12), through libbz2. A bzip2
// stream declares its block size (at most 900 kB) in its header; its
// decoder takes about 3.6 MB at the largest.
#include "methods.h"

#include <bzlib.h>

static void* BzAllocate(void*, int items, int size)
{
    if (items < 0 || size < 0)
        return nullptr;
    return AllocateLibraryBlock((uint64_t)items * (uint64_t)size);
}

static void BzFree(void*, void* block)
{
    FreeBlock(block);
}

// libbz2's own consistency checks end here; none is reachable from the data
// it decompresses, and there is no one to tell in a host's process.
extern "C" void bz_internal_error(int)
{
}

uint32_t StartBzip2(void** state)
{
    bz_stream* bz = static_cast<bz_stream*>(AllocateBlock(sizeof(bz_stream)));
    if (!bz)
        return RESULT_NO_MEMORY;
    bz->bzalloc = BzAllocate;
    bz->bzfree = BzFree;
    if (BZ2_bzDecompressInit(bz, 0, 0) != BZ_OK) {
        FreeBlock(bz);
        return RESULT_NO_MEMORY;
    }
    *state = bz;
    return RESULT_OK;
}

DecodeStatus RunBzip2(void* state, const uint8_t** in, uint32_t* inLeft, uint8_t** out, uint32_t* outLeft)
{
    bz_stream* bz = static_cast<bz_stream*>(state);
    bz->next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(*in));
    bz->avail_in = *inLeft;
    bz->next_out = reinterpret_cast<char*>(*out);
    bz->avail_out = *outLeft;
    int result = BZ2_bzDecompress(bz);
    *in = reinterpret_cast<const uint8_t*>(bz->next_in);
    *inLeft = bz->avail_in;
    *out = reinterpret_cast<uint8_t*>(bz->next_out);
    *outLeft = bz->avail_out;
    switch (result) {
    case BZ_OK:
        return DECODE_MORE;
    case BZ_STREAM_END:
        return DECODE_ENDED;
    case BZ_MEM_ERROR:
        return DECODE_NO_MEMORY;
    default:
        return DECODE_BAD_DATA;
    }
}

void EndBzip2(void* state)
{
    BZ2_bzDecompressEnd(static_cast<bz_stream*>(state));
    FreeBlock(state);
}
