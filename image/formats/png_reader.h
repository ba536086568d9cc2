// Reading PNG for the way back.
//
// After the 8-byte signature, chunks: length (u32 big-endian, at most
// 2^31 - 1), type (four letters; a capital first letter marks a chunk a
// reader must understand), data, CRC-32 of type and data. IHDR comes first
// (width, height, bit depth, colour type, compression 0, filter 0,
// interlace 0 or 1); PLTE (palette entries of red, green, blue) and tRNS
// (transparency) before the IDAT chunks, which stand together and hold one
// zlib stream; IEND last. The stream holds each row as a filter byte (0 to
// 4) and the row's bytes less their prediction; an interlaced (Adam7)
// picture holds seven smaller pictures, one after another.
//
//   colour type  0 grey (1, 2, 4, 8, 16 bits)   2 RGB (8, 16)
//                3 palette (1, 2, 4, 8)         4 grey and alpha (8, 16)
//                6 RGB and alpha (8, 16)
//
// Samples of n bits scale to 8 as round(v x 255 / (2^n - 1)); alpha and
// tRNS only count the pixels that were not fully opaque; ancillary chunks
// (gamma, colour profiles, text) are passed over: the samples are the
// picture. Every chunk's CRC is checked, and the zlib stream must end right
// after the last row.
#pragma once

#include "picture_reader.h"

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>

namespace quiltpix {

// An interlaced picture is decoded whole before its first row is handed on:
// up to this many pixels (192 MiB of them).
constexpr std::uint64_t largestInterlaced = std::uint64_t{64} << 20;

bool looksLikePng(const unsigned char* bytes, std::size_t length);

// The IHDR chunk's fields as read, judged by nothing yet.
struct PngHeader {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int depth = 0;
    int colourType = 0;
    int compression = 0;
    int filter = 0;
    int interlace = 0;
};

// The 13 bytes of an IHDR chunk's data, at their fixed places.
PngHeader parsePngHeader(const unsigned char* ihdr);

// "" when a picture of this header can be read, else the first reason not.
std::string judgePng(const PngHeader& header);

class PngReader : public PictureReader {
public:
    PngReader(std::istream& in, std::uint64_t size);
    ~PngReader() override;
    PngReader(const PngReader&) = delete;
    PngReader& operator=(const PngReader&) = delete;

    std::string open() override;
    std::string readHeader() override;
    PictureFormat picture() const override;
    std::string readRows(unsigned char* bgr, std::ptrdiff_t step, int count) override;
    std::uint64_t translucent() const override;

    struct State;

private:
    std::unique_ptr<State> s_;
};

} // namespace quiltpix
