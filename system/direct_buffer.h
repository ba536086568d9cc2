#pragma once

#include <cstddef>
#include <streambuf>

namespace quiltpix {

// A stream buffer that hands every write straight to the system: the
// converter writes large blocks, so a buffer of our own would only add a
// copy. Each system's output file says how to write one piece.
class DirectBuffer : public std::streambuf {
protected:
    // Writes some of the n bytes and says how many; 0 once a write has
    // failed, having kept the reason.
    virtual std::size_t writeSome(const char* data, std::size_t n) = 0;

    std::streamsize xsputn(const char* data, std::streamsize n) override
    {
        std::streamsize done = 0;
        while (done < n) {
            const std::size_t written = writeSome(data + done, static_cast<std::size_t>(n - done));
            if (written == 0)
                break;
            done += static_cast<std::streamsize>(written);
        }
        return done;
    }
    int_type overflow(int_type c) override
    {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        const char byte = traits_type::to_char_type(c);
        return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
    }
};

} // namespace quiltpix
