// What the trend calculators share with the module's time-axis trend: the
// field of a line that "attr" names, and the unit-root test's "autolag" key.
#pragma once

#include <string>
#include <string_view>

#include "helpers/params.h"
#include "numeric/linregress.h"

namespace calculators {

// The field of a line that "attr" names (slope, intercept, rvalue, pvalue,
// stderr); NaN for any other text.
double line_field(const stats::LinregressResult& r, std::string_view attr);

// The "autolag" key of augmented_dickey_fuller: a Str's text unchanged, the
// text "None" for a None value, and "AIC" when the key is missing or holds
// any other variant.
std::string adf_autolag_key(const helpers::Params& p);

}  // namespace calculators
