// Digests of a picture's pixels, tile by tile: what tells whether a picture
// is still the one a run wrote, whatever file format holds it and whatever
// order its rows are stored in. A re-save by an editor keeps the digests; a
// changed pixel changes its tile's.
#pragma once

#include "mos.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quiltpix {

// A hash of one pixel row of one tile, seeded by where it stands. Not a
// defence against anyone choosing pixels to collide: only the user's own
// files are compared with the user's own record.
std::uint64_t tileRowDigest(int y, int column, const unsigned char* bgr, std::size_t bytes);

// The digest of every tile of a picture, built from its rows in any order:
// a tile's digest is the sum of its rows' hashes, so a bitmap's bottom-up
// rows and a PNG's top-down ones give the same.
class TileDigests {
public:
    void begin(int width, int height);
    // Pixel row y (0 at the top): width pixels of blue, green, red.
    void row(int y, const unsigned char* bgr);
    // Adds a tile's row without the rest of its picture row.
    void tileRow(int y, int column, const unsigned char* bgr, int pixels);

    int width() const { return width_; }
    int height() const { return height_; }
    int columns() const { return columns_; }
    const std::vector<std::uint64_t>& tiles() const { return tiles_; }
    std::vector<std::uint64_t>& tiles() { return tiles_; }
    // The whole picture: its size and every tile's digest.
    std::uint64_t picture() const;

private:
    int width_ = 0, height_ = 0, columns_ = 0;
    std::vector<std::uint64_t> tiles_;
};

std::uint64_t pictureDigest(int width, int height, const std::vector<std::uint64_t>& tiles);

} // namespace quiltpix

#include "row_writer.h"

#include <istream>
#include <string>

namespace quiltpix {

// Hands the rows on to another writer (or to none) and digests them on the
// way.
class DigestingWriter : public RowWriter {
public:
    explicit DigestingWriter(RowWriter* next, bool bottomUp = false) : next_(next), bottomUp_(next ? next->bottomUp() : bottomUp) {}
    bool bottomUp() const override { return bottomUp_; }
    bool begin(int width, int height) override;
    bool rows(const unsigned char* bgr, std::size_t stride, int count) override;
    bool finish() override;
    const TileDigests& digests() const { return digests_; }

private:
    RowWriter* next_;
    bool bottomUp_;
    int nextRow_ = 0;
    TileDigests digests_;
};

// The digests of the picture a file holds (a MOS file, a bitmap or a PNG,
// by its first bytes): "" and `out` filled, or why it cannot be read.
std::string digestPicture(std::istream& in, std::uint64_t size, TileDigests& out);

} // namespace quiltpix
