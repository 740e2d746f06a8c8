// arguments_test.cpp -- how a handler sees its arguments: omitted ones, numbers, keywords.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_host.h"

using morvalin::Arg;
using morvalin::Kind;
using morvalin::omitted;
using morvalin::Outcome;

TEST_F(FakeHostTest, OmittedArgumentsReadAsOmittedThroughEverySlot)
{
    // FAKEECHO shows positions 1 to 5: "[text]" given, "-" omitted, "!" where
    // GetArgument, GetArgumentText and ArgumentPresent disagree.
    struct Case {
        std::vector<Arg> args;
        std::string echo;
    };
    const std::vector<Case> cases = {
        {{}, "-----"},
        {{"a"}, "[a]----"},
        {{"a", omitted, "c"}, "[a]-[c]--"},
        {{omitted}, "-----"},
        {{omitted, omitted, omitted, omitted, "e"}, "----[e]"},
        {{"", "b"}, "[][b]---"},  // given but empty is not omitted
        {{std::string("x\0y", 3)}, std::string("[x\0y]----", 9)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("expecting " + c.echo);
        EXPECT_EQ(ValueOf("FAKEECHO", c.args), c.echo);
    }
}

TEST_F(FakeHostTest, ArgumentsConvertToWholeNumbersAsREXXWritesThem)
{
    struct Case {
        Arg text;
        const char* result;  // FAKENUMBER prints the word as signed, or "fail <word>"
    };
    const std::vector<Case> cases = {
        {"0", "0"},
        {"42", "42"},
        {"  42  ", "42"},
        {"+7", "7"},
        {"-1", "-1"},
        {"- 12", "-12"},
        {"007", "7"},
        {"00000000000000000001", "1"},
        {"2147483647", "2147483647"},
        {"2147483648", "-2147483648"},
        {"4294967295", "-1"},
        {"-2147483648", "-2147483648"},
        {"4294967296", "fail 41"},
        {"-2147483649", "fail 41"},
        {"99999999999999999999", "fail 41"},
        {"", "fail 41"},
        {" ", "fail 41"},
        {"+", "fail 41"},
        {"x", "fail 41"},
        {"1.5", "fail 41"},
        {"1e3", "fail 41"},
        {"--1", "fail 41"},
        {"1 2", "fail 41"},
        {std::string("1\0", 2), "fail 41"},
        {omitted, "fail 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("FAKENUMBER('" + c.text.text().value_or("<omitted>") + "')");
        EXPECT_EQ(ValueOf("FAKENUMBER", {c.text}), c.result);
    }
}

TEST_F(FakeHostTest, TextToNumberAndNumberToTextRoundTrip)
{
    // TextToNumber gives 0 for what is no whole number; NumberToText writes
    // the unsigned digits only (FAKETONUMBER adds "!" for a byte past them).
    struct Case {
        const char* text;
        const char* digits;
    };
    const std::vector<Case> cases = {
        {"200", "200"}, {" 7 ", "7"},  {"201", "201"},   {"0", "0"},
        {"-1", "4294967295"}, {"4294967295", "4294967295"}, {"SYNTAX", "0"}, {"", "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("FAKETONUMBER('") + c.text + "')");
        EXPECT_EQ(ValueOf("FAKETONUMBER", {c.text}), c.digits);
    }
}

TEST_F(FakeHostTest, KeywordArgumentsMatchIgnoringCaseWithExactLength)
{
    // FAKEKEYWORD offers RED, GREEN, BLUE; 99 means the choice was left alone.
    struct Case {
        std::vector<Arg> args;
        const char* choice;  // null: refused with an error text
    };
    const std::vector<Case> cases = {
        {{"a", "b"}, "99"},
        {{"a", "b", omitted}, "99"},
        {{"a", "b", "RED"}, "1"},
        {{"a", "b", "green"}, "2"},
        {{"a", "b", "Blue"}, "4"},
        {{"a", "b", "BLU"}, nullptr},
        {{"a", "b", "REDS"}, nullptr},
        {{"a", "b", " RED"}, nullptr},
        {{"a", "b", ""}, nullptr},
        {{"a", "b", "ORANGE"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("kind " + (c.args.size() > 2 ? c.args[2].text().value_or("<omitted>") : "<none>"));
        Outcome out = host.call("FAKEKEYWORD", c.args);
        if (c.choice != nullptr) {
            EXPECT_EQ(out.kind, Kind::Returned);
            EXPECT_EQ(out.description(), c.choice);
        } else {
            // The error text went to the add-on and back through FunctionResult.
            EXPECT_EQ(out.kind, Kind::HostError);
            EXPECT_EQ(out.raw, 1835816u);
            EXPECT_NE(out.description().find("RED, GREEN, BLUE"), std::string::npos) << out.description();
            EXPECT_NE(out.description().find("\"" + *c.args[2].text() + "\""), std::string::npos)
                << out.description();
        }
    }
}

TEST_F(FakeHostTest, ArgumentTextsDoNotOutliveTheCall)
{
    // An add-on that keeps GetArgument's pointer reads the host's marker later,
    // never the old text: short texts (held inside the string) and long ones alike.
    for (const std::string& text : {std::string("short"), std::string(5000, 'z')}) {
        SCOPED_TRACE(std::to_string(text.size()) + " bytes");
        EXPECT_EQ(host.call("FAKEKEEP", {text}).kind, Kind::Returned);
        EXPECT_EQ(ValueOf("FAKEPEEK", {}), std::string(text.size(), '\xDD'));
    }
}
