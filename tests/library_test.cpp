// The C interface as its users call it: inspect, decode into a buffer or row
// by row, BMP and PNG bytes, and the way back from pixels or files, with an
// original's bytes kept; every failure a status and the program's message.
#include "quiltpix.h"

#include "bitmaps.h"
#include "conversions.h"
#include "memory_stream.h"
#include "mos_reading.h"
#include "picture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <thread>

using namespace quiltpix::testkit;

namespace {

struct Context {
    quiltpix_context* c = quiltpix_context_new();
    ~Context() { quiltpix_context_free(c); }
    Bytes output() const
    {
        size_t size = 0;
        const unsigned char* bytes = quiltpix_output(c, &size);
        return Bytes(bytes, bytes + size);
    }
};

Bytes rgbOf(const Picture& p)
{
    Bytes rgb;
    for (const Bgr& px : p.pixels)
        rgb.insert(rgb.end(), {px.r, px.g, px.b});
    return rgb;
}

Bytes mosOf(int width, int height, std::uint64_t seed, const MosLayout& layout = {})
{
    return writeMos(noiseIndexedPicture(width, height, seed), layout);
}

// What the rows callback collects.
struct Rows {
    Bytes rgb;
    int next = 0;
    int stopAt = -1;
};

int collect(void* user, int32_t y, const unsigned char* rgb, int32_t width)
{
    Rows& rows = *static_cast<Rows*>(user);
    if (y != rows.next++ || y == rows.stopAt)
        return 0;
    rows.rgb.insert(rows.rgb.end(), rgb, rgb + 3 * width);
    return 1;
}

struct Written {
    Bytes bytes;
    bool inOrder = true;
    std::uint64_t refuseAfter = ~std::uint64_t{0};
};

int writeAt(void* user, uint64_t offset, const void* bytes, size_t size)
{
    Written& w = *static_cast<Written*>(user);
    if (offset + size > w.refuseAfter)
        return 0;
    w.inOrder = w.inOrder && offset == w.bytes.size();
    const std::size_t at = static_cast<std::size_t>(offset); // the tests' files are small
    if (w.bytes.size() < at + size)
        w.bytes.resize(at + size);
    std::memcpy(w.bytes.data() + at, bytes, size);
    return 1;
}

} // namespace

TEST(Library, VersionIsTheProgramsOwn)
{
    EXPECT_STREQ(quiltpix_version(), QUILTPIX_VERSION);
}

TEST(Library, InspectTellsKindSizeAndTheCheckersReason)
{
    Context ctx;
    quiltpix_info info;
    const Bytes mos = mosOf(130, 70, 1);
    ASSERT_EQ(quiltpix_inspect(ctx.c, mos.data(), mos.size(), &info), QUILTPIX_OK) << quiltpix_message(ctx.c);
    EXPECT_EQ(info.kind, QUILTPIX_KIND_MOS);
    EXPECT_EQ(info.width, 130);
    EXPECT_EQ(info.height, 70);
    EXPECT_EQ(info.tiles, 6u);
    EXPECT_STREQ(quiltpix_message(ctx.c), "");

    // A cut file: the size from its header, and --check's words.
    const Bytes cut(mos.begin(), mos.end() - 10);
    quiltpix::MemoryStream in(cut.data(), cut.size());
    const std::string expected = quiltpix::checkMosStream(in, cut.size()).reason;
    EXPECT_EQ(quiltpix_inspect(ctx.c, cut.data(), cut.size(), &info), QUILTPIX_ERROR_INPUT);
    EXPECT_EQ(quiltpix_message(ctx.c), expected);
    EXPECT_EQ(info.kind, QUILTPIX_KIND_MOS);
    EXPECT_EQ(info.width, 130);

    const Picture picture = noisePicture(65, 3, 2);
    const Bytes bmp = writeBitmapVariant(picture, {}).bytes;
    ASSERT_EQ(quiltpix_inspect(ctx.c, bmp.data(), bmp.size(), &info), QUILTPIX_OK);
    EXPECT_EQ(info.kind, QUILTPIX_KIND_BMP);
    EXPECT_EQ(info.width, 65);
    EXPECT_EQ(info.tiles, 2u);

    const Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(quiltpix_inspect(ctx.c, jpeg.data(), jpeg.size(), &info), QUILTPIX_ERROR_INPUT);
    EXPECT_EQ(info.kind, QUILTPIX_KIND_UNKNOWN);
    EXPECT_NE(std::string(quiltpix_message(ctx.c)).find("JPEG"), std::string::npos) << quiltpix_message(ctx.c);

    EXPECT_EQ(quiltpix_inspect(ctx.c, nullptr, 0, &info), QUILTPIX_ERROR_INPUT);
    EXPECT_EQ(quiltpix_inspect(ctx.c, mos.data(), mos.size(), nullptr), QUILTPIX_ERROR_ARGUMENT);
    EXPECT_EQ(quiltpix_inspect(nullptr, mos.data(), mos.size(), &info), QUILTPIX_ERROR_ARGUMENT);
}

TEST(Library, DecodesIntoABufferAndRowByRowAsTheReferenceReads)
{
    Context ctx;
    MosLayout scrambled;
    scrambled.storeOrder = {1, 0};
    scrambled.gap = 5;
    const Bytes mos = mosOf(100, 70, 3, scrambled);
    const Bytes expected = rgbOf(*referenceDecode(mos));

    // A stride with padding: the padding is left alone.
    const std::size_t stride = 3 * 100 + 7;
    Bytes buffer(stride * 70, 0xAB);
    ASSERT_EQ(quiltpix_mos_to_rgb(ctx.c, mos.data(), mos.size(), buffer.data(), stride), QUILTPIX_OK);
    for (std::size_t y = 0; y < 70; ++y) {
        ASSERT_EQ(0, std::memcmp(buffer.data() + y * stride, expected.data() + y * 300, 300)) << "row " << y;
        EXPECT_EQ(buffer[y * stride + 300], 0xAB);
    }

    Rows rows;
    ASSERT_EQ(quiltpix_mos_to_rows(ctx.c, mos.data(), mos.size(), collect, &rows), QUILTPIX_OK);
    EXPECT_EQ(rows.rgb, expected);

    // A callback that stops the conversion.
    Rows stopped;
    stopped.stopAt = 10;
    EXPECT_EQ(quiltpix_mos_to_rows(ctx.c, mos.data(), mos.size(), collect, &stopped), QUILTPIX_ERROR_OUTPUT);

    // Too small a stride, or a broken file: the buffer is not touched.
    Bytes untouched(3 * 100 * 70, 0x11);
    EXPECT_EQ(quiltpix_mos_to_rgb(ctx.c, mos.data(), mos.size(), untouched.data(), 299), QUILTPIX_ERROR_ARGUMENT);
    EXPECT_STREQ(quiltpix_message(ctx.c), "a stride of 299 bytes is less than the 300 a row of the picture takes");
    const Bytes cut(mos.begin(), mos.end() - 1);
    EXPECT_EQ(quiltpix_mos_to_rgb(ctx.c, cut.data(), cut.size(), untouched.data(), 300), QUILTPIX_ERROR_INPUT);
    EXPECT_EQ(untouched, Bytes(3 * 100 * 70, 0x11));
}

TEST(Library, BitmapAndPngBytesAreTheProgramsOwn)
{
    Context ctx;
    const Bytes mos = mosOf(70, 65, 4);
    std::ostringstream program;
    quiltpix::MemoryStream in(mos.data(), mos.size());
    ASSERT_TRUE(quiltpix::convertMosStream(in, mos.size(), program, nullptr));
    const std::string s = program.str();
    const Bytes bmp(s.begin(), s.end());

    ASSERT_EQ(quiltpix_mos_to_picture(ctx.c, mos.data(), mos.size(), QUILTPIX_FORMAT_BMP, nullptr, nullptr), QUILTPIX_OK);
    EXPECT_EQ(ctx.output(), bmp);

    Written w;
    ASSERT_EQ(quiltpix_mos_to_picture(ctx.c, mos.data(), mos.size(), QUILTPIX_FORMAT_BMP, writeAt, &w), QUILTPIX_OK);
    EXPECT_EQ(w.bytes, bmp);
    EXPECT_TRUE(w.inOrder);

    Written refused;
    refused.refuseAfter = 100;
    EXPECT_EQ(quiltpix_mos_to_picture(ctx.c, mos.data(), mos.size(), QUILTPIX_FORMAT_BMP, writeAt, &refused),
              QUILTPIX_ERROR_OUTPUT);
    EXPECT_STREQ(quiltpix_message(ctx.c), "the bitmap could not be written");

#ifdef QUILTPIX_HAVE_ZLIB
    // The PNG goes back to the same MOS file as the bitmap does.
    ASSERT_EQ(quiltpix_mos_to_picture(ctx.c, mos.data(), mos.size(), QUILTPIX_FORMAT_PNG, nullptr, nullptr), QUILTPIX_OK);
    const Bytes png = ctx.output();
    ASSERT_EQ(quiltpix_picture_to_mos(ctx.c, png.data(), png.size(), nullptr, nullptr, nullptr, nullptr), QUILTPIX_OK);
    const Bytes fromPng = ctx.output();
    ASSERT_EQ(quiltpix_picture_to_mos(ctx.c, bmp.data(), bmp.size(), nullptr, nullptr, nullptr, nullptr), QUILTPIX_OK);
    EXPECT_EQ(ctx.output(), fromPng);
#endif
}

TEST(Library, PixelsGoBackExactlyAndAnOriginalKeepsItsBytes)
{
    Context ctx;
    // A layout of its own: palettes after noise, rows stored out of order.
    MosLayout layout;
    layout.paletteOffset = 40;
    layout.storeOrder = {1, 0};
    layout.noisyOffsets = true;
    const Bytes original = mosOf(90, 100, 5, layout);
    const Picture picture = *referenceDecode(original);
    Bytes rgb = rgbOf(picture);

    quiltpix_summary summary;
    ASSERT_EQ(quiltpix_rgb_to_mos(ctx.c, rgb.data(), 90, 100, 270, nullptr, nullptr, nullptr, &summary), QUILTPIX_OK)
        << quiltpix_message(ctx.c);
    const Bytes fresh = ctx.output();
    EXPECT_EQ(summary.tiles, 4u);
    EXPECT_EQ(summary.exact, 4u);
    EXPECT_EQ(summary.mos_size, fresh.size());
    EXPECT_EQ(firstDifference(picture, *referenceDecode(fresh)), "");
    EXPECT_NE(fresh, original);
    EXPECT_EQ(std::string(quiltpix_summary_line(ctx.c)), "90 x 100 pixels, 4 tiles: 4 exact, 0 quantised");

    // With the original: unedited gives it back byte for byte; one pixel
    // changed rewrites that tile alone.
    quiltpix_mos_options options{};
    options.original = original.data();
    options.original_size = original.size();
    Written w;
    ASSERT_EQ(quiltpix_rgb_to_mos(ctx.c, rgb.data(), 90, 100, 270, &options, writeAt, &w, &summary), QUILTPIX_OK);
    EXPECT_EQ(w.bytes, original);
    EXPECT_EQ(summary.changed, 0u);
    std::copy(rgb.begin() + 3, rgb.begin() + 6, rgb.begin()); // a colour the tile has

    ASSERT_EQ(quiltpix_rgb_to_mos(ctx.c, rgb.data(), 90, 100, 270, &options, nullptr, nullptr, &summary), QUILTPIX_OK);
    EXPECT_EQ(summary.changed, 1u);
    Picture edited = picture;
    edited.at(0, 0) = picture.at(1, 0);
    EXPECT_EQ(firstDifference(edited, *referenceDecode(ctx.output())), "");

    // An original that is not a MOS file, sizes out of range, a short stride.
    const Bytes notMos(100, 0);
    options.original = notMos.data();
    options.original_size = notMos.size();
    EXPECT_EQ(quiltpix_rgb_to_mos(ctx.c, rgb.data(), 90, 100, 270, &options, nullptr, nullptr, nullptr),
              QUILTPIX_ERROR_ORIGINAL);
    EXPECT_STREQ(quiltpix_message(ctx.c), "width 0 is not positive");
    EXPECT_EQ(quiltpix_rgb_to_mos(ctx.c, rgb.data(), 0, 100, 270, nullptr, nullptr, nullptr, nullptr),
              QUILTPIX_ERROR_ARGUMENT);
    EXPECT_STREQ(quiltpix_message(ctx.c), "width 0 is outside 1 to 32767, the sizes a MOS picture holds");
    EXPECT_EQ(quiltpix_rgb_to_mos(ctx.c, rgb.data(), 90, 100, 269, nullptr, nullptr, nullptr, nullptr),
              QUILTPIX_ERROR_ARGUMENT);
    EXPECT_TRUE(ctx.output().empty());

    // A write refused part way.
    Written refused;
    refused.refuseAfter = 2000;
    EXPECT_EQ(quiltpix_rgb_to_mos(ctx.c, rgb.data(), 90, 100, 270, nullptr, writeAt, &refused, nullptr),
              QUILTPIX_ERROR_OUTPUT);
    EXPECT_STREQ(quiltpix_message(ctx.c), "the MOS file could not be written");
}

TEST(Library, ManyColoursAreQuantisedAndDitheringIsAnOption)
{
    Context ctx;
    const Picture photo = photoPicture(64, 64, 6);
    const Bytes rgb = rgbOf(photo);
    quiltpix_summary plain{}, dithered{};
    ASSERT_EQ(quiltpix_rgb_to_mos(ctx.c, rgb.data(), 64, 64, 192, nullptr, nullptr, nullptr, &plain), QUILTPIX_OK);
    const Bytes a = ctx.output();
    quiltpix_mos_options options{};
    options.dither = 1;
    ASSERT_EQ(quiltpix_rgb_to_mos(ctx.c, rgb.data(), 64, 64, 192, &options, nullptr, nullptr, &dithered), QUILTPIX_OK);
    EXPECT_EQ(plain.quantised, 1u);
    EXPECT_GT(plain.psnr_mean, 30.0);
    EXPECT_EQ(plain.psnr_mean, plain.psnr_worst);
    EXPECT_NE(ctx.output(), a);
}

TEST(Library, SeparateContextsConvertOnSeparateThreads)
{
    const Bytes mos = mosOf(300, 200, 7);
    const Bytes expected = rgbOf(*referenceDecode(mos));
    bool same[4] = {};
    std::vector<std::thread> threads;
    for (bool& result : same)
        threads.emplace_back([&mos, &expected, &result] {
            Context ctx;
            Bytes rgb(expected.size());
            bool ok = true;
            for (int k = 0; k < 5 && ok; ++k) {
                ok = quiltpix_mos_to_rgb(ctx.c, mos.data(), mos.size(), rgb.data(), 900) == QUILTPIX_OK && rgb == expected;
                ok = ok && quiltpix_rgb_to_mos(ctx.c, rgb.data(), 300, 200, 900, nullptr, nullptr, nullptr, nullptr) == QUILTPIX_OK;
            }
            result = ok;
        });
    for (std::thread& t : threads)
        t.join();
    for (bool result : same)
        EXPECT_TRUE(result);
}
