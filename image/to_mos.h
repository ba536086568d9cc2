// The way back: a bitmap becomes a MOS file again.
//
// Every position of the MOS file follows from the picture's size, so the
// file is written as the bitmap is read, one tile row at a time, each piece
// at its place: the header and the offset table first, then each tile row's
// palettes and index bytes, in whatever order the bitmap stores its rows.
// The file written has the palettes right after the header, every tile's
// own offset in the table, and the tile data in tile order.
#pragma once

#include "digest.h"
#include "picture_reader.h"
#include "mos.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <string>
#include <vector>

namespace quiltpix {

// Where the MOS file goes: positioned writes.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    // False once a write has failed.
    virtual bool writeAt(std::uint64_t pos, const unsigned char* data, std::size_t n) = 0;
};

// A file in memory, for tests and the fuzzer.
class MemorySink : public ByteSink {
public:
    std::vector<unsigned char> bytes;
    bool writeAt(std::uint64_t pos, const unsigned char* data, std::size_t n) override;
};

struct MosOptions {
    bool dither = false;
    // The MOS file the bitmap came from, to keep its palettes, index bytes
    // and layout where the picture still agrees with it.
    std::istream* like = nullptr;
    std::uint64_t likeSize = 0;
    // Where the original holds data, as InputFile::nextData says; without
    // it, every byte is data. Holes are left holes in the output.
    std::function<bool(std::uint64_t from, std::uint64_t& start, std::uint64_t& end)> likeData;
    // Told after each tile row; a bitmap read twice counts its rows twice.
    RowProgress progress;
    // With an original of the picture's size, what the record says of the
    // picture's extraction: each tile of the picture as extracted, and of
    // the original then. A tile still as extracted keeps the original's
    // current bytes, even where the original changed since; an edited tile
    // is taken; one changed on both sides is a conflict (MosSummary::
    // conflicts), which keeps the original's tile unless `takeConflicts`.
    // Without them, a tile is taken wherever it differs from the original.
    const std::vector<std::uint64_t>* extracted = nullptr;
    const std::vector<std::uint64_t>* originalThen = nullptr;
    bool takeConflicts = false;
};

// Bytes an original may hold after the last one its reading depends on that
// are kept in the output; the rest are dropped (MosSummary::droppedTail).
constexpr std::uint64_t keptAfterPicture = 1 << 20;

struct MosSummary {
    PictureFormat format;
    std::uint64_t tiles = 0;
    std::uint64_t exact = 0;     // tiles whose every pixel kept its colour
    std::uint64_t quantised = 0; // tiles given 256 colours of their own
    std::uint64_t changed = 0;   // with an original: tiles taken from the picture that differ from it
    std::uint64_t newerInOriginal = 0; // tiles changed in the original since the extraction, kept
    std::vector<std::uint64_t> conflicts; // tiles changed on both sides, by index (row by row)
    bool comparedWithOriginal = false;
    double psnrSum = 0;          // over the quantised tiles
    double psnrWorst = 0;
    std::uint64_t translucent = 0; // pixels whose transparency was dropped
    // With an original whose layout could not be kept: why ("" otherwise).
    std::string freshLayoutReason;
    // With an original kept: how many of its bytes after keptAfterPicture
    // past the picture's last byte were not copied.
    std::uint64_t droppedTail = 0;
    // The digests of the picture read and of the MOS file written, tile by
    // tile (see digest.h).
    TileDigests input;
    std::vector<std::uint64_t> output;

    // "640 x 480 pixels, 80 tiles: 72 kept exactly, 8 quantised (PSNR mean
    // 45.21 dB, worst 38.02 dB)"
    std::string line() const;
};

// Writes the MOS file for the picture (a bitmap or a PNG) in `in`. "" on success; otherwise why
// not, and then `likeFault` tells whether the original (not the bitmap) is
// at fault, or the reason is mosWriteFailed when writing failed.
std::string convertToMos(std::istream& in, std::uint64_t size, ByteSink& out, const MosOptions& options,
                         MosSummary& summary, bool* likeFault = nullptr);

// The size of the MOS file a fresh layout of the bitmap in `in` makes, from
// its headers alone; 0 when they cannot be read (the conversion says why).
std::uint64_t mosSizeFor(std::istream& in, std::uint64_t size);

// What the picture's headers say; a width of 0 when they cannot be read
// (the conversion says why).
PictureFormat pictureFormatOf(std::istream& in, std::uint64_t size);

extern const char* const mosWriteFailed;
// The bitmap was read twice and was not the same picture the second time.
extern const char* const changedWhileRead;

} // namespace quiltpix
