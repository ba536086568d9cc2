// Where the way back's MOS file goes: positioned writes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quiltpix {

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // False once a write has failed.
    virtual bool writeAt(std::uint64_t pos, const unsigned char* data, std::size_t n) = 0;
};

// The reason given when the sink refused a write.
extern const char* const mosWriteFailed;

} // namespace quiltpix
