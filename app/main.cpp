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
#include "job.h"
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
using quiltpix::say;

const char* const usageLine = "Usage: quiltpix <mosfile>";
const char* const helpPointer = "Run 'quiltpix --help' for the options and more forms.";

const char* const helpText =
    "Usage: quiltpix [-q] [--force] [--png [--small]] [-o PATH] <mosfile>\n"
    "       quiltpix [-q] [--force] [-o PATH] [--like ORIGINAL.mos | --fresh] [--dither] <bitmap or PNG>\n"
    "       quiltpix --all [-q] [-n] [--force] [--png [--small]] [-o FOLDER] [--like FOLDER | --fresh] <folder or file>...\n"
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
    "  --all              bring a folder up to date: --all FOLDER takes its\n"
    "                     .mos, .bmp and .png files in any case (not the\n"
    "                     folders in it). A MOS file and its picture are one\n"
    "                     job: the side that changed since the record says\n"
    "                     they agreed goes to the other; both changed is\n"
    "                     refused. Each file gets one line, \"[n/N] INPUT ->\n"
    "                     OUTPUT: converted\", \"unchanged\" or the reason, and\n"
    "                     \"N converted, U unchanged, M failed\" ends the run;\n"
    "                     with -o, PATH is a folder, made if it does not\n"
    "                     exist. Two files that would write the same output\n"
    "                     are both refused. Ctrl-C ends it with \"interrupted\n"
    "                     after n of N\"\n"
    "  -n, --dry-run      judge everything as the run would and print its\n"
    "                     lines (\"would be converted\"); write nothing\n"
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
    "archive brought up to date both ways (extracted, then the edits put\n"
    "back), first as a dry run; then files named, printing only what went\n"
    "wrong:\n";

const char* const helpEnd =
    "\n"
    "A failure prints one line \"NAME: REASON\" (the input or the output, and\n"
    "why), then the final message.\n"
    "Exit status: 0 when the picture was converted or was already there (with\n"
    "--all: every one; with --check: when every file is whole; with --help or\n"
    "--version: always); 1 otherwise.";

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

// The line that ends a run of several files (or a dry run).
std::string counts(const Options& o, std::size_t converted, std::size_t unchanged, std::size_t failures)
{
    return std::string(o.dryRun ? "dry run, nothing written: " : "") + std::to_string(converted) +
           (o.dryRun ? " would be converted, " : " converted, ") + std::to_string(unchanged) + " unchanged, " +
           std::to_string(failures) + " failed";
}

// The one line of a file under --all or in a dry run.
void tell(const Options& o, const std::string& what, quiltpix::Result result, const quiltpix::Teller& t)
{
    if (o.quiet)
        return;
    switch (result) {
    case quiltpix::Result::converted:
        say(what + ": " + (o.dryRun ? "would be converted" : "converted") +
            (t.details().empty() ? "" : " (" + t.details() + ")"));
        break;
    case quiltpix::Result::unchanged: say(what + ": unchanged"); break;
    case quiltpix::Result::failed: say(what + ": " + t.why()); break;
    }
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
    if (!o.dryRun && !makeOutputFolder(one))
        return 1;
    quiltpix::Records records;
    const quiltpix::PlannedFile p = quiltpix::makePlan(one).front();
    quiltpix::Teller t(one, one.dryRun);
    const quiltpix::Result result = quiltpix::convertFile(one, p, records, t);
    if (one.dryRun)
        tell(one, displayName(p.input) + " -> " + displayName(p.output), result, t);
    return result == quiltpix::Result::failed ? 1 : 0;
}

// Every file named (a folder: the pictures in it), each job as a run of its
// own would judge it, going on after a failure; one line a file, and one
// line of counts at the end.
int convertAll(const Options& o)
{
    if (!o.dryRun && !makeOutputFolder(o))
        return 1;
    const std::vector<quiltpix::PlannedFile> plan = quiltpix::makePlan(o);
    std::size_t converted = 0, unchanged = 0, failures = 0, total = 0;
    quiltpix::Records records;
    // What the plan refuses is said before any work.
    for (const quiltpix::PlannedFile& p : plan) {
        if (p.repeated || p.inPair)
            continue;
        ++total;
        if (!p.refusal.empty()) {
            if (!o.quiet)
                say(displayName(p.input) + ": " + p.refusal);
            else
                sayWhy(p.input, p.refusal);
            ++failures;
        }
    }
    const std::size_t toDo = total - failures;
    std::size_t turn = 0;
    quiltpix::RunProgress run;
    run.files = static_cast<int>(toDo);
    for (const quiltpix::PlannedFile& p : plan) {
        std::error_code error;
        if (!p.repeated && !p.inPair && p.refusal.empty())
            run.bytes += fs::file_size(p.input, error);
    }
    // Ctrl-C (or SIGTERM) between or during files ends the run with a line
    // that says how far it got; the file being made is never left behind.
    const std::string clear = quiltpix::outputIsTerminal() ? "\r" + std::string(100, ' ') + "\r" : "";
    // `more`: the file being converted was just put in place.
    const auto interruptionLine = [&](std::size_t more) {
        return clear + "interrupted after " + std::to_string(turn + more) + " of " + std::to_string(toDo) + ": " +
               std::to_string(converted + more) + " converted, " + std::to_string(unchanged) + " unchanged\n";
    };
    quiltpix::setInterruptionLine(interruptionLine(0));
    for (const quiltpix::PlannedFile& mine : plan) {
        if (mine.repeated || mine.inPair || !mine.refusal.empty())
            continue;
        const std::string counter = "[" + std::to_string(turn + 1) + "/" + std::to_string(toDo) + "] ";
        quiltpix::Teller t(o, true);
        t.committed = [&] { quiltpix::setInterruptionLine(interruptionLine(1)); };
        const quiltpix::PlannedFile* job = &mine;
        quiltpix::Result result = quiltpix::Result::unchanged;
        std::string what = counter + displayName(mine.input) + " -> " + displayName(mine.output);
        bool decided = false;
        if (mine.partner) {
            const quiltpix::PlannedFile& picture = plan[*mine.partner];
            const quiltpix::PairDecision d = quiltpix::decidePair(mine, picture, records, o.dryRun);
            if (d.way == quiltpix::PairDecision::Way::back) {
                job = &picture;
                what = counter + displayName(picture.input) + " -> " + displayName(picture.output);
            } else if (d.way != quiltpix::PairDecision::Way::forward) {
                what = counter + displayName(mine.input) + " <-> " + displayName(picture.input);
                result = d.way == quiltpix::PairDecision::Way::unchanged ? quiltpix::Result::unchanged
                                                                          : quiltpix::Result::failed;
                if (result == quiltpix::Result::failed && !o.quiet)
                    say(what + ": " + d.why);
                else if (result == quiltpix::Result::failed)
                    say(d.why);
                else
                    tell(o, what, result, t);
                decided = true;
            }
        }
        if (!decided) {
            result = quiltpix::convertFile(o, *job, records, t, counter, &run);
            tell(o, what, result, t);
        }
        switch (result) {
        case quiltpix::Result::converted: ++converted; break;
        case quiltpix::Result::unchanged: ++unchanged; break;
        case quiltpix::Result::failed: ++failures; break;
        }
        ++turn;
        ++run.filesDone;
        std::error_code error;
        run.bytesDone += fs::file_size(mine.input, error);
        quiltpix::setInterruptionLine(interruptionLine(0));
    }
    quiltpix::setInterruptionLine("");
    if (!o.quiet || failures > 0)
        say(counts(o, converted, unchanged, failures));
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
