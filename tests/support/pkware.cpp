// pkware.cpp -- traditional PKWARE encryption and decryption (the published
// algorithm: three keys driven by the CRC-32 table and a linear congruence).
#include "support/pkware.h"

#include <zlib.h>

static uint32_t CrcStep(uint32_t crc, uint8_t byte) {
  static const z_crc_t* table = get_crc_table();
  return table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

PkwareKeys::PkwareKeys(const std::string& password) {
  for (unsigned char c : password) Update(c);
}

void PkwareKeys::Update(uint8_t plain) {
  k0 = CrcStep(k0, plain);
  k1 = (k1 + (k0 & 0xFF)) * 134775813u + 1;
  k2 = CrcStep(k2, static_cast<uint8_t>(k1 >> 24));
}

uint8_t PkwareKeys::StreamByte() const {
  uint32_t t = (k2 & 0xFFFF) | 2;
  return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
}

uint8_t PkwareKeys::Encrypt(uint8_t plain) {
  uint8_t cipher = plain ^ StreamByte();
  Update(plain);
  return cipher;
}

uint8_t PkwareKeys::Decrypt(uint8_t cipher) {
  uint8_t plain = cipher ^ StreamByte();
  Update(plain);
  return plain;
}

std::string PkwareEncrypt(const std::string& password, const std::string& plain,
                          uint8_t checkByte) {
  std::string header(12, '\0');
  uint32_t seed = 0x2545F491;
  for (int i = 0; i < 11; ++i) {
    seed = seed * 1103515245u + 12345u;
    header[i] = static_cast<char>(seed >> 24);
  }
  header[11] = static_cast<char>(checkByte);

  PkwareKeys keys(password);
  std::string out = header + plain;
  for (char& c : out) c = static_cast<char>(keys.Encrypt(static_cast<uint8_t>(c)));
  return out;
}

std::string PkwareDecrypt(const std::string& password, const std::string& cipher) {
  PkwareKeys keys(password);
  std::string out = cipher;
  for (char& c : out) c = static_cast<char>(keys.Decrypt(static_cast<uint8_t>(c)));
  return out;
}
