// Pixels already in memory as red, green, blue rows, top row first: the
// way back's reader for a caller who has no file, only the picture.
#pragma once

#include "picture_reader.h"

#include <cstddef>
#include <cstdint>

namespace quiltpix {

class PixelsReader : public PictureReader {
public:
    // Row y starts at rgb + y x stride; stride is at least 3 x width.
    PixelsReader(const unsigned char* rgb, std::int64_t width, std::int64_t height, std::size_t stride)
        : rgb_(rgb), width_(width), height_(height), stride_(stride)
    {
    }

    std::string open() override { return readHeader(); }
    std::string readHeader() override { return sizeProblem(width_, height_); }
    PictureFormat picture() const override;
    std::string readRows(unsigned char* bgr, std::ptrdiff_t step, int count) override;
    std::uint64_t translucent() const override { return 0; }

private:
    const unsigned char* rgb_;
    std::int64_t width_, height_;
    std::size_t stride_;
    std::int64_t rowsRead_ = 0;
};

} // namespace quiltpix
