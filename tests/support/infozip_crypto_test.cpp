// infozip_crypto_test.cpp -- our PKWARE decryption, written from the
// published algorithm, opens what Info-ZIP's zip -P encrypted: each entry's
// check byte matches and its data equals the source file.
#include <gtest/gtest.h>

#include "support/bytes.h"
#include "support/manifest.h"
#include "support/winfiles.h"
#include "support/zipbuilder.h"

namespace {

// Just enough of a ZIP reader to find each entry's data: the end record at
// the tail (Info-ZIP writes no archive comment here), then the central
// directory for the local offsets, which hold sizes even when local headers
// do not.
struct RawEntry {
  std::string name;
  uint16_t flags, method, dosTime;
  uint32_t crc, compressedSize;
  std::string payload;
};

std::vector<RawEntry> ReadRawEntries(const std::string& zip) {
  std::vector<RawEntry> entries;
  if (zip.size() < END_RECORD_SIZE) return entries;
  size_t end = zip.size() - END_RECORD_SIZE;
  if (PeekU32(zip, end) != END_RECORD_SIGNATURE) return entries;
  size_t count = PeekU16(zip, end + 10);
  size_t at = PeekU32(zip, end + 16);
  for (size_t i = 0; i < count; ++i) {
    if (PeekU32(zip, at) != CENTRAL_HEADER_SIGNATURE) return {};
    RawEntry e;
    e.flags = PeekU16(zip, at + 8);
    e.method = PeekU16(zip, at + 10);
    e.dosTime = PeekU16(zip, at + 12);
    e.crc = PeekU32(zip, at + 16);
    e.compressedSize = PeekU32(zip, at + 20);
    uint16_t nameLength = PeekU16(zip, at + 28);
    e.name = zip.substr(at + CENTRAL_HEADER_SIZE, nameLength);
    size_t local = PeekU32(zip, at + 42);
    if (PeekU32(zip, local) != LOCAL_HEADER_SIGNATURE) return {};
    size_t data = local + LOCAL_HEADER_SIZE + PeekU16(zip, local + 26) + PeekU16(zip, local + 28);
    if (data > zip.size() || e.compressedSize > zip.size() - data) return {};
    e.payload = zip.substr(data, e.compressedSize);
    entries.push_back(e);
    at += CENTRAL_HEADER_SIZE + nameLength + PeekU16(zip, at + 30) + PeekU16(zip, at + 32);
  }
  return entries;
}

TEST(PkwareVsInfoZip, PkwareDecryptOpensEveryEntryOfZipMinusP) {
  for (const char* file : {"zip_encrypted.zip", "zip_encrypted_stored.zip"}) {
    SCOPED_TRACE(file);
    std::vector<ManifestRow> rows = LoadManifest(InteropPath(std::string(file) + ".manifest"));
    std::vector<RawEntry> entries = ReadRawEntries(ReadWholeFile(InteropPath(file)));
    ASSERT_FALSE(entries.empty()) << "cannot read " << InteropPath(file);
    ASSERT_EQ(entries.size(), rows.size());

    size_t encrypted = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
      const RawEntry& e = entries[i];
      SCOPED_TRACE(e.name);
      ASSERT_EQ(e.name, rows[i].name);
      if (!(e.flags & FLAG_ENCRYPTED)) continue; // directories
      ++encrypted;
      std::string plain = PkwareDecrypt("secret", e.payload);
      ASSERT_GE(plain.size(), 12u);
      // Info-ZIP writes data descriptors for encrypted entries, so its check
      // byte is the DOS time's high byte; without one it is the CRC's.
      uint8_t check = (e.flags & FLAG_DATA_DESCRIPTOR) ? static_cast<uint8_t>(e.dosTime >> 8)
                                                       : static_cast<uint8_t>(e.crc >> 24);
      EXPECT_EQ(static_cast<uint8_t>(plain[11]), check);

      std::string data = plain.substr(12);
      if (e.method == 8) {
        ASSERT_TRUE(Inflate(plain.substr(12), data));
      } else {
        ASSERT_EQ(e.method, 0);
      }
      EXPECT_EQ(Crc32(data), e.crc);
      EXPECT_TRUE(data == ReadWholeFile(InteropPath(rows[i].source)))
          << "decrypted " << data.size() << " bytes differ from " << rows[i].source;
    }
    EXPECT_GE(encrypted, 6u);
  }
}

} // namespace
