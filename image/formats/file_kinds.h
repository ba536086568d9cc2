#pragma once

#include <cstddef>

namespace quiltpix {

// The kind of picture or archive a file's first bytes announce ("PNG",
// "JPEG", "GIF", "TIFF", "WebP", "ZIP", "PDF", "gzip"), or null: so that a
// file that is not a MOS picture can be named for what it is.
const char* knownKind(const unsigned char* bytes, std::size_t length);

} // namespace quiltpix
