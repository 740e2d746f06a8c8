// binding_test.cpp -- the add-on in the host's process: binding at load, the
// functions it registers, RexxFeedback's ops, the load refused without a
// proper host, and the archives released when the process lets it go.
#include <gtest/gtest.h>

#include "helpers.h"
#include "support/winfiles.h"
#include "support/zipbuilder.h"

namespace {

using morvalin::Kind;

class BindingTest : public ArchiveTest {
 protected:
  std::string OpenSmall()
  {
    EXPECT_EQ(OpenCode(ZipBuilder().add("a.txt", "x").build(), "MEMORY"), "0");
    return Var("H");
  }

  bool IsOpen(const std::string& handle)
  {
    morvalin::Outcome out = Call("FINDITEM", {handle, "N"});
    return out.kind == Kind::Returned && out.raw == 0;
  }

  TempDir dir;
};

TEST_F(BindingTest, BindsWithTheTableSizeAndVersion)
{
  EXPECT_GE(host.bindCount(), 1u);
  // 21 pointer-sized slots: 84 bytes in a 32-bit process.
  EXPECT_EQ(host.lastBinding(), std::make_pair(uint32_t(21 * sizeof(void*)), 271u));
}

TEST_F(BindingTest, RegistersSevenFunctionsUnderTheUnzipPrefix)
{
  struct Case {
    const char* name;
    uint32_t minimum, maximum;
  } cases[] = {
      {"UNZIPCLOSE", 0, 1},      {"UNZIPERRMSG", 1, 1},         {"UNZIPFINDITEM", 2, 4},
      {"UNZIPGETITEM", 2, 3},    {"UNZIPOPEN", 2, 4},           {"UNZIPSETCURRENTITEM", 3, 3},
      {"UNZIPSETROOTDIR", 1, 2},
  };
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expected.push_back(c.name);
    auto counts = host.functionCounts(c.name);
    ASSERT_TRUE(counts.has_value()) << "not registered";
    EXPECT_EQ(counts->first, c.minimum);
    EXPECT_EQ(counts->second, c.maximum);
  }
  EXPECT_EQ(host.functionNames(), expected);
}

// The machine of the images this build makes (the tests run against them).
static const WORD NATIVE_MACHINE = sizeof(void*) == 8 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;

// What the host's loader sees of the add-on: one export, RexxFeedback by its
// plain name, and imports from Windows' own DLLs only (libgcc, libstdc++ and
// zlib are linked in).
TEST_F(BindingTest, ExportsOnlyRexxFeedbackAndImportsOnlySystemDlls)
{
  const uint8_t* base = reinterpret_cast<const uint8_t*>(GetModuleHandleA("tarvune.dll"));
  ASSERT_NE(base, nullptr);
  auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);  // this build's width
  EXPECT_EQ(nt->FileHeader.Machine, NATIVE_MACHINE);
  EXPECT_TRUE(nt->FileHeader.Characteristics & IMAGE_FILE_DLL);

  const IMAGE_DATA_DIRECTORY& exportEntry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(exportEntry.VirtualAddress, 0u);
  auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + exportEntry.VirtualAddress);
  EXPECT_EQ(exports->NumberOfFunctions, 1u);
  ASSERT_EQ(exports->NumberOfNames, 1u);
  auto names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  EXPECT_STREQ(reinterpret_cast<const char*>(base + names[0]), "RexxFeedback");
  EXPECT_NE(GetProcAddress(GetModuleHandleA("tarvune.dll"), "RexxFeedback"), nullptr);

  const char* system[] = {"kernel32.dll", "user32.dll", "msvcrt.dll", "advapi32.dll"};
  const IMAGE_DATA_DIRECTORY& importEntry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  auto import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + importEntry.VirtualAddress);
  int count = 0;
  for (; import->Name != 0; import++, count++) {
    const char* dll = reinterpret_cast<const char*>(base + import->Name);
    bool known = false;
    for (const char* s : system)
      known = known || lstrcmpiA(dll, s) == 0;
    EXPECT_TRUE(known) << "imports from " << dll;
  }
  EXPECT_GE(count, 2);
}

TEST_F(BindingTest, FeedbackOpZeroWithNothingOpenReturnsZero)
{
  EXPECT_EQ(host.feedback(0), 0u);
  EXPECT_EQ(host.feedback(0), 0u);
}

TEST_F(BindingTest, FeedbackOpZeroClosesEveryArchive)
{
  std::string path = dir.file("a.zip");
  ASSERT_TRUE(WriteWholeFile(path, ZipBuilder().add("a.txt", "x").build()));
  ASSERT_EQ(OpenCode(path, "FILE"), "0");
  std::string handles[] = {Var("H"), OpenSmall()};
  EXPECT_EQ(host.feedback(0), 0u);
  for (const std::string& h : handles)
    EXPECT_FALSE(IsOpen(h)) << h;
  EXPECT_FALSE(FileIsBusy(path));
}

TEST_F(BindingTest, OtherFeedbackOpsReturnZeroAndCloseNothing)
{
  std::string handles[] = {OpenSmall(), OpenSmall()};
  for (uint32_t op : {2u, 3u, 0x100u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(op);
    EXPECT_EQ(host.feedback(op, 0), 0u);
    EXPECT_EQ(host.feedback(op, 12345), 0u);
    for (const std::string& h : handles)
      EXPECT_TRUE(IsOpen(h)) << h;
  }
}

// The load is refused, in a process of its own, with the message box read
// and closed by the probe's hook.
class RefusedLoad : public ::testing::Test {
 protected:
  std::map<std::string, std::string> Probe(const std::string& hostDll)
  {
    std::string report = dir.file("probe.txt");
    std::string command = "\"" + BinPath("addon_load_probe.exe") + "\" \"" + report + "\"";
    if (!hostDll.empty())
      command += " \"" + hostDll + "\"";
    DWORD exitCode = 99;
    EXPECT_TRUE(RunProgram(command, &exitCode)) << "the probe did not end: " << command;
    EXPECT_EQ(exitCode, 0u);
    return ReadReport(report);
  }

  // String `id` of the add-on's table, read without running its entry point.
  static std::string AddonString(UINT id)
  {
    HMODULE data = LoadLibraryExA(BinPath("tarvune.dll").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    char text[256] = "";
    int n = data ? LoadStringA(data, id, text, sizeof text) : 0;
    if (data)
      FreeLibrary(data);
    return std::string(text, n > 0 ? n : 0);
  }

  void ExpectRefused(const std::map<std::string, std::string>& report, UINT stringId)
  {
    ASSERT_FALSE(report.empty()) << "no report";
    EXPECT_EQ(report.at("hooked"), "1");
    EXPECT_EQ(report.at("loaded"), "0");
    EXPECT_EQ(report.at("error"), std::to_string(ERROR_DLL_INIT_FAILED));
    EXPECT_EQ(report.at("boxes"), "1");
    EXPECT_EQ(report.at("caption"), "Tarvune");
    std::string expected = AddonString(stringId);
    EXPECT_FALSE(expected.empty()) << "string " << stringId << " is missing";
    EXPECT_EQ(report.at("text"), expected);
  }

  TempDir dir;
};

TEST_F(RefusedLoad, WithoutTheHostShowsStringTwentyThree)
{
  auto report = Probe("");
  ExpectRefused(report, 23);
  EXPECT_EQ(report["host"], "0");
}

TEST_F(RefusedLoad, WithAHostLackingTheEntryShowsStringTwentyTwo)
{
  auto report = Probe(BinPath("noentry\\morvalin.dll"));
  ExpectRefused(report, 22);
  EXPECT_EQ(report["host"], "1") << "the host without the entry did not load";
}

TEST_F(RefusedLoad, TheTwoMessagesDiffer)
{
  EXPECT_NE(AddonString(22), AddonString(23));
}

// A child process opens two archives by name and one through its own handle.
class ProcessDetach : public ::testing::Test {
 protected:
  void SetUp() override
  {
    for (int i = 0; i < 3; i++) {
      files[i] = dir.file("archive" + std::to_string(i + 1) + ".zip");
      ASSERT_TRUE(WriteWholeFile(files[i], ZipBuilder().add("a.txt", "x").build()));
    }
  }

  std::map<std::string, std::string> RunChild(const std::string& mode, DWORD* exitCode)
  {
    std::string command = "\"" + BinPath("addon_detach_child.exe") + "\" \"" + report + "\" " + mode;
    for (const std::string& f : files)
      command += " \"" + f + "\"";
    EXPECT_TRUE(RunProgram(command, exitCode)) << "the child did not end: " << command;
    return ReadReport(report);
  }

  TempDir dir;
  std::string files[3];
  std::string report = dir.file("child.txt");
};

TEST_F(ProcessDetach, UnloadingReleasesEveryArchiveButNotTheCallersHandle)
{
  DWORD exitCode = 99;
  auto r = RunChild("unload", &exitCode);
  EXPECT_EQ(exitCode, 0u);
  ASSERT_EQ(r["loaded"], "1");
  EXPECT_EQ(r["opened"], "3");
  EXPECT_EQ(r["busy_before"], "2") << "the archives opened by name did not hold their files";
  EXPECT_EQ(r["unloaded"], "1");
  EXPECT_EQ(r["busy_after"], "0") << "an archive's file stayed open after the detach";
  EXPECT_EQ(r["own_handle_works"], "1") << "the detach closed the caller's handle";
  EXPECT_EQ(r["third_busy_after_own_close"], "0") << "the archive's copy of the handle stayed open";
}

TEST_F(ProcessDetach, ExitingWithArchivesOpenReleasesThem)
{
  DWORD exitCode = 99;
  auto r = RunChild("exit", &exitCode);
  EXPECT_EQ(exitCode, 42u) << "the process did not end as it asked to";
  ASSERT_EQ(r["watch"], "1");
  ASSERT_EQ(r["loaded"], "1");
  EXPECT_EQ(r["opened"], "3");
  EXPECT_EQ(r["busy_before"], "2");

  // Seen from a library detached after the add-on.
  auto watched = ReadReport(report + ".detach");
  ASSERT_FALSE(watched.empty()) << "the watching library wrote nothing";
  EXPECT_EQ(watched["busy.1"], "0") << "the add-on's detach left an archive's file open";
  EXPECT_EQ(watched["busy.2"], "0") << "the add-on's detach left an archive's file open";
  EXPECT_EQ(watched["busy.3"], "1") << "the caller's own handle (still open) was not seen";

  for (const std::string& f : files)
    EXPECT_TRUE(DeleteFileA(f.c_str())) << f;
}

}  // namespace
