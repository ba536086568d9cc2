#include "pixels_reader.h"

namespace quiltpix {

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
        const unsigned char* in = rgb_ + static_cast<std::size_t>(rowsRead_) * stride_;
        unsigned char* out = bgr + static_cast<std::ptrdiff_t>(k) * step;
        for (std::size_t x = 0; x < w; ++x) {
            out[3 * x] = in[3 * x + 2];
            out[3 * x + 1] = in[3 * x + 1];
            out[3 * x + 2] = in[3 * x];
        }
    }
    return "";
}

} // namespace quiltpix
