// Pictures and MOS files made by the project's own code, for tests, the
// sample, the fuzz seeds and the benchmark.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quiltpix::testkit {

using Bytes = std::vector<unsigned char>;

// Little-endian fields written into a file being made.
inline void put16(Bytes& b, std::size_t pos, std::uint32_t v)
{
    b[pos] = static_cast<unsigned char>(v);
    b[pos + 1] = static_cast<unsigned char>(v >> 8);
}

inline void put32(Bytes& b, std::size_t pos, std::uint32_t v)
{
    put16(b, pos, v & 0xFFFF);
    put16(b, pos + 2, v >> 16);
}

struct Bgr {
    unsigned char b = 0, g = 0, r = 0;
    bool operator==(const Bgr& o) const { return b == o.b && g == o.g && r == o.r; }
    bool operator!=(const Bgr& o) const { return !(*this == o); }
};

// A true-colour picture, rows top to bottom.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<Bgr> pixels;

    Bgr& at(int x, int y) { return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)]; }
    const Bgr& at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)]; }
};

// Where two pictures first differ, "" when they are equal.
std::string firstDifference(const Picture& expected, const Picture& actual);

// A small deterministic generator, so that every run builds the same files.
class Noise {
public:
    explicit Noise(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
    std::uint32_t next();
    unsigned char byte() { return static_cast<unsigned char>(next() >> 24); }

private:
    std::uint64_t state_;
};

// A picture in which every tile draws its pixels from its own 256 random
// colours, in no regular pattern: a pixel taken from the wrong place, the wrong
// palette or with its channels swapped shows up as a wrong colour.
Picture noisePicture(int width, int height, std::uint64_t seed);

using Palette = std::array<unsigned char, 1024>;

// A picture as MOS stores it: one palette per tile in tile order, and one index
// byte per pixel, rows top to bottom.
struct IndexedPicture {
    int width = 0;
    int height = 0;
    std::vector<Palette> palettes;
    Bytes indices;
};

// Gives every tile a palette of its own colours (at most 256 a tile). Unused
// entries and every entry's fourth byte are filled with noise.
IndexedPicture indexPicture(const Picture& picture, std::uint64_t seed = 1);

// Random palettes and random index bytes, built straight as an indexed
// picture, so that large files are quick to make.
IndexedPicture noiseIndexedPicture(int width, int height, std::uint64_t seed);

// What a correct converter shows for an indexed picture.
Picture colours(const IndexedPicture& picture);

// How the file is laid out around the picture.
struct MosLayout {
    std::uint32_t paletteOffset = 24; // bytes 24.. up to it are noise; below 24 the header overwrites palette bytes
    std::vector<int> storeOrder;      // tile rows in the order their runs are stored; empty: top to bottom
    std::uint32_t gap = 0;            // noise bytes before each run
    bool noisyOffsets = false;        // offsets of the tiles other than a row's first are noise
    bool noisyHeader = false;         // bytes 0-7 and 16-19 are noise instead of "MOS V2  " and 64
    std::uint32_t trailing = 0;       // noise bytes after the last run
    std::uint64_t seed = 7;
};

Bytes writeMos(const IndexedPicture& picture, const MosLayout& layout = {});

// Reads a 24-bit bottom-up bitmap as this project writes it, checking every
// header field and that the padding is zero. Empty with a reason on failure.
std::optional<Picture> readBitmap(const Bytes& file, std::string* why = nullptr);

// An independent reading of a MOS file, pixel by pixel, straight from the
// layout: the picture it describes, or nothing when it is not a whole, well-formed file.
std::optional<Picture> referenceDecode(const Bytes& file);

Bytes readFile(const std::string& path);
bool writeFile(const std::string& path, const Bytes& bytes);

} // namespace quiltpix::testkit
