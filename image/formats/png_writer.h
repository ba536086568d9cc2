// PNG as the MOS side writes it: 8-bit RGB, not interlaced, streamed a tile
// row at a time from the top, in IDAT chunks of at most 256 KiB.
//
//   signature  89 50 4E 47 0D 0A 1A 0A
//   chunk      length (u32, big-endian), type (4 letters), data, CRC-32 of
//              type and data (big-endian)
//   IHDR       width u32, height u32, bit depth 8, colour type 2 (RGB),
//              compression 0, filter 0, interlace 0
//   IDAT ...   one zlib stream of every row: a filter byte (0 none, 1 sub,
//              2 up, 3 average, 4 Paeth), then red, green, blue per pixel,
//              each byte less its prediction
//   IEND       empty
//
// Fast by default: zlib level 1 and every row filtered "up". Small: level 6,
// and each row the filter whose output has the least sum of absolute values.
// zlib's ordinary matching suits drawn pictures (flat areas, repeated
// texture); on photographs, whose filtered rows hardly repeat, run-length
// matching is both faster and smaller. The first rows are compressed both
// ways, and the smaller way is taken for the whole picture.
#pragma once

#include "row_writer.h"

#include <memory>
#include <ostream>

namespace quiltpix {

// Whether this build reads and writes PNG (it needs zlib).
bool pngAvailable();
extern const char* const pngNeedsZlib; // "PNG needs zlib, which this build lacks"

class PngWriter : public RowWriter {
public:
    PngWriter(std::ostream& out, bool small);
    ~PngWriter() override;
    bool bottomUp() const override { return false; }
    bool begin(int width, int height) override;
    bool rows(const unsigned char* bgr, std::size_t stride, int count) override;
    bool finish() override;

    struct State;

private:
    std::unique_ptr<State> s_;
};

} // namespace quiltpix
