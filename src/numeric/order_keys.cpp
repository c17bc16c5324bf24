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

void ToKeys(const double* x, double* out, std::size_t n) {
    const hn::ScalableTag<double> d;
    const hn::RebindToUnsigned<decltype(d)> du;
    const auto rotation = hn::Set(du, TOTAL_ORDER_ROTATION);
    const std::size_t N = hn::Lanes(d);
    std::size_t i = 0;
    for (; i + N <= n; i += N) {
        const auto u = hn::BitCast(du, hn::LoadU(d, x + i));
        hn::StoreU(hn::BitCast(d, hn::Sub(FlipNegative(du, u), rotation)), d, out + i);
    }
    for (; i < n; ++i) out[i] = std::bit_cast<double>(total_order_key(x[i]));
}

void FromKeys(double* p, std::size_t n) {
    const hn::ScalableTag<double> d;
    const hn::RebindToUnsigned<decltype(d)> du;
    const auto rotation = hn::Set(du, TOTAL_ORDER_ROTATION);
    const std::size_t N = hn::Lanes(d);
    std::size_t i = 0;
    for (; i + N <= n; i += N) {
        const auto u = hn::Add(hn::BitCast(du, hn::LoadU(d, p + i)), rotation);
        hn::StoreU(hn::BitCast(d, FlipNegative(du, u)), d, p + i);
    }
    for (; i < n; ++i) p[i] = from_total_order_key(std::bit_cast<std::int64_t>(p[i]));
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
