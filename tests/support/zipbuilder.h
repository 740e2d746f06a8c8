// zipbuilder.h -- ZIP archives built in memory for tests, with every field
// settable so that malformed archives are as easy to make as good ones.
//
//   auto zip = ZipBuilder().add("a.txt", "hello").build();
//   zip[zip.size() - 6] = 0xFF; // the central directory now starts past the end
//
// A default entry is deflated, carries its real CRC-32 and sizes, is stamped
// 2001-02-03 04:05:06 and made by MS-DOS (version 2.0, attributes 0x20).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/pkware.h"
#include "support/winzipaes.h"

// Host byte of the version-made-by field.
const uint8_t HOST_MSDOS = 0;
const uint8_t HOST_UNIX = 3;
const uint8_t HOST_NTFS = 11;
const uint8_t HOST_MACOS = 19;

// Compression method 99: WinZip AES, the real method in the 0x9901 field.
const uint16_t METHOD_WINZIP_AES = 99;

// General-purpose flag bits.
const uint16_t FLAG_ENCRYPTED = 0x0001;      // traditional PKWARE encryption
const uint16_t FLAG_DATA_DESCRIPTOR = 0x0008; // sizes and CRC follow the data
const uint16_t FLAG_UTF8_NAME = 0x0800;       // the name (and comment) are UTF-8

// Record signatures, as they stand in the archive.
const uint32_t LOCAL_HEADER_SIGNATURE = 0x04034b50;   // "PK\3\4"
const uint32_t CENTRAL_HEADER_SIGNATURE = 0x02014b50; // "PK\1\2"
const uint32_t END_RECORD_SIGNATURE = 0x06054b50;     // "PK\5\6"
const uint32_t DESCRIPTOR_SIGNATURE = 0x08074b50;     // "PK\7\8"
const uint32_t ZIP64_END_SIGNATURE = 0x06064b50;      // "PK\6\6"
const uint32_t ZIP64_LOCATOR_SIGNATURE = 0x07064b50;  // "PK\6\7"

// Fixed sizes of the records (before their variable parts).
const uint32_t LOCAL_HEADER_SIZE = 30;
const uint32_t CENTRAL_HEADER_SIZE = 46;
const uint32_t END_RECORD_SIZE = 22;
const uint32_t ZIP64_END_SIZE = 56;
const uint32_t ZIP64_LOCATOR_SIZE = 20;

// A generic extra-field block: 2-byte id, 2-byte data length, the data.
std::string ExtraBlock(uint16_t id, const std::string& data);

// The "UT" extended time stamp block (id 0x5455): a flags byte, then each
// value given, in the order modification, access, creation, as 32-bit Unix
// seconds. The data length is 1 + 4 per value given, whatever the flags say,
// so a block can claim more values than it holds.
std::string UtBlock(uint8_t flags, std::optional<uint32_t> mtime = std::nullopt,
                    std::optional<uint32_t> atime = std::nullopt,
                    std::optional<uint32_t> ctime = std::nullopt);

// The WinZip AES block (id 0x9901): vendor version (1 AE-1, 2 AE-2), "AE",
// strength (1 to 3), the method of the data before encryption.
std::string AesBlock(uint16_t vendorVersion, uint8_t strength, uint16_t method);

// The ZIP64 extended information block (id 0x0001): each value given, as
// 64 bits, in the order uncompressed size, compressed size, local header
// offset; then the disk number, as 32 bits.
std::string Zip64Block(std::optional<uint64_t> uncompressed, std::optional<uint64_t> compressed = std::nullopt,
                       std::optional<uint64_t> offset = std::nullopt,
                       std::optional<uint32_t> disk = std::nullopt);

// The NTFS block (id 0x000A): 4 reserved bytes, then attribute 1 of 24 bytes
// with the modification, access and creation FILETIMEs. `size` cuts the
// attribute (and the block) short.
std::string NtfsBlock(uint64_t mtime, uint64_t atime, uint64_t ctime, uint16_t size = 24);

// The old Info-ZIP Unix block (id 0x5855): access, then modification time,
// as 32-bit Unix seconds.
std::string OldUnixBlock(uint32_t atime, uint32_t mtime);

// The Info-ZIP Unicode Path block (id 0x7075): version, the CRC-32 of the
// stored name, then the UTF-8 name.
std::string UnicodePathBlock(const std::string& storedName, const std::string& utf8Name, uint8_t version = 1);

// Appends a value of 64 bits, low byte first.
void PutU64(std::string& out, uint64_t value);

// Where build() put each record, as offsets into the returned bytes (the
// prefix included). Offsets recorded inside the archive do not count the
// prefix: subtract `prefixLength` to compare with them.
struct ZipLayout {
  uint32_t prefixLength = 0;
  std::vector<uint32_t> localHeaders;   // "PK\3\4" of each entry
  std::vector<uint32_t> dataStarts;     // first payload byte of each entry
  std::vector<uint32_t> descriptors;    // data descriptor, or 0 when none
  std::vector<uint32_t> centralHeaders; // "PK\1\2" of each entry
  uint32_t centralDirectory = 0;        // first central header (or where it would be)
  uint32_t centralDirectorySize = 0;
  uint32_t endRecord = 0;               // "PK\5\6"
  uint32_t zip64End = 0;                // "PK\6\6", or 0 when none
  uint32_t zip64Locator = 0;            // "PK\6\7", or 0 when none
};

class ZipBuilder {
 public:
  struct Entry {
    std::string name;                 // bytes as stored; may hold NULs
    std::string data;                 // the plain contents
    uint16_t method = 8;              // 0 stored, 8 deflated; others store `data` as is
    int level = 6;                    // deflate level, -1 to 9
    uint16_t versionMadeBy = 20;      // host byte << 8 | version (2.0)
    uint16_t versionNeeded = 20;
    uint16_t flags = 0;               // bits 0 and 3 are added for password and descriptor
    uint16_t dosTime = DosStamp(2001, 2, 3, 4, 5, 6).time;
    uint16_t dosDate = DosStamp(2001, 2, 3, 4, 5, 6).date;
    uint32_t externalAttributes = 0x20;
    uint16_t internalAttributes = 0;
    std::string centralExtra;
    std::string localExtra;
    std::string comment;

    // Traditional PKWARE encryption of the payload with this password (an
    // empty password is a real, empty password). The check byte is the
    // CRC's high byte, or the DOS time's high byte with a data descriptor;
    // `checkByte` forces another.
    std::optional<std::string> password;
    std::optional<uint8_t> checkByte;

    // WinZip AES encryption with this password instead: method 99 on the
    // wire, `method` inside; the AES block leads both extra fields; an AE-2
    // entry records a CRC of 0 (unless `crc` says otherwise).
    std::optional<std::string> aesPassword;
    uint8_t aesStrength = 3;
    uint16_t aesVersion = 2;

    // Flag bit 3: the local header's CRC and sizes are 0 and a descriptor
    // (signature optional) follows the data with the central values.
    bool dataDescriptor = false;
    bool descriptorSignature = true;

    // Overrides for malformed archives. `crc`, `compressedSize` and
    // `uncompressedSize` apply to the central header, the descriptor and
    // (without a descriptor) the local header; the local* ones to the local
    // header alone and take precedence there.
    std::optional<uint32_t> crc;
    std::optional<uint32_t> compressedSize;
    std::optional<uint32_t> uncompressedSize;
    std::optional<uint32_t> localCrc;
    std::optional<uint32_t> localCompressedSize;
    std::optional<uint32_t> localUncompressedSize;
    std::optional<uint32_t> localHeaderOffset; // as recorded in the central header
    std::optional<uint16_t> centralNameLength;
    std::optional<uint16_t> localNameLength;
    std::optional<std::string> localName;       // the local header's name, when it differs
    std::optional<uint16_t> centralExtraLength;
    std::optional<uint16_t> commentLength;
    // Payload bytes written verbatim after the local header: no compression,
    // no encryption. The recorded compressed size is their length; CRC and
    // uncompressed size still come from `data` unless overridden.
    std::optional<std::string> rawPayload;
    // The data as `method` compressed them elsewhere (by a real tool, say):
    // taken instead of compressing `data`, then encrypted as usual.
    std::optional<std::string> compressed;
    // ZIP64: the central header holds all-ones sizes and offset, and a
    // ZIP64 block in front of `centralExtra` holds their values.
    bool zip64 = false;

    Entry() = default;
    Entry(std::string entryName, std::string contents, uint16_t entryMethod = 8)
        : name(std::move(entryName)), data(std::move(contents)), method(entryMethod) {}

    Entry& stamp(const DosStamp& s) { dosDate = s.date; dosTime = s.time; return *this; }
    Entry& madeBy(uint8_t host, uint8_t version = 20) {
      versionMadeBy = static_cast<uint16_t>(host << 8 | version);
      return *this;
    }
  };

  // Overrides of the end record's fields; unset ones take the true values.
  struct EndRecord {
    std::optional<uint16_t> thisDisk;
    std::optional<uint16_t> centralDirectoryDisk;
    std::optional<uint16_t> entriesOnDisk;
    std::optional<uint16_t> totalEntries;
    std::optional<uint32_t> centralDirectorySize;
    std::optional<uint32_t> centralDirectoryOffset;
    std::optional<uint16_t> commentLength;
  };

  ZipBuilder& add(const std::string& name, const std::string& data, uint16_t method = 8);
  ZipBuilder& add(const Entry& entry);
  // The last entry added, to adjust a field after add(name, data).
  Entry& back();
  Entry& entry(size_t index);
  const Entry& entry(size_t index) const;
  size_t count() const { return entries_.size(); }

  // ZIP64 end record and locator, written before the end record, whose
  // counts, size and offset then hold their all-ones values (unless end()
  // overrides them). Unset fields take the true values.
  struct Zip64End {
    std::optional<uint64_t> recordSize;  // counts from after its own field: 44 and the extensible data
    std::optional<uint32_t> thisDisk;
    std::optional<uint32_t> centralDirectoryDisk;
    std::optional<uint64_t> entriesOnDisk;
    std::optional<uint64_t> totalEntries;
    std::optional<uint64_t> centralDirectorySize;
    std::optional<uint64_t> centralDirectoryOffset;
    std::string extensible;
    // The locator's fields.
    std::optional<uint32_t> recordDisk;
    std::optional<uint64_t> recordOffset;
    std::optional<uint32_t> totalDisks;
  };
  ZipBuilder& zip64();
  Zip64End& end64() { return end64_; }

  // Bytes before the archive (a self-extractor stub); recorded offsets do
  // not count them, so a reader finds them as bytes before the archive.
  ZipBuilder& prefix(const std::string& bytes);
  ZipBuilder& comment(const std::string& bytes);
  // Bytes after the end record (and its comment).
  ZipBuilder& trailer(const std::string& bytes);
  EndRecord& end() { return end_; }

  std::string build(ZipLayout* layout = nullptr) const;

  // The payload of one entry as build() writes it (compressed, encrypted).
  static std::string Payload(const Entry& entry);

 private:
  std::vector<Entry> entries_;
  std::string prefix_;
  std::string comment_;
  std::string trailer_;
  EndRecord end_;
  bool zip64_ = false;
  Zip64End end64_;
};

// Methods beyond deflate, as the ZIP format numbers them.
const uint16_t METHOD_DEFLATE64 = 9;
const uint16_t METHOD_BZIP2 = 12;
const uint16_t METHOD_LZMA = 14;
const uint16_t METHOD_ZSTANDARD = 93;
const uint16_t METHOD_XZ = 95;
const uint16_t METHOD_PPMD = 98;
const uint16_t FLAG_LZMA_END_MARKER = 0x0002;

// An entry of one of those methods whose data are a stream that real tools
// made at build time (make_codec_streams.py, in bin/codecs): STEM.bin as
// that method stores it. An LZMA entry gets the ZIP form's 4-byte header
// and flag bit 1 (the stream ends in an end marker). The entry's data are
// empty when the streams are missing.
ZipBuilder::Entry MethodEntry(const std::string& name, uint16_t method, const std::string& stem);

// A ZIP64 archive of one stored entry, "huge.bin", of `size` bytes that the
// returned text leaves out: they belong at layout->dataStarts[0], and every
// record after them stands `size` bytes further on than in the text (its
// ZIP64 sizes and the ZIP64 end record's offsets say so). Written around a
// hole of `size` bytes (WriteSparseFile), it is an archive of any size that
// costs no disk.
std::string HugeStoredEntry(uint64_t size, ZipLayout* layout);
