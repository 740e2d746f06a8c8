// handles_test.cpp -- OPEN's arguments, the handle a script holds and how it
// is looked up, CLOSE, and the root directory that SETROOTDIR sets.
#include <gtest/gtest.h>

#include <cctype>

#include "helpers.h"
#include "support/winfiles.h"
#include "support/zipbuilder.h"

namespace {

using morvalin::Kind;

// A readable address that no archive has, as a handle: a block of the heap
// that archive records come from, so that it fits 32 bits as theirs do.
std::string NotAnArchive()
{
  static const char* block = [] {
    char* text = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, 32));
    lstrcpyA(text, "this is no archive record");
    return text;
  }();
  uintptr_t address = reinterpret_cast<uintptr_t>(block);
  EXPECT_LE(address, 0xFFFFFFFFu) << "the heap lies above 4 GiB";
  return Number(address);
}

class HandlesTest : public ArchiveTest {
 protected:
  // A one-entry archive "a.txt", opened from memory; returns its handle.
  std::string OpenSmall(const std::string& text = "small")
  {
    std::string zip = ZipBuilder().add("a.txt", text).build();
    EXPECT_EQ(OpenCode(zip, "MEMORY"), "0");
    return Var("H");
  }

  // True when the handle still finds an open archive.
  bool IsOpen(const std::string& handle)
  {
    morvalin::Outcome out = Call("FINDITEM", {handle, "N"});
    return out.kind == Kind::Returned && out.raw == 0;
  }

  // The answer to a handle that is no longer open: 2359592 while its address
  // is readable, 917800 once it is not.
  bool IsStale(const std::string& handle)
  {
    morvalin::Outcome out = Call("SETROOTDIR", {handle});
    return out.kind == Kind::HostError && (out.raw == ARG1_NOT_HANDLE || out.raw == ARG1_NOT_NUMBER);
  }

  TempDir dir;
};

TEST_F(HandlesTest, OpenWithoutKindReadsAFileName)
{
  std::string path = dir.file("plain.zip");
  ASSERT_TRUE(WriteWholeFile(path, ZipBuilder().add("a.txt", "by name").build()));

  morvalin::Outcome out = Call("OPEN", {"H", path});
  ASSERT_EQ(out.kind, Kind::Returned);
  ASSERT_FALSE(out.value.has_value()) << out.description();
  EXPECT_EQ(Extract(Var("H")), "by name");
  EXPECT_TRUE(FileIsBusy(path));

  // Left out before a password, the kind is still FILE.
  out = Call("OPEN", {"H2", path, morvalin::omitted, "pw"});
  ASSERT_EQ(out.kind, Kind::Returned);
  EXPECT_EQ(Extract(Var("H2")), "by name");
}

TEST_F(HandlesTest, OpenKindMustBeOneOfTheKeywords)
{
  std::string zip = ZipBuilder().add("a.txt", "x").build();
  for (const char* kind : {"memory", "Memory", "MEMORY"}) {
    SCOPED_TRACE(kind);
    EXPECT_EQ(OpenCode(zip, kind), "0");
  }
  for (const char* kind : {"DISK", "MEMORYX", "MEM", "", " FILE"}) {
    SCOPED_TRACE(kind);
    host.dropVariable("H");
    morvalin::Outcome out = OpenCall(zip, kind);
    EXPECT_EQ(out.kind, Kind::HostError);
    EXPECT_EQ(out.raw, ARG3_NOT_KEYWORD);
    // The host's own description of the bad keyword comes back unchanged.
    ASSERT_TRUE(out.value.has_value());
    EXPECT_NE(out.description().find(std::string("found \"") + kind + "\""), std::string::npos)
        << out.description();
    EXPECT_FALSE(host.variable("H").has_value());
  }
}

TEST_F(HandlesTest, ResourceAndPipeNeedANonZeroNumber)
{
  for (const char* kind : {"RESOURCE", "PIPE"}) {
    for (const char* number : {"0", "abc", "", "1.5"}) {
      SCOPED_TRACE(std::string(kind) + " '" + number + "'");
      morvalin::Outcome out = OpenCall(number, kind);
      EXPECT_EQ(out.kind, Kind::HostError);
      EXPECT_EQ(out.raw, ARG2_NOT_NUMBER);
      EXPECT_FALSE(host.variable("H").has_value());
    }
  }
}

// The host's argument text does not outlive the call (the stand-in host
// overwrites it as soon as the call returns): the archive reads a copy.
TEST_F(HandlesTest, MemoryArchiveOutlivesItsArgument)
{
  const std::string binary("\0\x01\x02\0zero\0\xff", 10);
  std::string first = ZipBuilder().add("bin.dat", binary, 0).add("text.txt", "deflated text").build();
  std::string second = ZipBuilder().add("other.txt", "second archive").build();
  ASSERT_EQ(OpenCode(first, "MEMORY"), "0");
  std::string h1 = Var("H");
  ASSERT_EQ(OpenCode(second, "MEMORY"), "0");
  std::string h2 = Var("H");

  EXPECT_EQ(Count(h1), "2");
  EXPECT_EQ(Extract(h1, 1), binary);
  EXPECT_EQ(Extract(h1, 2), "deflated text");
  EXPECT_EQ(Extract(h2, 1), "second archive");
}

// The password is the fourth argument; its text, too, is gone after OPEN.
TEST_F(HandlesTest, PasswordReachesDecoding)
{
  for (const std::string password : {"secret", "x", "a longer pass phrase of 37 characters"}) {
    SCOPED_TRACE(password);
    ZipBuilder locked;
    locked.add("s.txt", "locked with " + password);
    locked.back().password = password;
    ASSERT_EQ(OpenCall(locked.build(), "MEMORY", &password).kind, Kind::Returned);
    EXPECT_EQ(Extract(Var("H")), "locked with " + password);
  }

  ZipBuilder secret;
  secret.add("s.txt", "locked with secret");
  secret.back().password = "secret";
  const std::string wrong = "Secret", none = "";
  host.setVariable("ZIPERR", "NUM");
  ASSERT_EQ(OpenCall(secret.build(), "MEMORY", &wrong).kind, Kind::Returned);
  EXPECT_EQ(Extract(Var("H")), "(failed: raw " + std::to_string(OUTCOME_WITHOUT_HEADING) + " 19)");
  host.dropVariable("ZIPERR");

  ZipBuilder empty;
  empty.add("e.txt", "locked with the empty password");
  empty.back().password = "";

  // A password of length 0 is no password: the empty one.
  for (const std::string* password : {&none, static_cast<const std::string*>(nullptr)}) {
    SCOPED_TRACE(password ? "given empty" : "left out");
    morvalin::Outcome out = OpenCall(empty.build(), "MEMORY", password);
    ASSERT_EQ(out.kind, Kind::Returned);
    ASSERT_FALSE(out.value.has_value());
    EXPECT_EQ(Extract(Var("H")), "locked with the empty password");
  }
}

TEST_F(HandlesTest, HandleIsTheRecordsAddressAsANumber)
{
  std::string h1 = OpenSmall("one");
  std::string h2 = OpenSmall("two");
  for (const std::string& h : {h1, h2}) {
    SCOPED_TRACE(h);
    ASSERT_FALSE(h.empty());
    for (char c : h)
      EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c))) << "not a plain number: " << h;
    uintptr_t address = std::stoul(h);
    EXPECT_NE(address, 0u);
    EXPECT_FALSE(IsBadReadPtr(reinterpret_cast<void*>(address), 1)) << "not an address";
  }
  EXPECT_NE(h1, h2);
  // Passing the numbers back finds each record.
  EXPECT_EQ(Extract(h1), "one");
  EXPECT_EQ(Extract(h2), "two");
  morvalin::Outcome out = Call("SETROOTDIR", {h1});
  EXPECT_EQ(out.kind, Kind::Returned);
  EXPECT_EQ(out.raw, 0u);
}

// Argument 1 of every function that takes a handle goes through one lookup.
TEST_F(HandlesTest, LookupRefusesWhatIsNoOpenArchive)
{
  std::string open = OpenSmall();
  struct Case {
    const char* name;
    morvalin::Arg handle;
    uint32_t raw;
  } cases[] = {
      {"a readable address of no archive", NotAnArchive(),
       ARG1_NOT_HANDLE},
      {"inside an open record, past its start", Number(std::stoul(open) + 4), ARG1_NOT_HANDLE},
      {"letters", "abc", ARG1_NOT_NUMBER},
      {"0", "0", ARG1_NOT_NUMBER},
      {"1, unreadable", "1", ARG1_NOT_NUMBER},
      {"4294967295, unreadable", "4294967295", ARG1_NOT_NUMBER},
      {"too big for 32 bits", "4294967296", ARG1_NOT_NUMBER},
      {"omitted", morvalin::omitted, ARG1_NOT_NUMBER},
  };
  struct Function {
    const char* name;
    std::vector<morvalin::Arg> rest;
  } functions[] = {
      {"SETROOTDIR", {}},
      {"FINDITEM", {"N"}},
      {"SETCURRENTITEM", {"S", "1"}},
      {"GETITEM", {"V", "MEMORY"}},
  };
  for (const Case& c : cases) {
    for (const Function& f : functions) {
      SCOPED_TRACE(std::string(f.name) + ", " + c.name);
      std::vector<morvalin::Arg> args = {c.handle};
      args.insert(args.end(), f.rest.begin(), f.rest.end());
      morvalin::Outcome out = Call(f.name, args);
      EXPECT_EQ(out.kind, Kind::HostError);
      EXPECT_EQ(out.raw, c.raw);
    }
  }
  EXPECT_TRUE(IsOpen(open));
}

TEST_F(HandlesTest, CloseTwiceDoesNothingTheSecondTime)
{
  std::string kept = OpenSmall();
  std::string closed = OpenSmall();
  for (int time = 1; time <= 2; time++) {
    SCOPED_TRACE(time);
    morvalin::Outcome out = Call("CLOSE", {closed});
    EXPECT_EQ(out.kind, Kind::Returned);
    EXPECT_EQ(out.raw, 0u);
    EXPECT_FALSE(out.value.has_value());
    EXPECT_TRUE(IsStale(closed));
    EXPECT_TRUE(IsOpen(kept));
  }
}

TEST_F(HandlesTest, CloseWithoutHandleClosesEveryArchive)
{
  std::string path = dir.file("file.zip");
  ASSERT_TRUE(WriteWholeFile(path, ZipBuilder().add("a.txt", "x").build()));
  for (bool omittedArgument : {false, true}) {
    SCOPED_TRACE(omittedArgument ? "CLOSE( <omitted> )" : "CLOSE()");
    ASSERT_EQ(OpenCode(path, "FILE"), "0");
    std::string handles[3] = {Var("H"), OpenSmall(), OpenSmall()};
    morvalin::Outcome out =
        omittedArgument ? Call("CLOSE", {morvalin::omitted}) : Call("CLOSE", {});
    EXPECT_EQ(out.kind, Kind::Returned);
    EXPECT_FALSE(out.value.has_value());
    for (const std::string& h : handles)
      EXPECT_TRUE(IsStale(h)) << h;
    EXPECT_FALSE(FileIsBusy(path));
  }
}

// CLOSE reports nothing: whatever is no open handle is ignored.
TEST_F(HandlesTest, CloseIgnoresWhatIsNoHandle)
{
  std::string open = OpenSmall();
  for (const std::string& handle : {std::string("abc"), std::string("0"), std::string("1"),
                                    NotAnArchive(),
                                    Number(std::stoul(open) + 4)}) {
    SCOPED_TRACE(handle);
    morvalin::Outcome out = Call("CLOSE", {handle});
    EXPECT_EQ(out.kind, Kind::Returned);
    EXPECT_EQ(out.raw, 0u);
    EXPECT_FALSE(out.value.has_value());
    EXPECT_TRUE(IsOpen(open));
  }
}

// The root directory precedes the item's name in S.0 from the next selection on.
TEST_F(HandlesTest, SetRootDirEndsTheRootInOneBackslash)
{
  const std::string current = CurrentDirectory();
  ASSERT_FALSE(current.empty());
  const std::string currentRoot = current.back() == '\\' ? current : current + "\\";
  const std::string long258(258, 'd');
  struct Case {
    const char* name;
    const char* directory;  // null: left out
    std::string root;
  } cases[] = {
      {"left out: the current directory", nullptr, currentRoot},
      {"empty: the current directory", "", currentRoot},
      {"'D:\\out\\' keeps its one backslash", "D:\\out\\", "D:\\out\\"},
      {"'D:\\out' gets one", "D:\\out", "D:\\out\\"},
      {"'D:/out/': a slash is no backslash", "D:/out/", "D:/out/\\"},
      {"a relative folder", "out", "out\\"},
      {"a backslash alone", "\\", "\\"},
      {"258 characters, the most that fit", long258.c_str(), long258 + "\\"},
  };
  std::string h = OpenSmall();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string directory = c.directory ? c.directory : "";
    morvalin::Outcome out = SetRoot(h, c.directory ? &directory : nullptr);
    EXPECT_EQ(out.kind, Kind::Returned);
    EXPECT_FALSE(out.value.has_value()) << out.description();
    std::string path = SelectedPath(h);
    EXPECT_EQ(path.substr(0, c.root.size()), c.root);
    if (c.root.size() + 5 <= 260) {
      EXPECT_EQ(path, c.root + "a.txt");
    }
  }
}

// A directory that does not fit the 260-character path is refused with 9
// and the root stays as it was.
TEST_F(HandlesTest, SetRootDirRefusesADirectoryThatDoesNotFit)
{
  std::string h = OpenSmall();
  const std::string kept = "C:\\kept\\";
  for (size_t length : {259, 260, 261, 300, 1000}) {
    for (bool endsInBackslash : {false, true}) {
      std::string directory(length, 'x');
      if (endsInBackslash)
        directory.back() = '\\';
      SCOPED_TRACE(std::to_string(length) + (endsInBackslash ? " ending in a backslash" : ""));
      ASSERT_EQ(SetRoot(h, &kept).raw, 0u);
      morvalin::Outcome out = SetRoot(h, &directory);
      EXPECT_EQ(out.kind, Kind::Returned);
      EXPECT_EQ(out.raw, OUTCOME_WITHOUT_HEADING);
      EXPECT_EQ(out.description(), "Faulty arguments");
      EXPECT_EQ(SelectedPath(h), kept + "a.txt");
    }
  }
}

// Restores the current directory when it goes away.
class CurrentDirectoryScope {
 public:
  explicit CurrentDirectoryScope(const char* directory) : saved_(CurrentDirectory())
  {
    changed_ = SetCurrentDirectoryA(directory) != 0;
  }
  ~CurrentDirectoryScope() { SetCurrentDirectoryA(saved_.c_str()); }
  bool changed() const { return changed_; }

 private:
  std::string saved_;
  bool changed_ = false;
};

TEST_F(HandlesTest, DefaultRootIsTheCurrentDirectory)
{
  std::string h = OpenSmall();
  EXPECT_EQ(SelectedPath(h), CurrentDirectory() + "\\a.txt");

  // C:\ already ends in a backslash: no second one.
  CurrentDirectoryScope scope("C:\\");
  ASSERT_TRUE(scope.changed());
  h = OpenSmall();
  EXPECT_EQ(SelectedPath(h), "C:\\a.txt");
  const std::string other = "D:\\other";
  ASSERT_EQ(SetRoot(h, &other).raw, 0u);
  ASSERT_EQ(SetRoot(h, nullptr).raw, 0u);
  EXPECT_EQ(SelectedPath(h), "C:\\a.txt");
}

}  // namespace
