// catalogue.cpp -- runs one catalogue row from a file and from memory in a
// fresh sentinel tree, checks the rules that every archive must keep and what
// the row itself expects.
#include "catalogue.h"

#include "process_figures.h"
#include "sentinel.h"
#include "support/zipbuilder.h"
#include "watchdog.h"

// A row that takes longer than this is reported; one that takes longer than
// the watchdog's limit has hung, and the process ends naming it. Under an
// emulator (tools/test32.sh sets TARVUNE_EMULATOR) the code runs several
// times slower, and both limits are five times as long.
static DWORD Limit(DWORD ms) { return getenv("TARVUNE_EMULATOR") ? 5 * ms : ms; }
const DWORD ROW_TIME_LIMIT_MS = Limit(8000);
const DWORD HANG_LIMIT_MS = Limit(60000);

EntryExpect Ok(uint32_t index, const std::string& bytes)
{
    EntryExpect e;
    e.index = index;
    e.memory = e.handle = e.file = {0};
    e.bytes = bytes;
    return e;
}

EntryExpect Ok(uint32_t index)
{
    EntryExpect e;
    e.index = index;
    e.memory = e.handle = e.file = {0};
    return e;
}

EntryExpect Fails(uint32_t index, Codes memory, Codes stream)
{
    EntryExpect e;
    e.index = index;
    e.memory = std::move(memory);
    e.handle = stream;
    e.file = stream;
    return e;
}

EntryExpect Unselectable(uint32_t index, uint32_t code)
{
    EntryExpect e;
    e.index = index;
    e.select = code;
    return e;
}

EntryExpect At(uint32_t index, const std::string& relative)
{
    EntryExpect e;
    e.index = index;
    e.path = relative;
    return e;
}

::testing::AssertionResult OneOf(uint32_t code, const Codes& codes)
{
    for (uint32_t c : codes)
        if (c == code)
            return ::testing::AssertionSuccess();
    std::string list;
    for (uint32_t c : codes)
        list += (list.empty() ? "" : ", ") + CodeText(c);
    return ::testing::AssertionFailure() << "got " << CodeText(code) << ", expected one of " << list;
}

std::string Text(size_t size)
{
    static const char words[] = "the quick brown fox jumps over the lazy dog; ";
    std::string out;
    out.reserve(size);
    for (size_t i = 0; out.size() < size; i++)
        out += words[i % (sizeof words - 1)];
    return out;
}

static void CheckEntry(const EntryExpect& x, const ScriptRun& run)
{
    SCOPED_TRACE("entry " + std::to_string(x.index));
    const EntryRun* e = run.entry(x.index);
    ASSERT_NE(e, nullptr) << "the walk did not reach it";
    EXPECT_EQ(CodeText(e->selectCode), CodeText(x.select)) << "SETCURRENTITEM";
    if (x.select != 0)
        return;
    if (x.path) {
        EXPECT_EQ(e->path, run.root + "\\" + *x.path) << "tail 0";
    }
    if (!x.memory.empty()) {
        EXPECT_TRUE(OneOf(e->memoryCode, x.memory)) << "GETITEM into a variable";
    }
    if (!x.handle.empty()) {
        EXPECT_TRUE(OneOf(e->handleCode, x.handle)) << "GETITEM onto a handle";
    }
    if (!x.file.empty()) {
        EXPECT_TRUE(OneOf(e->fileCode, x.file)) << "GETITEM to a file";
    }
    if (x.bytes && e->memoryCode == 0) {
        EXPECT_TRUE(e->memory == *x.bytes) << "the variable holds " << e->memory.size()
                                           << " bytes other than the " << x.bytes->size() << " expected";
    }
}

static Watchdog& HangGuard()
{
    static Watchdog dog(HANG_LIMIT_MS);
    return dog;
}

// A sound archive through the whole script once, so that whatever Windows and
// the runtime set up on first use (and keep) is there before handles and heap
// blocks are counted: the hang guard's thread, and the cryptography that the
// add-on opens at its first AES entry.
static bool WarmUp(const morvalin::Host& host)
{
    HangGuard();
    SentinelTree tree;
    TempDir scratch;
    ScriptPlan plan;
    plan.root = tree.root();
    plan.scratch = scratch.path();
    plan.password = "warm";
    ZipBuilder::Entry aes("d.txt", "AES");
    aes.aesPassword = plan.password;
    std::string zip = ZipBuilder().add("a/b.txt", "warm").add("c.txt", "up", 0).add(aes).build();
    CurrentDirectory inside(tree.cwd());
    for (SourceKind kind : {SourceKind::File, SourceKind::Memory, SourceKind::Handle})
        RunScript(host, zip, kind, plan);
    return true;
}

void HostileCatalogue::RunCase(const HostileCase& row)
{
    SCOPED_TRACE(row.name);
    static bool warm = WarmUp(host);
    (void)warm;
    SentinelTree tree;
    TempDir scratch;
    ASSERT_TRUE(tree.ok() && scratch.ok());

    for (SourceKind kind : {SourceKind::File, SourceKind::Memory}) {
        SCOPED_TRACE(std::string("OPEN from ") + SourceName(kind));
        ScriptPlan plan;
        plan.root = tree.root() + "\\" + SourceName(kind);
        ASSERT_TRUE(CreateDirectoryA(plan.root.c_str(), nullptr));
        plan.scratch = scratch.path();
        plan.password = row.password;
        plan.names = row.names;
        plan.maxEntries = row.maxEntries;

        ScriptRun run;
        const uint32_t handles = OpenHandleCount();
        const uint32_t blocks = BusyHeapBlocks();
        HangGuard().Arm(row.name + ", OPEN from " + SourceName(kind));
        {
            CurrentDirectory inside(tree.cwd());
            run = RunScript(host, row.archive, kind, plan);
        }
        HangGuard().Disarm();

        std::string problems;
        for (const std::string& p : run.problems)
            problems += "\n  " + p;
        EXPECT_TRUE(run.problems.empty()) << "rules broken:" << problems;
        EXPECT_LT(run.milliseconds, ROW_TIME_LIMIT_MS) << "the row took too long";
        EXPECT_EQ(OpenHandleCount(), handles) << "handles leaked";
        EXPECT_EQ(BusyHeapBlocks(), blocks) << "heap blocks leaked";

        EXPECT_EQ(CodeText(run.openCode), CodeText(row.open)) << "OPEN";
        if (run.openCode == 0 && row.open == 0) {
            if (row.count) {
                EXPECT_EQ(run.count, *row.count) << "FINDITEM count";
            }
            for (const EntryExpect& x : row.entries)
                CheckEntry(x, run);
            if (row.more)
                row.more(run);
        }
    }

    std::string intruders;
    for (const std::string& i : tree.Intruders())
        intruders += "\n  " + i;
    for (const std::string& i : FarEscapes())
        intruders += "\n  far: " + i;
    EXPECT_TRUE(intruders.empty()) << "written outside the root:" << intruders;
}

void HostileCatalogue::RunTable(const std::vector<HostileCase>& table)
{
    for (const HostileCase& row : table)
        RunCase(row);
}
