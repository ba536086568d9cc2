#include "to_mos.h"

#include "byte_order.h"
#include "mos_reading.h"
#include "original.h"
#include "file_range.h"
#include "bitmap_reader.h"
#include "png_reader.h"
#include "quantise.h"
#include "wrapping.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

namespace quiltpix {

const char* const mosWriteFailed = "the MOS file could not be written";
const char* const changedWhileRead =
    "the file changed while it was being read (is a program still saving it?); nothing was written";

std::string MosSummary::line() const
{
    std::string s = std::to_string(format.width) + " x " + std::to_string(format.height) + " pixels, " +
                    std::to_string(tiles) + (tiles == 1 ? " tile" : " tiles");
    if (comparedWithOriginal)
        s += ", " + std::to_string(changed) + " taken from the picture";
    s += ": " + std::to_string(exact) + " exact, " + std::to_string(quantised) + " quantised";
    if (quantised > 0) {
        char psnr[96];
        std::snprintf(psnr, sizeof psnr, " (PSNR mean %.2f dB, worst %.2f dB)",
                      psnrSum / static_cast<double>(quantised), psnrWorst);
        s += psnr;
    }
    return s;
}

std::string MosSummary::shortLine() const
{
    std::string s;
    std::uint64_t exactOnes = exact;
    if (comparedWithOriginal) {
        s = std::to_string(changed) + " of " + std::to_string(tiles) + " tiles changed";
        exactOnes = changed - std::min(changed, quantised);
    } else {
        s = std::to_string(tiles) + (tiles == 1 ? " tile" : " tiles");
    }
    s += ": " + std::to_string(exactOnes) + " exact, " + std::to_string(quantised) + " quantised";
    if (quantised > 0) {
        char worst[48];
        std::snprintf(worst, sizeof worst, ", worst %.2f dB", psnrWorst);
        s += worst;
    }
    return s;
}

namespace {

bool sameFormat(const PictureFormat& a, const PictureFormat& b)
{
    return a.width == b.width && a.height == b.height && a.topDown == b.topDown && a.description == b.description;
}

// A running hash of the pixels, to tell whether two readings of one file saw
// the same picture; no input is chosen against it, so speed is all it needs.
QUILTPIX_WRAPS std::uint64_t hashBytes(std::uint64_t h, const unsigned char* p, std::size_t n)
{
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        h = (h ^ word) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    for (; i < n; ++i)
        h = (h ^ p[i]) * 0x100000001b3ull;
    return h + n;
}

class Converter {
public:
    Converter(const PictureSource& source, ByteSink& out, const MosOptions& options, MosSummary& summary)
        : source_(source), out_(out), options_(options), summary_(summary)
    {
    }

    Failure run()
    {
        const std::unique_ptr<PictureReader> first = source_();
        PictureReader& reader = *first;
        std::string why = reader.open();
        if (!why.empty())
            return {Blame::input, why};
        const PictureFormat f = reader.picture();
        header_ = freshHeader(f.width, f.height);
        summary_.format = f;
        summary_.tiles = tileCount(header_);
        summary_.input.begin(f.width, f.height);
        summary_.output.assign(static_cast<std::size_t>(summary_.tiles), 0);
        allocate();

        if (options_.original) {
            const MosHeader& o = original().plan.header;
            if (o.width != header_.width || o.height != header_.height) {
                summary_.freshLayoutReason = "it is " + std::to_string(o.width) + " x " +
                                             std::to_string(o.height) + " pixels, the bitmap " +
                                             std::to_string(f.width) + " x " + std::to_string(f.height) +
                                             ", so a fresh layout is written";
            } else {
                layout_ = Layout::original;
                summary_.comparedWithOriginal = true;
                if (!regionsApart(original().plan)) {
                    const Failure counted = countChangedTiles(f);
                    if (counted.failed())
                        return counted;
                }
            }
        }

        why = layout_ == Layout::original ? copyTheOriginal() : writeTables();
        if (!why.empty())
            return blamed(why);
        why = rows(reader);
        summary_.translucent = reader.translucent();
        // The file was read twice: an editor still saving it could have
        // changed it in between, and the output would mix both versions. A
        // reading that fails the second time is the same change, seen sooner.
        if (twice_ && !originalFault_ && why != mosWriteFailed && (!why.empty() || rowsHash_ != firstPass_))
            return {Blame::input, changedWhileRead};
        return blamed(why);
    }

private:
    // How the MOS file is laid out: a fresh layout of the picture alone; the
    // original's own layout, copied first, with only the tile rows that
    // changed rewritten; or a fresh layout whose tiles are taken from the
    // original where the picture agrees with it.
    enum class Layout { fresh, original, freshFromOriginal };
    // A first reading that only counts the tiles that changed, or the one
    // that writes.
    enum class Pass { counting, writing };

    const Original& original() const { return *options_.original; }

    // Who is to blame for a reason: a write the sink refused is the
    // output's, a reading of the original that failed is the original's,
    // anything else the picture's.
    Failure blamed(const std::string& why) const
    {
        if (why.empty())
            return {};
        return {why == mosWriteFailed ? Blame::output : originalFault_ ? Blame::original : Blame::input, why};
    }

    // Rewriting one tile of an original whose regions share bytes would
    // change another's too: a first reading counts the tiles that changed,
    // and only a picture with none keeps the original's layout.
    Failure countChangedTiles(const PictureFormat& f)
    {
        const std::unique_ptr<PictureReader> again = source_();
        const std::string why = again->open();
        if (!why.empty() || !sameFormat(again->picture(), f))
            return {Blame::input, changedWhileRead};
        pass_ = Pass::counting;
        const std::string counted = rows(*again);
        pass_ = Pass::writing;
        if (!counted.empty())
            return blamed(counted);
        firstPass_ = rowsHash_;
        rowsHash_ = 0;
        summary_.input.begin(f.width, f.height); // digested anew in the second reading
        twice_ = true;
        summary_.exact = 0;
        if (summary_.changed > 0) {
            summary_.changed = 0; // counted again as the tiles are written
            layout_ = Layout::freshFromOriginal;
            summary_.freshLayoutReason = "its layout cannot hold the edit (two of its regions share "
                                         "bytes), so a fresh layout is written";
        }
        return {};
    }

    void allocate()
    {
        const std::size_t width = static_cast<std::size_t>(header_.width);
        const std::size_t columns = static_cast<std::size_t>(header_.columns);
        rowBytes_ = 3 * width;
        strip_.resize(rowBytes_ * tileSize + 1); // one more byte for packColour4 at the end
        run_.resize(width * tileSize);
        palettes_.resize(columns * paletteBytes);
        tile_.resize(tilePixels);
    }

    bool put(std::uint64_t pos, const unsigned char* data, std::size_t n)
    {
        return out_.writeAt(pos, data, n);
    }

    std::string writeTables()
    {
        unsigned char head[mosHeaderSize];
        putMosHeader(head, header_);
        std::vector<unsigned char> table(static_cast<std::size_t>(4 * tileCount(header_)));
        std::size_t k = 0;
        for (int r = 0; r < header_.rows; ++r)
            for (int c = 0; c < header_.columns; ++c, k += 4)
                putU32le(table.data() + k, freshTileOffset(header_, r, c));
        if (!put(0, head, mosHeaderSize) || !put(offsetTablePosition(header_), table.data(), table.size()))
            return mosWriteFailed;
        return "";
    }

    std::string copyTheOriginal()
    {
        return copyOriginal(original(), out_, summary_.droppedTail, originalFault_);
    }

    // Reads the bitmap a tile row at a time in the order it stores them, and
    // hands each to the tile row's conversion.
    std::string rows(PictureReader& reader)
    {
        const bool topDown = reader.picture().topDown;
        for (int step = 0; step < header_.rows; ++step) {
            const int r = topDown ? step : header_.rows - 1 - step;
            const int h = tileHeight(header_, r);
            const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(rowBytes_);
            unsigned char* first = strip_.data() + (topDown ? 0 : static_cast<std::size_t>(h - 1) * rowBytes_);
            std::string why = reader.readRows(first, topDown ? stride : -stride, h);
            if (why.empty() && (pass_ == Pass::counting || twice_))
                rowsHash_ = hashBytes(rowsHash_, strip_.data(), rowBytes_ * static_cast<std::size_t>(h));
            if (why.empty())
                for (int k = 0; k < h; ++k)
                    summary_.input.row(r * tileSize + k, strip_.data() + static_cast<std::size_t>(k) * rowBytes_);
            if (why.empty())
                why = layout_ == Layout::fresh ? tileRowFresh(r, h) : tileRowLike(r, h);
            if (!why.empty())
                return why;
            if (options_.progress) {
                // The two readings of a bitmap read twice are one run of rows.
                const int passes = pass_ == Pass::counting || twice_ ? 2 : 1, before = twice_ ? header_.rows : 0;
                pixelsDone_ += static_cast<std::uint64_t>(header_.width) * static_cast<std::uint64_t>(h);
                options_.progress(before + step + 1, passes * header_.rows, pixelsDone_);
            }
        }
        return "";
    }

    // The tile's pixels from the strip, packed.
    void gather(int c, int w, int h)
    {
        const unsigned char* from = strip_.data() + 3 * static_cast<std::size_t>(tileSize) * static_cast<std::size_t>(c);
        std::uint32_t* to = tile_.data();
        for (int y = 0; y < h; ++y, from += rowBytes_)
            for (int x = 0; x < w; ++x)
                *to++ = packColour4(from + 3 * x);
    }

    void count(const TileResult& result, int w, int h)
    {
        if (result.exact) {
            ++summary_.exact;
            return;
        }
        const double psnr = tilePsnr(result.squaredError, static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h));
        summary_.psnrWorst = summary_.quantised == 0 ? psnr : std::min(summary_.psnrWorst, psnr);
        summary_.psnrSum += psnr;
        ++summary_.quantised;
    }

    std::string tileRowFresh(int r, int h)
    {
        for (int c = 0; c < header_.columns; ++c) {
            const int w = tileWidth(header_, c);
            gather(c, w, h);
            unsigned char* palette = palettes_.data() + paletteBytes * static_cast<std::size_t>(c);
            unsigned char* indices = run_.data() + static_cast<std::size_t>(tileInRun(c, h));
            const TileResult result = quantiser_.quantise(tile_.data(), w, h, options_.dither, palette, indices);
            count(result, w, h);
            written(r, c, result.exact ? inputDigest(r, c) : renderedDigest(r, c, w, h, palette, indices));
        }
        const std::uint64_t runStart = tileDataBase(header_) + freshTileOffset(header_, r, 0);
        const std::size_t runBytes = static_cast<std::size_t>(header_.width) * static_cast<std::size_t>(h);
        if (!put(paletteRowPosition(header_, r), palettes_.data(), palettes_.size()) ||
            !put(runStart, run_.data(), runBytes))
            return mosWriteFailed;
        return "";
    }

    // From an original of the picture's size: unchanged tiles keep
    // everything; a changed tile whose colours its palette still holds keeps
    // the palette and the index bytes of its unchanged pixels; any other gets
    // a palette anew. Written into the original's layout where it can hold
    // the edit, else at a fresh layout's places: only the places move.
    std::string tileRowLike(int r, int h)
    {
        const std::size_t runBytes = static_cast<std::size_t>(header_.width) * static_cast<std::size_t>(h);
        const std::uint64_t runStart = original().plan.runStart[static_cast<std::size_t>(r)];
        const std::uint64_t paletteRow = paletteRowPosition(original().plan.header, r);
        if (!readAt(*original().stream, paletteRow, palettes_.data(), palettes_.size()) ||
            !readAt(*original().stream, runStart, run_.data(), runBytes)) {
            originalFault_ = true; // it was whole when planned: it changed since
            return unreadable;
        }
        bool rowChanged = false;
        for (int c = 0; c < header_.columns; ++c) {
            const int w = tileWidth(header_, c);
            unsigned char* palette = palettes_.data() + paletteBytes * static_cast<std::size_t>(c);
            unsigned char* indices = run_.data() + static_cast<std::size_t>(tileInRun(c, h));
            gather(c, w, h);
            const std::size_t pixels = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
            bool same = true;
            for (std::size_t i = 0; i < pixels && same; ++i)
                same = packColour(palette + 4 * std::size_t{indices[i]}) == tile_[i];
            if (!same && !take(r, c, w, h, palette, indices)) {
                // The original's tile stays as it is now.
                ++summary_.exact;
                if (pass_ == Pass::writing)
                    written(r, c, renderedDigest(r, c, w, h, palette, indices));
                continue;
            }
            if (same) {
                ++summary_.exact;
                if (pass_ == Pass::writing)
                    written(r, c, inputDigest(r, c));
                continue;
            }
            ++summary_.changed;
            rowChanged = true;
            if (pass_ == Pass::counting)
                continue;
            if (repainter_.repaint(palette, tile_.data(), indices, pixels)) {
                ++summary_.exact;
                written(r, c, inputDigest(r, c));
                continue;
            }
            const TileResult result = quantiser_.quantise(tile_.data(), w, h, options_.dither, palette, indices);
            count(result, w, h);
            written(r, c, result.exact ? inputDigest(r, c) : renderedDigest(r, c, w, h, palette, indices));
        }
        if (pass_ == Pass::counting || (layout_ == Layout::original && !rowChanged))
            return "";
        const std::uint64_t runAt = layout_ == Layout::original ? runStart : tileDataBase(header_) + freshTileOffset(header_, r, 0);
        const std::uint64_t paletteAt = layout_ == Layout::original ? paletteRow : paletteRowPosition(header_, r);
        if (!put(paletteAt, palettes_.data(), palettes_.size()) || !put(runAt, run_.data(), runBytes))
            return mosWriteFailed;
        return "";
    }

    // Whether a tile whose pixels differ from the original's is taken from
    // the picture. Without a record of the extraction, always. With one,
    // only where the user edited it; one that the original changed since
    // too is a conflict.
    bool take(int r, int c, int w, int h, const unsigned char* palette, const unsigned char* indices)
    {
        if (!options_.extracted)
            return true;
        const std::size_t t = tileIndex(r, c);
        if (inputDigest(r, c) == (*options_.extracted)[t]) {
            if (pass_ == Pass::writing)
                ++summary_.newerInOriginal;
            return false;
        }
        if (!options_.originalThen || renderedDigest(r, c, w, h, palette, indices) == (*options_.originalThen)[t])
            return true;
        if (pass_ == Pass::writing)
            summary_.conflicts.push_back(t);
        return options_.takeConflicts;
    }

    std::size_t tileIndex(int r, int c) const
    {
        return static_cast<std::size_t>(r) * static_cast<std::size_t>(header_.columns) + static_cast<std::size_t>(c);
    }

    std::uint64_t inputDigest(int r, int c) const { return summary_.input.tiles()[tileIndex(r, c)]; }

    void written(int r, int c, std::uint64_t digest) { summary_.output[tileIndex(r, c)] = digest; }

    // The digest of the tile as a palette and index bytes show it.
    QUILTPIX_WRAPS std::uint64_t renderedDigest(int r, int c, int w, int h, const unsigned char* palette,
                                                const unsigned char* indices)
    {
        unsigned char row[3 * tileSize];
        std::uint64_t sum = 0;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const unsigned char* entry = palette + 4 * std::size_t{indices[static_cast<std::size_t>(y * w + x)]};
                row[3 * x] = entry[0];
                row[3 * x + 1] = entry[1];
                row[3 * x + 2] = entry[2];
            }
            sum += tileRowDigest(r * tileSize + y, c, row, 3 * static_cast<std::size_t>(w));
        }
        return sum;
    }

    const PictureSource& source_;
    ByteSink& out_;
    const MosOptions& options_;
    MosSummary& summary_;
    MosHeader header_;
    std::uint64_t pixelsDone_ = 0; // for the progress
    bool twice_ = false;          // the bitmap is read a second time
    bool originalFault_ = false;  // the original failed to read mid-run
    std::uint64_t rowsHash_ = 0;  // of the pixels read so far in this pass
    std::uint64_t firstPass_ = 0; // of all pixels of the first pass
    Layout layout_ = Layout::fresh;
    Pass pass_ = Pass::writing;
    std::size_t rowBytes_ = 0;
    std::vector<unsigned char> strip_;    // a tile row of the bitmap, blue, green, red
    std::vector<unsigned char> run_;      // its index bytes, tile after tile
    std::vector<unsigned char> palettes_; // its palettes
    std::vector<std::uint32_t> tile_;
    Repainter repainter_;
    TileQuantiser quantiser_;
};

} // namespace

Failure convertToMos(std::istream& in, std::uint64_t size, ByteSink& out, const MosOptions& options,
                     MosSummary& summary)
{
    return convertToMos([&in, size] { return pictureReader(in, size); }, out, options, summary);
}

Failure convertToMos(const PictureSource& source, ByteSink& out, const MosOptions& options, MosSummary& summary)
{
    try {
        Converter converter(source, out, options, summary);
        return converter.run();
    } catch (const std::bad_alloc&) {
        return {Blame::input, "out of memory"};
    } catch (const std::exception&) {
        return {Blame::input, unreadable};
    }
}

PictureFormat pictureFormatOf(std::istream& in, std::uint64_t size)
{
    try {
        // The headers alone: a PNG is not read through to its end twice.
        const std::unique_ptr<PictureReader> reader = pictureReader(in, size);
        if (reader->readHeader().empty())
            return reader->picture();
    } catch (const std::exception&) {
    }
    return PictureFormat{};
}

std::uint64_t mosSizeFor(std::istream& in, std::uint64_t size)
{
    try {
        const std::unique_ptr<PictureReader> reader = pictureReader(in, size);
        if (!reader->readHeader().empty())
            return 0;
        const PictureFormat f = reader->picture();
        return freshMosSize(f.width, f.height);
    } catch (const std::exception&) {
        return 0;
    }
}

} // namespace quiltpix
