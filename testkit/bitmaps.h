// Bitmaps in every variant the way back reads, written by the project's own
// code, each with the picture a correct reader shows; and photo-like
// pictures for the quantiser's quality set.
#pragma once

#include "picture.h"

#include <array>
#include <cstdint>
#include <string>

namespace quiltpix::testkit {

struct BitmapVariant {
    std::string name;
    std::uint32_t headerSize = 40;  // 12, 16, 40, 52, 56, 64, 108, 124
    int bits = 24;                  // 1, 2, 4, 8, 16, 24, 32
    std::uint32_t compression = 0;  // 0 plain, 1 RLE8, 2 RLE4, 3 masks, 6 masks with alpha
    bool topDown = false;
    std::array<std::uint32_t, 4> masks{}; // red, green, blue, alpha, for compression 3 and 6
    std::uint32_t tableEntries = 0; // 0: 2^bits, and biClrUsed written as 0
    bool rleSkips = false;          // index 0 drawn by delta, end-of-line and end-of-bitmap escapes
    bool rlePadded = false;         // runs reach into the padding to a multiple of 4 pixels
    std::uint32_t alpha = 0xFFFFFFFFu; // alpha written where there is an alpha mask
};

// The variants people's tools write, one of each kind.
std::vector<BitmapVariant> bitmapVariants();

struct BitmapFile {
    Bytes bytes;
    Picture shows; // what the bitmap holds: the picture, reduced to the variant's colours
};

// Indexed variants take the picture's colours in order of appearance; a
// colour beyond the table's room is drawn with an entry already there.
BitmapFile writeBitmapVariant(const Picture& picture, const BitmapVariant& variant);

// A picture with a photograph's statistics: smooth gradients, edges,
// texture and sensor noise, so that most tiles hold far more than 256
// colours. The same seed gives the same picture.
Picture photoPicture(int width, int height, std::uint64_t seed);

// The quantiser's quality set: 18 photo-like pictures of 256 x 256, 288
// tiles, almost all of them with more than 256 colours.
std::vector<Picture> qualitySet();

} // namespace quiltpix::testkit
