// A palette for one tile: its own colours when it has at most 256, else 256
// chosen by our quantiser, from published methods:
//
//   1. count the tile's distinct colours exactly (no binning: a 5-bit
//      histogram costs nearly 3 dB);
//   2. split the colour list into 256 boxes by Wu's variance criterion
//      (X. Wu, "Efficient statistical computations for optimal color
//      quantization", Graphics Gems II, 1991): always cut the box of the
//      largest squared error, on the axis and at the place that leave the
//      least error in the two halves;
//   3. refine the box means with a few Lloyd (k-means) passes;
//   4. map every colour to its nearest entry, or, when asked, diffuse the
//      error to the neighbours (Floyd and Steinberg, 1976).
//
// Distances are plain squared RGB differences, the measure PSNR reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quiltpix {

constexpr int tilePixels = 64 * 64;

// Colours packed as 0xRRGGBB.
inline std::uint32_t packColour(const unsigned char* bgr)
{
    return std::uint32_t{bgr[0]} | (std::uint32_t{bgr[1]} << 8) | (std::uint32_t{bgr[2]} << 16);
}

struct TileResult {
    bool exact = false;        // every pixel kept its colour
    std::uint64_t squaredError = 0; // summed over the three channels of every pixel
};

class TileQuantiser {
public:
    TileQuantiser();

    // Gives the tile of `width` x `height` pixels (row by row, at most 64 x
    // 64) a palette of 256 entries (blue, green, red, 0; unused entries all
    // zero) and one index byte a pixel.
    TileResult quantise(const std::uint32_t* pixels, int width, int height, bool dither, unsigned char* palette,
                        unsigned char* indices);

    // Lloyd passes after the split; more cost time for a little quality.
    int refinePasses = 6;

private:
    // Distinct colours of the tile, and for each pixel which one it is.
    std::size_t countColours(const std::uint32_t* pixels, std::size_t count);
    void split(int boxes);
    void refine(int passes);
    int nearest(int r, int g, int b, int guess, std::int64_t& best) const;
    void sortEntries();

    std::vector<std::uint32_t> slotKey_;
    std::vector<std::uint32_t> slotStamp_;
    std::vector<std::uint16_t> slotId_;
    std::uint32_t stamp_ = 0;

    std::vector<std::uint16_t> ids_;      // a pixel's colour
    std::vector<std::uint32_t> colours_;  // distinct colours
    std::vector<std::uint32_t> weights_;  // pixels of each
    std::vector<std::uint16_t> order_;    // colours, grouped box by box
    std::vector<std::uint16_t> assigned_; // a colour's entry

    struct Entry {
        int r, g, b;
    };
    std::vector<Entry> entries_;
    // Entries sorted by green, for a search that stops once green alone is
    // farther than the best found.
    std::vector<int> byGreen_;
    int greenStart_[257] = {};
};

// PSNR of a tile's squared error over its pixels (three channels each).
double tilePsnr(std::uint64_t squaredError, std::uint64_t pixels);

} // namespace quiltpix
