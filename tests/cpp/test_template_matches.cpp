// The bit-parallel template matching against the pairwise definition, on
// every SIMD target compiled in (the machine running the tests uses only
// its best one through the module).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <hwy/targets.h>

#include "calculators/template_matches.h"

namespace {

struct Pairwise {
    std::uint64_t pairs = 0;
    std::vector<std::uint64_t> per_template;
};

// Templates i < j of length k match when every |x[i+t] - x[j+t]| <= tol.
Pairwise pairwise(const std::vector<double>& x, std::size_t k, double tol) {
    const std::size_t count = x.size() - k + 1;
    Pairwise out;
    out.per_template.assign(count, 0);
    for (std::size_t i = 0; i < count; ++i)
        for (std::size_t j = i + 1; j < count; ++j) {
            bool match = true;
            for (std::size_t t = 0; t < k && match; ++t) match = std::fabs(x[i + t] - x[j + t]) <= tol;
            if (match) {
                ++out.pairs;
                ++out.per_template[i];
                ++out.per_template[j];
            }
        }
    return out;
}

TEST(TemplateMatches, EveryTargetCountsThePairsOfTheDefinition) {
    std::mt19937_64 gen(7);
    std::uniform_int_distribution<int> level(0, 3);
    for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        // Word and vector boundaries, and enough diagonals to empty the
        // counters' planes several times.
        for (const std::size_t n : {2u, 63u, 64u, 65u, 129u, 700u}) {
            std::vector<double> x(n);
            for (double& v : x) v = level(gen) / 4.0;  // distances on the tolerance
            std::vector<std::uint64_t> lengths;
            for (const std::uint64_t k : {1u, 2u, 3u, 6u, 64u, 66u, 130u})
                if (k <= n) lengths.push_back(k);
            for (const bool per_template : {false, true}) {
                const auto got = calculators::count_template_matches(x, 0.25, lengths, per_template);
                for (std::size_t q = 0; q < lengths.size(); ++q) {
                    const Pairwise want = pairwise(x, lengths[q], 0.25);
                    EXPECT_EQ(got.pairs[q], want.pairs) << hwy::TargetName(target) << " n=" << n;
                    if (per_template) {
                        EXPECT_EQ(got.per_template[q], want.per_template) << hwy::TargetName(target) << " n=" << n;
                    }
                }
            }
        }
    }
    hwy::SetSupportedTargetsForTest(0);
}

}  // namespace
