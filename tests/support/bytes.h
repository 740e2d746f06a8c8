// bytes.h -- little-endian fields, CRC-32, raw deflate and DOS stamps: the
// byte-level pieces that the ZIP and gzip builders assemble archives from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Appends a value low byte first, as every ZIP and gzip number is stored.
void PutU16(std::string& out, uint16_t value);
void PutU32(std::string& out, uint32_t value);

// Overwrites a value in place (offset must leave room for it).
void PokeU16(std::string& bytes, size_t offset, uint16_t value);
void PokeU32(std::string& bytes, size_t offset, uint32_t value);

// Reads a value back; bytes past the end count as zero.
uint16_t PeekU16(const std::string& bytes, size_t offset);
uint32_t PeekU32(const std::string& bytes, size_t offset);

// Standard reflected CRC-32 (zlib's crc32), optionally continuing `crc`.
uint32_t Crc32(const std::string& data, uint32_t crc = 0);

// Reproducible bytes close to incompressible, from a simple generator and a seed.
std::string NoiseBytes(size_t size, uint32_t seed = 1);

// Raw deflate data (no zlib or gzip wrapper), as ZIP method 8 and gzip hold
// it. Level 0 to 9, or -1 for zlib's default.
std::string Deflate(const std::string& data, int level = 6);

// Raw inflate; stops at the end of the deflate data. Returns false on data
// that zlib rejects or that ends early.
bool Inflate(const std::string& deflated, std::string& out);

// An MS-DOS date and time pair: date = (year - 1980) << 9 | month << 5 | day,
// time = hour << 11 | minute << 5 | second / 2. Nothing is range-checked, so
// impossible stamps (month 0, hour 31) are easy to make.
struct DosStamp {
  uint16_t date = 0;
  uint16_t time = 0;

  DosStamp() = default;
  DosStamp(int year, int month, int day, int hour, int minute, int second);
  static DosStamp Raw(uint16_t date, uint16_t time);
};
