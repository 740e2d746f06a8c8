// addonsession.h -- the add-on as the benchmarks use it: loaded through the
// stand-in host, archives opened by file name, failures returned as numbers.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

#include "morvalin.h"

class AddonSession {
public:
    // Loads tarvune.dll from beside the program; with ZIPERR = 'NUM' a failing
    // function returns its result code instead of raising a condition.
    bool load()
    {
        morvalin::AddonLoad load = host.loadAddon("tarvune.dll");
        if (!load.loaded()) {
            fprintf(stderr, "tarvune.dll did not load (status %d, error %u)\n", (int)load.status,
                    load.lastError);
            return false;
        }
        host.setVariable("ZIPERR", "NUM");
        return true;
    }

    // Opens an archive file; returns its handle, or "" after saying why not.
    std::string open(const std::string& path, const std::string& password = "")
    {
        std::vector<morvalin::Arg> args = {"ARCHIVE", path};
        if (!password.empty()) {
            args.push_back("FILE");
            args.push_back(password);
        }
        morvalin::Outcome opened = host.call("UNZIPOPEN", args);
        if (!succeeded(opened)) {
            fprintf(stderr, "UNZIPOPEN %s: %s\n", path.c_str(), describe(opened).c_str());
            return "";
        }
        return host.variable("ARCHIVE").value_or("");
    }

    void close(const std::string& handle) { host.call("UNZIPCLOSE", {handle}); }

    // The functions return nothing on success.
    static bool succeeded(const morvalin::Outcome& outcome)
    {
        return outcome.kind == morvalin::Kind::Returned && !outcome.value;
    }

    static std::string describe(const morvalin::Outcome& outcome)
    {
        if (outcome.kind == morvalin::Kind::HostError)
            return "REXX error " + std::to_string(outcome.rexxError());
        return "result code " + outcome.value.value_or("?");
    }

    std::string tail(const std::string& stem, int n) const
    {
        return host.variable(stem + std::to_string(n)).value_or("");
    }

    morvalin::Host host;
};
