// PNG files in every variant the way back reads, written by the project's
// own code, each with the picture a correct reader shows.
#pragma once

#include "picture.h"

#include <string>
#include <vector>

namespace quiltpix::testkit {

struct PngVariant {
    std::string name;
    int colourType = 2; // 0 grey, 2 RGB, 3 palette, 4 grey and alpha, 6 RGB and alpha
    int depth = 8;      // 1, 2, 4, 8, 16 as the colour type allows
    bool interlaced = false;
    bool transparency = false; // a tRNS chunk (palette alphas, or a key colour)
    int filter = -1;           // the filter of every row; -1: each filter in turn
    std::size_t idatSize = 0;  // bytes of image data in each IDAT; 0: one IDAT
    bool ancillary = false;    // gAMA, tEXt and an unknown ancillary chunk before the data
};

// One of each kind, every colour type at every depth among them.
std::vector<PngVariant> pngVariants();

struct PngFile {
    Bytes bytes;
    Picture shows;           // what the file holds: the picture reduced to the variant's colours
    std::uint64_t translucent = 0; // pixels that are not fully opaque
};

// Grey variants show each colour's green as grey; palette variants take the
// picture's colours in order of appearance (one beyond the palette's room
// takes an entry already there); 16-bit samples are v x 257.
PngFile writePngVariant(const Picture& picture, const PngVariant& variant);

// The chunk layout of a PNG, to damage one: offsets of each chunk's start.
struct PngChunk {
    std::string type;
    std::size_t at = 0; // where its length field is
    std::size_t length = 0;
};
std::vector<PngChunk> pngChunks(const Bytes& png);
// Sets a chunk's CRC right again after its data was changed.
void fixPngCrc(Bytes& png, const PngChunk& chunk);
// A PNG of the given IHDR fields and raw (filtered, uncompressed) image
// data, compressed as given: for damaged streams.
Bytes pngOf(std::uint32_t width, std::uint32_t height, int depth, int colourType, int interlace, const Bytes& zlibData,
            const Bytes& palette = {});
Bytes zlibCompress(const Bytes& raw);

} // namespace quiltpix::testkit
