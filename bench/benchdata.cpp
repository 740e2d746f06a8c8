// benchdata.cpp -- writes the benchmarks' archives: a streaming ZIP writer
// (local headers patched once an entry's CRC and sizes are known, data
// optionally WinZip AES-256 encrypted) over a generator of text-like data.
#include "benchdata.h"

#include <stdio.h>
#include <string.h>
#include <zlib.h>

#include <memory>
#include <vector>

#include "support/winzipaes.h"

namespace {

const uint32_t LOCAL_HEADER_SIGNATURE = 0x04034b50;    // "PK\3\4"
const uint32_t CENTRAL_HEADER_SIGNATURE = 0x02014b50;  // "PK\1\2"
const uint32_t END_RECORD_SIGNATURE = 0x06054b50;      // "PK\5\6"
const uint32_t ZIP64_END_SIGNATURE = 0x06064b50;       // "PK\6\6"
const uint32_t ZIP64_LOCATOR_SIGNATURE = 0x07064b50;   // "PK\6\7"
const uint32_t ZIP64_END_SIZE = 44;                    // counted after its own size field
const uint32_t LOCAL_CRC_OFFSET = 14;                  // CRC, then both sizes
const uint16_t VERSION_MADE_BY = 20;                   // MS-DOS host, version 2.0
const uint16_t VERSION_NEEDED = 20;
const uint16_t VERSION_NEEDED_LATER_METHODS = 63;  // what the format's notes ask of Zstandard and its peers
const uint32_t ATTRIBUTE_ARCHIVE = 0x20;
// Every entry is stamped 2024-01-02 03:04:06, local time.
const uint16_t DOS_DATE = ((2024 - 1980) << 9) | (1 << 5) | 2;
const uint16_t DOS_TIME = (3 << 11) | (4 << 5) | (6 / 2);

const int DEFLATE_LEVEL = 6;  // what zip and zipfile use by default
const int RAW_DEFLATE_WINDOW_BITS = -15;
const size_t DEFLATE_OUT_SIZE = 1 << 16;

const uint32_t VOCABULARY_SIZE = 4096;

// WinZip AES: method 99 and the 0x9901 field (AE-2, 256-bit keys, the real
// method); AE-2 records no CRC.
const uint16_t METHOD_AES = 99;
const uint16_t FLAG_ENCRYPTED = 1;
const uint16_t EXTRA_AES_ID = 0x9901;
const int AES_STRENGTH_256 = 3;

void Put16(std::string& out, uint32_t v)
{
    out += (char)(v & 0xFF);
    out += (char)(v >> 8 & 0xFF);
}

void Put32(std::string& out, uint32_t v)
{
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// What the central directory records about an entry already written.
struct WrittenEntry {
    std::string name;
    uint16_t method;  // the real method, also for an encrypted entry
    bool encrypted;
    uint32_t crc;
    uint32_t compressedSize;
    uint32_t uncompressedSize;
    uint32_t localHeaderOffset;
};

// Writes entries one after another; begin(), any number of write()s, end().
class ZipWriter {
public:
    explicit ZipWriter(const std::string& path) : file_(fopen(path.c_str(), "wb"))
    {
        if (file_)
            setvbuf(file_, nullptr, _IOFBF, 1 << 20);
        if (deflateInit2(&z_, DEFLATE_LEVEL, Z_DEFLATED, RAW_DEFLATE_WINDOW_BITS, 8,
                         Z_DEFAULT_STRATEGY) != Z_OK)
            failed_ = true;
        out_.resize(DEFLATE_OUT_SIZE);
    }

    ~ZipWriter()
    {
        deflateEnd(&z_);
        if (file_)
            fclose(file_);
    }

    // A password makes the entry WinZip AES-256 encrypted.
    void begin(const std::string& name, uint16_t method, const char* password = nullptr)
    {
        current_ = WrittenEntry{name, method, password != nullptr, 0, 0, 0, position_};
        std::string header;
        Put32(header, LOCAL_HEADER_SIGNATURE);
        Put16(header, VersionNeeded(method));
        Put16(header, current_.encrypted ? FLAG_ENCRYPTED : 0);
        Put16(header, current_.encrypted ? METHOD_AES : method);
        Put16(header, DOS_TIME);
        Put16(header, DOS_DATE);
        Put32(header, 0);  // CRC and sizes: patched by end()
        Put32(header, 0);
        Put32(header, 0);
        Put16(header, (uint32_t)name.size());
        std::string extra = ExtraField(current_);
        Put16(header, (uint32_t)extra.size());
        header += name;
        header += extra;
        emit(header.data(), header.size());
        if (method == BENCH_DEFLATED)
            deflateReset(&z_);
        aes_.reset();
        if (password) {
            std::string salt(WinZipAesSaltLength(AES_STRENGTH_256), '\0');
            for (size_t i = 0; i < salt.size(); i++)
                salt[i] = (char)(0x5A + 31 * i);
            aes_.reset(new WinZipAesWriter(password, AES_STRENGTH_256, salt));
            if (!aes_->ok())
                failed_ = true;
            // Salt and verifier go out as they are; they count as entry data.
            emit(aes_->header().data(), aes_->header().size());
            current_.compressedSize += (uint32_t)aes_->header().size();
        }
    }

    // Data compressed elsewhere, as they are; the entry then records the
    // CRC-32 and size of what they unpack to.
    void writePacked(const char* data, size_t count) { emitData(data, count); }
    void setOriginal(uint32_t crc, uint32_t size)
    {
        current_.crc = crc;
        current_.uncompressedSize = size;
    }

    void write(const char* data, size_t count)
    {
        current_.crc = crc32(current_.crc, (const Bytef*)data, (uInt)count);
        current_.uncompressedSize += (uint32_t)count;
        if (current_.method == BENCH_STORED) {
            emitData(data, count);
            return;
        }
        z_.next_in = (Bytef*)data;
        z_.avail_in = (uInt)count;
        while (z_.avail_in != 0)
            deflateSome(Z_NO_FLUSH);
    }

    void end()
    {
        if (current_.method == BENCH_DEFLATED)
            while (deflateSome(Z_FINISH) != Z_STREAM_END && !failed_) {
            }
        if (aes_) {
            std::string code = aes_->code();
            if (!aes_->ok())
                failed_ = true;
            emit(code.data(), code.size());
            current_.compressedSize += (uint32_t)code.size();
            current_.crc = 0;
        }
        std::string fields;
        Put32(fields, current_.crc);
        Put32(fields, current_.compressedSize);
        Put32(fields, current_.uncompressedSize);
        if (file_ && (fseek(file_, (long)(current_.localHeaderOffset + LOCAL_CRC_OFFSET), SEEK_SET) != 0 ||
                      fwrite(fields.data(), 1, fields.size(), file_) != fields.size() ||
                      fseek(file_, 0, SEEK_END) != 0))
            failed_ = true;
        entries_.push_back(current_);
    }

    bool finish()
    {
        uint32_t directoryStart = position_;
        std::string directory;
        for (const WrittenEntry& e : entries_) {
            Put32(directory, CENTRAL_HEADER_SIGNATURE);
            Put16(directory, VERSION_MADE_BY);
            Put16(directory, VersionNeeded(e.method));
            Put16(directory, e.encrypted ? FLAG_ENCRYPTED : 0);
            Put16(directory, e.encrypted ? METHOD_AES : e.method);
            Put16(directory, DOS_TIME);
            Put16(directory, DOS_DATE);
            Put32(directory, e.crc);
            Put32(directory, e.compressedSize);
            Put32(directory, e.uncompressedSize);
            std::string extra = ExtraField(e);
            Put16(directory, (uint32_t)e.name.size());
            Put16(directory, (uint32_t)extra.size());
            Put16(directory, 0);  // comment
            Put16(directory, 0);  // disk
            Put16(directory, 0);  // internal attributes
            Put32(directory, ATTRIBUTE_ARCHIVE);
            Put32(directory, e.localHeaderOffset);
            directory += e.name;
            directory += extra;
        }
        // More entries than the end record can count: a ZIP64 end record and
        // its locator come first, and the end record's counts are all ones.
        std::string end;
        uint32_t count = (uint32_t)entries_.size();
        if (count > 0xFFFF) {
            uint32_t zip64End = directoryStart + (uint32_t)directory.size();
            Put32(end, ZIP64_END_SIGNATURE);
            Put32(end, ZIP64_END_SIZE);
            Put32(end, 0);
            Put16(end, 45);  // version made by
            Put16(end, 45);  // version needed
            Put32(end, 0);   // this disk
            Put32(end, 0);   // the directory's disk
            for (int twice = 0; twice < 2; twice++) {
                Put32(end, count);
                Put32(end, 0);
            }
            Put32(end, (uint32_t)directory.size());
            Put32(end, 0);
            Put32(end, directoryStart);
            Put32(end, 0);
            Put32(end, ZIP64_LOCATOR_SIGNATURE);
            Put32(end, 0);  // the ZIP64 end record's disk
            Put32(end, zip64End);
            Put32(end, 0);
            Put32(end, 1);  // disks
            count = 0xFFFF;
        }
        Put32(end, END_RECORD_SIGNATURE);
        Put16(end, 0);
        Put16(end, 0);
        Put16(end, count);
        Put16(end, count);
        Put32(end, (uint32_t)directory.size());
        Put32(end, directoryStart);
        Put16(end, 0);  // comment
        emit(directory.data(), directory.size());
        emit(end.data(), end.size());
        if (!file_ || fflush(file_) != 0)
            failed_ = true;
        return !failed_;
    }

private:
    int deflateSome(int flush)
    {
        z_.next_out = (Bytef*)&out_[0];
        z_.avail_out = (uInt)out_.size();
        int result = deflate(&z_, flush);
        if (result == Z_STREAM_ERROR)
            failed_ = true;
        emitData(out_.data(), out_.size() - z_.avail_out);
        return result;
    }

    static uint16_t VersionNeeded(uint16_t method)
    {
        return method == BENCH_STORED || method == BENCH_DEFLATED ? VERSION_NEEDED : VERSION_NEEDED_LATER_METHODS;
    }

    static std::string ExtraField(const WrittenEntry& e)
    {
        std::string extra;
        if (e.encrypted) {
            Put16(extra, EXTRA_AES_ID);
            Put16(extra, 7);
            Put16(extra, 2);  // AE-2
            extra += "AE";
            extra += (char)AES_STRENGTH_256;
            Put16(extra, e.method);
        }
        return extra;
    }

    // Entry data, encrypted on the way when the entry is.
    void emitData(const char* data, size_t count)
    {
        current_.compressedSize += (uint32_t)count;
        if (!aes_) {
            emit(data, count);
            return;
        }
        for (size_t done = 0; done < count;) {
            size_t n = count - done < DEFLATE_OUT_SIZE ? count - done : DEFLATE_OUT_SIZE;
            cipher_.assign(data + done, n);
            aes_->encrypt(&cipher_[0], n);
            emit(cipher_.data(), n);
            done += n;
        }
    }

    void emit(const void* data, size_t count)
    {
        if (!file_ || (count != 0 && fwrite(data, 1, count, file_) != count))
            failed_ = true;
        position_ += (uint32_t)count;
    }

    FILE* file_;
    z_stream z_{};
    std::string out_;
    std::unique_ptr<WinZipAesWriter> aes_;
    std::string cipher_;
    bool failed_ = false;
    uint32_t position_ = 0;
    WrittenEntry current_{};
    std::vector<WrittenEntry> entries_;
};

}  // namespace

TextStream::TextStream(uint32_t seed) : state_(seed ? seed : 1) {}

uint32_t TextStream::next()
{
    // xorshift32: fast, deterministic, and good enough to pick words.
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
}

void TextStream::makeLine()
{
    // Word w of the vocabulary is derived from w alone, so every stream
    // shares one vocabulary without storing it.
    static const char LETTERS[] = "etaoinshrdlcumwfgypbvkjxqz";
    line_.clear();
    uint32_t words = 6 + next() % 11;
    for (uint32_t i = 0; i < words; i++) {
        uint32_t r = next();
        if (i != 0)
            line_ += ' ';
        if (r % 13 == 0) {
            line_ += std::to_string(next() % 100000);
            continue;
        }
        // The product of two uniform draws favours the low words, roughly
        // as word frequencies do in prose.
        uint32_t w = ((r >> 4 & 0xFFF) * (r >> 16 & 0xFFF)) / VOCABULARY_SIZE;
        uint32_t h = w * 2654435761u + 12345;
        uint32_t length = 1 + (h >> 8) % 9;
        for (uint32_t k = 0; k < length; k++) {
            h = h * 1103515245u + 12345;
            uint32_t letter = (h >> 16) % 26;
            letter = letter * letter / 26;  // early letters are the common ones
            char c = LETTERS[letter];
            line_ += (i == 0 && k == 0) ? (char)(c - 'a' + 'A') : c;
        }
        if (r % 7 == 0 && i + 1 != words)
            line_ += ',';
    }
    line_ += (next() % 5 == 0) ? "?\r\n" : ".\r\n";
    linePos_ = 0;
}

void TextStream::fill(char* out, size_t count)
{
    while (count != 0) {
        if (linePos_ == line_.size())
            makeLine();
        size_t n = line_.size() - linePos_;
        if (n > count)
            n = count;
        memcpy(out, line_.data() + linePos_, n);
        linePos_ += n;
        out += n;
        count -= n;
    }
}

bool WriteLargeArchive(const std::string& path, const char* name, uint32_t size, uint16_t method,
                       const char* password)
{
    ZipWriter writer(path);
    TextStream text(0x5EED0001);
    std::vector<char> block(1 << 20);
    writer.begin(name, method, password);
    for (uint32_t done = 0; done < size;) {
        uint32_t n = size - done < block.size() ? size - done : (uint32_t)block.size();
        text.fill(block.data(), n);
        writer.write(block.data(), n);
        done += n;
    }
    writer.end();
    return writer.finish();
}

bool WritePackedArchive(const std::string& path, const char* name, uint16_t method, const std::string& packedPath,
                        uint32_t crc, uint32_t size)
{
    FILE* packed = fopen(packedPath.c_str(), "rb");
    if (!packed)
        return false;
    ZipWriter writer(path);
    std::vector<char> block(1 << 20);
    writer.begin(name, method);
    for (size_t n; (n = fread(block.data(), 1, block.size(), packed)) != 0;)
        writer.writePacked(block.data(), n);
    bool ok = !ferror(packed);
    fclose(packed);
    writer.setOriginal(crc, size);
    writer.end();
    return writer.finish() && ok;
}

std::string ManyEntryName(uint32_t index)
{
    char name[32];
    snprintf(name, sizeof name, "d%03u/f%05u.txt", index / MANY_PER_FOLDER, index);
    return name;
}

uint32_t ManyEntrySize(uint32_t index)
{
    return 1024 + ((index * 2654435761u) >> 8) % 3073;  // 1 to 4 KiB, scattered
}

bool WriteManyArchive(const std::string& path, uint32_t count, uint64_t* totalSize)
{
    ZipWriter writer(path);
    TextStream text(0x5EED0002);
    char block[4096];
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t size = ManyEntrySize(i);
        text.fill(block, size);
        writer.begin(ManyEntryName(i), BENCH_DEFLATED);
        writer.write(block, size);
        writer.end();
        total += size;
    }
    if (totalSize)
        *totalSize = total;
    return writer.finish();
}
