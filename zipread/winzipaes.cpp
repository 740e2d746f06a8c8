// winzipaes.cpp -- WinZip AES encryption (AE-1 and AE-2): the 0x9901 extra
// field, the keys made from the password, counter-mode decryption and the
// authentication code. The cryptography is the platform's own: bcrypt.dll,
// loaded with LoadLibrary when the first AES entry is met, so that the
// add-on's import table names no more than it did before.
#include "zipread.h"

#include <bcrypt.h>
#include <string.h>

// The AES extra field: vendor version (1 for AE-1, 2 for AE-2), vendor id
// "AE", key strength, and the method the data was compressed with before it
// was encrypted.
const uint16_t EXTRA_AES_ID = 0x9901;
const uint32_t AES_FIELD_LENGTH = 7;
const uint16_t AES_VENDOR_ID = 0x4541;  // "AE"

// Entry data: salt (8, 12 or 16 bytes), a 2-byte password verifier, the
// encrypted data, a 10-byte authentication code (HMAC-SHA1, cut short).
const uint32_t AES_KEY_ITERATIONS = 1000;  // PBKDF2-HMAC-SHA1
const uint32_t AES_BLOCK_SIZE = 16;
const uint32_t SHA1_LENGTH = 20;
const uint32_t AES_MOST_KEY_LENGTH = 32;

uint32_t AesSaltLength(uint8_t strength)
{
    return 4 + 4 * (uint32_t)strength;
}

static uint32_t AesKeyLength(uint8_t strength)
{
    return 8 + 8 * (uint32_t)strength;
}

uint32_t ReadAesField(AesField* out, const uint8_t* extra, uint32_t extraLength)
{
    memset(out, 0, sizeof *out);
    const uint8_t* data;
    uint32_t length;
    // Method 99 says the data is AES-encrypted; without a whole field that
    // says how, the header is not one this reader can trust.
    if (!FindExtraBlock(extra, extraLength, EXTRA_AES_ID, &data, &length) || length != AES_FIELD_LENGTH)
        return RESULT_CORRUPT;
    out->vendorVersion = (uint16_t)(data[0] | data[1] << 8);
    uint16_t vendor = (uint16_t)(data[2] | data[3] << 8);
    out->strength = data[4];
    out->method = (uint16_t)(data[5] | data[6] << 8);
    if (vendor != AES_VENDOR_ID ||
        (out->vendorVersion != AES_VERSION_AE1 && out->vendorVersion != AES_VERSION_AE2))
        return RESULT_UNSUPPORTED;
    if (out->strength < 1 || out->strength > 3)
        return RESULT_UNSUPPORTED;
    if (!MethodSupported(out->method))
        return RESULT_UNSUPPORTED;
    return AesAvailable() ? RESULT_OK : RESULT_UNSUPPORTED;
}

// --- bcrypt.dll, loaded once for the life of the process.

typedef NTSTATUS(WINAPI* OpenAlgorithmProvider)(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG);
typedef NTSTATUS(WINAPI* SetProperty)(BCRYPT_HANDLE, LPCWSTR, PUCHAR, ULONG, ULONG);
typedef NTSTATUS(WINAPI* DeriveKeyPbkdf2)(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, PUCHAR, ULONG, ULONGLONG, PUCHAR,
                                          ULONG, ULONG);
typedef NTSTATUS(WINAPI* GenerateSymmetricKey)(BCRYPT_ALG_HANDLE, BCRYPT_KEY_HANDLE*, PUCHAR, ULONG, PUCHAR,
                                               ULONG, ULONG);
typedef NTSTATUS(WINAPI* Encrypt)(BCRYPT_KEY_HANDLE, PUCHAR, ULONG, VOID*, PUCHAR, ULONG, PUCHAR, ULONG,
                                  ULONG*, ULONG);
typedef NTSTATUS(WINAPI* DestroyKey)(BCRYPT_KEY_HANDLE);
typedef NTSTATUS(WINAPI* CreateHash)(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG, PUCHAR, ULONG,
                                     ULONG);
typedef NTSTATUS(WINAPI* HashData)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
typedef NTSTATUS(WINAPI* FinishHash)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
typedef NTSTATUS(WINAPI* DestroyHash)(BCRYPT_HASH_HANDLE);

// The algorithm providers are opened once and kept: opening one costs far
// more than an entry's key setup.
static struct {
    bool tried;
    bool ready;
    BCRYPT_ALG_HANDLE aes;   // AES, ECB: the counter blocks are encrypted as they are
    BCRYPT_ALG_HANDLE hmac;  // SHA-1 as HMAC: the key derivation and the code
    DeriveKeyPbkdf2 deriveKey;
    GenerateSymmetricKey generateKey;
    Encrypt encrypt;
    DestroyKey destroyKey;
    CreateHash createHash;
    HashData hashData;
    FinishHash finishHash;
    DestroyHash destroyHash;
} bcrypt;

template <typename T>
static bool Find(HMODULE module, const char* name, T* out)
{
    *out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return *out != nullptr;
}

// Loads bcrypt.dll from the system folder (never from beside the script or
// the current directory) and opens the two algorithms. A system without
// them reads AES entries as an unsupported method.
static bool LoadCryptography()
{
    char path[MAX_PATH + 16];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    lstrcpyA(path + length, "\\bcrypt.dll");
    HMODULE module = LoadLibraryA(path);
    if (!module)
        return false;

    OpenAlgorithmProvider openAlgorithm;
    SetProperty setProperty;
    if (!Find(module, "BCryptOpenAlgorithmProvider", &openAlgorithm) ||
        !Find(module, "BCryptSetProperty", &setProperty) ||
        !Find(module, "BCryptDeriveKeyPBKDF2", &bcrypt.deriveKey) ||
        !Find(module, "BCryptGenerateSymmetricKey", &bcrypt.generateKey) ||
        !Find(module, "BCryptEncrypt", &bcrypt.encrypt) || !Find(module, "BCryptDestroyKey", &bcrypt.destroyKey) ||
        !Find(module, "BCryptCreateHash", &bcrypt.createHash) ||
        !Find(module, "BCryptHashData", &bcrypt.hashData) || !Find(module, "BCryptFinishHash", &bcrypt.finishHash) ||
        !Find(module, "BCryptDestroyHash", &bcrypt.destroyHash))
        return false;

    if (!BCRYPT_SUCCESS(openAlgorithm(&bcrypt.aes, BCRYPT_AES_ALGORITHM, nullptr, 0)))
        return false;
    static const WCHAR ecb[] = BCRYPT_CHAIN_MODE_ECB;
    if (!BCRYPT_SUCCESS(setProperty(bcrypt.aes, BCRYPT_CHAINING_MODE, (PUCHAR)ecb, sizeof ecb, 0)))
        return false;
    return BCRYPT_SUCCESS(
        openAlgorithm(&bcrypt.hmac, BCRYPT_SHA1_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG));
}

bool AesAvailable()
{
    if (!bcrypt.tried) {
        bcrypt.tried = true;
        bcrypt.ready = LoadCryptography();
    }
    return bcrypt.ready;
}

// --- one entry's decryption.

// The key stream is made a buffer at a time: the buffer is filled with
// counter blocks and encrypted in one call, then XORed over the data. The
// counter is little-endian and starts at 1; its high 8 bytes stay zero for
// any entry a 64-bit count of blocks can number.
struct AesStream {
    BCRYPT_KEY_HANDLE key;
    BCRYPT_HASH_HANDLE mac;
    uint64_t counter;            // the last counter value used
    uint32_t keyStreamUsed;      // bytes of `keyStream` already XORed
    uint32_t keyStreamLength;    // bytes of `keyStream` encrypted
    uint8_t keyStream[INPUT_BLOCK_SIZE];
};

void AesClose(AesStream* aes)
{
    if (!aes)
        return;
    if (aes->key)
        bcrypt.destroyKey(aes->key);
    if (aes->mac)
        bcrypt.destroyHash(aes->mac);
    SecureZeroMemory(aes->keyStream, sizeof aes->keyStream);
    FreeBlock(aes);
}

uint32_t AesOpen(AesStream** out, uint8_t strength, const char* password, const uint8_t* salt,
                 const uint8_t* verifier)
{
    *out = nullptr;
    if (!AesAvailable())
        return RESULT_UNSUPPORTED;
    AesStream* aes = (AesStream*)AllocateBlock(sizeof(AesStream));
    if (!aes)
        return RESULT_NO_MEMORY;

    // Encryption key, authentication key, then the 2-byte verifier.
    uint32_t keyLength = AesKeyLength(strength);
    uint8_t keys[2 * AES_MOST_KEY_LENGTH + 2];
    if (!password)
        password = "";
    uint32_t passwordLength = (uint32_t)lstrlenA(password);
    NTSTATUS status = bcrypt.deriveKey(bcrypt.hmac, (PUCHAR)password, passwordLength, (PUCHAR)salt,
                                       AesSaltLength(strength), AES_KEY_ITERATIONS, keys, 2 * keyLength + 2, 0);
    uint32_t result = RESULT_OK;
    // No tool encrypts with an empty password: where the platform will not
    // derive keys from one, the answer is that of a wrong password.
    if (!BCRYPT_SUCCESS(status))
        result = passwordLength == 0 ? RESULT_PASSWORD : RESULT_UNSUPPORTED;
    else if (keys[2 * keyLength] != verifier[0] || keys[2 * keyLength + 1] != verifier[1])
        result = RESULT_PASSWORD;
    else if (!BCRYPT_SUCCESS(bcrypt.generateKey(bcrypt.aes, &aes->key, nullptr, 0, keys, keyLength, 0)) ||
             !BCRYPT_SUCCESS(bcrypt.createHash(bcrypt.hmac, &aes->mac, nullptr, 0, keys + keyLength, keyLength, 0)))
        result = RESULT_UNSUPPORTED;
    SecureZeroMemory(keys, sizeof keys);
    if (result != RESULT_OK) {
        AesClose(aes);
        return result;
    }
    *out = aes;
    return RESULT_OK;
}

bool AesAuthenticate(AesStream* aes, const uint8_t* data, uint32_t count)
{
    return count == 0 || BCRYPT_SUCCESS(bcrypt.hashData(aes->mac, (PUCHAR)data, count, 0));
}

// Encrypts the next counter blocks, enough for `count` bytes and at most a
// buffer's worth, in one call.
static bool NextKeyStream(AesStream* aes, uint32_t count)
{
    uint32_t blocks = (count + AES_BLOCK_SIZE - 1) / AES_BLOCK_SIZE;
    if (blocks > INPUT_BLOCK_SIZE / AES_BLOCK_SIZE)
        blocks = INPUT_BLOCK_SIZE / AES_BLOCK_SIZE;
    uint32_t length = blocks * AES_BLOCK_SIZE;
    memset(aes->keyStream, 0, length);
    for (uint32_t b = 0; b < blocks; b++) {
        uint64_t value = ++aes->counter;
        uint8_t* block = aes->keyStream + b * AES_BLOCK_SIZE;
        for (int i = 0; i < 8; i++)
            block[i] = (uint8_t)(value >> (8 * i));
    }
    ULONG done = 0;
    NTSTATUS status = bcrypt.encrypt(aes->key, aes->keyStream, length, nullptr, nullptr, 0, aes->keyStream, length,
                                     &done, 0);
    if (!BCRYPT_SUCCESS(status) || done != length)
        return false;
    aes->keyStreamUsed = 0;
    aes->keyStreamLength = length;
    return true;
}

bool AesDecrypt(AesStream* aes, uint8_t* data, uint32_t count)
{
    // The code is over the encrypted bytes, so they go to it first.
    if (!AesAuthenticate(aes, data, count))
        return false;
    while (count > 0) {
        if (aes->keyStreamUsed == aes->keyStreamLength && !NextKeyStream(aes, count))
            return false;
        uint32_t n = aes->keyStreamLength - aes->keyStreamUsed;
        if (n > count)
            n = count;
        const uint8_t* key = aes->keyStream + aes->keyStreamUsed;
        uint32_t i = 0;
        for (; i + 4 <= n; i += 4) {
            uint32_t a, k;
            memcpy(&a, data + i, 4);
            memcpy(&k, key + i, 4);
            a ^= k;
            memcpy(data + i, &a, 4);
        }
        for (; i < n; i++)
            data[i] ^= key[i];
        aes->keyStreamUsed += n;
        data += n;
        count -= n;
    }
    return true;
}

bool AesCodeMatches(AesStream* aes, const uint8_t* code)
{
    uint8_t mac[SHA1_LENGTH];
    if (!BCRYPT_SUCCESS(bcrypt.finishHash(aes->mac, mac, sizeof mac, 0)))
        return false;
    // The hash cannot take more data once finished.
    bcrypt.destroyHash(aes->mac);
    aes->mac = nullptr;
    uint8_t difference = 0;
    for (uint32_t i = 0; i < AES_CODE_LENGTH; i++)
        difference |= (uint8_t)(mac[i] ^ code[i]);
    return difference == 0;
}
