#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "calculators/calculators.h"
#include "helpers/agg.h"

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

double apply(Agg::Kind k, const std::vector<double>& data, double ddof = 0.0) {
    return Agg::apply_with_ddof(Agg{k}, data, ddof);
}

const Agg::Kind ALL_KINDS[] = {
    Agg::Mean,    Agg::Median,    Agg::Var,    Agg::Std,    Agg::Max,    Agg::Min,    Agg::Sum,    Agg::Prod,
    Agg::Ptp,     Agg::Any,       Agg::All,    Agg::Argmax, Agg::Argmin, Agg::NanMean, Agg::NanMedian,
    Agg::NanVar,  Agg::NanStd,    Agg::NanMax, Agg::NanMin, Agg::NanSum, Agg::NanProd, Agg::NoAggregation,
};

}  // namespace

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
    static_assert(std::size(names) == 27);
    for (const auto& [name, kind] : names) EXPECT_EQ(Agg::parse(name).kind, kind) << name;
}

TEST(AggParse, AnyOtherTextSelectsNothing) {
    for (const char* text : {"", "m", "Mean", "MEAN", "mean ", " mean", "avg", "nanmedia", "nanmedians", "maxi",
                             "ptq", "nan", "standard", "amean"})
        EXPECT_FALSE(Agg::parse(text).is_some()) << '"' << text << '"';
    // An embedded NUL is a byte like any other.
    EXPECT_FALSE(Agg::parse(std::string_view("max\0", 4)).is_some());
    EXPECT_FALSE(Agg::parse(std::string_view("me\0n", 4)).is_some());
}

TEST(AggApply, EmptyDataHasFixedResultsWhateverTheDdof) {
    for (double ddof : {0.0, 1.0, -3.0, NaN}) {
        for (Agg::Kind k : ALL_KINDS) {
            const double r = apply(k, {}, ddof);
            if (k == Agg::Sum || k == Agg::NanSum || k == Agg::Any)
                EXPECT_EQ(r, 0.0) << int(k);
            else if (k == Agg::Prod || k == Agg::NanProd || k == Agg::All)
                EXPECT_EQ(r, 1.0) << int(k);
            else
                EXPECT_TRUE(std::isnan(r)) << int(k);
        }
    }
}

TEST(AggApply, VarianceUsesTheDeltaDegreesOfFreedom) {
    const std::vector<double> x{1.0, 2.0, 3.0, 4.0};
    EXPECT_EQ(apply(Agg::Var, x, 0.0), 1.25);
    EXPECT_EQ(apply(Agg::Std, x, 0.0), std::sqrt(1.25));
    EXPECT_EQ(apply(Agg::Var, x, 1.0), 5.0 / 3.0);
    EXPECT_EQ(apply(Agg::Var, x, -1.0), 1.0);
    EXPECT_TRUE(std::isnan(apply(Agg::Var, x, 4.0)));
    EXPECT_TRUE(std::isnan(apply(Agg::Std, x, 5.0)));
    EXPECT_TRUE(std::isnan(apply(Agg::Var, x, NaN)));
    EXPECT_TRUE(std::isnan(apply(Agg::NanStd, x, NaN)));
    EXPECT_EQ(apply(Agg::Var, {5.0}, 0.0), 0.0);
    EXPECT_TRUE(std::isnan(apply(Agg::Var, {5.0}, 1.0)));
    // The NaN-free count decides the degrees of freedom: 2 values, ddof 1.
    EXPECT_EQ(apply(Agg::NanVar, {1.0, NaN, 3.0}, 1.0), 2.0);
    EXPECT_TRUE(std::isnan(apply(Agg::NanVar, {1.0, NaN, NaN}, 1.0)));
    // No fallback for overflowing squares.
    EXPECT_TRUE(std::isnan(apply(Agg::Var, {1e200, -1e200}, 0.0)));
}

TEST(AggApply, NaNPropagatesInPlainVariantsAndIsDroppedByNanVariants) {
    const std::vector<double> x{1.0, NaN, 3.0};
    for (Agg::Kind k : {Agg::Mean, Agg::Sum, Agg::Max, Agg::Min, Agg::Ptp, Agg::Median, Agg::Var, Agg::Prod})
        EXPECT_TRUE(std::isnan(apply(k, x))) << int(k);
    EXPECT_EQ(apply(Agg::Argmax, x), 1.0);
    EXPECT_EQ(apply(Agg::Argmin, x), 1.0);
    EXPECT_EQ(apply(Agg::NanMean, x), 2.0);
    EXPECT_EQ(apply(Agg::NanSum, x), 4.0);
    EXPECT_EQ(apply(Agg::NanMax, x), 3.0);
    EXPECT_EQ(apply(Agg::NanMin, x), 1.0);
    EXPECT_EQ(apply(Agg::NanMedian, x), 2.0);
    EXPECT_EQ(apply(Agg::NanProd, x), 3.0);
    EXPECT_EQ(apply(Agg::Any, x), 1.0);
    EXPECT_EQ(apply(Agg::All, x), 1.0);
    // Infinities are not NaN and stay.
    EXPECT_EQ(apply(Agg::NanMax, {NaN, INF, 1.0}), INF);
    EXPECT_EQ(apply(Agg::NanSum, {NaN, NaN}), 0.0);
    EXPECT_EQ(apply(Agg::NanProd, {NaN, NaN}), 1.0);
    for (Agg::Kind k : {Agg::NanMean, Agg::NanMedian, Agg::NanVar, Agg::NanStd, Agg::NanMax, Agg::NanMin})
        EXPECT_TRUE(std::isnan(apply(k, {NaN, NaN}))) << int(k);
}

TEST(AggApply, AnyAndAllCompareWithZero) {
    EXPECT_EQ(apply(Agg::Any, {0.0, NaN}), 1.0);
    EXPECT_EQ(apply(Agg::All, {0.0, NaN}), 0.0);
    EXPECT_EQ(apply(Agg::All, {-0.0}), 0.0);
    EXPECT_EQ(apply(Agg::Any, {-0.0}), 0.0);
    EXPECT_EQ(apply(Agg::Any, {0.0, -0.0, 0.0}), 0.0);
    EXPECT_EQ(apply(Agg::All, {2.0, -1.0}), 1.0);
}

TEST(AggApply, FirstExtremesAndSignedZeros) {
    EXPECT_EQ(apply(Agg::Argmax, {2.0, 7.0, 7.0, 1.0}), 1.0);
    EXPECT_EQ(apply(Agg::Argmin, {2.0, 7.0, 7.0, 1.0}), 3.0);
    EXPECT_EQ(apply(Agg::Argmax, {5.0}), 0.0);
    EXPECT_EQ(apply(Agg::Ptp, {5.0}), 0.0);
    EXPECT_FALSE(std::signbit(apply(Agg::Max, {0.0, -0.0})));
    EXPECT_TRUE(std::signbit(apply(Agg::Max, {-0.0, 0.0})));
    EXPECT_TRUE(std::signbit(apply(Agg::NanMin, {NaN, -0.0, 0.0})));
}

TEST(AggApply, MeanAndSumAreCompensated) {
    EXPECT_EQ(apply(Agg::Sum, {1e16, 1.0, -1e16}), 1.0);
    EXPECT_EQ(apply(Agg::Mean, {1e16, 1.0, -1e16}), 1.0 / 3.0);
    EXPECT_EQ(apply(Agg::NanSum, {1e16, NaN, 1.0, -1e16}), 1.0);
    // Product in index order: 1e200 * 1e200 overflows before the 1e-200.
    EXPECT_EQ(apply(Agg::Prod, {1e200, 1e200, 1e-200}), INF);
    EXPECT_EQ(apply(Agg::Median, {4.0, 1.0, 3.0, 2.0}), 2.5);
}

TEST(AggApply, NoAggregationIsNaN) {
    EXPECT_TRUE(std::isnan(apply(Agg::NoAggregation, {1.0, 2.0})));
    EXPECT_TRUE(std::isnan(Agg::apply_with_ddof(Agg::parse("Mean"), std::vector<double>{1.0}, 0.0)));
}

TEST(SupportsFAgg, OneValuePerSetByName) {
    auto set = [](PVal v) {
        Params p;
        p.set("f_agg", std::move(v));
        return p;
    };
    const std::vector<Params> sets{set(PVal{std::string("nanmedian")}), set(PVal{std::string("average")}),
                                   set(PVal{std::string("Mean")}),      set(PVal{std::string("")}),
                                   set(PVal{std::int64_t{5}}),          Params{},
                                   set(PVal{std::string("mean")})};
    const std::vector<double> x{1.0, 2.0};
    EXPECT_EQ(calculators::compute("__supports_f_agg", x, sets),
              (std::vector<double>{1.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0}));
    EXPECT_EQ(calculators::compute("__supports_f_agg", x, {}), std::vector<double>{});
}
