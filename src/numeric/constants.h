// Constants every layer shares, defined once.
#pragma once

#include <limits>

namespace numeric {

// The quiet NaN of "no answer" (sign bit clear).
inline constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
// Double machine epsilon, 2^-52 (2.220446049250313e-16).
inline constexpr double EPS = std::numeric_limits<double>::epsilon();

static_assert(EPS == 2.220446049250313e-16);

}  // namespace numeric
