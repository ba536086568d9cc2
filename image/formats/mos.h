// The MOS input layout and the 24-bit bitmap output layout.
//
// MOS file (all integers little-endian):
//
//   0   8  (not examined)
//   8   2  width           signed 16-bit, pixels
//  10   2  height          signed 16-bit, pixels
//  12   2  columns         signed 16-bit, tiles across = ceil(width / 64)
//  14   2  rows            signed 16-bit, tiles down  = ceil(height / 64)
//  16   4  (not examined; tiles are always 64 x 64)
//  20   4  paletteOffset   unsigned 32-bit, from the start of the file
//
//  at paletteOffset:            rows x columns palettes of 256 entries x 4 bytes
//                               (blue, green, red, ignored), in tile order
//  then:                        rows x columns unsigned 32-bit tile offsets,
//                               counted from the tile data base
//  tile data base:              paletteOffset + 1028 x rows x columns
//
// Tiles are 64 x 64 except in the last column and the last row, which take the
// remainder. A tile is stored as its pixel rows top to bottom, one palette index
// byte per pixel; the tiles of one tile row follow each other without gaps, so a
// tile row is one run of width x (its height) bytes starting at the tile data
// base + the offset of its first tile. The offsets of the other tiles are unused.
//
// Bitmap file written (all integers little-endian), S = 3 x width rounded up to 4:
//
//   0  2  bfType      "BM"            14  4  biSize         40
//   2  4  bfSize      54 + S x height 18  4  biWidth        width
//   6  2  bfReserved1 0               22  4  biHeight       height (bottom-up rows)
//   8  2  bfReserved2 0               26  2  biPlanes       1
//  10  4  bfOffBits   54              28  2  biBitCount     24
//                                     30  4  biCompression  0
//                                     34  4  biSizeImage    S x height
//                                     38 .. 53              0 (resolution, colours)
//  54     pixel rows, bottom row first, each width x (blue, green, red) + zero padding
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace quiltpix {

constexpr std::size_t mosHeaderSize = 24;

// Told after each tile row a conversion finishes: how many of how many, and
// the pixels done so far.
using RowProgress = std::function<void(int done, int total, std::uint64_t pixels)>;

constexpr std::size_t bitmapHeadersSize = 54;
constexpr int tileSize = 64;
constexpr std::size_t paletteBytes = 256 * 4;

struct MosHeader {
    std::int16_t width = 0;
    std::int16_t height = 0;
    std::int16_t columns = 0;
    std::int16_t rows = 0;
    std::uint32_t paletteOffset = 0;
};

// Decodes the 24 header bytes at their fixed positions; judges nothing.
MosHeader parseMosHeader(const unsigned char* bytes);

// Positive width and height, and tile counts that agree with them.
bool isWellFormed(const MosHeader& header);

// Width of tile column c, height of tile row r; only for a well-formed header.
int tileWidth(const MosHeader& header, int c);
int tileHeight(const MosHeader& header, int r);

std::uint64_t tileCount(const MosHeader& header);
std::uint64_t offsetTablePosition(const MosHeader& header);
std::uint64_t tileDataBase(const MosHeader& header);
// Where the palettes of tile row r begin: columns x 1024 bytes from there.
std::uint64_t paletteRowPosition(const MosHeader& header, int r);
// Where tile c of a tile row r of height h starts within that row's run:
// the tiles before it are 64 wide.
std::uint64_t tileInRun(int c, int h);

// The header of the MOS file this program writes: the picture's size, its
// tile counts, "MOS V2  " and the tile size 64 in the bytes readers do not
// examine, and the palettes straight after it.
MosHeader freshHeader(int width, int height);
void putMosHeader(unsigned char* out, const MosHeader& header);
// The offset of tile (r, c) from the tile data base when the tile data is
// stored tile by tile in tile order, as this program writes it.
std::uint32_t freshTileOffset(const MosHeader& header, int r, int c);

// Bytes in one stored bitmap row: 3 x width rounded up to a multiple of 4.
std::uint64_t bitmapRowSize(int width);

// The sizes of the files this program writes for a picture of that size.
std::uint64_t bitmapFileSize(int width, int height);
std::uint64_t freshMosSize(int width, int height);

// Fills the 54 bytes of BITMAPFILEHEADER and BITMAPINFOHEADER for a 24-bit,
// bottom-up bitmap. Width and height must come from a well-formed header.
void putBitmapHeaders(unsigned char* out, int width, int height);

} // namespace quiltpix
