// functions.cpp -- the add-on's functions as Regina sees them: one external
// function handler for all seven, which carries each call to the Windows side
// and answers the add-on's variable requests from the calling script's pool.
//
// Regina's function interface has one way to fail a call: a nonzero return,
// which raises SYNTAX 40 ("Incorrect call to routine") in the script. Host
// errors (a bad handle, bad arguments, a wrong argument count) arrive that way
// as a host would raise them; so does every condition the add-on raises
// (ERROR, FAILURE, SYNTAX, a user condition), with the add-on's text written
// to standard error.
#include "functions.h"

#define INCL_RXSHV
#define INCL_RXFUNC
#include <rexxsaa.h>

#include <limits.h>
#include <stdarg.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "protocol.h"

namespace rexxrun {

static const ULONG CALL_FAILED = 40;  // Regina raises SYNTAX 40

static WindowsSide* windows;
static std::string lastDirectory;

const char* const FUNCTION_NAMES[] = {"UNZIPCLOSE", "UNZIPERRMSG", "UNZIPFINDITEM", "UNZIPGETITEM",
                                      "UNZIPOPEN",  "UNZIPSETCURRENTITEM", "UNZIPSETROOTDIR"};

// A line on standard error, after what the script has said so far.
__attribute__((format(printf, 1, 2))) static void Complain(const char* format, ...)
{
    std::fflush(stdout);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
}

// The script's current directory (empty when it cannot be had). The Windows
// side follows a script that changes directory: a CALL names the directory
// when it moved since the last one.
static std::string CurrentDirectory()
{
    std::vector<char> buffer(PATH_MAX);
    if (getcwd(buffer.data(), buffer.size()) == nullptr)
        return std::string();
    return std::string(buffer.data());
}

// Direct (not symbolic) names: the add-on's names are taken as they come,
// upper case, with literal tails, as the stand-in host takes them.
static void SetVariable(const std::string& name, const char* value, uint32_t length)
{
    SHVBLOCK block = {};
    block.shvcode = RXSHV_SET;
    MAKERXSTRING(block.shvname, const_cast<char*>(name.data()), name.size());
    block.shvnamelen = name.size();
    MAKERXSTRING(block.shvvalue, const_cast<char*>(value), length);
    block.shvvaluelen = length;
    if (RexxVariablePool(&block) != RXSHV_OK && (block.shvret & ~RXSHV_NEWV) != 0)
        Complain("tarvune: the variable %s could not be set (Regina's answer %u)\n",
                     name.c_str(), static_cast<unsigned>(block.shvret));
}

static void AnswerFetch(const std::string& name)
{
    SHVBLOCK block = {};
    block.shvcode = RXSHV_FETCH;
    MAKERXSTRING(block.shvname, const_cast<char*>(name.data()), name.size());
    block.shvnamelen = name.size();
    block.shvvalue.strptr = nullptr;  // Regina allocates the value
    RexxVariablePool(&block);
    bridge::FrameWriter answer(bridge::MESSAGE_VALUE);
    // A value larger than a frame carries cannot be looked up from there.
    if ((block.shvret & (RXSHV_BADN | RXSHV_MEMFL | RXSHV_BADF | RXSHV_NOAVL)) ||
        (!(block.shvret & RXSHV_NEWV) && block.shvvalue.strlength > bridge::VALUE_LIMIT))
        answer.number(bridge::VALUE_FAILED).text("", 0);
    else if (block.shvret & RXSHV_NEWV)
        answer.number(bridge::VALUE_UNSET).text("", 0);
    else
        answer.number(bridge::VALUE_SET).text(block.shvvalue.strptr, block.shvvalue.strlength);
    if (block.shvvalue.strptr != nullptr)
        RexxFreeMemory(block.shvvalue.strptr);
    windows->send(answer);
}

static bool SetResult(PRXSTRING result, const char* value, size_t length)
{
    if (result->strptr == nullptr || result->strlength < length) {
        char* memory = static_cast<char*>(RexxAllocateMemory(length + 1));
        if (memory == nullptr)
            return false;
        result->strptr = memory;
    }
    memcpy(result->strptr, value, length);
    result->strlength = length;
    return true;
}

// Host error numbers: REXX error 40 + 256 x argument position + 65536 x detail.
static std::string HostErrorText(uint32_t raw, bool handlerCalled, ULONG count,
                                 const std::string& description)
{
    if (!handlerCalled)
        return "too few or too many arguments (" + std::to_string(count) + " given)";
    const uint32_t position = (raw >> 8) & 0xFF;
    const uint32_t detail = (raw >> 16) & 0xFF;
    std::string what = "argument " + std::to_string(position);
    switch (detail) {
    case 14: what += " is not a number, or not one that is allowed here"; break;
    case 28: what += " is not one of the keywords"; break;
    case 36: what += " is not an open archive"; break;
    default: what += " is not right (detail " + std::to_string(detail) + ")"; break;
    }
    return what + (description.empty() ? "" : ": " + description);
}

static ULONG APIENTRY CallAddon(PCSZ name, ULONG argc, PRXSTRING argv, PCSZ queue, PRXSTRING result)
{
    (void)queue;
    if (!windows->ensureStarted()) {
        Complain("tarvune: %s: %s\n", name, windows->failure().c_str());
        return CALL_FAILED;
    }
    // Arguments larger than a frame carries fail this call alone, before
    // anything is sent.
    uint64_t argumentBytes = 0;
    for (ULONG i = 0; i < argc; i++)
        argumentBytes += argv[i].strptr != nullptr ? argv[i].strlength : 0;
    if (argumentBytes > bridge::VALUE_LIMIT) {
        Complain("tarvune: %s: its arguments hold %llu bytes, more than the %u that cross to the "
                 "Windows side\n", name, static_cast<unsigned long long>(argumentBytes),
                 bridge::VALUE_LIMIT);
        return CALL_FAILED;
    }
    const std::string directory = CurrentDirectory();
    bridge::FrameWriter call(bridge::MESSAGE_CALL);
    call.text(name, strlen(name)).text(directory == lastDirectory ? std::string() : directory).number(argc);
    for (ULONG i = 0; i < argc; i++) {
        const bool present = argv[i].strptr != nullptr;
        call.byte(present ? 1 : 0).text(present ? argv[i].strptr : "", present ? argv[i].strlength : 0);
    }
    lastDirectory = directory;
    if (!windows->send(call)) {
        windows->fail(std::string("before ") + name);
        Complain("tarvune: %s: %s\n", name, windows->failure().c_str());
        return CALL_FAILED;
    }

    std::vector<char> body;
    for (;;) {
        if (!windows->receive(&body)) {
            windows->fail(std::string("during ") + name);
            Complain("tarvune: %s: %s\n", name, windows->failure().c_str());
            return CALL_FAILED;
        }
        bridge::FrameReader reader(body.data(), body.size());
        const bridge::Message message = reader.message();
        if (message == bridge::MESSAGE_SET) {
            const std::string variable = reader.text();
            uint32_t length = 0;
            const char* value = reader.text(&length);
            if (!reader.failed()) {
                SetVariable(variable, value, length);
                continue;
            }
        } else if (message == bridge::MESSAGE_FETCH) {
            const std::string variable = reader.text();
            if (!reader.failed()) {
                AnswerFetch(variable);
                continue;
            }
        } else if (message == bridge::MESSAGE_DONE) {
            const uint32_t kind = reader.number();
            const uint32_t raw = reader.number();
            const bool handlerCalled = reader.byte() != 0;
            const bool hasValue = reader.byte() != 0;
            uint32_t length = 0;
            const char* value = reader.text(&length);
            const std::string condition = reader.text();
            if (!reader.failed()) {
                if (kind == bridge::DONE_RETURNED) {
                    // No value reads as the empty string, so that err = UNZIPOPEN(...) works.
                    if (!SetResult(result, hasValue ? value : "", hasValue ? length : 0))
                        return CALL_FAILED;
                    return 0;
                }
                const std::string text(value, length);
                if (kind == bridge::DONE_HOST_ERROR && raw == bridge::HOST_ERROR_RESOURCES)
                    Complain("%s: the Windows side has no memory for this call (error 5)\n", name);
                else if (kind == bridge::DONE_CONDITION)
                    Complain("%s raised %s: %s\n", name, condition.c_str(), text.c_str());
                else if (!handlerCalled)
                    Complain("%s: incorrect call (error %u): %s\n", name, raw & 0xFF,
                                 HostErrorText(raw, handlerCalled, argc, text).c_str());
                else
                    Complain("%s: incorrect call (error %u.%u): %s\n", name, raw & 0xFF,
                                 (raw >> 16) & 0xFF, HostErrorText(raw, handlerCalled, argc, text).c_str());
                return CALL_FAILED;
            }
        }
        windows->fail(std::string("with a malformed message during ") + name);
        Complain("tarvune: %s: %s\n", name, windows->failure().c_str());
        return CALL_FAILED;
    }
}

bool RegisterFunctions(WindowsSide* side)
{
    windows = side;
    for (const char* function : FUNCTION_NAMES)
        if (RexxRegisterFunctionExe(function, reinterpret_cast<RexxFunctionHandler*>(CallAddon)) !=
            RXFUNC_OK)
            return false;
    return true;
}

}  // namespace rexxrun
