// The calculator dispatch: a catalogue name, one series and a list of
// parameter sets in; one value per set (or one value for a calculator
// without parameters) out, or nothing for a name that is not implemented.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "calculators/context.h"
#include "helpers/params.h"
#include "numeric/interrupt.h"

namespace calculators {

using helpers::Params;
using helpers::PVal;

using Series = std::span<const double>;
using ParamSets = std::span<const Params>;
using Values = std::vector<double>;

struct Entry;
// A name resolved once: null for a name that is not implemented.
using Calculator = const Entry*;

// Exact, case-sensitive lookup; reads only the bytes of the name.
Calculator resolve(std::string_view name);

// Runs a resolved calculator on the series of `context`, reading and filling
// its shared quantities. Never throws but for allocation failure.
Values run(Calculator calculator, SeriesContext& context, ParamSets params);

// resolve + run on a fresh context; an unrecognised name returns before
// reading x or params.
std::optional<Values> compute(std::string_view name, Series x, ParamSets params);

inline Values one(double value) { return Values{value}; }

// routine(context, set) for each set in order. A set can cost a pass over
// the series, and a call can hold thousands: a stop request ends the call
// between two sets (its values are then discarded). A lone set polls not at
// all, as a call's first poll only starts the owner's clock.
template <class Context, class Routine>
Values map_sets(ParamSets params, Routine&& routine, const Context& context) {
    Values out(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (i > 0 && interrupt::poll()) break;
        out[i] = routine(context, params[i]);
    }
    return out;
}

// A value per distinct key of a call's parameter sets, computed on the
// first set that asks for it: a list that repeats a set pays for it once.
template <class Key>
class Memo {
public:
    // compute() the first time `key` is asked, the kept value after.
    template <class Compute>
    double operator()(const Key& key, Compute&& compute) {
        auto [it, fresh] = done_.try_emplace(key, 0.0);
        if (fresh) it->second = compute();
        return it->second;
    }

private:
    std::map<Key, double> done_;
};

// The 76 catalogue names in ascending byte order.
extern const std::array<std::string_view, 76> CALCULATOR_NAMES;

}  // namespace calculators
