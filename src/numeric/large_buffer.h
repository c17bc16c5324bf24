// Uninitialised scratch arrays of doubles that may span many megabytes (the
// least-squares designs of long series).
#pragma once

#include <cstddef>
#include <memory>

namespace numeric {

// n doubles, not initialised. An array of LARGE_BUFFER_BYTES or more starts
// on a 2 MiB boundary and asks the kernel for huge pages: its first touch
// then faults once per 2 MiB rather than once per 4 KiB, and the repeated
// sweeps of a factorisation miss the TLB far less. Throws std::bad_alloc
// when memory runs out, as a vector does.
class LargeBuffer {
public:
    LargeBuffer() = default;
    explicit LargeBuffer(std::size_t n);

    double* data() const { return data_.get(); }
    double& operator[](std::size_t i) const { return data_[i]; }
    std::size_t size() const { return size_; }

private:
    struct Free {
        void operator()(double* p) const noexcept;
    };
    std::unique_ptr<double[], Free> data_;
    std::size_t size_ = 0;
};

inline constexpr std::size_t LARGE_BUFFER_BYTES = std::size_t{4} << 20;

}  // namespace numeric
