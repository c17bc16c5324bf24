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

#include "numeric/interrupt.h"

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

// Adds bit s of v to the counts of positions s and s + shift, for the
// bit-sliced counters of `words` words (a multiple of 8): plane p, at
// planes + p * words, holds bit p of the counts. v must be readable (zero)
// from words + 1 words before it to 8 words past `words`. Lanes over words;
// a carry past the last plane is dropped, so the caller keeps the counts
// below 2^nplanes.
void AddTwice(std::uint64_t* planes, std::size_t nplanes, std::size_t words, const std::uint64_t* v,
              std::size_t shift) {
    const hn::ScalableTag<std::uint64_t> d;
    const std::size_t lanes = hn::Lanes(d);  // divides 8
    const std::size_t q = shift / 64;
    const int r = static_cast<int>(shift % 64);
    const std::uint64_t* u = v - q;  // word i of v << shift is u[i] << r | u[i - 1] >> (64 - r)
    for (std::size_t i = 0; i < words; i += lanes) {
        const auto va = hn::LoadU(d, v + i);
        const auto hi = hn::LoadU(d, u + i);
        const auto vb = r == 0 ? hi : hn::Or(hn::ShiftLeftSame(hi, r), hn::ShiftRightSame(hn::LoadU(d, u + i - 1), 64 - r));
        // a + b = 2 (a & b) + (a ^ b); where a & b is set, a ^ b is not, so
        // at most one carry enters plane 1.
        const auto sum = hn::Xor(va, vb);
        const auto p0 = hn::LoadU(d, planes + i);
        auto in = hn::Or(hn::And(p0, sum), hn::And(va, vb));
        hn::StoreU(hn::Xor(p0, sum), d, planes + i);
        for (std::size_t p = 1; p < nplanes; ++p) {
            std::uint64_t* at = planes + p * words + i;
            const auto w = hn::LoadU(d, at);
            hn::StoreU(hn::Xor(w, in), d, at);
            in = hn::And(w, in);
        }
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace calculators
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace calculators {

HWY_EXPORT(MatchBits);
HWY_EXPORT(AddTwice);

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

// A bitset of up to `words` words with zero words around it: words + 1
// before, PAD after, so that shifted and vector-wide reads stay inside.
class PaddedBits {
public:
    static constexpr std::size_t PAD = 16;
    explicit PaddedBits(std::size_t words) : lead_(words + 1), buf_(lead_ + words + PAD, 0) {}
    Word* data() { return buf_.data() + lead_; }
    // Zeroes the words from `from` to the end of the padding.
    void clear_from(std::size_t from) { std::fill(buf_.begin() + static_cast<std::ptrdiff_t>(lead_ + from), buf_.end(), 0); }

private:
    std::size_t lead_;
    std::vector<Word> buf_;
};

// Windows of k consecutive ones of a diagonal's match bits: w has width cur
// and powers[j] the windows of width 2^j (powers[0] is the match row), so
// any width costs O(log k) word passes. Bits past the diagonal are 0, so a
// window that runs off its end is 0 without masking.
class Windows {
public:
    explicit Windows(std::size_t n) : nw_max_(words_for(n)), w_(nw_max_ + 8) {}

    // a: the diagonal's match bits, nw words, zero past them.
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
            if (fresh_) w_.clear_from(nw_);
            fresh_ = false;
            cur_ += std::size_t{1} << j;
        }
        return fresh_ ? a_ : w_.data();
    }

private:
    const Word* power(std::size_t j) {
        if (j == 0) return a_;
        while (powers_.size() < j) powers_.emplace_back(nw_max_);
        for (; built_ <= j; ++built_) {
            const Word* src = built_ == 1 ? a_ : powers_[built_ - 2].data();
            and_shifted(powers_[built_ - 1].data(), src, src, std::size_t{1} << (built_ - 1), nw_);
        }
        return powers_[j - 1].data();
    }

    const Word* a_ = nullptr;
    std::size_t nw_ = 0, cur_ = 1, built_ = 1, nw_max_;
    bool fresh_ = true;
    PaddedBits w_;
    std::vector<std::vector<Word>> powers_;
};

// Counters for n positions, bit-sliced: plane p holds bit p of the counts of
// all positions, 64 to a word, so adding a bitset is a ripple of carries
// through the planes, 64 positions per operation (times the SIMD lanes).
// The ripple runs through a fixed number of planes without branches; before
// those could overflow, the counts move into plain integers.
class BitCounters {
public:
    explicit BitCounters(std::size_t n)
        : words_((words_for(n) + 7) / 8 * 8), planes_(words_ * PLANES, 0), total_(words_ * 64, 0) {}

    // Adds bit s of v (a PaddedBits of at least as many words as n needs,
    // zero past its bits) to the counts of positions s and s + shift.
    void add_twice(const Word* v, std::size_t shift) {
        if (adds_ + 2 > LIMIT) flush();
        adds_ += 2;
        HWY_DYNAMIC_DISPATCH(AddTwice)(planes_.data(), PLANES, words_, v, shift);
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

    // Bit (8r + c) of x becomes bit (8c + r): an 8 x 8 bit transpose.
    static std::uint64_t transpose8(std::uint64_t x) {
        std::uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
        x ^= t ^ (t << 7);
        t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
        x ^= t ^ (t << 14);
        t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
        x ^= t ^ (t << 28);
        return x;
    }

    // Byte j of the eight planes holds the counts of positions 8j .. 8j + 7
    // bit by bit; transposed, byte c is the count of position 8j + c.
    void flush() {
        static_assert(PLANES == 8);
        for (std::size_t i = 0; i < words_; ++i) {
            for (std::size_t j = 0; j < 8; ++j) {
                std::uint64_t rows = 0;
                for (std::size_t p = 0; p < PLANES; ++p) rows |= ((planes_[p * words_ + i] >> (8 * j)) & 0xFF) << (8 * p);
                if (rows == 0) continue;
                const std::uint64_t counts = transpose8(rows);
                std::uint64_t* t = total_.data() + i * 64 + j * 8;
                for (std::size_t c = 0; c < 8; ++c) t[c] += (counts >> (8 * c)) & 0xFF;
            }
            for (std::size_t p = 0; p < PLANES; ++p) planes_[p * words_ + i] = 0;
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
        PaddedBits a(words_for(n) + 8);
        Windows windows(n);
        // A long series can take minutes: a stop request ends the sweep
        // (the counts are then discarded by the caller).
        interrupt::Stride stride(std::size_t{1} << 18);
        // Diagonal d pairs template s with s + d; bit s says whether samples
        // s and s + d are within the tolerance.
        for (std::size_t d = 1; d + kmin <= n; ++d) {
            const std::size_t len = n - d, nw = words_for(len);
            if (stride(len)) break;
            match_bits(x.data(), x.data() + d, len, tol, a.data());
            a.clear_from(nw);
            windows.reset(a.data(), nw);
            for (std::size_t q = 0; q < nk && lengths[q] <= len; ++q) {
                const Word* w = windows.extend(lengths[q]);
                if (per_template) {
                    counters[q].add_twice(w, d);
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
