// helpers.h -- what the add-on tests share: a fixture with the script-level
// steps they repeat (count, select, extract), and Win32 probes of files,
// handles and helper programs.
#pragma once

#include <windows.h>

#include <map>
#include <string>

#include "support/addon_fixture.h"

// Host error numbers that the handlers return for bad arguments.
const uint32_t ARG1_NOT_NUMBER = 917800;    // also ERRMSG's bad code
const uint32_t ARG2_NOT_NUMBER = 918056;
const uint32_t ARG1_NOT_HANDLE = 2359592;
const uint32_t ARG3_NOT_KEYWORD = 1835816;

// Outcome numbers of a failure report, by whether ZIPHEADING has a value.
const uint32_t OUTCOME_WITH_HEADING = 0x280000C7;
const uint32_t OUTCOME_WITHOUT_HEADING = 0x310000C7;

class ArchiveTest : public AddonTest {
 protected:
  // OPEN(H, source, kind [, password]) as the script wrote it.
  morvalin::Outcome OpenCall(const std::string& source, const std::string& kind,
                             const std::string* password = nullptr);
  // OPEN's result code as ZIPERR = 'NUM' gives it: "0" when the archive
  // opened (its handle is in H), "(raw N)" for a host error.
  std::string OpenCode(const std::string& source, const std::string& kind);

  // The number of items, from FINDITEM(h, 'N'); "(failed)" when the call did
  // not simply return.
  std::string Count(const std::string& handle);
  // SETCURRENTITEM(h, 'S', index) and the path in S.0, or "(failed: text)".
  std::string SelectedPath(const std::string& handle, unsigned index = 1);
  // Item `index` (from 1) extracted into a variable, or "(failed: text)".
  std::string Extract(const std::string& handle, unsigned index = 1);
  // SETROOTDIR(h, directory); a null directory leaves the argument out.
  morvalin::Outcome SetRoot(const std::string& handle, const std::string* directory);
};

// A handle or pointer as the decimal number a script would pass.
std::string Number(uintptr_t value);
std::string Number(HANDLE handle);

// The current directory, as GetCurrentDirectoryA gives it.
std::string CurrentDirectory();

// True when some open handle keeps the file from being opened exclusively.
bool FileIsBusy(const std::string& path);
// True when a file handle still answers: its size and position can be read.
bool FileHandleWorks(HANDLE handle);

// Runs a program (a command line with the program first) and waits for it.
// Returns false when it could not start or did not end within the time;
// a program that hangs is terminated.
bool RunProgram(const std::string& commandLine, DWORD* exitCode, DWORD timeoutMs = 20000);
// A helper program's report: one key=value a line.
std::map<std::string, std::string> ReadReport(const std::string& path);
