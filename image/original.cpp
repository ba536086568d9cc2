#include "original.h"

#include "file_range.h"
#include "quantise.h"

#include <algorithm>

namespace quiltpix {

namespace {

bool nextData(const Original& original, std::uint64_t from, std::uint64_t& start, std::uint64_t& end)
{
    if (original.data)
        return original.data(from, start, end);
    start = from;
    end = original.size;
    return from < end;
}

} // namespace

std::string judgeOriginal(std::istream& in, std::uint64_t size, Original& original)
{
    original.stream = &in;
    original.size = size;
    return planMos(in, size, original.plan);
}

bool regionsApart(const MosPlan& plan)
{
    const MosHeader& h = plan.header;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> regions;
    regions.emplace_back(0, mosHeaderSize);
    regions.emplace_back(h.paletteOffset, tileDataBase(h));
    const std::uint64_t width = static_cast<std::uint64_t>(h.width);
    for (int r = 0; r < h.rows; ++r)
        regions.emplace_back(plan.runStart[static_cast<std::size_t>(r)],
                             plan.runStart[static_cast<std::size_t>(r)] +
                                 width * static_cast<std::uint64_t>(tileHeight(h, r)));
    std::sort(regions.begin(), regions.end());
    for (std::size_t k = 1; k < regions.size(); ++k)
        if (regions[k].first < regions[k - 1].second)
            return false;
    return true;
}

std::string copyOriginal(const Original& original, ByteSink& out, std::uint64_t& dropped, bool& originalFault)
{
    const MosPlan& plan = original.plan;
    const std::uint64_t size = original.size;
    const MosHeader& h = plan.header;
    std::uint64_t last = std::max<std::uint64_t>(mosHeaderSize, tileDataBase(h));
    for (int r = 0; r < h.rows; ++r)
        last = std::max(last, plan.runStart[static_cast<std::size_t>(r)] +
                                  static_cast<std::uint64_t>(h.width) * static_cast<std::uint64_t>(tileHeight(h, r)));
    const std::uint64_t end = std::min(size, last + std::min(keptAfterPicture, size - last));
    dropped = size - end;
    std::vector<unsigned char> chunk(1 << 20);
    std::uint64_t pos = 0, start = 0, stop = 0;
    while (pos < end && nextData(original, pos, start, stop) && start < end) {
        for (pos = start, stop = std::min(stop, end); pos < stop;) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), stop - pos));
            if (!readAt(*original.stream, pos, chunk.data(), n)) {
                originalFault = true;
                return unreadable;
            }
            if (!out.writeAt(pos, chunk.data(), n))
                return mosWriteFailed;
            pos += n;
        }
    }
    // A hole at the end still counts towards the length.
    if (end > 0 && (pos < end)) {
        unsigned char lastByte = 0;
        if (!readAt(*original.stream, end - 1, &lastByte, 1)) {
            originalFault = true;
            return unreadable;
        }
        if (!out.writeAt(end - 1, &lastByte, 1))
            return mosWriteFailed;
    }
    return "";
}

bool Repainter::repaint(const unsigned char* palette, const std::uint32_t* colours, unsigned char* indices,
                        std::size_t pixels)
{
    indices_.resize(pixels);
    std::vector<std::pair<std::uint32_t, unsigned char>>& byColour = byColour_;
    byColour.clear();
    for (int k = 255; k >= 0; --k) // the first index of a colour wins
        byColour.emplace_back(packColour(palette + 4 * k), static_cast<unsigned char>(k));
    std::stable_sort(byColour.begin(), byColour.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < pixels; ++i) {
        const std::uint32_t want = colours[i];
        if (packColour(palette + 4 * std::size_t{indices[i]}) == want) {
            indices_[i] = indices[i];
            continue;
        }
        auto found = std::lower_bound(byColour.begin(), byColour.end(), want,
                                      [](const auto& e, std::uint32_t v) { return e.first < v; });
        if (found == byColour.end() || found->first != want)
            return false;
        // Among equal colours the stable sort kept the descending index
        // order; the last of the run is the lowest index.
        auto last = found;
        while (last + 1 != byColour.end() && (last + 1)->first == want)
            ++last;
        indices_[i] = last->second;
    }
    std::copy(indices_.begin(), indices_.begin() + static_cast<std::ptrdiff_t>(pixels), indices);
    return true;
}

} // namespace quiltpix
