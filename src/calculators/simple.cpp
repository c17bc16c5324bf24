// Simple statistics and locations: the scalar calculators over the values.
#include "calculators/registry.h"
#include "numeric/stats.h"

namespace calculators {

namespace {

double mean(Series x) { return stats::mean(x); }

constexpr Entry TABLE[] = {
    {"mean", scalar<mean>},
};

}  // namespace

constinit const std::span<const Entry> SIMPLE_ENTRIES{TABLE};

}  // namespace calculators
