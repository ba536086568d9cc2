// The conversions as the tests and the fuzzer drive them: whole files in
// memory, no driver around them.
#pragma once

#include "bitmap_reader.h"
#include "byte_sink.h"
#include "row_writer.h"
#include "to_bitmap.h"

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace quiltpix {

// A MOS file written into memory.
class MemorySink : public ByteSink {
public:
    std::vector<unsigned char> bytes;
    bool writeAt(std::uint64_t pos, const unsigned char* data, std::size_t n) override;
};

// The MOS file in `in` as a 24-bit bitmap into out; false, with the reason,
// for a file that does not convert or a write that failed.
bool convertMosStream(std::istream& in, std::uint64_t inputSize, std::ostream& out, std::ostream* progress,
                      std::string* reason = nullptr, const RowProgress& onRow = {});

// Whether a bitmap would convert: every pixel read, nothing written.
struct BitmapCheck {
    bool whole = false;
    std::string reason;
    BitmapFormat format;
};
BitmapCheck checkBitmapStream(std::istream& in, std::uint64_t size);

} // namespace quiltpix
