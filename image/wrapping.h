// Hashes multiply modulo 2^64 on purpose. The fuzz and sanitizer builds
// report every unsigned wrap in the converter, where a wrap would be a fault
// (an offset sum wrapping back into the file); functions whose arithmetic is
// meant to wrap say so with this.
#pragma once

#if defined(__clang__)
#define QUILTPIX_WRAPS __attribute__((no_sanitize("unsigned-integer-overflow")))
#else
#define QUILTPIX_WRAPS
#endif
