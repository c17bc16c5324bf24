// Parameter sets as the calculators see them, and the rules for reading a key.
//
// A `Params` is made once per Python dict by the module layer and is only
// ever read here, by key. Reading never fails: a missing key, another
// variant or an out-of-range number always yields a defined value.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

namespace helpers {

// One parameter value. The variant order is the tag order:
// Int, Float, Bool, Str, IntList, FloatList, None.
struct PVal {
    enum Tag : std::uint8_t { Int, Float, Bool, Str, IntList, FloatList, None };
    std::variant<std::int64_t, double, bool, std::string, std::vector<std::int64_t>,
                 std::vector<double>, std::monostate>
        v{std::monostate{}};

    Tag tag() const { return static_cast<Tag>(v.index()); }
};

// One parameter set: key -> value, looked up by exact, case-sensitive text.
//
// Calculators read a few keys of every set for every series of a batch, so
// lookups are kept cheap: the entries of a small set (a Python dict of a
// handful of keys) are scanned in place, comparing lengths first; a set with
// many keys also keeps a hash index.
class Params {
public:
    // Null when the key is absent.
    const PVal* find(std::string_view key) const {
        const std::size_t i = position(key);
        return i == NONE ? nullptr : &entries_[i].second;
    }
    // A later insertion under an equal key replaces the earlier value.
    void set(std::string key, PVal value);
    std::size_t size() const { return entries_.size(); }

    // List reading: an IntList converted element by element, a FloatList
    // copied, anything else (or a missing key) an empty list.
    std::vector<double> floats(std::string_view key) const;

private:
    struct KeyHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    // Sets of more keys than this are looked up through index_.
    static constexpr std::size_t SCAN = 8;
    static constexpr std::size_t NONE = static_cast<std::size_t>(-1);

    std::size_t position(std::string_view key) const {
        if (!index_.empty()) {
            const auto it = index_.find(key);
            return it == index_.end() ? NONE : it->second;
        }
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            const std::string& name = entries_[i].first;
            if (name.size() != key.size()) continue;
            // Keys are a few bytes: a byte loop beats a call to memcmp.
            std::size_t j = 0;
            while (j < key.size() && name[j] == key[j]) ++j;
            if (j == key.size()) return i;
        }
        return NONE;
    }

    std::vector<std::pair<std::string, PVal>> entries_;
    std::unordered_map<std::string, std::size_t, KeyHash, std::equal_to<>> index_;  // key -> position in entries_
};

// Truncation toward zero with saturation at both ends of the signed 64-bit
// range; NaN gives 0.
std::int64_t saturating_int(double v);

// Integer key: Int as is, Float truncated with saturation, anything else 0.
// Inline: calculators call it for every set of every row.
inline std::int64_t int_param(const Params& p, std::string_view key) {
    const PVal* v = p.find(key);
    if (!v) return 0;
    if (auto* i = std::get_if<std::int64_t>(&v->v)) return *i;
    if (auto* f = std::get_if<double>(&v->v)) return saturating_int(*f);
    return 0;
}
// The same with a negative value replaced by 0 (the common range rule).
inline std::uint64_t count_param(const Params& p, std::string_view key) {
    const std::int64_t i = int_param(p, key);
    return i < 0 ? 0 : static_cast<std::uint64_t>(i);
}
// Real key: Int converted, Float as is, Bool 1.0/0.0, anything else NaN.
double real_param(const Params& p, std::string_view key);
// Real key whose absence means 0.0 (a present non-number is still NaN).
double real_param_or_zero(const Params& p, std::string_view key);
// Boolean key: a Bool's value, an Int that is not 0; anything else false.
bool bool_param(const Params& p, std::string_view key);
// Text key: only a Str counts; anything else reads as the empty text.
inline std::string_view text_param(const Params& p, std::string_view key) {
    const PVal* v = p.find(key);
    if (!v) return {};
    if (auto* s = std::get_if<std::string>(&v->v)) return *s;
    return {};
}

}  // namespace helpers
