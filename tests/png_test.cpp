// PNG both ways: every variant read as it shows and converted exactly, the
// MOS side's PNG read back exactly, broken and hostile files refused with
// their reason, the check agreeing with the conversion on every one.
#include "conversions.h"
#include "picture.h"
#include "png_reader.h"
#include "png_writer.h"
#include "pngs.h"
#include "to_bitmap.h"
#include "to_mos.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

using namespace quiltpix;
using namespace quiltpix::testkit;

namespace {

std::string text(const Bytes& b)
{
    return std::string(b.begin(), b.end());
}

// The picture a PNG holds, as the reader hands it over, top row first.
std::string readPng(const Bytes& png, Picture& read, std::uint64_t* translucent = nullptr)
{
    std::istringstream in(text(png));
    PngReader reader(in, png.size());
    std::string why = reader.open();
    if (!why.empty())
        return why;
    const PictureFormat f = reader.picture();
    read = Picture{f.width, f.height, std::vector<Bgr>(static_cast<std::size_t>(f.width) * static_cast<std::size_t>(f.height))};
    why = reader.readRows(&read.pixels.front().b, 3 * static_cast<std::ptrdiff_t>(f.width), f.height);
    if (translucent)
        *translucent = reader.translucent();
    return why;
}

std::string toMos(const Bytes& picture, Bytes& mos, MosSummary* summary = nullptr)
{
    std::istringstream in(text(picture));
    MemorySink sink;
    MosSummary s;
    const std::string why = convertToMos(in, picture.size(), sink, {}, s).reason;
    mos = sink.bytes;
    if (summary)
        *summary = s;
    return why;
}

class Png : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!pngAvailable())
            GTEST_SKIP() << pngNeedsZlib;
    }
};

} // namespace

TEST_F(Png, EveryVariantReadsAsItShowsAndConvertsExactly)
{
    // Noise of at most 256 colours a tile, wide and narrow.
    const Picture pictures[] = {colours(indexPicture(noisePicture(70, 67, 2))), colours(indexPicture(noisePicture(9, 130, 4)))};
    for (const PngVariant& variant : pngVariants())
        for (const Picture& picture : pictures) {
            SCOPED_TRACE(variant.name + ", " + std::to_string(picture.width) + " wide");
            const PngFile file = writePngVariant(picture, variant);
            Picture read;
            std::uint64_t translucent = 0;
            ASSERT_EQ(readPng(file.bytes, read, &translucent), "");
            EXPECT_EQ(firstDifference(file.shows, read), "");
            EXPECT_EQ(translucent, file.translucent);
            std::istringstream in(text(file.bytes));
            EXPECT_TRUE(checkPictureStream(in, file.bytes.size()).whole);
            Bytes mos;
            MosSummary summary;
            ASSERT_EQ(toMos(file.bytes, mos, &summary), "");
            EXPECT_EQ(summary.quantised, 0u);
            EXPECT_EQ(summary.translucent, file.translucent);
            const auto shown = referenceDecode(mos);
            ASSERT_TRUE(shown);
            EXPECT_EQ(firstDifference(file.shows, *shown), "");
        }
}

// The MOS side's PNG, fast and small, holds exactly the picture; the same
// file every time; the small one no larger.
TEST_F(Png, WhatTheMosSideWritesReadsBackExactly)
{
    for (const auto& [w, h] : {std::pair<int, int>{1, 1}, {63, 65}, {130, 70}, {300, 129}}) {
        SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h));
        const IndexedPicture indexed = noiseIndexedPicture(w, h, 9);
        const Bytes mos = writeMos(indexed);
        std::size_t sizes[2] = {};
        for (bool small : {false, true}) {
            std::string pngs[2];
            for (std::string& written : pngs) {
                std::istringstream in(text(mos));
                std::ostringstream out;
                PngWriter writer(out, small);
                std::string why;
                ASSERT_TRUE(convertMos(in, mos.size(), writer, nullptr, &why)) << why;
                written = out.str();
            }
            EXPECT_EQ(pngs[0], pngs[1]);
            const Bytes png(pngs[0].begin(), pngs[0].end());
            sizes[small] = png.size();
            Picture read;
            ASSERT_EQ(readPng(png, read), "");
            EXPECT_EQ(firstDifference(colours(indexed), read), "");
            for (const PngChunk& c : pngChunks(png))
                EXPECT_LE(c.length, 256u * 1024);
        }
        EXPECT_LE(sizes[1], sizes[0]);
    }
}

// Broken and hostile files: a clear reason, and the check says the same.
TEST_F(Png, BrokenFilesAreRefusedWithTheirReason)
{
    const PngFile good = writePngVariant(colours(indexPicture(noisePicture(40, 20, 3))), PngVariant{});
    const std::vector<PngChunk> chunks = pngChunks(good.bytes);
    const PngChunk& idat = chunks[1];
    auto changed = [&good](std::size_t at, std::initializer_list<unsigned char> bytes, const PngChunk* fix = nullptr) {
        Bytes b = good.bytes;
        std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
        if (fix)
            fixPngCrc(b, *fix);
        return b;
    };
    auto cut = [&good](std::size_t size) { return Bytes(good.bytes.begin(), good.bytes.begin() + static_cast<std::ptrdiff_t>(size)); };
    // Raw rows of 40 RGB pixels, 20 of them, filter 0.
    Bytes rows;
    for (int y = 0; y < 20; ++y) {
        rows.push_back(0);
        rows.insert(rows.end(), 120, static_cast<unsigned char>(y));
    }
    Bytes longer = rows;
    longer.insert(longer.end(), 121, 0);
    Bytes bomb = rows;
    bomb.insert(bomb.end(), 50u << 20, 0); // 50 MB past the last row, in a few KB
    Bytes badFilter = rows;
    badFilter[121 * 3] = 5;
    const Bytes compressed = zlibCompress(rows);
    const Bytes palette = {1, 2, 3, 4, 5, 6};
    Bytes indices;
    for (int y = 0; y < 20; ++y) {
        indices.push_back(0);
        for (int x = 0; x < 40; ++x)
            indices.push_back(x == 7 && y == 3 ? 2 : 1);
    }
    Bytes tooMany = good.bytes;
    tooMany.insert(tooMany.begin() + static_cast<std::ptrdiff_t>(chunks.back().at), good.bytes.begin() + static_cast<std::ptrdiff_t>(idat.at),
                   good.bytes.begin() + static_cast<std::ptrdiff_t>(idat.at + 12 + idat.length));
    const struct {
        const char* what;
        Bytes file;
        std::string reason;
    } cases[] = {
        {"the signature only", cut(8), "the file ends at byte 8, before the IEND chunk"},
        {"cut in IDAT", cut(idat.at + 20), "the IDAT chunk needs bytes 33 to " + std::to_string(33 + 12 + idat.length) + "; the file ends at 53"},
        {"no IEND", cut(chunks.back().at), "the file ends at byte " + std::to_string(chunks.back().at) + ", before the IEND chunk"},
        {"a damaged CRC", changed(idat.at + 8 + idat.length, {0}), "the IDAT chunk at byte 33 fails its CRC check"},
        {"a damaged IDAT", changed(idat.at + 10, {0x55}), "the IDAT chunk at byte 33 fails its CRC check"},
        {"a length past 2^31", changed(idat.at, {0x80}), "the IDAT chunk at byte 33 claims " + std::to_string(0x80000000u + idat.length) + " bytes, more than PNG allows"},
        {"IHDR not first", changed(12, {'I', 'D', 'A', 'T'}, &chunks[0]), "the first chunk is IDAT, not IHDR"},
        {"a width of 0", changed(16, {0, 0, 0, 0}, &chunks[0]), "width 0 is outside 1 to 32767, the sizes a MOS picture holds"},
        {"a width of 40000", changed(16, {0, 0, 0x9C, 0x40}, &chunks[0]), "width 40000 is outside 1 to 32767, the sizes a MOS picture holds"},
        {"colour type 5", changed(25, {5}, &chunks[0]), "colour type 5 is not a PNG colour type"},
        {"depth 4 RGB", changed(24, {4}, &chunks[0]), "a bit depth of 4 does not go with colour type 2 (RGB)"},
        {"interlace 2", changed(28, {2}, &chunks[0]), "interlace method 2 is not PNG's"},
        {"an unknown critical chunk", changed(chunks.back().at + 4, {'I', 'E', 'N', 'X'}, &chunks.back()), "a critical chunk IENX this program does not know"},
        {"IDATs apart", [&] {
             Bytes b = good.bytes;
             const Bytes text = {0, 0, 0, 1, 't', 'E', 'X', 't', 'x', 0, 0, 0, 0};
             b.insert(b.begin() + static_cast<std::ptrdiff_t>(chunks.back().at), text.begin(), text.end());
             b.insert(b.begin() + static_cast<std::ptrdiff_t>(chunks.back().at + text.size()), good.bytes.begin() + static_cast<std::ptrdiff_t>(idat.at),
                      good.bytes.begin() + static_cast<std::ptrdiff_t>(idat.at + 12 + idat.length));
             fixPngCrc(b, PngChunk{"tEXt", chunks.back().at, 1});
             return b;
         }(), "the IDAT chunks are not together: another stands at byte " + std::to_string(chunks.back().at + 13)},
        {"no IDAT", pngOf(40, 20, 8, 2, 0, {}), ""},
        {"a stream cut short", pngOf(40, 20, 8, 2, 0, Bytes(compressed.begin(), compressed.begin() + 30)), "the image data ends before row 5 is complete"},
        {"a stream that runs long", pngOf(40, 20, 8, 2, 0, zlibCompress(longer)), "the image data runs on past the last row"},
        {"a stream 50 MB long", pngOf(40, 20, 8, 2, 0, zlibCompress(bomb)), "the image data runs on past the last row"},
        {"not zlib", pngOf(40, 20, 8, 2, 0, Bytes(40, 0xFF)), "the image data is damaged (incorrect header check)"},
        {"filter 5", pngOf(40, 20, 8, 2, 0, zlibCompress(badFilter)), "row 3 has filter type 5; only 0 to 4 exist"},
        {"an index past the palette", pngOf(40, 20, 8, 3, 0, zlibCompress(indices), palette), "colour index 2 at pixel (7, 3) is beyond the palette of 2 entries"},
        {"no palette", pngOf(40, 20, 8, 3, 0, zlibCompress(indices)), "no palette (PLTE chunk) for a palette picture"},
        {"interlaced, too large", pngOf(32767, 32767, 8, 2, 1, compressed), "an interlaced PNG of over 64 megapixels is decoded whole, which this program does not do; save it without interlacing (Adam7) and convert that"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Picture read;
        const std::string why = readPng(c.file, read);
        if (c.reason.empty())
            EXPECT_NE(why, "");
        else
            EXPECT_EQ(why, c.reason);
        std::istringstream in(text(c.file));
        const PictureCheck check = checkPictureStream(in, c.file.size());
        EXPECT_FALSE(check.whole);
        EXPECT_EQ(check.reason, why);
        Bytes mos;
        EXPECT_EQ(toMos(c.file, mos), why);
    }
    Picture read;
    EXPECT_EQ(readPng(pngOf(40, 20, 8, 2, 0, {}), read), "the image data ends before row 0 is complete");
}

// PngSuite, the PNG conformance suite (Debian's libsixel-examples), where it
// is installed: every valid file converts, every corrupted one is refused,
// and the check agrees. (scripts/crosscheck.sh holds the pixels to Pillow's.)
TEST_F(Png, PngSuiteConvertsAndItsCorruptedFilesAreRefused)
{
    const std::filesystem::path suite = "/usr/share/doc/libsixel-examples/examples/images/pngsuite";
    if (!std::filesystem::is_directory(suite))
        GTEST_SKIP() << "PngSuite is not installed (Debian's libsixel-examples)";
    int valid = 0, refused = 0;
    for (const auto& folder : std::filesystem::directory_iterator(suite))
        for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
            SCOPED_TRACE(entry.path().string());
            const Bytes file = readFile(entry.path().string());
            Bytes mos;
            const std::string why = toMos(file, mos);
            std::istringstream in(text(file));
            EXPECT_EQ(checkPictureStream(in, file.size()).reason, why);
            if (folder.path().filename() == "corrupted") {
                EXPECT_NE(why, "");
                ++refused;
            } else {
                EXPECT_EQ(why, "");
                EXPECT_TRUE(referenceDecode(mos));
                ++valid;
            }
        }
    EXPECT_EQ(valid, 160);
    EXPECT_EQ(refused, 14);
}
