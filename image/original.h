// The MOS file a picture came from, on the way back: what of it is kept.
// Its regions' layout (whether one tile's bytes can be rewritten alone),
// the copy of what its reading depends on, and a changed tile painted with
// the tile's old palette.
#pragma once

#include "byte_sink.h"
#include "mos_reading.h"

#include <cstdint>
#include <functional>
#include <istream>
#include <string>
#include <utility>
#include <vector>

namespace quiltpix {

// The MOS file a picture came from, judged whole before a pixel of the
// picture is read: its bytes, where they hold data, and its reading plan.
struct Original {
    std::istream* stream = nullptr;
    std::uint64_t size = 0;
    // Where the file holds data, as InputFile::nextData says; without it,
    // every byte is data. Holes are left holes in the output.
    std::function<bool(std::uint64_t from, std::uint64_t& start, std::uint64_t& end)> data;
    MosPlan plan;
};

// Reads and judges the original's tables: "" when it is a whole MOS file
// (then `original.plan` says how to read it), else why not.
std::string judgeOriginal(std::istream& in, std::uint64_t size, Original& original);

// Bytes an original may hold after the last one its reading depends on that
// are kept in the output; the rest are dropped (MosSummary::droppedTail).
constexpr std::uint64_t keptAfterPicture = 1 << 20;

// Whether the regions a MOS file's reading depends on are pairwise apart:
// only then can one tile's bytes be rewritten without changing another's.
bool regionsApart(const MosPlan& plan);

// Copies the original into `out` as it reads: every region its reading
// depends on, and the bytes between and just after them, so that an
// unedited picture gives it back byte for byte. Its holes stay holes, and
// what lies more than keptAfterPicture past the picture is dropped, its
// length in `dropped`. "" or why not: unreadable (then `originalFault`) or
// mosWriteFailed.
std::string copyOriginal(const Original& original, ByteSink& out, std::uint64_t& dropped, bool& originalFault);

// Gives every pixel of a tile whose colour its old palette entry no longer
// has an index of that palette that has it, keeping the index bytes of the
// pixels that kept their colour. False, touching nothing, if some colour is
// not in the palette. `colours` holds the tile's pixels (packColour).
class Repainter {
public:
    bool repaint(const unsigned char* palette, const std::uint32_t* colours, unsigned char* indices, std::size_t pixels);

private:
    std::vector<std::pair<std::uint32_t, unsigned char>> byColour_;
    std::vector<unsigned char> indices_;
};

} // namespace quiltpix
