// zipbuilder.cpp -- assembles ZIP archives from entries: local headers and
// payloads, the central directory, the end record, and whatever a test
// overrides on the way.
#include "support/zipbuilder.h"

#include "support/winfiles.h"

#include <stdexcept>

std::string ExtraBlock(uint16_t id, const std::string& data) {
  std::string block;
  PutU16(block, id);
  PutU16(block, static_cast<uint16_t>(data.size()));
  return block + data;
}

std::string UtBlock(uint8_t flags, std::optional<uint32_t> mtime,
                    std::optional<uint32_t> atime, std::optional<uint32_t> ctime) {
  std::string data(1, static_cast<char>(flags));
  for (const auto& value : {mtime, atime, ctime})
    if (value) PutU32(data, *value);
  return ExtraBlock(0x5455, data); // "UT"
}

std::string AesBlock(uint16_t vendorVersion, uint8_t strength, uint16_t method) {
  std::string data;
  PutU16(data, vendorVersion);
  data += "AE";
  data += static_cast<char>(strength);
  PutU16(data, method);
  return ExtraBlock(0x9901, data);
}

void PutU64(std::string& out, uint64_t value) {
  PutU32(out, static_cast<uint32_t>(value));
  PutU32(out, static_cast<uint32_t>(value >> 32));
}

std::string Zip64Block(std::optional<uint64_t> uncompressed, std::optional<uint64_t> compressed,
                       std::optional<uint64_t> offset, std::optional<uint32_t> disk) {
  std::string data;
  for (const auto& value : {uncompressed, compressed, offset})
    if (value) PutU64(data, *value);
  if (disk) PutU32(data, *disk);
  return ExtraBlock(0x0001, data);
}

std::string NtfsBlock(uint64_t mtime, uint64_t atime, uint64_t ctime, uint16_t size) {
  std::string times;
  for (uint64_t value : {mtime, atime, ctime}) PutU64(times, value);
  std::string data(4, '\0');  // reserved
  PutU16(data, 1);            // attribute 1: times
  PutU16(data, size);
  data += times.substr(0, size);
  return ExtraBlock(0x000A, data);
}

std::string OldUnixBlock(uint32_t atime, uint32_t mtime) {
  std::string data;
  PutU32(data, atime);
  PutU32(data, mtime);
  return ExtraBlock(0x5855, data);
}

std::string UnicodePathBlock(const std::string& storedName, const std::string& utf8Name, uint8_t version) {
  std::string data(1, static_cast<char>(version));
  PutU32(data, Crc32(storedName));
  return ExtraBlock(0x7075, data + utf8Name);
}

ZipBuilder& ZipBuilder::zip64() {
  zip64_ = true;
  return *this;
}

ZipBuilder& ZipBuilder::add(const std::string& name, const std::string& data, uint16_t method) {
  entries_.emplace_back(name, data, method);
  return *this;
}

ZipBuilder& ZipBuilder::add(const Entry& entry) {
  entries_.push_back(entry);
  return *this;
}

ZipBuilder::Entry& ZipBuilder::back() {
  if (entries_.empty()) throw std::logic_error("ZipBuilder::back() without entries");
  return entries_.back();
}

ZipBuilder::Entry& ZipBuilder::entry(size_t index) { return entries_.at(index); }
const ZipBuilder::Entry& ZipBuilder::entry(size_t index) const { return entries_.at(index); }

ZipBuilder& ZipBuilder::prefix(const std::string& bytes) {
  prefix_ = bytes;
  return *this;
}

ZipBuilder& ZipBuilder::comment(const std::string& bytes) {
  comment_ = bytes;
  return *this;
}

ZipBuilder& ZipBuilder::trailer(const std::string& bytes) {
  trailer_ = bytes;
  return *this;
}

static uint16_t EntryFlags(const ZipBuilder::Entry& e) {
  uint16_t flags = e.flags;
  if (e.password || e.aesPassword) flags |= FLAG_ENCRYPTED;
  if (e.dataDescriptor) flags |= FLAG_DATA_DESCRIPTOR;
  return flags;
}

// The check byte that a reader compares with the 12th decrypted header
// byte: with a data descriptor the CRC is not known when the header is
// written, so the DOS time's high byte stands in for it.
static uint8_t CheckByte(const ZipBuilder::Entry& e) {
  if (e.checkByte) return *e.checkByte;
  if (EntryFlags(e) & FLAG_DATA_DESCRIPTOR) return static_cast<uint8_t>(e.dosTime >> 8);
  return static_cast<uint8_t>(Crc32(e.data) >> 24);
}

std::string ZipBuilder::Payload(const Entry& e) {
  if (e.rawPayload) return *e.rawPayload;
  std::string payload = e.compressed ? *e.compressed : e.method == 8 ? Deflate(e.data, e.level) : e.data;
  if (e.password) payload = PkwareEncrypt(*e.password, payload, CheckByte(e));
  if (e.aesPassword) payload = WinZipAesEncrypt(*e.aesPassword, payload, e.aesStrength);
  return payload;
}

// What the headers record of an entry that may be AES-encrypted.
static uint16_t WireMethod(const ZipBuilder::Entry& e) {
  return e.aesPassword ? METHOD_WINZIP_AES : e.method;
}

static std::string WireExtra(const ZipBuilder::Entry& e, const std::string& extra) {
  return e.aesPassword ? AesBlock(e.aesVersion, e.aesStrength, e.method) + extra : extra;
}

static uint32_t RecordedCrc(const ZipBuilder::Entry& e) {
  if (e.crc) return *e.crc;
  return e.aesPassword && e.aesVersion == 2 ? 0 : Crc32(e.data);
}

std::string ZipBuilder::build(ZipLayout* layout) const {
  ZipLayout where;
  where.prefixLength = static_cast<uint32_t>(prefix_.size());
  std::string zip = prefix_;
  // Offsets recorded in the archive count from its first local header.
  auto here = [&] { return static_cast<uint32_t>(zip.size() - prefix_.size()); };

  struct Recorded {
    uint32_t crc, compressed, uncompressed, offset;
  };
  std::vector<Recorded> recorded;

  for (const Entry& e : entries_) {
    std::string payload = Payload(e);
    Recorded r;
    r.crc = RecordedCrc(e);
    r.compressed = e.compressedSize.value_or(static_cast<uint32_t>(payload.size()));
    r.uncompressed = e.uncompressedSize.value_or(static_cast<uint32_t>(e.data.size()));
    r.offset = e.localHeaderOffset.value_or(here());
    recorded.push_back(r);

    uint16_t flags = EntryFlags(e);
    bool descriptor = flags & FLAG_DATA_DESCRIPTOR;
    where.localHeaders.push_back(static_cast<uint32_t>(zip.size()));
    PutU32(zip, LOCAL_HEADER_SIGNATURE);
    PutU16(zip, e.versionNeeded);
    PutU16(zip, flags);
    PutU16(zip, WireMethod(e));
    PutU16(zip, e.dosTime);
    PutU16(zip, e.dosDate);
    PutU32(zip, e.localCrc.value_or(descriptor ? 0 : r.crc));
    PutU32(zip, e.localCompressedSize.value_or(descriptor ? 0 : r.compressed));
    PutU32(zip, e.localUncompressedSize.value_or(descriptor ? 0 : r.uncompressed));
    const std::string& localName = e.localName.value_or(e.name);
    PutU16(zip, e.localNameLength.value_or(static_cast<uint16_t>(localName.size())));
    std::string localExtra = WireExtra(e, e.localExtra);
    PutU16(zip, static_cast<uint16_t>(localExtra.size()));
    zip += localName;
    zip += localExtra;
    where.dataStarts.push_back(static_cast<uint32_t>(zip.size()));
    zip += payload;

    if (descriptor) {
      where.descriptors.push_back(static_cast<uint32_t>(zip.size()));
      if (e.descriptorSignature) PutU32(zip, DESCRIPTOR_SIGNATURE);
      PutU32(zip, r.crc);
      PutU32(zip, r.compressed);
      PutU32(zip, r.uncompressed);
    } else {
      where.descriptors.push_back(0);
    }
  }

  uint32_t cdOffset = here();
  where.centralDirectory = static_cast<uint32_t>(zip.size());
  for (size_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    const Recorded& r = recorded[i];
    where.centralHeaders.push_back(static_cast<uint32_t>(zip.size()));
    PutU32(zip, CENTRAL_HEADER_SIGNATURE);
    PutU16(zip, e.versionMadeBy);
    PutU16(zip, e.versionNeeded);
    PutU16(zip, EntryFlags(e));
    PutU16(zip, WireMethod(e));
    PutU16(zip, e.dosTime);
    PutU16(zip, e.dosDate);
    std::string extra = WireExtra(e, e.centralExtra);
    if (e.zip64) extra = Zip64Block(r.uncompressed, r.compressed, r.offset) + extra;
    PutU32(zip, r.crc);
    PutU32(zip, e.zip64 ? 0xFFFFFFFF : r.compressed);
    PutU32(zip, e.zip64 ? 0xFFFFFFFF : r.uncompressed);
    PutU16(zip, e.centralNameLength.value_or(static_cast<uint16_t>(e.name.size())));
    PutU16(zip, e.centralExtraLength.value_or(static_cast<uint16_t>(extra.size())));
    PutU16(zip, e.commentLength.value_or(static_cast<uint16_t>(e.comment.size())));
    PutU16(zip, 0); // disk number start
    PutU16(zip, e.internalAttributes);
    PutU32(zip, e.externalAttributes);
    PutU32(zip, e.zip64 ? 0xFFFFFFFF : r.offset);
    zip += e.name;
    zip += extra;
    zip += e.comment;
  }
  uint32_t cdSize = here() - cdOffset;
  where.centralDirectorySize = cdSize;

  uint16_t count = static_cast<uint16_t>(entries_.size());
  if (zip64_) {
    const Zip64End& z = end64_;
    uint32_t recordOffset = here();
    where.zip64End = static_cast<uint32_t>(zip.size());
    PutU32(zip, ZIP64_END_SIGNATURE);
    PutU64(zip, z.recordSize.value_or(44 + z.extensible.size()));
    PutU16(zip, 45);  // version made by
    PutU16(zip, 45);  // version needed
    PutU32(zip, z.thisDisk.value_or(0));
    PutU32(zip, z.centralDirectoryDisk.value_or(0));
    PutU64(zip, z.entriesOnDisk.value_or(entries_.size()));
    PutU64(zip, z.totalEntries.value_or(entries_.size()));
    PutU64(zip, z.centralDirectorySize.value_or(cdSize));
    PutU64(zip, z.centralDirectoryOffset.value_or(cdOffset));
    zip += z.extensible;
    where.zip64Locator = static_cast<uint32_t>(zip.size());
    PutU32(zip, ZIP64_LOCATOR_SIGNATURE);
    PutU32(zip, z.recordDisk.value_or(0));
    PutU64(zip, z.recordOffset.value_or(recordOffset));
    PutU32(zip, z.totalDisks.value_or(1));
    count = 0xFFFF;
    cdSize = 0xFFFFFFFF;
    cdOffset = 0xFFFFFFFF;
  }
  where.endRecord = static_cast<uint32_t>(zip.size());
  PutU32(zip, END_RECORD_SIGNATURE);
  PutU16(zip, end_.thisDisk.value_or(0));
  PutU16(zip, end_.centralDirectoryDisk.value_or(0));
  PutU16(zip, end_.entriesOnDisk.value_or(count));
  PutU16(zip, end_.totalEntries.value_or(count));
  PutU32(zip, end_.centralDirectorySize.value_or(cdSize));
  PutU32(zip, end_.centralDirectoryOffset.value_or(cdOffset));
  PutU16(zip, end_.commentLength.value_or(static_cast<uint16_t>(comment_.size())));
  zip += comment_;
  zip += trailer_;

  if (layout) *layout = where;
  return zip;
}

std::string HugeStoredEntry(uint64_t size, ZipLayout* layout) {
  ZipBuilder builder;
  builder.zip64();
  ZipBuilder::Entry e("huge.bin", "", 0);
  e.rawPayload = "";
  e.zip64 = true;
  builder.add(e);
  std::string bytes = builder.build(layout);
  // The ZIP64 block's uncompressed and compressed sizes.
  uint32_t block = layout->centralHeaders[0] + CENTRAL_HEADER_SIZE + 8 + 4;
  for (uint32_t field : {block, block + 8}) {
    PokeU32(bytes, field, static_cast<uint32_t>(size));
    PokeU32(bytes, field + 4, static_cast<uint32_t>(size >> 32));
  }
  // The central directory's offset and the ZIP64 end record's.
  for (uint32_t field : {layout->zip64End + 48, layout->zip64Locator + 8}) {
    uint64_t value = PeekU32(bytes, field) + size;
    PokeU32(bytes, field, static_cast<uint32_t>(value));
    PokeU32(bytes, field + 4, static_cast<uint32_t>(value >> 32));
  }
  return bytes;
}

ZipBuilder::Entry MethodEntry(const std::string& name, uint16_t method, const std::string& stem)
{
  const char* suffix = method == METHOD_DEFLATE64 ? ".d64"
                       : method == METHOD_BZIP2   ? ".bz2"
                       : method == METHOD_LZMA    ? ".lzma1"
                       : method == METHOD_ZSTANDARD ? ".zst"
                       : method == METHOD_XZ      ? ".xz"
                                                  : ".ppmd";
  std::string plain, stream;
  ReadWholeFile(BinPath("codecs/" + stem + ".bin"), plain);
  ReadWholeFile(BinPath("codecs/" + stem + suffix), stream);
  ZipBuilder::Entry e(name, plain, method);
  if (method == METHOD_LZMA) {
    stream = std::string("\x10\x02\x05\x00", 4) + stream;  // SDK 16.02, 5 bytes of properties
    e.flags |= FLAG_LZMA_END_MARKER;
  }
  e.compressed = stream;
  return e;
}
