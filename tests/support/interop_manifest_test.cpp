// interop_manifest_test.cpp -- the interop archives and their manifests are
// there, parse, and describe what other tests rely on: sources whose bytes
// match the recorded sizes and CRCs, and the variety each tool was asked for.
#include <gtest/gtest.h>

#include <set>

#include "support/bytes.h"
#include "support/manifest.h"
#include "support/winfiles.h"

namespace {

TEST(InteropSet, EveryManifestRowMatchesItsSourceFile) {
  std::vector<InteropArchive> archives = LoadInteropIndex(InteropPath("archives.txt"));
  ASSERT_GE(archives.size(), 13u) << "run the interop_archives build target";
  for (const InteropArchive& a : archives) {
    SCOPED_TRACE(a.file + " (" + a.tool + ")");
    EXPECT_TRUE(FileExists(InteropPath(a.file)));
    std::map<std::string, std::string> properties;
    std::vector<ManifestRow> rows = LoadManifest(InteropPath(a.file + ".manifest"), &properties);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(properties["kind"], a.kind);
    EXPECT_EQ(properties["archive"], a.file);
    EXPECT_EQ(properties["tz"], "UTC");
    for (const ManifestRow& row : rows) {
      SCOPED_TRACE(row.name);
      // An empty file has nothing to hide: libarchive stores it plain.
      if (row.size != 0 || a.password.empty()) {
        EXPECT_EQ(row.encrypted, !a.password.empty() && !row.isDirectory());
      }
      if (row.isDirectory()) {
        EXPECT_TRUE(DirectoryExists(InteropPath(row.source)));
        EXPECT_EQ(row.size, 0u);
        continue;
      }
      std::string bytes;
      ASSERT_TRUE(ReadWholeFile(InteropPath(row.source), bytes)) << row.source;
      EXPECT_EQ(row.size, bytes.size());
      if (row.method != 99 || row.crc != 0) { // WinZip AE-2 records no CRC
        EXPECT_EQ(row.crc, Crc32(bytes));
      }
    }
  }
}

const ManifestRow* Find(const std::vector<ManifestRow>& rows, const std::string& name) {
  for (const ManifestRow& row : rows)
    if (row.name == name) return &row;
  return nullptr;
}

TEST(InteropSet, ToolsMadeTheIntendedKindsOfEntry) {
  auto deflated = LoadManifest(InteropPath("zip_deflated.zip.manifest"));
  const ManifestRow* random = Find(deflated, "bin/random.bin");
  ASSERT_NE(random, nullptr);
  EXPECT_EQ(random->size, 1u << 20);
  EXPECT_GE(random->compressedSize, random->size - 1024) << "not incompressible";
  const ManifestRow* guide = Find(deflated, "docs/guide.txt");
  ASSERT_NE(guide, nullptr);
  EXPECT_EQ(guide->method, 8);
  EXPECT_LT(guide->compressedSize, guide->size / 4);
  EXPECT_EQ(guide->year, 2020); // 2020-02-29 23:59:58, recorded in UTC
  EXPECT_EQ(guide->day, 29);
  EXPECT_EQ(guide->second, 58);
  EXPECT_TRUE(guide->hasUnixMtime);
  EXPECT_EQ(guide->unixMtime, 1583020798);
  const ManifestRow* readonly = Find(deflated, "readonly.txt");
  ASSERT_NE(readonly, nullptr);
  EXPECT_EQ(readonly->createSystem, 3);
  EXPECT_EQ(readonly->externalAttributes & 0x00800000u, 0u) << "owner-write bit set";
  ASSERT_NE(Find(deflated, "emptydir/"), nullptr);
  const ManifestRow* empty = Find(deflated, "docs/empty.dat");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->size, 0u);

  for (const ManifestRow& row : LoadManifest(InteropPath("zip_stored.zip.manifest")))
    EXPECT_EQ(row.method, 0) << row.name;
  for (const char* file : {"7z_aes128.zip", "7z_aes192.zip", "7z_aes256.zip", "bsdtar_aes256.zip"})
    for (const ManifestRow& row : LoadManifest(InteropPath(std::string(file) + ".manifest")))
      if (!row.isDirectory() && row.size != 0) {
        EXPECT_EQ(row.method, 99) << file << ": " << row.name;
      }
  for (const ManifestRow& row : LoadManifest(InteropPath("zip_noextra.zip.manifest")))
    EXPECT_FALSE(row.hasUnixMtime) << row.name;

  auto stream = LoadManifest(InteropPath("zip_stream.zip.manifest"));
  size_t described = 0;
  for (const ManifestRow& row : stream) described += (row.flags & 8) != 0;
  EXPECT_GE(described, 7u) << "streamed files should carry data descriptors";

  auto stdinZip = LoadManifest(InteropPath("zip_stdin.zip.manifest"));
  ASSERT_EQ(stdinZip.size(), 1u);
  EXPECT_EQ(stdinZip[0].name, "-");
  EXPECT_EQ(stdinZip[0].source, "src/docs/guide.txt");

  auto py = LoadManifest(InteropPath("py_deflated.zip.manifest"));
  ASSERT_NE(Find(py, "deep/a/b/"), nullptr);
  EXPECT_EQ(Find(py, "deep/a/b/")->externalAttributes & 0x10, 0x10u);

  auto named = LoadManifest(InteropPath("gzip_named.gz.manifest"));
  ASSERT_EQ(named.size(), 1u);
  EXPECT_EQ(named[0].name, "guide.txt");
  EXPECT_EQ(named[0].unixMtime, 1583020798);
  auto bare = LoadManifest(InteropPath("gzip_bare.gz.manifest"));
  ASSERT_EQ(bare.size(), 1u);
  EXPECT_EQ(bare[0].name, "");
  EXPECT_FALSE(bare[0].hasUnixMtime);
}

TEST(ManifestParsing, ReadsFieldsAndRejectsMalformedLines) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  std::string good =
      "# archive\tx.zip\n# kind\tzip\n"
      "a b.txt\t8\t9\t10\t22\tdeadbeef\t2020 2 29 23 59 58\t3\t81a40000\t1\t-5\tsrc/a b.txt\r\n"
      "\t0\t0\t0\t0\t00000000\t0 0 0 0 0 0\t0\t00000010\t0\t-\tsrc/d/\t- 1700000000\n";
  ASSERT_TRUE(WriteWholeFile(dir.file("good.manifest"), good));
  std::map<std::string, std::string> properties;
  auto rows = LoadManifest(dir.file("good.manifest"), &properties);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(properties["kind"], "zip");
  EXPECT_EQ(rows[0].name, "a b.txt");
  EXPECT_EQ(rows[0].flags, 9);
  EXPECT_EQ(rows[0].compressedSize, 22u);
  EXPECT_EQ(rows[0].crc, 0xDEADBEEFu);
  EXPECT_EQ(rows[0].minute, 59);
  EXPECT_EQ(rows[0].externalAttributes, 0x81A40000u);
  EXPECT_TRUE(rows[0].encrypted);
  EXPECT_EQ(rows[0].unixMtime, -5);
  EXPECT_EQ(rows[0].source, "src/a b.txt");
  EXPECT_EQ(rows[1].name, "");
  EXPECT_FALSE(rows[1].hasUnixMtime);
  EXPECT_TRUE(rows[1].isDirectory());
  EXPECT_FALSE(rows[0].hasUnixAtime || rows[0].hasUnixCtime || rows[1].hasUnixAtime);
  EXPECT_TRUE(rows[1].hasUnixCtime);
  EXPECT_EQ(rows[1].unixCtime, 1700000000);

  const char* bad[] = {
      "a\t8\t9\t10\t22\tdeadbeef\t2020 2 29 23 59 58\t3\t81a40000\t1\t-\n",       // 11 fields
      "a\t8\t9\tten\t22\tdeadbeef\t2020 2 29 23 59 58\t3\t81a40000\t1\t-\tsrc\n", // not a number
      "a\t8\t9\t10\t22\tdeadbeef\t2020 2 29\t3\t81a40000\t1\t-\tsrc\n",           // short date
      "a\t8\t9\t10\t22\tdeadbeef\t2020 2 29 23 59 58\t3\t81a40000\t1\t-\tsrc\t5\n", // one UT time of two
  };
  for (const char* line : bad) {
    SCOPED_TRACE(line);
    ASSERT_TRUE(WriteWholeFile(dir.file("bad.manifest"), line));
    EXPECT_TRUE(LoadManifest(dir.file("bad.manifest")).empty());
  }
  EXPECT_TRUE(LoadManifest(dir.file("missing.manifest")).empty());
}

} // namespace
