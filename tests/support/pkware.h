// pkware.h -- the traditional PKWARE encryption, written from the published
// algorithm for test fixtures and for checking other tools' output.
#pragma once

#include <cstdint>
#include <string>

// The three 32-bit keys and their update with one plain byte.
struct PkwareKeys {
  uint32_t k0 = 0x12345678;
  uint32_t k1 = 0x23456789;
  uint32_t k2 = 0x34567890;

  explicit PkwareKeys(const std::string& password);
  void Update(uint8_t plain);
  uint8_t StreamByte() const;
  uint8_t Encrypt(uint8_t plain);
  uint8_t Decrypt(uint8_t cipher);
};

// The 12-byte encryption header followed by `plain`, all encrypted. The
// header's last plain byte is `checkByte` (the CRC's high byte, or the DOS
// time's high byte when the entry has a data descriptor); the other eleven
// are a fixed pseudo-random sequence, so archives are reproducible.
std::string PkwareEncrypt(const std::string& password, const std::string& plain,
                          uint8_t checkByte);

// Decrypts every byte, the 12 header bytes included (the check byte is
// then result[11]).
std::string PkwareDecrypt(const std::string& password, const std::string& cipher);
