// helpers.cpp -- the script-level steps and the Win32 probes that the add-on
// tests share.
#include "helpers.h"

#include <fstream>

static bool Returned(const morvalin::Outcome& out)
{
  return out.kind == morvalin::Kind::Returned && !out.value.has_value();
}

morvalin::Outcome ArchiveTest::OpenCall(const std::string& source, const std::string& kind,
                                        const std::string* password)
{
  std::vector<morvalin::Arg> args = {"H", source, kind};
  if (password)
    args.push_back(*password);
  return Call("OPEN", args);
}


std::string ArchiveTest::OpenCode(const std::string& source, const std::string& kind)
{
  host.setVariable("ZIPERR", "NUM");
  host.dropVariable("H");
  morvalin::Outcome out = OpenCall(source, kind);
  host.dropVariable("ZIPERR");
  if (out.kind == morvalin::Kind::HostError)
    return "(raw " + std::to_string(out.raw) + ")";
  if (Returned(out))
    return host.variable("H") ? "0" : "(no handle)";
  return out.description();
}

static std::string Failure(const morvalin::Outcome& out)
{
  return "(failed: raw " + std::to_string(out.raw) + " " + out.description() + ")";
}

std::string ArchiveTest::Count(const std::string& handle)
{
  host.dropVariable("N");
  morvalin::Outcome out = Call("FINDITEM", {handle, "N"});
  return Returned(out) ? Var("N") : Failure(out);
}

std::string ArchiveTest::SelectedPath(const std::string& handle, unsigned index)
{
  host.dropVariable("S.");
  morvalin::Outcome out = Call("SETCURRENTITEM", {handle, "S", std::to_string(index)});
  return Returned(out) ? Var("S.0") : Failure(out);
}

std::string ArchiveTest::Extract(const std::string& handle, unsigned index)
{
  morvalin::Outcome out = Call("SETCURRENTITEM", {handle, "S", std::to_string(index)});
  if (!Returned(out))
    return Failure(out);
  host.dropVariable("V");
  out = Call("GETITEM", {handle, "V", "MEMORY"});
  return Returned(out) ? Var("V") : Failure(out);
}

morvalin::Outcome ArchiveTest::SetRoot(const std::string& handle, const std::string* directory)
{
  if (directory)
    return Call("SETROOTDIR", {handle, *directory});
  return Call("SETROOTDIR", {handle});
}

std::string Number(uintptr_t value)
{
  return std::to_string(value);
}

std::string Number(HANDLE handle)
{
  return Number(reinterpret_cast<uintptr_t>(handle));
}

std::string CurrentDirectory()
{
  char buffer[MAX_PATH + 1];
  DWORD n = GetCurrentDirectoryA(sizeof buffer, buffer);
  return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

bool FileIsBusy(const std::string& path)
{
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

bool FileHandleWorks(HANDLE handle)
{
  SetLastError(NO_ERROR);
  DWORD size = GetFileSize(handle, nullptr);
  if (size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
    return false;
  SetLastError(NO_ERROR);
  DWORD position = SetFilePointer(handle, 0, nullptr, FILE_CURRENT);
  return !(position == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

bool RunProgram(const std::string& commandLine, DWORD* exitCode, DWORD timeoutMs)
{
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  std::string line = commandLine;  // CreateProcessA may write to it
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    return false;
  CloseHandle(process.hThread);
  bool ended = WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0;
  if (!ended) {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 5000);
  }
  GetExitCodeProcess(process.hProcess, exitCode);
  CloseHandle(process.hProcess);
  return ended;
}

std::map<std::string, std::string> ReadReport(const std::string& path)
{
  std::map<std::string, std::string> report;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    size_t equals = line.find('=');
    if (equals != std::string::npos)
      report[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return report;
}
