// gzipbuilder_test.cpp -- the gzip builder writes the member header, data and
// trailer the format describes, and breaks them when asked.
#include <gtest/gtest.h>

#include "support/bytes.h"
#include "support/gzipbuilder.h"

namespace {

TEST(GzipBuilder, PlainMemberHasTheTenByteHeaderAndTrailer) {
  GzipLayout at;
  std::string gz = GzipBuilder().data("hello").build(&at);
  EXPECT_EQ(gz.substr(0, 4), std::string("\x1f\x8b\x08\x00", 4));
  EXPECT_EQ(PeekU32(gz, 4), 0u); // no MTIME
  EXPECT_EQ(gz[9], 3);           // OS: Unix
  EXPECT_EQ(at.dataStart, 10u);
  std::string plain;
  ASSERT_TRUE(Inflate(gz.substr(at.dataStart, at.trailer - at.dataStart), plain));
  EXPECT_EQ(plain, "hello");
  EXPECT_EQ(at.trailer + 8, gz.size());
  EXPECT_EQ(PeekU32(gz, at.trailer), 0x3610A686u);
  EXPECT_EQ(PeekU32(gz, at.trailer + 4), 5u);
}

TEST(GzipBuilder, OptionalPartsFollowInTheFormatsOrder) {
  GzipLayout at;
  std::string extra("AB\x02\x00xy", 6);
  std::string gz = GzipBuilder()
                       .data("payload")
                       .mtime(0x5F5E1000)
                       .xfl(2)
                       .os(11)
                       .text()
                       .comment("note")
                       .name("data.txt")
                       .extra(extra)
                       .headerCrc()
                       .build(&at);
  EXPECT_EQ(static_cast<uint8_t>(gz[3]),
            GZIP_FTEXT | GZIP_FHCRC | GZIP_FEXTRA | GZIP_FNAME | GZIP_FCOMMENT);
  EXPECT_EQ(PeekU32(gz, 4), 0x5F5E1000u);
  EXPECT_EQ(gz[8], 2);
  EXPECT_EQ(gz[9], 11);
  EXPECT_EQ(PeekU16(gz, 10), 6);
  EXPECT_EQ(gz.substr(12, 6), extra);
  EXPECT_EQ(gz.substr(18, 9), std::string("data.txt\0", 9));
  EXPECT_EQ(gz.substr(27, 5), std::string("note\0", 5));
  EXPECT_EQ(PeekU16(gz, 32), Crc32(gz.substr(0, 32)) & 0xFFFF);
  EXPECT_EQ(at.dataStart, 34u);
}

TEST(GzipBuilder, TrailerAndFlagsCanBeBroken) {
  struct Case {
    const char* name;
    GzipBuilder builder;
    size_t trailerBytes;
    uint32_t crc, isize;
    uint8_t flg;
  } cases[] = {
      {"crc override", GzipBuilder().data("abc").crc(0x01020304), 8, 0x01020304, 3, 0},
      {"isize override", GzipBuilder().data("abc").isize(1u << 31), 8, Crc32("abc"), 1u << 31, 0},
      {"trailer cut to 3 bytes", GzipBuilder().data("abc").trailerLength(3), 3, 0, 0, 0},
      {"no trailer", GzipBuilder().data("abc").trailerLength(0), 0, 0, 0, 0},
      {"FLG forced, name still written", GzipBuilder().data("abc").name("n").flags(0), 8,
       Crc32("abc"), 3, 0},
      {"header CRC value", GzipBuilder().data("abc").headerCrcValue(0xBEEF), 8, Crc32("abc"), 3,
       GZIP_FHCRC},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GzipLayout at;
    std::string gz = c.builder.build(&at);
    EXPECT_EQ(gz.size(), at.trailer + c.trailerBytes);
    EXPECT_EQ(static_cast<uint8_t>(gz[3]), c.flg);
    if (c.trailerBytes == 8) {
      EXPECT_EQ(PeekU32(gz, at.trailer), c.crc);
      EXPECT_EQ(PeekU32(gz, at.trailer + 4), c.isize);
    }
  }
  std::string named = GzipBuilder().data("abc").name("n").flags(0).build();
  EXPECT_EQ(named.substr(10, 2), std::string("n\0", 2));
  EXPECT_EQ(PeekU16(GzipBuilder().headerCrcValue(0xBEEF).build(), 10), 0xBEEF);
}

TEST(GzipBuilder, RawPayloadIsWrittenVerbatim) {
  GzipLayout at;
  std::string gz = GzipBuilder().data("expected").rawPayload(std::string("\x03\x00junk", 6)).method(9).build(&at);
  EXPECT_EQ(gz[2], 9);
  EXPECT_EQ(gz.substr(at.dataStart, 6), std::string("\x03\x00junk", 6));
  EXPECT_EQ(PeekU32(gz, at.trailer), Crc32("expected"));
}

} // namespace
