// fake_host.h -- the fixture of the host tests: morvalin.dll (imported) with
// fakeaddon.dll loaded by LoadLibraryA, and a clean host for every test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "morvalin.h"

class FakeHostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host.reset();
        if (host.functionCounts("FAKEECHO"))
            return;
        morvalin::AddonLoad load = host.loadAddon("fakeaddon.dll");
        ASSERT_TRUE(load.loaded()) << "status " << load.status << ", error " << load.lastError;
        ASSERT_EQ(load.feedbackResult, 0u);
    }

    // Every test leaves nothing owned by the add-on and no breach, unless it
    // cleared them itself after checking them.
    void TearDown() override
    {
        std::string live;
        for (const std::string& line : host.liveValueReport())
            live += line + "\n";
        EXPECT_EQ(host.liveValues(), 0u) << live;
        std::string breaches;
        for (const std::string& line : host.violations())
            breaches += line + "\n";
        EXPECT_EQ(breaches, "");
    }

    // The value of a call that must simply return one.
    std::string ValueOf(const std::string& name, const std::vector<morvalin::Arg>& args)
    {
        morvalin::Outcome out = host.call(name, args);
        EXPECT_EQ(out.kind, morvalin::Kind::Returned) << name << " raw " << out.raw;
        return out.value.value_or("<no value>");
    }

    morvalin::Host host;
};
