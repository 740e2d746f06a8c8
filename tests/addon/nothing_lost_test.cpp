// nothing_lost_test.cpp -- OPEN with each of its allocations and reads failed
// in turn, over the fault-injecting build of the add-on: every failure gives
// its code and leaves no block, no file handle and no host value behind, and
// a caller's handle stays the caller's.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "faults.h"
#include "helpers.h"
#include "resource_archive.h"
#include "support/winfiles.h"
#include "support/zipbuilder.h"

namespace {

using morvalin::Kind;

typedef void (*FaultsResetFn)(uint32_t failAllocation, uint32_t failRead, uint32_t failWrite);
typedef void (*FaultsCountedFn)(FaultCounts* counts);

class NothingLost : public ArchiveTest {
 protected:
  // The fault-injecting add-on takes the place of the plain one.
  static void SetUpTestSuite()
  {
    if (loaded_)
      return;
    morvalin::Host host;
    morvalin::AddonLoad load = host.loadAddon(BinPath("faults\\tarvune.dll"));
    ASSERT_TRUE(load.loaded()) << "faults\\tarvune.dll did not load, error " << load.lastError;
    ASSERT_EQ(load.feedbackResult, 0u);
    loaded_ = true;
  }

  void SetUp() override
  {
    ArchiveTest::SetUp();
    HMODULE addon = GetModuleHandleA("tarvune.dll");
    ASSERT_NE(addon, nullptr);
    reset = reinterpret_cast<FaultsResetFn>(
        reinterpret_cast<void*>(GetProcAddress(addon, "TarvuneFaultsReset")));
    counted = reinterpret_cast<FaultsCountedFn>(
        reinterpret_cast<void*>(GetProcAddress(addon, "TarvuneFaultsCounted")));
    ASSERT_TRUE(reset && counted) << "not the fault-injecting build";
    reset(0, 0, 0);
  }

  void TearDown() override
  {
    if (reset)
      reset(0, 0, 0);
    ArchiveTest::TearDown();
  }

  FaultCounts Counted()
  {
    FaultCounts counts;
    counted(&counts);
    return counts;
  }

  // OPENs `source` of `kind` (password "pw", so that its copy is made too)
  // with the Nth allocation (or read) failing, for N = 1, 2, ... until OPEN
  // gets through without meeting the fault. Every failed OPEN must give one
  // of `codes`, set no handle, leave as many blocks as before and pass
  // `check`. Returns how many OPENs failed.
  int FailEachStep(bool reads, const std::string& source, const std::string& kind,
                   const std::vector<std::string>& codes, const std::function<void()>& check)
  {
    const int32_t before = Counted().liveBlocks;
    const std::string password = "pw";
    int failures = 0;
    for (uint32_t n = 1; n < 200; n++) {
      SCOPED_TRACE((reads ? "read " : "allocation ") + std::to_string(n));
      reset(reads ? 0 : n, reads ? n : 0, 0);
      host.setVariable("ZIPERR", "NUM");
      host.dropVariable("H");
      morvalin::Outcome out = OpenCall(source, kind, &password);
      FaultCounts counts = Counted();
      reset(0, 0, 0);
      bool faultFired = (reads ? counts.reads : counts.allocations) >= n;
      if (!faultFired) {
        EXPECT_EQ(out.kind, Kind::Returned);
        EXPECT_FALSE(out.value.has_value()) << "OPEN failed without a fault: " << out.description();
        EXPECT_TRUE(host.variable("H").has_value());
        Call("CLOSE", {});
        EXPECT_EQ(Counted().liveBlocks, before) << "CLOSE left blocks";
        return failures;
      }
      failures++;
      EXPECT_EQ(out.kind, Kind::Returned);
      std::string code = out.description();
      EXPECT_TRUE(std::find(codes.begin(), codes.end(), code) != codes.end()) << "code " << code;
      EXPECT_FALSE(host.variable("H").has_value()) << "a handle from a failed OPEN";
      EXPECT_EQ(Counted().liveBlocks, before) << "the failed OPEN left blocks";
      check();
      if (HasFatalFailure())
        break;
    }
    ADD_FAILURE() << "OPEN never got through";
    return failures;
  }

  TempDir dir;
  FaultsResetFn reset = nullptr;
  FaultsCountedFn counted = nullptr;
};

std::string SmallZip()
{
  return ZipBuilder().add("a.txt", "a small archive").add("b.txt", "and its second item").build();
}

TEST_F(NothingLost, EveryFailedAllocationOfAFileOpen)
{
  std::string path = dir.file("a.zip");
  ASSERT_TRUE(WriteWholeFile(path, SmallZip()));
  int failures = FailEachStep(false, path, "FILE", {"2"},
                              [&] { EXPECT_FALSE(FileIsBusy(path)) << "the failed OPEN kept its file"; });
  EXPECT_GE(failures, 4) << "record, password, window and read cache";
}

TEST_F(NothingLost, EveryFailedAllocationOfAMemoryOpen)
{
  int failures = FailEachStep(false, SmallZip(), "MEMORY", {"2"}, [] {});
  EXPECT_GE(failures, 4) << "record, password, copy and window";
}

TEST_F(NothingLost, EveryFailedAllocationOfAResourceOpen)
{
  int failures = FailEachStep(false, std::to_string(RESOURCE_ARCHIVE_ID), "RESOURCE", {"2"}, [] {});
  EXPECT_GE(failures, 3) << "record, password and window";
}

TEST_F(NothingLost, EveryFailedAllocationOfAHandleOpen)
{
  std::string path = dir.file("a.zip");
  ASSERT_TRUE(WriteWholeFile(path, SmallZip()));
  HANDLE own = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(own, INVALID_HANDLE_VALUE);
  int failures = FailEachStep(false, Number(own), "PIPE", {"2"}, [&] {
    EXPECT_TRUE(FileHandleWorks(own)) << "the failed OPEN closed the caller's handle";
    // The archive's copy of the handle shares its file position, which the
    // open moved: the next OPEN must find the archive at the start again.
    SetFilePointer(own, 0, nullptr, FILE_BEGIN);
  });
  EXPECT_GE(failures, 4);
  CloseHandle(own);
  EXPECT_FALSE(FileIsBusy(path)) << "a copy of the caller's handle stayed open";
}

// A read that fails during the search ends it; the gzip test that follows
// finds no gzip magic: 6. One that fails inside the end record: 6 as well.
TEST_F(NothingLost, EveryFailedReadOfAFileOpen)
{
  for (size_t commentLength : {0, 5000, 65000}) {
    SCOPED_TRACE("comment of " + std::to_string(commentLength));
    std::string path = dir.file("a.zip");
    ASSERT_TRUE(WriteWholeFile(
        path, ZipBuilder().add("a.txt", "x").comment(std::string(commentLength, 'c')).build()));
    int failures = FailEachStep(true, path, "FILE", {"6", "7"},
                                [&] { EXPECT_FALSE(FileIsBusy(path)); });
    EXPECT_GE(failures, 1);
  }
}

TEST_F(NothingLost, FailedOpenOfAFileThatIsNoArchiveLeavesNothing)
{
  const int32_t before = Counted().liveBlocks;
  std::string path = dir.file("text.txt");
  ASSERT_TRUE(WriteWholeFile(path, std::string(5000, 't')));
  for (const char* kind : {"FILE", "MEMORY"}) {
    SCOPED_TRACE(kind);
    EXPECT_EQ(OpenCode(std::string(kind) == "FILE" ? path : std::string(5000, 't'), kind), "6");
    EXPECT_EQ(Counted().liveBlocks, before);
  }
  EXPECT_EQ(OpenCode(dir.file("missing.zip"), "FILE"), "1");
  EXPECT_EQ(Counted().liveBlocks, before);
  EXPECT_FALSE(FileIsBusy(path));
}

}  // namespace
