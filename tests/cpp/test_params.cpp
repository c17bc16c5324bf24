#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "helpers/params.h"

namespace {

constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

template <class T>
Params with(const std::string& key, T value) {
    Params p;
    p.set(key, PVal{value});
    return p;
}

Params with_none(const std::string& key) {
    Params p;
    p.set(key, PVal{});
    return p;
}

}  // namespace

TEST(SaturatingInt, TruncatesTowardZeroAndSaturatesAtBothEnds) {
    EXPECT_EQ(helpers::saturating_int(2.9), 2);
    EXPECT_EQ(helpers::saturating_int(-2.9), -2);
    EXPECT_EQ(helpers::saturating_int(NaN), 0);
    // 9223372036854774784.0 is the largest double below 2^63: still exact.
    EXPECT_EQ(helpers::saturating_int(9223372036854774784.0), 9223372036854774784);
    EXPECT_EQ(helpers::saturating_int(9223372036854775808.0), I64_MAX);  // 2^63
    EXPECT_EQ(helpers::saturating_int(1e300), I64_MAX);
    EXPECT_EQ(helpers::saturating_int(INF), I64_MAX);
    EXPECT_EQ(helpers::saturating_int(-9223372036854775808.0), I64_MIN);  // -2^63 is exact
    EXPECT_EQ(helpers::saturating_int(-1e300), I64_MIN);
    EXPECT_EQ(helpers::saturating_int(-INF), I64_MIN);
}

TEST(IntParam, ReadsIntAndFloatOnly) {
    EXPECT_EQ(helpers::int_param(with("lag", std::int64_t{I64_MAX}), "lag"), I64_MAX);
    EXPECT_EQ(helpers::int_param(with("lag", 2.9), "lag"), 2);
    EXPECT_EQ(helpers::int_param(with("lag", -2.9), "lag"), -2);
    EXPECT_EQ(helpers::int_param(with("lag", 1e19), "lag"), I64_MAX);
    EXPECT_EQ(helpers::int_param(with("lag", NaN), "lag"), 0);
    EXPECT_EQ(helpers::int_param(with("lag", true), "lag"), 0);
    EXPECT_EQ(helpers::int_param(with("lag", std::string("3")), "lag"), 0);
    EXPECT_EQ(helpers::int_param(with("lag", std::vector<std::int64_t>{3}), "lag"), 0);
    EXPECT_EQ(helpers::int_param(with_none("lag"), "lag"), 0);
    EXPECT_EQ(helpers::int_param(Params{}, "lag"), 0);
}

TEST(IntParam, KeysAreCaseSensitive) {
    EXPECT_EQ(helpers::int_param(with("Lag", std::int64_t{4}), "lag"), 0);
    EXPECT_EQ(helpers::int_param(with("lag ", std::int64_t{4}), "lag"), 0);
    EXPECT_EQ(helpers::int_param(with("lag", std::int64_t{4}), "lag"), 4);
}

TEST(CountParam, NegativeReadsAsZero) {
    EXPECT_EQ(helpers::count_param(with("n", std::int64_t{-5}), "n"), 0u);
    EXPECT_EQ(helpers::count_param(with("n", -1e300), "n"), 0u);
    EXPECT_EQ(helpers::count_param(with("n", 1e300), "n"), static_cast<std::uint64_t>(I64_MAX));
}

TEST(RealParam, ConvertsNumbersAndBools) {
    EXPECT_EQ(helpers::real_param(with("q", std::int64_t{3}), "q"), 3.0);
    // 2^63 - 1 rounds to the nearest double, 2^63.
    EXPECT_EQ(helpers::real_param(with("q", I64_MAX), "q"), 9223372036854775808.0);
    EXPECT_EQ(helpers::real_param(with("q", true), "q"), 1.0);
    EXPECT_EQ(helpers::real_param(with("q", false), "q"), 0.0);
    EXPECT_EQ(helpers::real_param(with("q", -0.0), "q"), 0.0);
    EXPECT_TRUE(std::signbit(helpers::real_param(with("q", -0.0), "q")));
    EXPECT_TRUE(std::isnan(helpers::real_param(with("q", std::string("0.5")), "q")));
    EXPECT_TRUE(std::isnan(helpers::real_param(with("q", std::vector<double>{0.5}), "q")));
    EXPECT_TRUE(std::isnan(helpers::real_param(with_none("q"), "q")));
    EXPECT_TRUE(std::isnan(helpers::real_param(Params{}, "q")));
}

TEST(RealParamOrZero, OnlyAMissingKeyGivesZero) {
    EXPECT_EQ(helpers::real_param_or_zero(Params{}, "threshold"), 0.0);
    EXPECT_EQ(helpers::real_param_or_zero(with("threshold", 0.25), "threshold"), 0.25);
    EXPECT_TRUE(std::isnan(helpers::real_param_or_zero(with("threshold", std::string("x")), "threshold")));
    EXPECT_TRUE(std::isnan(helpers::real_param_or_zero(with_none("threshold"), "threshold")));
}

TEST(BoolParam, BoolOrNonzeroIntIsTrue) {
    EXPECT_TRUE(helpers::bool_param(with("isabs", true), "isabs"));
    EXPECT_FALSE(helpers::bool_param(with("isabs", false), "isabs"));
    EXPECT_TRUE(helpers::bool_param(with("isabs", std::int64_t{2}), "isabs"));
    EXPECT_TRUE(helpers::bool_param(with("isabs", std::int64_t{-1}), "isabs"));
    EXPECT_FALSE(helpers::bool_param(with("isabs", std::int64_t{0}), "isabs"));
    EXPECT_FALSE(helpers::bool_param(with("isabs", 1.0), "isabs"));
    EXPECT_FALSE(helpers::bool_param(with("isabs", std::string("true")), "isabs"));
    EXPECT_FALSE(helpers::bool_param(Params{}, "isabs"));
}

TEST(TextParam, OnlyAStrCounts) {
    EXPECT_EQ(helpers::text_param(with("f_agg", std::string("mean")), "f_agg"), "mean");
    EXPECT_EQ(helpers::text_param(with("f_agg", std::int64_t{5}), "f_agg"), "");
    EXPECT_EQ(helpers::text_param(with_none("f_agg"), "f_agg"), "");
    EXPECT_EQ(helpers::text_param(Params{}, "f_agg"), "");
}

TEST(ParamsFloats, ListsConvertAndEverythingElseIsEmpty) {
    const std::vector<double> expected{1.0, 2.0, 3.0};
    EXPECT_EQ(with("widths", std::vector<std::int64_t>{1, 2, 3}).floats("widths"), expected);
    EXPECT_EQ(with("widths", std::vector<double>{1.0, 2.0, 3.0}).floats("widths"), expected);
    EXPECT_EQ(with("widths", std::vector<std::int64_t>{I64_MAX}).floats("widths"),
              std::vector<double>{9223372036854775808.0});
    EXPECT_TRUE(with("widths", std::int64_t{3}).floats("widths").empty());
    EXPECT_TRUE(with("widths", 3.0).floats("widths").empty());
    EXPECT_TRUE(with("widths", std::string("1,2")).floats("widths").empty());
    EXPECT_TRUE(with_none("widths").floats("widths").empty());
    EXPECT_TRUE(Params{}.floats("widths").empty());
    EXPECT_TRUE(with("Widths", std::vector<double>{1.0}).floats("widths").empty());
}
