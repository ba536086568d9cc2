#include "bitmaps.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace quiltpix::testkit {
namespace {

std::uint32_t key(const Bgr& c)
{
    return c.b | std::uint32_t{c.g} << 8 | std::uint32_t{c.r} << 16;
}

// A channel of n bits as the mask holds it, and what a reader shows for it.
struct Field {
    int shift = 0, bits = 0;
    explicit Field(std::uint32_t mask)
    {
        if (mask == 0)
            return;
        while (!((mask >> shift) & 1))
            ++shift;
        while (bits + shift < 32 && ((mask >> (shift + bits)) & 1))
            ++bits;
    }
    double max() const { return std::ldexp(1.0, bits) - 1; }
    std::uint32_t encode(unsigned char v) const
    {
        return static_cast<std::uint32_t>(std::lround(v * max() / 255.0)) << shift;
    }
    unsigned char shows(unsigned char v) const
    {
        const double n = std::round(v * max() / 255.0);
        return static_cast<unsigned char>(std::lround(n * 255.0 / max()));
    }
};

// RLE rows: runs of repeated indices, absolute runs of the rest; index 0
// left undrawn where the variant asks for skips.
void encodeRow(Bytes& out, const std::vector<unsigned char>& row, const BitmapVariant& v)
{
    const bool four = v.compression == 2;
    std::size_t n = row.size();
    std::size_t end = n;
    if (v.rleSkips)
        while (end > 0 && row[end - 1] == 0)
            --end;
    std::size_t x = 0;
    while (x < end) {
        if (v.rleSkips && row[x] == 0) {
            std::size_t skip = x;
            while (skip < end && row[skip] == 0 && skip - x < 255)
                ++skip;
            out.insert(out.end(), {0, 2, static_cast<unsigned char>(skip - x), 0});
            x = skip;
            continue;
        }
        std::size_t same = x + 1;
        while (same < end && row[same] == row[x] && same - x < 255)
            ++same;
        if (same - x >= 3 || end - x < 3) {
            const std::size_t count = std::min<std::size_t>(same - x, 255);
            const unsigned char value = four ? static_cast<unsigned char>(row[x] << 4 | row[x]) : row[x];
            out.push_back(static_cast<unsigned char>(count));
            out.push_back(value);
            x += count;
            continue;
        }
        std::size_t stop = x + 3;
        while (stop < end && stop - x < 255 && !(stop + 2 < end && row[stop] == row[stop + 1] && row[stop] == row[stop + 2]) &&
               !(v.rleSkips && row[stop] == 0))
            ++stop;
        const std::size_t count = stop - x;
        out.push_back(0);
        out.push_back(static_cast<unsigned char>(count));
        std::size_t bytes = 0;
        for (std::size_t k = x; k < stop; k += four ? 2 : 1, ++bytes)
            out.push_back(four ? static_cast<unsigned char>(row[k] << 4 | (k + 1 < stop ? row[k + 1] : 0)) : row[k]);
        if (bytes % 2)
            out.push_back(0);
        x = stop;
    }
    if (v.rlePadded && end == n && n % 4 != 0) {
        out.push_back(static_cast<unsigned char>(4 - n % 4)); // into the padding
        out.push_back(0);
    }
    out.insert(out.end(), {0, 0});
}

} // namespace

std::vector<BitmapVariant> bitmapVariants()
{
    std::vector<BitmapVariant> v;
    auto add = [&v](std::string name, std::uint32_t header, int bits, std::uint32_t compression) -> BitmapVariant& {
        BitmapVariant b;
        b.name = std::move(name);
        b.headerSize = header;
        b.bits = bits;
        b.compression = compression;
        v.push_back(b);
        return v.back();
    };
    add("24-bit", 40, 24, 0);
    add("24-bit top-down", 40, 24, 0).topDown = true;
    add("24-bit V5", 124, 24, 0);
    add("24-bit OS/2 1.x", 12, 24, 0);
    add("32-bit plain", 40, 32, 0);
    add("32-bit V5 with alpha", 124, 32, 3).masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000u};
    auto& translucent = add("32-bit V4 translucent", 108, 32, 3);
    translucent.masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000u};
    translucent.alpha = 0x80;
    add("32-bit 10-bit channels", 40, 32, 3).masks = {0x3FF00000, 0xFFC00, 0x3FF, 0};
    add("32-bit BGRA order, alpha masks after the header", 40, 32, 6).masks = {0xFF00, 0xFF0000, 0xFF000000u, 0xFF};
    add("16-bit 5-5-5", 40, 16, 0);
    add("16-bit 5-6-5 masks", 40, 16, 3).masks = {0xF800, 0x7E0, 0x1F, 0};
    add("16-bit 4-4-4-4 in a 56-byte header", 56, 16, 3).masks = {0xF00, 0xF0, 0xF, 0xF000};
    add("16-bit 5-6-5 in a 52-byte header", 52, 16, 3).masks = {0xF800, 0x7E0, 0x1F, 0};
    add("8-bit", 40, 8, 0);
    add("8-bit short table", 40, 8, 0).tableEntries = 20;
    add("8-bit OS/2 1.x", 12, 8, 0);
    add("8-bit OS/2 2.x", 64, 8, 0);
    add("8-bit 16-byte OS/2 2.x", 16, 8, 0);
    add("8-bit top-down V4", 108, 8, 0).topDown = true;
    add("4-bit", 40, 4, 0);
    add("2-bit", 40, 2, 0);
    add("1-bit", 40, 1, 0);
    add("1-bit one colour", 40, 1, 0).tableEntries = 1;
    add("RLE8", 40, 8, 1);
    add("RLE8 padded rows", 40, 8, 1).rlePadded = true;
    add("RLE8 with skips", 40, 8, 1).rleSkips = true;
    add("RLE4", 40, 4, 2);
    add("RLE4 with skips", 40, 4, 2).rleSkips = true;
    add("RLE8 V5", 124, 8, 1);
    return v;
}

BitmapFile writeBitmapVariant(const Picture& picture, const BitmapVariant& v)
{
    BitmapFile file{{}, picture};
    const std::size_t width = static_cast<std::size_t>(picture.width);
    const std::size_t height = static_cast<std::size_t>(picture.height);
    const bool indexed = v.bits <= 8;
    const bool os2 = v.headerSize == 12;
    const std::size_t capacity = indexed ? (v.tableEntries ? v.tableEntries : std::size_t{1} << v.bits) : 0;

    // The colour table: the picture's colours in order of appearance.
    std::vector<Bgr> table;
    std::map<std::uint32_t, unsigned char> slot;
    std::vector<unsigned char> index(picture.pixels.size());
    if (indexed) {
        for (std::size_t i = 0; i < picture.pixels.size(); ++i) {
            const Bgr& c = picture.pixels[i];
            auto found = slot.find(key(c));
            if (found == slot.end()) {
                if (table.size() < capacity) {
                    found = slot.emplace(key(c), static_cast<unsigned char>(table.size())).first;
                    table.push_back(c);
                } else {
                    index[i] = static_cast<unsigned char>(key(c) % capacity);
                    file.shows.pixels[i] = table[index[i]];
                    continue;
                }
            }
            index[i] = found->second;
        }
        table.resize(capacity);
    }

    std::array<std::uint32_t, 4> masks = v.masks;
    if (v.compression == 0 && v.bits == 16)
        masks = {0x7C00, 0x3E0, 0x1F, 0};
    if (v.compression == 0 && v.bits == 32)
        masks = {0xFF0000, 0xFF00, 0xFF, 0};
    const Field red(masks[0]), green(masks[1]), blue(masks[2]), alpha(masks[3]);
    if (v.bits == 16 || v.bits == 32)
        for (Bgr& c : file.shows.pixels)
            c = {blue.shows(c.b), green.shows(c.g), red.shows(c.r)};

    // Pixel data.
    Bytes data;
    const std::size_t stride = (static_cast<std::size_t>(v.bits) * width + 31) / 32 * 4;
    const bool rle = v.compression == 1 || v.compression == 2;
    // With skips, the stored rows after the last one that draws anything are
    // left to the end-of-bitmap escape.
    std::size_t rowsDrawn = height;
    if (rle && v.rleSkips)
        while (rowsDrawn > 0) {
            const std::size_t y = height - rowsDrawn;
            if (std::any_of(index.begin() + static_cast<std::ptrdiff_t>(y * width),
                            index.begin() + static_cast<std::ptrdiff_t>(y * width + width), [](unsigned char k) { return k != 0; }))
                break;
            --rowsDrawn;
        }
    for (std::size_t row = 0; row < height; ++row) {
        const std::size_t y = v.topDown ? row : height - 1 - row;
        const std::size_t first = y * width;
        if (rle) {
            if (row >= rowsDrawn)
                break;
            std::vector<unsigned char> line(index.begin() + static_cast<std::ptrdiff_t>(first),
                                            index.begin() + static_cast<std::ptrdiff_t>(first + width));
            if (v.rleSkips && row + 1 < rowsDrawn && std::all_of(line.begin(), line.end(), [](unsigned char k) { return k == 0; }))
                data.insert(data.end(), {0, 2, 0, 1}); // straight down to the next row
            else
                encodeRow(data, line, v);
            continue;
        }
        const std::size_t start = data.size();
        data.resize(start + stride, 0);
        for (std::size_t x = 0; x < width; ++x) {
            const Bgr& c = picture.pixels[first + x];
            if (indexed) {
                const std::size_t bitPos = x * static_cast<std::size_t>(v.bits);
                data[start + bitPos / 8] |= static_cast<unsigned char>(index[first + x] << (8 - v.bits - static_cast<int>(bitPos % 8)));
            } else if (v.bits == 24) {
                data[start + 3 * x] = c.b;
                data[start + 3 * x + 1] = c.g;
                data[start + 3 * x + 2] = c.r;
            } else {
                std::uint32_t p = red.encode(c.r) | green.encode(c.g) | blue.encode(c.b);
                if (masks[3] != 0)
                    p |= std::min<std::uint32_t>(v.alpha, static_cast<std::uint32_t>(alpha.max())) << alpha.shift;
                for (int k = 0; k < v.bits / 8; ++k)
                    data[start + static_cast<std::size_t>(v.bits / 8) * x + static_cast<std::size_t>(k)] =
                        static_cast<unsigned char>(p >> (8 * k));
            }
        }
    }
    if (rle)
        data.insert(data.end(), {0, 1});

    const std::size_t maskBytes = (v.headerSize == 40 && v.compression == 3) ? 12 : (v.headerSize == 40 && v.compression == 6) ? 16 : 0;
    const std::size_t entrySize = os2 ? 3 : 4;
    const std::size_t tableAt = 14 + v.headerSize + maskBytes;
    const std::size_t dataAt = tableAt + entrySize * table.size();
    Bytes& b = file.bytes;
    b.assign(dataAt, 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, static_cast<std::uint32_t>(dataAt + data.size()));
    put32(b, 10, static_cast<std::uint32_t>(dataAt));
    put32(b, 14, v.headerSize);
    if (os2) {
        put16(b, 18, static_cast<std::uint32_t>(width));
        put16(b, 20, static_cast<std::uint32_t>(height));
        put16(b, 22, 1);
        put16(b, 24, static_cast<std::uint32_t>(v.bits));
    } else {
        put32(b, 18, static_cast<std::uint32_t>(width));
        put32(b, 22, v.topDown ? static_cast<std::uint32_t>(-static_cast<std::int64_t>(height)) : static_cast<std::uint32_t>(height));
        put16(b, 26, 1);
        put16(b, 28, static_cast<std::uint32_t>(v.bits));
        if (v.headerSize >= 20)
            put32(b, 30, v.compression);
        if (v.headerSize >= 24)
            put32(b, 34, static_cast<std::uint32_t>(data.size()));
        if (v.headerSize >= 36)
            put32(b, 46, static_cast<std::uint32_t>(v.tableEntries));
        const std::size_t maskAt = v.headerSize >= 52 ? 54 : 14 + v.headerSize;
        if (v.headerSize >= 52 || maskBytes)
            for (std::size_t k = 0; k < (v.headerSize >= 56 || v.compression == 6 ? 4u : 3u); ++k)
                put32(b, maskAt + 4 * k, masks[k]);
    }
    for (std::size_t k = 0; k < table.size(); ++k) {
        b[tableAt + entrySize * k] = table[k].b;
        b[tableAt + entrySize * k + 1] = table[k].g;
        b[tableAt + entrySize * k + 2] = table[k].r;
    }
    b.insert(b.end(), data.begin(), data.end());
    return file;
}

Picture photoPicture(int width, int height, std::uint64_t seed)
{
    Noise noise(seed);
    auto uniform = [&noise] { return noise.next() / 4294967296.0; };
    // Value noise on lattices from coarse to fine, amplitude falling with
    // frequency as in natural pictures: light and shade mostly, colour less.
    struct Octave {
        int cell;
        double amplitude;
        std::vector<double> lattice[3];
        int across;
    };
    std::vector<Octave> octaves;
    const double roughness = 0.55 + 0.25 * uniform(); // how much fine detail there is
    double amplitude = 90;
    for (int cell = 128; cell >= 2; cell /= 2, amplitude *= roughness) {
        Octave o{cell, amplitude, {}, width / cell + 2};
        const int down = height / cell + 2;
        for (int k = 0; k < 3; ++k) {
            o.lattice[k].resize(static_cast<std::size_t>(o.across) * static_cast<std::size_t>(down));
            for (double& v : o.lattice[k])
                v = uniform() - 0.5;
        }
        octaves.push_back(std::move(o));
    }
    const double base[3] = {40 + 170 * uniform(), 40 + 170 * uniform(), 40 + 170 * uniform()};
    const double chroma = 0.2 + 0.6 * uniform();
    // Objects with hard edges: a shift of light and colour inside each disc.
    struct Disc {
        double x, y, radius, shift[3];
    };
    std::vector<Disc> discs(static_cast<std::size_t>(2 + width * height / 40000));
    for (Disc& d : discs)
        d = {uniform() * width, uniform() * height, 10 + 80 * uniform(),
             {120 * (uniform() - 0.5), 120 * (uniform() - 0.5), 120 * (uniform() - 0.5)}};
    Picture p{width, height, std::vector<Bgr>(static_cast<std::size_t>(width) * static_cast<std::size_t>(height))};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double c[3] = {base[0], base[1], base[2]};
            for (const Octave& o : octaves) {
                const int cx = x / o.cell, cy = y / o.cell;
                double fx = double(x % o.cell) / o.cell, fy = double(y % o.cell) / o.cell;
                fx = fx * fx * (3 - 2 * fx);
                fy = fy * fy * (3 - 2 * fy);
                double v[3];
                for (int k = 0; k < 3; ++k) {
                    const std::vector<double>& l = o.lattice[k];
                    auto at = [&](int i, int j) { return l[static_cast<std::size_t>(j) * static_cast<std::size_t>(o.across) + static_cast<std::size_t>(i)]; };
                    const double top = at(cx, cy) * (1 - fx) + at(cx + 1, cy) * fx;
                    const double bottom = at(cx, cy + 1) * (1 - fx) + at(cx + 1, cy + 1) * fx;
                    v[k] = top * (1 - fy) + bottom * fy;
                }
                // Channel 0 drives light and shade in all three.
                for (int k = 0; k < 3; ++k)
                    c[k] += o.amplitude * (v[0] + chroma * v[k]);
            }
            for (const Disc& d : discs)
                if ((x - d.x) * (x - d.x) + (y - d.y) * (y - d.y) < d.radius * d.radius)
                    for (int k = 0; k < 3; ++k)
                        c[k] += d.shift[k];
            unsigned char out[3];
            for (int k = 0; k < 3; ++k)
                out[k] = static_cast<unsigned char>(std::clamp(std::lround(c[k] + (uniform() - 0.5) * 4), 0L, 255L));
            p.at(x, y) = {out[2], out[1], out[0]};
        }
    return p;
}

std::vector<Picture> qualitySet()
{
    std::vector<Picture> set;
    for (std::uint64_t seed = 1; seed <= 18; ++seed)
        set.push_back(photoPicture(256, 256, 1000 + seed));
    return set;
}

} // namespace quiltpix::testkit
