// tvunzip.cpp -- the main job: lists and extracts a ZIP archive through the
// add-on exactly as a REXX script would, by calling its functions through the
// stand-in host and reading the variables they set.
//
//   tvunzip [-l] [-p password] [-d directory] archive
//
// Lists every item (each tail of the item stem), then extracts every item
// under the directory (default: "extracted") unless -l is given. Failures
// print the add-on's own texts (ERRMSG) and make the exit code 1.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "morvalin.h"

namespace {

morvalin::Host host;

struct Options {
    bool listOnly = false;
    std::string password;
    std::string directory = "extracted";
    std::string archive;
};

void Usage()
{
    fprintf(stderr, "usage: tvunzip [-l] [-p password] [-d directory] archive\n");
    exit(2);
}

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "-l")
            options.listOnly = true;
        else if (arg == "-p" && i + 1 < argc)
            options.password = argv[++i];
        else if (arg == "-d" && i + 1 < argc)
            options.directory = argv[++i];
        else if (!arg.empty() && arg[0] != '-' && options.archive.empty())
            options.archive = arg;
        else
            Usage();
    }
    if (options.archive.empty())
        Usage();
    return options;
}

// With ZIPERR = 'NUM' a failing function returns its result code; a host
// error (a bad argument) raises REXX error 40 instead.
std::string Failure(const morvalin::Outcome& outcome)
{
    if (outcome.kind == morvalin::Kind::HostError) {
        char text[80];
        snprintf(text, sizeof text, "REXX error %u (argument %u, detail %u)", outcome.rexxError(),
                 outcome.position(), outcome.detail());
        return text;
    }
    std::string code = outcome.value.value_or("?");
    morvalin::Outcome message = host.call("UNZIPERRMSG", {code});
    return message.value.value_or("") + " (" + code + ")";
}

bool Failed(const morvalin::Outcome& outcome)
{
    return outcome.kind != morvalin::Kind::Returned || outcome.value.has_value();
}

std::string AttributeNames(unsigned long attributes)
{
    static const struct { unsigned long bit; const char* name; } names[] = {
        {0x01, "read-only"}, {0x02, "hidden"}, {0x04, "system"}, {0x10, "directory"}, {0x20, "archive"}};
    std::string text;
    for (const auto& n : names)
        if (attributes & n.bit)
            text += (text.empty() ? "" : " ") + std::string(n.name);
    return text.empty() ? "none" : text;
}

std::string Tail(int n)
{
    return host.variable("ITEM." + std::to_string(n)).value_or("(unset)");
}

void PrintItem(unsigned index, unsigned count)
{
    unsigned long attributes = strtoul(Tail(3).c_str(), nullptr, 10);
    printf("item %u of %u\n", index, count);
    printf("  item.0  path      %s\n", Tail(0).c_str());
    printf("  item.1  size      %s\n", Tail(1).c_str());
    printf("  item.2  packed    %s\n", Tail(2).c_str());
    printf("  item.3  attrs     %s (%s)\n", Tail(3).c_str(), AttributeNames(attributes).c_str());
    printf("  item.4  accessed  %s UTC\n", Tail(4).c_str());
    printf("  item.5  created   %s UTC\n", Tail(5).c_str());
    printf("  item.6  modified  %s UTC\n", Tail(6).c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    Options options = ParseOptions(argc, argv);

    morvalin::AddonLoad load = host.loadAddon("tarvune.dll");
    if (!load.loaded()) {
        fprintf(stderr, "tvunzip: the add-on tarvune.dll could not be loaded (error %u)\n", load.lastError);
        return 1;
    }
    host.setVariable("ZIPERR", "NUM");

    std::vector<morvalin::Arg> openArgs = {"ARCHIVE", options.archive, "FILE"};
    if (!options.password.empty())
        openArgs.push_back(options.password);
    morvalin::Outcome opened = host.call("UNZIPOPEN", openArgs);
    if (Failed(opened)) {
        fprintf(stderr, "tvunzip: %s: %s\n", options.archive.c_str(), Failure(opened).c_str());
        return 1;
    }
    std::string handle = host.variable("ARCHIVE").value_or("");

    host.call("UNZIPFINDITEM", {handle, "COUNT"});
    unsigned count = (unsigned)strtoul(host.variable("COUNT").value_or("0").c_str(), nullptr, 10);
    printf("%s: %u items\n", options.archive.c_str(), count);

    int failures = 0;
    for (unsigned i = 1; i <= count; i++) {
        morvalin::Outcome selected = host.call("UNZIPSETCURRENTITEM", {handle, "ITEM.", std::to_string(i)});
        if (Failed(selected)) {
            printf("item %u of %u: %s\n", i, count, Failure(selected).c_str());
            failures++;
            continue;
        }
        PrintItem(i, count);
    }

    if (!options.listOnly) {
        morvalin::Outcome rooted = host.call("UNZIPSETROOTDIR", {handle, options.directory});
        if (Failed(rooted)) {
            fprintf(stderr, "tvunzip: %s: %s\n", options.directory.c_str(), Failure(rooted).c_str());
            return 1;
        }
        printf("extracting under %s\n", options.directory.c_str());
        for (unsigned i = 1; i <= count; i++) {
            if (Failed(host.call("UNZIPSETCURRENTITEM", {handle, "ITEM.", std::to_string(i)})))
                continue;  // already reported above
            std::string path = Tail(0);
            morvalin::Outcome got = host.call("UNZIPGETITEM", {handle, path});
            if (Failed(got)) {
                printf("  failed     %s: %s\n", path.c_str(), Failure(got).c_str());
                failures++;
            } else {
                printf("  extracted  %s\n", path.c_str());
            }
        }
    }

    host.call("UNZIPCLOSE", {handle});
    if (failures)
        printf("%d item(s) failed\n", failures);
    return failures ? 1 : 0;
}
