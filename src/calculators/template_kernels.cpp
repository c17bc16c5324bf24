// The SIMD kernels of the template-match sweep (template_sweep.h): levels of
// the distances on a diagonal, window levels as maxima of bytes, and the
// matches added to per-template counts.
//
// Levels are found on the high 32 bits of each distance, which order
// non-negative doubles as the doubles themselves do except where a distance
// and a tolerance share them; a block holding such a tie is compared again
// on the doubles. Matches of a block of diagonals are added up in registers
// first, a table lookup giving two streams their match bits at once.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "calculators/template_sweep.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "calculators/template_kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace calculators {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The most tolerances one level byte serves here: one lane of the key table
// stays for "above them all".
std::size_t GroupSize() {
#if HWY_TARGET == HWY_SCALAR
    return sweep::MAX_GROUP;
#else
    const hn::ScalableTag<std::int32_t> d;
    return std::min<std::size_t>(hn::Lanes(d) - 1, sweep::MAX_GROUP);
#endif
}

#if HWY_TARGET == HWY_SCALAR
// out[s], s in [0, len): the number of the group's tolerances that
// |x[s] - x[s + d]| exceeds (a NaN distance exceeds them all); NEVER after.
void Levels(const double* x, std::size_t d, std::size_t len, const sweep::Group& g, std::int8_t* out) {
    for (std::size_t s = 0; s < len; ++s) {
        const double dist = std::fabs(x[s] - x[s + d]);
        std::int8_t level = 0;
        for (const double tol : g.tols) level += !(dist <= tol);
        out[s] = level;
    }
    out[len] = sweep::NEVER;
}
#else
#if HWY_TARGET == HWY_AVX2
// The levels of the 8 distances at `at` on the doubles, in the lane order
// of LevelsAvx2 (out of line: ties are rare, and inlined this path would
// cost the common one registers).
template <std::size_t T>
HWY_NOINLINE __m256i ExactLevelsAvx2(const double* at, std::size_t d, const sweep::Group& g) {
    const __m256d sign = _mm256_set1_pd(-0.0);
    auto four = [&](const double* a) {
        const __m256d dist = _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_loadu_pd(a), _mm256_loadu_pd(a + d)));
        __m256i level = _mm256_setzero_si256();
        for (std::size_t j = 0; j < T; ++j)
            level = _mm256_sub_epi64(level,
                                     _mm256_castpd_si256(_mm256_cmp_pd(dist, _mm256_set1_pd(g.tols[j]), _CMP_NLE_UQ)));
        return _mm256_castsi256_ps(level);
    };
    return _mm256_castps_si256(_mm256_shuffle_ps(four(at), four(at + 4), 0x88));
}

// Levels of a group of T tolerances, 32 positions a step, for AVX2 alone:
// packing two blocks at a time keeps the keys in registers, which the
// Highway path below does not manage on this target. It pays: with the
// targets held to AVX2, the bench row's sweep (six tolerances, lengths 2
// and 3) runs 1.05x as fast at 4,000 samples and 1.06x at 10,000 (best of
// 40 calls, side by side). The high words come in the lane order of _mm256_shuffle_ps (p0 p1 p4 p5 | p2 p3 p6 p7 of
// each 8), which the packing to bytes keeps until two shuffles at the end
// put the 32 bytes in position order.
template <std::size_t T>
void LevelsAvx2(const double* x, std::size_t d, std::size_t len, const sweep::Group& g, std::int8_t* out) {
    const __m256i table = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g.keys.data()));
    const __m256i magnitude = _mm256_set1_epi32(0x7FFFFFFF);
    const __m256i dwords = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256i bytes = _mm256_setr_epi8(0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15,  //
                                           0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15);
    __m256i keys[T];
    for (std::size_t j = 0; j < T; ++j) keys[j] = _mm256_set1_epi32(g.keys[j]);
    // The levels of the 8 distances at `at` on their high words, ties
    // marked in `tie`.
    auto fast = [&](const double* at, __m256i& tie) {
        const __m256d diff0 = _mm256_sub_pd(_mm256_loadu_pd(at), _mm256_loadu_pd(at + d));
        const __m256d diff1 = _mm256_sub_pd(_mm256_loadu_pd(at + 4), _mm256_loadu_pd(at + d + 4));
        const __m256i high = _mm256_and_si256(
            _mm256_castps_si256(_mm256_shuffle_ps(_mm256_castpd_ps(diff0), _mm256_castpd_ps(diff1), 0xDD)), magnitude);
        __m256i level = _mm256_setzero_si256();
#pragma GCC unroll 16
        for (std::size_t j = 0; j < T; ++j) level = _mm256_sub_epi32(level, _mm256_cmpgt_epi32(high, keys[j]));
        tie = _mm256_or_si256(tie, _mm256_cmpeq_epi32(high, _mm256_permutevar8x32_epi32(table, level)));
        return level;
    };
    auto slow = [&](const double* at) { return ExactLevelsAvx2<T>(at, d, g); };
    for (std::size_t s = 0; s < len; s += 32) {
        const double* at = x + s;
        // Packed a pair at a time, to keep the keys in registers.
        __m256i tie = _mm256_setzero_si256();
        const __m256i low = fast(at, tie);
        __m256i half0 = _mm256_packs_epi32(low, fast(at + 8, tie));
        const __m256i high = fast(at + 16, tie);
        __m256i half1 = _mm256_packs_epi32(high, fast(at + 24, tie));
        if (HWY_UNLIKELY(!_mm256_testz_si256(tie, tie))) {
            half0 = _mm256_packs_epi32(slow(at), slow(at + 8));
            half1 = _mm256_packs_epi32(slow(at + 16), slow(at + 24));
        }
        __m256i packed = _mm256_packs_epi16(half0, half1);
        packed = _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(packed, dwords), bytes);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + s), packed);
    }
    std::fill_n(out + len, 32, sweep::NEVER);
}
#endif

// Levels of a group of T tolerances (T = 0: as many as the group has), the
// tolerances' keys held in registers when T is fixed.
template <std::size_t T>
void LevelsOf(const double* x, std::size_t d, std::size_t len, const sweep::Group& g, std::int8_t* out) {
#if HWY_TARGET == HWY_AVX2
    if constexpr (T != 0) return LevelsAvx2<T>(x, d, len, g, out);
#endif
    const hn::ScalableTag<double> dd;
    const hn::RebindToSigned<decltype(dd)> di;
    const hn::Repartition<std::int32_t, decltype(dd)> d32;
    const hn::Rebind<std::int8_t, decltype(d32)> dq;
    const std::size_t N = hn::Lanes(dd), ntol = T == 0 ? g.tols.size() : T;
    const auto table = hn::LoadU(d32, g.keys.data());
    const auto magnitude = hn::Set(d32, 0x7FFFFFFF);
    decltype(hn::Zero(d32)) keys[T == 0 ? sweep::MAX_GROUP : T];
    for (std::size_t j = 0; j < ntol; ++j) keys[j] = hn::Set(d32, g.keys[j]);
    // The level of each distance of one vector, on the doubles.
    auto exact = [&](decltype(hn::Zero(dd)) diff) {
        const auto dist = hn::Abs(diff);
        auto level = hn::Zero(di);
        for (std::size_t j = 0; j < ntol; ++j)
            level = hn::Sub(level, hn::VecFromMask(di, hn::RebindMask(di, hn::Not(hn::Le(dist, hn::Set(dd, g.tols[j]))))));
        return hn::BitCast(d32, level);
    };
    for (std::size_t s = 0; s < len; s += 2 * N) {
        const auto diff0 = hn::Sub(hn::LoadU(dd, x + s), hn::LoadU(dd, x + s + d));
        const auto diff1 = hn::Sub(hn::LoadU(dd, x + s + N), hn::LoadU(dd, x + s + d + N));
        // High words in position order, sign dropped: for non-negative
        // doubles their order is the doubles' order, ties aside.
        const auto high = hn::And(hn::ConcatOdd(d32, hn::BitCast(d32, diff1), hn::BitCast(d32, diff0)), magnitude);
        auto level = hn::Zero(d32);
        if constexpr (T == 0) {
            for (std::size_t j = 0; j < ntol; ++j) level = hn::Sub(level, hn::VecFromMask(d32, hn::Gt(high, keys[j])));
        } else {
#pragma GCC unroll 16
            for (std::size_t j = 0; j < T; ++j) level = hn::Sub(level, hn::VecFromMask(d32, hn::Gt(high, keys[j])));
        }
        // A distance is above the tolerances below its level and below those
        // past it; only the one at its level can share its high word.
        const auto tie = hn::Eq(high, hn::TableLookupLanes(table, hn::IndicesFromVec(d32, level)));
        if (HWY_UNLIKELY(!hn::AllFalse(d32, tie))) level = hn::ConcatEven(d32, exact(diff1), exact(diff0));
        hn::StoreU(hn::DemoteTo(dq, level), dq, out + s);
    }
    std::fill_n(out + len, hn::Lanes(hn::ScalableTag<std::int8_t>()), sweep::NEVER);
}

// out[s], s in [0, len): the number of the group's tolerances that
// |x[s] - x[s + d]| exceeds (a NaN distance exceeds them all); NEVER after.
void Levels(const double* x, std::size_t d, std::size_t len, const sweep::Group& g, std::int8_t* out) {
    switch (g.tols.size()) {
        case 1: return LevelsOf<1>(x, d, len, g, out);
        case 2: return LevelsOf<2>(x, d, len, g, out);
        case 3: return LevelsOf<3>(x, d, len, g, out);
        case 4: return LevelsOf<4>(x, d, len, g, out);
        case 5: return LevelsOf<5>(x, d, len, g, out);
        case 6: return LevelsOf<6>(x, d, len, g, out);
        case 7: return LevelsOf<7>(x, d, len, g, out);
        default: return LevelsOf<0>(x, d, len, g, out);
    }
}
#endif

// NEVER over [at, at + bytes), in whole vectors (so possibly a vector
// further).
HWY_INLINE void FillNever(std::int8_t* at, std::size_t bytes) {
    const hn::ScalableTag<std::int8_t> d;
    const auto never = hn::Set(d, sweep::NEVER);
    for (std::size_t i = 0; i < bytes; i += hn::Lanes(d)) hn::StoreU(never, d, at + i);
}

// out[s] = max(a[s], a[s + shift]) for s in [0, count); NEVER after.
void MaxShifted(const std::int8_t* a, std::size_t shift, std::size_t count, std::int8_t* out) {
    const hn::ScalableTag<std::int8_t> d;
    const std::size_t N = hn::Lanes(d);
    for (std::size_t s = 0; s < count; s += N)
        hn::StoreU(hn::Max(hn::LoadU(d, a + s), hn::LoadU(d, a + s + shift)), d, out + s);
    FillNever(out + count, N);
}

// The window levels of the `slots` lengths from g.lengths[from] on row r of
// the block at `first`, each into its slot's row: widths 2^i by doubling (a
// power that is itself a length is made in that length's row), then any k
// as the maximum of two overlapping windows of the power of two below it.
void WindowLevels(sweep::State& st, const sweep::Group& g, std::size_t from, std::size_t slots, std::size_t first,
                  std::size_t r) {
    const std::size_t N = hn::Lanes(hn::ScalableTag<std::int8_t>());
    const std::size_t len = st.n - first - r;
    const std::int8_t* power[std::numeric_limits<std::size_t>::digits];  // power[i]: width 2^i
    power[0] = st.level_row(r);
    std::size_t built = 0;
    for (std::size_t slot = 0; slot < slots; ++slot) {
        const std::size_t k = g.lengths[from + slot], count0 = st.n - first - k + 1;
        std::int8_t* w = st.window_row(slot, r);
        if (k > len) {
            FillNever(w, count0 + N);
            continue;
        }
        const std::size_t count = len - k + 1;
        const std::size_t j = static_cast<std::size_t>(std::bit_width(k)) - 1, p = std::size_t{1} << j;
        for (; built + 1 < j; ++built) {
            const std::size_t half = std::size_t{1} << built;
            MaxShifted(power[built], half, len - 2 * half + 1, st.powers[built].data());
            power[built + 1] = st.powers[built].data();
        }
        if (built < j) {  // built + 1 == j: the last doubling
            const std::size_t half = p / 2;
            if (k == p) {
                MaxShifted(power[built], half, count, w);
                power[j] = w;
            } else {
                MaxShifted(power[built], half, len - p + 1, st.powers[built].data());
                power[j] = st.powers[built].data();
            }
            built = j;
        }
        if (k != p || j == 0) MaxShifted(power[j], k - p, count, w);
        FillNever(w + count, count0 - count + N);
    }
}

// Adds to the per-template counts of 2P streams (levels[i], counts[i]) the
// matches of the rows of one block, row r the window levels of diagonal
// first + r: one to the counts of templates s and s + first + r for each s
// with row[s] <= level. Each row is NEVER from its own count to count0 + N
// and for LEAD bytes before it. A table lookup turns a row's level into the
// match bits of two streams, one a half byte, so that one addition counts
// for both.
template <std::size_t P>
void AddMatchesOf(sweep::State& st, std::size_t slot, std::size_t rows, std::size_t count0, std::size_t first,
                  const std::int8_t* levels, std::uint8_t* const* counts) {
    const hn::ScalableTag<std::uint8_t> d;
    const std::size_t N = hn::Lanes(d);
    decltype(hn::Zero(d)) tables[P];
    for (std::size_t i = 0; i < P; ++i) {
        HWY_ALIGN std::uint8_t table[hn::MaxLanes(d)] = {};
        // Levels are below 16; NEVER looks up entry 15, which no stream matches.
        for (int w = 0; w < 15; ++w)
            table[w] = static_cast<std::uint8_t>((w <= levels[2 * i] ? 1 : 0) | (w <= levels[2 * i + 1] ? 16 : 0));
        for (std::size_t b = 16; b < N; b += 16) std::copy_n(table, 16, table + b);
        tables[i] = hn::Load(d, table);
    }
    const auto low = hn::Set(d, 0x0F);
    auto add = [&](std::size_t at, std::size_t offset) {  // rows read at `at - r`, counts at `at + offset`
        decltype(hn::Zero(d)) sums[P];
        for (std::size_t i = 0; i < P; ++i) sums[i] = hn::Zero(d);
        for (std::size_t r = 0; r < rows; ++r) {
            const auto w = hn::LoadU(d, reinterpret_cast<const std::uint8_t*>(st.window_row(slot, r)) + at - r * (offset != 0));
#pragma GCC unroll 4
            for (std::size_t i = 0; i < P; ++i) sums[i] = hn::Add(sums[i], hn::TableLookupBytes(tables[i], w));
        }
        for (std::size_t i = 0; i < P; ++i) {
            std::uint8_t* a = counts[2 * i] + at + offset;
            std::uint8_t* b = counts[2 * i + 1] + at + offset;
            hn::StoreU(hn::Add(hn::LoadU(d, a), hn::And(sums[i], low)), d, a);
            hn::StoreU(hn::Add(hn::LoadU(d, b), hn::And(hn::ShiftRight<4>(sums[i]), low)), d, b);
        }
    };
    // The left template of each pair: s on every row.
    for (std::size_t s = 0; s < count0; s += N) add(s, 0);
    // The right one: template q pairs with q - first - r on row r.
    for (std::size_t s = 0; s < count0; s += N) add(s, first);
}

// The most tables (two streams each) one pass of AddMatchesOf holds: the
// tables and their sums take 8 of AVX2's 16 vector registers.
constexpr std::size_t MAX_TABLES = 4;
constexpr std::size_t STREAMS_PER_PASS = 2 * MAX_TABLES;

// The same for any number of streams, STREAMS_PER_PASS at a time; an odd
// one out is paired with a stream that matches nothing, counted in scrap.
void AddMatches(sweep::State& st, std::size_t slot, std::size_t rows, std::size_t count0, std::size_t first,
                std::span<const std::int8_t> levels, std::span<std::uint8_t* const> counts) {
#if HWY_TARGET == HWY_SCALAR
    for (std::size_t i = 0; i < levels.size(); ++i)
        for (std::size_t r = 0; r < rows; ++r) {
            const std::int8_t* w = st.window_row(slot, r);
            for (std::size_t s = 0; s + r < count0; ++s) {
                const bool match = w[s] <= levels[i];
                counts[i][s] += match;
                counts[i][s + first + r] += match;
            }
        }
#else
    std::int8_t lv[STREAMS_PER_PASS];
    std::uint8_t* cs[STREAMS_PER_PASS];
    for (std::size_t from = 0; from < levels.size(); from += STREAMS_PER_PASS) {
        const std::size_t m = std::min(STREAMS_PER_PASS, levels.size() - from);
        for (std::size_t i = 0; i < STREAMS_PER_PASS; ++i) {
            lv[i] = i < m ? levels[from + i] : -1;
            cs[i] = i < m ? counts[from + i] : st.scrap.data();
        }
        switch ((m + 1) / 2) {
            case 1: AddMatchesOf<1>(st, slot, rows, count0, first, lv, cs); break;
            case 2: AddMatchesOf<2>(st, slot, rows, count0, first, lv, cs); break;
            case 3: AddMatchesOf<3>(st, slot, rows, count0, first, lv, cs); break;
            default: AddMatchesOf<MAX_TABLES>(st, slot, rows, count0, first, lv, cs); break;
        }
    }
#endif
}

// The diagonals [begin, end): diagonal d pairs template s with s + d.
void SweepDiagonals(sweep::State& st, std::size_t begin, std::size_t end) {
    const std::size_t n = st.n;
    for (std::size_t first = begin; first < end; first += sweep::BLOCK) {
        const std::size_t rows = std::min(sweep::BLOCK, end - first);
        for (sweep::Group& g : st.groups) {
            if (g.lengths.front() > n - first) continue;
            for (std::size_t r = 0; r < rows; ++r) Levels(st.x.data(), first + r, n - first - r, g, st.level_row(r));
            auto stream = g.streams.begin();
            for (std::size_t from = 0; from < g.lengths.size() && g.lengths[from] <= n - first; from += sweep::SLOTS) {
                // The lengths of this batch that fit on the block's first diagonal.
                std::size_t slots = 0;
                while (slots < sweep::SLOTS && from + slots < g.lengths.size() && g.lengths[from + slots] <= n - first)
                    ++slots;
                for (std::size_t r = 0; r < rows; ++r) WindowLevels(st, g, from, slots, first, r);
                for (std::size_t slot = 0; slot < slots; ++slot) {
                    const std::size_t k = g.lengths[from + slot], count0 = n - first - k + 1;
                    st.stream_levels.clear();
                    st.stream_counts.clear();
                    for (; stream != g.streams.end() && stream->length == k; ++stream) {
                        const auto level = static_cast<std::int8_t>(stream->level);
                        sweep::Counters& c = st.counters[stream->counters];
                        if (c.adds + 2 * sweep::BLOCK > sweep::Counters::LIMIT) c.flush();
                        c.adds += 2 * sweep::BLOCK;
                        st.stream_levels.push_back(level);
                        st.stream_counts.push_back(c.bytes.data());
                    }
                    AddMatches(st, slot, rows, count0, first, st.stream_levels, st.stream_counts);
                }
            }
        }
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace calculators
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace calculators::sweep {

HWY_EXPORT(GroupSize);
HWY_EXPORT(SweepDiagonals);

std::size_t group_size() { return HWY_DYNAMIC_DISPATCH(GroupSize)(); }

void sweep_diagonals(State& st, std::size_t begin, std::size_t end) {
    HWY_DYNAMIC_DISPATCH(SweepDiagonals)(st, begin, end);
}

}  // namespace calculators::sweep
#endif  // HWY_ONCE
