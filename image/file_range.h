// Reading byte ranges of an input whose length is known, so that no range
// taken from the file's own fields is used before it is checked.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

namespace quiltpix {

inline const char* const unreadable = "the file could not be read";

// True when [pos, pos + length) lies within a file of size bytes; written so
// that nothing can wrap.
inline bool fits(std::uint64_t pos, std::uint64_t length, std::uint64_t size)
{
    return pos <= size && length <= size - pos;
}

// Callers have checked with fits() first; the byte count is checked again in
// case the file shrank since its size was taken.
inline bool readAt(std::istream& in, std::uint64_t pos, unsigned char* dst, std::uint64_t length)
{
    in.clear();
    in.seekg(static_cast<std::streamoff>(pos));
    if (!in)
        return false;
    in.read(reinterpret_cast<char*>(dst), static_cast<std::streamsize>(length));
    return static_cast<std::uint64_t>(in.gcount()) == length;
}

// "the palette table needs bytes 24 to 1048; the file ends at 900"
inline std::string needs(const std::string& region, std::uint64_t pos, std::uint64_t length, std::uint64_t size)
{
    return region + " needs bytes " + std::to_string(pos) + " to " + std::to_string(pos + length) +
           "; the file ends at " + std::to_string(size);
}

} // namespace quiltpix
