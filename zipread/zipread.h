// zipread.h -- the archive reader's operations, by layer.
// Reader operations record their first failure in the archive's `error`;
// the operations a script reaches clear it at their start and return it.
#pragma once

#include "archive.h"

#include <zlib.h>  // crc32, for names and entry data

// --- heap and file I/O (system.cpp): every allocation, ReadFile and WriteFile
// of the add-on goes through these, so that a test build can fail any of them.
void* AllocateBlock(uint32_t size);   // zeroed; null on failure
void FreeBlock(void* block);          // null is ignored
BOOL ReadHandle(HANDLE handle, void* buffer, DWORD count, DWORD* received);
BOOL WriteHandle(HANDLE handle, const void* buffer, DWORD count, DWORD* written);

// --- sources (source.cpp): the only way the reader touches archive bytes.
// Positions are 64-bit, counted from the archive's base.
uint32_t SourceRead(Archive* archive, void* buffer, uint32_t count);
uint32_t SourceSeek(Archive* archive, uint64_t offset, uint32_t origin);  // origin 0: from base, 1: forward from here
uint64_t SourceTell(Archive* archive);
uint32_t ReadU16(Archive* archive);
uint32_t ReadU32(Archive* archive);
const uint32_t SEEK_FROM_BASE = 0;
const uint32_t SEEK_FROM_HERE = 1;

// --- opening and releasing (open.cpp).
// kind SOURCE_MEMORY with a null reference opens the RT_RCDATA resource whose
// identifier is the low 16 bits of sizeOrId. The password may be null.
uint32_t OpenArchive(Archive** out, const void* reference, uint32_t sizeOrId, uint32_t kind,
                     const char* password, uint32_t passwordLength);
uint32_t ReleaseArchive(Archive* archive);  // a record not in the list is ignored
void CloseAllArchives();
void CloseEntryStream(Archive* archive);    // also leaves no current entry
void EndEntryStream(Archive* archive);      // frees the stream alone: the entry stays current
// Replaces the root directory: `length` characters of `text`, or the current
// directory when length is 0. A backslash is added when missing. Gives 9 and
// changes nothing when the result would not fit.
uint32_t SetRootDirectory(Archive* archive, const char* text, uint32_t length);

// --- the central directory and selection (directory.cpp).
void GoToFirstEntry(Archive* archive);
void GoToNextEntry(Archive* archive);
void ReadCentralHeader(Archive* archive);
// Reads the current entry's stored name into a buffer of 260 bytes (cut at
// 259); of a name longer than that, the CRC-32 of all of it into `nameCrc`.
void ReadEntryName(Archive* archive, char* buffer);
uint32_t FindEntry(Archive* archive, const char* name, uint32_t flags);  // flags bit 0: ignore case
uint32_t SelectEntry(Archive* archive, uint32_t index);                  // zero-based position

// --- extra fields (extrafield.cpp).
// Finds the first block `id` whose 4-byte head and at least one data byte lie
// inside the extra field; `*data` and `*length` give its data, cut to what
// the extra field holds.
bool FindExtraBlock(const uint8_t* extra, uint32_t extraLength, uint16_t id, const uint8_t** data,
                    uint32_t* length);
// Takes the sizes, local header offset and disk from a ZIP64 extended
// information block for each of them that holds its all-ones value. Gives 6
// when the block lacks a value it must supply.
uint32_t ApplyZip64Extra(CentralHeader* header, const uint8_t* extra, uint32_t extraLength);

// --- entry names (names.cpp).
// Turns the current entry's stored name (as ReadEntryName left it, with
// `longNameCrc` the CRC-32 of a name cut there) into the ANSI text a script
// sees, 260 bytes; when the name is Unicode text that is not plain ASCII,
// also its wide form and true.
bool DecodeEntryName(const CentralHeader& header, const char* stored, uint32_t longNameCrc, const uint8_t* extra,
                     uint32_t extraLength, char* ansi, wchar_t* wide);

// --- what a selection fills in (entryinfo.cpp).
// Appends the normalised entry name to the root directory in `path`.
void BuildEntryPath(Archive* archive, const char* name);
// The same normalisation of a wide name under the root, into `widePath`.
void BuildWideEntryPath(Archive* archive, const wchar_t* name);
uint32_t MapAttributes(uint16_t versionMadeBy, uint32_t externalAttributes);
void SetEntryTimes(Archive* archive, const uint8_t* extra, uint32_t extraLength);
void DosTimeToFileTime(FILETIME* out, uint16_t dosDate, uint16_t dosTime);
void UnixTimeToFileTime(FILETIME* out, uint32_t seconds);

// --- WinZip AES (winzipaes.cpp), through bcrypt.dll, loaded on first use.
// Reads the 0x9901 field from a method-99 entry's extra data: 6 when it is
// missing or malformed, 8 for a version, strength or method this reader does
// not know, or when the platform's cryptography is not there.
uint32_t ReadAesField(AesField* out, const uint8_t* extra, uint32_t extraLength);
uint32_t AesSaltLength(uint8_t strength);
bool AesAvailable();
// Derives the keys from the password and the salt and checks the verifier:
// 19 when it does not match, 2 or 8 when the stream cannot be made.
uint32_t AesOpen(AesStream** out, uint8_t strength, const char* password, const uint8_t* salt,
                 const uint8_t* verifier);
bool AesDecrypt(AesStream* aes, uint8_t* data, uint32_t count);  // in place; the code covers the input
bool AesAuthenticate(AesStream* aes, const uint8_t* data, uint32_t count);  // encrypted bytes not decrypted
bool AesCodeMatches(AesStream* aes, const uint8_t* code);  // after the last encrypted byte
void AesClose(AesStream* aes);  // null is ignored

// --- compression methods (methods.cpp): every method's decoder behind one
// interface. Start gives 0, 2 (no memory) or 8 (a method this reader has no
// decoder for); some methods need the entry's size and flags to find their
// data's end. Run decodes from *in into *out, moving both on; `inputEnds`
// says that no input follows what *in holds now. End frees what Start made
// (a decoder that was never started, or was ended, is ignored).
bool MethodSupported(uint16_t method);
uint32_t StartDecoder(MethodDecoder* decoder, uint16_t method, uint64_t uncompressedSize, uint16_t flags);
DecodeStatus RunDecoder(MethodDecoder* decoder, const uint8_t** in, uint32_t* inLeft, uint8_t** out,
                        uint32_t* outLeft, bool inputEnds);
void EndDecoder(MethodDecoder* decoder);

// --- decoding (decode.cpp).
// Opens the current entry's data: the local header, the encryption header or
// the AES salt and verifier (the password is checked here, before a byte is
// delivered), and the method's decoder. `wrapSize`: the recorded size is
// the true one modulo 2^32 (a gzip trailer), and the stream alone says where
// the data end; for a target that takes any length.
void OpenEntryStream(Archive* archive, bool wrapSize = false);
// Delivers up to `length` bytes of the entry. The entry is whole only when
// its recorded size has been delivered, its stream ended exactly there with
// no compressed byte left over, and its CRC-32 (or AES code) matches: until
// then 18 is recorded on any fault, and a stream that ends early stops with
// `uncompressedLeft` still owed.
uint32_t ReadEntryData(Archive* archive, void* buffer, uint32_t length);

// --- extraction (extract.cpp).
uint32_t ExtractEntry(Archive* archive, void* target, uint32_t mode);
// The most bytes the current entry's data could ever decode to, from its
// compressed size as far as the source holds it. A recorded size above this
// can never be delivered in full.
uint64_t MostBytesDeliverable(const Archive* archive);
// Whether the current entry can fill a block of its recorded size, found
// before anyone is asked for that block: 0, or the code extraction into
// memory would give (11 for data that cannot fill it, or a decoding
// failure). A size past what the data's method could give is refused at
// once; a size larger than deflate could give, for a method without such a
// bound, is decoded once to nowhere first. The entry stays current.
uint32_t CheckMemoryExtraction(Archive* archive);
BOOL CreatePathDirectories(char* path, BOOL lastIsDirectory);
BOOL CreatePathDirectories(wchar_t* path, BOOL lastIsDirectory);
