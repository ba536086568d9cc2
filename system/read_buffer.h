#pragma once

#include <cstdint>
#include <algorithm>
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
            // A small read fills the buffer, so that the next small one
            // costs no system call; a large one goes straight to the caller.
            if (static_cast<std::size_t>(n - done) < sizeof buffer_) {
                if (traits_type::eq_int_type(underflow(), traits_type::eof()))
                    break;
                const std::streamsize k = std::min<std::streamsize>(n - done, egptr() - gptr());
                traits_type::copy(data + done, gptr(), static_cast<std::size_t>(k));
                gbump(static_cast<int>(k));
                done += k;
                continue;
            }
            const std::size_t got = readSome(data + done, static_cast<std::size_t>(n - done));
            if (got == 0)
                break;
            position_ += got;
            setg(buffer_, buffer_, buffer_); // what was buffered lies behind
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
        // Within what is buffered, a seek moves in the buffer: readers that
        // seek before every small read (a PNG's chunk headers, say) do not
        // cost a system call each.
        const std::uint64_t buffered = static_cast<std::uint64_t>(egptr() - eback());
        if (off_type(pos) >= 0 && eback() != nullptr && static_cast<std::uint64_t>(off_type(pos)) + buffered >= position_ &&
            static_cast<std::uint64_t>(off_type(pos)) <= position_) {
            const std::uint64_t into = static_cast<std::uint64_t>(off_type(pos)) + buffered - position_;
            setg(eback(), eback() + into, egptr());
            return pos;
        }
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
