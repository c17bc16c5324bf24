// Elementary statistics over a borrowed, read-only series of doubles.
//
// Every routine is pure, never throws and reports an undefined value as NaN
// (or, for the index routines, as no index). The NaN, tie and empty-input
// rules stated in the parts below are relied on by the calculators, which
// repeat none of them.
#pragma once

#include "numeric/extremes.h"     // IWYU pragma: export
#include "numeric/linregress.h"   // IWYU pragma: export
#include "numeric/moments.h"      // IWYU pragma: export
#include "numeric/order_stats.h"  // IWYU pragma: export
