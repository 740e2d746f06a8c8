// codecs_test.cpp -- the compression libraries built for the newer methods
// (cmake/thirdparty.cmake) decode what the native tools made of one source
// file at build time (make_codec_streams.py): libbz2, liblzma (an .xz
// stream, and raw LZMA1 after its five property bytes as method 14 holds
// it), libzstd, and 7-Zip's PPMd var. I rev. 1 decoder on the data of a
// ZIP entry of method 98. Each must end exactly at the end of its stream,
// and a stream cut short by one byte must not.
#include <gtest/gtest.h>

#include <bzlib.h>
#include <lzma.h>
#include <zstd.h>
#include "Ppmd8.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const char* const DIR = "codecs/";

// libbz2 is built without its stdio layer and reports a broken internal
// invariant here instead; none may occur while decoding.
int bzip2InternalError = 0;

std::string readFile(const std::string& name) {
  std::ifstream in(DIR + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// What a decoder made of a stream, and whether it ended exactly: its end
// found, with every input byte consumed.
struct Decoded {
  std::string data;
  bool ended = false;
};

const size_t CHUNK = 1 << 16;

Decoded bunzip2(const std::string& in, size_t) {
  Decoded d;
  bz_stream s{};
  if (BZ2_bzDecompressInit(&s, 0, 0) != BZ_OK) return d;
  s.next_in = const_cast<char*>(in.data());
  s.avail_in = static_cast<unsigned>(in.size());
  std::vector<char> out(CHUNK);
  int rc;
  do {
    s.next_out = out.data();
    s.avail_out = static_cast<unsigned>(out.size());
    rc = BZ2_bzDecompress(&s);
    d.data.append(out.data(), out.size() - s.avail_out);
  } while (rc == BZ_OK && (s.avail_in > 0 || s.avail_out == 0));
  d.ended = rc == BZ_STREAM_END && s.avail_in == 0;
  BZ2_bzDecompressEnd(&s);
  return d;
}

// lzmaRun: runs a liblzma decoder over the whole input, told that no more
// follows.
Decoded lzmaRun(lzma_stream& s, const std::string& in) {
  Decoded d;
  s.next_in = reinterpret_cast<const uint8_t*>(in.data());
  s.avail_in = in.size();
  std::vector<uint8_t> out(CHUNK);
  lzma_ret rc;
  do {
    s.next_out = out.data();
    s.avail_out = out.size();
    rc = lzma_code(&s, LZMA_FINISH);
    d.data.append(reinterpret_cast<char*>(out.data()), out.size() - s.avail_out);
  } while (rc == LZMA_OK);
  d.ended = rc == LZMA_STREAM_END && s.avail_in == 0;
  lzma_end(&s);
  return d;
}

Decoded unxz(const std::string& in, size_t) {
  lzma_stream s = LZMA_STREAM_INIT;
  if (lzma_stream_decoder(&s, UINT64_MAX, 0) != LZMA_OK) return {};
  return lzmaRun(s, in);
}

// The five property bytes (lc/lp/pb, then the dictionary size) come first.
Decoded unlzma1(const std::string& in, size_t) {
  const size_t PROPERTIES = 5;
  if (in.size() < PROPERTIES) return {};
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_properties_decode(&filters[0], nullptr,
                             reinterpret_cast<const uint8_t*>(in.data()), PROPERTIES) != LZMA_OK)
    return {};
  lzma_stream s = LZMA_STREAM_INIT;
  lzma_ret rc = lzma_raw_decoder(&s, filters);
  free(filters[0].options);
  if (rc != LZMA_OK) return {};
  return lzmaRun(s, in.substr(PROPERTIES));
}

Decoded unzstd(const std::string& in, size_t) {
  Decoded d;
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  ZSTD_inBuffer src{in.data(), in.size(), 0};
  std::vector<char> out(CHUNK);
  size_t rc;
  do {
    ZSTD_outBuffer dst{out.data(), out.size(), 0};
    rc = ZSTD_decompressStream(dctx, &dst, &src);
    if (ZSTD_isError(rc)) break;
    d.data.append(out.data(), dst.pos);
    if (src.pos == src.size && dst.pos < dst.size) break;  // the input ran out
  } while (rc != 0);
  d.ended = rc == 0 && src.pos == src.size;
  ZSTD_freeDCtx(dctx);
  return d;
}

// PPMd in a ZIP entry: a 16-bit little-endian word (model order - 1 in bits
// 0-3, memory in MiB - 1 in bits 4-11, restoration method in bits 12-15),
// then the range-coded symbols; the end marker follows the entry's bytes.
struct ByteReader {
  IByteIn vt;  // first, so that the decoder's pointer is the reader's
  const unsigned char* next;
  const unsigned char* end;
  bool overrun;
};

Byte readByte(IByteInPtr p) {
  auto* r = reinterpret_cast<ByteReader*>(const_cast<IByteIn*>(p));
  if (r->next == r->end) {
    r->overrun = true;
    return 0;
  }
  return *r->next++;
}

void* ppmdAlloc(ISzAllocPtr, size_t size) { return malloc(size); }
void ppmdFree(ISzAllocPtr, void* address) { free(address); }
const ISzAlloc PPMD_ALLOC = {ppmdAlloc, ppmdFree};

Decoded unppmd8(const std::string& in, size_t size) {
  Decoded d;
  if (in.size() < 2) return d;
  unsigned word = static_cast<unsigned char>(in[0]) | static_cast<unsigned char>(in[1]) << 8;
  unsigned order = (word & 0xF) + 1, megabytes = ((word >> 4) & 0xFF) + 1, restore = word >> 12;
  if (order < PPMD8_MIN_ORDER || restore > PPMD8_RESTORE_METHOD_CUT_OFF) return d;
  CPpmd8 ppmd;
  Ppmd8_Construct(&ppmd);
  if (!Ppmd8_Alloc(&ppmd, megabytes << 20, &PPMD_ALLOC)) return d;
  auto* bytes = reinterpret_cast<const unsigned char*>(in.data());
  ByteReader reader{{readByte}, bytes + 2, bytes + in.size(), false};
  ppmd.Stream.In = &reader.vt;
  if (Ppmd8_Init_RangeDec(&ppmd)) {
    Ppmd8_Init(&ppmd, order, restore);
    int symbol = 0;
    while (d.data.size() < size && (symbol = Ppmd8_DecodeSymbol(&ppmd)) >= 0)
      d.data.push_back(static_cast<char>(symbol));
    d.ended = d.data.size() == size && Ppmd8_DecodeSymbol(&ppmd) == PPMD8_SYM_END &&
              Ppmd8_RangeDec_IsFinishedOK(&ppmd) && !reader.overrun && reader.next == reader.end;
  }
  Ppmd8_Free(&ppmd, &PPMD_ALLOC);
  return d;
}

}  // namespace

extern "C" void bz_internal_error(int code) { bzip2InternalError = code; }

TEST(Codecs, LibrariesDecodeTheNativeToolsStreams) {
  const std::string plain = readFile("plain.bin");
  ASSERT_GT(plain.size(), 100000u) << "the streams were not made (make_codec_streams.py)";
  const struct {
    const char* file;
    Decoded (*decode)(const std::string&, size_t);
  } cases[] = {
      {"plain.bz2", bunzip2}, {"plain.xz", unxz},     {"plain.lzma1", unlzma1},
      {"plain.zst", unzstd},  {"plain.ppmd", unppmd8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string stream = readFile(c.file);
    ASSERT_FALSE(stream.empty());
    Decoded whole = c.decode(stream, plain.size());
    EXPECT_TRUE(whole.ended);
    EXPECT_EQ(whole.data.size(), plain.size());
    EXPECT_TRUE(whole.data == plain) << "the decoded bytes differ from the source";
    Decoded cut = c.decode(stream.substr(0, stream.size() - 1), plain.size());
    EXPECT_FALSE(cut.ended) << "a stream one byte short ended as if whole";
  }
  EXPECT_EQ(bzip2InternalError, 0);
}
