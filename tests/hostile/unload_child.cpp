// unload_child.cpp -- the child process of unload_test.cpp: it opens archives
// on a file of its own naming and on a handle of its own, then lets the
// add-on go (RexxFeedback op 0, FreeLibrary, or the end of the process) and
// checks that every handle the add-on owned was closed and the caller's was not.
//
//   hostile_unload_child free <archive file> <caller's file>
//   hostile_unload_child exit <archive file> <caller's file>
//
// Exit code 0 when every check held; otherwise the number of failed checks.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "morvalin.h"
#include "process_figures.h"
#include "script_run.h"
#include "support/winfiles.h"

namespace {

int failures = 0;

void Check(bool condition, const std::string& what)
{
    printf("%s: %s\n", condition ? "ok" : "FAILED", what.c_str());
    fflush(stdout);
    failures += !condition;
}

uint32_t Call(const morvalin::Host& host, const std::string& function, const std::vector<morvalin::Arg>& args)
{
    std::vector<std::string> problems;
    uint32_t code = CodeOf(host.call("UNZIP" + function, args), function, problems);
    for (const std::string& p : problems)
        Check(false, p);
    return code;
}

bool Load(const morvalin::Host& host)
{
    morvalin::AddonLoad load = host.loadAddon(BinPath("tarvune.dll"));
    host.setVariable("ZIPERR", "NUM");
    return load.loaded();
}

// Opens the archive three ways: by file name, on the caller's handle (the
// add-on keeps a duplicate) and from memory; leaves an entry selected.
void OpenThree(const morvalin::Host& host, const std::string& archivePath, HANDLE caller)
{
    SetFilePointer(caller, 0, nullptr, FILE_BEGIN);
    Check(Call(host, "OPEN", {"A", archivePath, "FILE"}) == 0, "OPEN by file name");
    Check(Call(host, "OPEN", {"B", std::to_string((uintptr_t)caller), "PIPE"}) == 0, "OPEN on the caller's handle");
    Check(Call(host, "OPEN", {"C", ReadWholeFile(archivePath), "MEMORY"}) == 0, "OPEN from memory");
    Check(Call(host, "SETCURRENTITEM", {host.variable("B").value_or(""), "S.", "1"}) == 0, "an entry selected");
}

bool CallerHandleWorks(HANDLE caller)
{
    char head[4] = {0};
    DWORD got = 0;
    return SetFilePointer(caller, 0, nullptr, FILE_BEGIN) == 0 && ReadFile(caller, head, 4, &got, nullptr) &&
           got == 4 && memcmp(head, "PK\3\4", 4) == 0;
}

// After the add-on let go: its two handles are closed, the file it had open
// can be deleted (it shared reading only), and the caller's handle still reads.
void CheckLetGo(uint32_t handlesBefore, const std::string& archivePath, HANDLE caller, const std::string& how)
{
    Check(OpenHandleCount() == handlesBefore, how + ": the add-on's handles are closed (" +
                                                  std::to_string(OpenHandleCount()) + " open, " +
                                                  std::to_string(handlesBefore) + " before OPEN)");
    Check(DeleteFileA(archivePath.c_str()) != 0, how + ": the archive file can be deleted");
    Check(CallerHandleWorks(caller), how + ": the caller's handle still works");
}

int Free(const std::string& archivePath, const std::string& callerPath)
{
    morvalin::Host host;
    HANDLE caller = CreateFileA(callerPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    const std::string archive = ReadWholeFile(archivePath);
    Check(caller != INVALID_HANDLE_VALUE && !archive.empty() && Load(host), "set up");

    // RexxFeedback op 0 closes every archive.
    uint32_t before = OpenHandleCount();
    OpenThree(host, archivePath, caller);
    Check(OpenHandleCount() == before + 2, "two handles more while open");
    Check(DeleteFileA(archivePath.c_str()) == 0, "the open archive file cannot be deleted");
    host.feedback(0);
    CheckLetGo(before, archivePath, caller, "op 0");
    Check(host.liveValues() == 0, "op 0: no host value left");

    // FreeLibrary with three archives open: process detach releases them.
    WriteWholeFile(archivePath, archive);
    before = OpenHandleCount();
    OpenThree(host, archivePath, caller);
    host.unloadAddon();
    Check(GetModuleHandleA("tarvune.dll") == nullptr, "the add-on is unloaded");
    CheckLetGo(before, archivePath, caller, "FreeLibrary");
    Check(host.liveValues() == 0, "FreeLibrary: no host value left");

    // Loaded again, it starts from nothing and works.
    WriteWholeFile(archivePath, archive);
    Check(Load(host), "loaded again");
    OpenThree(host, archivePath, caller);
    Check(Call(host, "GETITEM", {host.variable("B").value_or(""), "V", "MEMORY"}) == 0, "GETITEM after reloading");
    Call(host, "CLOSE", {});
    CloseHandle(caller);
    return failures;
}

int Exit(const std::string& archivePath, const std::string& callerPath)
{
    morvalin::Host host;
    HANDLE caller = CreateFileA(callerPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    Check(caller != INVALID_HANDLE_VALUE && Load(host), "set up");
    OpenThree(host, archivePath, caller);
    fflush(stdout);
    // The process ends with the archives open: the detach at exit releases them.
    ExitProcess(failures);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: hostile_unload_child free|exit <archive file> <caller's file>\n");
        return 100;
    }
    if (!strcmp(argv[1], "free"))
        return Free(argv[2], argv[3]);
    return Exit(argv[2], argv[3]);
}
