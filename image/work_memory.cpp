#include "work_memory.h"

#include <cstdlib>
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
    data_ = static_cast<unsigned char*>(std::aligned_alloc(alignment, size));
    if (!data_)
        throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (alignment == hugePage)
        ::madvise(data_, size, MADV_HUGEPAGE); // best effort
#endif
}

WorkMemory::~WorkMemory()
{
    std::free(data_);
}

} // namespace quiltpix
