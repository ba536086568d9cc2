#include "job.h"

#include "console.h"
#include "digest.h"
#include "input_file.h"
#include "judge.h"
#include "output_file.h"
#include "output_name.h"
#include "png_writer.h"
#include "progress.h"
#include "to_bitmap.h"
#include "to_mos.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <streambuf>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

namespace quiltpix {

namespace fs = std::filesystem;

void say(const std::string& line)
{
    std::cout << line << std::endl;
}

void Teller::say(const std::string& line) const
{
    if (!oneLine_ && !o_.quiet)
        quiltpix::say(line);
}

void Teller::detail(const std::string& text)
{
    details_ += (details_.empty() ? "" : "; ") + text;
}

Result Teller::failed(const fs::path& name, const std::string& reason, const std::string& finalLine)
{
    why_ = displayName(name) + ": " + reason;
    // The one line names the file itself; -q and a run of one file print
    // the reason now.
    if (!oneLine_ || o_.quiet)
        quiltpix::say(why_);
    if (!oneLine_ && !o_.quiet)
        quiltpix::say(finalLine);
    return Result::failed;
}

namespace {

// An output over a thousand times its input: a few bytes that would fill a
// disk, said before the work starts.
bool isOutsized(std::uint64_t output, std::uint64_t input)
{
    return output / 1000 > input;
}

// The output file as the way back writes it: each piece at its place.
class OutputSink : public ByteSink {
public:
    explicit OutputSink(OutputFile& file) : file_(file) {}
    bool writeAt(std::uint64_t pos, const unsigned char* data, std::size_t n) override
    {
        return file_.writeAt(pos, data, n);
    }

private:
    OutputFile& file_;
};

// Stands between the writers of a picture and the output: while the bytes
// made agree with the file already under the output name, nothing is
// written; at the first difference the agreeing part is copied from that
// file, and all the rest goes to the output. So a rerun that changes nothing
// writes nothing.
class SameAsExisting : public std::streambuf {
public:
    // The file under `name` is opened with the first byte made: a
    // conversion refused before it writes does not so much as open it.
    SameAsExisting(std::ostream& out, const fs::path& name) : out_(out), name_(name) {}

    // After the last byte: the file there, if it holds exactly the bytes
    // made (and then the output holds none of them).
    std::optional<FileStamp> identical()
    {
        if (!diverged_ && opened_ && pos_ != existing_.size())
            diverge();
        if (diverged_ || !opened_)
            return std::nullopt;
        const FileStamp stamp = existing_.stamp();
        existing_.close();
        return stamp;
    }

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        if (!opened_ && !diverged_) {
            opened_ = existing_.open(name_).empty();
            diverged_ = !opened_;
        }
        if (!diverged_) {
            std::istream& theirs = existing_.stream();
            std::streamsize done = 0;
            while (done < n) {
                const std::streamsize want = std::min<std::streamsize>(n - done, static_cast<std::streamsize>(buffer().size()));
                theirs.read(buffer().data(), want);
                if (theirs.gcount() != want || std::memcmp(buffer().data(), s + done, static_cast<std::size_t>(want)) != 0)
                    break;
                done += want;
            }
            if (done == n) {
                pos_ += static_cast<std::uint64_t>(n);
                return n;
            }
            diverge();
        }
        out_.write(s, n);
        return out_ ? n : 0;
    }
    int_type overflow(int_type c) override
    {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        const char ch = traits_type::to_char_type(c);
        return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
    }
    int sync() override { return diverged_ && !out_.flush() ? -1 : 0; }

private:
    // One buffer for every file of the run.
    static std::vector<char>& buffer()
    {
        static std::vector<char> b(1 << 18);
        return b;
    }

    // The bytes that agreed go to the output after all, from the file there.
    void diverge()
    {
        diverged_ = true;
        std::istream& theirs = existing_.stream();
        theirs.clear();
        theirs.seekg(0);
        for (std::uint64_t left = pos_; left > 0 && out_;) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer().size()));
            theirs.read(buffer().data(), static_cast<std::streamsize>(n));
            if (static_cast<std::size_t>(theirs.gcount()) != n) {
                out_.setstate(std::ios::badbit); // it changed meanwhile: the output would be wrong
                break;
            }
            out_.write(buffer().data(), static_cast<std::streamsize>(n));
            left -= n;
        }
        // Windows renames over a file only once nobody holds it open.
        existing_.close();
    }

    std::ostream& out_;
    fs::path name_;
    InputFile existing_;
    bool opened_ = false;
    bool diverged_ = false;
    std::uint64_t pos_ = 0;
};

// A file written to while it was read would give a mix of two saves.
bool changedSinceOpened(const InputFile& file)
{
    const std::optional<FileStamp> now = file.stampNow();
    return !now || *now != file.stamp();
}

// The stamp of the file a name holds now, if any.
std::optional<FileStamp> stampNow(const fs::path& name)
{
    InputFile file;
    if (!file.open(name).empty())
        return std::nullopt;
    return file.stamp();
}

std::string lowerName(const fs::path& name)
{
    std::string s = name.filename().u8string();
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string tileList(const std::vector<std::uint64_t>& tiles, int columns)
{
    std::string list;
    const std::size_t shown = std::min<std::size_t>(tiles.size(), 8);
    for (std::size_t i = 0; i < shown; ++i)
        list += (i ? ", " : "") + std::string("row ") + std::to_string(tiles[i] / static_cast<std::uint64_t>(columns) + 1) +
                " column " + std::to_string(tiles[i] % static_cast<std::uint64_t>(columns) + 1);
    if (tiles.size() > shown)
        list += " and " + std::to_string(tiles.size() - shown) + " more";
    return list;
}

// The options that shape an output's bytes, so that a record made with
// others does not say that this run's output is already there.
std::string how(const Options& o, const PlannedFile& p)
{
    if (!p.bitmap)
        return p.png ? (o.small ? "png small" : "png") : "bmp";
    std::string h = o.dither ? "mos dither" : "mos";
    return h + (p.original ? " like " + recordedPath(*p.original, p.output) : " fresh");
}

// What a conversion made, for the judge of what stands under the output
// name and for the record.
struct Written {
    quiltpix::Made made;
    RecordEntry entry; // for the output
    // The put-back: the file the picture came from stands under the output
    // name, as it was read; and what the picture's own record says after.
    std::optional<FileStamp> original;
    std::optional<RecordEntry> pictureEntry;
    // Known while it was made: the file there holds exactly these bytes.
    std::optional<FileStamp> sameAs;
};

// The end of every conversion that worked: an output that already holds
// exactly these bytes is left as it is; one that holds the user's work (see
// judge.h) is kept unless --force; anything else is replaced, and only the
// very file judged (an output that appears or changes meanwhile is judged
// again). Then the record says what stands there now. A dry run stops
// short of the replacement.
Result putInPlace(const Options& o, const PlannedFile& p, const InputFile& in, OutputFile& file,
                  const std::vector<std::string>& lines, Written& made, Records& records, Teller& t)
{
    bool same = false;
    std::optional<FileStamp> placed;
    for (int attempt = 0;; ++attempt) {
        Judgement j;
        if (made.sameAs && attempt == 0) {
            j.verdict = Verdict::same;
            j.stamp = made.sameAs;
        } else {
            j = judgeExisting(p.output, file, made.made, records.find(p.output));
        }
        if (made.original && (!j.stamp || !j.stamp->sameContent(*made.original)))
            return t.failed(p.output, "it changed while this run worked, so it was left as it is; run again to judge it anew");
        if (j.verdict == Verdict::same) {
            same = true;
            placed = j.stamp;
            break;
        }
        if (j.verdict == Verdict::keep && !o.force)
            return t.failed(p.output, j.why);
        // The last moment to see that the input was written to while it
        // was read: the output would mix two saves.
        if (changedSinceOpened(in))
            return t.failed(p.input, changedWhileRead);
        if (o.dryRun)
            return Result::converted;
        // Put in place and counted as one step, before a Ctrl-C can end
        // the run.
        SignalsDeferred deferred;
        if (file.commitOver(j.stamp)) {
            if (t.committed)
                t.committed();
            placed = stampNow(p.output);
            break;
        }
        if (!file.changedMeanwhile() || made.original || attempt == 2)
            return t.failed(p.output, file.failure());
    }
    if (!o.dryRun && placed) {
        made.entry.self = *placed;
        made.entry.sourceStamp = in.stamp();
        records.put(p.output, made.entry);
        if (made.pictureEntry) {
            made.pictureEntry->self = in.stamp();
            made.pictureEntry->sourceStamp = *placed;
            records.put(p.input, *made.pictureEntry);
        }
    }
    for (const std::string& line : lines)
        t.say(line);
    if (same)
        t.say(displayName(p.output) + ": unchanged");
    return same ? Result::unchanged : Result::converted;
}

// Whether the record says that the output already holds what this run
// would write, and neither file has changed since: then nothing is read.
bool upToDateByRecord(const Options& o, const PlannedFile& p, const InputFile& in, Records& records)
{
    const std::optional<RecordEntry> entry = records.find(p.output);
    if (!entry || entry->how != how(o, p) || !entry->settled() || !in.stamp().sameContent(entry->sourceStamp) ||
        !namesFile(entry->source, p.input, p.output))
        return false;
    const std::optional<FileStamp> output = stampNow(p.output);
    return output && output->sameContent(entry->self);
}

// The way back: the MOS file the picture came from is its original where
// there is one (--like's, or the one under the output name), so that what
// still agrees with it keeps its bytes; with the record of the picture's
// extraction, tile by tile, only what the user edited is taken.
Result convertBack(const Options& o, const PlannedFile& p, InputFile& in, OutputFile& file, Progress& progress,
                   Records& records, Teller& t)
{
    MosOptions options;
    options.dither = o.dither;
    options.takeConflicts = o.force;
    // The original the plan found, judged again now that it is read: it
    // may have changed since.
    InputFile originalFile;
    Original original;
    const std::optional<fs::path>& originalName = p.original;
    std::vector<std::string> lines;
    if (originalName) {
        const std::string problem = originalFile.open(*originalName);
        if (!problem.empty())
            return t.failed(*originalName, problem);
        const std::string why = judgeOriginal(originalFile.stream(), originalFile.size(), original);
        if (!why.empty())
            return t.failed(*originalName, why);
        original.data = [&originalFile](std::uint64_t from, std::uint64_t& start, std::uint64_t& end) {
            return originalFile.nextData(from, start, end);
        };
        options.original = &original;
    } else if (!p.notOriginal.empty() && o.force) {
        lines.push_back(displayName(p.output) + ": not a whole MOS file (" + p.notOriginal +
                        "), so a fresh layout replaces it");
        t.detail("a fresh layout replaces what was not a whole MOS file");
    }
    if (p.noOriginalIn) {
        lines.push_back(displayName(p.input) + ": no original in " + displayName(*p.noOriginalIn) +
                        ", so a fresh layout is written");
        t.detail("no original in " + displayName(*p.noOriginalIn) + ": a fresh layout");
    }
    const MosPlan& plan = original.plan;
    const PictureFormat format = pictureFormatOf(in.stream(), in.size());
    if (originalName && !o.force && format.width > 0 &&
        (format.width != plan.header.width || format.height != plan.header.height))
        return t.failed(p.input, "it is " + std::to_string(format.width) + " x " + std::to_string(format.height) +
                                     " pixels and its original " + displayName(*originalName) + " " +
                                     std::to_string(plan.header.width) + " x " + std::to_string(plan.header.height) +
                                     " (resized in an editor?); use --fresh to write it as a new picture, or --force");
    // What the record says of the picture's extraction from this very
    // original, if anything.
    const std::optional<RecordEntry> extraction = records.find(p.input);
    const bool merging = originalName && extraction && namesFile(extraction->source, *originalName, p.input) &&
                         extraction->tiles.size() == static_cast<std::size_t>(tileCount(plan.header)) &&
                         extraction->sourceTiles.size() == extraction->tiles.size();
    if (merging) {
        options.extracted = &extraction->tiles;
        options.originalThen = &extraction->sourceTiles;
    }
    options.progress = [&progress](int done, int total, std::uint64_t pixels) { progress.update(done, total, pixels); };
    OutputSink sink(file);
    MosSummary summary;
    const Failure failure = convertToMos(in.stream(), in.size(), sink, options, summary);
    progress.erase();
    switch (failure.blame) {
    case Blame::none: break;
    case Blame::input: return t.failed(p.input, failure.reason);
    case Blame::original: return t.failed(*originalName, failure.reason);
    case Blame::output: return t.failed(p.output, file.failure().empty() ? failure.reason : file.failure());
    }
    if (originalName && changedSinceOpened(originalFile))
        return t.failed(*originalName, changedWhileRead);
    const int columns = (summary.format.width + tileSize - 1) / tileSize;
    if (!summary.conflicts.empty() && !o.force)
        return t.failed(p.input, std::to_string(summary.conflicts.size()) +
                                     (summary.conflicts.size() == 1 ? " tile was" : " tiles were") +
                                     " changed both here and in " + displayName(*originalName) +
                                     " since it was extracted (" + tileList(summary.conflicts, columns) +
                                     "); keep one side's change, or use --force to take the picture's");
    // An editor's 8-bit save with one palette for the whole picture, or the
    // wrong original: most tiles would change. (A picture of a few tiles may
    // well be edited whole.)
    if (summary.comparedWithOriginal && !o.force && summary.tiles >= 4 && 2 * summary.changed > summary.tiles)
        return t.failed(p.input, std::to_string(summary.changed) + " of " + std::to_string(summary.tiles) +
                                     " tiles differ from its original " + displayName(*originalName) +
                                     (summary.format.onePalette
                                          ? ": the editor saved it with one palette for the whole picture; save it "
                                            "as 24-bit to keep each tile's colours, or use --force"
                                          : ": is that the right original? Name it with --like, write a new picture "
                                            "with --fresh, or use --force"));
    if (summary.translucent > 0) {
        lines.push_back(displayName(p.input) + ": " + std::to_string(summary.translucent) +
                        (summary.translucent == 1 ? " pixel is" : " pixels are") +
                        " not fully opaque; MOS has no transparency, so it is dropped");
        t.detail(std::to_string(summary.translucent) + " translucent pixels made opaque");
    }
    if (originalName) {
        lines.push_back(displayName(p.input) + ": its original is " + displayName(*originalName) +
                        (merging ? "; only the tiles edited since it was extracted are taken"
                                 : "; what still agrees with it keeps its bytes"));
        if (!p.originalAtOutput)
            t.detail("original " + displayName(*originalName));
        if (summary.newerInOriginal > 0) {
            const std::string kept = std::to_string(summary.newerInOriginal) +
                                     (summary.newerInOriginal == 1 ? " tile" : " tiles") +
                                     " changed there since the extraction, and not in the picture, kept";
            lines.push_back(displayName(*originalName) + ": " + kept);
            t.detail(kept);
        }
        if (!summary.conflicts.empty())
            lines.push_back(displayName(p.input) + ": tiles changed on both sides taken from the picture (--force): " +
                            tileList(summary.conflicts, columns));
        if (!summary.freshLayoutReason.empty()) {
            lines.push_back(displayName(*originalName) + ": " + summary.freshLayoutReason);
            t.detail("a fresh layout");
        }
        if (summary.droppedTail > 0)
            lines.push_back(displayName(*originalName) + ": the " + std::to_string(summary.droppedTail) +
                            " bytes it holds more than 1 MiB past the picture's last byte were not copied");
        if (summary.format.onePalette && summary.comparedWithOriginal && 2 * summary.changed > summary.tiles)
            lines.push_back(displayName(p.input) + ": most tiles differ from the original: the editor saved it with "
                                                   "one palette for the whole picture; save it as 24-bit to keep "
                                                   "each tile's colours");
    }
    lines.push_back(displayName(p.input) + ": " + summary.line());
    lines.push_back("Done");
    t.detail(summary.shortLine());
    Written made;
    made.made.mos = true;
    made.made.input = &p.input;
    const std::uint64_t picture = summary.input.picture();
    made.made.pixels = pictureDigest(summary.format.width, summary.format.height, summary.output);
    made.entry.source = recordedPath(p.input, p.output);
    made.entry.how = how(o, p);
    made.entry.pixels = made.made.pixels;
    made.entry.input = picture;
    made.entry.tiles = summary.output;
    made.entry.sourceTiles = summary.input.tiles();
    // After a put-back the picture and the MOS file agree: the picture's
    // record says so, and is the next put-back's extraction.
    RecordEntry pictureEntry;
    pictureEntry.source = recordedPath(p.output, p.input);
    pictureEntry.how = "picture";
    pictureEntry.pixels = picture;
    pictureEntry.input = made.made.pixels;
    pictureEntry.tiles = summary.input.tiles();
    pictureEntry.sourceTiles = summary.output;
    // Beside the picture only where the record already keeps it, or where
    // the MOS file goes too: a picture from elsewhere (a system's sample
    // folder, say) gets no file of ours beside it.
    std::error_code error;
    const bool sameFolder = fs::equivalent(p.input.has_parent_path() ? p.input.parent_path() : fs::path("."),
                                           p.output.has_parent_path() ? p.output.parent_path() : fs::path("."), error);
    if (extraction || sameFolder)
        made.pictureEntry = pictureEntry;
    if (p.originalAtOutput)
        made.original = originalFile.stamp();
    // Windows renames over a file only once nobody holds it open.
    originalFile.close();
    const Result result = putInPlace(o, p, in, file, lines, made, records, t);
    if (result != Result::failed)
        t.say("Bitmap converted successfully!");
    return result;
}

// The output's format follows its name: a name -o gives must end in what is
// written (or have no extension).
std::string extensionProblem(const Options& o, const PlannedFile& p, bool back)
{
    if (!o.output || o.all || namesFolder(*o.output))
        return "";
    const std::string extension = lowerName(p.output.extension());
    if (extension.empty())
        return "";
    if (back)
        return extension == ".mos" ? "" : "the way back writes a MOS file, so its name must end in .mos";
    if (o.png && extension != ".png")
        return "--png writes a PNG, so its name must end in .png";
    if (extension != ".bmp" && extension != ".png")
        return "a MOS file becomes a bitmap (.bmp) or a PNG (.png), so its name must end in one of them";
    return "";
}

} // namespace

Result convertFile(const Options& o, const PlannedFile& p, Records& records, Teller& t, const std::string& prefix,
                   RunProgress* run)
{
    const fs::path& input = p.input;
    const std::shared_ptr<InputFile> opened = p.opened ? p.opened : std::make_shared<InputFile>();
    InputFile& in = *opened;
    const std::string problem = p.opened ? "" : in.open(input);
    if (!problem.empty())
        return t.failed(input, problem, displayName(input) + " cannot be opened!");
    const bool back = isBitmap(in);
    if (back != p.bitmap)
        return t.failed(input, "it changed while the run was being planned (is a program still saving it?)");
    if (!back && (o.like || o.dither || o.fresh)) {
        const char* option = o.like ? "--like" : o.dither ? "--dither" : "--fresh";
        return t.failed(input, std::string(option) + " is for bitmaps, and this is read as a MOS file");
    }
    if (p.png && !pngAvailable())
        return t.failed(p.output, pngNeedsZlib);
    if (p.overwritesItself)
        return t.failed(p.output, "that is the input file itself",
                        "Output file would overwrite the input: " + displayName(p.output));
    const std::string badName = extensionProblem(o, p, back);
    if (!badName.empty())
        return t.failed(p.output, badName);
    // Where neither file changed since the record said they agree, there
    // is nothing to read. (A run of one file reads all the same, for its
    // lines.)
    if (t.oneLine() && upToDateByRecord(o, p, in, records))
        return Result::unchanged;
    OutputFile file;
    if (!file.open(p.output))
        return t.failed(p.output, file.failure(), "Can't open output file: " + displayName(p.output));
    // Known before any work: a conversion that cannot fit is refused now,
    // not when the disk is full, and a very large output is said first.
    // (A PNG's size is known only once it is written; a MOS file whose
    // tables are not whole is refused with its reason, not announced.)
    const std::uint64_t need = back    ? mosSizeFor(in.stream(), in.size())
                               : p.png || !checkMosStream(in.stream(), in.size()).whole
                                   ? 0
                                   : bitmapSizeFor(in.stream(), in.size());
    const std::optional<std::uint64_t> room = file.freeSpace();
    if (room && need > *room)
        return t.failed(p.output, "needs " + std::to_string(need) + " bytes; the disk has " + std::to_string(*room) + " free");
    if (isOutsized(need, in.size())) {
        t.say(displayName(p.output) + ": " + std::to_string(need) + " bytes will be written, over 1000 times the input's " +
              std::to_string(in.size()));
        t.detail(std::to_string(need) + " bytes from " + std::to_string(in.size()));
    }
    if (run)
        run->bytesNow = in.size();
    Progress progress(!o.quiet && outputIsTerminal(), prefix, run);
    if (back)
        return convertBack(o, p, in, file, progress, records, t);
    std::string reason;
    SameAsExisting compared(file.stream(), p.output);
    std::ostream out(&compared);
    BmpWriter bitmap(out);
    PngWriter png(out, o.small);
    DigestingWriter writer(p.png ? static_cast<RowWriter*>(&png) : &bitmap);
    const bool converted = convertMos(in.stream(), in.size(), writer, o.quiet || t.oneLine() ? nullptr : &std::cout,
                                      &reason, [&progress](int done, int total, std::uint64_t pixels) {
                                          progress.update(done, total, pixels);
                                      });
    progress.erase();
    if (converted && !out.flush())
        reason = writeFailed;
    if (converted && out) {
        Written made;
        made.sameAs = compared.identical();
        made.made.bytesDiffer = !made.sameAs;
        made.made.pixels = writer.digests().picture();
        made.made.input = &p.input;
        made.entry.source = recordedPath(p.input, p.output);
        made.entry.how = how(o, p);
        made.entry.pixels = made.entry.input = made.made.pixels;
        made.entry.tiles = made.entry.sourceTiles = writer.digests().tiles();
        const Result result = putInPlace(o, p, in, file, {}, made, records, t);
        if (result != Result::failed)
            t.say("Mos file converted successfully!");
        return result;
    }
    // A write that failed is the output's problem, in the system's words;
    // anything else is the input's.
    if (reason != writeFailed)
        return t.failed(input, reason);
    return t.failed(p.output, file.failure().empty() ? reason : file.failure());
}

} // namespace quiltpix
