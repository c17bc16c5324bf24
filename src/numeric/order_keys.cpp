// Compiled once per target by Highway's foreach_target; the running
// machine's best target is used. Lanes are independent: bit for bit the
// scalar keys.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "numeric/order_keys.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <bit>
#include <cstddef>
#include <cstdint>

#include "numeric/order_keys.h"
#include "numeric/stats.h"

HWY_BEFORE_NAMESPACE();
namespace stats::detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Flips every bit but the sign of a lane whose sign is set.
template <class DU, class V>
V FlipNegative(DU du, V u) {
    const hn::RebindToSigned<DU> di;
    const auto sign = hn::BitCast(du, hn::ShiftRight<63>(hn::BitCast(di, u)));  // all ones when negative
    return hn::Xor(u, hn::ShiftRight<1>(sign));
}

// dst[i] = the lanes of src through `lanes` (as unsigned bits), whole
// vectors at a time, and through `one` for the tail; dst may be src.
template <class Lanes, class One>
void MapBits(const double* src, double* dst, std::size_t n, Lanes lanes, One one) {
    const hn::ScalableTag<double> d;
    const hn::RebindToUnsigned<decltype(d)> du;
    const std::size_t N = hn::Lanes(d);
    std::size_t i = 0;
    for (; i + N <= n; i += N) hn::StoreU(hn::BitCast(d, lanes(du, hn::BitCast(du, hn::LoadU(d, src + i)))), d, dst + i);
    for (; i < n; ++i) dst[i] = one(src[i]);
}

void ToKeys(const double* x, double* out, std::size_t n) {
    MapBits(
        x, out, n,
        [](auto du, auto u) HWY_ATTR { return hn::Sub(FlipNegative(du, u), hn::Set(du, TOTAL_ORDER_ROTATION)); },
        [](double v) { return std::bit_cast<double>(total_order_key(v)); });
}

void FromKeys(double* p, std::size_t n) {
    MapBits(
        p, p, n, [](auto du, auto u) HWY_ATTR { return FlipNegative(du, hn::Add(u, hn::Set(du, TOTAL_ORDER_ROTATION))); },
        [](double k) { return from_total_order_key(std::bit_cast<std::int64_t>(k)); });
}

}  // namespace HWY_NAMESPACE
}  // namespace stats::detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace stats::detail {

HWY_EXPORT(ToKeys);
HWY_EXPORT(FromKeys);

void to_order_keys(const double* x, double* out, std::size_t n) { HWY_DYNAMIC_DISPATCH(ToKeys)(x, out, n); }
void from_order_keys(double* p, std::size_t n) { HWY_DYNAMIC_DISPATCH(FromKeys)(p, n); }

}  // namespace stats::detail
#endif
