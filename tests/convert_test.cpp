// Conversion of whole, valid files: the bitmap must show exactly the picture
// the MOS file was built from.
#include "conversions.h"
#include "to_bitmap.h"
#include "mos.h"
#include "picture.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace quiltpix;
using namespace quiltpix::testkit;

namespace {

struct Result {
    bool ok = false;
    Bytes bitmap;
    std::string progress;
};

Result convert(const Bytes& mos)
{
    std::istringstream in(std::string(mos.begin(), mos.end()));
    std::ostringstream out, progress;
    Result result;
    result.ok = convertMosStream(in, mos.size(), out, &progress);
    const std::string written = out.str();
    result.bitmap.assign(written.begin(), written.end());
    result.progress = progress.str();
    return result;
}

// Converts and checks that the bitmap shows `expected`.
void expectConvertsTo(const Bytes& mos, const Picture& expected)
{
    const Result result = convert(mos);
    ASSERT_TRUE(result.ok);
    std::string why;
    const auto picture = readBitmap(result.bitmap, &why);
    ASSERT_TRUE(picture) << why;
    EXPECT_EQ(firstDifference(expected, *picture), "");
}

std::uint32_t field32(const Bytes& b, std::size_t pos)
{
    return b[pos] | std::uint32_t{b[pos + 1]} << 8 | std::uint32_t{b[pos + 2]} << 16 | std::uint32_t{b[pos + 3]} << 24;
}

} // namespace

TEST(Convert, EveryShapeShowsThePictureItWasBuiltFrom)
{
    // Partial last columns and rows of many widths, all four row paddings,
    // exact multiples of 64, single rows and columns, and pictures wide enough
    // that the bitmap is written in several pieces, some of them starting in
    // the middle of a tile row (1000 wide: 43 rows a piece).
    const int shapes[][2] = {{1, 1},    {2, 1},    {3, 5},    {4, 4},    {10, 3},    {63, 63},
                             {64, 64},  {65, 65},  {100, 70}, {128, 128}, {129, 1},  {1, 129},
                             {130, 10}, {191, 193}, {1000, 150}, {2049, 97}};
    for (const auto& shape : shapes) {
        SCOPED_TRACE(std::to_string(shape[0]) + "x" + std::to_string(shape[1]));
        const Picture picture = noisePicture(shape[0], shape[1], static_cast<std::uint64_t>(shape[0] * 1000 + shape[1]));
        expectConvertsTo(writeMos(indexPicture(picture)), picture);
    }
}

TEST(Convert, HeadersAndProgressOfAOneTilePicture)
{
    const Picture picture = noisePicture(64, 64, 3);
    const Result result = convert(writeMos(indexPicture(picture)));
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.progress, std::to_string(24 + 1024 + 4) + "\nDone\n");
    const Bytes& b = result.bitmap;
    ASSERT_EQ(b.size(), 54u + 192 * 64);
    EXPECT_EQ(b[0], 'B');
    EXPECT_EQ(b[1], 'M');
    EXPECT_EQ(field32(b, 2), 54u + 192 * 64); // bfSize
    EXPECT_EQ(field32(b, 6), 0u);             // both reserved words
    EXPECT_EQ(field32(b, 10), 54u);           // bfOffBits
    EXPECT_EQ(field32(b, 14), 40u);           // biSize
    EXPECT_EQ(field32(b, 18), 64u);           // biWidth
    EXPECT_EQ(field32(b, 22), 64u);           // biHeight
    EXPECT_EQ(field32(b, 26), 1u | 24u << 16); // biPlanes, biBitCount
    EXPECT_EQ(field32(b, 30), 0u);            // biCompression
    EXPECT_EQ(field32(b, 34), 192u * 64);     // biSizeImage
}

// Whole pictures of every width modulo 4, narrow and across tile columns:
// the reader checks the sizes the headers state against the file and that
// every row's padding is zero, and the pixels against the picture.
TEST(Convert, EveryRowPaddingGivesAWholeBitmap)
{
    for (int width : {1, 2, 3, 4, 5, 6, 7, 8, 61, 62, 63, 64, 65, 66, 67, 68, 129, 130, 131, 132}) {
        SCOPED_TRACE(width);
        const Picture picture = noisePicture(width, 3, static_cast<std::uint64_t>(width));
        const Result r = convert(writeMos(indexPicture(picture)));
        ASSERT_TRUE(r.ok);
        const auto read = readBitmap(r.bitmap);
        ASSERT_TRUE(read);
        EXPECT_EQ(firstDifference(picture, *read), "");
    }
}

TEST(Convert, EachTileColumnUsesItsOwnPalette)
{
    // Two tiles side by side with the same index byte everywhere: only the
    // palette decides the colour, so x = 63 and x = 64 must differ.
    IndexedPicture p{100, 1, {Palette{}, Palette{}}, Bytes(100, 7)};
    p.palettes[0][28] = 1, p.palettes[0][29] = 2, p.palettes[0][30] = 3;
    p.palettes[1][28] = 9, p.palettes[1][29] = 8, p.palettes[1][30] = 7;
    const Picture expected = colours(p);
    ASSERT_EQ(expected.at(63, 0), (Bgr{1, 2, 3}));
    ASSERT_EQ(expected.at(64, 0), (Bgr{9, 8, 7}));
    expectConvertsTo(writeMos(p), expected);
}

TEST(Convert, FourthPaletteByteAndUnexaminedHeaderBytesNeverReachTheOutput)
{
    IndexedPicture p = indexPicture(noisePicture(70, 66, 5));
    MosLayout plain;
    const Bytes reference = convert(writeMos(p, plain)).bitmap;
    for (Palette& palette : p.palettes)
        for (std::size_t k = 3; k < palette.size(); k += 4)
            palette[k] = static_cast<unsigned char>(palette[k] ^ 0xA5);
    MosLayout noisy;
    noisy.noisyHeader = true;
    noisy.seed = 99;
    const Result changed = convert(writeMos(p, noisy));
    ASSERT_TRUE(changed.ok);
    EXPECT_EQ(changed.bitmap, reference);
}

TEST(Convert, TileRowsStoredOutOfOrderWithGapsAndNoisyOffsets)
{
    const Picture picture = noisePicture(130, 200, 8);
    MosLayout layout;
    layout.storeOrder = {3, 1, 0, 2};
    layout.gap = 37;
    layout.noisyOffsets = true;
    layout.trailing = 11;
    layout.paletteOffset = 300;
    expectConvertsTo(writeMos(indexPicture(picture), layout), picture);
}

TEST(Convert, TileRowsMayShareTheirRuns)
{
    // 20 x 130: tile rows of 64, 64 and 2 pixel rows. Point the last tile
    // row's run at the start of the first one's, and the middle one's 3 bytes
    // into it: legal, and each reads from where it points.
    const IndexedPicture p = indexPicture(noisePicture(20, 130, 4));
    Bytes mos = writeMos(p);
    const std::size_t offsets = 24 + 1024 * 3;
    mos[offsets + 4] = 3, mos[offsets + 5] = 0, mos[offsets + 6] = 0, mos[offsets + 7] = 0;
    mos[offsets + 8] = 0, mos[offsets + 9] = 0, mos[offsets + 10] = 0, mos[offsets + 11] = 0;
    Picture expected = colours(p);
    for (int x = 0; x < 20; ++x) {
        // Row y of a tile row reads run byte y x 20 + x; tile row 0 stores the
        // picture's first rows in order, so the bytes are those of its pixels.
        const auto index = [&](std::size_t pos) { return p.indices[pos]; };
        for (int y = 0; y < 64; ++y) {
            const std::size_t k = index(3 + static_cast<std::size_t>(y * 20 + x));
            expected.at(x, 64 + y) = {p.palettes[1][4 * k], p.palettes[1][4 * k + 1], p.palettes[1][4 * k + 2]};
        }
        for (int y = 0; y < 2; ++y) {
            const std::size_t k = index(static_cast<std::size_t>(y * 20 + x));
            expected.at(x, 128 + y) = {p.palettes[2][4 * k], p.palettes[2][4 * k + 1], p.palettes[2][4 * k + 2]};
        }
    }
    expectConvertsTo(mos, expected);
}

TEST(Convert, PalettesOverlappingTheHeaderAreLegal)
{
    // Palette table at 0: the header's 24 bytes are palette entries 0-5 of
    // tile 0. Pixels that use other entries convert as usual.
    IndexedPicture p{3, 2, {Palette{}}, Bytes{6, 7, 8, 9, 200, 255}};
    for (std::size_t i = 0; i < 1024; ++i)
        p.palettes[0][i] = static_cast<unsigned char>(i * 7 + 3);
    for (std::uint32_t offset : {0u, 4u, 23u}) {
        SCOPED_TRACE(offset);
        MosLayout layout;
        layout.paletteOffset = offset;
        const Bytes mos = writeMos(p, layout);
        const auto expected = referenceDecode(mos);
        ASSERT_TRUE(expected);
        expectConvertsTo(mos, *expected);
    }
}

TEST(Convert, BundledSampleConverts)
{
    const Bytes mos = readFile(QUILTPIX_SAMPLE);
    ASSERT_FALSE(mos.empty());
    const auto expected = referenceDecode(mos);
    ASSERT_TRUE(expected);
    EXPECT_EQ(expected->width, 200);
    EXPECT_EQ(expected->height, 150);
    expectConvertsTo(mos, *expected);
}
