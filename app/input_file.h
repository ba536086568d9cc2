#pragma once

#include <cstdint>
#include <filesystem>
#include <istream>
#include <memory>
#include <string>

namespace quiltpix {

// The input, opened once and read only through what was opened: it is
// judged by the open file itself (a regular file, or refused), so nobody
// can swap the name for a FIFO or another file between a check and the
// reads, and a FIFO never blocks the run.
class InputFile {
public:
    InputFile();
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // "" when the file is open; otherwise why not, in the system's words
    // ("No such file or directory", "Permission denied"), "Is a directory",
    // or "not a regular file" for a FIFO, a socket or a device.
    std::string open(const std::filesystem::path& path);
    std::istream& stream();
    std::uint64_t size() const;
    // The first run of the file's data at or after `from`, [start, end),
    // passing over holes where the system tells them apart (elsewhere the
    // rest of the file is one run); false when nothing but holes is left.
    bool nextData(std::uint64_t from, std::uint64_t& start, std::uint64_t& end) const;
    // When the file was last changed, in the system's units (comparable with
    // OutputFile::existingModified()).
    std::int64_t modified() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

} // namespace quiltpix
