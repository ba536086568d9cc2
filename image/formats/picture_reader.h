// The readers that feed the way back, whatever the format: each hands the
// picture over as rows of blue, green, red pixels, in the order its file
// stores them, having checked every size and offset against the file first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>

namespace quiltpix {

// What a picture's headers say, once judged readable.
struct PictureFormat {
    int width = 0;
    int height = 0;
    bool topDown = false; // the top row is stored first
    bool onePalette = false; // one palette for the whole picture (8 bits or less)
    std::string description; // "24 bits per pixel, uncompressed, bottom-up", for --check
};

class PictureReader {
public:
    virtual ~PictureReader() = default;
    // Reads and judges the headers: "" when the pixels can be read, the
    // reason otherwise.
    virtual std::string open() = 0;
    // Reads and judges the first header alone, enough for picture()'s size
    // and kind: "" or why not. Cheaper than open(), which reads on to where
    // the pixels start; either may be called first, not both.
    virtual std::string readHeader() = 0;
    virtual PictureFormat picture() const = 0;
    // The next `count` stored rows as blue, green, red triples, row k at
    // bgr + k x step. "" or why the rows cannot be read.
    virtual std::string readRows(unsigned char* bgr, std::ptrdiff_t step, int count) = 0;
    // Pixels read so far that were not fully opaque.
    virtual std::uint64_t translucent() const = 0;
};

// The largest side a MOS file holds: its sizes are signed 16-bit.
constexpr std::int64_t largestSide = 32767;

// Whether a MOS picture can hold this size: "" or "width 0 is outside 1 to
// 32767, the sizes a MOS picture holds". Every reader asks it.
std::string sizeProblem(std::int64_t width, std::int64_t height);

// Whether these first bytes begin a picture that goes the way back: a
// bitmap ("BM") or a PNG (its signature).
bool looksLikePicture(const unsigned char* bytes, std::size_t length);

// The reader for the picture in `in`, by its first bytes; a bitmap's when
// they are neither (it then refuses the file, naming what it is not).
std::unique_ptr<PictureReader> pictureReader(std::istream& in, std::uint64_t size);

// Whether a picture would convert: every pixel read, nothing written.
struct PictureCheck {
    bool whole = false;
    std::string reason;
    PictureFormat format;
};
PictureCheck checkPictureStream(std::istream& in, std::uint64_t size);

} // namespace quiltpix
