// quiltpix: converts one MOS tiled picture into a 24-bit BMP beside it.
#include "convert.h"
#include "output_file.h"
#include "output_name.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>

namespace {

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

int run(int argc, char* argv[])
{
    quiltpix::ignoreWriteSignals();
    std::cout << "Quiltpix v1.0 by Wenderby" << std::endl;
    if (argc < 2) {
        std::cout << "Usage: quiltpix <mosfile>" << std::endl;
        return 1;
    }
    const std::string input = argv[1];
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
