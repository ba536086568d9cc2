#include "digest.h"

#include "wrapping.h"

#include <cstring>

namespace quiltpix {

namespace {

QUILTPIX_WRAPS std::uint64_t finish(std::uint64_t h)
{
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    return h;
}

QUILTPIX_WRAPS inline std::uint64_t step(std::uint64_t lane, std::uint64_t word)
{
    // Odd multiplier: each step is one-to-one, so rows that differ in a
    // single word always differ here.
    return (lane ^ word) * 0x9E3779B97F4A7C15ull;
}

std::uint64_t load(const unsigned char* p)
{
    std::uint64_t w;
    std::memcpy(&w, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    return w;
}

} // namespace

QUILTPIX_WRAPS std::uint64_t tileRowDigest(int y, int column, const unsigned char* bgr, std::size_t bytes)
{
    // Where the row stands, spread over the word by odd multipliers; a
    // finishing mix once, at the end, is all a row pays beyond its words.
    const std::uint64_t seed = static_cast<std::uint64_t>(static_cast<std::uint32_t>(y)) * 0x9E3779B97F4A7C15ull ^
                               static_cast<std::uint64_t>(static_cast<std::uint32_t>(column)) * 0xC2B2AE3D27D4EB4Full ^
                               (std::uint64_t{bytes} << 40);
    // Four lanes that do not wait for each other.
    std::uint64_t a = seed, b = seed ^ 0x243F6A8885A308D3ull, c = seed ^ 0x13198A2E03707344ull,
                  d = seed ^ 0xA4093822299F31D0ull;
    std::size_t i = 0;
    for (; i + 32 <= bytes; i += 32) {
        a = step(a, load(bgr + i));
        b = step(b, load(bgr + i + 8));
        c = step(c, load(bgr + i + 16));
        d = step(d, load(bgr + i + 24));
    }
    for (; i + 8 <= bytes; i += 8)
        a = step(a, load(bgr + i));
    if (i < bytes) {
        unsigned char tail[8] = {};
        std::memcpy(tail, bgr + i, bytes - i);
        b = step(b, load(tail));
    }
    const auto rotate = [](std::uint64_t v, int k) { return (v << k) | (v >> (64 - k)); };
    return finish(a ^ rotate(b, 16) ^ rotate(c, 32) ^ rotate(d, 48));
}

void TileDigests::begin(int width, int height)
{
    width_ = width;
    height_ = height;
    columns_ = (width + tileSize - 1) / tileSize;
    const int rows = (height + tileSize - 1) / tileSize;
    tiles_.assign(static_cast<std::size_t>(columns_) * static_cast<std::size_t>(rows), 0);
}

QUILTPIX_WRAPS void TileDigests::tileRow(int y, int column, const unsigned char* bgr, int pixels)
{
    tiles_[static_cast<std::size_t>(y / tileSize) * static_cast<std::size_t>(columns_) + static_cast<std::size_t>(column)] +=
        tileRowDigest(y, column, bgr, 3 * static_cast<std::size_t>(pixels));
}

void TileDigests::row(int y, const unsigned char* bgr)
{
    for (int c = 0; c < columns_; ++c) {
        const int x = c * tileSize;
        tileRow(y, c, bgr + 3 * static_cast<std::size_t>(x), width_ - x < tileSize ? width_ - x : tileSize);
    }
}

std::uint64_t TileDigests::picture() const
{
    return pictureDigest(width_, height_, tiles_);
}

QUILTPIX_WRAPS std::uint64_t pictureDigest(int width, int height, const std::vector<std::uint64_t>& tiles)
{
    std::uint64_t h = finish((static_cast<std::uint64_t>(static_cast<std::uint32_t>(width)) << 32) |
                             static_cast<std::uint32_t>(height));
    for (std::uint64_t t : tiles)
        h = finish(step(h, t));
    return h;
}

} // namespace quiltpix

#include "picture_reader.h"
#include "to_bitmap.h"

#include <exception>
#include <new>

namespace quiltpix {

bool DigestingWriter::begin(int width, int height)
{
    digests_.begin(width, height);
    nextRow_ = bottomUp_ ? height - 1 : 0;
    return !next_ || next_->begin(width, height);
}

bool DigestingWriter::rows(const unsigned char* bgr, std::size_t stride, int count)
{
    for (int k = 0; k < count; ++k) {
        digests_.row(nextRow_, bgr + static_cast<std::size_t>(k) * stride);
        nextRow_ += bottomUp_ ? -1 : 1;
    }
    return !next_ || next_->rows(bgr, stride, count);
}

bool DigestingWriter::finish()
{
    return !next_ || next_->finish();
}

std::string digestPicture(std::istream& in, std::uint64_t size, TileDigests& out)
{
    try {
        unsigned char head[8] = {};
        in.clear();
        in.seekg(0);
        in.read(reinterpret_cast<char*>(head), 8);
        const std::size_t got = static_cast<std::size_t>(in.gcount());
        in.clear();
        in.seekg(0);
        if (!looksLikePicture(head, got)) {
            DigestingWriter writer(nullptr);
            std::string why;
            if (!convertMos(in, size, writer, nullptr, &why))
                return why;
            out = writer.digests();
            return "";
        }
        const std::unique_ptr<PictureReader> reader = pictureReader(in, size);
        std::string why = reader->open();
        if (!why.empty())
            return why;
        const PictureFormat f = reader->picture();
        out.begin(f.width, f.height);
        const std::size_t rowBytes = 3 * static_cast<std::size_t>(f.width);
        std::vector<unsigned char> rows(rowBytes * tileSize + 1);
        for (int done = 0; done < f.height;) {
            const int count = f.height - done < tileSize ? f.height - done : tileSize;
            why = reader->readRows(rows.data(), static_cast<std::ptrdiff_t>(rowBytes), count);
            if (!why.empty())
                return why;
            for (int k = 0; k < count; ++k) {
                const int stored = done + k;
                out.row(f.topDown ? stored : f.height - 1 - stored, rows.data() + static_cast<std::size_t>(k) * rowBytes);
            }
            done += count;
        }
        return "";
    } catch (const std::bad_alloc&) {
        return "out of memory";
    } catch (const std::exception&) {
        return "it cannot be read";
    }
}

} // namespace quiltpix
