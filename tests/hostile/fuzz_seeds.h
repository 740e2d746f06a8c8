// fuzz_seeds.h -- the sound archives the fuzzer starts from: ZIP archives with
// every kind of entry the reader knows, and gzip files with every header part.
#pragma once

#include <string>
#include <vector>

struct FuzzSeed {
    std::string name;
    std::string bytes;
    std::string password;            // the one that opens its encrypted entries
    std::vector<std::string> names;  // entry names worth looking up
};

const std::vector<FuzzSeed>& FuzzSeeds();
