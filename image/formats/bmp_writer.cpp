#include "mos.h"
#include "row_writer.h"

namespace quiltpix {

bool BmpWriter::begin(int width, int height)
{
    unsigned char headers[bitmapHeadersSize];
    putBitmapHeaders(headers, width, height);
    return static_cast<bool>(out_.write(reinterpret_cast<const char*>(headers), bitmapHeadersSize));
}

// The rows are already as a bitmap stores them, padding and all.
bool BmpWriter::rows(const unsigned char* bgr, std::size_t stride, int count)
{
    return static_cast<bool>(
        out_.write(reinterpret_cast<const char*>(bgr), static_cast<std::streamsize>(stride * static_cast<std::size_t>(count))));
}

bool BmpWriter::finish()
{
    return static_cast<bool>(out_.flush());
}

} // namespace quiltpix
