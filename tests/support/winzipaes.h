// winzipaes.h -- WinZip AES encryption (AE-1, AE-2) for test fixtures and the
// benchmark's archives, with the platform's bcrypt. The archives that 7-Zip
// and libarchive write check the reader against writers of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Salt bytes for strength 1, 2 or 3 (128, 192 or 256-bit keys): 8, 12, 16.
size_t WinZipAesSaltLength(int strength);

// Encrypts entry data as it is written: header() (salt, then the 2-byte
// password verifier) goes first, encrypt() runs the counter on over each
// piece in turn, code() gives the 10-byte authentication code at the end.
class WinZipAesWriter {
 public:
  // `salt` must hold WinZipAesSaltLength(strength) bytes.
  WinZipAesWriter(const std::string& password, int strength, const std::string& salt);
  ~WinZipAesWriter();
  WinZipAesWriter(const WinZipAesWriter&) = delete;
  WinZipAesWriter& operator=(const WinZipAesWriter&) = delete;

  bool ok() const { return ok_; }
  const std::string& header() const { return header_; }
  void encrypt(char* data, size_t count);
  std::string code();

 private:
  void* key_ = nullptr;
  void* mac_ = nullptr;
  uint64_t counter_ = 0;
  std::string keyStream_;
  size_t keyStreamUsed_ = 0;
  std::string header_;
  bool ok_ = false;
};

// The whole payload of an AES entry: salt, verifier, `plain` encrypted, code.
// The salt is fixed for a given strength and seed, so archives are reproducible.
// Throws std::runtime_error when bcrypt cannot do it.
std::string WinZipAesEncrypt(const std::string& password, const std::string& plain, int strength,
                             uint32_t saltSeed = 1);
