// benchclock.h -- the benchmarks' stopwatch and the summaries they print
// over repeated runs.
#pragma once

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
