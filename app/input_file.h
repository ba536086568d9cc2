#pragma once

#include <cstdint>
#include <filesystem>
#include <istream>
#include <memory>
#include <optional>
#include <string>

namespace quiltpix {

// One state of one file: which file it is, its size and its times. Two
// stamps that agree say nobody wrote to the file in between (as far as the
// system's clock can tell).
struct FileStamp {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modified = 0; // in the system's units
    std::int64_t changed = 0;  // the inode's change time (a rename changes it too)

    bool sameFile(const FileStamp& o) const { return device == o.device && inode == o.inode; }
    // The same file with the same bytes, whatever has happened to its name.
    bool sameContent(const FileStamp& o) const { return sameFile(o) && size == o.size && modified == o.modified; }
    bool operator==(const FileStamp& o) const { return sameContent(o) && changed == o.changed; }
    bool operator!=(const FileStamp& o) const { return !(*this == o); }
};

// Now, in the units of FileStamp's times, and how many of them make a second.
std::int64_t fileTimeNow();
std::int64_t fileTicksPerSecond();

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
    // The file as it was opened, and as it is now (nothing if that cannot
    // be told): a file that is still being saved shows in the difference.
    const FileStamp& stamp() const;
    std::optional<FileStamp> stampNow() const;
    // Lets the file go before its time, so that its name can be replaced
    // (Windows refuses to rename over an open file).
    void close();

    struct State;

private:
    std::unique_ptr<State> state_;
};

} // namespace quiltpix
