// fuzz.cpp -- the mutation fuzzer: mutates sound archives and pushes each one
// through the whole script (script_run.h), in one Wine process, with a fixed
// seed. A crash, a hang, a heap block, handle or host value leaked, a result
// outside 0 to 21, or a file outside the root fails the run and writes the
// input that did it to fuzz-failures\.
//
//   hostile_fuzz [iterations [seed]]   (or TARVUNE_FUZZ_ITERATIONS, TARVUNE_FUZZ_SEED)
//   hostile_fuzz --seconds 20 ...      stop early after this many seconds
//   hostile_fuzz --replay file [--password pw]   run the script on one saved input and report
//
// It loads the fault-injection build of the add-on with no faults planned,
// only for its count of live heap blocks.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>

#include "faults.h"
#include "fuzz_seeds.h"
#include "morvalin.h"
#include "mutate.h"
#include "process_figures.h"
#include "script_run.h"
#include "sentinel.h"
#include "support/winfiles.h"
#include "watchdog.h"

namespace {

typedef void (*FaultsCountedFn)(FaultCounts* counts);

const DWORD HANG_LIMIT_MS = 15000;
const uint32_t HANDLE_SOURCE_EVERY = 16;  // iterations; the others read from memory
const uint32_t FILE_SOURCE_EVERY = 32;
const uint32_t FILE_TARGET_EVERY = 32;    // GETITEM to files, then the sentinel tree is checked

// The input under test, for the crash and hang reports.
std::string current;
uint32_t currentIteration;
uint64_t runSeed;
std::string failureFolder = "fuzz-failures";

std::string SaveInput(const char* what)
{
    CreateDirectoryA(failureFolder.c_str(), nullptr);
    char name[128];
    snprintf(name, sizeof name, "\\%s-seed%llu-iteration%u.bin", what, (unsigned long long)runSeed,
             currentIteration);
    std::string path = failureFolder + name;
    WriteWholeFile(path, current);
    fprintf(stderr, "input written to %s (%u bytes)\n", path.c_str(), (unsigned)current.size());
    fflush(stderr);
    return path;
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* info)
{
    fprintf(stderr, "CRASH: exception 0x%08lX at %p in iteration %u\n",
            (unsigned long)info->ExceptionRecord->ExceptionCode, info->ExceptionRecord->ExceptionAddress,
            currentIteration);
    SaveInput("crash");
    TerminateProcess(GetCurrentProcess(), 4);
    return EXCEPTION_EXECUTE_HANDLER;
}

uint32_t EnvNumber(const char* name, uint32_t fallback)
{
    const char* text = getenv(name);
    return text && *text ? (uint32_t)strtoul(text, nullptr, 10) : fallback;
}

struct Totals {
    std::map<std::string, uint32_t> codes;  // "OPEN 6", "GETITEM 18", ...
    uint32_t runs = 0, entries = 0, extracted = 0;
};

void Tally(const ScriptRun& run, Totals& totals)
{
    totals.runs++;
    totals.codes["OPEN " + CodeText(run.openCode)]++;
    for (const EntryRun& e : run.entries) {
        totals.entries++;
        totals.codes["SETCURRENTITEM " + CodeText(e.selectCode)]++;
        if (e.memoryCode != NOT_RUN)
            totals.codes["GETITEM " + CodeText(e.memoryCode)]++;
        totals.extracted += e.memoryCode == 0;
    }
}

class Fuzzer {
public:
    bool Start()
    {
        morvalin::AddonLoad load = host_.loadAddon(BinPath("faults\\tarvune.dll"));
        if (!load.loaded()) {
            fprintf(stderr, "faults\\tarvune.dll did not load, error %u\n", load.lastError);
            return false;
        }
        counted_ = reinterpret_cast<FaultsCountedFn>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("tarvune.dll"), "TarvuneFaultsCounted")));
        if (!counted_ || !scratch_.ok() || !tree_.ok()) {
            fprintf(stderr, "no fault-injection build, or no temp folders\n");
            return false;
        }
        return true;
    }

    // Runs the script on `input` and returns what went wrong, if anything.
    std::vector<std::string> Check(const std::string& input, SourceKind kind, bool toFile,
                                   const std::string& password, const std::vector<std::string>& names,
                                   ScriptRun* out = nullptr)
    {
        int32_t blocks = LiveBlocks();
        uint32_t handles = OpenHandleCount();
        ScriptPlan plan;
        plan.root = tree_.root();
        plan.scratch = scratch_.path();
        plan.password = password;
        plan.names = names;
        plan.maxEntries = 32;
        plan.maxFileEntries = 4;
        plan.toFile = toFile;
        ScriptRun run;
        {
            CurrentDirectory inside(tree_.cwd());
            run = RunScript(host_, input, kind, plan);
        }
        std::vector<std::string> problems = run.problems;
        if (LiveBlocks() != blocks)
            problems.push_back("heap blocks: " + std::to_string(blocks) + " before, " +
                               std::to_string(LiveBlocks()) + " after CLOSE");
        if (OpenHandleCount() != handles)
            problems.push_back("handles: " + std::to_string(handles) + " before, " +
                               std::to_string(OpenHandleCount()) + " after CLOSE");
        if (toFile) {
            for (const std::string& i : tree_.Intruders())
                problems.push_back("written outside the root: " + i);
            for (const std::string& i : FarEscapes())
                problems.push_back("written far outside the root: " + i);
            if (!tree_.ClearRoot())
                problems.push_back("the root cannot be emptied");
        }
        if (out)
            *out = run;
        return problems;
    }

private:
    int32_t LiveBlocks()
    {
        FaultCounts counts{};
        counted_(&counts);
        return counts.liveBlocks;
    }

    morvalin::Host host_;
    FaultsCountedFn counted_ = nullptr;
    TempDir scratch_;
    SentinelTree tree_;
};

int Replay(Fuzzer& fuzzer, const std::string& path, const std::string& password)
{
    if (!ReadWholeFile(path, current)) {
        fprintf(stderr, "cannot read %s\n", path.c_str());
        return 2;
    }
    int failures = 0;
    for (SourceKind kind : {SourceKind::Memory, SourceKind::File, SourceKind::Handle}) {
        ScriptRun run;
        std::vector<std::string> problems = fuzzer.Check(current, kind, true, password, {}, &run);
        printf("%s: OPEN %s, %u entries, %u walked, %lu ms\n", SourceName(kind), CodeText(run.openCode).c_str(),
               run.count, (unsigned)run.entries.size(), (unsigned long)run.milliseconds);
        for (const EntryRun& e : run.entries)
            printf("  entry %u: select %s, variable %s, file %s, handle %s  %s\n", e.index,
                   CodeText(e.selectCode).c_str(), CodeText(e.memoryCode).c_str(), CodeText(e.fileCode).c_str(),
                   CodeText(e.handleCode).c_str(), e.path.c_str());
        for (const std::string& p : problems)
            printf("  PROBLEM: %s\n", p.c_str());
        failures += !problems.empty();
    }
    return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    uint32_t iterations = EnvNumber("TARVUNE_FUZZ_ITERATIONS", 2000);
    runSeed = EnvNumber("TARVUNE_FUZZ_SEED", 1);
    uint32_t seconds = EnvNumber("TARVUNE_FUZZ_SECONDS", 0);
    const char* replay = nullptr;
    std::string password;
    int position = 0;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = (uint32_t)strtoul(argv[++i], nullptr, 10);
        else if (!strcmp(argv[i], "--replay") && i + 1 < argc)
            replay = argv[++i];
        else if (!strcmp(argv[i], "--password") && i + 1 < argc)
            password = argv[++i];
        else if (!strcmp(argv[i], "--out") && i + 1 < argc)
            failureFolder = argv[++i];
        else if (position++ == 0)
            iterations = (uint32_t)strtoul(argv[i], nullptr, 10);
        else
            runSeed = strtoull(argv[i], nullptr, 10);
    }

    SetUnhandledExceptionFilter(OnCrash);
    Watchdog watchdog(HANG_LIMIT_MS, [](const std::string&) { SaveInput("hang"); });
    Fuzzer fuzzer;
    if (!fuzzer.Start())
        return 2;
    if (replay)
        return Replay(fuzzer, replay, password);

    const std::vector<FuzzSeed>& seeds = FuzzSeeds();
    std::vector<std::string> others;
    for (const FuzzSeed& s : seeds)
        others.push_back(s.bytes);

    FuzzRandom random(runSeed);
    Totals totals;
    DWORD start = GetTickCount();
    uint32_t done = 0;
    for (currentIteration = 1; currentIteration <= iterations; currentIteration++) {
        if (seconds && GetTickCount() - start > seconds * 1000)
            break;
        const FuzzSeed& seed = seeds[random.Below((uint32_t)seeds.size())];
        current = Mutate(seed.bytes, others, random);
        SourceKind kind = currentIteration % FILE_SOURCE_EVERY == 0     ? SourceKind::File
                          : currentIteration % HANDLE_SOURCE_EVERY == 0 ? SourceKind::Handle
                                                                        : SourceKind::Memory;
        bool toFile = currentIteration % FILE_TARGET_EVERY == 1;
        std::string given = random.OneIn(4) ? "" : seed.password;
        std::vector<std::string> names = seed.names;
        names.push_back("missing");

        watchdog.Arm("iteration " + std::to_string(currentIteration));
        ScriptRun run;
        std::vector<std::string> problems = fuzzer.Check(current, kind, toFile, given, names, &run);
        watchdog.Disarm();
        Tally(run, totals);
        done++;
        if (!problems.empty()) {
            fprintf(stderr, "FAILED: iteration %u (seed %llu, from \"%s\", OPEN from %s, password \"%s\"):\n",
                    currentIteration, (unsigned long long)runSeed, seed.name.c_str(), SourceName(kind),
                    given.c_str());
            for (const std::string& p : problems)
                fprintf(stderr, "  %s\n", p.c_str());
            SaveInput("failure");
            return 1;
        }
    }
    DWORD elapsed = GetTickCount() - start;
    printf("fuzz: seed %llu, %u iterations in %.1f s, %.0f iterations/s; %u entries walked, %u extracted\n",
           (unsigned long long)runSeed, done, elapsed / 1000.0, elapsed ? done * 1000.0 / elapsed : 0.0,
           totals.entries, totals.extracted);
    for (const auto& code : totals.codes)
        printf("  %-24s %u\n", code.first.c_str(), code.second);
    return 0;
}
