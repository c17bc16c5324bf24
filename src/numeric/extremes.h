// Extremes of a series and their positions, by lane-parallel block scans
// that answer exactly as the defining sequential scan.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

namespace stats {

using Series = std::span<const double>;

// Extremes; the first NaN met wins and ties keep the earlier element
// (so max of [-0.0, 0.0] is -0.0). NaN when empty.
double max(Series x);
double min(Series x);
// `max` of the absolute values (sign bits cleared, so a NaN stays NaN),
// without a scratch copy.
double max_abs(Series x);
// Position of the first extreme or of the first NaN; none when empty.
std::optional<std::size_t> argmax(Series x);
std::optional<std::size_t> argmin(Series x);
// The same scan from the end: the position of the last extreme or of the
// last NaN (argmax of the reversed series is n - 1 minus this).
std::optional<std::size_t> last_argmax(Series x);
std::optional<std::size_t> last_argmin(Series x);

}  // namespace stats
