#include "pngs.h"

#include <zlib.h>

#include <algorithm>
#include <map>

namespace quiltpix::testkit {

namespace {

void u32be(Bytes& b, std::uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8)
        b.push_back(static_cast<unsigned char>(v >> s));
}

void chunk(Bytes& png, const char* type, const Bytes& data)
{
    u32be(png, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    u32be(png, static_cast<std::uint32_t>(crc32(0, png.data() + start, static_cast<uInt>(png.size() - start))));
}

Bytes ihdr(std::uint32_t width, std::uint32_t height, int depth, int colourType, int interlace)
{
    Bytes d;
    u32be(d, width);
    u32be(d, height);
    d.push_back(static_cast<unsigned char>(depth));
    d.push_back(static_cast<unsigned char>(colourType));
    d.push_back(0);
    d.push_back(0);
    d.push_back(static_cast<unsigned char>(interlace));
    return d;
}

const Bytes signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

int channels(int colourType)
{
    return colourType == 0 || colourType == 3 ? 1 : colourType == 4 ? 2 : colourType == 2 ? 3 : 4;
}

int paeth(int a, int b, int c)
{
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

} // namespace

std::vector<PngVariant> pngVariants()
{
    std::vector<PngVariant> v;
    auto add = [&v](std::string name, int type, int depth) {
        PngVariant p;
        p.name = std::move(name);
        p.colourType = type;
        p.depth = depth;
        v.push_back(p);
        return &v.back();
    };
    for (int d : {1, 2, 4, 8, 16})
        add("grey " + std::to_string(d), 0, d);
    for (int d : {1, 2, 4, 8})
        add("palette " + std::to_string(d), 3, d);
    add("RGB 8", 2, 8);
    add("RGB 16", 2, 16);
    add("grey and alpha 8", 4, 8);
    add("grey and alpha 16", 4, 16);
    add("RGBA 8", 6, 8);
    add("RGBA 16", 6, 16);
    add("RGB 8 interlaced", 2, 8)->interlaced = true;
    add("palette 4 interlaced", 3, 4)->interlaced = true;
    add("grey 16 interlaced", 0, 16)->interlaced = true;
    add("RGBA 16 interlaced", 6, 16)->interlaced = true;
    add("palette 8 with tRNS", 3, 8)->transparency = true;
    add("grey 8 with a key colour", 0, 8)->transparency = true;
    add("RGB 16 with a key colour", 2, 16)->transparency = true;
    for (int f = 0; f < 5; ++f)
        add("RGB 8, filter " + std::to_string(f), 2, 8)->filter = f;
    add("RGB 8 in IDATs of 100 bytes", 2, 8)->idatSize = 100;
    add("RGB 8 in IDATs of 1 byte", 2, 8)->idatSize = 1;
    add("RGB 8 with ancillary chunks", 2, 8)->ancillary = true;
    return v;
}

PngFile writePngVariant(const Picture& picture, const PngVariant& v)
{
    PngFile file{{}, picture, 0};
    const int w = picture.width, h = picture.height, ch = channels(v.colourType);
    const unsigned top = (1u << v.depth) - 1;
    const bool indexed = v.colourType == 3;
    const bool grey = v.colourType == 0 || v.colourType == 4;
    const std::size_t capacity = indexed ? std::min<std::size_t>(256, std::size_t{1} << v.depth) : 0;

    // Each pixel's samples, at full depth, and what a reader shows.
    std::vector<std::vector<unsigned>> samples(picture.pixels.size());
    std::vector<Bgr> palette;
    std::map<std::uint32_t, unsigned> slot;
    for (std::size_t i = 0; i < picture.pixels.size(); ++i) {
        const Bgr& c = picture.pixels[i];
        Bgr& shown = file.shows.pixels[i];
        std::vector<unsigned>& s = samples[i];
        if (indexed) {
            const std::uint32_t key = static_cast<std::uint32_t>(c.r) << 16 | static_cast<std::uint32_t>(c.g) << 8 | c.b;
            auto found = slot.find(key);
            if (found == slot.end()) {
                if (palette.size() < capacity) {
                    found = slot.emplace(key, static_cast<unsigned>(palette.size())).first;
                    palette.push_back(c);
                } else {
                    s = {static_cast<unsigned>(key % palette.size())};
                    shown = palette[s[0]];
                    continue;
                }
            }
            s = {found->second};
            continue;
        }
        // Samples at the variant's depth; what shows is that scaled back.
        const auto at = [&v, top](unsigned char eight) -> unsigned {
            if (v.depth == 16)
                return eight * 257u;
            return (eight * top + 127) / 255;
        };
        const auto back = [&v, top](unsigned sample) -> unsigned char {
            return static_cast<unsigned char>(v.depth == 16 ? (sample * 255 + 32767) / 65535 : sample * 255 / top);
        };
        if (grey) {
            const unsigned g = at(c.g);
            s = {g};
            shown = {back(g), back(g), back(g)};
        } else {
            s = {at(c.r), at(c.g), at(c.b)};
            shown = {back(s[2]), back(s[1]), back(s[0])};
        }
        if (ch == 2 || ch == 4)
            s.push_back(i % 7 == 3 ? top / 2 : top); // some pixels half transparent
    }
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const bool halfAlpha = (ch == 2 || ch == 4) && samples[i].back() != top;
        bool keyed = false;
        if (v.transparency && !indexed)
            keyed = samples[i] == samples[0]; // the key colour is the first pixel's
        if (v.transparency && indexed)
            keyed = samples[i][0] % 3 == 0; // every third entry is half transparent
        file.translucent += halfAlpha || keyed ? 1 : 0;
    }

    // The rows, filtered, pass by pass.
    Bytes raw;
    const int bitsPerPixel = ch * v.depth;
    const std::size_t bpp = static_cast<std::size_t>(std::max(1, bitsPerPixel / 8));
    struct Pass {
        int x0, y0, dx, dy;
    };
    const std::vector<Pass> passes = v.interlaced ? std::vector<Pass>{{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                                                    {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}}
                                                  : std::vector<Pass>{{0, 0, 1, 1}};
    int rowNumber = 0;
    for (const Pass& p : passes) {
        const int pw = w > p.x0 ? (w - p.x0 + p.dx - 1) / p.dx : 0, ph = h > p.y0 ? (h - p.y0 + p.dy - 1) / p.dy : 0;
        if (pw == 0 || ph == 0)
            continue;
        const std::size_t bytes = (static_cast<std::size_t>(pw) * static_cast<std::size_t>(bitsPerPixel) + 7) / 8;
        Bytes previous(bytes, 0);
        for (int k = 0; k < ph; ++k, ++rowNumber) {
            Bytes row(bytes, 0);
            for (int j = 0; j < pw; ++j) {
                const std::size_t i = static_cast<std::size_t>(p.y0 + k * p.dy) * static_cast<std::size_t>(w) +
                                      static_cast<std::size_t>(p.x0 + j * p.dx);
                for (int c = 0; c < ch; ++c) {
                    const unsigned s = samples[i][static_cast<std::size_t>(c)];
                    if (v.depth == 16) {
                        const std::size_t at = 2 * static_cast<std::size_t>(j * ch + c);
                        row[at] = static_cast<unsigned char>(s >> 8);
                        row[at + 1] = static_cast<unsigned char>(s);
                    } else if (v.depth == 8) {
                        row[static_cast<std::size_t>(j * ch + c)] = static_cast<unsigned char>(s);
                    } else {
                        const int bit = j * v.depth;
                        row[static_cast<std::size_t>(bit / 8)] |= static_cast<unsigned char>(s << (8 - v.depth - bit % 8));
                    }
                }
            }
            const int f = v.filter >= 0 ? v.filter : rowNumber % 5;
            raw.push_back(static_cast<unsigned char>(f));
            for (std::size_t x = 0; x < bytes; ++x) {
                const int a = x >= bpp ? row[x - bpp] : 0, b = previous[x], c = x >= bpp ? previous[x - bpp] : 0;
                const int predicted = f == 0 ? 0 : f == 1 ? a : f == 2 ? b : f == 3 ? (a + b) / 2 : paeth(a, b, c);
                raw.push_back(static_cast<unsigned char>(row[x] - predicted));
            }
            previous = row;
        }
    }

    Bytes& png = file.bytes;
    png = signature;
    chunk(png, "IHDR", ihdr(static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h), v.depth, v.colourType, v.interlaced));
    if (v.ancillary) {
        chunk(png, "gAMA", {0, 0, 0xB1, 0x8F});
        chunk(png, "tEXt", {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 'h', 'i'});
        chunk(png, "prVt", {1, 2, 3});
    }
    if (indexed) {
        Bytes plte;
        for (const Bgr& c : palette) {
            plte.push_back(c.r);
            plte.push_back(c.g);
            plte.push_back(c.b);
        }
        if (plte.empty())
            plte = {0, 0, 0};
        chunk(png, "PLTE", plte);
    }
    if (v.transparency) {
        Bytes trns;
        if (indexed)
            for (std::size_t k = 0; k < palette.size(); ++k)
                trns.push_back(k % 3 == 0 ? 128 : 255);
        else
            for (unsigned s : samples[0]) {
                trns.push_back(static_cast<unsigned char>(s >> 8));
                trns.push_back(static_cast<unsigned char>(s));
            }
        chunk(png, "tRNS", trns);
    }
    const Bytes data = zlibCompress(raw);
    const std::size_t piece = v.idatSize ? v.idatSize : data.size();
    for (std::size_t at = 0; at < data.size(); at += piece)
        chunk(png, "IDAT", Bytes(data.begin() + static_cast<std::ptrdiff_t>(at),
                                 data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), at + piece))));
    chunk(png, "IEND", {});
    return file;
}

Bytes zlibCompress(const Bytes& raw)
{
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes out(size);
    compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 6);
    out.resize(size);
    return out;
}

std::vector<PngChunk> pngChunks(const Bytes& png)
{
    std::vector<PngChunk> chunks;
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const std::size_t length = static_cast<std::size_t>(png[at]) << 24 | static_cast<std::size_t>(png[at + 1]) << 16 |
                                   static_cast<std::size_t>(png[at + 2]) << 8 | png[at + 3];
        chunks.push_back({std::string(png.begin() + static_cast<std::ptrdiff_t>(at + 4),
                                      png.begin() + static_cast<std::ptrdiff_t>(at + 8)),
                          at, length});
        at += 12 + length;
    }
    return chunks;
}

void fixPngCrc(Bytes& png, const PngChunk& c)
{
    const std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, png.data() + c.at + 4, static_cast<uInt>(c.length + 4)));
    for (int k = 0; k < 4; ++k)
        png[c.at + 8 + c.length + static_cast<std::size_t>(k)] = static_cast<unsigned char>(crc >> (24 - 8 * k));
}

Bytes pngOf(std::uint32_t width, std::uint32_t height, int depth, int colourType, int interlace, const Bytes& zlibData,
            const Bytes& palette)
{
    Bytes png = signature;
    chunk(png, "IHDR", ihdr(width, height, depth, colourType, interlace));
    if (!palette.empty())
        chunk(png, "PLTE", palette);
    chunk(png, "IDAT", zlibData);
    chunk(png, "IEND", {});
    return png;
}

} // namespace quiltpix::testkit
