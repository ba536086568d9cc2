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
    bool standard32 = false; // 8-bit masks in the usual places: copy the bytes

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

std::string BitmapReader::open()
{
    BitmapFormat& f = format_;
    unsigned char head[fileHeaderSize + 124 + 16] = {};
    if (!fits(0, fileHeaderSize + 4, size_))
        return needs("the bitmap header", 0, fileHeaderSize + 4, size_);
    if (!readAt(in_, 0, head, fileHeaderSize + 4))
        return unreadable;
    if (!looksLikeBitmap(head, 2))
        return "not a bitmap: it does not begin with \"BM\"";
    f.headerSize = readU32le(head + 14);
    if (!knownHeaderSize(f.headerSize))
        return "a bitmap header of " + std::to_string(f.headerSize) + " bytes is not a kind this program reads";
    const std::uint64_t infoEnd = fileHeaderSize + f.headerSize;
    if (!fits(0, infoEnd, size_))
        return needs("the bitmap header", 0, infoEnd, size_);
    if (!readAt(in_, 0, head, infoEnd))
        return unreadable;
    const unsigned char* info = head + fileHeaderSize;
    f.dataOffset = readU32le(head + 10);

    std::int64_t width = 0, height = 0;
    std::uint32_t colorsUsed = 0;
    if (f.headerSize == 12) {
        width = readU16le(info + 4);
        height = readU16le(info + 6);
        f.bits = readU16le(info + 10);
    } else {
        width = static_cast<std::int32_t>(readU32le(info + 4));
        height = static_cast<std::int32_t>(readU32le(info + 8));
        f.bits = readU16le(info + 14);
        if (f.headerSize >= 20)
            f.compression = readU32le(info + 16);
        if (f.headerSize >= 36)
            colorsUsed = readU32le(info + 32);
    }
    if (width < 1 || width > largestSide)
        return "width " + std::to_string(width) + " is outside 1 to 32767, the sizes a MOS picture holds";
    f.topDown = height < 0;
    if (height < 0)
        height = -height; // from a 32-bit field, so this cannot overflow 64 bits
    if (height < 1 || height > largestSide)
        return "height " + std::to_string(height) + " is outside 1 to 32767, the sizes a MOS picture holds";
    f.width = static_cast<int>(width);
    f.height = static_cast<int>(height);

    const int b = f.bits;
    if (b != 1 && b != 2 && b != 4 && b != 8 && b != 16 && b != 24 && b != 32)
        return std::to_string(b) + " bits per pixel is not a depth this program reads";
    const std::uint32_t c = f.compression;
    const bool os2 = f.headerSize == 16 || f.headerSize == 64;
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

    // Masks: in the header from 52 bytes on, else after a 40-byte header.
    std::uint64_t tableAt = infoEnd;
    if (c == bitfields || c == alphaBitfields) {
        const unsigned char* masks = info + 40;
        if (f.headerSize < 52) {
            const std::uint64_t maskBytes = c == alphaBitfields ? 16 : 12;
            if (!fits(infoEnd, maskBytes, size_))
                return needs("the colour masks", infoEnd, maskBytes, size_);
            if (!readAt(in_, infoEnd, head + infoEnd, maskBytes))
                return unreadable;
            tableAt += maskBytes;
        }
        const bool hasAlpha = c == alphaBitfields || f.headerSize >= 56;
        for (int k = 0; k < (hasAlpha ? 4 : 3); ++k)
            f.masks[static_cast<std::size_t>(k)] = readU32le(masks + 4 * k);
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
    if (f.dataOffset > size_)
        return "the pixel data starts at byte " + std::to_string(f.dataOffset) + "; the file ends at " +
               std::to_string(size_);

    // The colour table: as many entries as the header says, or all that the
    // depth allows as far as the pixel data leaves room for them.
    if (b <= 8) {
        const std::uint64_t entrySize = f.headerSize == 12 ? 3 : 4;
        const std::uint64_t most = std::uint64_t{1} << b;
        std::uint64_t entries = colorsUsed;
        if (entries > most)
            return "the colour table of " + std::to_string(entries) + " entries is more than " +
                   std::to_string(b) + " bits per pixel can use";
        if (entries == 0)
            entries = std::min(most, (f.dataOffset - tableAt) / entrySize);
        if (tableAt + entries * entrySize > f.dataOffset)
            return "the colour table of " + std::to_string(entries) + " entries needs bytes " +
                   std::to_string(tableAt) + " to " + std::to_string(tableAt + entries * entrySize) +
                   "; the pixel data starts at " + std::to_string(f.dataOffset);
        unsigned char raw[256 * 4];
        if (!readAt(in_, tableAt, raw, entries * entrySize))
            return unreadable;
        for (std::size_t k = 0; k < entries; ++k)
            std::memcpy(&table_[3 * k], raw + entrySize * k, 3);
        f.tableEntries = static_cast<std::uint32_t>(entries);
    }

    decoder_ = std::make_unique<Decoder>(in_, size_, format_);
    Decoder& d = *decoder_;
    const std::uint64_t w = static_cast<std::uint64_t>(f.width);
    if (c == rle8 || c == rle4) {
        d.limit = static_cast<std::size_t>((w + 3) / 4 * 4);
        d.indices.resize(d.limit);
        // No larger than what is left of the file: a small bitmap's stream
        // fits in a small window.
        const std::uint64_t left = f.dataOffset < size_ ? size_ - f.dataOffset : 1;
        d.window.resize(static_cast<std::size_t>(std::min<std::uint64_t>(64 * 1024, left)));
        d.pos = f.dataOffset;
    } else {
        // At most 32 x 32767 bits a row: no overflow in 64 bits.
        d.stride = (static_cast<std::uint64_t>(b) * w + 31) / 32 * 4;
        const std::uint64_t length = d.stride * static_cast<std::uint64_t>(f.height);
        if (!fits(f.dataOffset, length, size_))
            return needs("the pixel data", f.dataOffset, length, size_);
        if (b <= 8)
            d.indices.resize(static_cast<std::size_t>(w));
    }
    for (std::size_t k = 0; k < 4; ++k)
        d.channels[k] = Channel(f.masks[k]);
    d.standard32 = b == 32 && f.masks[0] == 0xFF0000 && f.masks[1] == 0xFF00 && f.masks[2] == 0xFF &&
                   (f.masks[3] == 0 || f.masks[3] == 0xFF000000u);
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
        if (rle) {
            const std::string why = d.decodeRow(rowsRead_);
            if (!why.empty())
                return why;
        } else if (f.bits <= 8) {
            const int bits = f.bits;
            const int perByte = 8 / bits;
            const unsigned mask = (1u << bits) - 1;
            for (std::size_t x = 0; x < w; ++x) {
                const int shift = 8 - bits * (1 + static_cast<int>(x % static_cast<std::size_t>(perByte)));
                d.indices[x] = static_cast<unsigned char>((row[x / static_cast<std::size_t>(perByte)] >> shift) & mask);
            }
        }
        if (rle || f.bits <= 8) {
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
        } else if (f.bits == 24) {
            std::memcpy(out, row, 3 * w);
        } else if (d.standard32 && d.channels[3].mask == 0) {
            for (std::size_t x = 0; x < w; ++x)
                std::memcpy(out + 3 * x, row + 4 * x, 3);
        } else {
            const Channel* ch = d.channels;
            for (std::size_t x = 0; x < w; ++x) {
                const std::uint32_t v = f.bits == 16 ? readU16le(row + 2 * x) : readU32le(row + 4 * x);
                out[3 * x] = ch[2].scale(v);
                out[3 * x + 1] = ch[1].scale(v);
                out[3 * x + 2] = ch[0].scale(v);
                if (ch[3].mask != 0 && (v & ch[3].mask) != ch[3].mask)
                    ++translucent_;
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

BitmapCheck checkBitmapStream(std::istream& in, std::uint64_t size)
{
    BitmapCheck check;
    try {
        BitmapReader reader(in, size);
        check.reason = reader.open();
        check.format = reader.format();
        if (check.reason.empty()) {
            const BitmapFormat& f = reader.format();
            const std::size_t stride = 3 * static_cast<std::size_t>(f.width);
            std::vector<unsigned char> rows(stride * 64);
            for (int done = 0; done < f.height && check.reason.empty(); done += 64)
                check.reason = reader.readRows(rows.data(), static_cast<std::ptrdiff_t>(stride), std::min(64, f.height - done));
        }
    } catch (const std::exception&) {
        check.reason = "out of memory";
    }
    check.whole = check.reason.empty();
    return check;
}

} // namespace quiltpix
