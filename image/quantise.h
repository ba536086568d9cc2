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
#include <cstring>
#include <vector>

namespace quiltpix {

constexpr int tilePixels = 64 * 64;

// Colours packed as 0xRRGGBB.
inline std::uint32_t packColour(const unsigned char* bgr)
{
    return std::uint32_t{bgr[0]} | (std::uint32_t{bgr[1]} << 8) | (std::uint32_t{bgr[2]} << 16);
}

// The same from four readable bytes, the fourth ignored: one load where the
// byte order allows it.
inline std::uint32_t packColour4(const unsigned char* bgrx)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::uint32_t v;
    std::memcpy(&v, bgrx, 4);
    return v & 0xFFFFFFu;
#else
    return packColour(bgrx);
#endif
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
    int refinePasses = 4;

    // Sets the colour hash's multiplier, drawn afresh for each quantiser
    // otherwise: only the speed may depend on it, never an answer.
    void seedHash(std::uint64_t multiplier) { multiplier_ = multiplier | 1; }

private:
    // Distinct colours of the tile, and for each pixel which one it is.
    std::size_t countColours(const std::uint32_t* pixels, std::size_t count);
    void weigh(std::size_t count); // pixels of each colour

    struct Entry {
        int r, g, b;
    };

    // Sums over a set of colours, enough to know its mean and squared error.
    struct Stats {
        double w = 0, r = 0, g = 0, b = 0, sq = 0;

        void add(double weight, int cr, int cg, int cb)
        {
            w += weight;
            r += weight * cr;
            g += weight * cg;
            b += weight * cb;
            sq += weight * (double(cr) * cr + double(cg) * cg + double(cb) * cb);
        }
        Stats& operator+=(const Stats& o)
        {
            w += o.w;
            r += o.r;
            g += o.g;
            b += o.b;
            sq += o.sq;
            return *this;
        }
        Stats operator-(const Stats& o) const { return Stats{w - o.w, r - o.r, g - o.g, b - o.b, sq - o.sq}; }
        // The part of sq the mean explains; the error left is sq minus this.
        double explained() const { return w > 0 ? (r * r + g * g + b * b) / w : 0; }
        // The mean rounded to whole levels, in whole numbers: the sums are
        // exact, and so is the result on any processor.
        Entry mean() const;
    };
    // A run of order_ and where it would best be cut.
    struct Box {
        std::size_t begin = 0, end = 0;
        Stats stats;
        double gain = -1; // error the cut removes; negative: no cut
        int axis = 0, cut = 0;
        Stats left;
    };
    void planCut(Box& box);
    void split(int boxes);
    void refine(int passes);
    int nearest(int r, int g, int b, int guess, std::int64_t& best) const;
    void sortEntries();
    void measureGaps();

    std::vector<std::uint32_t> slotKey_;
    std::vector<std::uint16_t> slotId_;
    std::uint32_t stamp_ = 0;
    std::uint64_t multiplier_ = 0; // of the colour hash; see slotOf

    std::vector<std::uint16_t> ids_;      // a pixel's colour
    std::vector<std::uint32_t> colours_;  // distinct colours
    std::vector<std::uint32_t> weights_;  // pixels of each
    std::vector<std::uint16_t> order_;    // colours, grouped box by box
    std::vector<std::uint16_t> assigned_; // a colour's entry
    std::vector<Box> boxes_;
    Stats hist_[3][256];


    std::vector<Entry> entries_;
    // Entries sorted by r + g + b, for a search that stops once that sum
    // alone shows an entry farther than the best found: the squared sum of
    // three differences is at most three times their sum of squares.
    std::vector<int> byKey_;
    std::vector<int> keys_;
    std::vector<int> keyStart_; // the first entry whose sum is at least v
    // Half the distance from each entry to its nearest other entry, squared:
    // a colour within it of its entry has no nearer one.
    std::vector<std::int64_t> alone_;
};

// PSNR of a tile's squared error over its pixels (three channels each).
double tilePsnr(std::uint64_t squaredError, std::uint64_t pixels);

} // namespace quiltpix
