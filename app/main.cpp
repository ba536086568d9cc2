// quiltpix: converts one MOS tiled picture into a 24-bit BMP, or a bitmap
// back into a MOS file.
#include "bitmap_reader.h"
#include "console.h"
#include "folders.h"
#include "input_file.h"
#include "to_bitmap.h"
#include "lookup.h"
#include "output_file.h"
#include "output_name.h"
#include "to_mos.h"

#include <filesystem>
#include <iostream>
#include <map>
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

const char* const usageLine = "Usage: quiltpix <mosfile>";
const char* const helpPointer = "Run 'quiltpix --help' for the options and more forms.";

const char* const helpText =
    "Usage: quiltpix [-q] [-o PATH] <mosfile>\n"
    "       quiltpix [-q] [-o PATH] [--like ORIGINAL.mos] [--dither] <bitmap>\n"
    "       quiltpix --all [-q] [-o FOLDER] <file>...\n"
    "       quiltpix [-q] --check <file>...\n"
    "       quiltpix --help | -h | --version\n"
    "\n"
    "Converts a MOS tiled picture into an uncompressed 24-bit BMP, and a bitmap\n"
    "(a file that begins with \"BM\") back into a MOS file. The output name is\n"
    "the path cut at its last '.' (anywhere in it, unless it is the first\n"
    "character) with \".bmp\" or \".mos\" appended: pics/harbour.mos gives\n"
    "pics/harbour.bmp, pics/harbour.bmp gives pics/harbour.mos.\n"
    "\n"
    "On the way back, a tile of at most 256 colours keeps them exactly; any\n"
    "other gets the 256 colours that fit it best, and the line printed says\n"
    "how many tiles were quantised and how close they came (PSNR).\n"
    "\n"
    "  -o, --output PATH  write the output to PATH; if PATH is a folder (or\n"
    "                     ends in '/'), into it, named after the input's file\n"
    "                     name: -o out/ scans/tile_a.mos gives out/tile_a.bmp.\n"
    "                     A PATH with no '/' at the end that does not exist is\n"
    "                     a file name: write out/ to mean a folder\n"
    "  --all              convert every file named, each as a run of its own\n"
    "                     would, going on after a failure, and end with one\n"
    "                     line \"N converted, M failed\"; with -o, PATH is a\n"
    "                     folder, made if it does not exist. Two files that\n"
    "                     would write the same output are both refused\n"
    "  -q, --quiet        print nothing on success; on failure only the line\n"
    "                     that names the file and the reason (with --all, the\n"
    "                     count line too when something failed)\n"
    "  --like ORIGINAL    (bitmaps) keep the palettes, index bytes and layout of\n"
    "                     the MOS file the bitmap came from wherever the picture\n"
    "                     still agrees with it: an unedited bitmap gives the\n"
    "                     original back byte for byte\n"
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
    "ignored. A folder at once, printing only what went wrong:\n";

const char* const helpEnd =
    "\n"
    "A failure prints one line \"NAME: REASON\" (the input or the output, and\n"
    "why), then the final message.\n"
    "Exit status: 0 when the picture was converted (with --all: every one;\n"
    "with --check: when every file is whole; with --help or --version:\n"
    "always); 1 otherwise.";

struct Options {
    bool quiet = false;
    bool check = false;
    bool help = false;
    bool version = false;
    bool dither = false;
    bool all = false;
    std::optional<fs::path> output;
    std::optional<fs::path> like;
    std::vector<fs::path> files;
    std::string error; // an unknown option, or one without its value
};

// Options come first and combine; "--" ends them, and so does the first file.
// A file named like an option is reached as ./-x or after "--".
Options parse(const std::vector<fs::path>& arguments)
{
    Options o;
    std::size_t i = 1;
    for (; i < arguments.size(); ++i) {
        const std::string a = displayName(arguments[i]);
        if (a == "--") {
            ++i;
            break;
        }
        if (a.size() < 2 || a[0] != '-')
            break;
        if (a == "-q" || a == "--quiet") {
            o.quiet = true;
        } else if (a == "--check") {
            o.check = true;
        } else if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "-o" || a == "--output") {
            if (i + 1 == arguments.size()) {
                o.error = "Option " + a + " needs a path";
                return o;
            }
            o.output = arguments[++i];
        } else if (a.rfind("--output=", 0) == 0) {
            o.output = fs::path(arguments[i].native().substr(9));
        } else if (a == "--dither") {
            o.dither = true;
        } else if (a == "--all") {
            o.all = true;
        } else if (a == "--like") {
            if (i + 1 == arguments.size()) {
                o.error = "Option --like needs a path";
                return o;
            }
            o.like = arguments[++i];
        } else if (a.rfind("--like=", 0) == 0) {
            o.like = fs::path(arguments[i].native().substr(7));
        } else {
            o.error = "Unknown option: " + a;
            return o;
        }
    }
    o.files.assign(arguments.begin() + static_cast<std::ptrdiff_t>(std::min(i, arguments.size())), arguments.end());
    if (o.all && o.like)
        o.error = "Option --like names the original of one bitmap; it does not go with --all";
    return o;
}

void say(const std::string& line)
{
    std::cout << line << std::endl;
}

// The line before every failure's final message: which file, and why.
void sayWhy(const fs::path& name, const std::string& reason)
{
    say(displayName(name) + ": " + reason);
}

// A file that begins with "BM" goes the way back; anything else is read as
// a MOS file, whose first bytes are never examined.
bool isBitmap(quiltpix::InputFile& file)
{
    std::istream& in = file.stream();
    unsigned char head[2] = {};
    in.seekg(0);
    in.read(reinterpret_cast<char*>(head), 2);
    const bool bitmap = in.gcount() == 2 && quiltpix::looksLikeBitmap(head, 2);
    in.clear();
    in.seekg(0);
    return bitmap;
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

// One line per file, in the order given; 0 when every file would convert.
int check(const Options& o)
{
    if (o.files.empty()) {
        say("Usage: quiltpix --check <mosfile>...");
        return 1;
    }
    int status = 0;
    for (const fs::path& file : o.files) {
        quiltpix::InputFile input;
        const std::string problem = input.open(file);
        if (!problem.empty()) {
            sayWhy(file, problem);
            status = 1;
            continue;
        }
        if (isBitmap(input)) {
            const quiltpix::BitmapCheck result = quiltpix::checkBitmapStream(input.stream(), input.size());
            if (!result.whole) {
                sayWhy(file, result.reason);
                status = 1;
            } else if (!o.quiet) {
                const std::uint64_t makes = quiltpix::freshMosSize(result.format.width, result.format.height);
                std::cout << displayName(file) << ": " << result.format.width << " x " << result.format.height
                          << " pixels, " << result.format.describe()
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

// The same file under another name, through a link or as the very same path:
// writing it would destroy the input before it is read.
bool isSameFile(const fs::path& input, const fs::path& output)
{
    std::error_code error;
    return fs::equivalent(input, output, error) && !error;
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

int convertBack(const Options& o, const fs::path& input, quiltpix::InputFile& in, const fs::path& output,
                quiltpix::OutputFile& file)
{
    auto fail = [&o](const fs::path& name, const std::string& reason) {
        sayWhy(name, reason);
        if (!o.quiet)
            say("Conversion failed!");
        return 1;
    };
    quiltpix::MosOptions options;
    options.dither = o.dither;
    quiltpix::InputFile original;
    if (o.like) {
        const std::string problem = original.open(*o.like);
        if (!problem.empty())
            return fail(*o.like, problem);
        if (isSameFile(*o.like, output))
            return fail(*o.like, "the original would be replaced by the output; write the output elsewhere");
        options.like = &original.stream();
        options.likeSize = original.size();
        options.likeData = [&original](std::uint64_t from, std::uint64_t& start, std::uint64_t& end) {
            return original.nextData(from, start, end);
        };
    }
    OutputSink sink(file);
    quiltpix::MosSummary summary;
    bool likeFault = false;
    const std::string reason = quiltpix::convertToMos(in.stream(), in.size(), sink, options, summary, &likeFault);
    if (!reason.empty() || !file.commit()) {
        if (reason.empty() || reason == quiltpix::mosWriteFailed)
            return fail(output, file.failure().empty() ? reason : file.failure());
        return fail(likeFault ? *o.like : input, reason);
    }
    if (!o.quiet) {
        if (summary.translucent > 0)
            say(displayName(input) + ": " + std::to_string(summary.translucent) +
                (summary.translucent == 1 ? " pixel is" : " pixels are") +
                " not fully opaque; MOS has no transparency, so it is dropped");
        if (!summary.freshLayoutReason.empty())
            say(displayName(*o.like) + ": " + summary.freshLayoutReason);
        if (summary.droppedTail > 0)
            say(displayName(*o.like) + ": the " + std::to_string(summary.droppedTail) +
                " bytes it holds more than 1 MiB past the picture's last byte were not copied");
        say(summary.line());
        say("Done");
        say("Bitmap converted successfully!");
    }
    return 0;
}

// Where one input's output goes: beside it, or as -o says (with --all,
// always into that folder).
fs::path outputFor(const Options& o, const fs::path& input, bool back)
{
    const char* extension = back ? ".mos" : ".bmp";
    if (!o.output)
        return quiltpix::makeOutputName(input, extension);
    if (o.all || quiltpix::namesFolder(*o.output))
        return quiltpix::outputNameInFolder(*o.output, input, extension);
    return *o.output;
}

// One file, from opening it to its final line; 0 when it was converted.
int convertFile(const Options& o, const fs::path& input)
{
    quiltpix::InputFile in;
    const std::string problem = in.open(input);
    if (!problem.empty()) {
        sayWhy(input, problem);
        if (!o.quiet)
            say(displayName(input) + " cannot be opened!");
        return 1;
    }
    const bool back = isBitmap(in);
    if (!back && (o.like || o.dither)) {
        sayWhy(input, std::string(o.like ? "--like" : "--dither") + " is for bitmaps, and this is read as a MOS file");
        if (!o.quiet)
            say("Conversion failed!");
        return 1;
    }
    const fs::path output = outputFor(o, input, back);
    if (isSameFile(input, output)) {
        sayWhy(output, "that is the input file itself");
        if (!o.quiet)
            say("Output file would overwrite the input: " + displayName(output));
        return 1;
    }
    quiltpix::OutputFile file;
    if (!file.open(output)) {
        sayWhy(output, file.failure());
        if (!o.quiet)
            say("Can't open output file: " + displayName(output));
        return 1;
    }
    // Known before any work: a conversion that cannot fit is refused now,
    // not when the disk is full, and a very large output is said first.
    const std::uint64_t need = back ? quiltpix::mosSizeFor(in.stream(), in.size())
                                    : quiltpix::bitmapSizeFor(in.stream(), in.size());
    const std::optional<std::uint64_t> room = file.freeSpace();
    if (room && need > *room) {
        sayWhy(output, "needs " + std::to_string(need) + " bytes; the disk has " + std::to_string(*room) + " free");
        if (!o.quiet)
            say("Conversion failed!");
        return 1;
    }
    if (!o.quiet && isOutsized(need, in.size()))
        say(displayName(output) + ": " + outsized(need, in.size()));
    if (back)
        return convertBack(o, input, in, output, file);
    std::string reason;
    const bool converted =
        quiltpix::convertMosStream(in.stream(), in.size(), file.stream(), o.quiet ? nullptr : &std::cout, &reason);
    if (converted && file.commit()) {
        if (!o.quiet)
            say("Mos file converted successfully!");
        return 0;
    }
    // A write that failed is the output's problem, in the system's words;
    // anything else is the input's.
    if (!converted && reason != quiltpix::writeFailed)
        sayWhy(input, reason);
    else
        sayWhy(output, file.failure().empty() ? reason : file.failure());
    if (!o.quiet)
        say("Conversion failed!");
    return 1;
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
    if (o.files.size() > 1) {
        const std::size_t extra = o.files.size() - 1;
        say(std::to_string(extra) + (extra == 1 ? " more argument" : " more arguments") +
            " ignored: one file is converted a run. To convert them all, use --all: quiltpix --all FILE...");
    }
    if (!makeOutputFolder(o))
        return 1;
    return convertFile(o, o.files.front());
}

// Every file named, each as a run of its own would, going on after a
// failure; one line of counts at the end.
int convertAll(const Options& o)
{
    if (!makeOutputFolder(o))
        return 1;
    // Two inputs that would write one output are both refused before any
    // work, so neither silently replaces the other's.
    const std::size_t n = o.files.size();
    std::vector<fs::path> outputs(n);
    std::map<fs::path, std::vector<std::size_t>> byOutput;
    for (std::size_t i = 0; i < n; ++i) {
        quiltpix::InputFile in;
        const bool back = in.open(o.files[i]).empty() && isBitmap(in);
        outputs[i] = outputFor(o, o.files[i], back);
        std::error_code error;
        const fs::path absolute = fs::absolute(outputs[i], error);
        byOutput[(error ? outputs[i] : absolute).lexically_normal()].push_back(i);
    }
    std::vector<bool> refused(n, false);
    for (const auto& [name, inputs] : byOutput) {
        if (inputs.size() < 2)
            continue;
        for (std::size_t i : inputs) {
            std::string others;
            for (std::size_t j : inputs)
                if (j != i)
                    others += (others.empty() ? "" : ", ") + displayName(o.files[j]);
            sayWhy(o.files[i], displayName(outputs[i]) + " would also be written from " + others +
                                   "; neither is converted");
            refused[i] = true;
        }
    }
    std::size_t converted = 0, failed = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (refused[i])
            ++failed;
        else if (convertFile(o, o.files[i]) == 0)
            ++converted;
        else
            ++failed;
    }
    if (!o.quiet || failed > 0)
        say(std::to_string(converted) + " converted, " + std::to_string(failed) + " failed");
    return failed == 0 ? 0 : 1;
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
    const Options o = parse(quiltpix::commandLine(argc, argv));
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
