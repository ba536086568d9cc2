// A line kept ready for a signal handler (or the console's handler thread)
// to write: two buffers, one filled while the handler may read the other,
// and the index of the ready one, which the handler reads once.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string>

namespace quiltpix {

template <typename Index> // sig_atomic_t, or Windows' LONG
class ReadyLine {
public:
    void set(const std::string& line)
    {
        if (line.empty()) {
            ready_ = -1;
            return;
        }
        const std::size_t next = ready_ == 0 ? 1 : 0;
        const std::size_t n = std::min(line.size(), text_[next].size());
        std::memcpy(text_[next].data(), line.data(), n);
        length_[next] = n;
        ready_ = static_cast<Index>(next);
    }
    // The ready line, or false when there is none; async-signal-safe.
    bool get(const char*& text, std::size_t& length) const
    {
        const Index ready = ready_;
        if (ready < 0)
            return false;
        text = text_[static_cast<std::size_t>(ready)].data();
        length = length_[static_cast<std::size_t>(ready)];
        return true;
    }

private:
    std::array<std::array<char, 1024>, 2> text_{};
    std::array<std::size_t, 2> length_{};
    volatile Index ready_ = -1;
};

} // namespace quiltpix
