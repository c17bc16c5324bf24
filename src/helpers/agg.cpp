#include "helpers/agg.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "numeric/constants.h"
#include "numeric/stats.h"

namespace {

using numeric::NaN;

struct Name {
    std::string_view text;
    Agg::Kind kind;
};

// The accepted names grouped by length; no name has 5 or 8 bytes.
constexpr Name NAMES_3[] = {{"var", Agg::Var}, {"std", Agg::Std}, {"max", Agg::Max}, {"min", Agg::Min},
                            {"sum", Agg::Sum}, {"ptp", Agg::Ptp}, {"any", Agg::Any}, {"all", Agg::All}};
constexpr Name NAMES_4[] = {{"mean", Agg::Mean}, {"amax", Agg::Max}, {"amin", Agg::Min}, {"prod", Agg::Prod}};
constexpr Name NAMES_6[] = {{"median", Agg::Median}, {"argmax", Agg::Argmax}, {"argmin", Agg::Argmin},
                            {"nanvar", Agg::NanVar}, {"nanstd", Agg::NanStd}, {"nanmax", Agg::NanMax},
                            {"nanmin", Agg::NanMin}, {"nansum", Agg::NanSum}};
constexpr Name NAMES_7[] = {{"average", Agg::Mean},    {"maximum", Agg::Max},    {"minimum", Agg::Min},
                            {"product", Agg::Prod},    {"nanmean", Agg::NanMean}, {"nanprod", Agg::NanProd}};
constexpr Name NAMES_9[] = {{"nanmedian", Agg::NanMedian}};

template <std::size_t N>
Agg::Kind lookup(const Name (&names)[N], std::string_view text) {
    for (const Name& name : names)
        if (std::memcmp(name.text.data(), text.data(), text.size()) == 0) return name.kind;
    return Agg::NoAggregation;
}

// The plain variant a Nan-variant applies to the NaN-free values.
Agg::Kind plain_twin(Agg::Kind k) {
    switch (k) {
        case Agg::NanMean: return Agg::Mean;
        case Agg::NanMedian: return Agg::Median;
        case Agg::NanVar: return Agg::Var;
        case Agg::NanStd: return Agg::Std;
        case Agg::NanMax: return Agg::Max;
        case Agg::NanMin: return Agg::Min;
        case Agg::NanSum: return Agg::Sum;
        case Agg::NanProd: return Agg::Prod;
        default: return k;
    }
}

double variance(AggData& data, double ddof) {
    const double n = static_cast<double>(data.data().size());
    const double d = n - ddof;
    // No degrees of freedom left (a NaN ddof goes on and gives NaN).
    if (d <= 0.0) return NaN;
    return data.squared_deviations() / d;
}

// A plain (non-Nan) variant on data of any length.
double apply_plain(Agg::Kind k, AggData& shared, double ddof) {
    const std::span<const double> data = shared.data();
    // Nothing to aggregate: the empty sum and product, "any" false, "all" true.
    if (data.empty()) {
        switch (k) {
            case Agg::Sum: case Agg::Any: return 0.0;
            case Agg::Prod: case Agg::All: return 1.0;
            default: return NaN;
        }
    }
    switch (k) {
        // stats::mean, its sum shared.
        case Agg::Mean: return shared.sum() / static_cast<double>(data.size());
        case Agg::Median: return stats::quantile(data, 0.5);
        case Agg::Var: return variance(shared, ddof);
        case Agg::Std: return std::sqrt(variance(shared, ddof));
        case Agg::Max: return stats::max(data);
        case Agg::Min: return stats::min(data);
        case Agg::Sum: return shared.sum();
        case Agg::Prod: {
            double p = 1.0;
            for (double v : data) p *= v;
            return p;
        }
        case Agg::Ptp: return stats::max(data) - stats::min(data);
        case Agg::Any:
            // A NaN is not equal to 0.0.
            for (double v : data)
                if (v != 0.0) return 1.0;
            return 0.0;
        case Agg::All:
            // -0.0 equals 0.0; a NaN does not.
            for (double v : data)
                if (v == 0.0) return 0.0;
            return 1.0;
        case Agg::Argmax: return static_cast<double>(*stats::argmax(data));
        case Agg::Argmin: return static_cast<double>(*stats::argmin(data));
        default: return NaN;
    }
}

}  // namespace

Agg Agg::parse(std::string_view name) {
    switch (name.size()) {
        case 3: return {lookup(NAMES_3, name)};
        case 4: return {lookup(NAMES_4, name)};
        case 6: return {lookup(NAMES_6, name)};
        case 7: return {lookup(NAMES_7, name)};
        case 9: return {lookup(NAMES_9, name)};
        default: return {NoAggregation};
    }
}

double AggData::sum() {
    if (!sum_) sum_ = stats::sum(data_);
    return *sum_;
}

double AggData::squared_deviations() {
    if (!squared_deviations_)
        squared_deviations_ = stats::squared_deviations(data_, sum() / static_cast<double>(data_.size()));
    return *squared_deviations_;
}

bool AggData::has_nan() {
    if (!has_nan_) has_nan_ = std::any_of(data_.begin(), data_.end(), [](double v) { return std::isnan(v); });
    return *has_nan_;
}

void AggData::prepare_pair(AggData& a, AggData& b, Agg agg) {
    // What the variant, or the plain twin of a Nan-variant, reads.
    const Agg::Kind k = plain_twin(agg.kind);
    const bool sums = k == Agg::Mean || k == Agg::Var || k == Agg::Std || k == Agg::Sum;
    const bool deviations = k == Agg::Var || k == Agg::Std;
    const std::size_t n = a.data_.size();
    if (!sums || n == 0 || b.data_.size() != n) return;
    if (!a.sum_ || !b.sum_) {
        const auto s = stats::sum_pair(a.data_, b.data_);
        a.sum_ = s[0];
        b.sum_ = s[1];
    }
    if (deviations && (!a.squared_deviations_ || !b.squared_deviations_)) {
        const double nd = static_cast<double>(n);
        const auto q = stats::squared_deviations_pair(a.data_, *a.sum_ / nd, b.data_, *b.sum_ / nd);
        a.squared_deviations_ = q[0];
        b.squared_deviations_ = q[1];
    }
}

double Agg::apply_with_ddof(Agg agg, std::span<const double> data, double ddof) {
    AggData shared(data);
    return apply_with_ddof(agg, shared, ddof);
}

double Agg::apply_with_ddof(Agg agg, AggData& data, double ddof) {
    const Kind twin = plain_twin(agg.kind);
    if (twin == agg.kind) return apply_plain(agg.kind, data, ddof);
    // A Nan-variant: its twin on the values that are not NaN, in order. Data
    // without NaN needs no copy.
    if (!data.has_nan()) return apply_plain(twin, data, ddof);
    std::vector<double> kept;
    kept.reserve(data.data().size());
    for (double v : data.data())
        if (!std::isnan(v)) kept.push_back(v);
    AggData shared(kept);
    return apply_plain(twin, shared, ddof);
}
