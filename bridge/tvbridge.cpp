// tvbridge.cpp -- the Windows side of the REXX bridge: a process under Wine
// that loads the add-on the way the interpreter host does, and carries out the
// calls that the runner sends.
//
//   tvbridge.exe ADDON        (a Linux path, or a Windows path)
//
// The stand-in host morvalin.dll is loaded with this program; the add-on binds
// to its table at load and registers its functions (RexxFeedback op 1). Each
// CALL becomes a call through the stand-in host, with the arguments as the
// script gave them; the add-on's GetVariable and SetVariable are answered from
// the script's own variables, by asking the runner while the call waits. The
// process ends when its input ends, releasing the add-on (which closes every
// archive still open).
#include <windows.h>

#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "channel.h"
#include "hostapi.h"
#include "morvalin_exports.h"

namespace {

using namespace bridge;

static_assert(VALUE_UNSET == MORVALIN_FETCH_UNSET && VALUE_SET == MORVALIN_FETCH_SET &&
                  VALUE_FAILED == MORVALIN_FETCH_FAILED,
              "a VALUE's status is the store's fetch answer");
static_assert(DONE_RETURNED == MORVALIN_RETURNED && DONE_CONDITION == MORVALIN_CONDITION &&
                  DONE_HOST_ERROR == MORVALIN_HOST_ERROR,
              "a DONE's kind is the host's outcome kind");
static_assert(HOST_ERROR_RESOURCES == MORVALIN_ERROR_RESOURCES, "error 5 is the host's own");

// A value at least this large leaves straight from the host's block, after
// the frames queued so far; smaller ones are queued with their frame.
const uint32_t DIRECT_VALUE = 64 * 1024;

// The variable store that asks the runner. Assignments are queued and leave
// with the next frame; a fetch waits for the runner's VALUE.
struct RemoteStore {
    Channel* channel;
    std::vector<char> answer;
};

int32_t Fetch(void* self, const char* name, uint32_t nameLength, const char** value,
              uint32_t* length)
{
    RemoteStore* store = static_cast<RemoteStore*>(self);
    try {
        FrameWriter request(MESSAGE_FETCH);
        request.text(name, nameLength);
        if (!store->channel->send(request) || store->channel->receive(&store->answer) != FRAME_RECEIVED)
            return MORVALIN_FETCH_FAILED;
    } catch (const std::bad_alloc&) {
        return MORVALIN_FETCH_FAILED;
    }
    FrameReader reader(store->answer.data(), store->answer.size());
    const Message message = reader.message();
    const uint32_t status = reader.number();
    *value = reader.text(length);
    if (reader.failed() || message != MESSAGE_VALUE || status > VALUE_FAILED)
        return MORVALIN_FETCH_FAILED;
    return static_cast<int32_t>(status);
}

// Nonzero when the value cannot go: larger than a frame carries (the host
// makes no such value), or no memory to queue it.
int32_t Assign(void* self, const char* name, uint32_t nameLength, const char* value, uint32_t length)
{
    RemoteStore* store = static_cast<RemoteStore*>(self);
    try {
        FrameWriter assignment(MESSAGE_SET);
        assignment.text(name, nameLength).number(length);  // the value's bytes follow
        if (!assignment.fits(length))
            return 1;
        if (length >= DIRECT_VALUE)
            return store->channel->send(assignment, value, length) ? 0 : 1;
        assignment.bytes(value, length);
        store->channel->queue(assignment);
        return 0;
    } catch (const std::bad_alloc&) {
        return 1;
    }
}

// A Linux path as Wine's DOS name (Z:\... for the Linux tree); a Windows path
// unchanged. Empty when Wine cannot name it.
std::wstring WindowsPath(const std::string& path)
{
    if (path.empty() || path[0] != '/') {
        int n = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
        std::wstring wide(n > 0 ? n - 1 : 0, L'\0');
        if (n > 1)
            MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, &wide[0], n);
        return wide;
    }
    typedef WCHAR*(CDECL * DosNameFn)(const char*);
    static DosNameFn dosName = reinterpret_cast<DosNameFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_dos_file_name")));
    if (dosName == nullptr) {
        std::wstring wide = L"Z:";
        for (char c : path)
            wide += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
        return wide;
    }
    WCHAR* name = dosName(path.c_str());
    if (name == nullptr)
        return std::wstring();
    std::wstring wide(name);
    HeapFree(GetProcessHeap(), 0, name);
    return wide;
}

// The path in the ANSI code page, the add-on's and the host's; empty when a
// character has no exact counterpart there.
std::string AnsiPath(const std::wstring& wide)
{
    if (wide.empty())
        return std::string();
    BOOL lossy = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, nullptr, 0, nullptr,
                                &lossy);
    if (n <= 1 || lossy)
        return std::string();
    std::string ansi(n - 1, '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, &ansi[0], n, nullptr, nullptr);
    return ansi;
}

// The name a script writer knows a condition number by.
std::string ConditionName(int32_t condition)
{
    if (condition == CONDITION_ERROR)
        return "ERROR";
    if (condition == CONDITION_FAILURE)
        return "FAILURE";
    if (condition == MORVALIN_CONDITION_SYNTAX)
        return "SYNTAX";
    if (condition > CONDITION_USER_BASE)
        return "USER " + std::to_string(condition - CONDITION_USER_BASE);
    return "condition " + std::to_string(condition);
}

std::string LoadFailure(const std::string& path, int32_t status, uint32_t lastError)
{
    if (status == MORVALIN_NO_FEEDBACK)
        return path + " is no REXX add-on: it exports no RexxFeedback";
    char text[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, lastError, 0,
                   text, sizeof text, nullptr);
    std::string reason(text);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' '))
        reason.pop_back();
    return "cannot load " + path + ": Windows error " + std::to_string(lastError) +
           (reason.empty() ? "" : " (" + reason + ")");
}

// Carries out one CALL and answers with its DONE.
bool Call(Channel& channel, FrameReader& reader)
{
    const std::string name = reader.text();
    const std::string directory = reader.text();
    const uint32_t count = reader.number();
    std::vector<const char*> texts;
    std::vector<uint32_t> lengths;
    for (uint32_t i = 0; i < count && !reader.failed(); i++) {
        const bool present = reader.byte() != 0;
        uint32_t length = 0;
        const char* text = reader.text(&length);
        texts.push_back(present ? text : nullptr);
        lengths.push_back(length);
    }
    if (reader.failed())
        return false;
    if (!directory.empty()) {
        // The script's current directory moved since the last call: follow it.
        // A directory that cannot be entered leaves the old one.
        std::wstring windows = WindowsPath(directory);
        if (windows.empty() || !SetCurrentDirectoryW(windows.c_str()))
            std::fprintf(stderr, "tvbridge: cannot enter %s; relative paths stay where they were\n",
                         directory.c_str());
    }

    MorvalinOutcome outcome{};
    MorvalinCall(name.c_str(), count, texts.data(), lengths.data(), &outcome);
    std::string value;
    if (outcome.hasValue) {
        value.resize(outcome.valueLength);
        if (!value.empty())
            MorvalinOutcomeValue(&value[0], static_cast<uint32_t>(value.size()));
    }
    FrameWriter done(MESSAGE_DONE);
    done.number(static_cast<uint32_t>(outcome.kind))
        .number(outcome.raw)
        .byte(outcome.handlerCalled != 0)
        .byte(outcome.hasValue != 0)
        .text(value)
        .text(outcome.kind == MORVALIN_CONDITION ? ConditionName(outcome.condition) : std::string());
    return channel.send(done);
}

// The DONE of a call that found no memory here: REXX error 5, as an
// interpreter out of memory raises it. The session goes on.
bool AnswerNoMemory(Channel& channel)
{
    FrameWriter done(MESSAGE_DONE);
    done.number(DONE_HOST_ERROR).number(HOST_ERROR_RESOURCES).byte(0).byte(0).text("", 0).text("", 0);
    return channel.send(done);
}

}  // namespace

int main(int argc, char** argv)
{
    Channel channel;
    if (argc != 2) {
        std::fprintf(stderr, "usage: tvbridge ADDON\n");
        return 2;
    }
    RemoteStore remote{&channel, {}};
    const MorvalinVariableStore store = {Fetch, Assign, &remote, VALUE_LIMIT};
    MorvalinUseVariableStore(&store);

    const std::string addon = AnsiPath(WindowsPath(argv[1]));
    FrameWriter ready(MESSAGE_READY);
    int32_t status = MORVALIN_LOAD_FAILED;
    if (addon.empty()) {
        ready.number(READY_FAILED).text(std::string("the add-on's path ") + argv[1] +
                                        " has no Windows name in this code page");
    } else {
        uint32_t feedback = 0, lastError = 0;
        status = MorvalinLoadAddon(addon.c_str(), 0, &feedback, &lastError);
        if (status == MORVALIN_LOADED && feedback == 0)
            ready.number(READY_LOADED).text("");
        else if (status == MORVALIN_LOADED)
            ready.number(READY_FAILED).text(addon + " refused to register its functions (" +
                                            std::to_string(feedback) + ")");
        else
            ready.number(READY_FAILED).text(LoadFailure(addon, status, lastError));
    }
    if (!channel.send(ready) || status != MORVALIN_LOADED)
        return 1;

    std::vector<char> body;
    for (;;) {
        const Received received = channel.receive(&body);
        if (received == CHANNEL_ENDED)
            break;
        bool answered;
        try {
            FrameReader reader(body.data(), body.size());
            if (received == FRAME_SKIPPED)
                answered = AnswerNoMemory(channel);
            else if (reader.message() != MESSAGE_CALL)
                break;
            else
                answered = Call(channel, reader);
        } catch (const std::bad_alloc&) {
            answered = AnswerNoMemory(channel);
        }
        if (!answered)
            break;
        if (body.capacity() > DIRECT_VALUE)
            std::vector<char>().swap(body);  // a large call's arguments: their memory goes back
    }
    // The end of the script: the add-on is released, and with it every archive.
    MorvalinUseVariableStore(nullptr);
    MorvalinUnloadAddon();
    return 0;
}
