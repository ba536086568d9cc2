#include "conversions.h"
#include "properties.h"

#include "byte_order.h"
#include "picture_reader.h"
#include "png_reader.h"
#include "picture.h"
#include "to_bitmap.h"
#include "to_mos.h"

#include "quiltpix.h"

#include <algorithm>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#ifdef QUILTPIX_HAVE_ZLIB
#include <zlib.h>
#endif

using namespace quiltpix::testkit;

namespace {

[[noreturn]] void disagree(const char* what)
{
    std::fprintf(stderr, "fuzz: %s\n", what);
    std::abort();
}

// Like the harnesses of other decoders, pictures over a megapixel are left
// alone: a few bytes of RLE can describe a billion undrawn pixels, which
// take honest time but find nothing new.
constexpr std::uint64_t mostPixels = 1 << 20;
// The reader's own target, to run at the reader's speed, reads the pixels
// of smaller pictures only: every header and table is still judged, and how
// a row is bounded does not depend on the picture's size.
constexpr std::uint64_t mostPixelsRead = 1 << 12;

#ifdef QUILTPIX_HAVE_ZLIB
// Mutations almost always break a PNG chunk's CRC, and the reader stops at
// the first; so the harness sets every CRC right again before the reader
// sees the file, and the mutations reach what lies behind the check.
std::string withRightCrcs(std::string bytes)
{
    if (bytes.size() < 8 || !quiltpix::looksLikePng(reinterpret_cast<const unsigned char*>(bytes.data()), 8))
        return bytes;
    auto* p = reinterpret_cast<unsigned char*>(&bytes[0]);
    for (std::size_t at = 8; at + 12 <= bytes.size();) {
        const std::uint64_t length = quiltpix::readU32be(p + at);
        if (length > bytes.size() - at - 12)
            break;
        const std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, p + at + 4, static_cast<uInt>(length + 4)));
        quiltpix::putU32be(p + at + 8 + length, crc);
        at += 12 + static_cast<std::size_t>(length);
    }
    return bytes;
}
#else
std::string withRightCrcs(std::string bytes)
{
    return bytes;
}
#endif

} // namespace

void fuzzWayBack(const std::uint8_t* data, std::size_t length)
{
    if (!quiltpix::looksLikePicture(data, length))
        return;
    const std::string bytes = withRightCrcs(std::string(reinterpret_cast<const char*>(data), length));
    const std::uint64_t size = bytes.size();
    {
        std::istringstream in(bytes);
        const std::unique_ptr<quiltpix::PictureReader> reader = quiltpix::pictureReader(in, size);
        if (reader->open().empty() &&
            static_cast<std::uint64_t>(reader->picture().width) * static_cast<std::uint64_t>(reader->picture().height) > mostPixels)
            return;
    }
    std::istringstream in(bytes);
    quiltpix::MemorySink sink;
    quiltpix::MosSummary summary;
    const std::string why = quiltpix::convertToMos(in, size, sink, {}, summary).reason;
    std::istringstream again(bytes);
    const quiltpix::PictureCheck check = quiltpix::checkPictureStream(again, size);
    if (check.whole != why.empty() || (!why.empty() && check.reason != why))
        disagree("the check and the way back disagree");
    if (!why.empty())
        return;
    const auto written = referenceDecode(sink.bytes);
    if (!written)
        disagree("the way back wrote a MOS file that is not whole");
    if (summary.quantised > 0)
        return;
    // The pixels as the reader reads them, top row first.
    std::istringstream third(bytes);
    const std::unique_ptr<quiltpix::PictureReader> readAgain = quiltpix::pictureReader(third, size);
    quiltpix::PictureReader& reader = *readAgain;
    reader.open();
    const quiltpix::PictureFormat f = reader.picture();
    Picture read{f.width, f.height, std::vector<Bgr>(static_cast<std::size_t>(f.width) * static_cast<std::size_t>(f.height))};
    const std::ptrdiff_t step = static_cast<std::ptrdiff_t>(3 * static_cast<std::size_t>(f.width));
    unsigned char* top = &read.pixels.front().b;
    const std::string rows = f.topDown ? reader.readRows(top, step, f.height)
                                       : reader.readRows(top + (f.height - 1) * step, -step, f.height);
    if (!rows.empty())
        disagree("the bitmap reads differently a second time");
    if (!firstDifference(read, *written).empty())
        disagree("the way back lost a pixel of a tile it called exact");
}

void fuzzPictureReader(const std::uint8_t* data, std::size_t length)
{
    const std::string bytes = withRightCrcs(std::string(reinterpret_cast<const char*>(data), length));
    const std::uint64_t size = bytes.size();
    std::istringstream in(bytes);
    const std::unique_ptr<quiltpix::PictureReader> picture = quiltpix::pictureReader(in, size);
    quiltpix::PictureReader& reader = *picture;
    std::string why = reader.open();
    const quiltpix::PictureFormat f = reader.picture();
    if (why.empty() && static_cast<std::uint64_t>(f.width) * static_cast<std::uint64_t>(f.height) > mostPixelsRead)
        return;
    // A tile row at a time, in the order the file stores them, as the way
    // back reads them.
    if (why.empty()) {
        std::vector<unsigned char> strip(3 * static_cast<std::size_t>(f.width) * 64);
        for (int done = 0; done < f.height && why.empty(); done += 64) {
            const int rows = std::min(64, f.height - done);
            why = reader.readRows(strip.data(), static_cast<std::ptrdiff_t>(3 * static_cast<std::size_t>(f.width)), rows);
        }
    }
    std::istringstream again(bytes);
    const quiltpix::PictureCheck check = quiltpix::checkPictureStream(again, size);
    if (check.whole != why.empty() || check.reason != why)
        disagree("the check and the reader disagree");
}

void fuzzMos(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::istringstream in(bytes);
    std::ostringstream out;
    const bool converted = quiltpix::convertMosStream(in, size, out, nullptr);

    std::istringstream again(bytes);
    if (quiltpix::checkMosStream(again, size).whole != converted)
        disagree(converted ? "the check refuses a file that converts" : "the check passes a file that does not convert");

    const auto expected = referenceDecode(Bytes(data, data + size));
    if (converted != expected.has_value())
        disagree(converted ? "converted a file that is not whole" : "refused a whole file");
    const std::string written = out.str();
    if (!converted) {
        if (!written.empty())
            disagree("failed but wrote bytes");
        return;
    }
    const auto actual = readBitmap(Bytes(written.begin(), written.end()));
    if (!actual)
        disagree("wrote a malformed bitmap");
    if (!firstDifference(*expected, *actual).empty())
        disagree("wrote the wrong picture");
}

namespace {

struct LibraryContext {
    quiltpix_context* c = quiltpix_context_new();
    ~LibraryContext() { quiltpix_context_free(c); }
    std::string message() const { return quiltpix_message(c); }
    Bytes output() const
    {
        std::size_t n = 0;
        const unsigned char* p = quiltpix_output(c, &n);
        return Bytes(p, p + n);
    }
};

int collectRow(void* user, std::int32_t, const unsigned char* rgb, std::int32_t width)
{
    Bytes& rows = *static_cast<Bytes*>(user);
    rows.insert(rows.end(), rgb, rgb + 3 * static_cast<std::size_t>(width));
    return 1;
}

} // namespace

void fuzzLibrary(const std::uint8_t* data, std::size_t size)
{
    // Exactly the input's bytes, so that a read past them is caught.
    const std::unique_ptr<unsigned char[]> input(new unsigned char[size ? size : 1]);
    std::copy(data, data + size, input.get());
    const unsigned char* bytes = input.get();
    // Inspecting a picture reads every pixel: large ones are left alone, as
    // in the way back's own target.
    if (quiltpix::looksLikePicture(bytes, size)) {
        std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
        const auto reader = quiltpix::pictureReader(in, size);
        if (reader->readHeader().empty() &&
            static_cast<std::uint64_t>(reader->picture().width) * static_cast<std::uint64_t>(reader->picture().height) > mostPixels)
            return;
    }
    LibraryContext ctx;
    if (!ctx.c)
        disagree("no context");
    quiltpix_info info{};
    const quiltpix_status status = quiltpix_inspect(ctx.c, bytes, size, &info);
    const std::string reason = ctx.message();
    if ((status == QUILTPIX_OK) != reason.empty())
        disagree("inspect's status and message disagree");
    const std::uint64_t pixels = static_cast<std::uint64_t>(info.width) * static_cast<std::uint64_t>(info.height);

    if (info.kind == QUILTPIX_KIND_BMP || info.kind == QUILTPIX_KIND_PNG) {
        if (status == QUILTPIX_OK && pixels > mostPixels)
            return;
        quiltpix_summary summary{};
        const quiltpix_status back = quiltpix_picture_to_mos(ctx.c, bytes, size, nullptr, nullptr, nullptr, &summary);
        if (status != QUILTPIX_OK) {
            if (back == QUILTPIX_OK || ctx.message() != reason)
                disagree("the way back fails otherwise than inspect says");
            return;
        }
        if (back != QUILTPIX_OK)
            disagree("a picture that inspects whole does not go back");
        const Bytes mos = ctx.output();
        quiltpix_info made{};
        if (quiltpix_inspect(ctx.c, mos.data(), mos.size(), &made) != QUILTPIX_OK || made.kind != QUILTPIX_KIND_MOS ||
            made.width != info.width || made.height != info.height || summary.mos_size != mos.size())
            disagree("the MOS file written is not whole, or not the picture's size");
        return;
    }

    if (status != QUILTPIX_OK || info.kind != QUILTPIX_KIND_MOS) {
        Bytes rgb(3);
        if (quiltpix_mos_to_rows(ctx.c, bytes, size, collectRow, &rgb) == QUILTPIX_OK || ctx.message() != reason)
            disagree("decoding fails otherwise than inspect says");
        if (rgb.size() != 3)
            disagree("a file that does not convert handed over rows");
        return;
    }
    if (pixels > mostPixels)
        return;
    const auto expected = referenceDecode(Bytes(data, data + size));
    if (!expected)
        disagree("inspect passes a file that is not whole");
    Bytes reference;
    for (const Bgr& p : expected->pixels)
        reference.insert(reference.end(), {p.r, p.g, p.b});
    const std::size_t stride = 3 * static_cast<std::size_t>(info.width);
    Bytes rgb(stride * static_cast<std::size_t>(info.height));
    if (quiltpix_mos_to_rgb(ctx.c, bytes, size, rgb.data(), stride) != QUILTPIX_OK || rgb != reference)
        disagree("decoded the wrong picture into a buffer");
    Bytes rows;
    if (quiltpix_mos_to_rows(ctx.c, bytes, size, collectRow, &rows) != QUILTPIX_OK || rows != reference)
        disagree("decoded the wrong picture row by row");
    if (quiltpix_mos_to_picture(ctx.c, bytes, size, QUILTPIX_FORMAT_BMP, nullptr, nullptr) != QUILTPIX_OK)
        disagree("no bitmap from a whole file");
    const auto bitmap = readBitmap(ctx.output());
    if (!bitmap || !firstDifference(*expected, *bitmap).empty())
        disagree("wrote the wrong bitmap");

    quiltpix_mos_options options{};
    options.original = bytes;
    options.original_size = size;
    quiltpix_summary summary{};
    if (quiltpix_rgb_to_mos(ctx.c, rgb.data(), info.width, info.height, stride, &options, nullptr, nullptr, &summary) !=
        QUILTPIX_OK)
        disagree("an unedited picture does not go back over its original");
    const auto back = referenceDecode(ctx.output());
    if (!back || !firstDifference(*expected, *back).empty() || summary.changed != 0)
        disagree("an unedited picture lost pixels going back over its original");
}
