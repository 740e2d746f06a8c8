// items_support.h -- what the item-function tests share: a fixture that opens
// archives and reads result codes as a script with ZIPERR = 'NUM' would, time
// texts worked out apart from the add-on, child processes with their output,
// and a listing of every file under a folder.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/addon_fixture.h"
#include "support/bytes.h"

// A call's outcome in one line, for EXPECT_EQ: "ok" (returned, no value), the
// value it returned (with ZIPERR = 'NUM' a result code such as "4"), "host
// error N", or "condition N: description".
std::string Result(const morvalin::Outcome& outcome);

class ItemsTest : public AddonTest {
protected:
    void SetUp() override
    {
        AddonTest::SetUp();
        host.setVariable("ZIPERR", "NUM");
    }

    // OPEN of archive bytes held in memory; the handle text.
    std::string OpenBytes(const std::string& bytes, const std::string& password = "")
    {
        return Open(bytes, "MEMORY", password);
    }

    // Tail n of stem S.
    std::string Tail(int n, const std::string& stem = "S.") { return Var(stem + std::to_string(n)); }
    // Tails 0 to 6 of a stem, "(unset)" where a tail has no value.
    std::vector<std::string> Tails(const std::string& stem = "S.")
    {
        std::vector<std::string> tails;
        for (int n = 0; n <= 6; n++)
            tails.push_back(Tail(n, stem));
        return tails;
    }
};

// "YYYYMMDD hh:mm:ss" of a Unix time (signed seconds, UTC), computed from the
// civil calendar without any Windows call.
std::string UnixTimeText(int64_t seconds);

// The time text of a stamp read as local time in this process's zone, as
// Windows converts it to UTC. The stamp's fields are those a DOS date and
// time hold.
std::string LocalStampAsUtcText(int year, int month, int day, int hour, int minute, int second);

// What a finished child process left.
struct ProcessRun {
    bool started = false;
    DWORD exitCode = 0;
    std::string output;  // stdout and stderr together
};

// Runs `commandLine` (program path first, quoted as needed) with its output
// captured, and waits for it to end.
ProcessRun RunProcess(const std::string& commandLine);

// Every file under `folder` (not the folders), as full paths.
std::vector<std::string> FilesUnder(const std::string& folder);
// Every folder under `folder`, as full paths.
std::vector<std::string> FoldersUnder(const std::string& folder);

// A number of bytes that do not compress: deflated entries of them span
// several 16 KiB blocks.
