// select_bench.cpp -- how selecting entries scales over a 20,000-entry archive.
// Through the add-on's REXX functions (what a script pays): SETCURRENTITEM
// 1 to N in order, and FINDITEM of the last name. At reader level the same,
// and the walk made to restart from the first entry at every selection, or
// to read the directory without its buffer, to show what each saves. Then
// 70,000 entries behind a ZIP64 end record, selected in order both ways.
//
//   select_bench [directory]    writes select.zip there (default: here)
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "addonsession.h"
#include "benchclock.h"
#include "benchdata.h"
#include "zipread.h"

namespace {

const uint32_t ENTRY_COUNT = 20000;
// Past 65,535 entries the archive has a ZIP64 end record; selecting in order
// must stay linear there too.
const uint32_t ZIP64_ENTRY_COUNT = 70000;
const uint32_t ZIP64_IN_ORDER_COUNTS[] = {10000, 35000, 70000};
const uint32_t IN_ORDER_COUNTS[] = {1000, 5000, 20000};
const uint32_t RESTART_COUNTS[] = {250, 500, 1000, 2000, 5000, 10000, 20000};
const int REPEATS = 3;
// A restarting walk costs time quadratic in N: the next N is run only when
// this one suggests it will take at most this long.
const double RESTART_BUDGET_SECONDS = 12.0;

bool failed = false;

void Fail(const std::string& what)
{
    fprintf(stderr, "FAILED: %s\n", what.c_str());
    failed = true;
}

// The selected entry's path ends with its name, with backslashes.
bool PathNames(const std::string& path, uint32_t index)
{
    std::string name = ManyEntryName(index);
    for (char& c : name)
        if (c == '/')
            c = '\\';
    name = "\\" + name;
    return path.size() >= name.size() && path.compare(path.size() - name.size(), name.size(), name) == 0;
}

// Header reads of selecting 1 to N when every walk starts from the first entry.
double RestartSteps(uint32_t n)
{
    return (double)n * (n + 1) / 2;
}

void PrintRow(const char* what, uint32_t n, double seconds)
{
    printf("  %-44s N = %6u  %10.1f ms  %8.2f us each\n", what, n, seconds * 1e3, seconds * 1e6 / n);
}

// ---- through the add-on

void AddonSelections(AddonSession& addon, const std::string& archivePath)
{
    std::string h = addon.open(archivePath);
    if (h.empty()) {
        Fail("the add-on could not open the archive");
        return;
    }
    printf("\nThrough the add-on (UNZIP functions via the stand-in host):\n");
    for (uint32_t n : IN_ORDER_COUNTS) {
        std::vector<double> times;
        for (int r = 0; r < REPEATS; r++) {
            Stopwatch clock;
            for (uint32_t i = 1; i <= n; i++) {
                morvalin::Outcome out = addon.host.call("UNZIPSETCURRENTITEM", {h, "ITEM.", std::to_string(i)});
                if (!AddonSession::succeeded(out)) {
                    Fail("SETCURRENTITEM " + std::to_string(i) + ": " + AddonSession::describe(out));
                    return;
                }
            }
            times.push_back(clock.seconds());
            if (!PathNames(addon.tail("ITEM.", 0), n - 1))
                Fail("SETCURRENTITEM " + std::to_string(n) + " selected " + addon.tail("ITEM.", 0));
        }
        PrintRow("SETCURRENTITEM 1..N in order", n, Fastest(times));
    }

    for (uint32_t index : {0u, ENTRY_COUNT - 1}) {
        std::vector<double> times;
        for (int r = 0; r < 5; r++) {
            addon.host.dropVariable("ITEM.0");
            Stopwatch clock;
            morvalin::Outcome out = addon.host.call("UNZIPFINDITEM", {h, "ITEM.", ManyEntryName(index)});
            times.push_back(clock.seconds());
            if (!AddonSession::succeeded(out) || !PathNames(addon.tail("ITEM.", 0), index))
                Fail("FINDITEM " + ManyEntryName(index));
        }
        printf("  FINDITEM of the %s name (%s)%*s %10.3f ms  (median %.3f ms)\n",
               index == 0 ? "first" : "last ", ManyEntryName(index).c_str(), 12, "", Fastest(times) * 1e3,
               Median(times) * 1e3);
    }
    addon.close(h);
}

// ---- at reader level

// The reader, with its resuming and its directory buffer each on or off.
struct WalkMode {
    const char* name;
    bool resume;
    bool buffered;
};

// Selects positions 0 to n-1 in order; returns the seconds taken, or a
// negative number on a failure.
double SelectInOrder(Archive* archive, uint32_t n, const WalkMode& mode)
{
    uint8_t* cache = archive->readCache;
    if (!mode.buffered) {
        // Every read of the directory then goes to the file: a seek and a
        // read for the signature, the fields and the name of each header.
        archive->readCache = nullptr;
        archive->cacheLength[0] = archive->cacheLength[1] = 0;
    }
    archive->walkIndex = -1;
    double seconds = -1;
    Stopwatch clock;
    uint32_t i = 0;
    for (; i < n; i++) {
        if (!mode.resume)
            archive->walkIndex = -1;
        if (SelectEntry(archive, i) != RESULT_OK || archive->currentIndex != (int32_t)i)
            break;
    }
    if (i == n)
        seconds = clock.seconds();
    archive->readCache = cache;
    archive->cacheLength[0] = archive->cacheLength[1] = 0;
    if (i != n || !PathNames(archive->path, n - 1))
        Fail(std::string("SelectEntry in order, ") + mode.name + ", N = " + std::to_string(n));
    return seconds;
}

double FindLast(Archive* archive, bool buffered)
{
    uint8_t* cache = archive->readCache;
    if (!buffered) {
        archive->readCache = nullptr;
        archive->cacheLength[0] = archive->cacheLength[1] = 0;
    }
    std::string name = ManyEntryName(ENTRY_COUNT - 1);
    Stopwatch clock;
    uint32_t code = FindEntry(archive, name.c_str(), 0);
    double seconds = clock.seconds();
    archive->readCache = cache;
    archive->cacheLength[0] = archive->cacheLength[1] = 0;
    if (code != RESULT_OK || !PathNames(archive->path, ENTRY_COUNT - 1))
        Fail("FindEntry " + name);
    return seconds;
}

void ReaderSelections(const std::string& archivePath)
{
    Archive* archive = nullptr;
    if (OpenArchive(&archive, archivePath.c_str(), 0, SOURCE_FILE, nullptr, 0) != RESULT_OK) {
        Fail("OpenArchive " + archivePath);
        return;
    }
    printf("\nAt reader level (SelectEntry, FindEntry linked directly):\n");
    const WalkMode modes[] = {
        {"resumed, buffered (as built)", true, true},
        {"resumed, unbuffered", true, false},
        {"from the first entry, buffered", false, true},
        {"from the first entry, unbuffered (~ before)", false, false},
    };
    for (const WalkMode& mode : modes) {
        if (mode.resume) {
            for (uint32_t n : IN_ORDER_COUNTS) {
                std::vector<double> times;
                for (int r = 0; r < REPEATS; r++)
                    times.push_back(SelectInOrder(archive, n, mode));
                PrintRow(mode.name, n, Fastest(times));
            }
            continue;
        }
        double last = 0;
        uint32_t lastN = 0;
        for (uint32_t n : RESTART_COUNTS) {
            if (lastN != 0 && last * RestartSteps(n) / RestartSteps(lastN) > RESTART_BUDGET_SECONDS) {
                printf("  %-44s N = %6u  projected %8.1f s (from N = %u, quadratic)\n", mode.name, n,
                       last * RestartSteps(n) / RestartSteps(lastN), lastN);
                break;
            }
            last = SelectInOrder(archive, n, mode);
            if (last < 0)
                break;
            lastN = n;
            PrintRow(mode.name, n, last);
        }
    }

    for (bool buffered : {true, false}) {
        std::vector<double> times;
        for (int r = 0; r < 5; r++)
            times.push_back(FindLast(archive, buffered));
        printf("  FindEntry of the last name, %-16s%*s %10.3f ms  (median %.3f ms)\n",
               buffered ? "buffered" : "unbuffered", 24, "", Fastest(times) * 1e3, Median(times) * 1e3);
    }
    ReleaseArchive(archive);
}

// SETCURRENTITEM and SelectEntry in order over the ZIP64 archive.
void Zip64Selections(AddonSession& addon, const std::string& archivePath)
{
    printf("\n%u entries behind a ZIP64 end record, in order:\n", ZIP64_ENTRY_COUNT);
    Archive* archive = nullptr;
    if (OpenArchive(&archive, archivePath.c_str(), 0, SOURCE_FILE, nullptr, 0) != RESULT_OK ||
        archive->entryCount != ZIP64_ENTRY_COUNT) {
        Fail("OpenArchive " + archivePath + " with every entry counted");
        if (archive)
            ReleaseArchive(archive);
        return;
    }
    const WalkMode asBuilt = {"SelectEntry 0..N-1 (reader)", true, true};
    for (uint32_t n : ZIP64_IN_ORDER_COUNTS) {
        std::vector<double> times;
        for (int r = 0; r < REPEATS; r++)
            times.push_back(SelectInOrder(archive, n, asBuilt));
        PrintRow(asBuilt.name, n, Fastest(times));
    }
    ReleaseArchive(archive);

    std::string h = addon.open(archivePath);
    if (h.empty()) {
        Fail("the add-on could not open " + archivePath);
        return;
    }
    Stopwatch clock;
    for (uint32_t i = 1; i <= ZIP64_ENTRY_COUNT; i++) {
        morvalin::Outcome out = addon.host.call("UNZIPSETCURRENTITEM", {h, "ITEM.", std::to_string(i)});
        if (!AddonSession::succeeded(out)) {
            Fail("SETCURRENTITEM " + std::to_string(i) + ": " + AddonSession::describe(out));
            break;
        }
    }
    PrintRow("SETCURRENTITEM 1..N in order (add-on)", ZIP64_ENTRY_COUNT, clock.seconds());
    addon.close(h);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string directory = argc > 1 ? argv[1] : ".";
    std::string archivePath = directory + "\\select.zip";

    printf("select_bench: %u entries, in %s\n", ENTRY_COUNT, archivePath.c_str());
    Stopwatch making;
    if (!WriteManyArchive(archivePath, ENTRY_COUNT, nullptr)) {
        fprintf(stderr, "could not write %s\n", archivePath.c_str());
        return 1;
    }
    printf("  archive written in %.1f s; times below are the fastest of %d runs\n", making.seconds(), REPEATS);

    AddonSession addon;
    if (!addon.load())
        return 1;
    AddonSelections(addon, archivePath);
    ReaderSelections(archivePath);
    DeleteFileA(archivePath.c_str());

    std::string zip64Path = directory + "\\select64.zip";
    if (!WriteManyArchive(zip64Path, ZIP64_ENTRY_COUNT, nullptr)) {
        fprintf(stderr, "could not write %s\n", zip64Path.c_str());
        return 1;
    }
    Zip64Selections(addon, zip64Path);
    DeleteFileA(zip64Path.c_str());
    if (failed) {
        printf("\nselect_bench: FAILED (see above)\n");
        return 1;
    }
    return 0;
}
