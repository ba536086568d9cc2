// quiltpix: converts one MOS tiled picture into a 24-bit BMP, or a bitmap
// back into a MOS file.
#include "picture_reader.h"
#include "console.h"
#include "folders.h"
#include "input_file.h"
#include "to_bitmap.h"
#include "lookup.h"
#include "output_file.h"
#include "options.h"
#include "output_name.h"
#include "plan.h"
#include "judge.h"
#include "record.h"
#include "digest.h"
#include "png_writer.h"
#include "progress.h"
#include "to_mos.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#ifndef QUILTPIX_VERSION
#define QUILTPIX_VERSION "unknown"
#endif

namespace {

namespace fs = std::filesystem;
using quiltpix::displayName;
using quiltpix::Options;

const char* const usageLine = "Usage: quiltpix <mosfile>";
const char* const helpPointer = "Run 'quiltpix --help' for the options and more forms.";

const char* const helpText =
    "Usage: quiltpix [-q] [--force] [--png [--small]] [-o PATH] <mosfile>\n"
    "       quiltpix [-q] [--force] [-o PATH] [--like ORIGINAL.mos | --fresh] [--dither] <bitmap or PNG>\n"
    "       quiltpix --all [-q] [--force] [--png [--small]] [-o FOLDER] [--like FOLDER | --fresh] <file>...\n"
    "       quiltpix [-q] --check <file>...\n"
    "       quiltpix --help | -h | --version\n"
    "\n"
    "Converts a MOS tiled picture into an uncompressed 24-bit BMP (or a PNG),\n"
    "and a bitmap or PNG (a file that begins with \"BM\" or PNG's signature)\n"
    "back into a MOS file. The output name is the path cut at its last '.'\n"
    "(anywhere in it, unless it is the first character) with \".bmp\" (\".png\"\n"
    "with --png) or \".mos\" appended: pics/harbour.mos gives pics/harbour.bmp,\n"
    "pics/harbour.bmp gives pics/harbour.mos. A PNG's gamma and colour profile\n"
    "are ignored: its samples are the picture.\n"
    "\n"
    "On the way back, a tile of at most 256 colours keeps them exactly; any\n"
    "other gets the 256 colours that fit it best, and the line printed says\n"
    "how many tiles were quantised and how close they came (PSNR). A MOS file\n"
    "already under the output name (in any case) is the bitmap's original:\n"
    "what still agrees with it keeps its bytes, so an unedited bitmap leaves\n"
    "it as it was; with the record of the picture's extraction, only the\n"
    "tiles edited since are taken, and a tile changed on both sides is\n"
    "refused. A picture of another size than its original, or whose tiles\n"
    "mostly differ from it (an 8-bit save, the wrong original), is refused.\n"
    "\n"
    "An output that would not change is left untouched (\"unchanged\"). File\n"
    "times decide nothing: a picture whose pixels differ from what this run\n"
    "writes and from what the record says quiltpix wrote there is an edit,\n"
    "kept, and the run fails; so is a file under a MOS name that is not a\n"
    "whole MOS file. The record is .quiltpix-record in each output folder;\n"
    "deleting it is safe (the next run is more careful).\n"
    "\n"
    "  -o, --output PATH  write the output to PATH; if PATH is a folder (or\n"
    "                     ends in '/', when it is made if missing), into it,\n"
    "                     named after the input's file name: -o out/\n"
    "                     scans/tile_a.mos gives out/tile_a.bmp. A PATH with\n"
    "                     no '/' at the end that does not exist is a file name\n"
    "  --all              convert every file named (a file named twice, once),\n"
    "                     each as a run of its own would, going on after a\n"
    "                     failure; each file's lines begin with \"[n/N] INPUT ->\n"
    "                     OUTPUT\", and one line \"N converted, U unchanged, M\n"
    "                     failed\" ends the run; with -o, PATH is a folder,\n"
    "                     made if it does not exist. Two files that would\n"
    "                     write the same output are both refused, and so is a\n"
    "                     file whose output is another file of the run\n"
    "  -q, --quiet        print nothing on success; on failure only the line\n"
    "                     that names the file and the reason (with --all, the\n"
    "                     count line too when something failed)\n"
    "  --like ORIGINAL    (bitmaps) keep the palettes, index bytes and layout of\n"
    "                     the MOS file the bitmap came from wherever the picture\n"
    "                     still agrees with it; with --all, a folder of them,\n"
    "                     matched by name in any case\n"
    "  --fresh            (bitmaps) a fresh layout, whatever stands under the\n"
    "                     output name\n"
    "  --png              (MOS files) write PNG, named STEM.png; -o NAME.png\n"
    "                     does too\n"
    "  --small            (PNG) smaller (about 7% on photographs), three\n"
    "                     times slower\n"
    "  --force            replace an output even where that loses an edit; take\n"
    "                     tiles changed on both sides from the picture; put\n"
    "                     back a resized or mostly changed picture\n"
    "  --dither           (bitmaps) diffuse the error of quantised tiles\n"
    "                     (Floyd-Steinberg) instead of taking the nearest colour\n"
    "  --check            read each file, write nothing, and print one line per\n"
    "                     file: its size and layout ending in \"whole\", or the\n"
    "                     first reason it cannot be converted (with -q: only\n"
    "                     the files that are not whole)\n"
    "  --help, -h         print this text\n"
    "  --version          print the version\n"
    "  --                 end of options: what follows is a file name\n"
    "\n"
    "Without --all, one file is converted a run; arguments after it are\n"
    "ignored. On a terminal, a long conversion shows a line of progress. An\n"
    "archive, extracted, edited and put back in place; then a folder at once,\n"
    "printing only what went wrong:\n";

const char* const helpEnd =
    "\n"
    "A failure prints one line \"NAME: REASON\" (the input or the output, and\n"
    "why), then the final message.\n"
    "Exit status: 0 when the picture was converted or was already there (with\n"
    "--all: every one; with --check: when every file is whole; with --help or\n"
    "--version: always); 1 otherwise.";

void say(const std::string& line)
{
    std::cout << line << std::endl;
}

// The line before every failure's final message: which file, and why.
void sayWhy(const fs::path& name, const std::string& reason)
{
    say(displayName(name) + ": " + reason);
}

// An output over a thousand times its input: a few bytes that would fill a
// disk, said before the work starts.
bool isOutsized(std::uint64_t output, std::uint64_t input)
{
    return output / 1000 > input;
}

std::string outsized(std::uint64_t output, std::uint64_t input)
{
    return std::to_string(output) + " bytes will be written, over 1000 times the input's " + std::to_string(input);
}

// One line per file, in the order given (a file named twice, once); 0 when
// every file would convert.
int check(const Options& o)
{
    if (o.files.empty()) {
        say("Usage: quiltpix --check <mosfile>...");
        return 1;
    }
    int status = 0;
    for (const quiltpix::PlannedFile& planned : quiltpix::makePlan(o)) {
        if (planned.repeated)
            continue;
        const fs::path& file = planned.input;
        quiltpix::InputFile input;
        const std::string problem = input.open(file);
        if (!problem.empty()) {
            sayWhy(file, problem);
            status = 1;
            continue;
        }
        if (quiltpix::isBitmap(input)) {
            const quiltpix::PictureCheck result = quiltpix::checkPictureStream(input.stream(), input.size());
            if (!result.whole) {
                sayWhy(file, result.reason);
                status = 1;
            } else if (!o.quiet) {
                const std::uint64_t makes = quiltpix::freshMosSize(result.format.width, result.format.height);
                std::cout << displayName(file) << ": " << result.format.width << " x " << result.format.height
                          << " pixels, " << result.format.description
                          << (isOutsized(makes, input.size()) ? ", makes " + std::to_string(makes) + " bytes" : "")
                          << ": whole" << std::endl;
            }
            continue;
        }
        const quiltpix::MosCheck result = quiltpix::checkMosStream(input.stream(), input.size());
        if (result.whole) {
            if (o.quiet)
                continue;
            const quiltpix::MosHeader& h = result.header;
            const std::uint64_t makes = quiltpix::bitmapFileSize(h.width, h.height);
            std::cout << displayName(file) << ": " << h.width << " x " << h.height << " pixels, " << h.columns
                      << " x " << h.rows << " tiles, palettes at " << h.paletteOffset << ", tile data at "
                      << quiltpix::tileDataBase(h)
                      << (isOutsized(makes, input.size()) ? ", makes " + std::to_string(makes) + " bytes" : "")
                      << ": whole" << std::endl;
        } else {
            sayWhy(file, result.reason);
            status = 1;
        }
    }
    return status;
}

// The output file as the way back writes it: each piece at its place.
class OutputSink : public quiltpix::ByteSink {
public:
    explicit OutputSink(quiltpix::OutputFile& file) : file_(file) {}
    bool writeAt(std::uint64_t pos, const unsigned char* data, std::size_t n) override
    {
        return file_.writeAt(pos, data, n);
    }

private:
    quiltpix::OutputFile& file_;
};

enum class Result { converted, unchanged, failed };

Result failed(const Options& o, const fs::path& name, const std::string& reason)
{
    sayWhy(name, reason);
    if (!o.quiet)
        say("Conversion failed!");
    return Result::failed;
}

// A file written to while it was read would give a mix of two saves.
bool changedSinceOpened(const quiltpix::InputFile& file)
{
    const std::optional<quiltpix::FileStamp> now = file.stampNow();
    return !now || *now != file.stamp();
}

// What a conversion made, for the judge of what stands under the output
// name and for the record.
struct Made {
    quiltpix::Made made;
    quiltpix::RecordEntry entry; // for the output
    // The put-back: the file the picture came from stands under the output
    // name, as it was read; and what the picture's own record says after.
    std::optional<quiltpix::FileStamp> original;
    std::optional<quiltpix::RecordEntry> pictureEntry;
};

// The end of every conversion that worked: an output that already holds
// exactly these bytes is left as it is; one that holds the user's work (see
// judge.h) is kept unless --force; anything else is replaced, and only the
// very file judged (an output that appears or changes meanwhile is judged
// again). Then the record says what stands there now.
Result putInPlace(const Options& o, const quiltpix::PlannedFile& p, const quiltpix::InputFile& in,
                  quiltpix::OutputFile& file, const std::vector<std::string>& lines, const Made& made,
                  quiltpix::Records& records)
{
    bool same = false;
    for (int attempt = 0;; ++attempt) {
        const quiltpix::Judgement j = quiltpix::judgeExisting(p.output, file, made.made, records.find(p.output));
        if (made.original && (!j.stamp || !j.stamp->sameContent(*made.original)))
            return failed(o, p.output, "it changed while this run worked, so it was left as it is; run again to judge it anew");
        if (j.verdict == quiltpix::Verdict::same) {
            same = true;
            break;
        }
        if (j.verdict == quiltpix::Verdict::keep && !o.force)
            return failed(o, p.output, j.why);
        // The last moment to see that the input was written to while it
        // was read: the output would mix two saves.
        if (changedSinceOpened(in))
            return failed(o, p.input, quiltpix::changedWhileRead);
        if (file.commitOver(j.stamp))
            break;
        if (!file.changedMeanwhile() || made.original || attempt == 2)
            return failed(o, p.output, file.failure());
    }
    records.put(p.output, made.entry);
    if (made.pictureEntry)
        records.put(p.input, *made.pictureEntry);
    if (!o.quiet) {
        for (const std::string& line : lines)
            say(line);
        if (same)
            say(displayName(p.output) + ": unchanged");
    }
    return same ? Result::unchanged : Result::converted;
}

std::string lowerName(const fs::path& name)
{
    std::string s = name.filename().u8string();
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The path a record names for a file, which finds it from anywhere.
std::string recordedPath(const fs::path& file)
{
    std::error_code error;
    return fs::absolute(file, error).lexically_normal().u8string();
}

bool sameFile(const std::string& recorded, const fs::path& file)
{
    std::error_code error;
    return fs::equivalent(fs::u8path(recorded), file, error) && !error;
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

// The way back: the MOS file the picture came from is its original where
// there is one (--like's, or the one under the output name), so that what
// still agrees with it keeps its bytes; with the record of the picture's
// extraction, tile by tile, only what the user edited is taken.
Result convertBack(const Options& o, const quiltpix::PlannedFile& p, quiltpix::InputFile& in,
                   quiltpix::OutputFile& file, quiltpix::Progress& progress, quiltpix::Records& records)
{
    quiltpix::MosOptions options;
    options.dither = o.dither;
    options.takeConflicts = o.force;
    // The original the plan found, judged again now that it is read: it
    // may have changed since.
    quiltpix::InputFile originalFile;
    quiltpix::Original original;
    const std::optional<fs::path>& originalName = p.original;
    std::vector<std::string> lines;
    if (originalName) {
        const std::string problem = originalFile.open(*originalName);
        if (!problem.empty())
            return failed(o, *originalName, problem);
        const std::string why = quiltpix::judgeOriginal(originalFile.stream(), originalFile.size(), original);
        if (!why.empty())
            return failed(o, *originalName, why);
        original.data = [&originalFile](std::uint64_t from, std::uint64_t& start, std::uint64_t& end) {
            return originalFile.nextData(from, start, end);
        };
        options.original = &original;
    } else if (!p.notOriginal.empty() && o.force) {
        lines.push_back(displayName(p.output) + ": not a whole MOS file (" + p.notOriginal +
                        "), so a fresh layout replaces it");
    }
    const quiltpix::MosPlan& plan = original.plan;
    const quiltpix::PictureFormat format = quiltpix::pictureFormatOf(in.stream(), in.size());
    if (originalName && !o.force && format.width > 0 &&
        (format.width != plan.header.width || format.height != plan.header.height))
        return failed(o, p.input,
                      "it is " + std::to_string(format.width) + " x " + std::to_string(format.height) +
                          " pixels and its original " + displayName(*originalName) + " " +
                          std::to_string(plan.header.width) + " x " + std::to_string(plan.header.height) +
                          " (resized in an editor?); use --fresh to write it as a new picture, or --force");
    // What the record says of the picture's extraction from this very
    // original, if anything.
    const std::optional<quiltpix::RecordEntry> extraction = records.find(p.input);
    const bool merging = originalName && extraction && sameFile(extraction->source, *originalName) &&
                         extraction->tiles.size() == static_cast<std::size_t>(quiltpix::tileCount(plan.header)) &&
                         extraction->sourceTiles.size() == extraction->tiles.size();
    if (merging) {
        options.extracted = &extraction->tiles;
        options.originalThen = &extraction->sourceTiles;
    }
    options.progress = [&progress](int done, int total, std::uint64_t pixels) { progress.update(done, total, pixels); };
    OutputSink sink(file);
    quiltpix::MosSummary summary;
    const quiltpix::Failure failure = quiltpix::convertToMos(in.stream(), in.size(), sink, options, summary);
    progress.erase();
    switch (failure.blame) {
    case quiltpix::Blame::none: break;
    case quiltpix::Blame::input: return failed(o, p.input, failure.reason);
    case quiltpix::Blame::original: return failed(o, *originalName, failure.reason);
    case quiltpix::Blame::output:
        return failed(o, p.output, file.failure().empty() ? failure.reason : file.failure());
    }
    if (originalName && changedSinceOpened(originalFile))
        return failed(o, *originalName, quiltpix::changedWhileRead);
    const int columns = (summary.format.width + quiltpix::tileSize - 1) / quiltpix::tileSize;
    if (!summary.conflicts.empty() && !o.force)
        return failed(o, p.input,
                      std::to_string(summary.conflicts.size()) +
                          (summary.conflicts.size() == 1 ? " tile was" : " tiles were") + " changed both here and in " +
                          displayName(*originalName) + " since it was extracted (" +
                          tileList(summary.conflicts, columns) +
                          "); keep one side's change, or use --force to take the picture's");
    // An editor's 8-bit save with one palette for the whole picture, or the
    // wrong original: most tiles would change. (A picture of a few tiles may
    // well be edited whole.)
    if (summary.comparedWithOriginal && !o.force && summary.tiles >= 4 && 2 * summary.changed > summary.tiles)
        return failed(o, p.input,
                      std::to_string(summary.changed) + " of " + std::to_string(summary.tiles) +
                          " tiles differ from its original " + displayName(*originalName) +
                          (summary.format.onePalette
                               ? ": the editor saved it with one palette for the whole picture; save it as 24-bit "
                                 "to keep each tile's colours, or use --force"
                               : ": is that the right original? Name it with --like, write a new picture with "
                                 "--fresh, or use --force"));
    if (summary.translucent > 0)
        lines.push_back(displayName(p.input) + ": " + std::to_string(summary.translucent) +
                        (summary.translucent == 1 ? " pixel is" : " pixels are") +
                        " not fully opaque; MOS has no transparency, so it is dropped");
    if (originalName) {
        lines.push_back(displayName(p.input) + ": its original is " + displayName(*originalName) +
                        (merging ? "; only the tiles edited since it was extracted are taken"
                                 : "; what still agrees with it keeps its bytes"));
        if (summary.newerInOriginal > 0)
            lines.push_back(displayName(*originalName) + ": " + std::to_string(summary.newerInOriginal) +
                            (summary.newerInOriginal == 1 ? " tile" : " tiles") +
                            " changed there since the extraction, and not in the picture, kept");
        if (!summary.conflicts.empty())
            lines.push_back(displayName(p.input) + ": tiles changed on both sides taken from the picture (--force): " +
                            tileList(summary.conflicts, columns));
        if (!summary.freshLayoutReason.empty())
            lines.push_back(displayName(*originalName) + ": " + summary.freshLayoutReason);
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
    Made made;
    made.made.mos = true;
    made.made.input = &p.input;
    const std::uint64_t picture = summary.input.picture();
    made.made.pixels = quiltpix::pictureDigest(summary.format.width, summary.format.height, summary.output);
    made.entry.source = recordedPath(p.input);
    made.entry.pixels = made.made.pixels;
    made.entry.input = picture;
    made.entry.tiles = summary.output;
    made.entry.sourceTiles = summary.input.tiles();
    // After a put-back the picture and the MOS file agree: the picture's
    // record says so, and is the next put-back's extraction.
    quiltpix::RecordEntry pictureEntry;
    pictureEntry.source = recordedPath(p.output);
    pictureEntry.pixels = picture;
    pictureEntry.input = made.made.pixels;
    pictureEntry.tiles = summary.input.tiles();
    pictureEntry.sourceTiles = summary.output;
    made.pictureEntry = pictureEntry;
    if (p.originalAtOutput)
        made.original = originalFile.stamp();
    // Windows renames over a file only once nobody holds it open.
    originalFile.close();
    const Result result = putInPlace(o, p, in, file, lines, made, records);
    if (result != Result::failed && !o.quiet)
        say("Bitmap converted successfully!");
    return result;
}

// The output's format follows its name: a name -o gives must end in what is
// written (or have no extension).
std::string extensionProblem(const Options& o, const quiltpix::PlannedFile& p, bool back)
{
    if (!o.output || o.all || quiltpix::namesFolder(*o.output))
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

// One file, from opening it to its final line; `prefix` goes before its
// line of progress.
Result convertFile(const Options& o, const quiltpix::PlannedFile& p, quiltpix::Records& records,
                   const std::string& prefix = "")
{
    const fs::path& input = p.input;
    const std::shared_ptr<quiltpix::InputFile> opened = p.opened ? p.opened : std::make_shared<quiltpix::InputFile>();
    quiltpix::InputFile& in = *opened;
    const std::string problem = p.opened ? "" : in.open(input);
    if (!problem.empty()) {
        sayWhy(input, problem);
        if (!o.quiet)
            say(displayName(input) + " cannot be opened!");
        return Result::failed;
    }
    const bool back = quiltpix::isBitmap(in);
    if (back != p.bitmap)
        return failed(o, input, "it changed while the run was being planned (is a program still saving it?)");
    if (!back && (o.like || o.dither || o.fresh)) {
        const char* option = o.like ? "--like" : o.dither ? "--dither" : "--fresh";
        return failed(o, input, std::string(option) + " is for bitmaps, and this is read as a MOS file");
    }
    if (p.png && !quiltpix::pngAvailable())
        return failed(o, p.output, quiltpix::pngNeedsZlib);
    if (p.overwritesItself) {
        sayWhy(p.output, "that is the input file itself");
        if (!o.quiet)
            say("Output file would overwrite the input: " + displayName(p.output));
        return Result::failed;
    }
    const std::string badName = extensionProblem(o, p, back);
    if (!badName.empty())
        return failed(o, p.output, badName);
    quiltpix::OutputFile file;
    if (!file.open(p.output)) {
        sayWhy(p.output, file.failure());
        if (!o.quiet)
            say("Can't open output file: " + displayName(p.output));
        return Result::failed;
    }
    // Known before any work: a conversion that cannot fit is refused now,
    // not when the disk is full, and a very large output is said first.
    // (A PNG's size is known only once it is written.)
    // (Only for a file whose tables are whole: a broken one is refused with
    // its reason, not announced first.)
    const std::uint64_t need = back    ? quiltpix::mosSizeFor(in.stream(), in.size())
                               : p.png || !quiltpix::checkMosStream(in.stream(), in.size()).whole
                                   ? 0
                                   : quiltpix::bitmapSizeFor(in.stream(), in.size());
    const std::optional<std::uint64_t> room = file.freeSpace();
    if (room && need > *room)
        return failed(o, p.output,
                      "needs " + std::to_string(need) + " bytes; the disk has " + std::to_string(*room) + " free");
    if (!o.quiet && isOutsized(need, in.size()))
        say(displayName(p.output) + ": " + outsized(need, in.size()));
    quiltpix::Progress progress(!o.quiet && quiltpix::outputIsTerminal(), prefix);
    if (back)
        return convertBack(o, p, in, file, progress, records);
    std::string reason;
    quiltpix::BmpWriter bitmap(file.stream());
    quiltpix::PngWriter png(file.stream(), o.small);
    quiltpix::DigestingWriter writer(p.png ? static_cast<quiltpix::RowWriter*>(&png) : &bitmap);
    const bool converted = quiltpix::convertMos(
        in.stream(), in.size(), writer, o.quiet ? nullptr : &std::cout, &reason,
        [&progress](int done, int total, std::uint64_t pixels) { progress.update(done, total, pixels); });
    progress.erase();
    if (converted) {
        Made made;
        made.made.pixels = writer.digests().picture();
        made.made.input = &p.input;
        made.entry.source = recordedPath(p.input);
        made.entry.pixels = made.entry.input = made.made.pixels;
        made.entry.tiles = made.entry.sourceTiles = writer.digests().tiles();
        const Result result = putInPlace(o, p, in, file, {}, made, records);
        if (result != Result::failed && !o.quiet)
            say("Mos file converted successfully!");
        return result;
    }
    // A write that failed is the output's problem, in the system's words;
    // anything else is the input's.
    if (reason != quiltpix::writeFailed)
        return failed(o, input, reason);
    return failed(o, p.output, file.failure().empty() ? reason : file.failure());
}

// The folder -o names (with --all, or ending in '/'), made if missing, one
// folder at a time under the link rule; false, having said why, if it cannot.
bool makeOutputFolder(const Options& o)
{
    if (!o.output || !(o.all || quiltpix::namesFolder(*o.output)))
        return true;
    const std::string why = quiltpix::makeFolders(*o.output);
    if (why.empty())
        return true;
    sayWhy(*o.output, why);
    if (!o.quiet)
        say("Can't open output folder: " + displayName(*o.output));
    return false;
}

int convert(const Options& o)
{
    Options one = o;
    if (o.files.size() > 1) {
        const std::size_t extra = o.files.size() - 1;
        say(std::to_string(extra) + (extra == 1 ? " more argument" : " more arguments") +
            " ignored: one file is converted a run. To convert them all, use --all: quiltpix --all FILE...");
        one.files.resize(1);
    }
    if (!makeOutputFolder(one))
        return 1;
    quiltpix::Records records;
    return convertFile(one, quiltpix::makePlan(one).front(), records) == Result::failed ? 1 : 0;
}

// Every file named (a file named twice, once), each as a run of its own
// would, going on after a failure; one line of counts at the end.
int convertAll(const Options& o)
{
    if (!makeOutputFolder(o))
        return 1;
    const std::vector<quiltpix::PlannedFile> plan = quiltpix::makePlan(o);
    std::size_t converted = 0, unchanged = 0, failures = 0, total = 0;
    quiltpix::Records records;
    // What the plan refuses is said before any work.
    for (const quiltpix::PlannedFile& p : plan) {
        if (p.repeated)
            continue;
        ++total;
        if (!p.refusal.empty()) {
            sayWhy(p.input, p.refusal);
            ++failures;
        }
    }
    const std::size_t toDo = total - failures;
    std::size_t turn = 0;
    for (const quiltpix::PlannedFile& p : plan) {
        if (p.repeated || !p.refusal.empty())
            continue;
        ++turn;
        const std::string counter = "[" + std::to_string(turn) + "/" + std::to_string(toDo) + "] ";
        if (!o.quiet)
            say(counter + displayName(p.input) + " -> " + displayName(p.output));
        switch (convertFile(o, p, records, counter)) {
        case Result::converted: ++converted; break;
        case Result::unchanged: ++unchanged; break;
        case Result::failed: ++failures; break;
        }
    }
    if (!o.quiet || failures > 0)
        say(std::to_string(converted) + " converted, " + std::to_string(unchanged) + " unchanged, " +
            std::to_string(failures) + " failed");
    return failures == 0 ? 0 : 1;
}

int run(int argc, char* argv[])
{
    quiltpix::ignoreWriteSignals();
    quiltpix::prepareConsole();
#ifdef QUILTPIX_SCALAR_LOOKUP
    // A build for the benchmark, which measures the fallback kernel on a
    // machine that has a faster one.
    quiltpix::setLookupKernel(quiltpix::lookupScalar);
#endif
    const Options o = quiltpix::parse(quiltpix::commandLine(argc, argv));
    if (!o.quiet)
        say("Quiltpix v1.0 by Wenderby");
    if (!o.error.empty()) {
        say(o.error);
        say(usageLine);
        say(helpPointer);
        return 1;
    }
    if (o.help) {
        say(std::string(helpText) + quiltpix::shellExamples() + helpEnd);
        return 0;
    }
    if (o.version) {
        say(std::string("quiltpix ") + QUILTPIX_VERSION + ", MIT licence");
        return 0;
    }
    if (o.check)
        return check(o);
    if (o.files.empty()) {
        say(usageLine);
        say(helpPointer);
        return 1;
    }
    return o.all ? convertAll(o) : convert(o);
}

} // namespace

int main(int argc, char* argv[])
{
    try {
        return run(argc, argv);
    } catch (const std::exception&) {
        // Out of memory for a path string, or similar: still no partial output,
        // since the output file's destructor has removed its temporary.
        std::cout << "Conversion failed!" << std::endl;
        return 1;
    }
}
