// soak.cpp -- cycles of open, select every entry, extract and close, across
// the four source kinds (a file, a memory block, a resource of this program
// and a caller's handle), watching the figures that must stay flat: private
// bytes, heap blocks, handles and the host's value ledger. Prints the first
// and last figures and fails when they drift.
//
//   hostile_soak [cycles]      (or TARVUNE_SOAK_CYCLES; 10,000 by default)
//
// The host keeps retired values in quarantine for a while, so its memory
// grows during the first few hundred cycles; the figures are compared from
// the end of that warm-up on.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "morvalin.h"
#include "process_figures.h"
#include "script_run.h"
#include "support/winfiles.h"

namespace {

const int SOAK_RESOURCE_ID = 1;
const uint32_t FILE_TARGET_EVERY = 100;  // cycles; the others extract to memory and a handle
const uint32_t HEAP_BLOCK_SLACK = 16;     // blocks the runtime itself may take on the way
const size_t MEMORY_SLACK = 1 << 20;       // private bytes or working set

struct Figures {
    uint32_t cycle = 0;
    MemoryFigures memory;
    uint32_t heapBlocks = 0;
    uint32_t handles = 0;
    uint32_t hostValues = 0;
};

Figures Measure(const morvalin::Host& host, uint32_t cycle)
{
    Figures f;
    f.cycle = cycle;
    f.memory = ProcessMemory();
    f.heapBlocks = BusyHeapBlocks();
    f.handles = OpenHandleCount();
    f.hostValues = host.liveValues();
    return f;
}

void Print(const char* label, const Figures& f)
{
    printf("  %-14s cycle %6u: private bytes %9lu, working set %9lu, heap blocks %6u, handles %4u, host values %u\n",
           label, f.cycle, (unsigned long)f.memory.privateBytes, (unsigned long)f.memory.workingSet, f.heapBlocks,
           f.handles, f.hostValues);
    fflush(stdout);
}

std::string ResourceBytes()
{
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(SOAK_RESOURCE_ID), MAKEINTRESOURCEA(10));
    HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    const char* data = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    return data ? std::string(data, SizeofResource(nullptr, found)) : std::string();
}

class Soak {
public:
    Soak(const morvalin::Host& host, const std::string& archive, const std::string& folder)
        : host_(host), archive_(archive), folder_(folder)
    {
        archivePath_ = folder + "\\soak.zip";
        root_ = folder + "\\root";
        WriteWholeFile(archivePath_, archive);
        CreateDirectoryA(root_.c_str(), nullptr);
        callerSource_ = CreateFileA(archivePath_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        target_ = CreateFileA((folder + "\\target.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    ~Soak()
    {
        CloseHandle(callerSource_);
        CloseHandle(target_);
    }

    // One cycle; returns false, with the reason printed, on any failure.
    bool Cycle(uint32_t cycle);

private:
    uint32_t Call(const std::string& function, const std::vector<morvalin::Arg>& args)
    {
        std::vector<std::string> problems;
        uint32_t code = CodeOf(host_.call("UNZIP" + function, args), function, problems);
        for (const std::string& p : problems)
            printf("  %s\n", p.c_str());
        return problems.empty() ? code : ODD_OUTCOME;
    }
    bool Fail(uint32_t cycle, const std::string& what, uint32_t code)
    {
        printf("FAILED in cycle %u: %s gave %s\n", cycle, what.c_str(), CodeText(code).c_str());
        return false;
    }

    const morvalin::Host& host_;
    std::string archive_, folder_, archivePath_, root_;
    HANDLE callerSource_, target_;
    std::vector<std::string> reference_;  // each entry's bytes, from the first cycle
};

bool Soak::Cycle(uint32_t cycle)
{
    static const char* const kinds[] = {"FILE", "MEMORY", "RESOURCE", "PIPE"};
    const char* kind = kinds[cycle % 4];
    std::vector<morvalin::Arg> open = {"H"};
    if (cycle % 4 == 0) {
        open.push_back(archivePath_);
    } else if (cycle % 4 == 1) {
        open.push_back(archive_);
    } else if (cycle % 4 == 2) {
        open.push_back(std::to_string(SOAK_RESOURCE_ID));
    } else {
        // The add-on's duplicate shares this handle's position: the archive starts where it stands.
        SetFilePointer(callerSource_, 0, nullptr, FILE_BEGIN);
        open.push_back(std::to_string((uintptr_t)callerSource_));
    }
    open.push_back(kind);
    uint32_t code = Call("OPEN", open);
    if (code != 0)
        return Fail(cycle, std::string("OPEN from ") + kind, code);
    std::string h = host_.variable("H").value_or("");
    Call("SETROOTDIR", {h, root_});
    Call("FINDITEM", {h, "N"});
    uint32_t count = (uint32_t)strtoul(host_.variable("N").value_or("0").c_str(), nullptr, 10);
    if (count == 0)
        return Fail(cycle, "FINDITEM count", 0);

    for (uint32_t i = 1; i <= count; i++) {
        std::string index = std::to_string(i);
        if ((code = Call("SETCURRENTITEM", {h, "S.", index})) != 0)
            return Fail(cycle, "SETCURRENTITEM " + index, code);
        if ((code = Call("GETITEM", {h, "V", "MEMORY"})) != 0)
            return Fail(cycle, "GETITEM " + index + " into a variable", code);
        std::string bytes = host_.variable("V").value_or("");
        if (reference_.size() < i)
            reference_.push_back(bytes);
        else if (bytes != reference_[i - 1])
            return Fail(cycle, "entry " + index + "'s bytes, which changed since the first cycle,", 0);

        Call("SETCURRENTITEM", {h, "S.", index});
        SetFilePointer(target_, 0, nullptr, FILE_BEGIN);
        SetEndOfFile(target_);
        if ((code = Call("GETITEM", {h, std::to_string((uintptr_t)target_), "PIPE"})) != 0)
            return Fail(cycle, "GETITEM " + index + " onto a handle", code);

        if (cycle % FILE_TARGET_EVERY == 0) {
            Call("SETCURRENTITEM", {h, "S.", index});
            if ((code = Call("GETITEM", {h, host_.variable("S.0").value_or(""), "FILE"})) != 0)
                return Fail(cycle, "GETITEM " + index + " to a file", code);
        }
    }
    host_.dropVariable("F.");
    Call("FINDITEM", {h, "F.", "soak/dir/nested.txt"});
    if (!host_.variable("F.0"))
        return Fail(cycle, "FINDITEM soak/dir/nested.txt", 4);
    Call("CLOSE", {h});
    if (host_.liveValues() != 0)
        return Fail(cycle, "the host's ledger", host_.liveValues());
    host_.dropVariables();
    host_.setVariable("ZIPERR", "NUM");
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* env = getenv("TARVUNE_SOAK_CYCLES");
    uint32_t cycles = argc > 1 ? (uint32_t)strtoul(argv[1], nullptr, 10)
                               : env && *env ? (uint32_t)strtoul(env, nullptr, 10) : 10000;
    uint32_t warmUp = cycles / 2 < 500 ? cycles / 2 : 500;

    morvalin::Host host;
    morvalin::AddonLoad load = host.loadAddon(BinPath("tarvune.dll"));
    std::string archive = ResourceBytes();
    TempDir folder;
    if (!load.loaded() || archive.empty() || !folder.ok()) {
        printf("FAILED: the add-on, the resource archive or a temp folder is missing\n");
        return 2;
    }
    host.setVariable("ZIPERR", "NUM");

    int failed = 0;
    {
        Soak soak(host, archive, folder.path());
        Figures first = Measure(host, 0), warm = first, last = first;
        printf("soak: %u cycles over file, memory, resource and handle sources (%u-byte archive)\n", cycles,
               (unsigned)archive.size());
        Print("before", first);
        DWORD start = GetTickCount();
        for (uint32_t cycle = 1; cycle <= cycles; cycle++) {
            if (!soak.Cycle(cycle)) {
                failed = 1;
                break;
            }
            last = Measure(host, cycle);
            if (cycle == 1)
                Print("first cycle", last);
            if (cycle == warmUp) {
                warm = last;
                Print("after warm-up", warm);
            }
        }
        DWORD elapsed = GetTickCount() - start;
        Print("last cycle", last);
        printf("  %.1f s, %.0f cycles/s\n", elapsed / 1000.0, elapsed ? last.cycle * 1000.0 / elapsed : 0.0);

        if (last.handles != warm.handles) {
            printf("FAILED: handles went from %u to %u\n", warm.handles, last.handles);
            failed = 1;
        }
        if (last.heapBlocks > warm.heapBlocks + HEAP_BLOCK_SLACK) {
            printf("FAILED: heap blocks went from %u to %u\n", warm.heapBlocks, last.heapBlocks);
            failed = 1;
        }
        if (last.memory.privateBytes > warm.memory.privateBytes + MEMORY_SLACK ||
            last.memory.workingSet > warm.memory.workingSet + MEMORY_SLACK) {
            printf("FAILED: memory grew beyond the slack of %u bytes\n", (unsigned)MEMORY_SLACK);
            failed = 1;
        }
        if (last.hostValues != 0) {
            printf("FAILED: the host's ledger holds %u values\n", last.hostValues);
            failed = 1;
        }
    }
    printf(failed ? "soak FAILED\n" : "soak passed: flat\n");
    return failed;
}
