// report_test.cpp -- how a failure reaches the script: the function's value or
// a condition, as ZIPERR and ZIPHEADING choose; and ERRMSG's texts.
#include <gtest/gtest.h>

#include "helpers.h"
#include "support/winfiles.h"
#include "support/zipbuilder.h"

namespace {

using morvalin::Kind;

const char BAD_ZIPERR[] =
    "ZipErr must be set to SYNTAX, ERROR, FAILURE, NUM, or a USER number from 1 to 200. Found ";
const char CANT_OPEN[] = "Can't create/open file";

class ReportTest : public ArchiveTest {
 protected:
  // OPEN of a file that does not exist: result code 1.
  morvalin::Outcome FailToOpen() { return OpenCall(dir.file("missing.zip"), "FILE"); }

  TempDir dir;
};

TEST_F(ReportTest, ZipErrChoosesValueOrCondition)
{
  const int32_t NONE = -1;
  struct Case {
    const char* name;
    const char* ziperr;  // null: no value
    Kind kind;
    int32_t condition;
    std::string value;   // the function's value or the condition's description
    uint32_t raw;        // without a heading
  } cases[] = {
      {"unset", nullptr, Kind::Returned, NONE, CANT_OPEN, OUTCOME_WITHOUT_HEADING},
      {"'num': the code as the value", "num", Kind::Returned, NONE, "1", OUTCOME_WITHOUT_HEADING},
      {"'NUM'", "NUM", Kind::Returned, NONE, "1", OUTCOME_WITHOUT_HEADING},
      {"'Error'", "Error", Kind::Condition, 0, CANT_OPEN, OUTCOME_WITHOUT_HEADING},
      {"'failure'", "failure", Kind::Condition, 1, CANT_OPEN, OUTCOME_WITHOUT_HEADING},
      {"'SYNTAX': the host's preset stands", "SYNTAX", Kind::Condition, MORVALIN_CONDITION_SYNTAX,
       CANT_OPEN, OUTCOME_WITHOUT_HEADING},
      {"'syntax'", "syntax", Kind::Condition, MORVALIN_CONDITION_SYNTAX, CANT_OPEN,
       OUTCOME_WITHOUT_HEADING},
      {"user condition 1", "1", Kind::Condition, 7, CANT_OPEN, OUTCOME_WITHOUT_HEADING},
      {"user condition 7", "7", Kind::Condition, 13, CANT_OPEN, OUTCOME_WITHOUT_HEADING},
      {"user condition 200", "200", Kind::Condition, 206, CANT_OPEN, OUTCOME_WITHOUT_HEADING},
      {"0", "0", Kind::Condition, 5, std::string(BAD_ZIPERR) + "0", 0x31000000},
      {"201", "201", Kind::Condition, 5, std::string(BAD_ZIPERR) + "201", 0x31000000},
      {"-1", "-1", Kind::Condition, 5, std::string(BAD_ZIPERR) + "-1", 0x31000000},
      {"' ERROR': blanks count", " ERROR", Kind::Condition, 5, std::string(BAD_ZIPERR) + " ERROR",
       0x31000000},
      {"'SYNTAXX'", "SYNTAXX", Kind::Condition, 5, std::string(BAD_ZIPERR) + "SYNTAXX", 0x31000000},
      {"'NU'", "NU", Kind::Condition, 5, std::string(BAD_ZIPERR) + "NU", 0x31000000},
      {"empty", "", Kind::Condition, 5, std::string(BAD_ZIPERR), 0x31000000},
  };
  for (const Case& c : cases) {
    for (bool heading : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (heading ? ", ZIPHEADING set" : ", ZIPHEADING unset"));
      host.dropVariables();
      if (c.ziperr)
        host.setVariable("ZIPERR", c.ziperr);
      if (heading)
        host.setVariable("ZIPHEADING", "");  // only whether it has a value matters
      morvalin::Outcome out = FailToOpen();
      EXPECT_EQ(out.kind, c.kind);
      EXPECT_EQ(out.condition, c.condition);
      EXPECT_EQ(out.description(), c.value);
      // 0x31 in the top byte without a heading, 0x28 with one.
      uint32_t raw = heading ? (c.raw & 0x00FFFFFF) | 0x28000000 : c.raw;
      EXPECT_EQ(out.raw, raw);
      if (c.kind == Kind::Condition) {
        EXPECT_EQ(out.heading, heading);
      }
      EXPECT_FALSE(host.variable("H").has_value());
    }
  }
}

// Both variables are read afresh at every failure.
TEST_F(ReportTest, ChangedChoiceTakesEffectAtTheNextFailure)
{
  host.setVariable("ZIPERR", "ERROR");
  EXPECT_EQ(FailToOpen().kind, Kind::Condition);
  host.setVariable("ZIPERR", "NUM");
  EXPECT_EQ(FailToOpen().description(), "1");
  host.dropVariable("ZIPERR");
  morvalin::Outcome out = FailToOpen();
  EXPECT_EQ(out.kind, Kind::Returned);
  EXPECT_EQ(out.description(), CANT_OPEN);
}

TEST_F(ReportTest, FailedVariableFetchEndsTheReportWithFive)
{
  struct Case {
    const char* name;
    uint32_t nth;  // 1: ZIPHEADING's fetch fails, 2: ZIPERR's
  } cases[] = {{"ZIPHEADING", 1}, {"ZIPERR", 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host.setVariable("ZIPERR", "NUM");
    host.failGetVariable(c.nth);
    morvalin::Outcome out = FailToOpen();
    host.clearFaults();
    EXPECT_EQ(out.raw, 5u);
    EXPECT_EQ(out.condition, 5);
    EXPECT_FALSE(out.value.has_value()) << "no text is made: " << out.description();
  }
}

// A value that the host cannot make is simply missing.
TEST_F(ReportTest, ValueTheHostCannotMakeIsLeftOut)
{
  for (const char* ziperr : {"ERROR", "NUM", "bogus"}) {
    SCOPED_TRACE(ziperr);
    host.setVariable("ZIPERR", ziperr);
    host.failMakeValue(1);
    morvalin::Outcome out = FailToOpen();
    host.clearFaults();
    EXPECT_FALSE(out.value.has_value());
    EXPECT_TRUE(out.raw == OUTCOME_WITHOUT_HEADING || out.raw == 0x31000000) << out.raw;
  }
}

TEST_F(ReportTest, LongestTextReachesTheScriptWhole)
{
  ZipBuilder b;
  b.add("a.txt", "x");
  b.end().thisDisk = 1;
  morvalin::Outcome out = OpenCall(b.build(), "MEMORY");
  EXPECT_EQ(out.description(),
            "The entry is in a format that can't be decompressed by this Unzip add-on");
  EXPECT_EQ(out.description().size(), 72u);
}

// ERRMSG(code): the text of every result code.
TEST_F(ReportTest, ErrMsgGivesEveryCodesText)
{
  const char* texts[] = {
      "Success",
      "Can't create/open file",
      "Failed to allocate memory",
      "Error writing to file",
      "Entry not found in the zip archive",
      "Still more data to unzip",
      "Zip archive is corrupt or not a zip archive",
      "Error reading file",
      "The entry is in a format that can't be decompressed by this Unzip add-on",
      "Faulty arguments",
      "Can get memory only of a memory-mapped zip",
      "Not enough space allocated for memory zip",
      "There was a previous error",
      "Additions to the zip have already been ended",
      "The anticipated size turned out wrong",
      "Mixing creation and opening of zip",
      "Trying to seek the unseekable",
      "Tried to change mind, but not allowed",
      "An internal error during flation",
      "Password is incorrect",
      "Success",
      "Unknown zip result code",
  };
  for (unsigned code = 0; code <= 21; code++) {
    SCOPED_TRACE(code);
    morvalin::Outcome out = Call("ERRMSG", {std::to_string(code)});
    EXPECT_EQ(out.kind, Kind::Returned);
    EXPECT_EQ(out.raw, 0u);
    EXPECT_EQ(out.description(), texts[code]);
  }
}

TEST_F(ReportTest, ErrMsgOfOtherArguments)
{
  struct Case {
    const char* name;
    morvalin::Arg code;
    const char* text;  // null: host error 917800
  } cases[] = {
      {"22, a load-failure string", "22", "Unknown zip result code"},
      {"23, a load-failure string", "23", "Unknown zip result code"},
      {"917800", "917800", "Unknown zip result code"},
      {"4294967295", "4294967295", "Unknown zip result code"},
      {"omitted", morvalin::omitted, "Success"},
      {"'x'", "x", nullptr},
      {"'1.5'", "1.5", nullptr},
      {"empty", "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    morvalin::Outcome out = Call("ERRMSG", {c.code});
    if (c.text) {
      EXPECT_EQ(out.kind, Kind::Returned);
      EXPECT_EQ(out.description(), c.text);
    } else {
      EXPECT_EQ(out.kind, Kind::HostError);
      EXPECT_EQ(out.raw, ARG1_NOT_NUMBER);
      EXPECT_FALSE(out.value.has_value());
    }
  }
}

}  // namespace
