// inflate64.h -- decodes Deflate64 data (ZIP method 9): Deflate with a
// 64 KiB window, length code 285 taking 16 extra bits (lengths 3 to 65,538)
// and distance codes 30 and 31 (distances up to 65,536).
//
// Memory: one block from AllocateBlock of about 78 KiB (sizeof(Inflate64)
// is 79,968 bytes in the 32- and the 64-bit build): the 64 KiB window, the
// literal/length table (2,536 entries of 4 bytes), the distance table (768),
// the code length table (128) and the 320 code lengths of a dynamic block.
// Nothing else is allocated; the stack holds about 1.2 KiB while a dynamic
// block's tables are built.
#pragma once

#include <stdint.h>

struct Inflate64;  // opaque

const int INFLATE64_MORE = 0;   // all input used or the output full: call again
const int INFLATE64_ENDED = 1;  // the final block ended: *in stands right after its last whole byte
const int INFLATE64_BAD = 2;    // not valid Deflate64 data

// A new decoder at the start of a stream; null when memory cannot be had.
Inflate64* Inflate64Start();

// Decodes from *in (*inLeft bytes) into *out (*outLeft bytes), advancing
// both pointers and decreasing both counts. Any split of the input and the
// output over calls gives the same bytes. The input is consumed as far as
// it is needed and no further: after ENDED, the bytes that follow the final
// block are left unconsumed (only the bits of the last partial byte are
// taken). ENDED and BAD are final: later calls return them again and move
// nothing. The output room past what a call delivers may be written over
// (a match is copied in 8-byte steps); its content there means nothing.
int Inflate64Run(Inflate64* state, const uint8_t** in, uint32_t* inLeft, uint8_t** out, uint32_t* outLeft);

// Frees the decoder; null is ignored.
void Inflate64End(Inflate64* state);
