// bytes.cpp -- little-endian fields, CRC-32, raw deflate and DOS stamps for
// the archive builders.
#include "support/bytes.h"

#include <zlib.h>

void PutU16(std::string& out, uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}

void PutU32(std::string& out, uint32_t value) {
  PutU16(out, static_cast<uint16_t>(value & 0xFFFF));
  PutU16(out, static_cast<uint16_t>(value >> 16));
}

void PokeU16(std::string& bytes, size_t offset, uint16_t value) {
  bytes[offset] = static_cast<char>(value & 0xFF);
  bytes[offset + 1] = static_cast<char>(value >> 8);
}

void PokeU32(std::string& bytes, size_t offset, uint32_t value) {
  PokeU16(bytes, offset, static_cast<uint16_t>(value & 0xFFFF));
  PokeU16(bytes, offset + 2, static_cast<uint16_t>(value >> 16));
}

static uint32_t ByteAt(const std::string& bytes, size_t offset) {
  return offset < bytes.size() ? static_cast<uint8_t>(bytes[offset]) : 0;
}

uint16_t PeekU16(const std::string& bytes, size_t offset) {
  return static_cast<uint16_t>(ByteAt(bytes, offset) | ByteAt(bytes, offset + 1) << 8);
}

uint32_t PeekU32(const std::string& bytes, size_t offset) {
  return PeekU16(bytes, offset) | static_cast<uint32_t>(PeekU16(bytes, offset + 2)) << 16;
}

uint32_t Crc32(const std::string& data, uint32_t crc) {
  return static_cast<uint32_t>(
      crc32(crc, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string Deflate(const std::string& data, int level) {
  z_stream z{};
  // windowBits -15: raw deflate, no wrapper, 32 KiB window.
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return rc == Z_STREAM_END ? out : std::string();
}

bool Inflate(const std::string& deflated, std::string& out) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return false;
  out.clear();
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(deflated.data()));
  z.avail_in = static_cast<uInt>(deflated.size());
  char block[16384];
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(block);
    z.avail_out = sizeof block;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(block, sizeof block - z.avail_out);
    if (rc == Z_OK && z.avail_in == 0 && z.avail_out != 0) break; // input ended early
  }
  inflateEnd(&z);
  return rc == Z_STREAM_END;
}

DosStamp::DosStamp(int year, int month, int day, int hour, int minute, int second)
    : date(static_cast<uint16_t>((year - 1980) << 9 | month << 5 | day)),
      time(static_cast<uint16_t>(hour << 11 | minute << 5 | second / 2)) {}

DosStamp DosStamp::Raw(uint16_t date, uint16_t time) {
  DosStamp s;
  s.date = date;
  s.time = time;
  return s;
}

std::string NoiseBytes(size_t size, uint32_t seed)
{
  std::string out(size, '\0');
  uint32_t x = seed;
  for (size_t i = 0; i < size; i++) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<char>(x >> 24);
  }
  return out;
}
