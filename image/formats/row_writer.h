// Where the MOS side's pictures go, whatever the format: the headers once the
// size is known, then every pixel row in the order the format stores them.
#pragma once

#include <cstddef>
#include <ostream>

namespace quiltpix {

class RowWriter {
public:
    virtual ~RowWriter() = default;

    // Whether the format stores the bottom row first (a bitmap), or the top.
    virtual bool bottomUp() const = 0;
    // Whether the rows come as red, green, blue rather than blue, green,
    // red (what bitmaps and PNG files take).
    virtual bool rgb() const { return false; }
    // The headers, before any row.
    virtual bool begin(int width, int height) = 0;
    // `count` rows of the picture, each `width` pixels of blue, green, red
    // and then zero bytes up to `stride` (3 x width rounded up to 4), the
    // next row `stride` bytes on.
    virtual bool rows(const unsigned char* bgr, std::size_t stride, int count) = 0;
    // After the last row: whatever the format puts at the end.
    virtual bool finish() = 0;
};

// The uncompressed 24-bit bitmap (layout in mos.h), written front to back.
class BmpWriter : public RowWriter {
public:
    explicit BmpWriter(std::ostream& out) : out_(out) {}
    bool bottomUp() const override { return true; }
    bool begin(int width, int height) override;
    bool rows(const unsigned char* bgr, std::size_t stride, int count) override;
    bool finish() override;

private:
    std::ostream& out_;
};

} // namespace quiltpix
