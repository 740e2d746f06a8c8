// decode_test.cpp -- turning entry data into plain bytes: stored and deflated
// entries, PKWARE decryption, entry layout, and the CRC-32 and size checks
// that keep wrong data from passing as an entry.
#include <gtest/gtest.h>

#include <string.h>

#include <optional>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/gzipbuilder.h"
#include "support/pkware.h"
#include "support/winfiles.h"
#include "support/zipbuilder.h"
#include "zipread.h"
#include "zipread/reader_fixture.h"

namespace {

// Selects entry `index` and extracts it into a buffer of its recorded size.
uint32_t ExtractToMemory(Archive* archive, std::string& out, uint32_t index = 0)
{
    uint32_t selected = SelectEntry(archive, index);
    EXPECT_EQ(0u, selected) << "selecting entry " << index;
    if (selected)
        return selected;
    out.assign(archive->header.uncompressedSize, '\0');
    return ExtractEntry(archive, out.empty() ? nullptr : &out[0], EXTRACT_TO_MEMORY);
}

// Opens `zip` and extracts its first entry into memory.
uint32_t ExtractFirst(const std::string& zip, std::string& out, const char* password = nullptr)
{
    OpenedArchive z(zip, password);
    EXPECT_EQ(0u, z.code) << "opening the archive";
    if (z.code)
        return 1000 + z.code;
    return ExtractToMemory(z.archive, out);
}

// A password other than `right` whose 12th decrypted header byte still comes
// out as the check byte: one in 256 passwords does.
std::string LuckyWrongPassword(const ZipBuilder::Entry& entry, uint8_t checkByte)
{
    std::string header = ZipBuilder::Payload(entry).substr(0, 12);
    for (int i = 0; i < 100000; i++) {
        std::string guess = "guess" + std::to_string(i);
        if (guess != *entry.password && (uint8_t)PkwareDecrypt(guess, header)[11] == checkByte)
            return guess;
    }
    ADD_FAILURE() << "no password with a matching check byte";
    return "";
}

TEST(DecodeRoundTrip, StoredAndDeflatedAcrossBlockBoundaries)
{
    struct Case {
        const char* name;
        uint16_t method;
        size_t size;
        bool textLike;
    };
    const Case cases[] = {
        {"stored, empty", 0, 0, true},
        {"stored, one byte", 0, 1, true},
        {"stored, one block less a byte", 0, INPUT_BLOCK_SIZE - 1, false},
        {"stored, one block", 0, INPUT_BLOCK_SIZE, false},
        {"stored, one block and a byte", 0, INPUT_BLOCK_SIZE + 1, false},
        {"stored, many blocks", 0, 3 * INPUT_BLOCK_SIZE + 100, false},
        {"deflated, empty", 8, 0, true},
        {"deflated, one byte", 8, 1, true},
        {"deflated, text over many input blocks", 8, 3000000, true},
        {"deflated, incompressible over many blocks", 8, 3 * INPUT_BLOCK_SIZE + 100, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string data = Sample(c.size, c.textLike);
        std::string out;
        EXPECT_EQ(0u, ExtractFirst(ZipBuilder().add("f.bin", data, c.method).build(), out));
        EXPECT_TRUE(out == data) << "extracted " << out.size() << " bytes of " << data.size();
    }
}

TEST(DecodeRoundTrip, SeveralEntriesAndAGzipFile)
{
    std::string a = Sample(5000, true, 2), b = Sample(3000, false, 3), c = "third";
    std::string zip = ZipBuilder().add("a", a).add("b", b, 0).add("c", c).build();
    OpenedArchive z(zip);
    ASSERT_EQ(0u, z.code);
    std::string out;
    EXPECT_EQ(0u, ExtractToMemory(z.archive, out, 2));
    EXPECT_EQ(c, out);
    EXPECT_EQ(0u, ExtractToMemory(z.archive, out, 0));
    EXPECT_TRUE(out == a);
    EXPECT_EQ(0u, ExtractToMemory(z.archive, out, 1));
    EXPECT_TRUE(out == b);

    std::string plain = Sample(40000, true, 4);
    std::string gz = GzipBuilder().data(plain).name("data.txt").extra("xyz").comment("c").build();
    EXPECT_EQ(0u, ExtractFirst(gz, out));
    EXPECT_TRUE(out == plain);
}

// Reads through the stream directly: the count per read, the end of the
// entry, and what happens after it.
TEST(DecodeReads, PiecesNeverPassTheRecordedSize)
{
    std::string data = Sample(50000, true, 5);
    for (uint16_t method : {0, 8}) {
        SCOPED_TRACE(method == 0 ? "stored" : "deflated");
        OpenedArchive z(ZipBuilder().add("f", data, method).build());
        ASSERT_EQ(0u, z.code);
        ASSERT_EQ(0u, SelectEntry(z.archive, 0));
        OpenEntryStream(z.archive);
        ASSERT_EQ(0u, z.archive->error);

        EXPECT_EQ(0u, ReadEntryData(z.archive, nullptr, 0)) << "a read of nothing";
        EXPECT_EQ(0u, z.archive->error);

        std::string out;
        char piece[777];
        while (uint32_t n = ReadEntryData(z.archive, piece, sizeof(piece)))
            out.append(piece, n);
        EXPECT_EQ(0u, z.archive->error);
        EXPECT_TRUE(out == data) << "read " << out.size() << " bytes";
        EXPECT_EQ(0u, z.archive->stream->uncompressedLeft);

        std::vector<char> big(100000);
        EXPECT_EQ(0u, ReadEntryData(z.archive, big.data(), (uint32_t)big.size())) << "after the end";
        EXPECT_EQ(0u, z.archive->error);
        CloseEntryStream(z.archive);
        EXPECT_EQ(-1, z.archive->currentIndex);
    }
}

TEST(DecodeReads, OneLargeReadDeliversOnlyTheEntry)
{
    std::string data = Sample(20000, true, 6);
    OpenedArchive z(ZipBuilder().add("f", data).add("g", "next entry").build());
    ASSERT_EQ(0u, z.code);
    ASSERT_EQ(0u, SelectEntry(z.archive, 0));
    OpenEntryStream(z.archive);
    ASSERT_EQ(0u, z.archive->error);
    std::vector<char> big(data.size() + 5000, 'x');
    ASSERT_EQ(data.size(), ReadEntryData(z.archive, big.data(), (uint32_t)big.size()));
    EXPECT_TRUE(std::string(big.data(), data.size()) == data);
    EXPECT_EQ('x', big[data.size()]) << "nothing written past the entry";
    CloseEntryStream(z.archive);
}

ZipBuilder::Entry Encrypted(const std::string& data, uint16_t method, const std::string& password)
{
    ZipBuilder::Entry e("secret.txt", data, method);
    e.password = password;
    return e;
}

TEST(DecodeEncryption, RightPasswordGivesExactlyTheData)
{
    std::string data = Sample(40000, true, 7);
    for (uint16_t method : {0, 8}) {
        SCOPED_TRACE(method == 0 ? "stored" : "deflated");
        std::string out;
        EXPECT_EQ(0u, ExtractFirst(ZipBuilder().add(Encrypted(data, method, "s3cret")).build(), out,
                                   "s3cret"));
        EXPECT_TRUE(out == data) << "extracted " << out.size() << " bytes";
    }
}

TEST(DecodeEncryption, WrongOrMissingPasswordDeliversNothing)
{
    std::string data = Sample(1000, true, 8);
    struct Case {
        const char* name;
        uint16_t method;
        const char* password;
    };
    const Case cases[] = {
        {"stored, wrong password", 0, "s3cres"},
        {"deflated, wrong password", 8, "S3CRET"},
        {"stored, no password", 0, nullptr},
        {"deflated, no password", 8, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OpenedArchive z(ZipBuilder().add(Encrypted(data, c.method, "s3cret")).build(), c.password);
        ASSERT_EQ(0u, z.code);
        ASSERT_EQ(0u, SelectEntry(z.archive, 0));
        OpenEntryStream(z.archive);
        EXPECT_EQ((uint32_t)RESULT_PASSWORD, z.archive->error) << "found before a byte is delivered";
        EXPECT_EQ(nullptr, z.archive->stream);
        CloseEntryStream(z.archive);
    }
}

// With a data descriptor the CRC was not known when the header was written:
// the check byte is the DOS time's high byte. The local header's sizes and
// CRC are zero there, so they must come from the central header.
TEST(DecodeEncryption, DataDescriptorTakesTheCheckByteFromTheTime)
{
    std::string data = "written by a streaming tool";
    ZipBuilder::Entry e = Encrypted(data, 8, "pw");
    e.dataDescriptor = true;
    e.dosTime = 0xA1B2;
    ASSERT_NE(0xA1, Crc32(data) >> 24) << "the two candidate check bytes must differ";
    std::string out;
    EXPECT_EQ(0u, ExtractFirst(ZipBuilder().add(e).build(), out, "pw"));
    EXPECT_EQ(data, out);

    e.checkByte = (uint8_t)(Crc32(data) >> 24);  // made the other way
    EXPECT_EQ((uint32_t)RESULT_PASSWORD, ExtractFirst(ZipBuilder().add(e).build(), out, "pw"));
}

// An empty entry's 12 header bytes are checked like any other's: the right
// password gives the empty entry, a wrong one 19.
TEST(DecodeEncryption, EmptyEncryptedEntryChecksItsHeader)
{
    for (const char* password : {"pw", "not it"}) {
        SCOPED_TRACE(password);
        OpenedArchive z(ZipBuilder().add(Encrypted("", 0, "pw")).build(), password);
        ASSERT_EQ(0u, z.code);
        ASSERT_EQ(0u, SelectEntry(z.archive, 0));
        EXPECT_EQ(12u, z.archive->header.compressedSize);
        std::string out;
        EXPECT_EQ(password[0] == 'p' ? 0u : (uint32_t)RESULT_PASSWORD, ExtractToMemory(z.archive, out, 0));
        EXPECT_EQ("", out);
    }
}

// The check byte is only one byte: a wrong password passes it once in 256
// tries. The CRC-32 then tells the garbage from the entry.
TEST(DecodeEncryption, WrongPasswordPassingTheCheckByteIsCaughtByTheCrc)
{
    std::string data = Sample(3000, true, 9);
    ZipBuilder::Entry stored = Encrypted(data, 0, "right");
    std::string lucky = LuckyWrongPassword(stored, (uint8_t)(Crc32(data) >> 24));
    std::string out;
    EXPECT_EQ((uint32_t)RESULT_FLATE, ExtractFirst(ZipBuilder().add(stored).build(), out, lucky.c_str()));

    // Deflated garbage fails inflate, ends early or mismatches the CRC:
    // onto a file every one of those is 18.
    ZipBuilder::Entry deflated = Encrypted(data, 8, "right");
    lucky = LuckyWrongPassword(deflated, (uint8_t)(Crc32(data) >> 24));
    OpenedArchive z(ZipBuilder().add(deflated).build(), lucky.c_str());
    ASSERT_EQ(0u, z.code);
    ASSERT_EQ(0u, SelectEntry(z.archive, 0));
    TempDir dir;
    std::string path = dir.file("lucky.txt");
    EXPECT_EQ((uint32_t)RESULT_FLATE, ExtractEntry(z.archive, &path[0], EXTRACT_TO_PATH));
}

ZipBuilder::Entry AesEncrypted(const std::string& data, uint16_t method, uint8_t strength, uint16_t version)
{
    ZipBuilder::Entry e("aes.bin", data, method);
    e.aesPassword = "s3cret";
    e.aesStrength = strength;
    e.aesVersion = version;
    return e;
}

// Every key length, both vendor versions, stored and deflated, across the
// boundaries of the input blocks and of the key stream made per call.
TEST(DecodeAes, EveryStrengthVersionAndMethod)
{
    const size_t sizes[] = {0, 1, 16383, 16385, 70001};
    for (uint8_t strength : {1, 2, 3})
        for (uint16_t version : {1, 2})
            for (uint16_t method : {0, 8})
                for (size_t size : sizes) {
                    SCOPED_TRACE("AES-" + std::to_string(64 + 64 * strength) + " AE-" + std::to_string(version) +
                                 (method == 0 ? " stored " : " deflated ") + std::to_string(size));
                    std::string data = Sample(size, method == 8, strength);
                    std::string out;
                    std::string zip = ZipBuilder().add(AesEncrypted(data, method, strength, version)).build();
                    EXPECT_EQ(0u, ExtractFirst(zip, out, "s3cret"));
                    EXPECT_TRUE(out == data) << "extracted " << out.size() << " bytes";
                }
}

// A wrong password fails the verifier when the stream opens: nothing is read
// as data, nothing is delivered.
TEST(DecodeAes, WrongOrMissingPasswordStopsAtTheVerifier)
{
    std::string data = Sample(5000, true, 15);
    std::string zip = ZipBuilder().add(AesEncrypted(data, 8, 3, 2)).build();
    for (const char* password : {"s3creT", "", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(password ? password : "(none)");
        OpenedArchive z(zip, password);
        ASSERT_EQ(0u, z.code);
        ASSERT_EQ(0u, SelectEntry(z.archive, 0));
        OpenEntryStream(z.archive);
        EXPECT_EQ((uint32_t)RESULT_PASSWORD, z.archive->error);
        EXPECT_EQ(nullptr, z.archive->stream);
        CloseEntryStream(z.archive);
    }
}

// The authentication code covers every encrypted byte: a change anywhere in
// them or in the code is 18, also where the recorded size stops the output
// before the changed byte. AE-1 checks the CRC-32 as well; AE-2 records none.
TEST(DecodeAes, AlteredDataOrCodeIsNeverTheEntry)
{
    std::string data = Sample(40000, false, 16);
    struct Case {
        const char* name;
        uint16_t version;
        int64_t flip;  // payload byte to change, from the end when negative; 0 for none
        std::optional<uint32_t> crc;
        std::optional<uint32_t> uncompressedSize;
        uint32_t expected;
    };
    const Case cases[] = {
        {"AE-2, a data byte changed", 2, 18 + 20000, {}, {}, RESULT_FLATE},
        {"AE-2, the last data byte changed", 2, -11, {}, {}, RESULT_FLATE},
        {"AE-2, the code changed", 2, -1, {}, {}, RESULT_FLATE},
        {"AE-2, a byte past the recorded size changed", 2, -12, {}, 39000, RESULT_FLATE},
        {"AE-2, a CRC recorded anyway", 2, 0, 0x12345678, {}, RESULT_OK},
        {"AE-1, a data byte changed", 1, 18 + 100, {}, {}, RESULT_FLATE},
        {"AE-1, a wrong CRC", 1, 0, Crc32(data) ^ 1, {}, RESULT_FLATE},
        {"AE-1, intact", 1, 0, {}, {}, RESULT_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ZipBuilder::Entry e = AesEncrypted(data, 0, 3, c.version);
        std::string payload = ZipBuilder::Payload(e);
        if (c.flip != 0)
            payload[c.flip > 0 ? c.flip : payload.size() + c.flip] ^= 0x01;
        e.rawPayload = payload;
        e.crc = c.crc;
        e.uncompressedSize = c.uncompressedSize;
        std::string out;
        EXPECT_EQ(c.expected, ExtractFirst(ZipBuilder().add(e).build(), out, "s3cret"));
        if (c.expected == RESULT_OK) {
            EXPECT_TRUE(out == data);
        }
    }
}

TEST(DecodeLayout, BytesBeforeTheArchive)
{
    std::string data = Sample(30000, true, 10);
    std::string zip = ZipBuilder().prefix(Sample(1234, false)).add("f", data).add("g", "x", 0).build();
    OpenedArchive z(zip);
    ASSERT_EQ(0u, z.code);
    EXPECT_EQ(1234u, z.archive->bytesBefore);
    std::string out;
    EXPECT_EQ(0u, ExtractToMemory(z.archive, out, 0));
    EXPECT_TRUE(out == data);
    EXPECT_EQ(0u, ExtractToMemory(z.archive, out, 1));
    EXPECT_EQ("x", out);
}

// The data start after the local header's own name and extra field, which
// may differ from the central ones.
TEST(DecodeLayout, LocalHeaderFieldsThatDifferFromTheCentralOnes)
{
    std::string data = Sample(2000, true, 11);
    ZipBuilder::Entry longExtra("f.txt", data, 8);
    longExtra.localExtra = ExtraBlock(0xCAFE, std::string(300, 'e'));
    longExtra.centralExtra = ExtraBlock(0xCAFE, "e");
    ZipBuilder::Entry wrongLocalName("g.txt", data, 0);
    wrongLocalName.localName = "other/g.txt";
    std::string zip = ZipBuilder().add(longExtra).add(wrongLocalName).build();
    OpenedArchive z(zip);
    ASSERT_EQ(0u, z.code);
    std::string out;
    EXPECT_EQ(0u, ExtractToMemory(z.archive, out, 0));
    EXPECT_TRUE(out == data);
    EXPECT_EQ(0u, ExtractToMemory(z.archive, out, 1));
    EXPECT_TRUE(out == data);
}

TEST(DecodeLayout, LocalHeaderBeyondTheSourceIsAReadFailure)
{
    for (uint32_t offset : {100000u, 0xFFFFFFF0u}) {
        SCOPED_TRACE(offset);
        ZipBuilder::Entry e("f", "data", 0);
        e.localHeaderOffset = offset;
        std::string out;
        EXPECT_EQ((uint32_t)RESULT_READ_FAILED, ExtractFirst(ZipBuilder().add(e).build(), out));
    }
}

// Recorded sizes and CRCs that do not describe the data: none of these may
// come back as success with the wrong bytes, and none may hang.
TEST(DecodeInconsistentEntries, MemoryExtractionResults)
{
    std::string data = Sample(40000, true, 12);
    std::string deflated = Deflate(data);
    struct Case {
        const char* name;
        ZipBuilder::Entry entry;
        uint32_t expected;
    };
    std::vector<Case> cases;
    auto add = [&](const char* name, uint16_t method, uint32_t expected, auto change) {
        ZipBuilder::Entry e("f", data, method);
        change(e);
        cases.push_back({name, e, expected});
    };
    for (uint16_t method : {0, 8}) {
        bool stored = method == 0;
        add(stored ? "stored, size smaller than the data" : "deflated, size smaller than the data",
            method, RESULT_FLATE, [&](ZipBuilder::Entry& e) { e.uncompressedSize = 39000; });
        add(stored ? "stored, wrong CRC" : "deflated, wrong CRC", method, RESULT_FLATE,
            [&](ZipBuilder::Entry& e) { e.crc = Crc32(data) ^ 1; });
    }
    add("deflate data that end before the recorded size", 8, RESULT_MEMORY_TOO_SMALL,
        [&](ZipBuilder::Entry& e) { e.uncompressedSize = 40001; });
    add("deflate data cut short", 8, RESULT_MEMORY_TOO_SMALL,
        [&](ZipBuilder::Entry& e) { e.rawPayload = deflated.substr(0, deflated.size() / 2); });
    add("stored, compressed size smaller than the uncompressed", 0, RESULT_MEMORY_TOO_SMALL,
        [&](ZipBuilder::Entry& e) { e.rawPayload = data.substr(0, 25000); });
    add("deflate data that zlib rejects", 8, RESULT_FLATE,
        [&](ZipBuilder::Entry& e) { e.rawPayload = std::string(100, '\xff'); });
    add("an empty entry with a CRC", 0, RESULT_FLATE, [&](ZipBuilder::Entry& e) {
        e.data = "";
        e.crc = 0x12345678;
    });

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string out;
        EXPECT_EQ(c.expected, ExtractFirst(ZipBuilder().add(c.entry).build(), out));
    }
}

// A recorded size below the data's is not the entry, even with the CRC of
// the bytes it stops at: the data go on past it.
TEST(DecodeInconsistentEntries, ShorterSizeWithItsOwnCrcIsNotTheEntry)
{
    std::string data = Sample(40000, true, 13);
    std::string cut = data.substr(0, 39000);
    for (uint16_t method : {0, 8}) {
        SCOPED_TRACE(method == 0 ? "stored" : "deflated");
        ZipBuilder::Entry e("f", data, method);
        e.uncompressedSize = (uint32_t)cut.size();
        e.crc = Crc32(cut);
        std::string out;
        EXPECT_EQ((uint32_t)RESULT_FLATE, ExtractFirst(ZipBuilder().add(e).build(), out));
    }
}

// The input runs out with output still owed: the reads hand back what there
// was and then nothing, and the bytes owed stay visible.
TEST(DecodeInconsistentEntries, InputRunningOutEndsTheReads)
{
    std::string data = Sample(30000, true, 14);
    std::string deflated = Deflate(data);
    struct Case {
        const char* name;
        uint16_t method;
        std::string payload;
    };
    const Case cases[] = {
        {"stored", 0, data.substr(0, 20000)},
        {"deflated", 8, deflated.substr(0, deflated.size() - 10)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ZipBuilder::Entry e("f", data, c.method);
        e.rawPayload = c.payload;
        OpenedArchive z(ZipBuilder().add(e).build());
        ASSERT_EQ(0u, z.code);
        ASSERT_EQ(0u, SelectEntry(z.archive, 0));
        OpenEntryStream(z.archive);
        ASSERT_EQ(0u, z.archive->error);
        std::string out;
        std::vector<char> buffer(4096);
        int reads = 0;
        while (uint32_t n = ReadEntryData(z.archive, buffer.data(), (uint32_t)buffer.size())) {
            out.append(buffer.data(), n);
            ASSERT_LT(++reads, 100) << "the reads do not end";
        }
        EXPECT_EQ(0u, z.archive->error);
        EXPECT_GT(out.size(), 0u);
        EXPECT_TRUE(out == data.substr(0, out.size())) << "what was delivered is the entry's start";
        EXPECT_EQ(data.size() - out.size(), z.archive->stream->uncompressedLeft);
        EXPECT_EQ(0u, ReadEntryData(z.archive, buffer.data(), (uint32_t)buffer.size()));
        CloseEntryStream(z.archive);
    }
}

}  // namespace
