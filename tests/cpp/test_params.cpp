#include <gtest/gtest.h>

#include <string>

#include "helpers/params.h"
#include "test_util.h"

namespace {

using helpers::Params;
using helpers::PVal;

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
    struct Row { PVal value; std::int64_t i; double r; bool b; const char* text; const char* key = "k"; };
    const Row rows[] = {
        {PVal{std::int64_t{3}}, 3, 3.0, true, ""},
        {PVal{std::int64_t{-1}}, -1, -1.0, true, ""},
        {PVal{std::int64_t{0}}, 0, 0.0, false, ""},
        // 2^63 - 1 rounds to the nearest double, 2^63.
        {PVal{I64_MAX}, I64_MAX, 9223372036854775808.0, true, ""},
        {PVal{2.9}, 2, 2.9, false, ""},
        {PVal{-2.9}, -2, -2.9, false, ""},
        {PVal{-0.0}, 0, -0.0, false, ""},
        // 9223372036854774784 is the largest double below 2^63: still exact.
        {PVal{9223372036854774784.0}, 9223372036854774784, 9223372036854774784.0, false, ""},
        {PVal{9223372036854775808.0}, I64_MAX, 9223372036854775808.0, false, ""},
        {PVal{-9223372036854775808.0}, I64_MIN, -9223372036854775808.0, false, ""},
        {PVal{-INF}, I64_MIN, -INF, false, ""},
        {PVal{NaN}, 0, NaN, false, ""},
        {PVal{true}, 0, 1.0, true, ""},
        {PVal{false}, 0, 0.0, false, ""},
        {PVal{std::string("3")}, 0, NaN, false, "3"},
        {PVal{std::vector<std::int64_t>{3}}, 0, NaN, false, ""},
        {PVal{}, 0, NaN, false, ""},
        {PVal{std::int64_t{4}}, 0, NaN, false, "", "K"},
    };
    for (const Row& row : rows) {
        const Params set = with(row.value, row.key);
        EXPECT_EQ(helpers::int_param(set, "k"), row.i);
        EXPECT_EQ(helpers::count_param(set, "k"), row.i < 0 ? 0u : static_cast<std::uint64_t>(row.i));
        EXPECT_TRUE(same(helpers::real_param(set, "k"), row.r)) << row.r;
        EXPECT_EQ(helpers::bool_param(set, "k"), row.b);
        EXPECT_EQ(helpers::text_param(set, "k"), row.text);
    }
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
