// The state of one template-match sweep, shared by its planning
// (template_matches.cpp) and its SIMD kernels (template_kernels.cpp).
//
// A sweep visits the diagonals of the distance matrix a block at a time. On
// each diagonal the distances become levels, a byte per position: the number
// of a group's tolerances the distance exceeds (tolerances ascending, so a
// pair matches at the j-th exactly when its level is at most j). A window of
// k templates matches at the j-th tolerance when the largest level in it is
// at most j, so windows are maxima of bytes. Each (tolerance, length) stream
// adds its matches to per-template byte counters.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace calculators::sweep {

// The widest target's vector (AVX-512), in bytes.
constexpr std::size_t MAX_VECTOR = 64;
// Room past the end of every byte and sample buffer for whole-vector reads
// and writes: a row's NEVER fill runs in whole vectors from its count to a
// vector past its longest one, two vectors past the n-th byte; half a vector
// more is margin.
constexpr std::size_t PAD = 2 * MAX_VECTOR + MAX_VECTOR / 2;
// A level above every tolerance: a window holding it matches nothing.
constexpr std::int8_t NEVER = 127;
// Diagonals whose matches are added up in registers before they reach the
// per-template counts (in half a byte each, so at most 15).
constexpr std::size_t BLOCK = 15;
// Bytes of NEVER before each row: row r of a block is read from r bytes
// before its start, so at least BLOCK; a whole vector.
constexpr std::size_t LEAD = MAX_VECTOR;
static_assert(LEAD >= BLOCK);
// Lengths whose window rows a block keeps at once: a row's usual lengths (m
// and m + 1 of the approximate entropy, 2 and 3 of the sample entropy) fit,
// in SLOTS * BLOCK = 60 bytes a sample.
constexpr std::size_t SLOTS = 4;

// The most tolerances a level group holds: the scalar target's group (a
// vector target's is one less than its 32-bit lanes, at most 15), with
// levels below NEVER; the key table has this many entries.
constexpr std::size_t MAX_GROUP = 64;

// Per-template counts: a byte per template, emptied into the totals before
// it can overflow (a template gains at most two partners a diagonal).
struct Counters {
    static constexpr std::size_t LIMIT = 255;
    static_assert(2 * BLOCK <= LIMIT);

    explicit Counters(std::size_t n) : bytes(n + PAD, 0), total(n, 0) {}

    void flush() {
        for (std::size_t i = 0; i < total.size(); ++i) total[i] += bytes[i];
        std::fill(bytes.begin(), bytes.end(), 0);
        adds = 0;
    }

    std::size_t adds = 0;
    std::vector<std::uint8_t> bytes;
    // A template has fewer than n partners: 32 bits hold them for any
    // series this quadratic sweep could finish (2^32 samples are 2^63 pairs).
    std::vector<std::uint32_t> total;
};

// One count the sweep makes: matches where a window's level is at most
// `level`, for templates of `length`, per template.
struct Stream {
    std::size_t level, length;
    std::size_t counters;  // index in State::counters
};

// Tolerances that share one level byte.
struct Group {
    std::vector<double> tols;        // ascending, distinct, none NaN or -0.0
    std::vector<std::int32_t> keys;  // MAX_GROUP: high words of tols, then -1 (never a distance's)
    std::vector<std::size_t> lengths;  // ascending, distinct
    std::vector<Stream> streams;       // ascending by length
};

struct State {
    explicit State(std::span<const double> series) : n(series.size()), x(n + PAD, 0.0) {
        std::copy(series.begin(), series.end(), x.begin());
    }

    std::size_t n;
    std::vector<double> x;  // the series, then zeros to read whole vectors
    std::vector<Group> groups;
    std::vector<Counters> counters;
    // Rows of the diagonals of one block: their levels and the window
    // levels of up to SLOTS lengths, each row NEVER for LEAD bytes before it.
    std::size_t stride = 0;
    std::vector<std::int8_t> levels, windows;
    std::int8_t* level_row(std::size_t r) { return levels.data() + r * stride + LEAD; }
    std::int8_t* window_row(std::size_t slot, std::size_t r) {
        return windows.data() + (slot * BLOCK + r) * stride + LEAD;
    }
    std::vector<std::vector<std::int8_t>> powers;  // powers[i]: window levels of width 2^(i+1), one row
    // The per-template streams of one length, and counts no stream reads.
    std::vector<std::int8_t> stream_levels;
    std::vector<std::uint8_t*> stream_counts;
    std::vector<std::uint8_t> scrap;
};

// The most tolerances one level byte serves on the running machine.
std::size_t group_size();
// Adds the matches of the diagonals [begin, end) (diagonal d pairs template
// s with s + d) to the streams' counters, on the running machine's widest
// target.
void sweep_diagonals(State& st, std::size_t begin, std::size_t end);

}  // namespace calculators::sweep
