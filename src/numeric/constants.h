// Constants every layer shares, defined once.
#pragma once

#include <limits>
#include <numbers>

namespace numeric {

// The quiet NaN of "no answer" (sign bit clear).
inline constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
// Double machine epsilon, 2^-52 (2.220446049250313e-16).
inline constexpr double EPS = std::numeric_limits<double>::epsilon();

// 2 pi: the double nearest pi, doubled (exactly).
inline constexpr double TWO_PI = 2.0 * std::numbers::pi;

static_assert(EPS == 2.220446049250313e-16);
static_assert(TWO_PI == 6.283185307179586);

}  // namespace numeric
