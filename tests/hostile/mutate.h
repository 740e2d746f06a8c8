// mutate.h -- the fuzzer's mutations of sound archives: bit flips, bytes and
// fields overwritten with values that hurt (0, all ones, 2 GiB, the size of
// the input), truncation, and splices of ranges from the same or another
// archive. Fields are found through the record signatures of ZIP and gzip, so
// that many mutations land where a reader takes its numbers from.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// A small, fixed-seed random generator (splitmix64), the same on every machine.
class FuzzRandom {
public:
    explicit FuzzRandom(uint64_t seed) : state_(seed) {}
    uint64_t Next();
    uint32_t Below(uint32_t bound);  // 0 .. bound - 1; 0 when bound is 0
    bool OneIn(uint32_t n) { return Below(n) == 0; }

private:
    uint64_t state_;
};

// Applies one to four mutations to `input`, taking splices from `others`.
std::string Mutate(const std::string& input, const std::vector<std::string>& others, FuzzRandom& random);
