#include "mos_reading.h"

#include "byte_order.h"
#include "file_kinds.h"
#include "file_range.h"

#include <algorithm>
#include <exception>
#include <vector>

namespace quiltpix {
namespace {

std::string tileCountReason(const char* count, int value, const char* dimension, int size)
{
    return std::string(count) + " " + std::to_string(value) + " does not match " + dimension + " " +
           std::to_string(size) + ": " + std::to_string((size + tileSize - 1) / tileSize) + " expected";
}

} // namespace

std::string readMosTables(std::istream& in, std::uint64_t inputSize, MosPlan& plan)
{
    unsigned char headerBytes[mosHeaderSize] = {};
    const std::size_t have = static_cast<std::size_t>(std::min<std::uint64_t>(inputSize, mosHeaderSize));
    if (!readAt(in, 0, headerBytes, have))
        return unreadable;
    // A header that is refused may be another kind of file altogether: say
    // so first. (A header that passes is never examined for this.)
    const auto refused = [&headerBytes, have](const std::string& why) {
        const char* kind = knownKind(headerBytes, have);
        return kind ? std::string("a ") + kind + " file, not a MOS picture (" + why + ")" : why;
    };
    if (have < mosHeaderSize)
        return refused(needs("the header", 0, mosHeaderSize, inputSize));
    const MosHeader h = parseMosHeader(headerBytes);
    plan.header = h;
    if (h.width <= 0)
        return refused("width " + std::to_string(h.width) + " is not positive");
    if (h.height <= 0)
        return refused("height " + std::to_string(h.height) + " is not positive");
    if (!isWellFormed(h)) {
        if (h.columns != (h.width + tileSize - 1) / tileSize)
            return refused(tileCountReason("columns", h.columns, "width", h.width));
        return refused(tileCountReason("rows", h.rows, "height", h.height));
    }

    // Every size below follows from a well-formed header and is small: at most
    // 512 x 512 tiles, 32767 x 64 index bytes a tile row, 98304-byte bitmap rows.
    const std::uint64_t tables = offsetTablePosition(h);
    if (!fits(h.paletteOffset, tables - h.paletteOffset, inputSize))
        return needs("the palette table", h.paletteOffset, tables - h.paletteOffset, inputSize);
    std::vector<unsigned char> table(static_cast<std::size_t>(4 * tileCount(h)));
    if (!fits(tables, table.size(), inputSize))
        return needs("the tile offset table", tables, table.size(), inputSize);
    if (!readAt(in, tables, table.data(), table.size()))
        return unreadable;
    const std::uint64_t base = tileDataBase(h);
    const std::size_t rowStride = 4 * static_cast<std::size_t>(h.columns);
    plan.runStart.resize(static_cast<std::size_t>(h.rows));
    for (std::size_t r = 0; r < plan.runStart.size(); ++r)
        plan.runStart[r] = base + readU32le(table.data() + r * rowStride);
    return "";
}

std::string checkMosRuns(const MosPlan& plan, std::uint64_t inputSize)
{
    const std::uint64_t width = static_cast<std::uint64_t>(plan.header.width);
    for (int r = 0; r < plan.header.rows; ++r) {
        const std::uint64_t start = plan.runStart[static_cast<std::size_t>(r)];
        const std::uint64_t length = width * static_cast<std::uint64_t>(tileHeight(plan.header, r));
        if (!fits(start, length, inputSize))
            return needs("tile row " + std::to_string(r), start, length, inputSize);
    }
    return "";
}

std::string planMos(std::istream& in, std::uint64_t inputSize, MosPlan& plan)
{
    std::string why = readMosTables(in, inputSize, plan);
    return why.empty() ? checkMosRuns(plan, inputSize) : why;
}

MosCheck checkMosStream(std::istream& in, std::uint64_t inputSize)
{
    MosCheck check;
    try {
        MosPlan plan;
        check.reason = planMos(in, inputSize, plan);
        check.whole = check.reason.empty();
        check.header = plan.header;
    } catch (const std::exception&) {
        check.reason = "out of memory";
    }
    return check;
}

} // namespace quiltpix
