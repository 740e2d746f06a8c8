// faults_test.cpp -- every allocation, read and write of the add-on failed in
// turn. The fault-injection build of the add-on (bin/faults/tarvune.dll) can
// make its Nth heap allocation, ReadFile or WriteFile fail; for each function
// a script calls, N goes up from 1 until the call gets through untouched. Each
// failure must give its result code, leak no heap block, handle or host value,
// and leave the archive (or, after OPEN, the source) fit for the next call.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>

#include "faults.h"
#include "morvalin.h"
#include "process_figures.h"
#include "script_run.h"
#include "support/winfiles.h"
#include "support/zipbuilder.h"

namespace {

typedef void (*FaultsResetFn)(uint32_t failAllocation, uint32_t failRead, uint32_t failWrite);
typedef void (*FaultsCountedFn)(FaultCounts* counts);

enum class Fault { Allocation, Read, Write };

const char* FaultName(Fault fault)
{
    return fault == Fault::Allocation ? "allocation" : fault == Fault::Read ? "ReadFile" : "WriteFile";
}

// The stem of FINDITEM stayed unset: the search failed, silently as it must.
const uint32_t NOT_FOUND_SILENTLY = 0xFFFF0000u;
const uint32_t MOST_STEPS = 10000;
const std::string PASSWORD = "fault line";

std::string Noise(size_t size, uint32_t seed)
{
    std::string out(size, '\0');
    for (size_t i = 0; i < size; i++) {
        seed = seed * 1103515245u + 12345u;
        out[i] = (char)('a' + (seed >> 24) % 7);  // compresses, but not to nothing
    }
    return out;
}

struct Item {
    const char* name;
    std::string data;
    bool directory;
};

// Entries that take every road: an extra field to copy at selection, deflate
// data of several input blocks, encryption, and a directory.
const std::vector<Item>& Items()
{
    static const std::vector<Item> items = {
        {"stored.txt", Noise(40000, 1), false},
        {"deflated.txt", Noise(70000, 2), false},
        {"secret.txt", Noise(20000, 3), false},
        {"dir/", "", true},
    };
    return items;
}

std::string FaultArchive()
{
    ZipBuilder zip;
    zip.add(Items()[0].name, Items()[0].data, 0);
    zip.back().centralExtra = UtBlock(1, 1000000000);
    zip.add(Items()[1].name, Items()[1].data);
    zip.add(Items()[2].name, Items()[2].data);
    zip.back().password = PASSWORD;
    zip.add(Items()[3].name, "", 0);
    zip.back().externalAttributes = FILE_ATTRIBUTE_DIRECTORY;
    // A comment long enough that the central directory lies outside the
    // bytes the end-record search leaves cached: selections read the file.
    zip.comment(std::string(3000, 'c'));
    return zip.build();
}

class AddonFaults : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        morvalin::Host host;
        morvalin::AddonLoad load = host.loadAddon(BinPath("faults\\tarvune.dll"));
        ASSERT_TRUE(load.loaded()) << "faults\\tarvune.dll did not load, error " << load.lastError;
        HMODULE addon = GetModuleHandleA("tarvune.dll");
        reset_ = reinterpret_cast<FaultsResetFn>(
            reinterpret_cast<void*>(GetProcAddress(addon, "TarvuneFaultsReset")));
        counted_ = reinterpret_cast<FaultsCountedFn>(
            reinterpret_cast<void*>(GetProcAddress(addon, "TarvuneFaultsCounted")));
        ASSERT_TRUE(reset_ && counted_) << "the loaded tarvune.dll is not the fault-injection build";
    }

    void SetUp() override
    {
        ASSERT_TRUE(reset_ && counted_);
        ASSERT_TRUE(scratch.ok());
        archive = FaultArchive();
        archivePath = scratch.file("faults.zip");
        ASSERT_TRUE(WriteWholeFile(archivePath, archive));
        Fresh();
    }

    void TearDown() override
    {
        reset_(0, 0, 0);
        host.feedback(0);
        host.reset();
    }

    // No archive open, no variables but ZIPERR, no faults planned.
    void Fresh()
    {
        reset_(0, 0, 0);
        host.feedback(0);
        host.reset();
        host.forgetLiveValues();
        host.setVariable("ZIPERR", "NUM");
    }

    FaultCounts Counts()
    {
        FaultCounts counts{};
        counted_(&counts);
        return counts;
    }

    void Plan(Fault fault, uint32_t n)
    {
        reset_(fault == Fault::Allocation ? n : 0, fault == Fault::Read ? n : 0, fault == Fault::Write ? n : 0);
    }

    uint32_t Called(Fault fault)
    {
        FaultCounts counts = Counts();
        return fault == Fault::Allocation ? counts.allocations : fault == Fault::Read ? counts.reads : counts.writes;
    }

    uint32_t Call(const std::string& function, const std::vector<morvalin::Arg>& args)
    {
        std::vector<std::string> problems;
        uint32_t code = CodeOf(host.call("UNZIP" + function, args), function, problems);
        for (const std::string& p : problems)
            ADD_FAILURE() << p;
        return code;
    }

    // Opens the archive from `kind` into H; returns OPEN's code.
    uint32_t Open(SourceKind kind)
    {
        std::vector<morvalin::Arg> args = {"H"};
        if (kind == SourceKind::File) {
            args.push_back(archivePath);
        } else if (kind == SourceKind::Memory) {
            args.push_back(archive);
        } else {
            callerHandle = CreateFileA(archivePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
            args.push_back(std::to_string((uintptr_t)callerHandle));
        }
        args.push_back(SourceName(kind));
        args.push_back(PASSWORD);
        uint32_t code = Call("OPEN", args);
        handle = host.variable("H").value_or("");
        return code;
    }

    void CloseEverything()
    {
        reset_(0, 0, 0);
        Call("CLOSE", {});
        if (callerHandle != INVALID_HANDLE_VALUE) {
            EXPECT_NE(GetFileSize(callerHandle, nullptr), INVALID_FILE_SIZE) << "the caller's handle was closed";
            CloseHandle(callerHandle);
            callerHandle = INVALID_HANDLE_VALUE;
        }
    }

    uint32_t Select(uint32_t index)
    {
        return Call("SETCURRENTITEM", {handle, "S.", std::to_string(index)});
    }

    // Runs `operation` with the Nth call of `fault` failing, for N = 1, 2, ...
    // until the operation no longer reaches its Nth call. `prepare` sets up
    // without faults; `allowed` are the codes a failure may give; `again`
    // checks, without faults, that the next call works.
    void FailEachInTurn(Fault fault, const std::function<void()>& prepare,
                        const std::function<uint32_t()>& operation, const Codes& allowed,
                        const std::function<void()>& again)
    {
        uint32_t failures = 0;
        for (uint32_t n = 1; n <= MOST_STEPS; n++) {
            SCOPED_TRACE(std::string(FaultName(fault)) + " number " + std::to_string(n) + " fails");
            Fresh();
            const int32_t blocksBefore = Counts().liveBlocks;
            const uint32_t handlesBefore = OpenHandleCount();

            prepare();
            Plan(fault, n);
            uint32_t code = operation();
            bool fired = Called(fault) >= n;
            reset_(0, 0, 0);

            if (fired) {
                failures++;
                EXPECT_TRUE(OneOf(code, allowed)) << "the failure's code";
                again();
            } else {
                EXPECT_EQ(CodeText(code), "0") << "nothing failed, yet the call did not succeed";
            }
            CloseEverything();

            EXPECT_EQ(Counts().liveBlocks, blocksBefore) << "heap blocks leaked";
            EXPECT_EQ(OpenHandleCount(), handlesBefore) << "handles leaked";
            EXPECT_EQ(host.liveValues(), 0u) << "host values leaked";
            for (const std::string& v : host.violations())
                ADD_FAILURE() << "host rule broken: " << v;
            if (!fired || HasFatalFailure() || (HasFailure() && n > 3))
                break;
        }
        EXPECT_GT(failures, 0u) << "no call of this kind was ever made";
    }

    static ::testing::AssertionResult OneOf(uint32_t code, const Codes& codes)
    {
        for (uint32_t c : codes)
            if (c == code)
                return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "got " << CodeText(code);
    }

    // GETITEM of entry `index` into `target`, checked against the item's data.
    uint32_t Extract(uint32_t index, const std::string& target)
    {
        if (target == "MEMORY") {
            host.dropVariable("V");
            return Call("GETITEM", {handle, "V", "MEMORY"});
        }
        if (target == "FILE")
            return Call("GETITEM", {handle, scratch.file("out\\" + std::to_string(index) + ".bin"), "FILE"});
        HANDLE out = CreateFileA(scratch.file("pipe.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        uint32_t code = Call("GETITEM", {handle, std::to_string((uintptr_t)out), "PIPE"});
        CloseHandle(out);
        return code;
    }

    void ExpectExtracted(uint32_t index, const std::string& target)
    {
        const Item& item = Items()[index - 1];
        if (target == "MEMORY")
            EXPECT_TRUE(host.variable("V").value_or("(unset)") == item.data) << "the variable's bytes";
        else if (item.directory)
            EXPECT_TRUE(target != "FILE" || DirectoryExists(scratch.file("out\\" + std::to_string(index) + ".bin")));
        else
            EXPECT_TRUE(ReadWholeFile(scratch.file(target == "FILE" ? "out\\" + std::to_string(index) + ".bin"
                                                                    : "pipe.bin")) == item.data)
                << "the extracted bytes";
    }

    morvalin::Host host;
    TempDir scratch;
    std::string archive, archivePath, handle;
    HANDLE callerHandle = INVALID_HANDLE_VALUE;
    static inline FaultsResetFn reset_ = nullptr;
    static inline FaultsCountedFn counted_ = nullptr;
};

TEST_F(AddonFaults, OpenFailsEachStepInTurn)
{
    for (SourceKind kind : {SourceKind::File, SourceKind::Memory, SourceKind::Handle}) {
        SCOPED_TRACE(std::string("OPEN from ") + SourceName(kind));
        for (Fault fault : {Fault::Allocation, Fault::Read}) {
            if (fault == Fault::Read && kind == SourceKind::Memory)
                continue;  // a memory block is never read with ReadFile
            FailEachInTurn(
                fault, [] {}, [&] { return Open(kind); },
                fault == Fault::Allocation ? Codes{2} : Codes{6},
                [&] {
                    if (callerHandle != INVALID_HANDLE_VALUE)
                        CloseHandle(callerHandle);
                    callerHandle = INVALID_HANDLE_VALUE;
                    ASSERT_EQ(CodeText(Open(kind)), "0") << "OPEN right after the failure";
                    EXPECT_EQ(CodeText(Select(2)), "0");
                });
        }
    }
}

TEST_F(AddonFaults, SelectionFailsEachStepInTurn)
{
    for (SourceKind kind : {SourceKind::File, SourceKind::Memory}) {
        SCOPED_TRACE(std::string("OPEN from ") + SourceName(kind));
        for (Fault fault : {Fault::Allocation, Fault::Read}) {
            if (fault == Fault::Read && kind == SourceKind::Memory)
                continue;
            // The first entry carries an extra field, copied at selection.
            FailEachInTurn(
                fault, [&] { ASSERT_EQ(CodeText(Open(kind)), "0"); }, [&] { return Select(1); },
                fault == Fault::Allocation ? Codes{2} : Codes{6},
                [&] {
                    EXPECT_EQ(CodeText(Call("GETITEM", {handle, "V", "MEMORY"})), "9") << "a failed selection leaves none";
                    ASSERT_EQ(CodeText(Select(1)), "0");
                    EXPECT_EQ(host.variable("S.0").value_or("").substr(host.variable("S.0").value_or("").size() - 10),
                              "stored.txt");
                });
            FailEachInTurn(
                fault, [&] { ASSERT_EQ(CodeText(Open(kind)), "0"); },
                [&] {
                    host.dropVariable("F.");
                    Call("FINDITEM", {handle, "F.", "stored.txt"});
                    return host.variable("F.0") ? 0u : NOT_FOUND_SILENTLY;
                },
                Codes{NOT_FOUND_SILENTLY},
                [&] {
                    EXPECT_EQ(CodeText(Call("GETITEM", {handle, "V", "MEMORY"})), "9");
                    Call("FINDITEM", {handle, "F.", "stored.txt"});
                    EXPECT_TRUE(host.variable("F.0").has_value()) << "FINDITEM right after the failure";
                });
        }
    }
}

TEST_F(AddonFaults, ExtractionFailsEachStepInTurn)
{
    for (SourceKind kind : {SourceKind::File, SourceKind::Memory}) {
        for (const std::string target : {"MEMORY", "FILE", "PIPE"}) {
            for (uint32_t index = 1; index <= Items().size(); index++) {
                SCOPED_TRACE(std::string("entry ") + Items()[index - 1].name + " from " + SourceName(kind) +
                             " to " + target);
                for (Fault fault : {Fault::Allocation, Fault::Read, Fault::Write}) {
                    if ((fault == Fault::Read && kind == SourceKind::Memory) ||
                        (fault == Fault::Write && target == "MEMORY"))
                        continue;
                    // A directory entry is made or passed over, never decoded,
                    // outside memory; nothing there can fail. Into memory it
                    // has no data to read: only its allocations can fail.
                    if (Items()[index - 1].directory && (target != "MEMORY" || fault == Fault::Read))
                        continue;
                    // Out of memory inside inflate (its window) is a decoding failure, 18.
                    Codes allowed = fault == Fault::Allocation ? Codes{2, 18} : fault == Fault::Read ? Codes{7} : Codes{3};
                    uint32_t eighteens = 0;
                    FailEachInTurn(
                        fault,
                        [&] {
                            ASSERT_EQ(CodeText(Open(kind)), "0");
                            ASSERT_EQ(CodeText(Select(index)), "0");
                        },
                        [&] {
                            uint32_t code = Extract(index, target);
                            eighteens += code == 18;
                            return code;
                        },
                        allowed,
                        [&] {
                            EXPECT_EQ(CodeText(Extract(index, target)), "9") << "the failed extraction consumed the selection";
                            ASSERT_EQ(CodeText(Select(index)), "0");
                            ASSERT_EQ(CodeText(Extract(index, target)), "0") << "GETITEM right after the failure";
                            ExpectExtracted(index, target);
                        });
                    EXPECT_LE(eighteens, 1u) << "only inflate's window may fail as 18";
                }
            }
        }
    }
}

}  // namespace
