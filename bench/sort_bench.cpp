// Times stats::sort_total (the total-order keys sorted by vqsort) on a copy
// of the values, as numpy.sort copies and sorts, and for reference the same
// copy sorted by std::sort on the keys, on doubles read from a file of raw
// values. The copy goes to one buffer kept across the calls, so that no
// call pays for fresh pages. Writes the sorted copy to OUT and prints one
// line: best and median seconds per call of each.
//
//   sort_bench VALUES.bin N REPEATS OUT.bin
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_io.h"
#include "numeric/stats.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s VALUES.bin N REPEATS OUT.bin\n", argv[0]);
        return 2;
    }
    std::vector<double> x(std::strtoull(argv[2], nullptr, 10));
    const int repeats = std::max(1, std::atoi(argv[3]));
    if (!bench::read_doubles(argv[1], x)) return 1;

    std::vector<double> sorted(x.size());
    std::vector<std::int64_t> keys(x.size());
    const auto vq = bench::best_and_median(repeats, [&] {
        std::copy(x.begin(), x.end(), sorted.begin());
        stats::sort_total(sorted);
    });
    const auto plain = bench::best_and_median(repeats, [&] {
        for (std::size_t i = 0; i < x.size(); ++i) keys[i] = stats::total_order_key(x[i]);
        std::sort(keys.begin(), keys.end());
        for (std::size_t i = 0; i < x.size(); ++i) sorted[i] = stats::from_total_order_key(keys[i]);
    });
    stats::sort_total(sorted = x);
    std::FILE* o = std::fopen(argv[4], "wb");
    if (!o || std::fwrite(sorted.data(), sizeof(double), sorted.size(), o) != sorted.size()) return 1;
    std::fclose(o);
    std::printf("%.9g %.9g %.9g %.9g\n", vq.first, vq.second, plain.first, plain.second);
    return 0;
}
