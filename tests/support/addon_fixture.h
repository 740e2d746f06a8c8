// addon_fixture.h -- a test that calls the add-on's REXX functions through the
// stand-in host, as a script would. tarvune.dll is loaded once per process by
// the real path (LoadLibraryA, binding at attach, RexxFeedback op 1); every
// test starts with no variables and no open archive, and ends by checking that
// the add-on leaked no host value and broke no host rule.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "morvalin.h"

class AddonTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite()
  {
    morvalin::Host host;
    if (!loaded_) {
      morvalin::AddonLoad load = host.loadAddon("tarvune.dll");
      ASSERT_TRUE(load.loaded()) << "tarvune.dll did not load, error " << load.lastError;
      ASSERT_EQ(load.feedbackResult, 0u);
      loaded_ = true;
    }
  }

  void SetUp() override
  {
    host.reset();
    host.forgetLiveValues();
    host.feedback(0);  // no archive left open by an earlier test
  }

  void TearDown() override
  {
    host.feedback(0);
    EXPECT_EQ(host.liveValues(), 0u) << "host values the add-on did not give back:\n"
                                     << Join(host.liveValueReport());
    EXPECT_TRUE(host.violations().empty()) << "host rules broken:\n" << Join(host.violations());
    host.reset();
  }

  static std::string Join(const std::vector<std::string>& lines)
  {
    std::string text;
    for (const auto& line : lines)
      text += "  " + line + "\n";
    return text;
  }

  // Calls UNZIP<name> with the given arguments.
  morvalin::Outcome Call(const std::string& name, const std::vector<morvalin::Arg>& args)
  {
    return host.call("UNZIP" + name, args);
  }

  // OPEN of the given kind into variable H; returns the handle text, or ""
  // with a test failure when the open did not succeed.
  std::string Open(const std::string& source, const std::string& kind = "FILE",
                   const std::string& password = "")
  {
    std::vector<morvalin::Arg> args = {"H", source, kind};
    if (!password.empty())
      args.push_back(password);
    morvalin::Outcome out = Call("OPEN", args);
    EXPECT_EQ(out.kind, morvalin::Kind::Returned);
    EXPECT_FALSE(out.value.has_value()) << "OPEN failed: " << out.description();
    return host.variable("H").value_or("");
  }

  std::string Var(const std::string& name) { return host.variable(name).value_or("(unset)"); }

  morvalin::Host host;
  static inline bool loaded_ = false;
};
