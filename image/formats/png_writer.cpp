#include "png_writer.h"

#include "byte_order.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <vector>

#ifdef QUILTPIX_HAVE_ZLIB
#include <zlib.h>
#endif

namespace quiltpix {

const char* const pngNeedsZlib = "PNG needs zlib, which this build lacks";

#ifndef QUILTPIX_HAVE_ZLIB

bool pngAvailable()
{
    return false;
}

struct PngWriter::State {};
PngWriter::PngWriter(std::ostream&, bool) {}
PngWriter::~PngWriter() = default;
bool PngWriter::begin(int, int) { return false; }
bool PngWriter::rows(const unsigned char*, std::size_t, int) { return false; }
bool PngWriter::finish() { return false; }

#else

bool pngAvailable()
{
    return true;
}

namespace {

constexpr std::size_t chunkLimit = 256 * 1024; // bytes of image data in one IDAT

int paeth(int a, int b, int c)
{
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

} // namespace

struct PngWriter::State {
    std::ostream& out;
    bool small;
    z_stream z{};
    bool started = false;
    std::size_t rowBytes = 0;                 // 3 x width
    std::vector<unsigned char> previous, current; // the rows as RGB, unfiltered
    std::array<std::vector<unsigned char>, 5> filtered; // a filter byte and the row, by each filter
    std::vector<unsigned char> idat;          // compressed data not yet written
    bool chosen = false;                      // the way of matching, from the first rows

    State(std::ostream& o, bool s) : out(o), small(s) {}
    ~State()
    {
        if (started)
            deflateEnd(&z);
    }

    bool chunk(const char* type, const unsigned char* data, std::size_t length)
    {
        unsigned char head[8], tail[4];
        putU32be(head, static_cast<std::uint32_t>(length));
        std::copy(type, type + 4, head + 4);
        uLong crc = crc32(0L, head + 4, 4);
        if (length > 0)
            crc = crc32(crc, data, static_cast<uInt>(length));
        putU32be(tail, static_cast<std::uint32_t>(crc));
        out.write(reinterpret_cast<const char*>(head), 8);
        if (length > 0)
            out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
        out.write(reinterpret_cast<const char*>(tail), 4);
        return static_cast<bool>(out);
    }

    // Feeds bytes to zlib, writing an IDAT whenever a chunk's worth is out.
    bool deflateSome(const unsigned char* data, std::size_t length, int flush)
    {
        z.next_in = const_cast<Bytef*>(data);
        z.avail_in = static_cast<uInt>(length);
        for (;;) {
            const std::size_t have = idat.size();
            idat.resize(chunkLimit);
            z.next_out = idat.data() + have;
            z.avail_out = static_cast<uInt>(chunkLimit - have);
            const int result = deflate(&z, flush);
            idat.resize(chunkLimit - z.avail_out);
            if (result == Z_STREAM_ERROR)
                return false;
            if (idat.size() == chunkLimit) {
                if (!chunk("IDAT", idat.data(), idat.size()))
                    return false;
                idat.clear();
                continue;
            }
            if (flush == Z_FINISH ? result == Z_STREAM_END : z.avail_in == 0)
                return true;
        }
    }

    // The row in `current`, filtered, into filtered[k]; the sum of its
    // bytes taken as signed, the usual measure of what compresses best.
    unsigned long filter(int k)
    {
        std::vector<unsigned char>& f = filtered[static_cast<std::size_t>(k)];
        f[0] = static_cast<unsigned char>(k);
        unsigned long sum = 0;
        for (std::size_t i = 0; i < rowBytes; ++i) {
            const int x = current[i], a = i >= 3 ? current[i - 3] : 0, b = previous[i], c = i >= 3 ? previous[i - 3] : 0;
            const int predicted = k == 0 ? 0 : k == 1 ? a : k == 2 ? b : k == 3 ? (a + b) / 2 : paeth(a, b, c);
            const auto v = static_cast<unsigned char>(x - predicted);
            f[i + 1] = v;
            sum += v < 128 ? v : 256u - v;
        }
        return sum;
    }
};

PngWriter::PngWriter(std::ostream& out, bool small) : s_(std::make_unique<State>(out, small)) {}
PngWriter::~PngWriter() = default;

bool PngWriter::begin(int width, int height)
{
    State& s = *s_;
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    s.out.write(reinterpret_cast<const char*>(signature), 8);
    unsigned char header[13] = {};
    putU32be(header, static_cast<std::uint32_t>(width));
    putU32be(header + 4, static_cast<std::uint32_t>(height));
    header[8] = 8; // bits per sample
    header[9] = 2; // RGB
    if (!s.chunk("IHDR", header, sizeof header))
        return false;
    if (deflateInit2(&s.z, s.small ? 6 : 1, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    s.started = true;
    s.rowBytes = 3 * static_cast<std::size_t>(width);
    s.previous.assign(s.rowBytes, 0);
    s.current.assign(s.rowBytes, 0);
    for (auto& f : s.filtered)
        f.assign(s.rowBytes + 1, 0);
    s.idat.reserve(chunkLimit);
    return true;
}

namespace {

// The size the data compresses to at this level and strategy.
std::size_t compressedSize(const std::vector<unsigned char>& data, int level, int strategy)
{
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, 15, 8, strategy) != Z_OK)
        return ~std::size_t{0};
    std::vector<unsigned char> out(deflateBound(&z, static_cast<uLong>(data.size())));
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&z, Z_FINISH);
    const std::size_t size = out.size() - z.avail_out;
    deflateEnd(&z);
    return result == Z_STREAM_END ? size : ~std::size_t{0};
}

} // namespace

bool PngWriter::rows(const unsigned char* bgr, std::size_t stride, int count)
{
    State& s = *s_;
    // The first rows decide between zlib's ordinary matching and run-length
    // matching (see png_writer.h).
    std::vector<unsigned char> first;
    for (int k = 0; k < count; ++k, bgr += stride) {
        for (std::size_t i = 0; i < s.rowBytes; i += 3) {
            s.current[i] = bgr[i + 2];
            s.current[i + 1] = bgr[i + 1];
            s.current[i + 2] = bgr[i];
        }
        int best = 2; // "up": fast, and good on pictures whose rows resemble each other
        if (s.small) {
            unsigned long least = ~0ul;
            for (int f = 0; f < 5; ++f) {
                const unsigned long sum = s.filter(f);
                if (sum < least) {
                    least = sum;
                    best = f;
                }
            }
        } else {
            s.filter(best);
        }
        const std::vector<unsigned char>& row = s.filtered[static_cast<std::size_t>(best)];
        if (!s.chosen)
            first.insert(first.end(), row.begin(), row.end());
        else if (!s.deflateSome(row.data(), row.size(), Z_NO_FLUSH))
            return false;
        s.previous.swap(s.current);
    }
    if (!s.chosen) {
        s.chosen = true;
        const int level = s.small ? 6 : 1;
        const bool runs = compressedSize(first, level, Z_RLE) < compressedSize(first, level, Z_DEFAULT_STRATEGY);
        if (deflateParams(&s.z, level, runs ? Z_RLE : Z_DEFAULT_STRATEGY) != Z_OK)
            return false;
        return s.deflateSome(first.data(), first.size(), Z_NO_FLUSH);
    }
    return true;
}

bool PngWriter::finish()
{
    State& s = *s_;
    if (!s.deflateSome(nullptr, 0, Z_FINISH))
        return false;
    if (!s.idat.empty() && !s.chunk("IDAT", s.idat.data(), s.idat.size()))
        return false;
    return s.chunk("IEND", nullptr, 0) && static_cast<bool>(s.out.flush());
}

#endif

} // namespace quiltpix
