#include "work_memory.h"

#include <cstdlib>
#ifdef _WIN32
#include <malloc.h>
#endif
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quiltpix {

namespace {

constexpr std::size_t hugePage = std::size_t{2} << 20;
constexpr std::size_t cacheLine = 64;

std::size_t roundUp(std::size_t n, std::size_t to)
{
    return (n + to - 1) / to * to;
}

} // namespace

WorkMemory::WorkMemory(std::size_t bytes)
{
    const std::size_t alignment = bytes >= hugePage / 2 ? hugePage : cacheLine;
    const std::size_t size = roundUp(bytes == 0 ? 1 : bytes, alignment);
#ifdef _WIN32
    // Windows' C library has no aligned_alloc: free() cannot tell an
    // aligned block there, so it pairs _aligned_malloc with _aligned_free.
    data_ = static_cast<unsigned char*>(::_aligned_malloc(size, alignment));
#else
    data_ = static_cast<unsigned char*>(std::aligned_alloc(alignment, size));
#endif
    if (!data_)
        throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (alignment == hugePage)
        ::madvise(data_, size, MADV_HUGEPAGE); // best effort
#endif
}

WorkMemory::~WorkMemory()
{
#ifdef _WIN32
    ::_aligned_free(data_);
#else
    std::free(data_);
#endif
}

} // namespace quiltpix
