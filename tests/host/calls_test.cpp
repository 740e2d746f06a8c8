// calls_test.cpp -- loading an add-on, calling its functions by name, and decoding outcomes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_host.h"

using morvalin::Arg;
using morvalin::Kind;
using morvalin::omitted;
using morvalin::Outcome;

TEST_F(FakeHostTest, LoadingBindsTheAddonAndRegistersItsFunctions)
{
    EXPECT_GE(host.bindCount(), 1u);
    // 21 pointer-sized slots: 84 bytes in a 32-bit process.
    EXPECT_EQ(host.lastBinding(), std::make_pair(uint32_t(21 * sizeof(void*)), 271u));

    std::vector<std::string> names = host.functionNames();
    EXPECT_EQ(names.size(), 16u);
    EXPECT_TRUE(std::find(names.begin(), names.end(), "FAKEDOUBLEFREE") != names.end());
    EXPECT_EQ(host.functionCounts("fakeEcho"), std::make_pair(0u, 5u));
    EXPECT_EQ(host.functionCounts("FAKESET"), std::make_pair(2u, 3u));
    EXPECT_FALSE(host.functionCounts("ECHO"));  // only under the prefix

    // Other ops reach RexxFeedback with their argument; the fake answers op * 1000 + argument.
    EXPECT_EQ(host.feedback(7, 3), 7003u);
    EXPECT_EQ(host.feedback(0), 0u);
}

TEST_F(FakeHostTest, UnloadForgetsTheFunctionsAndReloadingBindsAgain)
{
    uint32_t binds = host.bindCount();
    host.unloadAddon();
    EXPECT_FALSE(host.functionCounts("FAKEECHO"));
    EXPECT_EQ(host.call("FAKEECHO", {}).raw, uint32_t(MORVALIN_ERROR_NOT_FOUND));
    EXPECT_FALSE(host.feedback(2));

    morvalin::AddonLoad missing = host.loadAddon("no-such-addon.dll");
    EXPECT_EQ(missing.status, MORVALIN_LOAD_FAILED);
    EXPECT_EQ(missing.lastError, 126u) << "ERROR_MOD_NOT_FOUND";
    EXPECT_EQ(host.loadAddon("morvalin.dll").status, MORVALIN_NO_FEEDBACK);

    // A refused registration reaches the loader as RexxFeedback's answer.
    host.failRegisterFunctions();
    morvalin::AddonLoad load = host.loadAddon("fakeaddon.dll", 5);
    ASSERT_TRUE(load.loaded());
    EXPECT_EQ(load.feedbackResult, uint32_t(MORVALIN_REGISTER_FAILED));
    EXPECT_EQ(host.bindCount(), binds + 1) << "process attach ran again";
    EXPECT_TRUE(host.functionNames().empty());
    EXPECT_EQ(host.feedback(1), 0u);
    EXPECT_EQ(host.loadAddon("fakeaddon.dll").status, MORVALIN_ALREADY_LOADED);
    EXPECT_EQ(ValueOf("FAKEECHO", {"a"}), "[a]----");
}

TEST_F(FakeHostTest, ArgumentCountsAreCheckedBeforeTheHandler)
{
    struct Case {
        const char* name;
        std::vector<Arg> args;
        uint32_t raw;  // 0: the handler ran and returned
    };
    const std::vector<Case> cases = {
        {"FAKENUMBER", {}, MORVALIN_ERROR_CALL},
        {"FAKENUMBER", {"1", "2"}, MORVALIN_ERROR_CALL},
        {"FAKENUMBER", {omitted}, 0},  // an omitted argument still counts
        {"FAKEECHO", {}, 0},
        {"FAKEECHO", {"1", "2", "3", "4", "5"}, 0},
        {"FAKEECHO", {"1", "2", "3", "4", "5", omitted}, MORVALIN_ERROR_CALL},
        {"FAKELEAK", {"1"}, MORVALIN_ERROR_CALL},  // refused, so nothing leaks
        {"fakeEcho", {}, 0},
        {"FAKE", {}, MORVALIN_ERROR_NOT_FOUND},
        {"ECHO", {}, MORVALIN_ERROR_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " with " + std::to_string(c.args.size()) + " arguments");
        Outcome out = host.call(c.name, c.args);
        EXPECT_EQ(out.raw, c.raw);
        EXPECT_EQ(out.handlerCalled, c.raw == 0);
        EXPECT_EQ(out.kind, c.raw == 0 ? Kind::Returned : Kind::HostError);
        if (c.raw != 0) {
            EXPECT_EQ(out.rexxError(), c.raw);
        }
    }
}

TEST_F(FakeHostTest, OutcomesAreDecodedFromTheHandlersNumberAndResult)
{
    struct Case {
        std::vector<Arg> args;  // FAKEOUTCOME(raw, [condition], [description])
        Kind kind;
        int32_t condition;
        bool heading;
        const char* value;  // null: none
    };
    const std::vector<Case> cases = {
        {{"0"}, Kind::Returned, MORVALIN_CONDITION_SYNTAX, false, nullptr},
        {{"0", omitted, "x"}, Kind::Returned, MORVALIN_CONDITION_SYNTAX, false, "described: x"},
        {{"0", omitted, ""}, Kind::Returned, MORVALIN_CONDITION_SYNTAX, false, "described: "},
        {{"671088839", "-1", "the value"}, Kind::Returned, -1, false, "described: the value"},
        {{"822083783", "-1", "1"}, Kind::Returned, -1, false, "described: 1"},
        {{"671088839", "0", "m"}, Kind::Condition, 0, true, "described: m"},
        {{"822083783", "1", "m"}, Kind::Condition, 1, false, "described: m"},
        {{"822083783", "13", "m"}, Kind::Condition, 13, false, "described: m"},
        {{"671088839"}, Kind::Condition, MORVALIN_CONDITION_SYNTAX, true, nullptr},
        {{"671088640", "5", "ZipErr"}, Kind::Condition, 5, true, "described: ZipErr"},
        {{"822083584", "5", "ZipErr"}, Kind::Condition, 5, false, "described: ZipErr"},
        {{"5", "5"}, Kind::Condition, 5, false, nullptr},
        {{"917800"}, Kind::HostError, MORVALIN_CONDITION_SYNTAX, false, nullptr},
        {{"1835816", omitted, "bad"}, Kind::HostError, MORVALIN_CONDITION_SYNTAX, false, "described: bad"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("FAKEOUTCOME(" + *c.args[0].text() + ", ...)");
        Outcome out = host.call("FAKEOUTCOME", c.args);
        EXPECT_EQ(out.raw, std::stoul(*c.args[0].text()));
        EXPECT_EQ(out.kind, c.kind);
        EXPECT_EQ(out.condition, c.condition);
        EXPECT_EQ(out.heading, c.heading);
        EXPECT_EQ(out.value.has_value(), c.value != nullptr);
        if (c.value != nullptr) {
            EXPECT_EQ(out.description(), c.value);
        }
    }

    Outcome argumentError = host.call("FAKEOUTCOME", {"1835816"});
    EXPECT_EQ(argumentError.rexxError(), 40u);
    EXPECT_EQ(argumentError.position(), 3u);
    EXPECT_EQ(argumentError.detail(), 28u);
}

TEST_F(FakeHostTest, ASmallNonzeroReturnIsABreach)
{
    // Result codes must go through the error report; returned raw they are no outcome.
    Outcome out = host.call("FAKEOUTCOME", {"7"});
    EXPECT_EQ(out.kind, Kind::HostError);
    std::vector<std::string> breaches = host.violations();
    ASSERT_EQ(breaches.size(), 1u);
    EXPECT_NE(breaches[0].find("returned 7"), std::string::npos) << breaches[0];
    host.clearViolations();
}

TEST_F(FakeHostTest, UnusedSlotsEndTheProcessLoudly)
{
    for (const char* slot : {"2", "8", "14"}) {
        SCOPED_TRACE(std::string("slot ") + slot);
        EXPECT_EXIT(host.call("FAKEUNUSED", {slot}), ::testing::ExitedWithCode(MORVALIN_UNUSED_SLOT_EXIT),
                    std::string("unused slot ") + slot + " ");
    }
}
