// zipbuilder_test.cpp -- the ZIP builder puts every field, override and
// record where the format (and the layout it reports) says.
#include <gtest/gtest.h>

#include <functional>

#include "support/zipbuilder.h"

namespace {

// Offsets of fields inside the records.
const size_t LOCAL_FLAGS = 6, LOCAL_METHOD = 8, LOCAL_TIME = 10, LOCAL_DATE = 12,
             LOCAL_CRC = 14, LOCAL_COMPRESSED = 18, LOCAL_UNCOMPRESSED = 22,
             LOCAL_NAME_LENGTH = 26, LOCAL_EXTRA_LENGTH = 28;
const size_t CENTRAL_MADE_BY = 4, CENTRAL_FLAGS = 8, CENTRAL_METHOD = 10, CENTRAL_TIME = 12,
             CENTRAL_DATE = 14, CENTRAL_CRC = 16, CENTRAL_COMPRESSED = 20,
             CENTRAL_UNCOMPRESSED = 24, CENTRAL_NAME_LENGTH = 28, CENTRAL_EXTRA_LENGTH = 30,
             CENTRAL_COMMENT_LENGTH = 32, CENTRAL_INTERNAL = 36, CENTRAL_EXTERNAL = 38,
             CENTRAL_OFFSET = 42;
const size_t END_THIS_DISK = 4, END_CD_DISK = 6, END_ENTRIES_HERE = 8, END_ENTRIES = 10,
             END_CD_SIZE = 12, END_CD_OFFSET = 16, END_COMMENT_LENGTH = 20;

TEST(ZipBuilder, DefaultEntryIsDeflatedWithRealCrcAndStamp) {
  ZipLayout at;
  std::string zip = ZipBuilder().add("a.txt", "hello").build(&at);

  ASSERT_EQ(at.localHeaders.size(), 1u);
  EXPECT_EQ(PeekU32(zip, at.localHeaders[0]), LOCAL_HEADER_SIGNATURE);
  EXPECT_EQ(PeekU32(zip, at.centralHeaders[0]), CENTRAL_HEADER_SIGNATURE);
  EXPECT_EQ(PeekU32(zip, at.endRecord), END_RECORD_SIGNATURE);
  EXPECT_EQ(at.endRecord + END_RECORD_SIZE, zip.size());

  for (size_t header : {size_t(at.localHeaders[0]) + LOCAL_METHOD,
                        size_t(at.centralHeaders[0]) + CENTRAL_METHOD})
    EXPECT_EQ(PeekU16(zip, header), 8);
  EXPECT_EQ(PeekU32(zip, at.localHeaders[0] + LOCAL_CRC), 0x3610A686u); // CRC-32 of "hello"
  EXPECT_EQ(PeekU32(zip, at.centralHeaders[0] + CENTRAL_CRC), 0x3610A686u);
  // 2001-02-03 04:05:06: date (21 << 9 | 2 << 5 | 3), time (4 << 11 | 5 << 5 | 3).
  EXPECT_EQ(PeekU16(zip, at.centralHeaders[0] + CENTRAL_DATE), 0x2A43);
  EXPECT_EQ(PeekU16(zip, at.centralHeaders[0] + CENTRAL_TIME), 0x20A3);
  EXPECT_EQ(zip.substr(at.localHeaders[0] + LOCAL_HEADER_SIZE, 5), "a.txt");

  uint32_t compressed = PeekU32(zip, at.centralHeaders[0] + CENTRAL_COMPRESSED);
  EXPECT_EQ(at.dataStarts[0] + compressed, at.centralDirectory);
  std::string plain;
  ASSERT_TRUE(Inflate(zip.substr(at.dataStarts[0], compressed), plain));
  EXPECT_EQ(plain, "hello");

  EXPECT_EQ(PeekU16(zip, at.endRecord + END_ENTRIES), 1);
  EXPECT_EQ(PeekU32(zip, at.endRecord + END_CD_OFFSET), at.centralDirectory);
  EXPECT_EQ(PeekU32(zip, at.endRecord + END_CD_SIZE), at.endRecord - at.centralDirectory);
}

TEST(ZipBuilder, EntriesFollowEachOtherAndCentralHeadersMatchThem) {
  ZipLayout at;
  ZipBuilder b;
  b.add("one", "first", 0).add("two/", "", 0).add("three", std::string(70000, 'x'));
  std::string zip = b.build(&at);

  ASSERT_EQ(at.centralHeaders.size(), 3u);
  uint32_t next = at.centralDirectory;
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(b.entry(i).name);
    EXPECT_EQ(at.centralHeaders[i], next);
    EXPECT_EQ(PeekU32(zip, at.centralHeaders[i] + CENTRAL_OFFSET), at.localHeaders[i]);
    uint16_t nameLength = PeekU16(zip, at.centralHeaders[i] + CENTRAL_NAME_LENGTH);
    EXPECT_EQ(zip.substr(at.centralHeaders[i] + CENTRAL_HEADER_SIZE, nameLength), b.entry(i).name);
    next += CENTRAL_HEADER_SIZE + nameLength;
    if (i + 1 < 3) {
      uint32_t compressed = PeekU32(zip, at.localHeaders[i] + LOCAL_COMPRESSED);
      EXPECT_EQ(at.dataStarts[i] + compressed, at.localHeaders[i + 1]);
    }
  }
  EXPECT_EQ(next, at.endRecord);
  EXPECT_EQ(PeekU16(zip, at.endRecord + END_ENTRIES_HERE), 3);
}

TEST(ZipBuilder, PrefixIsNotCountedInRecordedOffsets) {
  ZipLayout at;
  std::string stub = "MZ" + std::string(98, '\x90');
  std::string zip = ZipBuilder().prefix(stub).add("a", "1").add("b", "2").build(&at);

  EXPECT_EQ(zip.substr(0, stub.size()), stub);
  EXPECT_EQ(at.prefixLength, stub.size());
  EXPECT_EQ(at.localHeaders[0], stub.size());
  for (size_t i = 0; i < 2; ++i)
    EXPECT_EQ(PeekU32(zip, at.centralHeaders[i] + CENTRAL_OFFSET),
              at.localHeaders[i] - at.prefixLength);
  EXPECT_EQ(PeekU32(zip, at.endRecord + END_CD_OFFSET), at.centralDirectory - at.prefixLength);
}

TEST(ZipBuilder, CommentsNamesAndTrailerKeepTheirBytes) {
  ZipLayout at;
  ZipBuilder b;
  b.add(std::string("a\0b", 3), "x").back().comment = "entry note";
  std::string zip = b.comment(std::string("arc\0hive", 8)).trailer("TAIL").build(&at);

  EXPECT_EQ(PeekU16(zip, at.localHeaders[0] + LOCAL_NAME_LENGTH), 3);
  EXPECT_EQ(zip.substr(at.localHeaders[0] + LOCAL_HEADER_SIZE, 3), std::string("a\0b", 3));
  EXPECT_EQ(PeekU16(zip, at.centralHeaders[0] + CENTRAL_COMMENT_LENGTH), 10);
  EXPECT_EQ(zip.substr(at.centralHeaders[0] + CENTRAL_HEADER_SIZE + 3, 10), "entry note");
  EXPECT_EQ(PeekU16(zip, at.endRecord + END_COMMENT_LENGTH), 8);
  EXPECT_EQ(zip.substr(at.endRecord + END_RECORD_SIZE), std::string("arc\0hiveTAIL", 12));
}

TEST(ZipBuilder, EntryFieldsReachTheirHeaders) {
  ZipLayout at;
  ZipBuilder::Entry e("dir/unix.txt", "data", 0);
  e.madeBy(HOST_UNIX, 30).stamp(DosStamp(1999, 12, 31, 23, 59, 58));
  e.versionNeeded = 10;
  e.flags = 0x0800;
  e.externalAttributes = 0x81A40000;
  e.internalAttributes = 1;
  e.centralExtra = ExtraBlock(0xCAFE, "central");
  e.localExtra = ExtraBlock(0xBEEF, "a longer local block");
  std::string zip = ZipBuilder().add(e).build(&at);

  uint32_t c = at.centralHeaders[0], l = at.localHeaders[0];
  EXPECT_EQ(PeekU16(zip, c + CENTRAL_MADE_BY), 0x031E);
  EXPECT_EQ(PeekU16(zip, c + CENTRAL_MADE_BY + 2), 10);
  EXPECT_EQ(PeekU16(zip, c + CENTRAL_FLAGS), 0x0800);
  EXPECT_EQ(PeekU16(zip, l + LOCAL_FLAGS), 0x0800);
  // 1999-12-31 23:59:58.
  EXPECT_EQ(PeekU16(zip, c + CENTRAL_DATE), (19 << 9) | (12 << 5) | 31);
  EXPECT_EQ(PeekU16(zip, l + LOCAL_TIME), (23 << 11) | (59 << 5) | 29);
  EXPECT_EQ(PeekU16(zip, l + LOCAL_DATE), PeekU16(zip, c + CENTRAL_DATE));
  EXPECT_EQ(PeekU32(zip, c + CENTRAL_EXTERNAL), 0x81A40000u);
  EXPECT_EQ(PeekU16(zip, c + CENTRAL_INTERNAL), 1);
  EXPECT_EQ(PeekU16(zip, c + CENTRAL_EXTRA_LENGTH), 11);
  EXPECT_EQ(zip.substr(c + CENTRAL_HEADER_SIZE + 12, 11), e.centralExtra);
  EXPECT_EQ(PeekU16(zip, l + LOCAL_EXTRA_LENGTH), 24);
  EXPECT_EQ(at.dataStarts[0], l + LOCAL_HEADER_SIZE + 12 + 24);
  EXPECT_EQ(zip.substr(at.dataStarts[0], 4), "data");
}

// Each override changes its one field and leaves the others true.
TEST(ZipBuilder, OverridesChangeOnlyTheirOwnField) {
  struct Case {
    const char* name;
    std::function<void(ZipBuilder&)> set;
    std::function<uint32_t(const std::string&, const ZipLayout&)> read;
    uint32_t expected;
  };
  auto central = [](size_t field, bool wide) {
    return [=](const std::string& z, const ZipLayout& at) -> uint32_t {
      return wide ? PeekU32(z, at.centralHeaders[0] + field) : PeekU16(z, at.centralHeaders[0] + field);
    };
  };
  auto local = [](size_t field, bool wide) {
    return [=](const std::string& z, const ZipLayout& at) -> uint32_t {
      return wide ? PeekU32(z, at.localHeaders[0] + field) : PeekU16(z, at.localHeaders[0] + field);
    };
  };
  auto end = [](size_t field, bool wide) {
    return [=](const std::string& z, const ZipLayout& at) -> uint32_t {
      return wide ? PeekU32(z, at.endRecord + field) : PeekU16(z, at.endRecord + field);
    };
  };
  const uint32_t realCrc = Crc32("hello");
  const Case cases[] = {
      {"crc reaches the central header", [](ZipBuilder& b) { b.back().crc = 0xDEADBEEF; },
       central(CENTRAL_CRC, true), 0xDEADBEEF},
      {"crc reaches the local header", [](ZipBuilder& b) { b.back().crc = 0xDEADBEEF; },
       local(LOCAL_CRC, true), 0xDEADBEEF},
      {"localCrc leaves the central CRC", [](ZipBuilder& b) { b.back().localCrc = 1; },
       central(CENTRAL_CRC, true), realCrc},
      {"localCrc reaches the local header", [](ZipBuilder& b) { b.back().localCrc = 1; },
       local(LOCAL_CRC, true), 1},
      {"compressedSize", [](ZipBuilder& b) { b.back().compressedSize = 999; },
       central(CENTRAL_COMPRESSED, true), 999},
      {"uncompressedSize", [](ZipBuilder& b) { b.back().uncompressedSize = 2; },
       central(CENTRAL_UNCOMPRESSED, true), 2},
      {"localUncompressedSize leaves the central size",
       [](ZipBuilder& b) { b.back().localUncompressedSize = 77; },
       central(CENTRAL_UNCOMPRESSED, true), 5},
      {"localCompressedSize", [](ZipBuilder& b) { b.back().localCompressedSize = 77; },
       local(LOCAL_COMPRESSED, true), 77},
      {"localHeaderOffset", [](ZipBuilder& b) { b.back().localHeaderOffset = 0x12345; },
       central(CENTRAL_OFFSET, true), 0x12345},
      {"centralNameLength", [](ZipBuilder& b) { b.back().centralNameLength = 300; },
       central(CENTRAL_NAME_LENGTH, false), 300},
      {"centralNameLength leaves the local one",
       [](ZipBuilder& b) { b.back().centralNameLength = 300; }, local(LOCAL_NAME_LENGTH, false), 5},
      {"localNameLength", [](ZipBuilder& b) { b.back().localNameLength = 0; },
       local(LOCAL_NAME_LENGTH, false), 0},
      {"centralExtraLength", [](ZipBuilder& b) { b.back().centralExtraLength = 40; },
       central(CENTRAL_EXTRA_LENGTH, false), 40},
      {"commentLength", [](ZipBuilder& b) { b.back().commentLength = 9; },
       central(CENTRAL_COMMENT_LENGTH, false), 9},
      {"end thisDisk", [](ZipBuilder& b) { b.end().thisDisk = 1; }, end(END_THIS_DISK, false), 1},
      {"end centralDirectoryDisk", [](ZipBuilder& b) { b.end().centralDirectoryDisk = 2; },
       end(END_CD_DISK, false), 2},
      {"end entriesOnDisk", [](ZipBuilder& b) { b.end().entriesOnDisk = 3; },
       end(END_ENTRIES_HERE, false), 3},
      {"end totalEntries", [](ZipBuilder& b) { b.end().totalEntries = 4; }, end(END_ENTRIES, false), 4},
      {"end totalEntries leaves entriesOnDisk", [](ZipBuilder& b) { b.end().totalEntries = 4; },
       end(END_ENTRIES_HERE, false), 1},
      {"end centralDirectorySize", [](ZipBuilder& b) { b.end().centralDirectorySize = 5000; },
       end(END_CD_SIZE, true), 5000},
      {"end centralDirectoryOffset", [](ZipBuilder& b) { b.end().centralDirectoryOffset = 0xFFFFFFFF; },
       end(END_CD_OFFSET, true), 0xFFFFFFFF},
      {"end commentLength", [](ZipBuilder& b) { b.end().commentLength = 100; },
       end(END_COMMENT_LENGTH, false), 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ZipBuilder b;
    b.add("a.txt", "hello", 0);
    c.set(b);
    ZipLayout at;
    std::string zip = b.build(&at);
    EXPECT_EQ(c.read(zip, at), c.expected);
    // The layout stays true to the bytes whatever was overridden.
    EXPECT_EQ(PeekU32(zip, at.centralHeaders[0]), CENTRAL_HEADER_SIGNATURE);
    EXPECT_EQ(PeekU32(zip, at.endRecord), END_RECORD_SIGNATURE);
  }
}

TEST(ZipBuilder, RawPayloadAndUnknownMethodsAreWrittenVerbatim) {
  ZipLayout at;
  ZipBuilder b;
  ZipBuilder::Entry raw("raw", "the plain data");
  raw.rawPayload = std::string("\x01\x02\x03", 3);
  b.add(raw).add("method12", "not really bzip2", 12);
  std::string zip = b.build(&at);

  EXPECT_EQ(zip.substr(at.dataStarts[0], 3), *raw.rawPayload);
  EXPECT_EQ(PeekU32(zip, at.centralHeaders[0] + CENTRAL_COMPRESSED), 3u);
  EXPECT_EQ(PeekU32(zip, at.centralHeaders[0] + CENTRAL_UNCOMPRESSED), 14u);
  EXPECT_EQ(PeekU32(zip, at.centralHeaders[0] + CENTRAL_CRC), Crc32("the plain data"));

  EXPECT_EQ(PeekU16(zip, at.centralHeaders[1] + CENTRAL_METHOD), 12);
  EXPECT_EQ(zip.substr(at.dataStarts[1], 16), "not really bzip2");
}

TEST(ZipBuilder, DataDescriptorFollowsTheDataAndZeroesTheLocalFields) {
  for (bool signature : {true, false}) {
    SCOPED_TRACE(signature ? "with signature" : "without signature");
    ZipLayout at;
    ZipBuilder b;
    ZipBuilder::Entry e("late.txt", std::string(3000, 'z'));
    e.dataDescriptor = true;
    e.descriptorSignature = signature;
    b.add(e).add("next", "n", 0);
    std::string zip = b.build(&at);

    uint32_t l = at.localHeaders[0], c = at.centralHeaders[0];
    EXPECT_EQ(PeekU16(zip, l + LOCAL_FLAGS), FLAG_DATA_DESCRIPTOR);
    EXPECT_EQ(PeekU16(zip, c + CENTRAL_FLAGS), FLAG_DATA_DESCRIPTOR);
    EXPECT_EQ(PeekU32(zip, l + LOCAL_CRC), 0u);
    EXPECT_EQ(PeekU32(zip, l + LOCAL_COMPRESSED), 0u);
    EXPECT_EQ(PeekU32(zip, l + LOCAL_UNCOMPRESSED), 0u);

    uint32_t compressed = PeekU32(zip, c + CENTRAL_COMPRESSED);
    uint32_t d = at.descriptors[0];
    EXPECT_EQ(d, at.dataStarts[0] + compressed);
    size_t fields = d;
    if (signature) {
      EXPECT_EQ(PeekU32(zip, d), DESCRIPTOR_SIGNATURE);
      fields += 4;
    }
    EXPECT_EQ(PeekU32(zip, fields), Crc32(e.data));
    EXPECT_EQ(PeekU32(zip, fields + 4), compressed);
    EXPECT_EQ(PeekU32(zip, fields + 8), 3000u);
    EXPECT_EQ(at.localHeaders[1], fields + 12);
    EXPECT_EQ(at.descriptors[1], 0u);
  }
}

// Decrypting the payload gives the 12-byte header, whose last byte is the
// check byte a reader compares, then the stored or deflated data.
TEST(ZipBuilder, EncryptedPayloadCarriesTheRightCheckByte) {
  struct Case {
    const char* name;
    uint16_t method;
    bool descriptor;
  } cases[] = {{"stored", 0, false}, {"deflated", 8, false},
               {"stored with descriptor", 0, true}, {"deflated with descriptor", 8, true}};
  const std::string data = "attack at dawn, attack at dawn, attack at dawn";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ZipBuilder::Entry e("s", data, c.method);
    e.password = "pass word";
    e.dataDescriptor = c.descriptor;
    e.stamp(DosStamp(2015, 3, 4, 17, 30, 0)); // time high byte 0x8B
    ZipLayout at;
    std::string zip = ZipBuilder().add(e).build(&at);

    uint16_t flags = PeekU16(zip, at.centralHeaders[0] + CENTRAL_FLAGS);
    EXPECT_EQ(flags & FLAG_ENCRYPTED, FLAG_ENCRYPTED);
    uint32_t compressed = PeekU32(zip, at.centralHeaders[0] + CENTRAL_COMPRESSED);
    std::string plain = PkwareDecrypt("pass word", zip.substr(at.dataStarts[0], compressed));
    ASSERT_GE(plain.size(), 12u);
    uint8_t expectedCheck = c.descriptor ? 0x8B : static_cast<uint8_t>(Crc32(data) >> 24);
    EXPECT_EQ(static_cast<uint8_t>(plain[11]), expectedCheck);
    std::string body = plain.substr(12);
    if (c.method == 8) {
      ASSERT_TRUE(Inflate(plain.substr(12), body));
    }
    EXPECT_EQ(body, data);
  }
}

TEST(ZipBuilder, ForcedCheckByteAndEmptyPassword) {
  ZipBuilder::Entry e("s", "abc", 0);
  e.password = "";
  e.checkByte = 0x42;
  ZipLayout at;
  std::string zip = ZipBuilder().add(e).build(&at);
  std::string plain = PkwareDecrypt("", zip.substr(at.dataStarts[0], 15));
  EXPECT_EQ(plain[11], 0x42);
  EXPECT_EQ(plain.substr(12), "abc");
  // An empty password still encrypts: the keys start from their initial values.
  EXPECT_NE(zip.substr(at.dataStarts[0] + 12, 3), "abc");
}

TEST(PkwareEncrypt, RoundTripsAndDependsOnThePassword) {
  std::string plain(40000, '\0');
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<char>(i * 31 + i / 256);
  std::string cipher = PkwareEncrypt("secret", plain, 0xA5);
  ASSERT_EQ(cipher.size(), plain.size() + 12);
  std::string back = PkwareDecrypt("secret", cipher);
  EXPECT_EQ(static_cast<uint8_t>(back[11]), 0xA5);
  EXPECT_TRUE(back.substr(12) == plain);
  EXPECT_FALSE(PkwareDecrypt("Secret", cipher).substr(12) == plain);
}

TEST(ExtraBlocks, UtBlockHoldsOneFlagByteAndEachValueGiven) {
  struct Case {
    const char* name;
    std::string block;
    uint16_t length;
  } cases[] = {
      {"mtime only", UtBlock(1, 0x11223344), 5},
      {"mtime and atime", UtBlock(3, 0x11223344, 0x55667788), 9},
      {"all three", UtBlock(7, 0x11223344, 0x55667788, 0x99AABBCC), 13},
      {"flags claim three, one given", UtBlock(7, 0x11223344), 5},
      {"flags only", UtBlock(1), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.block.size(), 4u + c.length);
    EXPECT_EQ(c.block.substr(0, 2), "UT");
    EXPECT_EQ(PeekU16(c.block, 2), c.length);
    const uint32_t values[] = {0x11223344, 0x55667788, 0x99AABBCC};
    for (size_t v = 0; 5 + 4 * v + 4 <= c.block.size(); ++v)
      EXPECT_EQ(PeekU32(c.block, 5 + 4 * v), values[v]);
  }
  EXPECT_EQ(UtBlock(7, 1)[4], 7);
  EXPECT_EQ(ExtraBlock(0x000A, "xy"), std::string("\x0A\x00\x02\x00xy", 6));
}

TEST(DosStampWords, PackFieldsWithoutRangeChecks) {
  DosStamp s(2107, 12, 31, 23, 59, 59); // the last stamp the format holds
  EXPECT_EQ(s.date, 0xFF9F);
  EXPECT_EQ(s.time, 0xBF7D);
  DosStamp zero(1980, 0, 0, 0, 0, 0);
  EXPECT_EQ(zero.date, 0);
  EXPECT_EQ(zero.time, 0);
  EXPECT_EQ(DosStamp::Raw(0x1234, 0x5678).time, 0x5678);
}

} // namespace
