#include "quantise.h"
#include "wrapping.h"

#include <algorithm>
#include <chrono>
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

constexpr int slotBits = 13;
static_assert(std::size_t{1} << slotBits == slots, "slots is a power of two");

// Multiply-shift hashing with an odd multiplier drawn for each quantiser: a
// fixed one lets a picture be made of colours that all land in one slot and
// slow every tile down to a crawl. Only the speed depends on it; the colours'
// numbering follows their order in the tile, so every answer is the same.
QUILTPIX_WRAPS std::size_t slotOf(std::uint32_t c, std::uint64_t multiplier)
{
    return static_cast<std::size_t>((std::uint64_t{c} * multiplier) >> (64 - slotBits));
}

// An odd number no file can be made for in advance: the clock and where the
// quantiser lives, mixed (splitmix64's finaliser).
QUILTPIX_WRAPS std::uint64_t freshMultiplier(const void* self)
{
    std::uint64_t z = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                      static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(self)) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return (z ^ (z >> 31)) | 1;
}

std::int64_t distance(int r1, int g1, int b1, int r2, int g2, int b2)
{
    const int dr = r1 - r2, dg = g1 - g2, db = b1 - b2;
    return std::int64_t{dr} * dr + std::int64_t{dg} * dg + std::int64_t{db} * db;
}

int channel(std::uint32_t c, int axis)
{
    return static_cast<int>((c >> (8 * (2 - axis))) & 0xFF); // 0 red, 1 green, 2 blue
}

} // namespace

TileQuantiser::TileQuantiser()
    : slotKey_(slots), slotId_(slots), ids_(tilePixels), assigned_(tilePixels),
      entries_(paletteSize), byKey_(paletteSize), keys_(paletteSize), keyStart_(3 * 255 + 2), alone_(paletteSize)
{
    multiplier_ = freshMultiplier(this);
    colours_.reserve(tilePixels);
    weights_.reserve(tilePixels);
    order_.reserve(tilePixels);
}

std::size_t TileQuantiser::countColours(const std::uint32_t* pixels, std::size_t count)
{
    // A slot holds its colour in the low 24 bits and the tile's stamp in the
    // high 8, so one load tells whether it is this tile's colour; the table
    // is cleared only when the stamp wraps.
    if (++stamp_ == 256) {
        std::fill(slotKey_.begin(), slotKey_.end(), 0);
        stamp_ = 1;
    }
    const std::uint32_t stamp = stamp_ << 24;
    colours_.clear();
    std::uint32_t last = 0xFFFFFFFFu;
    std::uint16_t lastId = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t c = pixels[i];
        if (c != last) {
            const std::uint32_t key = stamp | c;
            std::size_t s = slotOf(c, multiplier_);
            while (slotKey_[s] != key && (slotKey_[s] & 0xFF000000u) == stamp)
                s = (s + 1) & (slots - 1);
            if (slotKey_[s] != key) {
                slotKey_[s] = key;
                slotId_[s] = static_cast<std::uint16_t>(colours_.size());
                colours_.push_back(c);
            }
            last = c;
            lastId = slotId_[s];
        }
        ids_[i] = lastId;
    }
    return colours_.size();
}

void TileQuantiser::weigh(std::size_t count)
{
    weights_.assign(colours_.size(), 0);
    for (std::size_t i = 0; i < count; ++i)
        ++weights_[ids_[i]];
}

TileQuantiser::Entry TileQuantiser::Stats::mean() const
{
    // Sums of whole numbers below 2^53 are exact in a double.
    const std::int64_t weight = static_cast<std::int64_t>(w);
    auto level = [weight](double sum) {
        return static_cast<int>((2 * static_cast<std::int64_t>(sum) + weight) / (2 * weight));
    };
    return Entry{level(r), level(g), level(b)};
}

// Where to cut a box in two: on the axis and at the value that leave the
// least squared error in the halves, that is, that explain the most.
void TileQuantiser::planCut(Box& box)
{
    box.gain = -1;
    if (box.end - box.begin < 2)
        return;
    int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
    for (std::size_t i = box.begin; i < box.end; ++i) {
        const std::uint32_t c = colours_[order_[i]];
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], channel(c, a));
            hi[a] = std::max(hi[a], channel(c, a));
        }
    }
    for (int a = 0; a < 3; ++a)
        std::fill(hist_[a] + lo[a], hist_[a] + hi[a] + 1, Stats{});
    for (std::size_t i = box.begin; i < box.end; ++i) {
        const std::uint32_t c = colours_[order_[i]];
        Stats one;
        one.add(weights_[order_[i]], red(c), green(c), blue(c));
        for (int a = 0; a < 3; ++a)
            hist_[a][channel(c, a)] += one;
    }
    const double whole = box.stats.explained();
    for (int a = 0; a < 3; ++a) {
        Stats left;
        for (int v = lo[a]; v < hi[a]; ++v) {
            left += hist_[a][v];
            if (left.w == 0)
                continue;
            const double gain = left.explained() + (box.stats - left).explained() - whole;
            if (gain > box.gain) {
                box.gain = gain;
                box.axis = a;
                box.cut = v;
                box.left = left;
            }
        }
    }
}

void TileQuantiser::split(int wanted)
{
    const std::size_t n = colours_.size();
    order_.resize(n);
    boxes_.clear();
    Box all;
    all.end = n;
    for (std::size_t i = 0; i < n; ++i) {
        order_[i] = static_cast<std::uint16_t>(i);
        all.stats.add(weights_[i], red(colours_[i]), green(colours_[i]), blue(colours_[i]));
    }
    planCut(all);
    boxes_.push_back(all);

    // Always the cut that removes the most error of all boxes' best cuts.
    while (static_cast<int>(boxes_.size()) < wanted) {
        std::size_t best = 0;
        for (std::size_t k = 1; k < boxes_.size(); ++k)
            if (boxes_[k].gain > boxes_[best].gain)
                best = k;
        if (boxes_[best].gain < 0)
            break; // every box holds one colour
        Box& box = boxes_[best];
        const int axis = box.axis, cut = box.cut;
        const auto middle = std::partition(order_.begin() + static_cast<std::ptrdiff_t>(box.begin),
                                           order_.begin() + static_cast<std::ptrdiff_t>(box.end),
                                           [&](std::uint16_t i) { return channel(colours_[i], axis) <= cut; });
        Box right;
        right.begin = static_cast<std::size_t>(middle - order_.begin());
        right.end = box.end;
        right.stats = box.stats - box.left;
        box.end = right.begin;
        box.stats = box.left;
        planCut(box);
        planCut(right);
        boxes_.push_back(right);
    }

    entries_.assign(paletteSize, Entry{0, 0, 0});
    for (std::size_t k = 0; k < boxes_.size(); ++k) {
        entries_[k] = boxes_[k].stats.mean();
        for (std::size_t i = boxes_[k].begin; i < boxes_[k].end; ++i)
            assigned_[order_[i]] = static_cast<std::uint16_t>(k);
    }
}

void TileQuantiser::sortEntries()
{
    for (int k = 0; k < paletteSize; ++k)
        byKey_[static_cast<std::size_t>(k)] = k;
    auto key = [this](int k) {
        const Entry& e = entries_[static_cast<std::size_t>(k)];
        return e.r + e.g + e.b;
    };
    std::sort(byKey_.begin(), byKey_.end(), [&key](int a, int b) { return key(a) < key(b) || (key(a) == key(b) && a < b); });
    for (int k = 0; k < paletteSize; ++k)
        keys_[static_cast<std::size_t>(k)] = key(byKey_[static_cast<std::size_t>(k)]);
    int k = 0;
    for (int v = 0; v <= 3 * 255 + 1; ++v) {
        while (k < paletteSize && keys_[static_cast<std::size_t>(k)] < v)
            ++k;
        keyStart_[static_cast<std::size_t>(v)] = k;
    }
}

void TileQuantiser::measureGaps()
{
    // Each entry's nearest neighbour, found by the same search.
    for (int p = 0; p < paletteSize; ++p) {
        const int k = byKey_[static_cast<std::size_t>(p)];
        const Entry& e = entries_[static_cast<std::size_t>(k)];
        std::int64_t best = 3 * 255 * 255 + 1; // farther than any two colours
        const std::int64_t here = keys_[static_cast<std::size_t>(p)];
        for (int q = p + 1; q < paletteSize; ++q) {
            const std::int64_t dk = keys_[static_cast<std::size_t>(q)] - here;
            if (dk * dk > 3 * best)
                break;
            const Entry& o = entries_[static_cast<std::size_t>(byKey_[static_cast<std::size_t>(q)])];
            best = std::min(best, distance(e.r, e.g, e.b, o.r, o.g, o.b));
        }
        for (int q = p - 1; q >= 0; --q) {
            const std::int64_t dk = here - keys_[static_cast<std::size_t>(q)];
            if (dk * dk > 3 * best)
                break;
            const Entry& o = entries_[static_cast<std::size_t>(byKey_[static_cast<std::size_t>(q)])];
            best = std::min(best, distance(e.r, e.g, e.b, o.r, o.g, o.b));
        }
        alone_[static_cast<std::size_t>(k)] = best;
    }
}

// The entry nearest to (r, g, b), searching outwards in r + g + b and
// stopping on each side once that sum alone rules out anything as near. Of equally near entries the lowest wins, so the answer does not
// depend on the order of the search. `best` comes in as the distance to
// `guess` and goes out as the nearest's.
int TileQuantiser::nearest(int r, int g, int b, int guess, std::int64_t& best) const
{
    int found = guess;
    const int key = r + g + b;
    int up = keyStart_[static_cast<std::size_t>(key)];
    int down = up - 1;
    auto consider = [&](int position) {
        const int k = byKey_[static_cast<std::size_t>(position)];
        const Entry& e = entries_[static_cast<std::size_t>(k)];
        const std::int64_t d = distance(r, g, b, e.r, e.g, e.b);
        if (d < best || (d == best && k < found)) {
            best = d;
            found = k;
        }
    };
    while (up < paletteSize || down >= 0) {
        if (up < paletteSize) {
            const std::int64_t dk = keys_[static_cast<std::size_t>(up)] - key;
            if (dk * dk > 3 * best)
                up = paletteSize;
            else
                consider(up++);
        }
        if (down >= 0) {
            const std::int64_t dk = key - keys_[static_cast<std::size_t>(down)];
            if (dk * dk > 3 * best)
                down = -1;
            else
                consider(down--);
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
        measureGaps();
        bool moved = false;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t c = colours_[i];
            const int r = red(c), g = green(c), b = blue(c);
            const int guess = assigned_[i];
            const Entry& e = entries_[static_cast<std::size_t>(guess)];
            const std::int64_t d = distance(r, g, b, e.r, e.g, e.b);
            // Within half the gap to the nearest other entry: nothing as near.
            if (4 * d < alone_[static_cast<std::size_t>(guess)])
                continue;
            std::int64_t best = d;
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
                entries_[k] = sums[k].mean();
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

    weigh(count);
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
            std::int64_t best = distance(want[0], want[1], want[2], g.r, g.g, g.b);
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
