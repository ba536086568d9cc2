#include "quantise.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace quiltpix {
namespace {

constexpr std::size_t slots = 8192; // at least twice the pixels of a tile
constexpr int paletteSize = 256;

int red(std::uint32_t c) { return static_cast<int>((c >> 16) & 0xFF); }
int green(std::uint32_t c) { return static_cast<int>((c >> 8) & 0xFF); }
int blue(std::uint32_t c) { return static_cast<int>(c & 0xFF); }

std::size_t slotOf(std::uint32_t c)
{
    return (c * 0x9E3779B1u) >> (32 - 13);
}

std::int64_t distance(int r1, int g1, int b1, int r2, int g2, int b2)
{
    const int dr = r1 - r2, dg = g1 - g2, db = b1 - b2;
    return std::int64_t{dr} * dr + std::int64_t{dg} * dg + std::int64_t{db} * db;
}

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
    // What the mean explains: the error left is sq minus this.
    double explained() const { return w > 0 ? (r * r + g * g + b * b) / w : 0; }
    double error() const { return std::max(0.0, sq - explained()); }
};

struct Box {
    std::size_t begin = 0, end = 0;
    Stats stats;
};

int channel(std::uint32_t c, int axis)
{
    return static_cast<int>((c >> (8 * (2 - axis))) & 0xFF); // 0 red, 1 green, 2 blue
}

} // namespace

TileQuantiser::TileQuantiser()
    : slotKey_(slots), slotStamp_(slots), slotId_(slots), ids_(tilePixels), assigned_(tilePixels),
      entries_(paletteSize), byGreen_(paletteSize)
{
    colours_.reserve(tilePixels);
    weights_.reserve(tilePixels);
    order_.reserve(tilePixels);
}

std::size_t TileQuantiser::countColours(const std::uint32_t* pixels, std::size_t count)
{
    // A stamp per slot instead of clearing the table for every tile.
    if (++stamp_ == 0) {
        std::fill(slotStamp_.begin(), slotStamp_.end(), 0);
        stamp_ = 1;
    }
    colours_.clear();
    weights_.clear();
    std::uint32_t last = 0xFFFFFFFFu;
    std::uint16_t lastId = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t c = pixels[i];
        if (c != last) {
            std::size_t s = slotOf(c);
            while (slotStamp_[s] == stamp_ && slotKey_[s] != c)
                s = (s + 1) & (slots - 1);
            if (slotStamp_[s] != stamp_) {
                slotStamp_[s] = stamp_;
                slotKey_[s] = c;
                slotId_[s] = static_cast<std::uint16_t>(colours_.size());
                colours_.push_back(c);
                weights_.push_back(0);
            }
            last = c;
            lastId = slotId_[s];
        }
        ids_[i] = lastId;
        ++weights_[lastId];
    }
    return colours_.size();
}

void TileQuantiser::split(int wanted)
{
    const std::size_t n = colours_.size();
    order_.resize(n);
    std::vector<Box> boxes;
    boxes.reserve(static_cast<std::size_t>(wanted));
    Box all;
    all.end = n;
    for (std::size_t i = 0; i < n; ++i) {
        order_[i] = static_cast<std::uint16_t>(i);
        all.stats.add(weights_[i], red(colours_[i]), green(colours_[i]), blue(colours_[i]));
    }
    boxes.push_back(all);

    Stats hist[3][256];
    while (static_cast<int>(boxes.size()) < wanted) {
        std::size_t worst = 0;
        double worstError = 0;
        for (std::size_t k = 0; k < boxes.size(); ++k)
            if (boxes[k].end - boxes[k].begin > 1 && boxes[k].stats.error() > worstError) {
                worstError = boxes[k].stats.error();
                worst = k;
            }
        if (worstError <= 0)
            break; // every box holds one colour
        Box& box = boxes[worst];
        int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
        for (int a = 0; a < 3; ++a)
            for (int v = 0; v < 256; ++v)
                hist[a][v] = Stats{};
        for (std::size_t i = box.begin; i < box.end; ++i) {
            const std::uint32_t c = colours_[order_[i]];
            const double w = weights_[order_[i]];
            for (int a = 0; a < 3; ++a) {
                const int v = channel(c, a);
                hist[a][v].add(w, red(c), green(c), blue(c));
                lo[a] = std::min(lo[a], v);
                hi[a] = std::max(hi[a], v);
            }
        }
        // The cut that leaves the least error keeps the most explained.
        double bestGain = -1;
        int bestAxis = 0, bestCut = 0;
        Stats bestLeft;
        for (int a = 0; a < 3; ++a) {
            Stats left;
            for (int v = lo[a]; v < hi[a]; ++v) {
                const Stats& s = hist[a][v];
                left.w += s.w;
                left.r += s.r;
                left.g += s.g;
                left.b += s.b;
                left.sq += s.sq;
                if (left.w == 0)
                    continue;
                Stats right = box.stats;
                right.w -= left.w;
                right.r -= left.r;
                right.g -= left.g;
                right.b -= left.b;
                right.sq -= left.sq;
                if (right.w <= 0)
                    break;
                const double gain = left.explained() + right.explained();
                if (gain > bestGain) {
                    bestGain = gain;
                    bestAxis = a;
                    bestCut = v;
                    bestLeft = left;
                }
            }
        }
        if (bestGain < 0)
            break;
        const auto middle = std::partition(order_.begin() + static_cast<std::ptrdiff_t>(box.begin),
                                           order_.begin() + static_cast<std::ptrdiff_t>(box.end),
                                           [&](std::uint16_t i) { return channel(colours_[i], bestAxis) <= bestCut; });
        Box right;
        right.begin = static_cast<std::size_t>(middle - order_.begin());
        right.end = box.end;
        right.stats = box.stats;
        right.stats.w -= bestLeft.w;
        right.stats.r -= bestLeft.r;
        right.stats.g -= bestLeft.g;
        right.stats.b -= bestLeft.b;
        right.stats.sq -= bestLeft.sq;
        box.end = right.begin;
        box.stats = bestLeft;
        boxes.push_back(right);
    }

    entries_.assign(paletteSize, Entry{0, 0, 0});
    for (std::size_t k = 0; k < boxes.size(); ++k) {
        const Stats& s = boxes[k].stats;
        entries_[k] = Entry{static_cast<int>(std::lround(s.r / s.w)), static_cast<int>(std::lround(s.g / s.w)),
                            static_cast<int>(std::lround(s.b / s.w))};
        for (std::size_t i = boxes[k].begin; i < boxes[k].end; ++i)
            assigned_[order_[i]] = static_cast<std::uint16_t>(k);
    }
}

void TileQuantiser::sortEntries()
{
    for (int k = 0; k < paletteSize; ++k)
        byGreen_[static_cast<std::size_t>(k)] = k;
    std::sort(byGreen_.begin(), byGreen_.end(),
              [this](int a, int b) { return entries_[static_cast<std::size_t>(a)].g < entries_[static_cast<std::size_t>(b)].g; });
    int k = 0;
    for (int v = 0; v <= 256; ++v) {
        while (k < paletteSize && entries_[static_cast<std::size_t>(byGreen_[static_cast<std::size_t>(k)])].g < v)
            ++k;
        greenStart_[v] = k;
    }
}

// The entry nearest to (r, g, b), searching outwards in green from g and
// stopping on each side once green alone is farther than the best so far.
// `best` comes in as the distance to `guess` and goes out as the nearest's.
int TileQuantiser::nearest(int r, int g, int b, int guess, std::int64_t& best) const
{
    int found = guess;
    int up = greenStart_[g], down = up - 1;
    while (up < paletteSize || down >= 0) {
        if (up < paletteSize) {
            const int k = byGreen_[static_cast<std::size_t>(up)];
            const Entry& e = entries_[static_cast<std::size_t>(k)];
            const std::int64_t dg = e.g - g;
            if (dg * dg >= best) {
                up = paletteSize;
            } else {
                const std::int64_t d = distance(r, g, b, e.r, e.g, e.b);
                if (d < best) {
                    best = d;
                    found = k;
                }
                ++up;
            }
        }
        if (down >= 0) {
            const int k = byGreen_[static_cast<std::size_t>(down)];
            const Entry& e = entries_[static_cast<std::size_t>(k)];
            const std::int64_t dg = g - e.g;
            if (dg * dg >= best) {
                down = -1;
            } else {
                const std::int64_t d = distance(r, g, b, e.r, e.g, e.b);
                if (d < best) {
                    best = d;
                    found = k;
                }
                --down;
            }
        }
    }
    return found;
}

void TileQuantiser::refine(int passes)
{
    const std::size_t n = colours_.size();
    std::vector<Stats> sums(paletteSize);
    for (int pass = 0; pass <= passes; ++pass) {
        sortEntries();
        bool moved = false;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t c = colours_[i];
            const int r = red(c), g = green(c), b = blue(c);
            const int guess = assigned_[i];
            const Entry& e = entries_[static_cast<std::size_t>(guess)];
            std::int64_t best = distance(r, g, b, e.r, e.g, e.b) + 1;
            const int k = nearest(r, g, b, guess, best);
            moved |= k != guess;
            assigned_[i] = static_cast<std::uint16_t>(k);
        }
        if (pass == passes || (!moved && pass > 0))
            break;
        std::fill(sums.begin(), sums.end(), Stats{});
        for (std::size_t i = 0; i < n; ++i)
            sums[assigned_[i]].add(weights_[i], red(colours_[i]), green(colours_[i]), blue(colours_[i]));
        for (std::size_t k = 0; k < sums.size(); ++k)
            if (sums[k].w > 0)
                entries_[k] = Entry{static_cast<int>(std::lround(sums[k].r / sums[k].w)),
                                    static_cast<int>(std::lround(sums[k].g / sums[k].w)),
                                    static_cast<int>(std::lround(sums[k].b / sums[k].w))};
    }
}

TileResult TileQuantiser::quantise(const std::uint32_t* pixels, int width, int height, bool dither,
                                   unsigned char* palette, unsigned char* indices)
{
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const std::size_t n = countColours(pixels, count);
    std::memset(palette, 0, 1024);
    TileResult result;
    if (n <= static_cast<std::size_t>(paletteSize)) {
        for (std::size_t k = 0; k < n; ++k) {
            palette[4 * k] = static_cast<unsigned char>(blue(colours_[k]));
            palette[4 * k + 1] = static_cast<unsigned char>(green(colours_[k]));
            palette[4 * k + 2] = static_cast<unsigned char>(red(colours_[k]));
        }
        for (std::size_t i = 0; i < count; ++i)
            indices[i] = static_cast<unsigned char>(ids_[i]);
        result.exact = true;
        return result;
    }

    split(paletteSize);
    refine(refinePasses);
    for (std::size_t k = 0; k < static_cast<std::size_t>(paletteSize); ++k) {
        palette[4 * k] = static_cast<unsigned char>(entries_[k].b);
        palette[4 * k + 1] = static_cast<unsigned char>(entries_[k].g);
        palette[4 * k + 2] = static_cast<unsigned char>(entries_[k].r);
    }
    if (!dither) {
        // refine() ends on an assignment to the final entries.
        std::uint64_t error = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const Entry& e = entries_[assigned_[i]];
            error += weights_[i] *
                     static_cast<std::uint64_t>(distance(red(colours_[i]), green(colours_[i]), blue(colours_[i]), e.r, e.g, e.b));
        }
        for (std::size_t i = 0; i < count; ++i)
            indices[i] = static_cast<unsigned char>(assigned_[ids_[i]]);
        result.squaredError = error;
        return result;
    }

    // Floyd-Steinberg within the tile: each pixel's error goes to its right
    // and lower neighbours, in sixteenths, 7, 3, 5, 1.
    const std::size_t w = static_cast<std::size_t>(width);
    std::vector<int> carry(2 * 3 * (w + 2), 0);
    for (int y = 0; y < height; ++y) {
        int* here = carry.data() + 3 * (w + 2) * static_cast<std::size_t>(y % 2);
        int* below = carry.data() + 3 * (w + 2) * static_cast<std::size_t>((y + 1) % 2);
        std::fill(below, below + 3 * (w + 2), 0);
        for (std::size_t x = 0; x < w; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * w + x;
            const std::uint32_t c = pixels[i];
            int want[3] = {red(c), green(c), blue(c)};
            for (int a = 0; a < 3; ++a)
                want[a] = std::clamp(want[a] + here[3 * (x + 1) + static_cast<std::size_t>(a)] / 16, 0, 255);
            const int guess = assigned_[ids_[i]];
            const Entry& g = entries_[static_cast<std::size_t>(guess)];
            std::int64_t best = distance(want[0], want[1], want[2], g.r, g.g, g.b) + 1;
            const int k = nearest(want[0], want[1], want[2], guess, best);
            indices[i] = static_cast<unsigned char>(k);
            const Entry& e = entries_[static_cast<std::size_t>(k)];
            result.squaredError += static_cast<std::uint64_t>(distance(red(c), green(c), blue(c), e.r, e.g, e.b));
            const int got[3] = {e.r, e.g, e.b};
            for (std::size_t a = 0; a < 3; ++a) {
                const int err = want[a] - got[a];
                here[3 * (x + 2) + a] += 7 * err;
                below[3 * x + a] += 3 * err;
                below[3 * (x + 1) + a] += 5 * err;
                below[3 * (x + 2) + a] += err;
            }
        }
    }
    return result;
}

double tilePsnr(std::uint64_t squaredError, std::uint64_t pixels)
{
    if (squaredError == 0)
        return std::numeric_limits<double>::infinity();
    const double mse = static_cast<double>(squaredError) / (3.0 * static_cast<double>(pixels));
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

} // namespace quiltpix
