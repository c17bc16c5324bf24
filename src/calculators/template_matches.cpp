#include "calculators/template_matches.h"

#include <cmath>
#include <algorithm>
#include <cstddef>
#include <limits>

namespace calculators {

namespace {

using Byte = std::uint8_t;

// dst[s] = a[s] & b[s + off] for s < count.
void and_shifted(Byte* dst, const Byte* a, const Byte* b, std::size_t off, std::size_t count) {
    for (std::size_t s = 0; s < count; ++s) dst[s] = a[s] & b[s + off];
}

std::uint64_t byte_sum(const Byte* w, std::size_t count) {
    // The bytes are 0 or 1: a 32-bit sum per block cannot overflow.
    std::uint64_t total = 0;
    constexpr std::size_t BLOCK = std::size_t{1} << 20;
    for (std::size_t b = 0; b < count; b += BLOCK) {
        const std::size_t e = std::min(count, b + BLOCK);
        std::uint32_t s = 0;
        for (std::size_t i = b; i < e; ++i) s += w[i];
        total += s;
    }
    return total;
}

// Windows of `width` consecutive ones of the match row `a`, built up by
// and-ing shifted copies: w has width `cur`; powers[j] holds the windows of
// width 2^j (powers[0] is a). Extending by delta costs one pass per set bit
// of delta plus the powers it needs, so any width is O(log width) passes.
class Windows {
public:
    explicit Windows(std::size_t n) : w_(n) {}

    // Starts a diagonal whose match row is a[0 .. len).
    void reset(const Byte* a, std::size_t len) {
        a_ = a;
        len_ = len;
        cur_ = 1;
        built_ = 1;
        fresh_ = true;
    }

    // The windows of width k (>= the current width) at s in [0, len - k + 1).
    const Byte* extend(std::size_t k) {
        std::size_t delta = k - cur_;
        for (std::size_t j = 0; delta != 0; ++j, delta >>= 1) {
            if (!(delta & 1)) continue;
            const Byte* p = power(j);
            const std::size_t width = std::size_t{1} << j;
            const std::size_t count = len_ - (cur_ + width) + 1;
            and_shifted(w_.data(), fresh_ ? a_ : w_.data(), p, cur_, count);
            fresh_ = false;
            cur_ += width;
        }
        return fresh_ ? a_ : w_.data();
    }

private:
    // Windows of width 2^j at s in [0, len - 2^j + 1), built on first use.
    const Byte* power(std::size_t j) {
        if (j == 0) return a_;
        while (powers_.size() < j) powers_.emplace_back(w_.size());
        while (built_ <= j) {
            const std::size_t half = std::size_t{1} << (built_ - 1);
            const Byte* src = built_ == 1 ? a_ : powers_[built_ - 2].data();
            and_shifted(powers_[built_ - 1].data(), src, src, half, len_ - 2 * half + 1);
            ++built_;
        }
        return powers_[j - 1].data();
    }

    const Byte* a_ = nullptr;
    std::size_t len_ = 0, cur_ = 1, built_ = 1;
    bool fresh_ = true;
    std::vector<Byte> w_;
    std::vector<std::vector<Byte>> powers_;
};

template <class Count>
TemplateMatches sweep(std::span<const double> x, double tol, std::span<const std::uint64_t> lengths,
                      bool per_template) {
    const std::size_t n = x.size(), nk = lengths.size();
    TemplateMatches out;
    out.pairs.assign(nk, 0);
    std::vector<std::vector<Count>> counts(per_template ? nk : 0);
    for (std::size_t q = 0; q < counts.size(); ++q) counts[q].assign(n - lengths[q] + 1, 0);
    if (nk == 0 || n < 2) {
        for (auto& c : counts) out.per_template.emplace_back(c.begin(), c.end());
        return out;
    }
    const std::size_t kmin = lengths[0];
    std::vector<Byte> a(n);
    Windows windows(n);
    const double* xs = x.data();
    // Diagonal d pairs template s with s + d; a[s] says whether samples s
    // and s + d are within the tolerance.
    for (std::size_t d = 1; d + kmin <= n; ++d) {
        const std::size_t len = n - d;
        const double* y = xs + d;
        for (std::size_t s = 0; s < len; ++s) a[s] = std::fabs(xs[s] - y[s]) <= tol;
        windows.reset(a.data(), len);
        for (std::size_t q = 0; q < nk; ++q) {
            const std::size_t k = lengths[q];
            if (k > len) break;
            const std::size_t count = len - k + 1;
            const Byte* w = windows.extend(k);
            if (per_template) {
                Count* c = counts[q].data();
                for (std::size_t s = 0; s < count; ++s) c[s] += w[s];
                Count* cd = c + d;
                for (std::size_t s = 0; s < count; ++s) cd[s] += w[s];
            } else {
                out.pairs[q] += byte_sum(w, count);
            }
        }
    }
    for (std::size_t q = 0; q < counts.size(); ++q) {
        std::uint64_t total = 0;
        for (Count c : counts[q]) total += c;
        out.pairs[q] = total / 2;  // each pair was counted at both its templates
        out.per_template.emplace_back(counts[q].begin(), counts[q].end());
    }
    return out;
}

}  // namespace

TemplateMatches count_template_matches(std::span<const double> x, double tol,
                                       std::span<const std::uint64_t> lengths, bool per_template) {
    // 32-bit counters vectorise twice as wide; a template has fewer than n
    // partners.
    if (x.size() <= std::numeric_limits<std::uint32_t>::max())
        return sweep<std::uint32_t>(x, tol, lengths, per_template);
    return sweep<std::uint64_t>(x, tol, lengths, per_template);
}

}  // namespace calculators
