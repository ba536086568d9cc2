#include "lookup.h"

#include <cstring>

namespace quiltpix {

namespace {

// A palette entry is stored blue, green, red, unused: each pixel copies all
// four bytes and the next pixel overwrites the unused one; the last pixel of
// a row copies three, so nothing past the row is written. Every index byte is
// below 256, so it always lands within the 1024-byte palette.
inline void lookUpRow(const unsigned char* index, std::size_t n, const unsigned char* palette, unsigned char* out)
{
    auto four = [palette](unsigned char* to, unsigned char k) { std::memcpy(to, palette + 4 * std::size_t{k}, 4); };
    const unsigned char* end = index + n;
    // Eight at a time keeps the loop's own bookkeeping small beside the work.
    for (; end - index > 8; index += 8, out += 24)
        for (int i = 0; i < 8; ++i)
            four(out + 3 * i, index[i]);
    if (end - index == 8) { // a full tile's last eight
        for (int i = 0; i < 7; ++i)
            four(out + 3 * i, index[i]);
        index += 7;
        out += 21;
    }
    for (; end - index > 1; ++index, out += 3)
        four(out, *index);
    std::memcpy(out, palette + 4 * std::size_t{*index}, 3);
}

// A full tile's row, with every copy spelled out: three instructions a pixel.
inline void lookUpFullRow(const unsigned char* index, const unsigned char* palette, unsigned char* out)
{
#pragma GCC unroll 63
    for (std::size_t i = 0; i < 63; ++i)
        std::memcpy(out + 3 * i, palette + 4 * std::size_t{index[i]}, 4);
    std::memcpy(out + 189, palette + 4 * std::size_t{index[63]}, 3);
}

} // namespace

void lookupScalar(const unsigned char* palette, const unsigned char* index, std::ptrdiff_t indexStep,
                  std::size_t width, std::size_t rows, unsigned char* out, std::size_t outStep)
{
    // Nearly every tile is a full 64 pixels wide: a fixed count lets the
    // compiler unroll the whole row, leaving three instructions a pixel.
    if (width == 64) {
        for (std::size_t k = 0; k < rows; ++k)
            lookUpFullRow(index + static_cast<std::ptrdiff_t>(k) * indexStep, palette, out + k * outStep);
        return;
    }
    for (std::size_t k = 0; k < rows; ++k)
        lookUpRow(index + static_cast<std::ptrdiff_t>(k) * indexStep, width, palette, out + k * outStep);
}

} // namespace quiltpix
