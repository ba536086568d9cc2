#include "picture_reader.h"

#include "bitmap_reader.h"
#include "file_range.h"
#include "png_reader.h"

#include <algorithm>
#include <exception>
#include <vector>

namespace quiltpix {

std::string sizeProblem(std::int64_t width, std::int64_t height)
{
    const auto outside = [](const char* side, std::int64_t v) {
        return std::string(side) + " " + std::to_string(v) + " is outside 1 to 32767, the sizes a MOS picture holds";
    };
    if (width < 1 || width > largestSide)
        return outside("width", width);
    if (height < 1 || height > largestSide)
        return outside("height", height);
    return "";
}

bool looksLikePicture(const unsigned char* bytes, std::size_t length)
{
    return looksLikeBitmap(bytes, length) || looksLikePng(bytes, length);
}

std::unique_ptr<PictureReader> pictureReader(std::istream& in, std::uint64_t size)
{
    unsigned char head[8] = {};
    const std::size_t have = static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof head));
    if (readAt(in, 0, head, have) && looksLikePng(head, have))
        return std::make_unique<PngReader>(in, size);
    return std::make_unique<BitmapReader>(in, size);
}

PictureCheck checkPictureStream(std::istream& in, std::uint64_t size)
{
    PictureCheck check;
    try {
        const std::unique_ptr<PictureReader> reader = pictureReader(in, size);
        check.reason = reader->open();
        check.format = reader->picture();
        if (check.reason.empty()) {
            const PictureFormat& f = check.format;
            const std::size_t stride = 3 * static_cast<std::size_t>(f.width);
            std::vector<unsigned char> rows(stride * 64);
            for (int done = 0; done < f.height && check.reason.empty(); done += 64)
                check.reason = reader->readRows(rows.data(), static_cast<std::ptrdiff_t>(stride), std::min(64, f.height - done));
        }
    } catch (const std::exception&) {
        check.reason = "out of memory";
    }
    check.whole = check.reason.empty();
    return check;
}

} // namespace quiltpix
