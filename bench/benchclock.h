// benchclock.h -- the benchmarks' stopwatch, the thread's CPU time, and the
// summaries they print over repeated runs.
#pragma once

#include <stdint.h>
#include <windows.h>

#include <algorithm>
#include <vector>

class Stopwatch {
public:
    Stopwatch() { QueryPerformanceCounter(&start_); }
    double seconds() const
    {
        LARGE_INTEGER now, frequency;
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        return (double)(now.QuadPart - start_.QuadPart) / (double)frequency.QuadPart;
    }

private:
    LARGE_INTEGER start_;
};

// The calling thread's CPU time, user and kernel, in seconds. On a shared
// machine it counts what a run did itself (its writes into the page cache
// included), not the time that other work took from it.
inline double ThreadCpuSeconds()
{
    FILETIME creation, exit, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &creation, &exit, &kernel, &user))
        return 0.0;
    auto ticks = [](const FILETIME& t) { return (double)((uint64_t)t.dwHighDateTime << 32 | t.dwLowDateTime); };
    return (ticks(kernel) + ticks(user)) * 1e-7;
}

// On a shared machine other work only ever adds time: the fastest of several
// runs is the best estimate of a run's own cost, the median shows the spread.
inline double Fastest(const std::vector<double>& times)
{
    return times.empty() ? 0.0 : *std::min_element(times.begin(), times.end());
}

inline double Median(std::vector<double> times)
{
    if (times.empty())
        return 0.0;
    std::sort(times.begin(), times.end());
    size_t n = times.size();
    return n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
}
