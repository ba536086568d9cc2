// The MOS file a picture came from, on the way back: what of it is kept.
// Its regions' layout (whether one tile's bytes can be rewritten alone),
// the copy of what its reading depends on, and a changed tile painted with
// the tile's old palette.
#pragma once

#include "mos_reading.h"
#include "to_mos.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quiltpix {

// Whether the regions a MOS file's reading depends on are pairwise apart:
// only then can one tile's bytes be rewritten without changing another's.
bool regionsApart(const MosPlan& plan);

// Copies the original into `out` as it reads: every region its reading
// depends on, and the bytes between and just after them, so that an
// unedited picture gives it back byte for byte. Its holes stay holes
// (options.likeData), and what lies more than keptAfterPicture past the
// picture is dropped, its length in `dropped`. "" or why not: unreadable
// (then `originalFault`) or mosWriteFailed.
std::string copyOriginal(const MosPlan& plan, const MosOptions& options, ByteSink& out, std::uint64_t& dropped,
                         bool& originalFault);

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
