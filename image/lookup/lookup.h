// Colour lookup: index bytes through one tile's palette into bitmap pixels.
// The one place that knows about vector instructions; the converter calls
// whichever kernel lookupKernel() hands it.
#pragma once

#include <cstddef>
#include <vector>

namespace quiltpix {

// Turns `rows` rows of `width` index bytes (1 to 64: one tile's width) into
// rows of 3 x width bytes, blue, green, red, through one tile's palette
// (256 entries of blue, green, red, unused). Row k's index bytes start at
// index + k x indexStep, which may be negative since bitmaps run bottom-up,
// and its pixels at out + k x outStep. Writes exactly 3 x width bytes a row
// and reads nothing outside the rows' index bytes and the palette.
using LookupKernel = void (*)(const unsigned char* palette, const unsigned char* index, std::ptrdiff_t indexStep,
                              std::size_t width, std::size_t rows, unsigned char* out, std::size_t outStep);

// Byte by byte, on any machine: the reference for every other kernel.
void lookupScalar(const unsigned char* palette, const unsigned char* index, std::ptrdiff_t indexStep,
                  std::size_t width, std::size_t rows, unsigned char* out, std::size_t outStep);

struct NamedKernel {
    const char* name;
    LookupKernel kernel;
};

// The kernels this machine can run, the scalar one first.
std::vector<NamedKernel> availableLookupKernels();

// The fastest kernel this machine can run, chosen once.
LookupKernel lookupKernel();

// Makes lookupKernel() hand out the given kernel from now on: for tests and
// the benchmark, to check and measure every kernel on a machine that has more
// than one.
void setLookupKernel(LookupKernel kernel);

} // namespace quiltpix
