// catalogue_crypto_test.cpp -- hostile encrypted entries: a wrong password
// that passes the check byte, encrypted data shorter than its 12-byte header,
// check bytes taken from the wrong field, and no password at all; WinZip AES
// entries with malformed fields, cut short, altered, or opened without the
// password.
#include "catalogue.h"
#include "support/pkware.h"
#include "support/zipbuilder.h"

namespace {

const std::string PASSWORD = "correct horse";

// The 12th decrypted header byte under `password`: what the reader compares
// with the check byte.
uint8_t DecryptedCheck(const std::string& payload, const std::string& password)
{
    return (uint8_t)PkwareDecrypt(password, payload.substr(0, 12))[11];
}

// A password other than `right` whose decryption of `payload` passes the
// check byte: one in about 256 does.
std::string WrongPasswordThatPasses(const std::string& payload, uint8_t check, const std::string& right)
{
    for (int i = 0;; i++) {
        std::string guess = "wrong" + std::to_string(i);
        if (guess != right && DecryptedCheck(payload, guess) == check)
            return guess;
    }
}

HostileCase One(const std::string& name, const ZipBuilder::Entry& entry, const std::string& password,
                EntryExpect expect)
{
    ZipBuilder zip;
    zip.add(entry);
    HostileCase c{name, zip.build()};
    c.password = password;
    c.entries = {expect};
    c.names = {entry.name};
    return c;
}

std::vector<HostileCase> CryptoCases()
{
    using E = ZipBuilder::Entry;
    std::vector<HostileCase> cases;
    const std::string text = Text(3000);

    for (uint16_t method : {0, 8}) {
        const std::string kind = method == 0 ? "stored" : "deflated";
        E e("secret.txt", text, method);
        e.password = PASSWORD;
        const std::string payload = ZipBuilder::Payload(e);
        const uint8_t check = (uint8_t)(Crc32(text) >> 24);

        cases.push_back(One(kind + ", right password", e, PASSWORD, Ok(1, text)));
        cases.push_back(One(kind + ", wrong password that passes the check byte", e,
                            WrongPasswordThatPasses(payload, check, PASSWORD),
                            Fails(1, {11, 18}, {18})));
        {
            // Without a password the keys keep their starting values.
            bool passes = DecryptedCheck(payload, "") == check;
            cases.push_back(One(kind + ", no password", e, "",
                                passes ? Fails(1, {11, 18}, {18}) : Fails(1, {19}, {19})));
        }
        for (uint32_t size : {0u, 5u, 11u}) {
            E cut = e;
            cut.rawPayload = payload.substr(0, size);
            cases.push_back(One(kind + ", encrypted data of " + std::to_string(size) + " bytes", cut, PASSWORD,
                                Fails(1, {11, 18}, {18})));
        }
        {
            // An empty entry's header is checked too; deflated, it still
            // needs its (empty) deflate data.
            E exact("empty.txt", "", method);
            exact.password = PASSWORD;
            exact.rawPayload = ZipBuilder::Payload(exact).substr(0, 12);
            cases.push_back(One(kind + ", header alone for an empty entry", exact, PASSWORD,
                                method == 0 ? Ok(1, "") : Fails(1, {18}, {18})));
            bool passes = DecryptedCheck(exact.rawPayload.value(), "wrong") == 0;
            cases.push_back(One(kind + ", header alone for an empty entry, wrong password", exact, "wrong",
                                !passes ? Fails(1, {19}, {19}) : method == 0 ? Ok(1, "") : Fails(1, {18}, {18})));
        }
    }

    // PKWARE strong encryption is another cipher: refused at selection, never
    // read as the traditional one (whose password this is).
    {
        E strong("strong.txt", text);
        strong.password = PASSWORD;
        strong.flags = 0x0040;
        cases.push_back(One("strong encryption, flag bit 6", strong, PASSWORD, Unselectable(1, 8)));
        E field("field.txt", text);
        field.password = PASSWORD;
        field.centralExtra = ExtraBlock(0x0017, std::string(8, '\x01'));
        cases.push_back(One("strong encryption, its 0x0017 field", field, PASSWORD, Unselectable(1, 8)));
    }

    // Flag bit 3 takes the check byte from the DOS time; an archive that
    // took it from the CRC instead fails the check, unless the two agree.
    {
        E e("descriptor.txt", text);
        e.password = PASSWORD;
        e.dataDescriptor = true;
        e.checkByte = (uint8_t)(Crc32(text) >> 24);
        e.dosTime = 0x1234;
        bool agree = (uint8_t)(e.dosTime >> 8) == *e.checkByte;
        cases.push_back(One("bit 3 set, check byte from the CRC, not the time", e, PASSWORD,
                            agree ? Ok(1, text) : Fails(1, {19}, {19})));
        e.checkByte = (uint8_t)(e.dosTime >> 8);
        cases.push_back(One("bit 3 set, check byte from the time", e, PASSWORD, Ok(1, text)));
        e.dataDescriptor = false;
        bool same = (uint8_t)(Crc32(text) >> 24) == *e.checkByte;
        cases.push_back(One("bit 3 clear, check byte from the time, not the CRC", e, PASSWORD,
                            same ? Ok(1, text) : Fails(1, {19}, {19})));
    }
    {
        // A password of 1,000 characters is only ever fed to the keys.
        E e("long.txt", text);
        std::string password(1000, 'p');
        e.password = password;
        cases.push_back(One("password of 1,000 characters", e, password, Ok(1, text)));
    }
    return cases;
}

// A method-99 entry whose AES field says `data` (7 bytes when well formed).
ZipBuilder::Entry AesFieldSays(const std::string& data, const std::string& payload)
{
    ZipBuilder::Entry e("aes.txt", "", METHOD_WINZIP_AES);
    e.centralExtra = ExtraBlock(0x9901, data);
    e.localExtra = e.centralExtra;
    e.rawPayload = payload;
    e.uncompressedSize = 100;
    return e;
}

std::string AesField(uint16_t version, const std::string& vendor, uint8_t strength, uint16_t method)
{
    std::string data;
    PutU16(data, version);
    data += vendor;
    data += (char)strength;
    PutU16(data, method);
    return data;
}

std::vector<HostileCase> AesCases()
{
    using E = ZipBuilder::Entry;
    std::vector<HostileCase> cases;
    const std::string text = Text(3000);
    const std::string junk = Text(200);

    for (uint16_t method : {0, 8}) {
        const std::string kind = method == 0 ? "AES stored" : "AES deflated";
        E e("aes.txt", text, method);
        e.aesPassword = PASSWORD;
        const std::string payload = ZipBuilder::Payload(e);  // 16 salt, 2 verifier, data, 10 code

        cases.push_back(One(kind + ", right password", e, PASSWORD, Ok(1, text)));
        cases.push_back(One(kind + ", wrong password", e, PASSWORD + "!", Fails(1, {19}, {19})));
        cases.push_back(One(kind + ", no password", e, "", Fails(1, {19}, {19})));
        for (uint32_t size : {0u, 10u, 17u, 27u}) {
            E cut = e;
            cut.rawPayload = payload.substr(0, size);
            cases.push_back(One(kind + ", entry of " + std::to_string(size) + " bytes, short of salt and code", cut,
                                PASSWORD, Fails(1, {11, 18}, {18})));
        }
        {
            E cut = e;
            cut.rawPayload = payload.substr(0, payload.size() - 5);
            cases.push_back(One(kind + ", code cut short", cut, PASSWORD, Fails(1, {11, 18}, {18})));
        }
        for (size_t at : {size_t(20), payload.size() - 1}) {
            E altered = e;
            altered.rawPayload = payload;
            (*altered.rawPayload)[at] ^= 0x10;
            cases.push_back(One(kind + (at == 20 ? ", a data byte altered" : ", the code altered"), altered, PASSWORD,
                                Fails(1, {11, 18}, {18})));
        }
    }
    {
        E e("long.txt", text);
        std::string password(1000, 'q');
        e.aesPassword = password;
        e.aesStrength = 1;
        cases.push_back(One("AES, password of 1,000 characters", e, password, Ok(1, text)));
    }

    // Fields this reader cannot use: a version, vendor, strength or inner
    // method it does not know is 8; a field of the wrong length, or none, 6.
    const struct {
        const char* name;
        std::string field;
        uint32_t code;
    } fields[] = {
        {"AES strength 0", AesField(2, "AE", 0, 8), 8},
        {"AES strength 4", AesField(2, "AE", 4, 8), 8},
        {"AES inner method 6 (implode)", AesField(2, "AE", 3, 6), 8},
        {"AES inner method 99", AesField(2, "AE", 3, 99), 8},
        {"AES vendor version 3", AesField(3, "AE", 3, 8), 8},
        {"AES vendor id not AE", AesField(2, "XY", 3, 8), 8},
        {"AES field of 6 bytes", AesField(2, "AE", 3, 8).substr(0, 6), 6},
        {"AES field of 8 bytes", AesField(2, "AE", 3, 8) + "x", 6},
    };
    for (const auto& f : fields)
        cases.push_back(One(f.name, AesFieldSays(f.field, junk), PASSWORD, Unselectable(1, f.code)));
    {
        E none = AesFieldSays("", junk);
        none.centralExtra = none.localExtra = UtBlock(1, 1000000000);
        cases.push_back(One("method 99 without an AES field", none, PASSWORD, Unselectable(1, 6)));
        E past = AesFieldSays("", junk);
        past.centralExtra = ExtraBlock(0x9901, AesField(2, "AE", 3, 8)).substr(0, 9);
        cases.push_back(One("AES field running past the extra data", past, PASSWORD, Unselectable(1, 6)));
    }
    return cases;
}

TEST_F(HostileCatalogue, Encryption)
{
    RunTable(CryptoCases());
}

TEST_F(HostileCatalogue, WinZipAes)
{
    RunTable(AesCases());
}

}  // namespace
