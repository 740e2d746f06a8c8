// builder_samples.cpp -- writes representative ZipBuilder and GzipBuilder
// archives into a folder, with expect.txt describing each entry, so that
// independent readers (check_builder_samples.py) can confirm them.
//
// expect.txt, one tab-separated line per entry (hex fields are the bytes in
// hex, so names with NULs or tabs survive):
//   zip   archive password name_hex data_hex method flags dos_date dos_time external_attr_hex comment_hex
//   gzip  archive name_hex data_hex flg mtime comment_hex extra_hex
//   zipcomment archive comment_hex
#include <windows.h>

#include <cstdio>
#include <string>

#include "support/gzipbuilder.h"
#include "support/winfiles.h"
#include "support/zipbuilder.h"

static std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out.empty() ? "-" : out;
}

// Text that deflates well but not trivially, and bytes that do not.
static std::string Text(size_t size) {
  std::string out;
  for (unsigned i = 0; out.size() < size; ++i)
    out += "row " + std::to_string(i * 7919 % 10007) + " of the sample text\n";
  out.resize(size);
  return out;
}

static std::string Noise(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  for (char& c : out) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  return out;
}

struct Writer {
  std::string folder;
  std::string expect;
  bool ok = true;

  void zip(const std::string& file, const ZipBuilder& builder, const std::string& comment = "") {
    ok = WriteWholeFile(folder + "\\" + file, builder.build()) && ok;
    for (size_t i = 0; i < builder.count(); ++i) {
      const ZipBuilder::Entry& e = builder.entry(i);
      uint16_t flags = e.flags | (e.password ? FLAG_ENCRYPTED : 0) |
                       (e.dataDescriptor ? FLAG_DATA_DESCRIPTOR : 0);
      char numbers[96];
      std::snprintf(numbers, sizeof numbers, "%u\t%u\t%u\t%u\t%08lx", e.method, flags, e.dosDate,
                    e.dosTime, static_cast<unsigned long>(e.externalAttributes));
      expect += "zip\t" + file + "\t" + (e.password ? *e.password : "-") + "\t" + Hex(e.name) +
                "\t" + Hex(e.data) + "\t" + numbers + "\t" + Hex(e.comment) + "\n";
    }
    expect += "zipcomment\t" + file + "\t" + Hex(comment) + "\n";
  }

  void gzip(const std::string& file, const GzipBuilder& builder, const std::string& name,
            const std::string& data, unsigned flg, uint32_t mtime, const std::string& comment,
            const std::string& extra) {
    ok = WriteWholeFile(folder + "\\" + file, builder.build()) && ok;
    char numbers[32];
    std::snprintf(numbers, sizeof numbers, "%u\t%lu", flg, static_cast<unsigned long>(mtime));
    expect += "gzip\t" + file + "\t" + Hex(name) + "\t" + Hex(data) + "\t" + numbers + "\t" +
              Hex(comment) + "\t" + Hex(extra) + "\n";
  }
};

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: builder_samples FOLDER\n");
    return 2;
  }
  Writer w;
  w.folder = argv[1];
  CreateDirectoryA(w.folder.c_str(), nullptr);
  if (!DirectoryExists(w.folder)) {
    std::fprintf(stderr, "builder_samples: cannot make %s\n", w.folder.c_str());
    return 1;
  }

  w.zip("plain.zip", ZipBuilder().add("a.txt", "hello"));

  {
    ZipBuilder b;
    b.add("stored.txt", "stored, not deflated\n", 0);
    b.add("big.txt", Text(100000)).back().level = 9;
    b.add("level0.bin", Noise(5000, 1)).back().level = 0;
    b.add("empty.dat", "");
    b.add("dir/", "", 0).back().externalAttributes = 0x10;
    ZipBuilder::Entry unix("dir/unix.txt", "made on Unix\n");
    unix.madeBy(HOST_UNIX, 30).stamp(DosStamp(1999, 12, 31, 23, 59, 58));
    unix.externalAttributes = 0x81A40000;
    unix.centralExtra = ExtraBlock(0xCAFE, "xyz") + UtBlock(1, 946684798);
    unix.localExtra = UtBlock(7, 946684798, 946684799, 946684000);
    unix.comment = "an entry comment";
    b.add(unix);
    b.comment("the archive comment");
    w.zip("mixed.zip", b, "the archive comment");
  }

  {
    ZipBuilder b;
    b.add("secret.txt", "deflated and encrypted\n").back().password = "secret";
    b.add("stored-secret.txt", "stored and encrypted\n", 0).back().password = "secret";
    ZipBuilder::Entry late("descriptor-secret.bin", Noise(100000, 2));
    late.password = "secret";
    late.dataDescriptor = true;
    late.stamp(DosStamp(2010, 5, 6, 7, 8, 10));
    b.add(late);
    w.zip("encrypted.zip", b);
  }

  {
    ZipBuilder b;
    b.add("with-signature.txt", Text(30000)).back().dataDescriptor = true;
    ZipBuilder::Entry bare("without-signature.txt", Text(2000), 0);
    bare.dataDescriptor = true;
    bare.descriptorSignature = false;
    b.add(bare);
    w.zip("descriptor.zip", b);
  }

  {
    ZipBuilder b;
    b.zip64();
    b.prefix("stub");
    ZipBuilder::Entry utf8("R\xC3\xA9sum\xC3\xA9/\xE4\xB8\x96\xE7\x95\x8C.txt", Text(20000));
    utf8.flags = FLAG_UTF8_NAME;
    utf8.zip64 = true;
    utf8.centralExtra = NtfsBlock(130000000000000000ull, 130000000000000000ull, 0) +
                        UnicodePathBlock(utf8.name, utf8.name) + OldUnixBlock(1, 2);
    b.add(utf8);
    b.add("stored64.bin", Noise(3000, 5), 0).back().zip64 = true;
    w.zip("zip64.zip", b);
  }

  {
    ZipBuilder b;
    b.prefix("MZ" + Noise(998, 3));
    b.add("after-stub.txt", "found past a 1000-byte stub\n");
    b.add("second.bin", Noise(20000, 4), 0);
    b.comment("self-extractor style");
    w.zip("prefixed.zip", b, "self-extractor style");
  }

  {
    std::string data = Text(50000);
    std::string extra("AB\x04\x00wxyz", 8); // subfield "AB", 4 data bytes
    GzipBuilder g;
    g.data(data).name("data.txt").comment("a comment").extra(extra).headerCrc().text()
        .mtime(1234567890);
    w.gzip("named.gz", g, "data.txt", data,
           GZIP_FTEXT | GZIP_FHCRC | GZIP_FEXTRA | GZIP_FNAME | GZIP_FCOMMENT, 1234567890,
           "a comment", extra);
  }
  w.gzip("plain.gz", GzipBuilder().data("hello gzip\n"), "", "hello gzip\n", 0, 0, "", "");
  w.gzip("empty.gz", GzipBuilder(), "", "", 0, 0, "", "");

  w.ok = WriteWholeFile(w.folder + "\\expect.txt", w.expect) && w.ok;
  if (!w.ok) {
    std::fprintf(stderr, "builder_samples: writing into %s failed\n", w.folder.c_str());
    return 1;
  }
  std::printf("builder_samples: wrote the samples and expect.txt into %s\n", w.folder.c_str());
  return 0;
}
