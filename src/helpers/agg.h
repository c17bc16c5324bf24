// Named aggregations, selected by an exact, case-sensitive name ("f_agg").
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

struct Agg;

// One data list aggregated several ways (say "mean" and "var" of the same
// changes): what the aggregations share, its compensated sum, the squared
// deviations from its mean and whether it holds a NaN, is computed once.
// The values are those of the defining routines, so an aggregation gives
// the same bits through a shared AggData as on the bare data.
class AggData {
public:
    explicit AggData(std::span<const double> data) : data_(data) {}

    std::span<const double> data() const { return data_; }
    // stats::sum of the data.
    double sum();
    // stats::squared_deviations from sum() / n.
    double squared_deviations();
    bool has_nan();
    // Makes what `agg` will read of a and b (their sums, their squared
    // deviations) for both at once, side by side, when they are as long.
    static void prepare_pair(AggData& a, AggData& b, Agg agg);

private:
    std::span<const double> data_;
    std::optional<double> sum_, squared_deviations_;
    std::optional<bool> has_nan_;
};

struct Agg {
    enum Kind : std::uint8_t {
        Mean, Median, Var, Std, Max, Min, Sum, Prod, Ptp, Any, All, Argmax, Argmin,
        NanMean, NanMedian, NanVar, NanStd, NanMax, NanMin, NanSum, NanProd,
        NoAggregation,
    };
    Kind kind = NoAggregation;

    // Any text that is not one of the 27 accepted names selects NoAggregation.
    static Agg parse(std::string_view name);
    // The aggregate of data; ddof matters only for the (Nan)Var and (Nan)Std
    // variants. NoAggregation gives NaN.
    static double apply_with_ddof(Agg agg, std::span<const double> data, double ddof);
    // The same, reading and filling what `data` shares.
    static double apply_with_ddof(Agg agg, AggData& data, double ddof);

    bool is_some() const { return kind != NoAggregation; }
};
