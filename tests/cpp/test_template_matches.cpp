// The template-match sweep against the pairwise definition, on every SIMD
// target compiled in (the machine running the tests uses only its best one
// through the module).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include <hwy/targets.h>

#include "calculators/template_matches.h"

namespace {

using calculators::MatchRequest;

// Templates i != j of length k match when every |x[i+t] - x[j+t]| <= tol.
std::vector<std::uint64_t> partners(const std::vector<double>& x, std::size_t k, double tol) {
    const std::size_t count = x.size() - k + 1;
    std::vector<std::uint64_t> out(count, 0);
    for (std::size_t i = 0; i < count; ++i)
        for (std::size_t j = 0; j < count; ++j) {
            bool match = j != i;
            for (std::size_t t = 0; t < k && match; ++t) match = std::fabs(x[i + t] - x[j + t]) <= tol;
            out[i] += match;
        }
    return out;
}

TEST(TemplateMatches, EveryTargetCountsThePairsOfTheDefinition) {
    constexpr double INF = std::numeric_limits<double>::infinity();
    std::mt19937_64 gen(7);
    std::uniform_int_distribution<int> level(0, 3);
    // Distances land on the tolerances (0.25, 0.5) and next to them (a
    // high word shared, the low word not); more tolerances than one level
    // byte serves on any target; zero of both signs, infinite and NaN.
    const double near = std::nextafter(0.5, 1.0);
    const std::vector<double> tols = {0.25, 0.5,  near, -0.0, 0.0,  0.75, 1e-300, 0.1,  0.2, 0.3,
                                      0.35, 0.4,  0.45, 0.55, 0.6,  0.65, 0.7,    0.8,  0.9, INF,
                                      std::numeric_limits<double>::quiet_NaN()};
    for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        // Vector boundaries, blocks of diagonals cut short, and enough
        // diagonals to empty the byte counters twice.
        for (const std::size_t n : {2u, 63u, 64u, 65u, 129u, 300u}) {
            std::vector<double> x(n);
            for (double& v : x) v = level(gen) / 4.0;
            if (n > 60) {
                x[5] = INF;  // inf - inf is NaN: no match
                x[40] = INF;
                x[50] = -INF;
                x[7] = 0.5 + std::ldexp(1.0, -40);  // shares 0.5's high word
            }
            std::vector<MatchRequest> requests;
            for (const double tol : tols)
                for (const std::uint64_t k : {1u, 2u, 3u, 6u, 64u, 66u, 130u})
                    if (k <= n) requests.push_back({tol, k, (k + requests.size()) % 3 != 0});
            const auto got = calculators::count_template_matches(x, requests);
            for (std::size_t r = 0; r < requests.size(); ++r) {
                const auto want = partners(x, requests[r].length, requests[r].tol);
                std::uint64_t total = 0;
                for (std::uint64_t c : want) total += c;
                const auto where = ::testing::Message() << hwy::TargetName(target) << " n=" << n
                                                        << " tol=" << requests[r].tol << " k=" << requests[r].length;
                EXPECT_EQ(got[r].pairs, total / 2) << where;
                const double N = static_cast<double>(want.size());
                double phi = 0.0;  // sum over i in order of ln((C_i + 1) / N), over N
                for (std::uint64_t c : want) phi += std::log(static_cast<double>(c + 1) / N);
                if (requests[r].phi) {
                    EXPECT_EQ(got[r].phi, phi / N) << where;
                }
            }
        }
    }
    hwy::SetSupportedTargetsForTest(0);
}

}  // namespace
