// Times regression::jacobi_svd on a matrix read from a file of raw row-major
// doubles. Prints one line: the best and the median seconds per call over the
// repetitions, then the singular values sorted descending.
//
//   svd_bench MATRIX.bin ROWS COLS REPEATS
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "numeric/regression.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s MATRIX.bin ROWS COLS REPEATS\n", argv[0]);
        return 2;
    }
    regression::Matrix a{{}, std::strtoull(argv[2], nullptr, 10), std::strtoull(argv[3], nullptr, 10)};
    const int repeats = std::max(1, std::atoi(argv[4]));
    a.data.resize(a.rows * a.cols);
    std::FILE* f = std::fopen(argv[1], "rb");
    if (!f || std::fread(a.data.data(), sizeof(double), a.data.size(), f) != a.data.size()) {
        std::fprintf(stderr, "cannot read %zu doubles from %s\n", a.data.size(), argv[1]);
        return 1;
    }
    std::fclose(f);

    std::vector<double> times;
    std::vector<double> s;
    for (int k = 0; k < repeats; ++k) {
        const auto t0 = std::chrono::steady_clock::now();
        const regression::Svd d = regression::jacobi_svd(a);
        const auto t1 = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double>(t1 - t0).count());
        s = d.s;
    }
    std::sort(times.begin(), times.end());
    std::sort(s.begin(), s.end(), std::greater<>());
    std::printf("%.9g %.9g", times.front(), times[times.size() / 2]);
    for (double v : s) std::printf(" %.17g", v);
    std::printf("\n");
    return 0;
}
