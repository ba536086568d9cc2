#pragma once

#include <cstdint>
#include <streambuf>

namespace quiltpix {

// A stream buffer for reading a file through the one handle that opened it:
// buffered for small reads, straight into the caller's memory for large
// ones, and seekable. Each system's input file says how to read and seek.
class ReadBuffer : public std::streambuf {
protected:
    // Reads up to n bytes at the current position; 0 at the end or on failure.
    virtual std::size_t readSome(char* data, std::size_t n) = 0;
    virtual bool seekTo(std::uint64_t pos) = 0;

    int_type underflow() override
    {
        if (gptr() < egptr())
            return traits_type::to_int_type(*gptr());
        const std::size_t n = readSome(buffer_, sizeof buffer_);
        position_ += n;
        setg(buffer_, buffer_, buffer_ + n);
        return n == 0 ? traits_type::eof() : traits_type::to_int_type(*gptr());
    }
    std::streamsize xsgetn(char* data, std::streamsize n) override
    {
        std::streamsize done = 0;
        const std::streamsize buffered = egptr() - gptr();
        if (buffered > 0) {
            done = buffered < n ? buffered : n;
            traits_type::copy(data, gptr(), static_cast<std::size_t>(done));
            gbump(static_cast<int>(done));
        }
        while (done < n) {
            const std::size_t got = readSome(data + done, static_cast<std::size_t>(n - done));
            if (got == 0)
                break;
            position_ += got;
            done += static_cast<std::streamsize>(got);
        }
        return done;
    }
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override
    {
        const auto here = static_cast<off_type>(position_) - (egptr() - gptr());
        if (dir == std::ios_base::cur && off == 0)
            return pos_type(here);
        if (dir != std::ios_base::beg)
            return pos_type(off_type(-1)); // only what the converters use
        return seekpos(pos_type(off), which);
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode) override
    {
        if (off_type(pos) < 0 || !seekTo(static_cast<std::uint64_t>(off_type(pos))))
            return pos_type(off_type(-1));
        position_ = static_cast<std::uint64_t>(off_type(pos));
        setg(buffer_, buffer_, buffer_);
        return pos;
    }

private:
    char buffer_[64 * 1024];
    std::uint64_t position_ = 0; // of the end of what is buffered
};

} // namespace quiltpix
