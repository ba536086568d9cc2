#include "bitmap_reader.h"

#include "byte_order.h"
#include "file_range.h"

#include <algorithm>
#include <cstring>

namespace quiltpix {
namespace {

constexpr std::uint64_t fileHeaderSize = 14;
constexpr std::uint32_t plain = 0, rle8 = 1, rle4 = 2, bitfields = 3, jpeg = 4, png = 5, alphaBitfields = 6;
const char* const channelNames[4] = {"red", "green", "blue", "alpha"};

std::string hex(std::uint32_t v)
{
    const char* digits = "0123456789abcdef";
    std::string s;
    do {
        s.insert(s.begin(), digits[v & 15]);
        v >>= 4;
    } while (v != 0);
    return "0x" + s;
}

bool knownHeaderSize(std::uint32_t size)
{
    return size == 12 || size == 16 || size == 40 || size == 52 || size == 56 || size == 64 || size == 108 ||
           size == 124;
}

// A mask as a shift and a width, so that a channel of n bits scales to 8 as
// round(v x 255 / (2^n - 1)).
struct Channel {
    std::uint32_t mask = 0;
    int shift = 0;
    std::uint64_t max = 0; // 2^n - 1; 0 for an empty mask

    explicit Channel(std::uint32_t m = 0) : mask(m)
    {
        if (m == 0)
            return;
        while (((m >> shift) & 1) == 0)
            ++shift;
        max = m >> shift;
    }
    bool contiguous() const { return ((max + 1) & max) == 0; }
    unsigned char scale(std::uint32_t pixel) const
    {
        const std::uint64_t v = (pixel & mask) >> shift;
        return static_cast<unsigned char>((v * 510 + max) / (2 * max));
    }
};

// How a stored row becomes blue, green, red: through the colour table
// (indices packed in bytes, or drawn by the RLE stream), copied (24 bits,
// or 32 with the usual masks and no alpha), or through the masks.
enum class Unpack { runLengths, packedIndices, copy24, copy32, masks };

} // namespace

// Everything the rows need once the headers are judged: the uncompressed
// rows' buffer, or the RLE stream's state.
struct BitmapReader::Decoder {
    std::istream& in;
    std::uint64_t fileSize;
    const BitmapFormat& f;
    std::uint64_t stride = 0;
    std::vector<unsigned char> raw; // uncompressed rows as stored
    std::vector<unsigned char> indices; // one row of colour indices, with its padding
    Channel channels[4];
    Unpack unpack = Unpack::copy24;

    // The RLE stream, read through a window of the file.
    std::vector<unsigned char> window;
    std::uint64_t windowAt = 0, pos = 0;
    std::size_t windowHave = 0;
    int y = 0, x = 0;        // where the stream draws next, in stored rows
    bool ended = false;      // end of bitmap seen: every row after it is undrawn
    std::size_t limit = 0;   // pixels a row may draw, its padding included

    Decoder(std::istream& i, std::uint64_t size, const BitmapFormat& format) : in(i), fileSize(size), f(format) {}

    // The next byte of the RLE stream; false at the end of the file, with
    // `failed` set when the file could not be read.
    bool next(unsigned char& b, std::string& failed)
    {
        if (pos - windowAt >= windowHave) {
            windowAt = pos;
            windowHave = static_cast<std::size_t>(std::min<std::uint64_t>(window.size(), fileSize - pos));
            if (windowHave == 0)
                return false;
            if (!readAt(in, pos, window.data(), windowHave)) {
                windowHave = 0;
                failed = unreadable;
                return false;
            }
        }
        b = window[static_cast<std::size_t>(pos - windowAt)];
        ++pos;
        return true;
    }

    std::string endsEarly(int row) const
    {
        return "the RLE data ends at byte " + std::to_string(pos) + " before row " + std::to_string(row) +
               " is complete";
    }

    // Draws stored row `row` into indices; undrawn pixels stay 0.
    std::string decodeRow(int row)
    {
        std::fill(indices.begin(), indices.end(), 0);
        if (ended || y > row)
            return "";
        std::string failed;
        unsigned char a = 0, b = 0;
        for (;;) {
            if (!next(a, failed) || !next(b, failed))
                return failed.empty() ? endsEarly(row) : failed;
            if (a > 0) {
                if (x + a > static_cast<int>(limit))
                    return "an RLE run in row " + std::to_string(row) + " passes the right edge";
                for (int k = 0; k < a; ++k)
                    indices[static_cast<std::size_t>(x + k)] =
                        f.compression == rle8 ? b : static_cast<unsigned char>(k % 2 == 0 ? b >> 4 : b & 15);
                x += a;
                continue;
            }
            if (b == 0) { // end of line
                ++y;
                x = 0;
                return row == f.height - 1 ? afterLastRow() : "";
            }
            if (b == 1) { // end of bitmap
                ended = true;
                return "";
            }
            if (b == 2) { // delta: move right and down
                unsigned char dx = 0, dy = 0;
                if (!next(dx, failed) || !next(dy, failed))
                    return failed.empty() ? endsEarly(row) : failed;
                if (x + dx > static_cast<int>(limit))
                    return "an RLE move in row " + std::to_string(row) + " passes the right edge";
                if (y + dy >= f.height && dy > 0)
                    return "an RLE move in row " + std::to_string(row) + " goes below the last row";
                x += dx;
                y += dy;
                if (dy > 0)
                    return "";
                continue;
            }
            // An absolute run of b pixels, padded to a whole number of words.
            if (x + b > static_cast<int>(limit))
                return "an RLE run in row " + std::to_string(row) + " passes the right edge";
            const int bytes = f.compression == rle8 ? b : (b + 1) / 2;
            unsigned char v = 0;
            for (int k = 0; k < bytes; ++k) {
                if (!next(v, failed))
                    return failed.empty() ? endsEarly(row) : failed;
                if (f.compression == rle8) {
                    indices[static_cast<std::size_t>(x + k)] = v;
                } else {
                    indices[static_cast<std::size_t>(x + 2 * k)] = static_cast<unsigned char>(v >> 4);
                    if (2 * k + 1 < b)
                        indices[static_cast<std::size_t>(x + 2 * k + 1)] = static_cast<unsigned char>(v & 15);
                }
            }
            if (bytes % 2 == 1 && !next(v, failed))
                return failed.empty() ? endsEarly(row) : failed;
            x += b;
        }
    }

    // After the last row's end of line only the end of bitmap, or the end of
    // the file, may follow: anything else would draw below the picture.
    std::string afterLastRow()
    {
        std::string failed;
        unsigned char a = 0, b = 0;
        if (!next(a, failed))
            return failed;
        if (!next(b, failed) || a != 0 || b != 1)
            return failed.empty() ? "the RLE data draws below the last row" : failed;
        ended = true;
        return "";
    }
};

BitmapReader::BitmapReader(std::istream& in, std::uint64_t size) : in_(in), size_(size) {}
BitmapReader::~BitmapReader() = default;

std::string readBitmapHeader(std::istream& in, std::uint64_t size, BitmapHeader& h)
{
    h.fileSize = size;
    unsigned char head[fileHeaderSize + 124 + 16] = {};
    if (!fits(0, fileHeaderSize + 4, size))
        return needs("the bitmap header", 0, fileHeaderSize + 4, size);
    if (!readAt(in, 0, head, fileHeaderSize + 4))
        return unreadable;
    if (!looksLikeBitmap(head, 2))
        return "not a bitmap: it does not begin with \"BM\"";
    h.headerSize = readU32le(head + 14);
    if (!knownHeaderSize(h.headerSize))
        return "a bitmap header of " + std::to_string(h.headerSize) + " bytes is not a kind this program reads";
    const std::uint64_t infoEnd = fileHeaderSize + h.headerSize;
    if (!fits(0, infoEnd, size))
        return needs("the bitmap header", 0, infoEnd, size);
    // The masks that may follow a 40-byte header are read with it, as far
    // as the file has them; whether they are needed is the judge's to say.
    const std::uint64_t after = std::min<std::uint64_t>(16, size - infoEnd);
    if (!readAt(in, 0, head, infoEnd + after))
        return unreadable;
    h.bytesAfterHeader = static_cast<std::uint32_t>(after);
    const unsigned char* info = head + fileHeaderSize;
    h.dataOffset = readU32le(head + 10);
    if (h.headerSize == 12) {
        h.width = readU16le(info + 4);
        h.height = readU16le(info + 6);
        h.bits = readU16le(info + 10);
    } else {
        h.width = static_cast<std::int32_t>(readU32le(info + 4));
        h.height = static_cast<std::int32_t>(readU32le(info + 8));
        h.bits = readU16le(info + 14);
        if (h.headerSize >= 20)
            h.compression = readU32le(info + 16);
        if (h.headerSize >= 36)
            h.colorsUsed = readU32le(info + 32);
    }
    // From 52 bytes on the masks stand in the header; after a 40-byte one
    // they follow it.
    for (int k = 0; k < 4; ++k)
        h.masks[static_cast<std::size_t>(k)] = readU32le(info + 40 + 4 * k);
    return "";
}

std::string judgeBitmap(const BitmapHeader& h, BitmapFormat& f)
{
    f = BitmapFormat{};
    f.headerSize = h.headerSize;
    f.dataOffset = h.dataOffset;
    f.bits = h.bits;
    f.compression = h.compression;
    f.topDown = h.height < 0;
    const std::int64_t height = h.height < 0 ? -h.height : h.height; // from 32 bits: no overflow
    std::string why = sizeProblem(h.width, height);
    if (!why.empty())
        return why;
    f.width = static_cast<int>(h.width);
    f.height = static_cast<int>(height);

    const int b = f.bits;
    if (b != 1 && b != 2 && b != 4 && b != 8 && b != 16 && b != 24 && b != 32)
        return std::to_string(b) + " bits per pixel is not a depth this program reads";
    const std::uint32_t c = f.compression;
    const bool os2 = h.headerSize == 16 || h.headerSize == 64;
    if (os2 && (c == 3 || c == 4))
        return "OS/2 compression " + std::to_string(c) + " is not one this program reads";
    if (c == jpeg)
        return "the pixel data is a JPEG picture, which this program does not read";
    if (c == png)
        return "the pixel data is a PNG picture, which this program does not read";
    if (c != plain && c != rle8 && c != rle4 && c != bitfields && c != alphaBitfields)
        return "compression " + std::to_string(c) + " is not one this program reads";
    if ((c == rle8 && b != 8) || (c == rle4 && b != 4))
        return std::string(c == rle8 ? "RLE8" : "RLE4") + " compression with " + std::to_string(b) +
               " bits per pixel";
    if ((c == bitfields || c == alphaBitfields) && b != 16 && b != 32)
        return "colour masks with " + std::to_string(b) + " bits per pixel";
    if ((c == rle8 || c == rle4) && f.topDown)
        return "an RLE bitmap cannot be stored top-down";

    const std::uint64_t infoEnd = fileHeaderSize + h.headerSize;
    std::uint64_t tableAt = infoEnd;
    if (c == bitfields || c == alphaBitfields) {
        if (h.headerSize < 52) {
            const std::uint64_t maskBytes = c == alphaBitfields ? 16 : 12;
            if (h.bytesAfterHeader < maskBytes)
                return needs("the colour masks", infoEnd, maskBytes, h.fileSize);
            tableAt += maskBytes;
        }
        const bool hasAlpha = c == alphaBitfields || h.headerSize >= 56;
        for (std::size_t k = 0; k < (hasAlpha ? 4u : 3u); ++k)
            f.masks[k] = h.masks[k];
    } else if (b == 16) {
        f.masks = {0x7C00, 0x03E0, 0x001F, 0};
    } else if (b == 32) {
        f.masks = {0xFF0000, 0xFF00, 0xFF, 0};
    }
    if (b == 16 || b == 32) {
        std::uint32_t seen = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const std::uint32_t m = f.masks[k];
            if (m == 0 && k < 3)
                return std::string("the ") + channelNames[k] + " mask is empty";
            if (m == 0)
                continue;
            if (!Channel(m).contiguous())
                return std::string("the ") + channelNames[k] + " mask " + hex(m) + " is not one run of bits";
            if (b == 16 && m > 0xFFFF)
                return std::string("the ") + channelNames[k] + " mask " + hex(m) + " is wider than 16 bits";
            if (seen & m)
                return std::string("the ") + channelNames[k] + " mask " + hex(m) + " overlaps another";
            seen |= m;
        }
    }

    if (f.dataOffset < tableAt)
        return "the pixel data at byte " + std::to_string(f.dataOffset) + " overlaps the headers, which end at " +
               std::to_string(tableAt);
    if (f.dataOffset > h.fileSize)
        return "the pixel data starts at byte " + std::to_string(f.dataOffset) + "; the file ends at " +
               std::to_string(h.fileSize);

    // The colour table: as many entries as the header says, or all that the
    // depth allows as far as the pixel data leaves room for them.
    f.tableAt = tableAt;
    if (b <= 8) {
        const std::uint64_t entrySize = h.headerSize == 12 ? 3 : 4;
        const std::uint64_t most = std::uint64_t{1} << b;
        std::uint64_t entries = h.colorsUsed;
        if (entries > most)
            return "the colour table of " + std::to_string(entries) + " entries is more than " +
                   std::to_string(b) + " bits per pixel can use";
        if (entries == 0)
            entries = std::min(most, (f.dataOffset - tableAt) / entrySize);
        if (tableAt + entries * entrySize > f.dataOffset)
            return "the colour table of " + std::to_string(entries) + " entries needs bytes " +
                   std::to_string(tableAt) + " to " + std::to_string(tableAt + entries * entrySize) +
                   "; the pixel data starts at " + std::to_string(f.dataOffset);
        f.tableEntries = static_cast<std::uint32_t>(entries);
    }
    if (c != rle8 && c != rle4) {
        // At most 32 x 32767 bits a row: no overflow in 64 bits.
        const std::uint64_t length = f.stride() * static_cast<std::uint64_t>(f.height);
        if (!fits(f.dataOffset, length, h.fileSize))
            return needs("the pixel data", f.dataOffset, length, h.fileSize);
    }
    return "";
}

std::string BitmapReader::readHeader()
{
    BitmapHeader header;
    const std::string why = readBitmapHeader(in_, size_, header);
    return why.empty() ? judgeBitmap(header, format_) : why;
}

std::string BitmapReader::open()
{
    BitmapHeader header;
    std::string why = readBitmapHeader(in_, size_, header);
    if (why.empty())
        why = judgeBitmap(header, format_);
    if (!why.empty())
        return why;
    const BitmapFormat& f = format_;

    if (f.bits <= 8) {
        const std::uint64_t entrySize = f.headerSize == 12 ? 3 : 4;
        unsigned char raw[256 * 4];
        if (!readAt(in_, f.tableAt, raw, f.tableEntries * entrySize))
            return unreadable;
        for (std::size_t k = 0; k < f.tableEntries; ++k)
            std::memcpy(&table_[3 * k], raw + entrySize * k, 3);
    }

    decoder_ = std::make_unique<Decoder>(in_, size_, format_);
    Decoder& d = *decoder_;
    const std::uint64_t w = static_cast<std::uint64_t>(f.width);
    const bool rle = f.compression == rle8 || f.compression == rle4;
    if (rle) {
        d.limit = static_cast<std::size_t>((w + 3) / 4 * 4);
        d.indices.resize(d.limit);
        // No larger than what is left of the file: a small bitmap's stream
        // fits in a small window.
        const std::uint64_t left = f.dataOffset < size_ ? size_ - f.dataOffset : 1;
        d.window.resize(static_cast<std::size_t>(std::min<std::uint64_t>(64 * 1024, left)));
        d.pos = f.dataOffset;
    } else {
        d.stride = f.stride();
        if (f.bits <= 8)
            d.indices.resize(static_cast<std::size_t>(w));
    }
    for (std::size_t k = 0; k < 4; ++k)
        d.channels[k] = Channel(f.masks[k]);
    // How a row is unpacked, chosen once.
    const bool standard32 = f.bits == 32 && f.masks[0] == 0xFF0000 && f.masks[1] == 0xFF00 &&
                            f.masks[2] == 0xFF && f.masks[3] == 0;
    d.unpack = rle                 ? Unpack::runLengths
               : f.bits <= 8       ? Unpack::packedIndices
               : f.bits == 24      ? Unpack::copy24
               : standard32        ? Unpack::copy32
                                   : Unpack::masks;
    return "";
}

std::string BitmapReader::readRows(unsigned char* bgr, std::ptrdiff_t step, int count)
{
    if (!decoder_) // open() refused the file, or was never called
        return "the bitmap's headers were not read";
    Decoder& d = *decoder_;
    const BitmapFormat& f = format_;
    const std::size_t w = static_cast<std::size_t>(f.width);
    const bool rle = f.compression == rle8 || f.compression == rle4;
    if (!rle) {
        const std::uint64_t bytes = d.stride * static_cast<std::uint64_t>(count);
        if (d.raw.size() < bytes)
            d.raw.resize(static_cast<std::size_t>(bytes));
        const std::uint64_t at = f.dataOffset + d.stride * static_cast<std::uint64_t>(rowsRead_);
        if (!readAt(in_, at, d.raw.data(), bytes))
            return unreadable;
    }
    for (int k = 0; k < count; ++k, ++rowsRead_) {
        unsigned char* out = bgr + static_cast<std::ptrdiff_t>(k) * step;
        const unsigned char* row = rle ? nullptr : d.raw.data() + static_cast<std::size_t>(d.stride) * static_cast<std::size_t>(k);
        switch (d.unpack) {
        case Unpack::runLengths:
        case Unpack::packedIndices: {
            if (rle) {
                const std::string why = d.decodeRow(rowsRead_);
                if (!why.empty())
                    return why;
            } else {
                const int bits = f.bits;
                const int perByte = 8 / bits;
                const unsigned mask = (1u << bits) - 1;
                for (std::size_t x = 0; x < w; ++x) {
                    const int shift = 8 - bits * (1 + static_cast<int>(x % static_cast<std::size_t>(perByte)));
                    d.indices[x] = static_cast<unsigned char>((row[x / static_cast<std::size_t>(perByte)] >> shift) & mask);
                }
            }
            for (std::size_t x = 0; x < w; ++x) {
                const unsigned k2 = d.indices[x];
                if (k2 >= f.tableEntries) {
                    const int y = f.topDown ? rowsRead_ : f.height - 1 - rowsRead_;
                    return "colour index " + std::to_string(k2) + " at pixel (" + std::to_string(x) + ", " +
                           std::to_string(y) + ") is beyond the colour table of " +
                           std::to_string(f.tableEntries) + " entries";
                }
                std::memcpy(out + 3 * x, &table_[3 * k2], 3);
            }
            break;
        }
        case Unpack::copy24:
            std::memcpy(out, row, 3 * w);
            break;
        case Unpack::copy32:
            for (std::size_t x = 0; x < w; ++x)
                std::memcpy(out + 3 * x, row + 4 * x, 3);
            break;
        case Unpack::masks: {
            const Channel* ch = d.channels;
            for (std::size_t x = 0; x < w; ++x) {
                const std::uint32_t v = f.bits == 16 ? readU16le(row + 2 * x) : readU32le(row + 4 * x);
                out[3 * x] = ch[2].scale(v);
                out[3 * x + 1] = ch[1].scale(v);
                out[3 * x + 2] = ch[0].scale(v);
                if (ch[3].mask != 0 && (v & ch[3].mask) != ch[3].mask)
                    ++translucent_;
            }
            break;
        }
        }
    }
    return "";
}

std::string BitmapFormat::describe() const
{
    std::string s = std::to_string(bits) + (bits == 1 ? " bit" : " bits") + " per pixel, ";
    switch (compression) {
    case 1: s += "RLE8"; break;
    case 2: s += "RLE4"; break;
    case 3:
    case 6: s += "masks"; break;
    default: s += "uncompressed";
    }
    if (bits <= 8)
        s += ", " + std::to_string(tableEntries) + (tableEntries == 1 ? " colour" : " colours");
    return s + (topDown ? ", top-down" : ", bottom-up");
}

bool looksLikeBitmap(const unsigned char* bytes, std::size_t length)
{
    return length >= 2 && bytes[0] == 'B' && bytes[1] == 'M';
}

PictureFormat BitmapReader::picture() const
{
    PictureFormat p;
    p.width = format_.width;
    p.height = format_.height;
    p.topDown = format_.topDown;
    p.onePalette = format_.bits <= 8;
    p.description = format_.describe();
    return p;
}

} // namespace quiltpix
