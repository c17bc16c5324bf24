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
#include "numeric/regression_detail.h"

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
//
// The information criteria first rank the candidates by residual sums of
// squares from the normal equations (one cheap pass, with a bound on their
// error); when that leaves a single candidate that can be the first
// minimum, it is the one the exact fits would choose, and they are not run.
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
    // Residual sums of squares of every candidate from the normal equations
    // of the widest one, each with a bound on its distance from the exact
    // fit's ssr; nothing when the design is too ill-conditioned to bound.
    struct Screen {
        std::vector<double> ssr, err;
        // For refining a few candidates: the Cholesky factor of the scaled
        // G (row-major, lower), z, the column scales, the bound's terms, and
        // the refined ssr of each candidate asked for so far.
        std::vector<double> l, z, scale;
        double kappa, yy, chain;
        mutable std::map<std::size_t, double> refined;
    };
    double refined_ssr(const Screen& sc, std::size_t j) const;
    const std::vector<std::optional<Candidate>>& candidates();
    const std::optional<Screen>& screen();
    std::optional<std::size_t> screened_lag(bool bic);
    AdfResult final_fit(std::size_t lag);

    std::span<const double> x_;
    bool testable_ = false;
    std::vector<double> dx_;
    std::size_t maxlag_ = 0;
    std::optional<std::vector<std::optional<Candidate>>> candidates_;
    std::optional<std::optional<Screen>> screen_;
    std::map<std::size_t, AdfResult> finals_;
    // One set of working arrays for the search and the final fits.
    detail::FactorScratch scratch_;
};

AdfResult adfuller(std::span<const double> x, std::string_view autolag);

// MacKinnon's approximate p-value of a statistic (one variable, constant):
// 1.0 above 2.74, 0.0 below -18.83, otherwise the normal distribution
// function at a quadratic (t <= -1.61) or cubic polynomial in t.
double mackinnon_pvalue(double t);

}  // namespace regression
