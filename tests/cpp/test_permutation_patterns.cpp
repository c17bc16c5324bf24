// Long ordinal patterns are told apart by their windows, not by their hash:
// with every window on one hash, each stable order still counts on its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <numeric>
#include <random>
#include <vector>

#include "calculators/permutation_patterns.h"

namespace {

namespace pe = calculators::permutation;

TEST(PermutationPatterns, EqualHashesKeepDistinctOrdersApart) {
    // Keys from {0, 1, 2}: many orders differ only in how the index breaks a tie.
    std::mt19937_64 gen(3);
    std::vector<std::int64_t> key(300);
    for (std::int64_t& k : key) k = static_cast<std::int64_t>(gen() % 3);
    const auto one_hash = [](const pe::SortedWindow&, std::size_t) { return std::uint64_t{7}; };
    for (const std::size_t d : {4, 6}) {
        const auto stable_argsort = [&](std::uint64_t start) {
            std::vector<std::size_t> o(d);
            std::iota(o.begin(), o.end(), std::size_t{0});
            std::stable_sort(o.begin(), o.end(), [&](auto a, auto b) { return key[start + a] < key[start + b]; });
            return o;
        };
        std::map<std::vector<std::size_t>, std::uint64_t> want, got;
        for (std::uint64_t w = 0; w + d <= key.size(); ++w) ++want[stable_argsort(w)];
        const auto patterns = pe::count_patterns(key, 1, d, key.size() - d + 1, one_hash);
        for (const pe::Pattern& p : patterns) got[stable_argsort(p.start)] += p.count;
        EXPECT_EQ(patterns.size(), want.size()) << d;
        EXPECT_EQ(got, want) << d;
    }
}

}  // namespace
