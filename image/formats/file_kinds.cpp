#include "file_kinds.h"

#include <cstring>

namespace quiltpix {

const char* knownKind(const unsigned char* bytes, std::size_t length)
{
    const auto starts = [bytes, length](const char* signature, std::size_t size, std::size_t at = 0) {
        return length >= at + size && std::memcmp(bytes + at, signature, size) == 0;
    };
    if (starts("\x89PNG\r\n\x1a\n", 8))
        return "PNG";
    // A PNG whose signature was damaged (a transfer that changed its line
    // ends, say) still has its name and its first chunk in place.
    if (starts("PNG", 3, 1) || starts("IHDR", 4, 12))
        return "damaged PNG";
    if (starts("\xff\xd8\xff", 3))
        return "JPEG";
    if (starts("GIF87a", 6) || starts("GIF89a", 6))
        return "GIF";
    if (starts("II*\0", 4) || starts("MM\0*", 4))
        return "TIFF";
    if (starts("RIFF", 4) && starts("WEBP", 4, 8))
        return "WebP";
    if (starts("PK\x03\x04", 4) || starts("PK\x05\x06", 4) || starts("PK\x07\x08", 4))
        return "ZIP";
    if (starts("%PDF-", 5))
        return "PDF";
    if (starts("\x1f\x8b", 2))
        return "gzip";
    // Only asked of a file read as MOS that is refused: a bitmap named as
    // the original of another, say.
    if (starts("BM", 2))
        return "bitmap";
    return nullptr;
}

} // namespace quiltpix
