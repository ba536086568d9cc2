#include "to_bitmap.h"

#include "byte_order.h"
#include "file_range.h"
#include "lookup.h"
#include "mos.h"
#include "mos_reading.h"
#include "work_memory.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <vector>

namespace quiltpix {
namespace {

// Bitmap rows are built and handed to the output in chunks of about 128 KiB,
// small enough to stay in cache between being built and being written. The
// rows are built tile by tile, and each tile's palette is fetched once per
// chunk (see buildRows), so a chunk of a wide picture takes up to 32 rows,
// as long as that stays within 1 MiB: in a fresh process every page of a
// buffer costs a page fault, which a one-tile-row picture cannot amortise.
constexpr std::uint64_t outputChunkBytes = 128 * 1024;
constexpr std::uint64_t wideChunkRows = 32;
constexpr std::uint64_t wideChunkBytes = 1024 * 1024;

// Builds `count` rows, rowSize bytes apart in dst, from pixel rows yFirst,
// yFirst + step, ... (counted from the top; step -1 for a bitmap, which runs
// bottom-up) of one tile row. run holds the tile row's index bytes as stored:
// tile after tile, each tile's rows top to bottom, so tile c starts at
// 64 x c x h and its row y is y x its width further on.
//
// It goes tile by tile, not row by row: one tile's 1 KiB palette then stays in
// the nearest cache (or in registers) for all the rows, where a whole row
// would pull in every palette of the tile row (256 KiB for a 16384-wide
// picture) each time.
void buildRows(LookupKernel lookUp, const MosHeader& header, const unsigned char* run, const unsigned char* palettes,
               int h, int yFirst, int step, int count, std::size_t rowSize, unsigned char* dst)
{
    for (int c = 0; c < header.columns; ++c) {
        const std::size_t column = static_cast<std::size_t>(c);
        const std::size_t width = static_cast<std::size_t>(tileWidth(header, c));
        const unsigned char* tile = run + static_cast<std::size_t>(tileInRun(c, h));
        lookUp(palettes + paletteBytes * column, tile + static_cast<std::size_t>(yFirst) * width,
               step * static_cast<std::ptrdiff_t>(width), width, static_cast<std::size_t>(count),
               dst + 3 * static_cast<std::size_t>(tileSize) * column, rowSize);
    }
    const std::size_t used = 3 * static_cast<std::size_t>(header.width);
    if (used < rowSize)
        for (int k = 0; k < count; ++k)
            std::memset(dst + static_cast<std::size_t>(k) * rowSize + used, 0, rowSize - used);
}

// Converts, or says why not: "" on success.
std::string convert(std::istream& in, std::uint64_t inputSize, RowWriter& out, std::ostream* progress,
                    const RowProgress& onRow)
{
    MosPlan plan;
    std::string why = readMosTables(in, inputSize, plan);
    if (!why.empty())
        return why;
    const MosHeader& header = plan.header;
    const std::uint64_t width = static_cast<std::uint64_t>(header.width);
    const std::vector<std::uint64_t>& runStart = plan.runStart;
    if (progress)
        *progress << tileDataBase(header) << std::endl;
    // The tile data base is reported once the offset table is read; then every
    // run is checked, all of them before anything is written.
    why = checkMosRuns(plan, inputSize);
    if (!why.empty())
        return why;

    if (!out.begin(header.width, header.height))
        return writeFailed;

    // Buffers no larger than the picture needs: a small picture takes little.
    const std::uint64_t rowSize = bitmapRowSize(header.width);
    const std::uint64_t height = static_cast<std::uint64_t>(header.height);
    const std::uint64_t chunkRows =
        std::min(height, std::max({std::uint64_t{1}, outputChunkBytes / rowSize,
                                   std::min(wideChunkRows, wideChunkBytes / rowSize)}));
    // The palette block, the index run and the output chunk share one block
    // of memory, each part starting on a cache line.
    const std::size_t paletteBlockBytes = paletteBytes * static_cast<std::size_t>(header.columns);
    const std::size_t runBytes = static_cast<std::size_t>(width * std::min<std::uint64_t>(height, tileSize));
    const std::size_t runAt = paletteBlockBytes; // a multiple of 1024
    const std::size_t chunkAt = runAt + (runBytes + 63) / 64 * 64;
    WorkMemory memory(chunkAt + static_cast<std::size_t>(chunkRows * rowSize));
    unsigned char* const palettes = memory.data();
    unsigned char* const run = memory.data() + runAt;
    unsigned char* const chunk = memory.data() + chunkAt;
    const LookupKernel lookUp = lookupKernel();
    std::uint64_t rowsInChunk = 0;

    // A bitmap runs bottom-up: the bottom tile row first, and in each tile
    // row its bottom pixel row first. Other formats run top-down.
    const bool bottomUp = out.bottomUp();
    const bool rgb = out.rgb();
    const int step = bottomUp ? -1 : 1;
    for (int k = 0; k < header.rows; ++k) {
        const int r = bottomUp ? header.rows - 1 - k : k;
        const int h = tileHeight(header, r);
        const std::uint64_t paletteRow = paletteRowPosition(header, r);
        if (!readAt(in, paletteRow, palettes, paletteBlockBytes) ||
            !readAt(in, runStart[static_cast<std::size_t>(r)], run, width * static_cast<std::uint64_t>(h)))
            return unreadable;
        if (rgb)
            for (std::size_t e = 0; e < paletteBlockBytes; e += 4)
                std::swap(palettes[e], palettes[e + 2]);
        // Fill the chunk in bands and hand it on whenever it is full.
        for (int done = 0; done < h;) {
            const int y = bottomUp ? h - 1 - done : done;
            const int count = static_cast<int>(std::min<std::uint64_t>(static_cast<std::uint64_t>(h - done), chunkRows - rowsInChunk));
            buildRows(lookUp, header, run, palettes, h, y, step, count, static_cast<std::size_t>(rowSize),
                      chunk + rowsInChunk * rowSize);
            done += count;
            rowsInChunk += static_cast<std::uint64_t>(count);
            if (rowsInChunk == chunkRows) {
                if (!out.rows(chunk, static_cast<std::size_t>(rowSize), static_cast<int>(chunkRows)))
                    return writeFailed;
                rowsInChunk = 0;
            }
        }
        if (onRow)
            onRow(k + 1, header.rows,
                  width * (bottomUp ? height - static_cast<std::uint64_t>(tileSize) * static_cast<std::uint64_t>(r)
                                    : std::min(height, static_cast<std::uint64_t>(tileSize) * static_cast<std::uint64_t>(r + 1))));
    }
    if ((rowsInChunk > 0 && !out.rows(chunk, static_cast<std::size_t>(rowSize), static_cast<int>(rowsInChunk))) ||
        !out.finish())
        return writeFailed;
    if (progress)
        *progress << "Done" << std::endl;
    return "";
}

} // namespace

namespace {

bool report(const std::string& why, std::string* reason)
{
    if (reason)
        *reason = why;
    return why.empty();
}

} // namespace

const char* const writeFailed = "the bitmap could not be written";

bool convertMos(std::istream& in, std::uint64_t inputSize, RowWriter& out, std::ostream* progress,
                std::string* reason, const RowProgress& onRow)
{
    try {
        return report(convert(in, inputSize, out, progress, onRow), reason);
    } catch (const std::bad_alloc&) {
        return report("out of memory", reason);
    } catch (const std::exception&) {
        // A stream set up to throw.
        return report(unreadable, reason);
    }
}

std::string describe(const std::error_code& error)
{
    // Windows' own codes have their portable equivalent where there is one,
    // so a user reads the same words everywhere.
    const std::error_condition portable = error.default_error_condition();
    return portable.category() == std::generic_category() ? portable.message() : error.message();
}

std::uint64_t bitmapSizeFor(std::istream& in, std::uint64_t inputSize)
{
    unsigned char bytes[mosHeaderSize] = {};
    if (inputSize < mosHeaderSize || !readAt(in, 0, bytes, mosHeaderSize))
        return 0;
    const MosHeader h = parseMosHeader(bytes);
    return isWellFormed(h) ? bitmapFileSize(h.width, h.height) : 0;
}

} // namespace quiltpix
