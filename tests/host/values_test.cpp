// values_test.cpp -- variables, injected failures, and the ownership ledger of values.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fake_host.h"

using morvalin::Arg;
using morvalin::Kind;
using morvalin::omitted;
using morvalin::Outcome;

TEST_F(FakeHostTest, VariablesIgnoreCaseAndStemsGetTheirTails)
{
    EXPECT_EQ(ValueOf("FAKESET", {"Name", "v"}), "0");
    EXPECT_EQ(host.variable("NAME"), "v");
    EXPECT_EQ(host.variable("name"), "v");

    const std::string binary("a\0b\xFF", 4);
    EXPECT_EQ(ValueOf("FAKESET", {"bytes", binary}), "0");
    EXPECT_EQ(host.variable("BYTES"), binary);
    EXPECT_EQ(ValueOf("FAKESET", {"empty", ""}), "0");
    EXPECT_EQ(host.variable("EMPTY"), "");

    EXPECT_EQ(ValueOf("FAKESETNUMBER", {"n", "4294967295"}), "0");
    EXPECT_EQ(host.variable("N"), "4294967295");

    // The stem's dot is added when the name lacks it.
    EXPECT_EQ(ValueOf("FAKESET", {"item", "C:\\out\\a.txt", "0"}), "0");
    EXPECT_EQ(ValueOf("FAKESET", {"Item.", "20010203 02:05:06", "6"}), "0");
    EXPECT_EQ(ValueOf("FAKESETNUMBER", {"item", "12", "2"}), "0");
    EXPECT_EQ(host.variable("ITEM.0"), "C:\\out\\a.txt");
    EXPECT_EQ(host.variable("item.6"), "20010203 02:05:06");
    EXPECT_EQ(host.variable("ITEM.2"), "12");
    EXPECT_FALSE(host.variable("ITEM"));

    // The add-on reads what the test set, and sees unset and dropped variables as such.
    host.setVariable("zipErr", "num");
    EXPECT_EQ(ValueOf("FAKEGET", {"ZIPERR"}), "num");
    EXPECT_EQ(ValueOf("FAKEGET", {"ZIPHEADING"}), "<unset>");
    host.dropVariable("ZipErr");
    EXPECT_EQ(ValueOf("FAKEGET", {"ZIPERR"}), "<unset>");
    host.dropVariable("item.");
    EXPECT_FALSE(host.variable("ITEM.0"));
    EXPECT_FALSE(host.variable("ITEM.6"));
    EXPECT_EQ(host.variable("NAME"), "v");
}

TEST_F(FakeHostTest, SetVariableRefusesButStillTakesTheValue)
{
    // Each refusal returns nonzero; the teardown finds no value left with the add-on.
    host.failSetVariable("target");
    host.failSetVariable("s.");
    struct Case {
        const char* function;
        std::vector<Arg> args;
    };
    const std::vector<Case> cases = {
        {"FAKESET", {"1abc", "v"}},
        {"FAKESET", {"", "v"}},
        {"FAKESET", {"a b", "v"}},
        {"FAKESET", {".x", "v"}},
        {"FAKESET", {"Target", "v"}},
        {"FAKESET", {"S", "v", "2"}},
        {"FAKESETNUMBER", {"s.", "5", "1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.function) + "('" + *c.args[0].text() + "')");
        EXPECT_EQ(ValueOf(c.function, c.args), "1");
    }
    EXPECT_FALSE(host.variable("TARGET"));
    EXPECT_FALSE(host.variable("S.2"));
    EXPECT_EQ(ValueOf("FAKESET", {"other", "v"}), "0");
}

TEST_F(FakeHostTest, InjectedFailuresHitExactlyTheNthCall)
{
    host.setVariable("x", "1");
    host.failGetVariable(2);
    EXPECT_EQ(ValueOf("FAKEGET", {"x"}), "1");
    EXPECT_EQ(ValueOf("FAKEGET", {"x"}), "<failed>");
    EXPECT_EQ(ValueOf("FAKEGET", {"x"}), "1");

    host.failMakeValue();
    Outcome out = host.call("FAKENUMBER", {"5"});
    EXPECT_EQ(out.kind, Kind::Returned);
    EXPECT_FALSE(out.value);
    EXPECT_EQ(ValueOf("FAKENUMBER", {"5"}), "5");

    // FAKEECHO copies each position in turn; the copy of position 2 is refused.
    host.failGetArgumentText(2);
    EXPECT_EQ(ValueOf("FAKEECHO", {"a", "b"}), "[a][b]!---");

    host.failMakeValue();
    host.clearFaults();
    EXPECT_EQ(ValueOf("FAKENUMBER", {"6"}), "6");
}

TEST_F(FakeHostTest, LedgerCatchesEachMisuseOfValues)
{
    struct Case {
        const char* function;
        std::vector<Arg> args;
        uint32_t live;         // values left with the add-on
        const char* breach;    // part of the violation, or null for none
    };
    const std::vector<Case> cases = {
        {"FAKELEAK", {}, 1, nullptr},
        {"FAKEDOUBLEFREE", {"t"}, 0, "already freed"},
        {"FAKEDOUBLEFREE", {}, 0, "already freed"},
        {"FAKEFREEFOREIGN", {"x"}, 0, "never handed out"},
        {"FAKEOVERRUN", {}, 0, "written past its end"},
        {"FAKEFOREIGNCONTEXT", {}, 0, "foreign call context"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        EXPECT_EQ(host.call(c.function, c.args).kind, Kind::Returned);
        EXPECT_EQ(host.liveValues(), c.live);
        if (c.live != 0) {
            std::vector<std::string> report = host.liveValueReport();
            ASSERT_EQ(report.size(), c.live);
            EXPECT_NE(report[0].find("MakeValue"), std::string::npos) << report[0];
            EXPECT_EQ(host.forgetLiveValues(), c.live);
        }
        std::vector<std::string> breaches = host.violations();
        ASSERT_EQ(breaches.size(), c.breach != nullptr ? 1u : 0u);
        if (c.breach != nullptr) {
            EXPECT_NE(breaches[0].find(c.breach), std::string::npos) << breaches[0];
        }
        host.clearViolations();
    }
    EXPECT_EQ(host.liveValues(), 0u);
}
