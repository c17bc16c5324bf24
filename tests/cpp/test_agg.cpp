#include <gtest/gtest.h>

#include <utility>

#include "helpers/agg.h"
#include "test_util.h"

TEST(AggParse, EveryAcceptedNameSelectsItsVariant) {
    const std::pair<const char*, Agg::Kind> names[] = {
        {"mean", Agg::Mean},       {"average", Agg::Mean},     {"median", Agg::Median},   {"var", Agg::Var},
        {"std", Agg::Std},         {"max", Agg::Max},          {"amax", Agg::Max},        {"maximum", Agg::Max},
        {"min", Agg::Min},         {"amin", Agg::Min},         {"minimum", Agg::Min},     {"sum", Agg::Sum},
        {"prod", Agg::Prod},       {"product", Agg::Prod},     {"ptp", Agg::Ptp},         {"any", Agg::Any},
        {"all", Agg::All},         {"argmax", Agg::Argmax},    {"argmin", Agg::Argmin},   {"nanmean", Agg::NanMean},
        {"nanmedian", Agg::NanMedian}, {"nanvar", Agg::NanVar}, {"nanstd", Agg::NanStd},  {"nanmax", Agg::NanMax},
        {"nanmin", Agg::NanMin},   {"nansum", Agg::NanSum},    {"nanprod", Agg::NanProd},
    };
    for (const auto& [name, kind] : names) EXPECT_EQ(Agg::parse(name).kind, kind) << name;
}

TEST(AggApply, EmptyDataHasFixedResultsWhateverTheDdof) {
    for (double ddof : {0.0, -3.0, NaN})
        for (int k = 0; k <= Agg::NoAggregation; ++k) {
            const double r = Agg::apply_with_ddof(Agg{Agg::Kind(k)}, {}, ddof);
            const bool zero = k == Agg::Sum || k == Agg::NanSum || k == Agg::Any;
            const bool one = k == Agg::Prod || k == Agg::NanProd || k == Agg::All;
            EXPECT_TRUE(same(r, zero ? 0.0 : one ? 1.0 : NaN)) << k;
        }
}

// Hand-derived values.
TEST(AggApply, WorkedExamples) {
    const std::vector<double> four{1.0, 2.0, 3.0, 4.0}, gap{1.0, NaN, 3.0}, ties{2.0, 7.0, 7.0, 1.0};
    const std::vector<double> cancel{1e16, NaN, 1.0, -1e16};
    struct Row { Agg::Kind k; std::vector<double> x; double ddof, want; };
    const Row rows[] = {
        // Mean 2.5, squared deviations 5: 5/4, 5/3, 5/5; no degrees left at ddof 4 or beyond.
        {Agg::Std, four, 0.0, std::sqrt(1.25)}, {Agg::Var, four, 1.0, 5.0 / 3.0},
        {Agg::Var, four, -1.0, 1.0}, {Agg::Var, four, 4.0, NaN}, {Agg::Std, four, 5.0, NaN},
        {Agg::Var, four, NaN, NaN}, {Agg::NanStd, four, NaN, NaN},
        {Agg::Var, {5.0}, 0.0, 0.0}, {Agg::Var, {5.0}, 1.0, NaN}, {Agg::Ptp, {5.0}, 0.0, 0.0},
        // The NaN-free count decides the degrees of freedom: 2 values, ddof 1.
        {Agg::NanVar, gap, 1.0, 2.0}, {Agg::NanVar, {1.0, NaN, NaN}, 1.0, NaN},
        // The squares overflow and there is no fallback.
        {Agg::Var, {1e200, -1e200}, 0.0, NaN},
        {Agg::Mean, gap, 0, NaN}, {Agg::Sum, gap, 0, NaN}, {Agg::Max, gap, 0, NaN}, {Agg::Ptp, gap, 0, NaN},
        {Agg::Median, gap, 0, NaN}, {Agg::Prod, gap, 0, NaN}, {Agg::Argmax, gap, 0, 1.0}, {Agg::Argmin, gap, 0, 1.0},
        {Agg::NanMean, gap, 0, 2.0}, {Agg::NanMedian, gap, 0, 2.0}, {Agg::NanMax, gap, 0, 3.0},
        {Agg::NanMin, gap, 0, 1.0}, {Agg::NanProd, gap, 0, 3.0}, {Agg::Any, gap, 0, 1.0}, {Agg::All, gap, 0, 1.0},
        {Agg::NanMax, {NaN, INF, 1.0}, 0, INF}, {Agg::NanSum, {NaN, NaN}, 0, 0.0}, {Agg::NanProd, {NaN, NaN}, 0, 1.0},
        {Agg::NanMean, {NaN, NaN}, 0, NaN}, {Agg::NanMin, {NaN, NaN}, 0, NaN},
        // A NaN is not equal to 0.0; -0.0 is.
        {Agg::Any, {0.0, NaN}, 0, 1.0}, {Agg::All, {0.0, NaN}, 0, 0.0}, {Agg::All, {-0.0}, 0, 0.0},
        {Agg::Any, {-0.0, 0.0}, 0, 0.0},
        {Agg::Argmax, ties, 0, 1.0}, {Agg::Argmin, ties, 0, 3.0}, {Agg::Max, {0.0, -0.0}, 0, 0.0},
        {Agg::Max, {-0.0, 0.0}, 0, -0.0}, {Agg::NanMin, {NaN, -0.0, 0.0}, 0, -0.0},
        // Compensated: the plain sums give 0.0.
        {Agg::NanSum, cancel, 0, 1.0}, {Agg::Mean, {1e16, 1.0, -1e16}, 0, 1.0 / 3.0},
        // In index order: 1e200 * 1e200 overflows before the 1e-200.
        {Agg::Prod, {1e200, 1e200, 1e-200}, 0, INF},
        {Agg::NoAggregation, four, 0, NaN},
    };
    for (const Row& row : rows)
        EXPECT_TRUE(same(Agg::apply_with_ddof(Agg{row.k}, row.x, row.ddof), row.want)) << int(row.k) << " " << row.want;
}
