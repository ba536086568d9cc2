// A file already in memory, read through the same stream interface as a
// file on disk: the readers seek and read, and never see past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <streambuf>

namespace quiltpix {

class MemoryBuffer : public std::streambuf {
public:
    MemoryBuffer(const void* data, std::size_t size)
    {
        // The get area is the caller's bytes, never written through.
        char* begin = const_cast<char*>(static_cast<const char*>(data));
        setg(begin, begin, begin + size);
    }

protected:
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override
    {
        if (!(which & std::ios_base::in))
            return pos_type(off_type(-1));
        const off_type base = dir == std::ios_base::beg ? 0 : dir == std::ios_base::cur ? gptr() - eback()
                                                                                         : egptr() - eback();
        return seekpos(pos_type(base + off), which);
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override
    {
        const off_type at = off_type(pos);
        if (!(which & std::ios_base::in) || at < 0 || at > egptr() - eback())
            return pos_type(off_type(-1));
        setg(eback(), eback() + at, egptr());
        return pos;
    }
};

class MemoryStream : public std::istream {
public:
    MemoryStream(const void* data, std::size_t size) : std::istream(nullptr), buffer_(data, size) { rdbuf(&buffer_); }

private:
    MemoryBuffer buffer_;
};

} // namespace quiltpix
