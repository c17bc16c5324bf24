// Times spectral::rfft and spectral::welch_psd on a series read from a file
// of raw doubles. Prints one line: best and median seconds per call of each
// (rfft first), then writes the last results to OUT as raw doubles: the
// bins' real and imaginary parts interleaved, then the density.
//
//   spectral_bench SERIES.bin N REPEATS OUT.bin
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_io.h"
#include "numeric/spectral.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s SERIES.bin N REPEATS OUT.bin\n", argv[0]);
        return 2;
    }
    std::vector<double> x(std::strtoull(argv[2], nullptr, 10));
    const int repeats = std::max(1, std::atoi(argv[3]));
    if (!bench::read_doubles(argv[1], x)) return 1;

    spectral::Spectrum bins = spectral::rfft(x);  // plans made before timing
    std::vector<double> psd = spectral::welch_psd(x);
    const auto [rb, rm] = bench::best_and_median(repeats, [&] { bins = spectral::rfft(x); });
    const auto [wb, wm] = bench::best_and_median(repeats, [&] { psd = spectral::welch_psd(x); });
    std::printf("%.9g %.9g %.9g %.9g\n", rb, rm, wb, wm);

    std::FILE* out = std::fopen(argv[4], "wb");
    if (!out) return 1;
    std::fwrite(bins.data(), sizeof(spectral::Complex), bins.size(), out);
    std::fwrite(psd.data(), sizeof(double), psd.size(), out);
    std::fclose(out);
    return 0;
}
