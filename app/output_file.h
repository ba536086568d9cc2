#pragma once

#include <filesystem>
#include <fstream>
#include <string>

namespace quiltpix {

// The output file, written under a hidden temporary name in the same directory
// and renamed into place only once it is complete, so that no half-written
// bitmap ever stands under the output name and an existing file survives a
// failed conversion untouched. If the output name is a symbolic link, the file
// it points to is the one replaced.
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile(); // discards the temporary file unless commit() succeeded

    // False when the output name cannot take a file: its directory is missing
    // or not writable, or it names a directory, a device or a read-only file.
    bool open(const std::string& outputName);
    std::ostream& stream() { return stream_; }
    // Closes the stream and renames the file into place; false if either fails.
    bool commit();

private:
    std::filesystem::path target_;
    std::filesystem::path temporary_;
    std::ofstream stream_;
    bool committed_ = false;
};

} // namespace quiltpix
