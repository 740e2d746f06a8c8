// gzipbuilder.cpp -- assembles one gzip member: header with its optional
// parts, deflate data, CRC-32 and ISIZE trailer.
#include "support/gzipbuilder.h"

#include "support/bytes.h"

GzipBuilder& GzipBuilder::data(const std::string& bytes) { data_ = bytes; return *this; }
GzipBuilder& GzipBuilder::level(int deflateLevel) { level_ = deflateLevel; return *this; }
GzipBuilder& GzipBuilder::rawPayload(const std::string& bytes) { raw_ = bytes; return *this; }
GzipBuilder& GzipBuilder::method(uint8_t cm) { method_ = cm; return *this; }
GzipBuilder& GzipBuilder::mtime(uint32_t seconds) { mtime_ = seconds; return *this; }
GzipBuilder& GzipBuilder::xfl(uint8_t value) { xfl_ = value; return *this; }
GzipBuilder& GzipBuilder::os(uint8_t value) { os_ = value; return *this; }
GzipBuilder& GzipBuilder::text() { flg_ |= GZIP_FTEXT; return *this; }

GzipBuilder& GzipBuilder::extra(const std::string& bytes) {
  extra_ = bytes;
  flg_ |= GZIP_FEXTRA;
  return *this;
}

GzipBuilder& GzipBuilder::name(const std::string& bytes) {
  name_ = bytes;
  flg_ |= GZIP_FNAME;
  return *this;
}

GzipBuilder& GzipBuilder::comment(const std::string& bytes) {
  comment_ = bytes;
  flg_ |= GZIP_FCOMMENT;
  return *this;
}

GzipBuilder& GzipBuilder::headerCrc() { flg_ |= GZIP_FHCRC; return *this; }

GzipBuilder& GzipBuilder::headerCrcValue(uint16_t value) {
  headerCrc_ = value;
  flg_ |= GZIP_FHCRC;
  return *this;
}

GzipBuilder& GzipBuilder::flags(uint8_t flg) { forcedFlg_ = flg; return *this; }
GzipBuilder& GzipBuilder::crc(uint32_t value) { crc_ = value; return *this; }
GzipBuilder& GzipBuilder::isize(uint32_t value) { isize_ = value; return *this; }
GzipBuilder& GzipBuilder::trailerLength(size_t bytes) { trailerLength_ = bytes; return *this; }

std::string GzipBuilder::build(GzipLayout* layout) const {
  uint8_t flg = forcedFlg_.value_or(flg_);
  std::string gz;
  gz.push_back('\x1f'); // ID1
  gz.push_back('\x8b'); // ID2
  gz.push_back(static_cast<char>(method_));
  gz.push_back(static_cast<char>(flg));
  PutU32(gz, mtime_);
  gz.push_back(static_cast<char>(xfl_));
  gz.push_back(static_cast<char>(os_));
  // The optional parts are written when set, in the format's order; a
  // forced FLG does not remove them.
  if (flg_ & GZIP_FEXTRA) {
    PutU16(gz, static_cast<uint16_t>(extra_.size()));
    gz += extra_;
  }
  if (flg_ & GZIP_FNAME) gz += name_ + '\0';
  if (flg_ & GZIP_FCOMMENT) gz += comment_ + '\0';
  if (flg_ & GZIP_FHCRC) // the low 16 bits of the CRC-32 of the header so far
    PutU16(gz, headerCrc_.value_or(static_cast<uint16_t>(Crc32(gz) & 0xFFFF)));

  GzipLayout where;
  where.dataStart = static_cast<uint32_t>(gz.size());
  gz += raw_ ? *raw_ : Deflate(data_, level_);
  where.trailer = static_cast<uint32_t>(gz.size());

  std::string trailer;
  PutU32(trailer, crc_.value_or(Crc32(data_)));
  PutU32(trailer, isize_.value_or(static_cast<uint32_t>(data_.size())));
  gz += trailer.substr(0, trailerLength_ < 8 ? trailerLength_ : 8);

  if (layout) *layout = where;
  return gz;
}
