// catalogue_crypto_test.cpp -- hostile encrypted entries: a wrong password
// that passes the check byte, encrypted data shorter than its 12-byte header,
// check bytes taken from the wrong field, and no password at all.
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
                                Fails(1, {11}, {18})));
        }
        {
            E exact = e;
            exact.rawPayload = payload.substr(0, 12);
            exact.uncompressedSize = 0;
            exact.crc = 0;
            cases.push_back(One(kind + ", header alone for an empty entry", exact, PASSWORD, Ok(1, "")));
        }
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

TEST_F(HostileCatalogue, Encryption)
{
    RunTable(CryptoCases());
}

}  // namespace
