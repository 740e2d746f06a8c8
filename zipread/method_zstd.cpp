// method_zstd.cpp -- Zstandard data (method 93), through libzstd: one
// Zstandard frame. The frame declares its window; the decoder takes the
// window and its own tables, and a window above DECODER_MEMORY_LIMIT is
// refused with 2.
#include "methods.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_createDStream_advanced: our allocator
#include <zstd.h>
#include <zstd_errors.h>

const int ZSTD_WINDOW_LOG_LIMIT = 28;  // 256 MiB

static void* ZstdAllocate(void*, size_t size)
{
    return AllocateLibraryBlock(size);
}

static void ZstdFree(void*, void* block)
{
    FreeBlock(block);
}

uint32_t StartZstandard(void** state)
{
    ZSTD_customMem memory = {ZstdAllocate, ZstdFree, nullptr};
    ZSTD_DStream* z = ZSTD_createDStream_advanced(memory);
    if (!z)
        return RESULT_NO_MEMORY;
    if (ZSTD_isError(ZSTD_DCtx_setParameter(z, ZSTD_d_windowLogMax, ZSTD_WINDOW_LOG_LIMIT))) {
        ZSTD_freeDStream(z);
        return RESULT_NO_MEMORY;
    }
    *state = z;
    return RESULT_OK;
}

DecodeStatus RunZstandard(void* state, const uint8_t** in, uint32_t* inLeft, uint8_t** out, uint32_t* outLeft)
{
    ZSTD_inBuffer input = {*in, *inLeft, 0};
    ZSTD_outBuffer output = {*out, *outLeft, 0};
    size_t result = ZSTD_decompressStream(static_cast<ZSTD_DStream*>(state), &output, &input);
    *in += input.pos;
    *inLeft -= (uint32_t)input.pos;
    *out += output.pos;
    *outLeft -= (uint32_t)output.pos;
    if (ZSTD_isError(result)) {
        ZSTD_ErrorCode error = ZSTD_getErrorCode(result);
        return error == ZSTD_error_memory_allocation || error == ZSTD_error_frameParameter_windowTooLarge
                   ? DECODE_NO_MEMORY
                   : DECODE_BAD_DATA;
    }
    // 0: the frame is whole and every byte of it is out.
    return result == 0 ? DECODE_ENDED : DECODE_MORE;
}

void EndZstandard(void* state)
{
    ZSTD_freeDStream(static_cast<ZSTD_DStream*>(state));
}
