// open_test.cpp -- OPEN from every kind of source: where the end record is
// found and where it is not, the gzip fallback, handles positioned inside a
// file, pipes, the resource archive, and what each failure leaves behind.
#include <gtest/gtest.h>

#include "helpers.h"
#include "resource_archive.h"
#include "support/bytes.h"
#include "support/gzipbuilder.h"
#include "support/winfiles.h"
#include "support/zipbuilder.h"

namespace {

class OpenTest : public ArchiveTest {
 protected:
  // The code of opening `bytes` from memory, and from a file holding them;
  // "both differ" with the two codes when the sources disagree.
  std::string CodeFromBothSources(const std::string& bytes)
  {
    std::string fromMemory = OpenCode(bytes, "MEMORY");
    std::string path = dir.file("archive.zip");
    if (!WriteWholeFile(path, bytes))
      return "(cannot write " + path + ")";
    std::string fromFile = OpenCode(path, "FILE");
    Call("CLOSE", {});
    return fromMemory == fromFile ? fromMemory
                                  : "both differ: memory " + fromMemory + ", file " + fromFile;
  }

  // Opens `bytes` written to a file, through a handle of the test's own
  // positioned at `position`. The handle stays open for the test to probe.
  std::string CodeThroughHandleAt(const std::string& bytes, uint32_t position)
  {
    std::string path = dir.file("handle.bin");
    if (!WriteWholeFile(path, bytes))
      return "(cannot write " + path + ")";
    handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
      return "(cannot open " + path + ")";
    SetFilePointer(handle, position, nullptr, FILE_BEGIN);
    return OpenCode(Number(handle), "PIPE");
  }

  void TearDown() override
  {
    ArchiveTest::TearDown();
    if (handle != INVALID_HANDLE_VALUE)
      CloseHandle(handle);
  }

  TempDir dir;
  HANDLE handle = INVALID_HANDLE_VALUE;
};

// A one-entry archive whose end record starts `distance` bytes before the end
// of the source: the comment fills the rest, without a signature of its own.
// A stub in front makes the source longer than the windows that matter, so
// that none of them is cut short at the source's start.
std::string ArchiveWithEndAt(uint32_t distance)
{
  ZipBuilder b;
  b.prefix(std::string(4096, 'p'));
  b.add("a.txt", "the entry");
  b.comment(std::string(distance - END_RECORD_SIZE, 'c'));
  ZipLayout at;
  std::string zip = b.build(&at);
  EXPECT_EQ(zip.size() - at.endRecord, distance);
  return zip;
}

// The 22 bytes of an end record with the given fields and no comment.
std::string EndRecord(uint16_t thisDisk, uint16_t directoryDisk, uint16_t entriesHere,
                      uint16_t entries, uint32_t directorySize, uint32_t directoryOffset)
{
  std::string record;
  PutU32(record, END_RECORD_SIGNATURE);
  PutU16(record, thisDisk);
  PutU16(record, directoryDisk);
  PutU16(record, entriesHere);
  PutU16(record, entries);
  PutU32(record, directorySize);
  PutU32(record, directoryOffset);
  PutU16(record, 0);
  return record;
}

// The search reads windows of 1028 bytes from the tail, stepping back 1024:
// the first covers the last 1028 bytes, the second ends 1024 bytes before the
// end, the third 2048. A signature across a window's start is found in the
// next window through the four-byte overlap.
TEST_F(OpenTest, EndRecordIsFoundAnywhereInTheLast65535Bytes)
{
  struct Case {
    const char* name;
    uint32_t distance;  // from the signature's first byte to the end of the source
    const char* code;
  } cases[] = {
      {"no comment: the last 22 bytes", 22, "0"},
      {"at the first window's start", 1028, "0"},
      {"one byte before the first window", 1029, "0"},
      {"two bytes before the first window", 1030, "0"},
      {"three bytes before the first window", 1031, "0"},
      {"wholly before the first window", 1032, "0"},
      {"at the second window's start", 2052, "0"},
      {"across the second window's start", 2053, "0"},
      {"across the second window's start, later", 2055, "0"},
      {"in the last, shortened window", 65000, "0"},
      {"exactly 65,535 bytes from the end", 65535, "0"},
      {"65,536 bytes from the end: not searched", 65536, "6"},
      {"far beyond the searched range", 70000, "6"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CodeFromBothSources(ArchiveWithEndAt(c.distance)), c.code);
  }
}

TEST_F(OpenTest, EndRecordOutOfReachInASourceStarting1F8BOpensAsGzip)
{
  std::string bytes = "\x1f\x8b" + ArchiveWithEndAt(65536);
  ASSERT_EQ(OpenCode(bytes, "MEMORY"), "0");
  EXPECT_EQ(Count(Var("H")), "1");
}

// The match nearest the end wins and is never passed over: a signature in
// the comment after the real end record is taken and validated instead.
TEST_F(OpenTest, SignatureInTheCommentIsTakenForTheEndRecord)
{
  struct Case {
    const char* name;
    std::string fake;
    const char* code;
    const char* count;  // items seen when the archive opened
  } cases[] = {
      {"a record of disk 1", EndRecord(1, 0, 1, 1, 0, 0), "8", ""},
      {"its directory on disk 1", EndRecord(0, 1, 1, 1, 0, 0), "8", ""},
      {"entries here differ from the total", EndRecord(0, 0, 1, 2, 0, 0), "8", ""},
      {"a directory that ends past it", EndRecord(0, 0, 1, 1, 0x100, 0x7FFFFF00), "6", ""},
      {"a sound, empty record: it wins", EndRecord(0, 0, 0, 0, 0, 0), "0", "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string zip = ZipBuilder().add("a.txt", "real").comment("before " + c.fake + " after").build();
    EXPECT_EQ(CodeFromBothSources(zip), c.code);
    if (*c.count) {
      ASSERT_EQ(OpenCode(zip, "MEMORY"), "0");
      EXPECT_EQ(Count(Var("H")), c.count) << "the real end record says 1";
    }
  }
}

// Offsets recorded in the archive do not count a stub before it; the bytes
// before are found from the end record and added to every recorded offset.
TEST_F(OpenTest, PrefixBytesBeforeTheArchiveAreAllowedFor)
{
  std::string zip = ZipBuilder()
                        .prefix("MZ" + std::string(3000, '\x90'))
                        .add("first.txt", "first entry")
                        .add("second.txt", "second entry", 0)
                        .build();
  ASSERT_EQ(CodeFromBothSources(zip), "0");

  std::string path = dir.file("stub.exe");
  ASSERT_TRUE(WriteWholeFile(path, zip));
  ASSERT_EQ(OpenCode(path, "FILE"), "0");
  EXPECT_EQ(Extract(Var("H"), 2), "second entry");
  ASSERT_EQ(OpenCode(zip, "MEMORY"), "0");
  EXPECT_EQ(Extract(Var("H"), 1), "first entry");
}

// A caller's handle positioned at byte P: the archive is the bytes from P to
// the end, and its positions count from P. In front of it stands another,
// larger archive, which a reader that counted from the file's start would find.
TEST_F(OpenTest, HandlePositionedInsideAFileReadsTheArchiveFromThere)
{
  std::string decoy = ZipBuilder().add("d1", "decoy").add("d2", "decoy").add("d3", "decoy").build();
  struct Case {
    const char* name;
    std::string archive;
    const char* count;
    const char* first;
  } cases[] = {
      {"a ZIP", ZipBuilder().add("a.txt", "from position P").build(), "1", "from position P"},
      {"a ZIP with a stub of its own",
       ZipBuilder().prefix(std::string(500, 's')).add("a.txt", "after a stub").build(), "1",
       "after a stub"},
      {"a gzip file", GzipBuilder().data("gzip after P").name("g.txt").build(), "1", "gzip after P"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(CodeThroughHandleAt(decoy + c.archive, (uint32_t)decoy.size()), "0");
    std::string h = Var("H");
    EXPECT_EQ(Count(h), c.count);
    EXPECT_EQ(Extract(h), c.first);
    Call("CLOSE", {h});
    EXPECT_TRUE(FileHandleWorks(handle)) << "the caller's handle was closed";
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
}

TEST_F(OpenTest, PipeHandleCannotBeSearchedAndStaysTheCallers)
{
  HANDLE readEnd, writeEnd;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  EXPECT_EQ(OpenCode(Number(readEnd), "PIPE"), "16");

  morvalin::Outcome out = OpenCall(Number(readEnd), "PIPE");
  EXPECT_EQ(out.kind, morvalin::Kind::Returned);
  EXPECT_EQ(out.description(), "Trying to seek the unseekable");

  DWORD done = 0;
  char got[4] = {};
  EXPECT_TRUE(WriteFile(writeEnd, "abc", 3, &done, nullptr) && done == 3);
  EXPECT_TRUE(ReadFile(readEnd, got, 3, &done, nullptr) && done == 3);
  EXPECT_STREQ(got, "abc");
  CloseHandle(readEnd);
  CloseHandle(writeEnd);
}

TEST_F(OpenTest, SourcesThatAreNoArchiveGiveTheirCodes)
{
  std::string zip = ZipBuilder().add("a.txt", "x").build();
  ZipBuilder multi;
  multi.add("a.txt", "x");
  struct Case {
    const char* name;
    std::string bytes;
    const char* code;
  } cases[] = {
      {"empty", "", "6"},
      {"four bytes", "abcd", "6"},
      {"four bytes of signature: too small to search", "PK\x05\x06", "6"},
      {"plain text", "This is not an archive.\r\n", "6"},
      {"a ZIP cut before its end record", zip.substr(0, zip.size() - END_RECORD_SIZE), "6"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CodeFromBothSources(c.bytes), c.code);
  }

  // Just past the size that is not searched: the smallest sound archive.
  std::string endAlone = EndRecord(0, 0, 0, 0, 0, 0);
  EXPECT_EQ(CodeFromBothSources(endAlone), "0") << "an end record alone";
  ASSERT_EQ(OpenCode(endAlone, "MEMORY"), "0");
  EXPECT_EQ(Count(Var("H")), "0");
  EXPECT_EQ(CodeFromBothSources("\x01" + endAlone), "0") << "an end record after one byte";

  struct Disk {
    const char* name;
    uint16_t thisDisk, directoryDisk, entriesHere;
  } disks[] = {
      {"this disk is 1", 1, 0, 1},
      {"the directory is on disk 2", 0, 2, 1},
      {"two entries here, one in all", 0, 0, 2},
  };
  for (const Disk& d : disks) {
    SCOPED_TRACE(d.name);
    ZipBuilder b;
    b.add("a.txt", "x");
    b.end().thisDisk = d.thisDisk;
    b.end().centralDirectoryDisk = d.directoryDisk;
    b.end().entriesOnDisk = d.entriesHere;
    EXPECT_EQ(CodeFromBothSources(b.build()), "8");
  }
}

TEST_F(OpenTest, FilesThatCannotBeOpenedGiveOne)
{
  EXPECT_EQ(OpenCode(dir.file("missing.zip"), "FILE"), "1");
  EXPECT_EQ(OpenCode(dir.path(), "FILE"), "1") << "a folder";
  EXPECT_EQ(OpenCode("", "FILE"), "1") << "no name";

  morvalin::Outcome out = OpenCall(dir.file("missing.zip"), "FILE");
  EXPECT_EQ(out.kind, morvalin::Kind::Returned);
  EXPECT_EQ(out.description(), "Can't create/open file");
  EXPECT_FALSE(host.variable("H").has_value()) << "no handle for a failed open";
}

// A source without an end record that begins 1F 8B is one gzip item, however
// short; one with a sound end record is a ZIP even when it begins 1F 8B.
TEST_F(OpenTest, GzipMagicWithoutEndRecordOpensOneItem)
{
  struct Case {
    const char* name;
    std::string bytes;
    const char* count;
  } cases[] = {
      {"the 4-byte magic 1F 8B 08 00", std::string("\x1f\x8b\x08\x00", 4), "1"},
      {"just 1F 8B", "\x1f\x8b", "1"},
      {"a gzip file", GzipBuilder().data("zipped once").name("one.txt").build(), "1"},
      {"a ZIP behind 1F 8B",
       ZipBuilder().prefix("\x1f\x8b").add("a", "1").add("b", "2").build(), "2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(CodeFromBothSources(c.bytes), "0");
    ASSERT_EQ(OpenCode(c.bytes, "MEMORY"), "0");
    EXPECT_EQ(Count(Var("H")), c.count);
  }
  ASSERT_EQ(OpenCode(GzipBuilder().data("zipped once").build(), "MEMORY"), "0");
  EXPECT_EQ(Extract(Var("H")), "zipped once");
}

// An archive opened by name holds its file until it is closed.
TEST_F(OpenTest, FileArchiveHoldsItsFileUntilClosed)
{
  std::string path = dir.file("held.zip");
  ASSERT_TRUE(WriteWholeFile(path, ZipBuilder().add("a.txt", "x").build()));
  ASSERT_EQ(OpenCode(path, "FILE"), "0");
  EXPECT_TRUE(FileIsBusy(path));
  Call("CLOSE", {Var("H")});
  EXPECT_FALSE(FileIsBusy(path));
  EXPECT_TRUE(DeleteFileA(path.c_str()));
}

// A failed OPEN leaves nothing behind: a file it opened is closed again, and a
// caller's handle is still the caller's.
TEST_F(OpenTest, FailedOpenReleasesItsFileAndLeavesTheCallersHandle)
{
  ZipBuilder multi;
  multi.add("a.txt", "x");
  multi.end().thisDisk = 3;
  struct Case {
    const char* name;
    std::string bytes;
    const char* code;
  } cases[] = {
      {"not an archive", "plain text, no archive", "6"},
      {"multi-disk", multi.build(), "8"},
      {"a directory that ends past the end record", EndRecord(0, 0, 0, 0, 10, 0), "6"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir.file("bad.zip");
    ASSERT_TRUE(WriteWholeFile(path, c.bytes));
    EXPECT_EQ(OpenCode(path, "FILE"), c.code);
    EXPECT_FALSE(FileIsBusy(path)) << "the failed open kept its file";

    EXPECT_EQ(CodeThroughHandleAt(c.bytes, 0), c.code);
    EXPECT_TRUE(FileHandleWorks(handle)) << "the failed open closed the caller's handle";
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(FileIsBusy(path)) << "a copy of the caller's handle stayed open";
  }
}

std::string ResourceGreeting()
{
  std::string text;
  for (unsigned i = 0; i < RESOURCE_GREETING_REPEATS; i++)
    text += RESOURCE_GREETING_LINE;
  return text;
}

// The archive that the build compiled into this program; only the low 16
// bits of the identifier count.
TEST_F(OpenTest, ResourceArchiveOpensByIdentifier)
{
  for (uint32_t id : {RESOURCE_ARCHIVE_ID + 0u, RESOURCE_ARCHIVE_ID + 0x10000u, RESOURCE_ARCHIVE_ID + 0xABCD0000u}) {
    SCOPED_TRACE(id);
    ASSERT_EQ(OpenCode(std::to_string(id), "RESOURCE"), "0");
    std::string h = Var("H");
    EXPECT_EQ(Count(h), std::to_string(RESOURCE_ARCHIVE_ENTRIES));
    EXPECT_EQ(Extract(h, 1), ResourceGreeting());
    EXPECT_EQ(Extract(h, 2), "stored, not deflated");
  }
}

TEST_F(OpenTest, ResourceThatIsNotThereGivesFourAndZeroIsNoResource)
{
  EXPECT_EQ(OpenCode(std::to_string(RESOURCE_ARCHIVE_ID + 1), "RESOURCE"), "4");
  morvalin::Outcome out = OpenCall("7", "RESOURCE");
  EXPECT_EQ(out.description(), "Entry not found in the zip archive");

  for (const char* id : {"0", "65536", "abc", ""}) {
    SCOPED_TRACE(id);
    out = OpenCall(id, "RESOURCE");
    if (std::string(id) == "65536") {
      // Its low 16 bits are 0: a number, but no resource can have it.
      EXPECT_EQ(out.description(), "Entry not found in the zip archive");
      continue;
    }
    EXPECT_EQ(out.kind, morvalin::Kind::HostError);
    EXPECT_EQ(out.raw, ARG2_NOT_NUMBER);
  }
}

}  // namespace

TEST_F(OpenTest, FailedOpenPutsTheCallersHandleBackWhereItWas)
{
  std::string zip = ZipBuilder().add("a.txt", "hello").build();
  std::string bytes = std::string(100, 'x') + "not an archive at all";
  EXPECT_EQ(CodeThroughHandleAt(bytes, 100), "6");
  EXPECT_EQ(SetFilePointer(handle, 0, nullptr, FILE_CURRENT), 100u);
  CloseHandle(handle);
  handle = INVALID_HANDLE_VALUE;

  // Fixed in place, the same handle opens at that position on a second try.
  EXPECT_EQ(CodeThroughHandleAt(std::string(100, 'x') + zip, 100), "0");
}
