// Reading the bitmaps people's tools write, for the way back to MOS.
//
// File header (14 bytes), then one of these info headers:
//
//   biSize  kind                      fields after the size
//   12      OS/2 1.x                  width u16, height u16, planes u16, bits u16;
//                                     colour table entries of 3 bytes (b, g, r)
//   16-64   OS/2 2.x                  as 40 below, cut short; entries of 4 bytes
//   40      BITMAPINFOHEADER          width i32, height i32 (negative: top-down),
//                                     planes u16, bits u16, compression u32,
//                                     image size, resolution x 2, colours used,
//                                     colours important; entries of 4 bytes
//   52, 56  the same with the red, green, blue (and, 56, alpha) masks at 40..55
//   108     V4: masks at 40..55, then colour space and end points
//   124     V5: as V4, then rendering intent and profile
//
// With BI_BITFIELDS (3) and a 40-byte header the three masks follow the header
// (BI_ALPHABITFIELDS, 6: four masks). The colour table comes next, then at
// bfOffBits the pixel rows, bottom-up unless the height is negative; each
// uncompressed row is bits x width rounded up to 4 bytes. RLE8 (1) and RLE4
// (2) are streams of two-byte commands (see the reader).
#pragma once

#include "picture_reader.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <vector>

namespace quiltpix {

// The headers' fields as read, judged by nothing yet.
struct BitmapHeader {
    std::uint64_t fileSize = 0;
    std::uint32_t headerSize = 0;
    std::uint64_t dataOffset = 0;
    std::int64_t width = 0;
    std::int64_t height = 0; // negative: top-down
    int bits = 0;
    std::uint32_t compression = 0;
    std::uint32_t colorsUsed = 0;
    // Red, green, blue, alpha: in the header from 52 bytes on, or in the
    // bytes after a 40-byte one, of which bytesAfterHeader (up to 16) exist.
    std::array<std::uint32_t, 4> masks{};
    std::uint32_t bytesAfterHeader = 0;
};

// What the headers say, once judged readable.
struct BitmapFormat {
    int width = 0;
    int height = 0;
    bool topDown = false;
    int bits = 0;
    std::uint32_t compression = 0; // 0 plain, 1 RLE8, 2 RLE4, 3 and 6 masks
    std::uint32_t headerSize = 0;
    std::uint64_t dataOffset = 0;
    std::array<std::uint32_t, 4> masks{}; // red, green, blue, alpha; pixels of 16 and 32 bits
    std::uint64_t tableAt = 0; // where the colour table starts
    std::uint32_t tableEntries = 0;

    // Bytes a stored uncompressed row takes, its padding included.
    std::uint64_t stride() const { return (static_cast<std::uint64_t>(bits) * static_cast<std::uint64_t>(width) + 31) / 32 * 4; }

    // "24 bits per pixel, uncompressed, bottom-up": for --check.
    std::string describe() const;
};

// Reads the file header and the info header: "" or why they cannot be read
// (too short, not "BM", a header size no bitmap has).
std::string readBitmapHeader(std::istream& in, std::uint64_t size, BitmapHeader& header);

// Judges what the headers say, reading nothing: "" when the pixels can be
// read, with `format` filled in, or the first reason they cannot.
std::string judgeBitmap(const BitmapHeader& header, BitmapFormat& format);

// Reads a bitmap from a seekable stream, one row at a time in the order the
// file stores them (bottom row first unless top-down). Every size and offset
// is checked against the file's length before it is used, and anything the
// reader cannot read exactly is refused with a reason; nothing is guessed.
class BitmapReader : public PictureReader {
public:
    BitmapReader(std::istream& in, std::uint64_t size);
    ~BitmapReader() override;
    BitmapReader(const BitmapReader&) = delete;
    BitmapReader& operator=(const BitmapReader&) = delete;

    // Reads and judges the headers and the colour table: "" when the pixels
    // can be read, the reason otherwise.
    std::string open() override;
    std::string readHeader() override;
    const BitmapFormat& format() const { return format_; }
    PictureFormat picture() const override;

    // The next `count` stored rows as blue, green, red triples, row k at
    // bgr + k x step (negative to turn bottom-up rows the right way round).
    // "" or why the rows cannot be read.
    std::string readRows(unsigned char* bgr, std::ptrdiff_t step, int count) override;

    // Pixels read so far whose alpha is not fully opaque (only bitmaps with an
    // alpha mask have any).
    std::uint64_t translucent() const override { return translucent_; }

private:
    struct Decoder;
    std::istream& in_;
    std::uint64_t size_;
    BitmapFormat format_;
    std::array<unsigned char, 256 * 3> table_{}; // blue, green, red
    std::uint64_t translucent_ = 0;
    int rowsRead_ = 0;
    std::unique_ptr<Decoder> decoder_;
};

// True for the first bytes of a bitmap file.
bool looksLikeBitmap(const unsigned char* bytes, std::size_t length);

} // namespace quiltpix
