// The augmented Dickey-Fuller unit-root test: the first differences of a
// series regressed on a constant, the lagged level and some lagged
// differences, the number of lags chosen by an information criterion, by
// significance or fixed at its bound.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "numeric/regression.h"

namespace regression {

struct AdfResult {
    double teststat;  // t value of the lagged level in the final regression
    double pvalue;    // MacKinnon's approximation for a constant, no trend
    double usedlag;   // lagged differences in the final regression
};

// The test on one series, keeping what the lag-selection modes share: the
// differences and the lag bound, the candidate fits of the lag search (one
// factorisation serves them all, and "aic", "bic" and "t-stat" all read the
// same fits) and the final fit of every used lag. Every result is exactly
// what adfuller gives for the same mode.
class AdfTest {
public:
    explicit AdfTest(std::span<const double> x);

    // The mode text is matched after ASCII lower-casing: "aic", "bic",
    // "t-stat", "none" or the empty text (no search); any other text, fewer
    // than 4 samples, a constant series or a NaN or infinity anywhere give
    // all NaN.
    AdfResult run(std::string_view autolag);

private:
    // ssr, nobs, rank and the last t value of the fit with j lags, or
    // nothing when that fit failed.
    struct Candidate {
        double ssr, nobs, rank, last_t;
    };
    const std::vector<std::optional<Candidate>>& candidates();
    AdfResult final_fit(std::size_t lag);

    std::span<const double> x_;
    bool testable_ = false;
    std::vector<double> dx_;
    std::size_t maxlag_ = 0;
    std::optional<std::vector<std::optional<Candidate>>> candidates_;
    std::map<std::size_t, AdfResult> finals_;
};

AdfResult adfuller(std::span<const double> x, std::string_view autolag);

// MacKinnon's approximate p-value of a statistic (one variable, constant):
// 1.0 above 2.74, 0.0 below -18.83, otherwise the normal distribution
// function at a quadratic (t <= -1.61) or cubic polynomial in t.
double mackinnon_pvalue(double t);

}  // namespace regression
