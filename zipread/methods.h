// methods.h -- the adapters of the compression methods that methods.cpp
// dispatches to, one file each, all of the same shape: Start makes the
// method's state (0, 2 or 8; 2 also for a stream that declares more working
// memory than DECODER_MEMORY_LIMIT), Run takes one step (a DecodeStatus),
// End frees the state. The reader's own files include this; the add-on and
// the tests know the methods by their numbers alone.
#pragma once

#include "zipread.h"

// The most working memory (a dictionary, a window, a model) that one entry's
// decoder may take. An entry whose stream declares more is refused with 2
// before a byte of it is delivered.
const uint64_t DECODER_MEMORY_LIMIT = 256ull << 20;

// ZIP method numbers beyond stored and deflated.
const uint16_t METHOD_DEFLATE64 = 9;
const uint16_t METHOD_BZIP2 = 12;
const uint16_t METHOD_LZMA = 14;
const uint16_t METHOD_ZSTANDARD = 93;
const uint16_t METHOD_XZ = 95;
const uint16_t METHOD_PPMD = 98;

// The entry as a method's Start needs it.
struct DecoderSetup {
    uint64_t uncompressedSize;  // UINT64_MAX when unknown
    uint16_t flags;             // general-purpose flags
};

uint32_t StartBzip2(void** state);
DecodeStatus RunBzip2(void* state, const uint8_t** in, uint32_t* inLeft, uint8_t** out, uint32_t* outLeft);
void EndBzip2(void* state);

uint32_t StartLzma(void** state, const DecoderSetup& setup);  // the ZIP form: a header, then raw LZMA
uint32_t StartXz(void** state);
DecodeStatus RunLzma(void* state, const uint8_t** in, uint32_t* inLeft, uint8_t** out, uint32_t* outLeft);
void EndLzma(void* state);

uint32_t StartZstandard(void** state);
DecodeStatus RunZstandard(void* state, const uint8_t** in, uint32_t* inLeft, uint8_t** out, uint32_t* outLeft);
void EndZstandard(void* state);

uint32_t StartPpmd(void** state, const DecoderSetup& setup);
DecodeStatus RunPpmd(void* state, const uint8_t** in, uint32_t* inLeft, uint8_t** out, uint32_t* outLeft,
                     bool inputEnds);
void EndPpmd(void* state);

// The libraries' allocators take from the reader's heap, so that the
// fault-injection build can fail them too; a request above 4 GiB fails.
void* AllocateLibraryBlock(uint64_t size);
