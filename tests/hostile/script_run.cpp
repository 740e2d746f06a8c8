// script_run.cpp -- runs the script of script_run.h against one archive and
// checks each outcome against the rules every archive must keep.
#include "script_run.h"

#include <algorithm>
#include <cstdint>

#include "support/winfiles.h"

using morvalin::Arg;
using morvalin::Kind;
using morvalin::Outcome;

const uint32_t LAST_RESULT_CODE = 21;
const uint32_t HIGHEST_RESULT_CODE = 0xFFFF;  // host error numbers lie above

const char* SourceName(SourceKind kind)
{
    switch (kind) {
    case SourceKind::File: return "FILE";
    case SourceKind::Memory: return "MEMORY";
    default: return "PIPE";
    }
}

const EntryRun* ScriptRun::entry(uint32_t index) const
{
    for (const EntryRun& e : entries)
        if (e.index == index)
            return &e;
    return nullptr;
}

std::string CodeText(uint32_t code)
{
    if (code == NOT_RUN)
        return "not run";
    if (code == ODD_OUTCOME)
        return "odd outcome";
    if (code > HIGHEST_RESULT_CODE)
        return "host " + std::to_string(code);
    return std::to_string(code);
}

// A whole number of at most `limit`; sizes past 32 bits come as decimal text.
static bool ParseNumber(const std::string& text, uint64_t* number, uint64_t limit)
{
    if (text.empty() || text.size() > 20)
        return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > (limit - (uint64_t)(c - '0')) / 10)
            return false;
        value = value * 10 + (uint64_t)(c - '0');
    }
    *number = value;
    return true;
}

static bool ParseNumber(const std::string& text, uint32_t* number)
{
    uint64_t value = 0;
    if (!ParseNumber(text, &value, 0xFFFFFFFF))
        return false;
    *number = (uint32_t)value;
    return true;
}

uint32_t CodeOf(const Outcome& outcome, const std::string& call, std::vector<std::string>& problems)
{
    if (outcome.kind == Kind::HostError) {
        if (outcome.raw > HIGHEST_RESULT_CODE)
            return outcome.raw;
        problems.push_back(call + ": host error " + std::to_string(outcome.raw) +
                           " is no host error number of the add-on's");
        return ODD_OUTCOME;
    }
    if (outcome.kind == Kind::Condition) {
        problems.push_back(call + ": raised condition " + std::to_string(outcome.condition) +
                           " although ZIPERR is NUM: " + outcome.description());
        return ODD_OUTCOME;
    }
    if (!outcome.value)
        return 0;
    uint32_t code = 0;
    if (!ParseNumber(*outcome.value, &code) || code == 0 || code > LAST_RESULT_CODE) {
        problems.push_back(call + ": returned \"" + *outcome.value + "\", not a result code from 1 to 21");
        return ODD_OUTCOME;
    }
    return code;
}

namespace {

// The state of one run, so the steps below can share it.
class Script {
public:
    Script(const morvalin::Host& host, const ScriptPlan& plan, ScriptRun& run)
        : host_(host), plan_(plan), run_(run)
    {
    }

    void Run(const std::string& archive);

private:
    uint32_t Call(const std::string& function, const std::vector<Arg>& args)
    {
        return CodeOf(host_.call("UNZIP" + function, args), function, run_.problems);
    }
    void Problem(const std::string& text) { run_.problems.push_back(text); }

    uint32_t Select(uint32_t index)
    {
        return Call("SETCURRENTITEM", {handle_, "S.", std::to_string(index)});
    }
    void CheckPath(const std::string& path, const std::string& what);
    void WalkEntry(uint32_t index, EntryRun& e);
    void ToFile(EntryRun& e);
    void ToHandle(EntryRun& e);
    void Find(const std::string& name, bool ignoreCase);
    void Walk();
    bool ReadTarget(std::string& bytes);

    const morvalin::Host& host_;
    const ScriptPlan& plan_;
    ScriptRun& run_;
    std::string handle_;       // the archive handle, as the script holds it
    HANDLE target_ = INVALID_HANDLE_VALUE;  // the caller's handle that PIPE extracts onto
    std::string targetText_;
};

// Tail 0 must name a place under the root, as Windows itself resolves it:
// "..", trailing dots and blanks, device names and drive letters included.
void Script::CheckPath(const std::string& path, const std::string& what)
{
    const std::string root = plan_.root + "\\";
    if (path.compare(0, root.size(), root) != 0) {
        Problem(what + ": tail 0 \"" + path + "\" does not start with the root");
        return;
    }
    char full[1024];
    DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full)
        return;  // Windows cannot resolve it, so nothing can be made there
    std::string resolved(full, n);
    if (resolved + "\\" != root && resolved.compare(0, root.size(), root) != 0)
        Problem(what + ": tail 0 \"" + path + "\" resolves to \"" + resolved + "\", outside the root");
}

bool Script::ReadTarget(std::string& bytes)
{
    bytes.clear();
    if (SetFilePointer(target_, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return false;
    char block[65536];
    DWORD got = 0;
    while (ReadFile(target_, block, sizeof block, &got, nullptr) && got > 0)
        bytes.append(block, got);
    return true;
}

void Script::ToFile(EntryRun& e)
{
    if (Select(e.index) != 0) {
        Problem("entry " + std::to_string(e.index) + ": a second selection failed where the first succeeded");
        return;
    }
    // A failed extraction to a file leaves the disk as it was: a file that
    // was there keeps its bytes, and no new file stays, whole or partial.
    std::string before;
    bool existed = !e.directory() && ReadWholeFile(e.path, before);
    e.fileCode = Call("GETITEM", {handle_, e.path, "FILE"});
    if (e.fileCode != 0) {
        std::string after;
        bool exists = !e.directory() && ReadWholeFile(e.path, after);
        if (exists && !existed)
            Problem("entry " + std::to_string(e.index) + ": GETITEM to a file gave " + CodeText(e.fileCode) +
                    " and left the file " + e.path + " behind");
        else if (existed && (!exists || after != before))
            Problem("entry " + std::to_string(e.index) + ": GETITEM to a file gave " + CodeText(e.fileCode) +
                    " and changed the file that was there");
        return;
    }
    if (e.directory()) {
        if (!DirectoryExists(e.path))
            Problem("entry " + std::to_string(e.index) + ": directory " + e.path + " was not made");
        return;
    }
    std::string bytes;
    if (!ReadWholeFile(e.path, bytes))
        Problem("entry " + std::to_string(e.index) + ": extracted file " + e.path + " cannot be read");
    else if (e.memoryCode == 0 && bytes != e.memory)
        Problem("entry " + std::to_string(e.index) + ": the file holds other bytes than the variable");
}

void Script::ToHandle(EntryRun& e)
{
    if (Select(e.index) != 0) {
        Problem("entry " + std::to_string(e.index) + ": a second selection failed where the first succeeded");
        return;
    }
    SetFilePointer(target_, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(target_);
    e.handleCode = Call("GETITEM", {handle_, targetText_, "PIPE"});
    if (GetFileSize(target_, nullptr) == INVALID_FILE_SIZE) {
        Problem("entry " + std::to_string(e.index) + ": the caller's handle no longer works after GETITEM");
        return;
    }
    if (e.handleCode != 0 || e.directory())
        return;
    std::string bytes;
    if (!ReadTarget(bytes))
        Problem("entry " + std::to_string(e.index) + ": the caller's handle cannot be read back");
    else if (e.memoryCode == 0 && bytes != e.memory)
        Problem("entry " + std::to_string(e.index) + ": the handle got other bytes than the variable");
}

void Script::WalkEntry(uint32_t index, EntryRun& e)
{
    const std::string what = "entry " + std::to_string(index);
    e.index = index;
    host_.dropVariable("S.");
    e.selectCode = Select(index);
    if (e.selectCode != 0)
        return;
    e.path = host_.variable("S.0").value_or("");
    uint64_t size = 0;
    uint32_t attributes = 0;
    if (!ParseNumber(host_.variable("S.1").value_or(""), &size, UINT64_MAX) ||
        !ParseNumber(host_.variable("S.3").value_or(""), &attributes))
        Problem(what + ": tails 1 and 3 are not numbers");
    e.size = size;
    e.attributes = attributes;
    CheckPath(e.path, what);

    if (plan_.toMemory) {
        host_.dropVariable("V");
        e.memoryCode = Call("GETITEM", {handle_, "V", "MEMORY"});
        if (e.memoryCode == 0) {
            auto value = host_.variable("V");
            if (!value)
                Problem(what + ": GETITEM into a variable succeeded and left it unset");
            e.memory = value.value_or("");
            if (e.memory.size() != e.size)
                Problem(what + ": the variable holds " + std::to_string(e.memory.size()) +
                        " bytes, the entry records " + std::to_string(e.size));
        }
    }
    if (plan_.toFile && index <= plan_.maxFileEntries)
        ToFile(e);
    if (plan_.toHandle && target_ != INVALID_HANDLE_VALUE)
        ToHandle(e);

    // The targets decode the same stream: they succeed together. A variable
    // may fail alone for want of memory (2) or of data (11, which a file or
    // handle reports as 18); a file may fail alone when Windows refuses the
    // name (1).
    if (e.directory())
        return;
    bool memory = e.memoryCode != NOT_RUN && e.memoryCode != 2;
    bool handle = e.handleCode != NOT_RUN;
    bool file = e.fileCode != NOT_RUN && e.fileCode != 1;
    if (memory && handle && (e.memoryCode == 0) != (e.handleCode == 0))
        Problem(what + ": GETITEM into a variable gave " + CodeText(e.memoryCode) +
                ", onto a handle " + CodeText(e.handleCode));
    if (file && handle && e.fileCode != e.handleCode)
        Problem(what + ": GETITEM to a file gave " + CodeText(e.fileCode) + ", onto a handle " +
                CodeText(e.handleCode));
}

void Script::Find(const std::string& name, bool ignoreCase)
{
    FindRun find;
    find.name = name;
    find.ignoreCase = ignoreCase;
    host_.dropVariable("F.");
    std::vector<Arg> args = {handle_, "F.", name};
    if (ignoreCase)
        args.push_back("1");
    uint32_t code = Call("FINDITEM", args);
    if (code != 0)
        Problem("FINDITEM of \"" + name + "\" reported " + CodeText(code) + "; it never reports");
    auto path = host_.variable("F.0");
    if (path) {
        find.found = true;
        find.path = *path;
        CheckPath(find.path, "FINDITEM of \"" + name + "\"");
        host_.dropVariable("V");
        find.memoryCode = Call("GETITEM", {handle_, "V", "MEMORY"});
    } else {
        // Nothing found leaves no current entry.
        find.memoryCode = Call("GETITEM", {handle_, "V", "MEMORY"});
        if (find.memoryCode != 9)
            Problem("GETITEM after a FINDITEM that found nothing gave " + CodeText(find.memoryCode) +
                    ", not 9");
    }
    run_.finds.push_back(find);
}

void Script::Walk()
{
    if (Call("SETROOTDIR", {handle_, plan_.root}) != 0)
        Problem("SETROOTDIR failed");
    host_.dropVariable("N");
    if (Call("FINDITEM", {handle_, "N"}) != 0 || !ParseNumber(host_.variable("N").value_or(""), &run_.count))
        Problem("FINDITEM(h, 'N') gave no count");

    std::string targetPath = plan_.scratch + "\\target.bin";
    if (plan_.toHandle) {
        target_ = CreateFileA(targetPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (target_ == INVALID_HANDLE_VALUE)
            Problem("cannot make the handle target " + targetPath);
        targetText_ = std::to_string((uintptr_t)target_);
    }

    uint32_t walk = std::min(run_.count, plan_.maxEntries);
    uint32_t failures = 0;
    for (uint32_t index = 1; index <= walk; index++) {
        EntryRun e;
        WalkEntry(index, e);
        run_.entries.push_back(e);
        if (e.selectCode == 4 || e.selectCode == 6) {
            if (++failures >= plan_.maxConsecutiveFailures)
                break;
        } else {
            failures = 0;
        }
    }
    if (run_.count != 0xFFFFFFFFu) {
        run_.beyondCode = Select(run_.count + 1);
        if (run_.beyondCode == 0)
            Problem("SETCURRENTITEM one past the count succeeded");
    }
    for (const std::string& name : plan_.names) {
        Find(name, false);
        Find(name, true);
    }
    if (target_ != INVALID_HANDLE_VALUE)
        CloseHandle(target_);
}

void Script::Run(const std::string& archive)
{
    host_.reset();
    host_.setVariable("ZIPERR", "NUM");

    std::string archivePath = plan_.existingFile.empty() ? plan_.scratch + "\\archive.bin" : plan_.existingFile;
    HANDLE source = INVALID_HANDLE_VALUE;
    std::vector<Arg> args = {"H"};
    if (run_.kind == SourceKind::Memory) {
        args.push_back(archive);
    } else {
        if (plan_.existingFile.empty() && !WriteWholeFile(archivePath, archive)) {
            Problem("cannot write the archive to " + archivePath);
            return;
        }
        if (run_.kind == SourceKind::File) {
            args.push_back(archivePath);
        } else {
            source = CreateFileA(archivePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
            if (source == INVALID_HANDLE_VALUE) {
                Problem("cannot open the archive file for a handle");
                return;
            }
            args.push_back(std::to_string((uintptr_t)source));
        }
    }
    args.push_back(SourceName(run_.kind));
    if (!plan_.password.empty())
        args.push_back(plan_.password);

    run_.openCode = Call("OPEN", args);
    if (run_.openCode == 0) {
        handle_ = host_.variable("H").value_or("");
        Walk();
        if (Call("CLOSE", {handle_}) != 0)
            Problem("CLOSE reported a failure");
        uint32_t stale = Call("GETITEM", {handle_, "V", "MEMORY"});
        if (stale <= HIGHEST_RESULT_CODE)
            Problem("GETITEM on a closed handle gave " + CodeText(stale) + ", not a host error number");
    }
    if (source != INVALID_HANDLE_VALUE) {
        if (GetFileSize(source, nullptr) == INVALID_FILE_SIZE)
            Problem("the caller's archive handle was closed by the add-on");
        CloseHandle(source);
    }

    if (host_.liveValues() != 0) {
        std::string report;
        for (const std::string& line : host_.liveValueReport())
            report += "\n  " + line;
        Problem("host values left with the add-on:" + report);
        host_.forgetLiveValues();
    }
    for (const std::string& violation : host_.violations())
        Problem("host rule broken: " + violation);
    host_.clearViolations();
}

}  // namespace

ScriptRun RunScript(const morvalin::Host& host, const std::string& archive, SourceKind kind,
                    const ScriptPlan& plan)
{
    ScriptRun run;
    run.kind = kind;
    run.root = plan.root;
    DWORD start = GetTickCount();
    Script(host, plan, run).Run(archive);
    run.milliseconds = GetTickCount() - start;
    return run;
}
