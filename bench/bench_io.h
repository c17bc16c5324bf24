// What the timing executables share: raw doubles from a file, and the best
// and median wall time of repeated calls.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>
#include <vector>

namespace bench {

// n doubles from the raw file at path; false (with a message) when short.
inline bool read_doubles(const char* path, std::vector<double>& x) {
    std::FILE* f = std::fopen(path, "rb");
    const bool ok = f && std::fread(x.data(), sizeof(double), x.size(), f) == x.size();
    if (f) std::fclose(f);
    if (!ok) std::fprintf(stderr, "cannot read %zu doubles from %s\n", x.size(), path);
    return ok;
}

// Best and median seconds per call of f over `repeats` calls.
template <class F>
std::pair<double, double> best_and_median(int repeats, F&& f) {
    std::vector<double> times;
    for (int k = 0; k < repeats; ++k) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const auto t1 = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double>(t1 - t0).count());
    }
    std::sort(times.begin(), times.end());
    return {times.front(), times[times.size() / 2]};
}

}  // namespace bench
