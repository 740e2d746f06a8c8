// gzipbuilder.h -- single-member gzip files built in memory for tests, with
// every header and trailer field settable and the trailer easy to cut short.
//
//   auto gz = GzipBuilder().data("hello").name("data.txt").mtime(0).build();
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Member header flag bits (FLG).
const uint8_t GZIP_FTEXT = 0x01;
const uint8_t GZIP_FHCRC = 0x02;
const uint8_t GZIP_FEXTRA = 0x04;
const uint8_t GZIP_FNAME = 0x08;
const uint8_t GZIP_FCOMMENT = 0x10;

// Where build() put the parts, as offsets into the returned bytes.
struct GzipLayout {
  uint32_t dataStart = 0; // first byte of the deflate data
  uint32_t trailer = 0;   // CRC-32, then ISIZE (may lie past the end when cut)
};

class GzipBuilder {
 public:
  // The member's plain contents; deflated at `level` unless a raw payload
  // is given.
  GzipBuilder& data(const std::string& bytes);
  GzipBuilder& level(int deflateLevel);
  // Deflate data written verbatim; CRC and ISIZE still describe data().
  GzipBuilder& rawPayload(const std::string& bytes);

  GzipBuilder& method(uint8_t cm);      // CM, 8 by default
  GzipBuilder& mtime(uint32_t seconds); // MTIME, 0 by default (no time)
  GzipBuilder& xfl(uint8_t value);
  GzipBuilder& os(uint8_t value);       // 3 (Unix) by default

  // Each of these sets its FLG bit; name and comment get their NUL.
  GzipBuilder& text();
  GzipBuilder& extra(const std::string& bytes);
  GzipBuilder& name(const std::string& bytes);
  GzipBuilder& comment(const std::string& bytes);
  GzipBuilder& headerCrc();
  GzipBuilder& headerCrcValue(uint16_t value); // FHCRC with a given value
  // FLG exactly as given, whatever parts were set (parts whose bit is
  // clear are still written, so a reader must skip or misread them).
  GzipBuilder& flags(uint8_t flg);

  // Trailer: CRC-32 and ISIZE, real unless overridden; `trailerLength`
  // keeps only that many of the 8 trailer bytes.
  GzipBuilder& crc(uint32_t value);
  GzipBuilder& isize(uint32_t value);
  GzipBuilder& trailerLength(size_t bytes);

  std::string build(GzipLayout* layout = nullptr) const;

 private:
  std::string data_;
  int level_ = 6;
  std::optional<std::string> raw_;
  uint8_t method_ = 8;
  uint32_t mtime_ = 0;
  uint8_t xfl_ = 0;
  uint8_t os_ = 3;
  uint8_t flg_ = 0;
  std::optional<uint8_t> forcedFlg_;
  std::string extra_, name_, comment_;
  std::optional<uint16_t> headerCrc_;
  std::optional<uint32_t> crc_, isize_;
  size_t trailerLength_ = 8;
};
