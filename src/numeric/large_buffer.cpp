#include "numeric/large_buffer.h"

#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace numeric {

namespace {

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

}  // namespace

LargeBuffer::LargeBuffer(std::size_t n) : size_(n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(double) - HUGE_PAGE) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(double);
    if (bytes < LARGE_BUFFER_BYTES) {
        data_.reset(static_cast<double*>(std::malloc(bytes == 0 ? sizeof(double) : bytes)));
    } else {
        // aligned_alloc wants a multiple of the alignment.
        const std::size_t whole = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
        data_.reset(static_cast<double*>(std::aligned_alloc(HUGE_PAGE, whole)));
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        // Advice only: without transparent huge pages the call fails and the
        // array is backed by ordinary pages.
        if (data_) madvise(data_.get(), whole, MADV_HUGEPAGE);
#endif
    }
    if (!data_) throw std::bad_alloc();
}

void LargeBuffer::Free::operator()(double* p) const noexcept { std::free(p); }

}  // namespace numeric
