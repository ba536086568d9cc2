#include "pixels_reader.h"

#include <cstdint>
#include <cstring>

namespace quiltpix {
namespace {

// Red, green, blue to blue, green, red: a pixel at a time through a 32-bit
// word whose byte order is reversed, each store's fourth byte overwritten
// by the next pixel; the last pixel byte by byte, so that nothing past the
// row is read or written. (Twice as fast as byte by byte: the way back
// from pixels in memory is then as fast as from a bitmap.)
void swapRow(const unsigned char* in, unsigned char* out, std::size_t width)
{
    std::size_t x = 0;
#if defined(__GNUC__) && defined(__BYTE_ORDER__)
    for (; x + 1 < width; ++x) {
        std::uint32_t v;
        std::memcpy(&v, in + 3 * x, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        v = __builtin_bswap32(v) << 8;
#else
        v = __builtin_bswap32(v) >> 8;
#endif
        std::memcpy(out + 3 * x, &v, 4);
    }
#endif
    for (; x < width; ++x) {
        out[3 * x] = in[3 * x + 2];
        out[3 * x + 1] = in[3 * x + 1];
        out[3 * x + 2] = in[3 * x];
    }
}

} // namespace

PictureFormat PixelsReader::picture() const
{
    PictureFormat p;
    p.width = static_cast<int>(width_);
    p.height = static_cast<int>(height_);
    p.topDown = true;
    p.description = "RGB pixels";
    return p;
}

std::string PixelsReader::readRows(unsigned char* bgr, std::ptrdiff_t step, int count)
{
    if (!sizeProblem(width_, height_).empty() || rowsRead_ + count > height_)
        return "there are no more rows";
    const std::size_t w = static_cast<std::size_t>(width_);
    for (int k = 0; k < count; ++k, ++rowsRead_) {
        swapRow(rgb_ + static_cast<std::size_t>(rowsRead_) * stride_, bgr + static_cast<std::ptrdiff_t>(k) * step, w);
    }
    return "";
}

} // namespace quiltpix
