// Times spectral::rfft and spectral::welch_psd on a series read from a file
// of raw doubles. Prints one line: best and median seconds per call of each
// (rfft first), then writes the last results to OUT as raw doubles: the
// bins' real and imaginary parts interleaved, then the density.
//
//   spectral_bench SERIES.bin N REPEATS OUT.bin
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "numeric/spectral.h"

namespace {

template <class F>
std::pair<double, double> time_calls(int repeats, F&& call) {
    std::vector<double> times;
    for (int k = 0; k < repeats; ++k) {
        const auto t0 = std::chrono::steady_clock::now();
        call();
        const auto t1 = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double>(t1 - t0).count());
    }
    std::sort(times.begin(), times.end());
    return {times.front(), times[times.size() / 2]};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s SERIES.bin N REPEATS OUT.bin\n", argv[0]);
        return 2;
    }
    std::vector<double> x(std::strtoull(argv[2], nullptr, 10));
    const int repeats = std::max(1, std::atoi(argv[3]));
    std::FILE* f = std::fopen(argv[1], "rb");
    if (!f || std::fread(x.data(), sizeof(double), x.size(), f) != x.size()) {
        std::fprintf(stderr, "cannot read %zu doubles from %s\n", x.size(), argv[1]);
        return 1;
    }
    std::fclose(f);

    spectral::Spectrum bins = spectral::rfft(x);  // plans made before timing
    std::vector<double> psd = spectral::welch_psd(x);
    const auto [rb, rm] = time_calls(repeats, [&] { bins = spectral::rfft(x); });
    const auto [wb, wm] = time_calls(repeats, [&] { psd = spectral::welch_psd(x); });
    std::printf("%.9g %.9g %.9g %.9g\n", rb, rm, wb, wm);

    std::FILE* out = std::fopen(argv[4], "wb");
    if (!out) return 1;
    std::fwrite(bins.data(), sizeof(spectral::Complex), bins.size(), out);
    std::fwrite(psd.data(), sizeof(double), psd.size(), out);
    std::fclose(out);
    return 0;
}
