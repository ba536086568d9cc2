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
    virtual PictureFormat picture() const = 0;
    // The next `count` stored rows as blue, green, red triples, row k at
    // bgr + k x step. "" or why the rows cannot be read.
    virtual std::string readRows(unsigned char* bgr, std::ptrdiff_t step, int count) = 0;
    // Pixels read so far that were not fully opaque.
    virtual std::uint64_t translucent() const = 0;
};

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
