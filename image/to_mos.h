// The way back: a bitmap becomes a MOS file again.
//
// Every position of the MOS file follows from the picture's size, so the
// file is written as the bitmap is read, one tile row at a time, each piece
// at its place: the header and the offset table first, then each tile row's
// palettes and index bytes, in whatever order the bitmap stores its rows.
// The file written has the palettes right after the header, every tile's
// own offset in the table, and the tile data in tile order.
#pragma once

#include "byte_sink.h"
#include "digest.h"
#include "original.h"
#include "picture_reader.h"
#include "mos.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <vector>

namespace quiltpix {

struct MosOptions {
    bool dither = false;
    // The MOS file the picture came from, judged whole, to keep its
    // palettes, index bytes and layout where the picture still agrees.
    const Original* original = nullptr;
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

    // "640 x 480 pixels, 80 tiles: 72 exact, 8 quantised (PSNR mean
    // 45.21 dB, worst 38.02 dB)"
    std::string line() const;
    // The same in short, for a line of its own: "3 of 40 tiles changed: 1
    // exact, 2 quantised, worst 41.90 dB" (with an original), or "40 tiles:
    // 38 exact, 2 quantised, worst 41.90 dB".
    std::string shortLine() const;
};

// Who a failed conversion is to blame on: the picture read, the original,
// or the output (a write that failed: mosWriteFailed).
enum class Blame { none, input, original, output };
struct Failure {
    Blame blame = Blame::none;
    std::string reason; // "" when nothing failed
    bool failed() const { return !reason.empty(); }
};

// Writes the MOS file for the picture (a bitmap or a PNG) in `in`; nothing
// is thrown.
Failure convertToMos(std::istream& in, std::uint64_t size, ByteSink& out, const MosOptions& options,
                     MosSummary& summary);

// The same from any source of pictures: a new reader of the same picture
// each time it is called (a picture may be read twice).
using PictureSource = std::function<std::unique_ptr<PictureReader>()>;
Failure convertToMos(const PictureSource& source, ByteSink& out, const MosOptions& options, MosSummary& summary);

// The size of the MOS file a fresh layout of the bitmap in `in` makes, from
// its headers alone; 0 when they cannot be read (the conversion says why).
std::uint64_t mosSizeFor(std::istream& in, std::uint64_t size);

// What the picture's headers say; a width of 0 when they cannot be read
// (the conversion says why).
PictureFormat pictureFormatOf(std::istream& in, std::uint64_t size);

// The bitmap was read twice and was not the same picture the second time.
extern const char* const changedWhileRead;

} // namespace quiltpix
