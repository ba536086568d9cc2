#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace quiltpix {

// A folder's record file, as the system keeps it: read whole, and appended
// to (or replaced) under a lock so that runs side by side do not mix their
// lines. Trusted only when it belongs to the user running or to root and
// nobody else may write to it; an untrusted one is neither read nor written.
struct RecordText {
    bool exists = false;
    bool trusted = false;
    std::string text; // the first `limit` bytes of a trusted file
};
RecordText readRecordFile(const std::filesystem::path& path, std::uint64_t limit);

// Appends `lines` (made when the file is new with `header` first). When the
// file then holds more than `compactAbove` bytes, `compact` is given all it
// holds (at most `limit` bytes) and its answer replaces the file. False when
// nothing could be written.
bool appendRecordFile(const std::filesystem::path& path, const std::string& header, const std::string& lines,
                      std::uint64_t compactAbove, std::uint64_t limit,
                      const std::function<std::string(const std::string&)>& compact);

} // namespace quiltpix
