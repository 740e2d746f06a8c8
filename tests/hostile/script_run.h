// script_run.h -- one archive pushed through every function a script has, the
// way the catalogue, the fuzzer and the soak all use it: OPEN from a file, a
// memory block or a handle; a walk of every entry with SETCURRENTITEM; FINDITEM
// by name; GETITEM to a file (tail 0 of the stem), into a variable and onto a
// handle; CLOSE. Every call's outcome is recorded, and every rule an outcome
// breaks is listed as a problem:
//   - a result is 0, a result code from 1 to 21 (ZIPERR is NUM), or a host
//     error number; nothing else, and no condition;
//   - tail 0 of every selection lies under the root, as Windows resolves it;
//   - the three targets of one entry, when they succeed, get the same bytes,
//     as many as the entry's recorded size;
//   - the caller's handles stay open;
//   - after CLOSE the host holds no value of the add-on's and saw no rule broken.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "morvalin.h"

enum class SourceKind { File, Memory, Handle };
const char* SourceName(SourceKind kind);

// Codes a call may give, in expectations.
using Codes = std::vector<uint32_t>;

const uint32_t NOT_RUN = 0xFFFFFFFE;      // the call was not made
const uint32_t ODD_OUTCOME = 0xFFFFFFFF;  // an outcome outside the rules (listed as a problem)

struct EntryRun {
    uint32_t index = 0;  // 1 for the first entry
    uint32_t selectCode = NOT_RUN;
    std::string path;              // tail 0 after a successful selection
    uint64_t size = 0;             // tail 1: the recorded uncompressed size
    uint32_t attributes = 0;       // tail 3
    uint32_t memoryCode = NOT_RUN;
    std::string memory;            // the variable's bytes after a successful GETITEM
    uint32_t fileCode = NOT_RUN;
    uint32_t handleCode = NOT_RUN;
    bool directory() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
};

struct FindRun {
    std::string name;
    bool ignoreCase = false;
    bool found = false;            // FINDITEM filled the stem
    std::string path;
    uint32_t memoryCode = NOT_RUN;
};

struct ScriptRun {
    SourceKind kind = SourceKind::Memory;
    std::string root;              // the plan's root
    uint32_t openCode = NOT_RUN;
    uint32_t count = 0;            // FINDITEM(h, 'N')
    std::vector<EntryRun> entries;
    std::vector<FindRun> finds;
    uint32_t beyondCode = NOT_RUN; // SETCURRENTITEM one past the count
    std::vector<std::string> problems;
    DWORD milliseconds = 0;

    const EntryRun* entry(uint32_t index) const;  // 1-based; null when not walked
};

struct ScriptPlan {
    std::string root;              // SETROOTDIR; must exist
    std::string scratch;           // a folder for the archive file and the handle target
    std::string password;          // OPEN's fourth argument; empty: omitted
    std::string existingFile;      // a file or handle source reads this file instead of the archive's bytes
    std::vector<std::string> names;  // looked up with FINDITEM, as given and ignoring case
    uint32_t maxEntries = 256;     // entries walked
    uint32_t maxFileEntries = 64;  // of those, extracted to a file
    bool toMemory = true;
    bool toFile = true;
    bool toHandle = true;
    uint32_t maxConsecutiveFailures = 8;  // selections failing with 4 or 6 end the walk
};

// Runs the whole script on `archive` read from the given kind of source.
// The host must have the add-on loaded; variables are reset first.
ScriptRun RunScript(const morvalin::Host& host, const std::string& archive, SourceKind kind,
                    const ScriptPlan& plan);

// What one call came to: 0, a result code, a host error number, or
// ODD_OUTCOME with a problem added.
uint32_t CodeOf(const morvalin::Outcome& outcome, const std::string& call,
                std::vector<std::string>& problems);

// A short text of a code for messages: "0", "18", "host 917800", "not run".
std::string CodeText(uint32_t code);
