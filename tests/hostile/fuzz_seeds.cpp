// fuzz_seeds.cpp -- builds the fuzzer's starting archives in code, small
// enough that thousands of mutations a second stay possible.
#include "fuzz_seeds.h"

#include <windows.h>

#include "support/gzipbuilder.h"
#include "support/zipbuilder.h"

static std::string Words(size_t size, uint32_t seed)
{
    static const char* const words[] = {"alpha ", "beta ", "gamma ", "delta\n", "epsilon ", "zeta "};
    std::string out;
    while (out.size() < size) {
        seed = seed * 1103515245u + 12345u;
        out += words[(seed >> 24) % 6];
    }
    out.resize(size);
    return out;
}

static std::vector<FuzzSeed> Build()
{
    std::vector<FuzzSeed> seeds;
    {
        ZipBuilder zip;
        zip.add("readme.txt", Words(1500, 1));
        zip.back().centralExtra = UtBlock(3, 1000000000, 1100000000);
        zip.back().localExtra = UtBlock(7, 1000000000, 1100000000, 900000000);
        zip.add("stored.bin", Words(300, 2), 0);
        zip.add("docs/", "", 0);
        zip.back().externalAttributes = FILE_ATTRIBUTE_DIRECTORY;
        zip.add("docs/unix.txt", Words(800, 3));
        zip.back().madeBy(HOST_UNIX, 30);
        zip.back().externalAttributes = 0x81A40000;
        zip.add("empty.txt", "", 0);
        zip.comment("an archive comment");
        seeds.push_back({"mixed", zip.build(), "", {"readme.txt", "docs/unix.txt"}});
    }
    {
        ZipBuilder zip;
        ZipBuilder::Entry secret("secret.txt", Words(2000, 4));
        secret.password = "fuzz";
        zip.add(secret);
        ZipBuilder::Entry stored("secret.bin", Words(400, 5), 0);
        stored.password = "fuzz";
        stored.dataDescriptor = true;
        zip.add(stored);
        zip.add("plain.txt", Words(200, 6));
        seeds.push_back({"encrypted", zip.build(), "fuzz", {"secret.txt", "plain.txt"}});
    }
    {
        // WinZip AES: both versions, stored and deflated, the shortest keys
        // (the key derivation runs once per extraction).
        ZipBuilder zip;
        ZipBuilder::Entry deflated("aes.txt", Words(1200, 12));
        deflated.aesPassword = "fuzz";
        deflated.aesStrength = 1;
        zip.add(deflated);
        ZipBuilder::Entry stored("aes.bin", Words(300, 13), 0);
        stored.aesPassword = "fuzz";
        stored.aesStrength = 1;
        stored.aesVersion = 1;
        zip.add(stored);
        seeds.push_back({"winzip aes", zip.build(), "fuzz", {"aes.txt", "aes.bin"}});
    }
    {
        ZipBuilder zip;
        zip.prefix(std::string(200, 'S'));
        zip.add("a/b/c.txt", Words(700, 7));
        zip.back().dataDescriptor = true;
        zip.add("../up.txt", Words(100, 8), 0);
        seeds.push_back({"stub and descriptor", zip.build(), "", {"a/b/c.txt", "../up.txt"}});
    }
    {
        ZipBuilder zip;
        zip.add("big.txt", Words(20000, 9));
        seeds.push_back({"two blocks", zip.build(), "", {"big.txt"}});
    }
    {
        // The methods beyond deflate, one entry each, from streams real
        // tools made at build time; PPMd once more inside WinZip AES.
        ZipBuilder zip;
        for (uint16_t method : {METHOD_DEFLATE64, METHOD_BZIP2, METHOD_LZMA, METHOD_ZSTANDARD, METHOD_XZ,
                                METHOD_PPMD})
            zip.add(MethodEntry("m" + std::to_string(method) + ".txt", method, "seed"));
        ZipBuilder::Entry aes = MethodEntry("aes.txt", METHOD_PPMD, "seed");
        aes.aesPassword = "fuzz";
        aes.aesStrength = 1;
        zip.add(aes);
        seeds.push_back({"methods", zip.build(), "fuzz", {"m9.txt", "m98.txt", "aes.txt"}});
    }
    {
        // ZIP64 end record, locator and blocks; names in UTF-8 (declared, by a
        // Unicode Path block, from Unix); NTFS and old Unix times.
        ZipBuilder zip;
        zip.zip64();
        zip.add("\xEF\xBC\x8E\xEF\xBC\x8E\xEF\xBC\x8F" "R\xC3\xA9sum\xC3\xA9.txt", Words(900, 12));
        zip.back().flags = FLAG_UTF8_NAME;
        zip.back().zip64 = true;
        zip.back().centralExtra = NtfsBlock(130000000000000000ull, 130000000000000000ull, 0);
        zip.add("Resume.txt", Words(300, 13), 0);
        zip.back().zip64 = true;
        zip.back().centralExtra = UnicodePathBlock("Resume.txt", "..\xE2\x88\x95R\xC3\xA9sum\xC3\xA9.txt") +
                                  OldUnixBlock(1000000000, 1100000000);
        zip.add("\xE4\xB8\x96\xE7\x95\x8C/x.txt", Words(200, 14));
        zip.back().madeBy(HOST_UNIX, 30);
        seeds.push_back({"zip64 and unicode", zip.build(), "", {"Resume.txt", "\xE4\xB8\x96\xE7\x95\x8C/x.txt"}});
    }
    seeds.push_back({"gzip with every part",
                     GzipBuilder().data(Words(3000, 10)).name("data.txt").comment("a comment")
                         .extra("XY\4\0abcd").headerCrc().mtime(1000000000).build(),
                     "", {"data.txt"}});
    seeds.push_back({"gzip plain", GzipBuilder().data(Words(500, 11)).name("plain").build(), "", {"plain"}});
    return seeds;
}

const std::vector<FuzzSeed>& FuzzSeeds()
{
    static const std::vector<FuzzSeed> seeds = Build();
    return seeds;
}
