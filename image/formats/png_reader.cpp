#include "png_reader.h"

#include "byte_order.h"
#include "file_range.h"
#include "png_writer.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifdef QUILTPIX_HAVE_ZLIB
#include <zlib.h>
#endif

namespace quiltpix {

namespace {

const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

std::string typeName(const unsigned char* type)
{
    return std::string(reinterpret_cast<const char*>(type), 4);
}

bool isLetter(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

const char* colourName(int type)
{
    switch (type) {
    case 0: return "grey";
    case 2: return "RGB";
    case 3: return "palette";
    case 4: return "grey and alpha";
    default: return "RGB and alpha";
    }
}

int channelsOf(int type)
{
    return type == 0 || type == 3 ? 1 : type == 4 ? 2 : type == 2 ? 3 : 4;
}

// The seven passes of Adam7: first column and row, and the steps between.
struct Pass {
    int x0, y0, dx, dy;
};
constexpr Pass adam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4}, {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};

} // namespace

PngHeader parsePngHeader(const unsigned char* d)
{
    PngHeader h;
    h.width = readU32be(d);
    h.height = readU32be(d + 4);
    h.depth = d[8];
    h.colourType = d[9];
    h.compression = d[10];
    h.filter = d[11];
    h.interlace = d[12];
    return h;
}

std::string judgePng(const PngHeader& h)
{
    std::string why = sizeProblem(h.width, h.height);
    if (!why.empty())
        return why;
    const int type = h.colourType, depth = h.depth;
    const bool known = (type == 0 && (depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16)) ||
                       (type == 3 && (depth == 1 || depth == 2 || depth == 4 || depth == 8)) ||
                       ((type == 2 || type == 4 || type == 6) && (depth == 8 || depth == 16));
    if (type == 1 || type == 5 || type > 6)
        return "colour type " + std::to_string(type) + " is not a PNG colour type";
    if (!known)
        return "a bit depth of " + std::to_string(depth) + " does not go with colour type " + std::to_string(type) +
               " (" + colourName(type) + ")";
    if (h.compression != 0)
        return "compression method " + std::to_string(h.compression) + " is not PNG's";
    if (h.filter != 0)
        return "filter method " + std::to_string(h.filter) + " is not PNG's";
    if (h.interlace > 1)
        return "interlace method " + std::to_string(h.interlace) + " is not PNG's";
    if (h.interlace == 1 && std::uint64_t{h.width} * h.height > largestInterlaced)
        return "an interlaced PNG of over 64 megapixels is decoded whole, which this program does not do; save it "
               "without interlacing (Adam7) and convert that";
    return "";
}

bool looksLikePng(const unsigned char* bytes, std::size_t length)
{
    return length >= 8 && std::memcmp(bytes, signature, 8) == 0;
}

struct PngReader::State {
    std::istream& in;
    std::uint64_t size;
    int width = 0, height = 0, depth = 0, colourType = 0;
    bool interlaced = false;
    std::array<unsigned char, 256 * 3> palette{}; // blue, green, red
    std::array<unsigned char, 256> paletteAlpha{};
    int entries = 0;
    bool keyed = false; // tRNS names one grey or RGB value as transparent
    std::uint16_t key[3] = {};
    std::uint64_t firstIdat = 0; // where the first IDAT chunk starts
    std::uint64_t translucent = 0;
    bool opened = false;

    std::size_t rowBytes(int pixels) const
    {
        return (static_cast<std::size_t>(pixels) * static_cast<std::size_t>(channelsOf(colourType) * depth) + 7) / 8;
    }
    std::size_t pixelBytes() const { return std::max<std::size_t>(1, static_cast<std::size_t>(channelsOf(colourType) * depth) / 8); }

#ifdef QUILTPIX_HAVE_ZLIB
    z_stream z{};
    bool inflating = false;
    bool streamEnded = false;
    std::uint64_t next = 0;     // the next byte of IDAT data to read
    std::uint64_t left = 0;     // bytes left in the IDAT chunk being read
    std::vector<unsigned char> window;
    std::vector<unsigned char> previous, current; // filter byte and row, unfiltered
    int rowsRead = 0;
    std::vector<unsigned char> whole; // an interlaced picture, decoded

    State(std::istream& i, std::uint64_t s) : in(i), size(s) {}
    ~State()
    {
        if (inflating)
            inflateEnd(&z);
    }

    // More compressed bytes for zlib, from this IDAT chunk or the next; false
    // at the end of the IDAT chunks, with `why` set when the file failed.
    bool refill(std::string& why)
    {
        while (left == 0) {
            unsigned char head[8];
            if (!fits(next + 4, 8, size) || !readAt(in, next + 4, head, 8)) // past the last CRC
                return false;
            if (std::memcmp(head + 4, "IDAT", 4) != 0)
                return false;
            next += 4 + 8;
            left = readU32be(head);
        }
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(window.size(), left));
        if (!readAt(in, next, window.data(), n)) {
            why = unreadable;
            return false;
        }
        next += n;
        left -= n;
        z.next_in = window.data();
        z.avail_in = static_cast<uInt>(n);
        return true;
    }

    // Inflates exactly n bytes into out.
    std::string inflateInto(unsigned char* out, std::size_t n, const std::string& what)
    {
        z.next_out = out;
        z.avail_out = static_cast<uInt>(n);
        while (z.avail_out > 0) {
            if (streamEnded)
                return "the image data ends before " + what + " is complete";
            if (z.avail_in == 0) {
                std::string why;
                if (!refill(why))
                    return why.empty() ? "the image data ends before " + what + " is complete" : why;
            }
            const int result = inflate(&z, Z_NO_FLUSH);
            if (result == Z_STREAM_END)
                streamEnded = true;
            else if (result != Z_OK && result != Z_BUF_ERROR)
                return std::string("the image data is damaged (") + (z.msg ? z.msg : "zlib error " + std::to_string(result)) +
                       ")";
        }
        return "";
    }

    // After the last row the stream must end, with nothing more in it.
    std::string finishStream()
    {
        while (!streamEnded) {
            unsigned char extra = 0;
            z.next_out = &extra;
            z.avail_out = 1;
            if (z.avail_in == 0) {
                std::string why;
                if (!refill(why))
                    return why.empty() ? "the image data's zlib stream is cut short after the last row" : why;
            }
            const int result = inflate(&z, Z_NO_FLUSH);
            if (z.avail_out == 0)
                return "the image data runs on past the last row";
            if (result == Z_STREAM_END)
                streamEnded = true;
            else if (result != Z_OK && result != Z_BUF_ERROR)
                return std::string("the image data is damaged (") + (z.msg ? z.msg : "zlib error") + ")";
        }
        return "";
    }

    // Reverses the row's filter, with `above` the row before (zeros first).
    std::string unfilter(unsigned char* row, const unsigned char* above, std::size_t bytes, int y)
    {
        const int type = row[0];
        unsigned char* x = row + 1;
        const unsigned char* b = above + 1;
        const std::size_t bpp = pixelBytes();
        switch (type) {
        case 0:
            break;
        case 1:
            for (std::size_t i = bpp; i < bytes; ++i)
                x[i] = static_cast<unsigned char>(x[i] + x[i - bpp]);
            break;
        case 2:
            for (std::size_t i = 0; i < bytes; ++i)
                x[i] = static_cast<unsigned char>(x[i] + b[i]);
            break;
        case 3:
            for (std::size_t i = 0; i < bytes; ++i)
                x[i] = static_cast<unsigned char>(x[i] + ((i >= bpp ? x[i - bpp] : 0) + b[i]) / 2);
            break;
        case 4:
            for (std::size_t i = 0; i < bytes; ++i) {
                const int a = i >= bpp ? x[i - bpp] : 0, c = i >= bpp ? b[i - bpp] : 0, p = a + b[i] - c;
                const int pa = std::abs(p - a), pb = std::abs(p - b[i]), pc = std::abs(p - c);
                x[i] = static_cast<unsigned char>(x[i] + (pa <= pb && pa <= pc ? a : pb <= pc ? b[i] : c));
            }
            break;
        default:
            return "row " + std::to_string(y) + " has filter type " + std::to_string(type) + "; only 0 to 4 exist";
        }
        return "";
    }

    // One row's samples as blue, green, red, `step` bytes apart; pixel k is
    // (x0 + k x dx, y) of the picture, for the reasons given.
    std::string toBgr(const unsigned char* raw, int pixels, unsigned char* out, std::size_t step, int x0, int dx, int y)
    {
        const auto sample = [this, raw](int k, int channel) -> unsigned {
            const int channels = channelsOf(colourType);
            if (depth == 16) {
                const std::size_t at = 2 * static_cast<std::size_t>(k * channels + channel);
                return static_cast<unsigned>(raw[at]) << 8 | raw[at + 1];
            }
            if (depth == 8)
                return raw[static_cast<std::size_t>(k * channels + channel)];
            const int bit = k * depth; // one channel only below 8 bits
            return (raw[bit / 8] >> (8 - depth - bit % 8)) & ((1u << depth) - 1);
        };
        const unsigned top = (1u << depth) - 1;
        const auto eight = [this, top](unsigned v) {
            return static_cast<unsigned char>(depth == 16 ? (v * 255 + 32767) / 65535 : v * 255 / top);
        };
        for (int k = 0; k < pixels; ++k, out += step) {
            bool opaque = true;
            if (colourType == 3) {
                const unsigned index = sample(k, 0);
                if (static_cast<int>(index) >= entries)
                    return "colour index " + std::to_string(index) + " at pixel (" + std::to_string(x0 + k * dx) +
                           ", " + std::to_string(y) + ") is beyond the palette of " + std::to_string(entries) +
                           (entries == 1 ? " entry" : " entries");
                std::memcpy(out, &palette[3 * index], 3);
                opaque = paletteAlpha[index] == 255;
            } else if (colourType == 0 || colourType == 4) {
                const unsigned grey = sample(k, 0);
                out[0] = out[1] = out[2] = eight(grey);
                opaque = colourType == 0 ? !(keyed && grey == key[0]) : sample(k, 1) == top;
            } else {
                const unsigned r = sample(k, 0), g = sample(k, 1), b = sample(k, 2);
                out[0] = eight(b);
                out[1] = eight(g);
                out[2] = eight(r);
                opaque = colourType == 2 ? !(keyed && r == key[0] && g == key[1] && b == key[2]) : sample(k, 3) == top;
            }
            translucent += opaque ? 0 : 1;
        }
        return "";
    }

    // The next row of a picture (or pass) of `pixels` a row, unfiltered, in
    // current; `previous` holds the row before.
    std::string nextRow(int pixels, int y)
    {
        const std::size_t bytes = rowBytes(pixels);
        previous.swap(current);
        std::string why = inflateInto(current.data(), bytes + 1, "row " + std::to_string(y));
        return why.empty() ? unfilter(current.data(), previous.data(), bytes, y) : why;
    }

    // An interlaced picture, all seven passes, into `whole`.
    std::string decodeInterlaced()
    {
        const std::size_t stride = 3 * static_cast<std::size_t>(width);
        whole.assign(stride * static_cast<std::size_t>(height), 0);
        for (const Pass& p : adam7) {
            const int w = width > p.x0 ? (width - p.x0 + p.dx - 1) / p.dx : 0;
            const int h = height > p.y0 ? (height - p.y0 + p.dy - 1) / p.dy : 0;
            if (w == 0 || h == 0)
                continue;
            std::fill(current.begin(), current.end(), 0); // each pass starts above a row of zeros
            for (int k = 0; k < h; ++k) {
                const int y = p.y0 + k * p.dy;
                std::string why = nextRow(w, y);
                if (why.empty())
                    why = toBgr(current.data() + 1, w, whole.data() + static_cast<std::size_t>(y) * stride +
                                                           3 * static_cast<std::size_t>(p.x0),
                                3 * static_cast<std::size_t>(p.dx), p.x0, p.dx, y);
                if (!why.empty())
                    return why;
            }
        }
        return finishStream();
    }
#else
    State(std::istream& i, std::uint64_t s) : in(i), size(s) {}
#endif

    std::string readHeader(const unsigned char* d)
    {
        const PngHeader h = parsePngHeader(d);
        std::string why = judgePng(h);
        if (!why.empty())
            return why;
        width = static_cast<int>(h.width);
        height = static_cast<int>(h.height);
        depth = h.depth;
        colourType = h.colourType;
        interlaced = h.interlace == 1;
        return "";
    }

    // The signature and the IHDR chunk alone, for the picture's size.
    std::string readFirstChunk()
    {
        unsigned char head[8 + 8 + 13 + 4];
        if (size < 8 || !readAt(in, 0, head, 8) || !looksLikePng(head, 8))
            return "not a PNG: it does not begin with the PNG signature";
        if (!fits(0, sizeof head, size))
            return needs("the IHDR chunk", 8, sizeof head - 8, size);
        if (!readAt(in, 0, head, sizeof head))
            return unreadable;
        if (typeName(head + 12) != "IHDR")
            return "the first chunk is " + typeName(head + 12) + ", not IHDR";
        if (readU32be(head + 8) != 13)
            return "the IHDR chunk is " + std::to_string(readU32be(head + 8)) + " bytes, not 13";
        if (readU32be(head + 29) != crc32of(head + 12, 17, 0))
            return "the IHDR chunk at byte 8 fails its CRC check";
        return readHeader(head + 16);
    }

    // Walks every chunk up to IEND, checking its place, its length against
    // the file and its CRC, and reads IHDR, PLTE and tRNS.
    std::string readChunks()
    {
        unsigned char head[8];
        if (size < 8 || !readAt(in, 0, head, 8) || !looksLikePng(head, 8))
            return "not a PNG: it does not begin with the PNG signature";
        std::vector<unsigned char> data;
        std::uint64_t pos = 8;
        bool header = false, idatSeen = false, idatEnded = false, paletteSeen = false, transparencySeen = false;
        for (;;) {
            if (!fits(pos, 12, size))
                return "the file ends at byte " + std::to_string(size) + ", before the IEND chunk";
            if (!readAt(in, pos, head, 8))
                return unreadable;
            const std::uint32_t length = readU32be(head);
            const unsigned char* type = head + 4;
            const std::string name = typeName(type);
            if (!isLetter(type[0]) || !isLetter(type[1]) || !isLetter(type[2]) || !isLetter(type[3]))
                return "the chunk at byte " + std::to_string(pos) + " has no valid type";
            if (length > 0x7FFFFFFFu)
                return "the " + name + " chunk at byte " + std::to_string(pos) + " claims " + std::to_string(length) +
                       " bytes, more than PNG allows";
            if (!fits(pos, 12 + std::uint64_t{length}, size))
                return needs("the " + name + " chunk", pos, 12 + std::uint64_t{length}, size);
            // The CRC, over the type and the data, read in pieces; the
            // chunks this reader uses are small and kept.
            const bool keep = name == "IHDR" || name == "PLTE" || name == "tRNS";
            std::uint32_t crc = crc32of(type, 4, 0);
            data.clear();
            unsigned char piece[65536];
            for (std::uint64_t at = 0; at < length;) {
                const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof piece, length - at));
                if (!readAt(in, pos + 8 + at, piece, n))
                    return unreadable;
                crc = crc32of(piece, n, crc);
                if (keep)
                    data.insert(data.end(), piece, piece + n);
                at += n;
            }
            unsigned char stored[4];
            if (!readAt(in, pos + 8 + length, stored, 4))
                return unreadable;
            if (readU32be(stored) != crc)
                return "the " + name + " chunk at byte " + std::to_string(pos) + " fails its CRC check";

            if (!header && name != "IHDR")
                return "the first chunk is " + name + ", not IHDR";
            if (name == "IHDR") {
                if (header)
                    return "a second IHDR chunk at byte " + std::to_string(pos);
                if (length != 13)
                    return "the IHDR chunk is " + std::to_string(length) + " bytes, not 13";
                header = true;
                std::string why = readHeader(data.data());
                if (!why.empty())
                    return why;
            } else if (name == "IDAT") {
                if (idatEnded)
                    return "the IDAT chunks are not together: another stands at byte " + std::to_string(pos);
                if (!idatSeen)
                    firstIdat = pos;
                idatSeen = true;
            } else {
                idatEnded = idatSeen;
                if (name == "IEND")
                    break;
                if (name == "PLTE") {
                    if (paletteSeen || idatSeen)
                        return "a PLTE chunk at byte " + std::to_string(pos) + " where none may stand";
                    paletteSeen = true;
                    if (length % 3 != 0 || length == 0 || length > 3 * 256)
                        return "a palette of " + std::to_string(length) + " bytes is not 1 to 256 entries of 3";
                    entries = static_cast<int>(length / 3);
                    if (colourType == 3 && entries > (1 << depth))
                        return "a palette of " + std::to_string(entries) + " entries is more than " +
                               std::to_string(depth) + "-bit indices reach";
                    for (int k = 0; k < entries; ++k) {
                        const std::size_t at = 3 * static_cast<std::size_t>(k);
                        palette[at] = data[at + 2];
                        palette[at + 1] = data[at + 1];
                        palette[at + 2] = data[at];
                    }
                } else if (name == "tRNS") {
                    if (transparencySeen || idatSeen || (colourType == 3 && !paletteSeen))
                        return "a tRNS chunk at byte " + std::to_string(pos) + " where none may stand";
                    transparencySeen = true;
                    std::string why = readTransparency(data);
                    if (!why.empty())
                        return why;
                } else if (!(type[0] & 0x20)) {
                    return "a critical chunk " + name + " this program does not know";
                }
            }
            pos += 12 + std::uint64_t{length};
        }
        if (!idatSeen)
            return "no IDAT chunk: the file holds no image data";
        if (colourType == 3 && !paletteSeen)
            return "no palette (PLTE chunk) for a palette picture";
        return "";
    }

    std::string readTransparency(const std::vector<unsigned char>& data)
    {
        if (colourType == 3) {
            if (static_cast<int>(data.size()) > entries)
                return "tRNS gives " + std::to_string(data.size()) + " alphas for a palette of " +
                       std::to_string(entries) + " entries";
            std::copy(data.begin(), data.end(), paletteAlpha.begin());
        } else if (colourType == 0 || colourType == 2) {
            const std::size_t want = colourType == 0 ? 2 : 6;
            if (data.size() != want)
                return "tRNS is " + std::to_string(data.size()) + " bytes, not " + std::to_string(want);
            keyed = true;
            for (std::size_t k = 0; k < want / 2; ++k)
                key[k] = static_cast<std::uint16_t>(data[2 * k] << 8 | data[2 * k + 1]);
        }
        // Pictures with alpha have no tRNS; one is passed over.
        return "";
    }

    static std::uint32_t crc32of(const unsigned char* p, std::size_t n, std::uint32_t crc)
    {
#ifdef QUILTPIX_HAVE_ZLIB
        return static_cast<std::uint32_t>(::crc32(crc, p, static_cast<uInt>(n)));
#else
        // Without zlib nothing is decoded past the check of the chunks.
        for (std::size_t i = 0; i < n; ++i) {
            crc ^= 0xFFFFFFFFu;
            crc ^= p[i];
            for (int k = 0; k < 8; ++k)
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
            crc ^= 0xFFFFFFFFu;
        }
        return crc;
#endif
    }
};

PngReader::PngReader(std::istream& in, std::uint64_t size) : s_(std::make_unique<State>(in, size))
{
    s_->paletteAlpha.fill(255);
}

PngReader::~PngReader() = default;

std::string PngReader::open()
{
    State& s = *s_;
#ifndef QUILTPIX_HAVE_ZLIB
    (void)s;
    return pngNeedsZlib;
#else
    std::string why = s.readChunks();
    if (!why.empty())
        return why;
    if (inflateInit(&s.z) != Z_OK)
        return "out of memory";
    s.inflating = true;
    s.next = s.firstIdat + 8;
    s.left = 0;
    {
        unsigned char head[4];
        if (!readAt(s.in, s.firstIdat, head, 4))
            return unreadable;
        s.left = readU32be(head);
    }
    s.window.resize(64 * 1024);
    const std::size_t bytes = s.rowBytes(s.width) + 1;
    s.previous.assign(bytes, 0);
    s.current.assign(bytes, 0);
    s.opened = true;
    return "";
#endif
}

std::string PngReader::readHeader()
{
    return s_->readFirstChunk();
}

PictureFormat PngReader::picture() const
{
    const State& s = *s_;
    PictureFormat p;
    p.width = s.width;
    p.height = s.height;
    p.topDown = true;
    p.onePalette = s.colourType == 3 || ((s.colourType == 0 || s.colourType == 4) && s.depth <= 8);
    p.description = "PNG, " + std::to_string(s.depth) + "-bit " + colourName(s.colourType) +
                    (s.interlaced ? ", interlaced" : ", not interlaced");
    return p;
}

std::string PngReader::readRows(unsigned char* bgr, std::ptrdiff_t step, int count)
{
    State& s = *s_;
    if (!s.opened)
        return "the PNG's chunks were not read";
#ifndef QUILTPIX_HAVE_ZLIB
    (void)bgr;
    (void)step;
    (void)count;
    return pngNeedsZlib;
#else
    const std::size_t stride = 3 * static_cast<std::size_t>(s.width);
    if (s.interlaced && s.whole.empty()) {
        const std::string why = s.decodeInterlaced();
        if (!why.empty())
            return why;
    }
    for (int k = 0; k < count; ++k) {
        if (s.rowsRead >= s.height)
            return "no row " + std::to_string(s.rowsRead) + " in a picture of " + std::to_string(s.height);
        const int y = s.rowsRead++;
        unsigned char* out = bgr + static_cast<std::ptrdiff_t>(k) * step;
        if (s.interlaced) {
            std::memcpy(out, s.whole.data() + static_cast<std::size_t>(y) * stride, stride);
            continue;
        }
        std::string why = s.nextRow(s.width, y);
        if (why.empty())
            why = s.toBgr(s.current.data() + 1, s.width, out, 3, 0, 1, y);
        if (why.empty() && s.rowsRead == s.height)
            why = s.finishStream();
        if (!why.empty())
            return why;
    }
    return "";
#endif
}

std::uint64_t PngReader::translucent() const
{
    return s_->translucent;
}

} // namespace quiltpix
