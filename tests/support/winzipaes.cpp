// winzipaes.cpp -- WinZip AES encryption through bcrypt: PBKDF2-HMAC-SHA1
// keys, AES over little-endian counter blocks from 1, HMAC-SHA1 over the
// encrypted bytes.
#include "support/winzipaes.h"

#include <windows.h>
#include <bcrypt.h>

#include <stdexcept>

namespace {

const uint32_t KEY_ITERATIONS = 1000;
const size_t BLOCK = 16;
const size_t KEY_STREAM_BLOCKS = 4096;  // 64 KiB of key stream per call

struct Algorithms {
  BCRYPT_ALG_HANDLE aes = nullptr;
  BCRYPT_ALG_HANDLE hmac = nullptr;
  bool ok = false;
  Algorithms() {
    static const WCHAR ecb[] = BCRYPT_CHAIN_MODE_ECB;
    ok = BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&aes, BCRYPT_AES_ALGORITHM, nullptr, 0)) &&
         BCRYPT_SUCCESS(BCryptSetProperty(aes, BCRYPT_CHAINING_MODE, (PUCHAR)ecb, sizeof ecb, 0)) &&
         BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&hmac, BCRYPT_SHA1_ALGORITHM, nullptr,
                                                    BCRYPT_ALG_HANDLE_HMAC_FLAG));
  }
};

const Algorithms& Bcrypt() {
  static Algorithms algorithms;
  return algorithms;
}

} // namespace

size_t WinZipAesSaltLength(int strength) { return 4 + 4 * static_cast<size_t>(strength); }

WinZipAesWriter::WinZipAesWriter(const std::string& password, int strength, const std::string& salt) {
  const Algorithms& a = Bcrypt();
  size_t keyLength = 8 + 8 * static_cast<size_t>(strength);
  if (!a.ok || strength < 1 || strength > 3 || salt.size() != WinZipAesSaltLength(strength)) return;
  std::string keys(2 * keyLength + 2, '\0');
  auto bytes = [](const std::string& s) { return (PUCHAR) const_cast<char*>(s.data()); };
  BCRYPT_KEY_HANDLE key = nullptr;
  BCRYPT_HASH_HANDLE mac = nullptr;
  ok_ = BCRYPT_SUCCESS(BCryptDeriveKeyPBKDF2(a.hmac, bytes(password), (ULONG)password.size(), bytes(salt),
                                             (ULONG)salt.size(), KEY_ITERATIONS, bytes(keys),
                                             (ULONG)keys.size(), 0)) &&
        BCRYPT_SUCCESS(BCryptGenerateSymmetricKey(a.aes, &key, nullptr, 0, bytes(keys), (ULONG)keyLength, 0)) &&
        BCRYPT_SUCCESS(BCryptCreateHash(a.hmac, &mac, nullptr, 0, bytes(keys) + keyLength, (ULONG)keyLength, 0));
  key_ = key;
  mac_ = mac;
  header_ = salt + keys.substr(2 * keyLength, 2);
}

WinZipAesWriter::~WinZipAesWriter() {
  if (key_) BCryptDestroyKey(key_);
  if (mac_) BCryptDestroyHash(mac_);
}

void WinZipAesWriter::encrypt(char* data, size_t count) {
  for (size_t i = 0; i < count && ok_; ++i) {
    if (keyStreamUsed_ == keyStream_.size()) {
      size_t blocks = (count - i + BLOCK - 1) / BLOCK;
      if (blocks > KEY_STREAM_BLOCKS) blocks = KEY_STREAM_BLOCKS;
      keyStream_.assign(blocks * BLOCK, '\0');
      for (size_t b = 0; b < blocks; ++b) {
        uint64_t value = ++counter_;
        for (int k = 0; k < 8; ++k) keyStream_[b * BLOCK + k] = static_cast<char>(value >> (8 * k));
      }
      ULONG done = 0;
      PUCHAR stream = (PUCHAR)&keyStream_[0];
      ok_ = BCRYPT_SUCCESS(BCryptEncrypt(key_, stream, (ULONG)keyStream_.size(), nullptr, nullptr, 0, stream,
                                         (ULONG)keyStream_.size(), &done, 0));
      keyStreamUsed_ = 0;
      if (!ok_) break;
    }
    data[i] ^= keyStream_[keyStreamUsed_++];
  }
  ok_ = ok_ && BCRYPT_SUCCESS(BCryptHashData(mac_, (PUCHAR)data, (ULONG)count, 0));
}

std::string WinZipAesWriter::code() {
  std::string mac(20, '\0');
  ok_ = ok_ && BCRYPT_SUCCESS(BCryptFinishHash(mac_, (PUCHAR)&mac[0], (ULONG)mac.size(), 0));
  return mac.substr(0, 10);
}

std::string WinZipAesEncrypt(const std::string& password, const std::string& plain, int strength,
                             uint32_t saltSeed) {
  std::string salt(WinZipAesSaltLength(strength < 1 || strength > 3 ? 3 : strength), '\0');
  uint32_t x = saltSeed * 2654435761u + static_cast<uint32_t>(strength);
  for (char& c : salt) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  WinZipAesWriter writer(password, strength, salt);
  std::string data = plain;
  if (!data.empty()) writer.encrypt(&data[0], data.size());
  std::string code = writer.code();
  if (!writer.ok()) throw std::runtime_error("bcrypt cannot make WinZip AES data");
  return writer.header() + data + code;
}
