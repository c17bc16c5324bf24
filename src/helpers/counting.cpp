// Counts in SIMD lanes (Highway's dynamic dispatch: this file is compiled
// once per target and the running machine's best target is used). Counts
// are exact whatever the lane order.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "helpers/counting.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cmath>
#include <cstddef>
#include <cstdint>

HWY_BEFORE_NAMESPACE();
namespace helpers {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The number of i in [first, n) for which test(d, i) holds, a vector of
// positions at a time; the positions past the last whole vector go to
// `scalar(i)`.
template <class Test, class Scalar>
std::uint64_t CountWhere(std::size_t first, std::size_t n, Test test, Scalar scalar) {
    const hn::ScalableTag<double> d;
    const std::size_t N = hn::Lanes(d);
    std::uint64_t c = 0;
    std::size_t i = first;
    for (; i + N <= n; i += N) c += hn::CountTrue(d, test(d, i));
    for (; i < n; ++i) c += scalar(i) ? 1 : 0;
    return c;
}

#define SELQUOR_COUNT_BY(NAME, OP, SCALAR_OP)                                                         \
    std::uint64_t NAME(const double* x, std::size_t n, double t) {                                   \
        return CountWhere(                                                                           \
            0, n, [&](auto d, std::size_t i) { return hn::OP(hn::LoadU(d, x + i), hn::Set(d, t)); }, \
            [&](std::size_t i) { return x[i] SCALAR_OP t; });                                        \
    }

SELQUOR_COUNT_BY(AtLeast, Ge, >=)
SELQUOR_COUNT_BY(AtMost, Le, <=)
SELQUOR_COUNT_BY(Above, Gt, >)
SELQUOR_COUNT_BY(Below, Lt, <)
SELQUOR_COUNT_BY(Equal, Eq, ==)
#undef SELQUOR_COUNT_BY

std::uint64_t Nans(const double* x, std::size_t n) {
    return CountWhere(
        0, n, [&](auto d, std::size_t i) { return hn::IsNaN(hn::LoadU(d, x + i)); },
        [&](std::size_t i) { return std::isnan(x[i]); });
}

std::uint64_t InRange(const double* x, std::size_t n, double lo, double hi) {
    return CountWhere(
        0, n,
        [&](auto d, std::size_t i) {
            const auto v = hn::LoadU(d, x + i);
            return hn::And(hn::Le(hn::Set(d, lo), v), hn::Lt(v, hn::Set(d, hi)));
        },
        [&](std::size_t i) { return lo <= x[i] && x[i] < hi; });
}

std::uint64_t Far(const double* x, std::size_t n, double m, double limit) {
    return CountWhere(
        0, n,
        [&](auto d, std::size_t i) {
            return hn::Gt(hn::Abs(hn::Sub(hn::LoadU(d, x + i), hn::Set(d, m))), hn::Set(d, limit));
        },
        [&](std::size_t i) { return std::abs(x[i] - m) > limit; });
}

std::uint64_t SideChanges(const double* x, std::size_t n, double m) {
    return CountWhere(
        1, n,
        [&](auto d, std::size_t i) {
            const auto level = hn::Set(d, m);
            return hn::Xor(hn::Gt(hn::LoadU(d, x + i), level), hn::Gt(hn::LoadU(d, x + i - 1), level));
        },
        [&](std::size_t i) { return (x[i] > m) != (x[i - 1] > m); });
}

std::size_t ChangesWithin(const double* x, std::size_t n, double lo, double hi, double* changes,
                          double* magnitudes) {
    const hn::ScalableTag<double> d;
    const std::size_t N = hn::Lanes(d);
    const auto vlo = hn::Set(d, lo), vhi = hn::Set(d, hi);
    std::size_t kept = 0, i = 1;
    for (; i + N <= n; i += N) {
        const auto a = hn::LoadU(d, x + i - 1), b = hn::LoadU(d, x + i);
        const auto in = hn::And(hn::And(hn::Le(vlo, a), hn::Le(a, vhi)), hn::And(hn::Le(vlo, b), hn::Le(b, vhi)));
        const auto change = hn::Sub(b, a);
        hn::CompressBlendedStore(hn::Abs(change), in, d, magnitudes + kept);
        kept += hn::CompressBlendedStore(change, in, d, changes + kept);
    }
    for (; i < n; ++i) {
        if (lo <= x[i - 1] && x[i - 1] <= hi && lo <= x[i] && x[i] <= hi) {
            changes[kept] = x[i] - x[i - 1];
            magnitudes[kept] = std::abs(changes[kept]);
            ++kept;
        }
    }
    return kept;
}

}  // namespace HWY_NAMESPACE
}  // namespace helpers
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include "helpers/counting.h"

namespace helpers {

HWY_EXPORT(AtLeast);
HWY_EXPORT(AtMost);
HWY_EXPORT(Above);
HWY_EXPORT(Below);
HWY_EXPORT(Equal);
HWY_EXPORT(Nans);
HWY_EXPORT(InRange);
HWY_EXPORT(Far);
HWY_EXPORT(SideChanges);
HWY_EXPORT(ChangesWithin);

std::uint64_t count_at_least(Samples x, double t) { return HWY_DYNAMIC_DISPATCH(AtLeast)(x.data(), x.size(), t); }
std::uint64_t count_at_most(Samples x, double t) { return HWY_DYNAMIC_DISPATCH(AtMost)(x.data(), x.size(), t); }
std::uint64_t count_above(Samples x, double t) { return HWY_DYNAMIC_DISPATCH(Above)(x.data(), x.size(), t); }
std::uint64_t count_below(Samples x, double t) { return HWY_DYNAMIC_DISPATCH(Below)(x.data(), x.size(), t); }
std::uint64_t count_equal(Samples x, double t) { return HWY_DYNAMIC_DISPATCH(Equal)(x.data(), x.size(), t); }
std::uint64_t count_nan(Samples x) { return HWY_DYNAMIC_DISPATCH(Nans)(x.data(), x.size()); }
std::uint64_t count_in_range(Samples x, double lo, double hi) {
    return HWY_DYNAMIC_DISPATCH(InRange)(x.data(), x.size(), lo, hi);
}
std::uint64_t count_far(Samples x, double m, double limit) {
    return HWY_DYNAMIC_DISPATCH(Far)(x.data(), x.size(), m, limit);
}
std::uint64_t count_side_changes(Samples x, double m) {
    return x.size() < 2 ? 0 : HWY_DYNAMIC_DISPATCH(SideChanges)(x.data(), x.size(), m);
}

std::size_t changes_within(Samples x, double lo, double hi, double* changes, double* magnitudes) {
    if (x.size() < 2) return 0;
    return HWY_DYNAMIC_DISPATCH(ChangesWithin)(x.data(), x.size(), lo, hi, changes, magnitudes);
}

}  // namespace helpers

#endif  // HWY_ONCE
