#include "helpers/params.h"

#include <cmath>
#include <limits>

#include "numeric/constants.h"

namespace helpers {

void Params::set(std::string key, PVal value) {
    if (const std::size_t i = position(key); i != NONE) {
        entries_[i].second = std::move(value);
        return;
    }
    entries_.emplace_back(std::move(key), std::move(value));
    if (entries_.size() > SCAN) {
        if (index_.empty())
            for (std::size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].first, i);
        else
            index_.emplace(entries_.back().first, entries_.size() - 1);
    }
}

std::vector<double> Params::floats(std::string_view key) const {
    const PVal* v = find(key);
    if (!v) return {};
    if (auto* ints = std::get_if<std::vector<std::int64_t>>(&v->v)) {
        std::vector<double> out;
        out.reserve(ints->size());
        for (std::int64_t i : *ints) out.push_back(static_cast<double>(i));
        return out;
    }
    if (auto* reals = std::get_if<std::vector<double>>(&v->v)) return *reals;
    return {};
}

std::int64_t saturating_int(double v) {
    if (std::isnan(v)) return 0;
    // 9223372036854774784.0 is the largest double below 2^63.
    if (v > 9223372036854774784.0) return std::numeric_limits<std::int64_t>::max();
    if (v < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(v);
}

double real_param(const Params& p, std::string_view key) {
    const PVal* v = p.find(key);
    if (!v) return numeric::NaN;
    switch (v->tag()) {
        case PVal::Int: return static_cast<double>(std::get<std::int64_t>(v->v));
        case PVal::Float: return std::get<double>(v->v);
        case PVal::Bool: return std::get<bool>(v->v) ? 1.0 : 0.0;
        default: return numeric::NaN;
    }
}

double real_param_or_zero(const Params& p, std::string_view key) {
    return p.find(key) ? real_param(p, key) : 0.0;
}

bool bool_param(const Params& p, std::string_view key) {
    const PVal* v = p.find(key);
    if (!v) return false;
    if (auto* b = std::get_if<bool>(&v->v)) return *b;
    if (auto* i = std::get_if<std::int64_t>(&v->v)) return *i != 0;
    return false;
}

}  // namespace helpers
