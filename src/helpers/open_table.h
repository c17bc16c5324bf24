// Open addressing with linear probing over a power-of-two array of slots
// that doubles when half full, so its size follows the entries made, never
// a parameter. A Slot is empty when default-constructed and says whether it
// holds an entry with used().
#pragma once

#include <cstddef>
#include <vector>

namespace helpers {

template <class Slot>
class OpenTable {
public:
    // Room for `expected` entries before the first doubling.
    explicit OpenTable(std::size_t expected) {
        std::size_t cap = 16;
        while (cap < 2 * expected) cap *= 2;
        slots_.resize(cap);
    }

    // The first slot from hash h on that holds an entry `match` accepts, or
    // the empty slot where such an entry belongs.
    template <class Match>
    Slot& probe(std::size_t h, Match&& match) {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            Slot& s = slots_[i];
            if (!s.used() || match(s)) return s;
        }
    }

    // To call once an empty slot from probe has been filled: when the table
    // is then half full it doubles, each entry placed again from
    // hash_of(entry), and every slot reference probe gave is stale.
    template <class HashOf>
    void filled(HashOf&& hash_of) {
        if (++used_ * 2 <= slots_.size()) return;
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& s : old)
            if (s.used()) probe(hash_of(s), [](const Slot&) { return false; }) = s;
    }

private:
    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

}  // namespace helpers
