// quiltpix: converts one MOS tiled picture into a 24-bit BMP beside it.
#include "convert.h"
#include "lookup.h"
#include "output_file.h"
#include "output_name.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>

namespace {

const char* const helpText =
    "Usage: quiltpix <mosfile>\n"
    "       quiltpix --check <mosfile>...\n"
    "       quiltpix --help | -h | --version\n"
    "\n"
    "Converts a MOS tiled picture into an uncompressed 24-bit BMP. The output\n"
    "name is the path cut at its last '.' (anywhere in it, unless it is the\n"
    "first character) with \".bmp\" appended: pics/harbour.mos gives\n"
    "pics/harbour.bmp, maps.old/tiles gives maps.bmp. Arguments after the\n"
    "first are ignored: convert many files with a loop.\n"
    "\n"
    "  --check    read each file, write nothing, and print one line per file:\n"
    "             its size, tiles and layout ending in \"whole\", or the first\n"
    "             reason it cannot be converted\n"
    "  --help     print this text\n"
    "  --version  print the version\n"
    "\n"
    "Exit status: 0 when the picture was converted (with --check: when every\n"
    "file is whole; with --help or --version: always); 1 otherwise.\n"
    "A file named like an option is reached as ./--help.";

// Only a regular file counts: a directory opens for reading on some systems, a
// FIFO would make us wait, and a device is not a picture.
bool canOpenForReading(const std::string& path)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return false;
    std::ifstream check(path, std::ios::binary);
    return static_cast<bool>(check);
}

// The same file under another name, through a link or as the very same path:
// opening it for writing would destroy the input before it is read.
bool isSameFile(const std::string& input, const std::string& output)
{
    std::error_code error;
    return std::filesystem::equivalent(input, output, error) && !error;
}

// One line per file, in the order given; 0 when every file would convert.
int check(int argc, char* argv[])
{
    if (argc < 3) {
        std::cout << "Usage: quiltpix --check <mosfile>..." << std::endl;
        return 1;
    }
    int status = 0;
    for (int i = 2; i < argc; ++i) {
        const quiltpix::MosCheck result = quiltpix::checkMosFile(argv[i]);
        std::cout << argv[i] << ": ";
        if (result.whole) {
            const quiltpix::MosHeader& h = result.header;
            std::cout << h.width << " x " << h.height << " pixels, " << h.columns << " x " << h.rows
                      << " tiles, palettes at " << h.paletteOffset << ", tile data at " << quiltpix::tileDataBase(h)
                      << ": whole" << std::endl;
        } else {
            std::cout << result.reason << std::endl;
            status = 1;
        }
    }
    return status;
}

int convert(const std::string& input)
{
    if (!canOpenForReading(input)) {
        std::cout << input << " cannot be opened!" << std::endl;
        return 1;
    }
    const std::string output = quiltpix::makeOutputName(input);
    if (isSameFile(input, output)) {
        std::cout << "Output file would overwrite the input: " << output << std::endl;
        return 1;
    }
    quiltpix::OutputFile file;
    if (!file.open(output)) {
        std::cout << "Can't open output file: " << output << std::endl;
        return 1;
    }
    if (quiltpix::convertToBitmap(input, file.stream()) && file.commit()) {
        std::cout << "Mos file converted successfully!" << std::endl;
        return 0;
    }
    std::cout << "Conversion failed!" << std::endl;
    return 1;
}

int run(int argc, char* argv[])
{
    quiltpix::ignoreWriteSignals();
#ifdef QUILTPIX_SCALAR_LOOKUP
    // A build for the benchmark, which measures the fallback kernel on a
    // machine that has a faster one.
    quiltpix::setLookupKernel(quiltpix::lookupScalar);
#endif
    std::cout << "Quiltpix v1.0 by Wenderby" << std::endl;
    if (argc < 2) {
        std::cout << "Usage: quiltpix <mosfile>" << std::endl;
        return 1;
    }
    // Options are recognised only as the first argument; anything else there
    // is a file, as it always was.
    const std::string first = argv[1];
    if (first == "--help" || first == "-h") {
        std::cout << helpText << std::endl;
        return 0;
    }
    if (first == "--version") {
        std::cout << "quiltpix 1.0, MIT licence" << std::endl;
        return 0;
    }
    if (first == "--check")
        return check(argc, argv);
    return convert(first);
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
