// Chooses the lookup kernel once, at run time, from what the processor and
// the system support; every other machine, compiler and architecture runs
// the scalar kernel.
#include "lookup.h"

namespace quiltpix {

#ifdef QUILTPIX_HAVE_AVX512_KERNEL
void lookupAvx512(const unsigned char* palette, const unsigned char* index, std::ptrdiff_t indexStep,
                  std::size_t width, std::size_t rows, unsigned char* out, std::size_t outStep);
#endif

namespace {

LookupKernel& chosen()
{
    static LookupKernel kernel = availableLookupKernels().back().kernel;
    return kernel;
}

} // namespace

std::vector<NamedKernel> availableLookupKernels()
{
    std::vector<NamedKernel> kernels = {{"scalar", lookupScalar}};
#ifdef QUILTPIX_HAVE_AVX512_KERNEL
    // The builtin also checks that the system saves the 512-bit registers.
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vbmi"))
        kernels.push_back({"avx512vbmi", lookupAvx512});
#endif
    return kernels;
}

LookupKernel lookupKernel()
{
    return chosen();
}

void setLookupKernel(LookupKernel kernel)
{
    chosen() = kernel;
}

} // namespace quiltpix
