// main.cpp -- rexxrun: runs a REXX script with Regina, the add-on's functions
// registered before it starts, as the interpreter host registers them.
//
//   rexxrun [--bridge DIR] [--addon FILE] SCRIPT [ARGS...]
//
// DIR holds tvbridge.exe and morvalin.dll (default: $TARVUNE_BRIDGE_DIR);
// FILE is the add-on (default: $TARVUNE_DLL, else DIR/tarvune.dll), a Linux
// path or a Windows one (C:\...). The arguments reach the script as one
// string, as with Regina's own command.
// The exit code is the script's; Regina's errors give Regina's codes. When the
// Windows side could not start or died, a script that ends normally still
// ends with 1.
#include <stdlib.h>
#include <string.h>

#include <cstdio>
#include <string>

#define INCL_RXFUNC
#include <rexxsaa.h>

#include "functions.h"

namespace {

[[noreturn]] void Usage()
{
    std::fprintf(stderr,
                 "usage: rexxrun [--bridge DIR] [--addon FILE] SCRIPT [ARGS...]\n"
                 "  DIR   the folder of tvbridge.exe and morvalin.dll (or TARVUNE_BRIDGE_DIR)\n"
                 "  FILE  the add-on tarvune.dll (or TARVUNE_DLL; default DIR/tarvune.dll)\n");
    exit(2);
}

std::string Absolute(const std::string& path)
{
    char* full = realpath(path.c_str(), nullptr);
    if (full == nullptr)
        return path;
    std::string result(full);
    free(full);
    return result;
}

const char* Environment(const char* name)
{
    const char* value = getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

int main(int argc, char** argv)
{
    rexxrun::WindowsSideConfig config;
    if (const char* dir = Environment("TARVUNE_BRIDGE_DIR"))
        config.bridgeDir = dir;
    if (const char* dll = Environment("TARVUNE_DLL"))
        config.addon = dll;
    config.wine = Environment("WINE") != nullptr ? Environment("WINE") : "wine";

    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const std::string option = argv[i];
        if (option == "--")  {
            i++;
            break;
        }
        if (i + 1 >= argc)
            Usage();
        if (option == "--bridge")
            config.bridgeDir = argv[++i];
        else if (option == "--addon")
            config.addon = argv[++i];
        else
            Usage();
    }
    if (i >= argc || config.bridgeDir.empty())
        Usage();
    config.bridgeDir = Absolute(config.bridgeDir);
    config.addon = config.addon.empty() ? config.bridgeDir + "/tarvune.dll" : config.addon;
    if (config.addon.find(':') == std::string::npos)  // a Linux path, not C:\...
        config.addon = Absolute(config.addon);

    // Regina looks for a bare name along its macro path only.
    std::string script = argv[i++];
    if (script.find('/') == std::string::npos)
        script = "./" + script;
    std::string arguments;
    for (; i < argc; i++)
        arguments += (arguments.empty() ? "" : " ") + std::string(argv[i]);
    RXSTRING argument;
    MAKERXSTRING(argument, const_cast<char*>(arguments.data()), arguments.size());

    rexxrun::WindowsSide windows(config);
    if (!rexxrun::RegisterFunctions(&windows)) {
        std::fprintf(stderr, "rexxrun: Regina refused to register the add-on's functions\n");
        return 1;
    }

    SHORT returnCode = 0;
    RXSTRING result;
    MAKERXSTRING(result, nullptr, 0);
    const LONG count = arguments.empty() ? 0 : 1;
    APIRET status = RexxStart(count, count ? &argument : nullptr, script.c_str(), nullptr, "SYSTEM",
                              RXCOMMAND, nullptr, &returnCode, &result);
    if (result.strptr != nullptr)
        RexxFreeMemory(result.strptr);
    windows.stop();
    for (const char* function : rexxrun::FUNCTION_NAMES)
        RexxDeregisterFunction(function);

    // Regina's own command ends with 256 minus the error number on an error.
    int exitCode = status != 0 ? static_cast<int>(static_cast<LONG>(status)) & 0xFF : returnCode & 0xFF;
    if (exitCode == 0 && windows.failed())
        exitCode = 1;
    return exitCode;
}
