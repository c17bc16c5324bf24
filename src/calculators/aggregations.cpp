// `__supports_f_agg`: whether an "f_agg" text names an aggregation, asked
// through the same plan machinery as any calculator.
#include "calculators/registry.h"
#include "helpers/agg.h"

namespace calculators {

namespace {

double supports_f_agg(const Series&, const Params& set) {
    return Agg::parse(helpers::text_param(set, "f_agg")).is_some() ? 1.0 : 0.0;
}

Values supports_f_agg_sets(Series x, ParamSets params) { return map_sets(params, supports_f_agg, x); }

constexpr Entry TABLE[] = {
    {"__supports_f_agg", supports_f_agg_sets},
};

}  // namespace

constinit const std::span<const Entry> AGG_ENTRIES{TABLE};

}  // namespace calculators
