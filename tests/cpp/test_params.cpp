#include <gtest/gtest.h>

#include <string>

#include "helpers/params.h"
#include "test_util.h"

namespace {

constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();

Params with(PVal value, const std::string& key = "k") {
    Params p;
    p.set(key, std::move(value));
    return p;
}

}  // namespace

// One row per stored value: what each kind of key reads from it. A missing
// key is the last row (stored under another case of the name).
TEST(ParamReaders, EveryVariantUnderEveryKindOfKey) {
    struct Row { Params set; std::int64_t i; double r; bool b; const char* text; };
    const Row rows[] = {
        {with(PVal{std::int64_t{3}}), 3, 3.0, true, ""},
        {with(PVal{std::int64_t{-1}}), -1, -1.0, true, ""},
        {with(PVal{std::int64_t{0}}), 0, 0.0, false, ""},
        // 2^63 - 1 rounds to the nearest double, 2^63.
        {with(PVal{I64_MAX}), I64_MAX, 9223372036854775808.0, true, ""},
        {with(PVal{2.9}), 2, 2.9, false, ""},
        {with(PVal{-2.9}), -2, -2.9, false, ""},
        // 9223372036854774784 is the largest double below 2^63: still exact.
        {with(PVal{9223372036854774784.0}), 9223372036854774784, 9223372036854774784.0, false, ""},
        {with(PVal{9223372036854775808.0}), I64_MAX, 9223372036854775808.0, false, ""},
        {with(PVal{-9223372036854775808.0}), I64_MIN, -9223372036854775808.0, false, ""},
        {with(PVal{-INF}), I64_MIN, -INF, false, ""},
        {with(PVal{NaN}), 0, NaN, false, ""},
        {with(PVal{true}), 0, 1.0, true, ""},
        {with(PVal{false}), 0, 0.0, false, ""},
        {with(PVal{std::string("3")}), 0, NaN, false, "3"},
        {with(PVal{std::vector<std::int64_t>{3}}), 0, NaN, false, ""},
        {with(PVal{}), 0, NaN, false, ""},
        {with(PVal{std::int64_t{4}}, "K"), 0, NaN, false, ""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(helpers::int_param(row.set, "k"), row.i);
        EXPECT_EQ(helpers::count_param(row.set, "k"), row.i < 0 ? 0u : static_cast<std::uint64_t>(row.i));
        const double r = helpers::real_param(row.set, "k");
        EXPECT_TRUE(same(r, row.r)) << r << " " << row.r;
        EXPECT_EQ(helpers::bool_param(row.set, "k"), row.b);
        EXPECT_EQ(helpers::text_param(row.set, "k"), row.text);
    }
    EXPECT_EQ(bits(helpers::real_param(with(PVal{-0.0}), "k")), bits(-0.0));
    // Only a missing key reads 0.0 here; a present non-number is still NaN.
    EXPECT_EQ(helpers::real_param_or_zero(Params{}, "k"), 0.0);
    EXPECT_TRUE(std::isnan(helpers::real_param_or_zero(with(PVal{}), "k")));
    EXPECT_EQ(helpers::real_param_or_zero(with(PVal{0.25}), "k"), 0.25);
}

// Small sets are scanned, larger ones indexed: both find every key, miss
// prefixes and other cases, and let a later value replace an earlier one,
// in the original and in a copy.
TEST(ParamSet, LookupAndReplacementAtEverySize) {
    for (int keys : {1, 2, 8, 9, 40}) {
        Params p;
        for (int i = 0; i < keys; ++i) p.set("key" + std::to_string(i), PVal{std::int64_t{i}});
        p.set("key0", PVal{std::int64_t{-7}});
        const Params copy = p;
        for (const Params* q : {static_cast<const Params*>(&p), &copy}) {
            EXPECT_EQ(q->size(), static_cast<std::size_t>(keys));
            EXPECT_EQ(helpers::int_param(*q, "key0"), -7);
            for (int i = 1; i < keys; ++i) EXPECT_EQ(helpers::int_param(*q, "key" + std::to_string(i)), i);
            EXPECT_EQ(q->find("key"), nullptr);
            EXPECT_EQ(q->find("KEY0"), nullptr);
            EXPECT_EQ(q->find("key0 "), nullptr);
        }
    }
}
