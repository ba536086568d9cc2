#include "mos.h"

#include "byte_order.h"

namespace quiltpix {

MosHeader parseMosHeader(const unsigned char* bytes)
{
    MosHeader h;
    h.width = static_cast<std::int16_t>(readU16le(bytes + 8));
    h.height = static_cast<std::int16_t>(readU16le(bytes + 10));
    h.columns = static_cast<std::int16_t>(readU16le(bytes + 12));
    h.rows = static_cast<std::int16_t>(readU16le(bytes + 14));
    h.paletteOffset = readU32le(bytes + 20);
    return h;
}

bool isWellFormed(const MosHeader& h)
{
    // Everything below relies on this: positive sizes, so no sign ever reaches a
    // size computation, and tile counts that keep every tile within the picture.
    return h.width > 0 && h.height > 0 && h.columns == (h.width + tileSize - 1) / tileSize &&
           h.rows == (h.height + tileSize - 1) / tileSize;
}

int tileWidth(const MosHeader& h, int c)
{
    return c == h.columns - 1 ? h.width - tileSize * c : tileSize;
}

int tileHeight(const MosHeader& h, int r)
{
    return r == h.rows - 1 ? h.height - tileSize * r : tileSize;
}

std::uint64_t tileCount(const MosHeader& h)
{
    return static_cast<std::uint64_t>(static_cast<std::uint16_t>(h.rows)) *
           static_cast<std::uint16_t>(h.columns);
}

// At most 0xFFFFFFFF + 1028 x 512 x 512 for a well-formed header: far from
// wrapping 64 bits, while in 32 bits it could wrap back into the file.
std::uint64_t offsetTablePosition(const MosHeader& h)
{
    return h.paletteOffset + paletteBytes * tileCount(h);
}

std::uint64_t tileDataBase(const MosHeader& h)
{
    return offsetTablePosition(h) + 4 * tileCount(h);
}

std::uint64_t paletteRowPosition(const MosHeader& h, int r)
{
    return h.paletteOffset + paletteBytes * static_cast<std::uint64_t>(r) * static_cast<std::uint16_t>(h.columns);
}

std::uint64_t tileInRun(int c, int h)
{
    return static_cast<std::uint64_t>(tileSize) * static_cast<std::uint64_t>(c) * static_cast<std::uint64_t>(h);
}

MosHeader freshHeader(int width, int height)
{
    MosHeader h;
    h.width = static_cast<std::int16_t>(width);
    h.height = static_cast<std::int16_t>(height);
    h.columns = static_cast<std::int16_t>((width + tileSize - 1) / tileSize);
    h.rows = static_cast<std::int16_t>((height + tileSize - 1) / tileSize);
    h.paletteOffset = mosHeaderSize;
    return h;
}

void putMosHeader(unsigned char* out, const MosHeader& h)
{
    const char magic[] = "MOS V2  ";
    for (std::size_t i = 0; i < 8; ++i)
        out[i] = static_cast<unsigned char>(magic[i]);
    putU16le(out + 8, static_cast<std::uint16_t>(h.width));
    putU16le(out + 10, static_cast<std::uint16_t>(h.height));
    putU16le(out + 12, static_cast<std::uint16_t>(h.columns));
    putU16le(out + 14, static_cast<std::uint16_t>(h.rows));
    putU32le(out + 16, tileSize);
    putU32le(out + 20, h.paletteOffset);
}

// At most 32767 x 32767 bytes of tile data in all: within 32 bits.
std::uint32_t freshTileOffset(const MosHeader& h, int r, int c)
{
    const std::uint64_t above = static_cast<std::uint64_t>(tileSize) * static_cast<std::uint64_t>(r) *
                                static_cast<std::uint64_t>(h.width);
    return static_cast<std::uint32_t>(above + tileInRun(c, tileHeight(h, r)));
}

std::uint64_t bitmapRowSize(int width)
{
    return (3 * static_cast<std::uint64_t>(width) + 3) & ~std::uint64_t{3};
}

std::uint64_t bitmapFileSize(int width, int height)
{
    return bitmapHeadersSize + bitmapRowSize(width) * static_cast<std::uint64_t>(height);
}

std::uint64_t freshMosSize(int width, int height)
{
    return tileDataBase(freshHeader(width, height)) + static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
}

void putBitmapHeaders(unsigned char* out, int width, int height)
{
    // With width and height below 32768 the image is at most 98304 x 32767
    // bytes, so the 32-bit size fields cannot overflow.
    const auto imageSize = static_cast<std::uint32_t>(bitmapRowSize(width) * static_cast<std::uint64_t>(height));
    for (std::size_t i = 0; i < bitmapHeadersSize; ++i)
        out[i] = 0;
    out[0] = 'B';
    out[1] = 'M';
    putU32le(out + 2, static_cast<std::uint32_t>(bitmapHeadersSize) + imageSize); // bfSize
    putU32le(out + 10, static_cast<std::uint32_t>(bitmapHeadersSize));             // bfOffBits
    putU32le(out + 14, 40);                                                        // biSize
    putU32le(out + 18, static_cast<std::uint32_t>(width));                         // biWidth
    putU32le(out + 22, static_cast<std::uint32_t>(height));                        // biHeight
    putU16le(out + 26, 1);                                                         // biPlanes
    putU16le(out + 28, 24);                                                        // biBitCount
    putU32le(out + 34, imageSize);                                                 // biSizeImage
}

} // namespace quiltpix
