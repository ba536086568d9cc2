#include "picture.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace quiltpix::testkit {
namespace {

constexpr int tile = 64;

// Positions are 64-bit, as in the converter; every one used here has been
// checked against the file's size, which a size_t holds.
unsigned char byteAt(const Bytes& b, std::uint64_t pos)
{
    return b[static_cast<std::size_t>(pos)];
}

std::uint32_t get16(const Bytes& b, std::uint64_t pos)
{
    return byteAt(b, pos) | (std::uint32_t{byteAt(b, pos + 1)} << 8);
}

std::uint32_t get32(const Bytes& b, std::uint64_t pos)
{
    return get16(b, pos) | (get16(b, pos + 2) << 16);
}

int tilesFor(int pixels) { return (pixels + tile - 1) / tile; }
int tileExtent(int pixels, int i) { return std::min(tile, pixels - tile * i); }

} // namespace

std::string firstDifference(const Picture& expected, const Picture& actual)
{
    if (expected.width == actual.width && expected.height == actual.height && expected.pixels == actual.pixels)
        return "";
    std::ostringstream s;
    if (expected.width != actual.width || expected.height != actual.height) {
        s << "size " << actual.width << "x" << actual.height << ", expected " << expected.width << "x"
          << expected.height;
        return s.str();
    }
    for (int y = 0; y < expected.height; ++y)
        for (int x = 0; x < expected.width; ++x)
            if (expected.at(x, y) != actual.at(x, y)) {
                const Bgr& e = expected.at(x, y);
                const Bgr& a = actual.at(x, y);
                s << "pixel (" << x << ", " << y << ") is bgr " << int{a.b} << "," << int{a.g} << "," << int{a.r}
                  << ", expected " << int{e.b} << "," << int{e.g} << "," << int{e.r};
                return s.str();
            }
    return "";
}

std::uint32_t Noise::next()
{
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(state_ >> 32);
}

Picture noisePicture(int width, int height, std::uint64_t seed)
{
    Picture p{width, height, std::vector<Bgr>(static_cast<std::size_t>(width) * static_cast<std::size_t>(height))};
    Noise noise(seed);
    const int columns = tilesFor(width);
    for (int r = 0; r < tilesFor(height); ++r)
        for (int c = 0; c < columns; ++c) {
            std::array<Bgr, 256> set;
            for (Bgr& colour : set)
                colour = {noise.byte(), noise.byte(), noise.byte()};
            for (int y = r * tile; y < r * tile + tileExtent(height, r); ++y)
                for (int x = c * tile; x < c * tile + tileExtent(width, c); ++x)
                    p.at(x, y) = set[noise.byte()];
        }
    return p;
}

IndexedPicture indexPicture(const Picture& picture, std::uint64_t seed)
{
    Noise noise(seed);
    IndexedPicture out{picture.width, picture.height, {}, Bytes(picture.pixels.size())};
    for (int r = 0; r < tilesFor(picture.height); ++r)
        for (int c = 0; c < tilesFor(picture.width); ++c) {
            Palette palette;
            for (unsigned char& b : palette)
                b = noise.byte();
            std::map<std::uint32_t, int> index;
            for (int y = r * tile; y < r * tile + tileExtent(picture.height, r); ++y)
                for (int x = c * tile; x < c * tile + tileExtent(picture.width, c); ++x) {
                    const Bgr& colour = picture.at(x, y);
                    const std::uint32_t key = colour.b | std::uint32_t{colour.g} << 8 | std::uint32_t{colour.r} << 16;
                    auto found = index.find(key);
                    if (found == index.end()) {
                        // Hand out indices from the top down, so that index and
                        // position in the picture rarely coincide.
                        const int k = 255 - static_cast<int>(index.size());
                        found = index.emplace(key, k).first;
                        palette[4 * static_cast<std::size_t>(k)] = colour.b;
                        palette[4 * static_cast<std::size_t>(k) + 1] = colour.g;
                        palette[4 * static_cast<std::size_t>(k) + 2] = colour.r;
                    }
                    out.indices[static_cast<std::size_t>(y) * static_cast<std::size_t>(picture.width) +
                                static_cast<std::size_t>(x)] = static_cast<unsigned char>(found->second);
                }
            out.palettes.push_back(palette);
        }
    return out;
}

IndexedPicture noiseIndexedPicture(int width, int height, std::uint64_t seed)
{
    Noise noise(seed);
    IndexedPicture p{width, height, {}, Bytes(static_cast<std::size_t>(width) * static_cast<std::size_t>(height))};
    p.palettes.resize(static_cast<std::size_t>(tilesFor(width)) * static_cast<std::size_t>(tilesFor(height)));
    for (Palette& palette : p.palettes)
        for (unsigned char& b : palette)
            b = noise.byte();
    for (unsigned char& b : p.indices)
        b = noise.byte();
    return p;
}

Picture colours(const IndexedPicture& picture)
{
    Picture p{picture.width, picture.height, std::vector<Bgr>(picture.indices.size())};
    const int columns = tilesFor(picture.width);
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x) {
            const Palette& palette = picture.palettes[static_cast<std::size_t>((y / tile) * columns + x / tile)];
            const std::size_t k = picture.indices[static_cast<std::size_t>(y) * static_cast<std::size_t>(picture.width) +
                                                  static_cast<std::size_t>(x)];
            p.at(x, y) = {palette[4 * k], palette[4 * k + 1], palette[4 * k + 2]};
        }
    return p;
}

Bytes writeMos(const IndexedPicture& picture, const MosLayout& layout)
{
    Noise noise(layout.seed);
    const int columns = tilesFor(picture.width);
    const int rows = tilesFor(picture.height);
    const std::size_t tiles = static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns);
    const std::size_t base = layout.paletteOffset + 1028 * tiles;

    Bytes file(std::max<std::size_t>(base, 24));
    for (unsigned char& b : file)
        b = noise.byte();
    for (std::size_t t = 0; t < tiles; ++t)
        std::copy(picture.palettes[t].begin(), picture.palettes[t].end(), file.begin() + static_cast<std::ptrdiff_t>(layout.paletteOffset + 1024 * t));

    std::vector<int> order = layout.storeOrder;
    if (order.empty())
        for (int r = 0; r < rows; ++r)
            order.push_back(r);
    for (int r : order) {
        file.resize(file.size() + layout.gap);
        for (std::size_t i = file.size() - layout.gap; i < file.size(); ++i)
            file[i] = noise.byte();
        const int h = tileExtent(picture.height, r);
        for (int c = 0; c < columns; ++c) {
            const std::uint32_t offset = static_cast<std::uint32_t>(file.size() - base);
            if (c == 0 || !layout.noisyOffsets)
                put32(file, layout.paletteOffset + 1024 * tiles + 4 * (static_cast<std::size_t>(r) * static_cast<std::size_t>(columns) + static_cast<std::size_t>(c)), offset);
            else
                put32(file, layout.paletteOffset + 1024 * tiles + 4 * (static_cast<std::size_t>(r) * static_cast<std::size_t>(columns) + static_cast<std::size_t>(c)), noise.next());
            const int w = tileExtent(picture.width, c);
            for (int y = r * tile; y < r * tile + h; ++y) {
                const auto from = picture.indices.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(y) * static_cast<std::size_t>(picture.width) + static_cast<std::size_t>(c * tile));
                file.insert(file.end(), from, from + w);
            }
        }
    }
    for (std::uint32_t i = 0; i < layout.trailing; ++i)
        file.push_back(noise.byte());

    if (!layout.noisyHeader) {
        const char magic[] = "MOS V2  ";
        std::copy(magic, magic + 8, file.begin());
        put32(file, 16, tile);
    }
    put16(file, 8, static_cast<std::uint32_t>(picture.width));
    put16(file, 10, static_cast<std::uint32_t>(picture.height));
    put16(file, 12, static_cast<std::uint32_t>(columns));
    put16(file, 14, static_cast<std::uint32_t>(rows));
    put32(file, 20, layout.paletteOffset);
    return file;
}

std::optional<Picture> readBitmap(const Bytes& file, std::string* why)
{
    auto fail = [why](const std::string& reason) -> std::optional<Picture> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    if (file.size() < 54)
        return fail("shorter than the two headers");
    const auto width = static_cast<std::int32_t>(get32(file, 18));
    const auto height = static_cast<std::int32_t>(get32(file, 22));
    if (file[0] != 'B' || file[1] != 'M')
        return fail("bfType is not BM");
    if (width <= 0 || height <= 0)
        return fail("width or height not positive");
    const std::uint64_t stride = (3 * static_cast<std::uint64_t>(width) + 3) / 4 * 4;
    const std::uint64_t image = stride * static_cast<std::uint64_t>(height);
    if (get32(file, 2) != 54 + image || file.size() != 54 + image)
        return fail("bfSize or file length is not 54 + stride x height");
    if (get16(file, 6) != 0 || get16(file, 8) != 0 || get32(file, 10) != 54 || get32(file, 14) != 40 ||
        get16(file, 26) != 1 || get16(file, 28) != 24 || get32(file, 30) != 0 || get32(file, 34) != image)
        return fail("a header field has the wrong value");
    for (std::size_t pos = 38; pos < 54; ++pos)
        if (file[pos] != 0)
            return fail("resolution or colour count is not zero");
    Picture p{width, height, std::vector<Bgr>(static_cast<std::size_t>(width) * static_cast<std::size_t>(height))};
    for (int row = 0; row < height; ++row) {
        const std::uint64_t start = 54 + stride * static_cast<std::uint64_t>(row);
        for (int x = 0; x < width; ++x) {
            const std::uint64_t pos = start + 3 * static_cast<std::uint64_t>(x);
            p.at(x, height - 1 - row) = {byteAt(file, pos), byteAt(file, pos + 1), byteAt(file, pos + 2)};
        }
        for (std::uint64_t pos = start + 3 * static_cast<std::uint64_t>(width); pos < start + stride; ++pos)
            if (byteAt(file, pos) != 0)
                return fail("row padding is not zero");
    }
    return p;
}

std::optional<Picture> referenceDecode(const Bytes& file)
{
    const std::uint64_t size = file.size();
    if (size < 24)
        return std::nullopt;
    const auto width = static_cast<std::int16_t>(get16(file, 8));
    const auto height = static_cast<std::int16_t>(get16(file, 10));
    const auto columns = static_cast<std::int16_t>(get16(file, 12));
    const auto rows = static_cast<std::int16_t>(get16(file, 14));
    const std::uint64_t paletteOffset = get32(file, 20);
    if (width <= 0 || height <= 0 || columns != tilesFor(width) || rows != tilesFor(height))
        return std::nullopt;
    const std::uint64_t tiles = static_cast<std::uint64_t>(rows) * static_cast<std::uint64_t>(columns);
    const std::uint64_t offsets = paletteOffset + 1024 * tiles;
    const std::uint64_t base = offsets + 4 * tiles;
    if (base > size)
        return std::nullopt;
    std::vector<std::uint64_t> runStart;
    for (int r = 0; r < rows; ++r) {
        const std::uint64_t start = base + get32(file, offsets + 4 * static_cast<std::uint64_t>(r) * static_cast<std::uint64_t>(columns));
        const std::uint64_t end = start + static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(tileExtent(height, r));
        if (end > size)
            return std::nullopt;
        runStart.push_back(start);
    }
    // Tile by tile: tile (r, c) is stored at 64 x c x (its row's height) into
    // its row's run, its pixel rows one after another.
    Picture p{width, height, std::vector<Bgr>(static_cast<std::size_t>(width) * static_cast<std::size_t>(height))};
    for (int r = 0; r < rows; ++r) {
        const int h = tileExtent(height, r);
        for (int c = 0; c < columns; ++c) {
            const int w = tileExtent(width, c);
            const std::uint64_t tileStart = runStart[static_cast<std::size_t>(r)] + static_cast<std::uint64_t>(c) * tile * static_cast<std::uint64_t>(h);
            const std::uint64_t palette = paletteOffset + 1024 * (static_cast<std::uint64_t>(r) * static_cast<std::uint64_t>(columns) + static_cast<std::uint64_t>(c));
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    const std::uint64_t entry = palette + 4 * std::uint64_t{byteAt(file, tileStart + static_cast<std::uint64_t>(y * w + x))};
                    p.at(c * tile + x, r * tile + y) = {byteAt(file, entry), byteAt(file, entry + 1), byteAt(file, entry + 2)};
                }
        }
    }
    return p;
}

Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool writeFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

} // namespace quiltpix::testkit
