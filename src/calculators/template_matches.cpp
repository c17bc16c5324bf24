// The sweep is bit-parallel: a diagonal's comparisons become a bitset (SIMD
// lanes over consecutive positions, chosen for the running machine), the
// windows of k consecutive matches are ands of shifted bitsets, and the
// per-template counts live in bit-sliced counters. Only integers are summed,
// so no order of a floating-point sum is at stake.
#include "calculators/template_matches.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "calculators/template_matches.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace calculators {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Bit s of out (s < len) says |x[s] - y[s]| <= tol; the bits past len in the
// last word are 0.
void MatchBits(const double* x, const double* y, std::size_t len, double tol, std::uint64_t* out) {
    const hn::ScalableTag<double> d;
    const std::size_t lanes = hn::Lanes(d);  // divides 64
    const auto vtol = hn::Set(d, tol);
    std::size_t s = 0, w = 0;
    for (; s + 64 <= len; s += 64, ++w) {
        std::uint64_t word = 0;
        for (std::size_t j = 0; j < 64; j += lanes) {
            const auto dist = hn::Abs(hn::Sub(hn::LoadU(d, x + s + j), hn::LoadU(d, y + s + j)));
            std::uint8_t bits[8] = {};
            hn::StoreMaskBits(d, hn::Le(dist, vtol), bits);
            word |= static_cast<std::uint64_t>(bits[0]) << j;
        }
        out[w] = word;
    }
    if (s < len) {
        std::uint64_t word = 0;
        for (std::size_t j = 0; s + j < len; ++j)
            word |= static_cast<std::uint64_t>(std::fabs(x[s + j] - y[s + j]) <= tol) << j;
        out[w] = word;
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace calculators
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace calculators {

HWY_EXPORT(MatchBits);

namespace {

using Word = std::uint64_t;

std::size_t words_for(std::size_t bits) { return (bits + 63) / 64; }

// dst = a & (b >> t) over nw words, b read as zero past its nw words. dst may
// be a, not b.
void and_shifted(Word* dst, const Word* a, const Word* b, std::size_t t, std::size_t nw) {
    const std::size_t q = t / 64, r = t % 64;
    for (std::size_t i = 0; i < nw; ++i) {
        const Word lo = i + q < nw ? b[i + q] : 0;
        const Word hi = i + q + 1 < nw ? b[i + q + 1] : 0;
        dst[i] = a[i] & (r == 0 ? lo : (lo >> r) | (hi << (64 - r)));
    }
}

// Windows of k consecutive ones of a diagonal's match bits: w has width cur
// and powers[j] the windows of width 2^j (powers[0] is the match row), so
// any width costs O(log k) word passes. Bits past the diagonal are 0, so a
// window that runs off its end is 0 without masking.
class Windows {
public:
    explicit Windows(std::size_t n) : w_(words_for(n)) {}

    void reset(const Word* a, std::size_t nw) {
        a_ = a;
        nw_ = nw;
        cur_ = 1;
        built_ = 1;
        fresh_ = true;
    }

    const Word* extend(std::size_t k) {
        std::size_t delta = k - cur_;
        for (std::size_t j = 0; delta != 0; ++j, delta >>= 1) {
            if (!(delta & 1)) continue;
            and_shifted(w_.data(), fresh_ ? a_ : w_.data(), power(j), cur_, nw_);
            fresh_ = false;
            cur_ += std::size_t{1} << j;
        }
        return fresh_ ? a_ : w_.data();
    }

private:
    const Word* power(std::size_t j) {
        if (j == 0) return a_;
        while (powers_.size() < j) powers_.emplace_back(w_.size());
        for (; built_ <= j; ++built_) {
            const Word* src = built_ == 1 ? a_ : powers_[built_ - 2].data();
            and_shifted(powers_[built_ - 1].data(), src, src, std::size_t{1} << (built_ - 1), nw_);
        }
        return powers_[j - 1].data();
    }

    const Word* a_ = nullptr;
    std::size_t nw_ = 0, cur_ = 1, built_ = 1;
    bool fresh_ = true;
    std::vector<Word> w_;
    std::vector<std::vector<Word>> powers_;
};

// Counters for n positions, bit-sliced: plane p of word i holds bit p of the
// counts of positions 64i .. 64i + 63, so adding a bitset is a ripple of
// carries through the planes, 64 positions per operation. The ripple runs
// through a fixed number of planes without branches; before those could
// overflow, the counts move into plain integers.
class BitCounters {
public:
    explicit BitCounters(std::size_t n) : words_(words_for(n)), planes_(words_ * PLANES, 0), total_(n, 0) {}

    // Adds bit s of v (nv words) to the count of position s + shift.
    void add(const Word* v, std::size_t nv, std::size_t shift) {
        if (adds_ == LIMIT) flush();
        ++adds_;
        const std::size_t q = shift / 64, r = shift % 64;
        const std::size_t end = std::min(words_, q + nv + 1);
        for (std::size_t i = q; i < end; ++i) {
            const std::size_t k = i - q;
            const Word lo = k < nv ? v[k] : 0;
            const Word below = k > 0 && r != 0 ? v[k - 1] >> (64 - r) : 0;
            Word in = r == 0 ? lo : (lo << r) | below;
            Word* plane = planes_.data() + i * PLANES;
            for (std::size_t p = 0; p < PLANES; ++p) {
                const Word carry = plane[p] & in;
                plane[p] ^= in;
                in = carry;
            }
        }
    }

    // The counts of positions [0, m).
    std::vector<std::uint64_t> counts(std::size_t m) {
        flush();
        total_.resize(m);
        return std::move(total_);
    }

private:
    static constexpr std::size_t PLANES = 8;
    static constexpr std::size_t LIMIT = (std::size_t{1} << PLANES) - 1;

    void flush() {
        for (std::size_t i = 0; i < words_; ++i) {
            Word* plane = planes_.data() + i * PLANES;
            Word any = 0;
            for (std::size_t p = 0; p < PLANES; ++p) any |= plane[p];
            for (; any != 0; any &= any - 1) {
                const int b = std::countr_zero(any);
                std::uint64_t c = 0;
                for (std::size_t p = 0; p < PLANES; ++p) c |= ((plane[p] >> b) & 1) << p;
                total_[i * 64 + static_cast<std::size_t>(b)] += c;
            }
            for (std::size_t p = 0; p < PLANES; ++p) plane[p] = 0;
        }
        adds_ = 0;
    }

    std::size_t words_, adds_ = 0;
    std::vector<Word> planes_;
    std::vector<std::uint64_t> total_;
};

}  // namespace

TemplateMatches count_template_matches(std::span<const double> x, double tol,
                                       std::span<const std::uint64_t> lengths, bool per_template) {
    const std::size_t n = x.size(), nk = lengths.size();
    TemplateMatches out;
    out.pairs.assign(nk, 0);
    std::vector<BitCounters> counters;
    if (per_template)
        for (std::size_t q = 0; q < nk; ++q) counters.emplace_back(n);
    if (nk > 0 && n >= 2) {
        const auto match_bits = HWY_DYNAMIC_DISPATCH(MatchBits);
        const std::size_t kmin = lengths[0];
        std::vector<Word> a(words_for(n));
        Windows windows(n);
        // Diagonal d pairs template s with s + d; bit s says whether samples
        // s and s + d are within the tolerance.
        for (std::size_t d = 1; d + kmin <= n; ++d) {
            const std::size_t len = n - d, nw = words_for(len);
            match_bits(x.data(), x.data() + d, len, tol, a.data());
            windows.reset(a.data(), nw);
            for (std::size_t q = 0; q < nk && lengths[q] <= len; ++q) {
                const Word* w = windows.extend(lengths[q]);
                if (per_template) {
                    counters[q].add(w, nw, 0);
                    counters[q].add(w, nw, d);
                } else {
                    std::uint64_t c = 0;
                    for (std::size_t i = 0; i < nw; ++i) c += std::popcount(w[i]);
                    out.pairs[q] += c;
                }
            }
        }
    }
    for (std::size_t q = 0; q < counters.size(); ++q) {
        const std::size_t templates = n >= lengths[q] ? n - lengths[q] + 1 : 0;
        out.per_template.push_back(counters[q].counts(templates));
        std::uint64_t total = 0;
        for (std::uint64_t c : out.per_template[q]) total += c;
        out.pairs[q] = total / 2;  // each pair was counted at both its templates
    }
    return out;
}

}  // namespace calculators
#endif  // HWY_ONCE
