// catalogue.h -- rows of the hostile-archive catalogue and the fixture that
// runs them. Each row is an archive built in code to hurt the reader, run
// through the whole script (script_run.h) from a file and from memory, inside
// a sentinel tree and a time bound, with what the row expects of it.
//
//   HostileCase c{"entry count past the directory", zip};
//   c.entries = {Ok(1, "one"), Unselectable(3, 6)};
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "script_run.h"
#include "support/addon_fixture.h"
#include "support/bytes.h"

struct EntryExpect {
    uint32_t index = 1;
    uint32_t select = 0;
    std::optional<std::string> path;   // tail 0 after the root and its backslash
    Codes memory, handle, file;        // empty: anything within the rules
    std::optional<std::string> bytes;  // the variable's bytes when GETITEM succeeded
};

// The entry extracts to every target with exactly these bytes.
EntryExpect Ok(uint32_t index, const std::string& bytes);
// The entry extracts to every target; the row keeps no copy of its bytes
// (the rules still see that the targets got the same bytes, as many as
// recorded, and the CRC-32 vouches for them).
EntryExpect Ok(uint32_t index);
// The entry is selected, and extraction fails with these codes: `memory`
// into a variable, `stream` to a file and onto a handle.
EntryExpect Fails(uint32_t index, Codes memory, Codes stream);
// The selection itself fails with `code`.
EntryExpect Unselectable(uint32_t index, uint32_t code);
// The entry is selected and its tail 0 is the root, a backslash and `relative`.
EntryExpect At(uint32_t index, const std::string& relative);

struct HostileCase {
    HostileCase() = default;
    HostileCase(std::string caseName, std::string bytes, uint32_t openCode = 0)
        : name(std::move(caseName)), archive(std::move(bytes)), open(openCode)
    {
    }

    std::string name;
    std::string archive;
    uint32_t open = 0;                 // OPEN's code, from a file and from memory
    std::optional<uint32_t> count;
    std::vector<EntryExpect> entries;
    std::string password;
    std::vector<std::string> names;    // looked up with FINDITEM
    uint32_t maxEntries = 256;
    std::function<void(const ScriptRun&)> more;  // anything else the row checks
};

class HostileCatalogue : public AddonTest {
protected:
    void RunCase(const HostileCase& row);
    void RunTable(const std::vector<HostileCase>& table);
};

// A SCOPED_TRACE-friendly check that `code` is one of `codes`.
::testing::AssertionResult OneOf(uint32_t code, const Codes& codes);

// Deterministic bytes for payloads: `size` bytes from a small generator.
std::string Text(size_t size);  // compressible text
