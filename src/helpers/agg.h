// Named aggregations, selected by an exact, case-sensitive name ("f_agg").
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

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

    bool is_some() const { return kind != NoAggregation; }
};
