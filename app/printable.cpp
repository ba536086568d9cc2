#include "printable.h"
#include <cstdint>

namespace quiltpix {
namespace {

// The length of the valid UTF-8 character at s[i], or 0.
std::size_t characterLength(const std::string& s, std::size_t i)
{
    const auto byte = [&s](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b = byte(i);
    std::size_t length = 0;
    std::uint32_t code = 0, least = 0;
    if (b < 0x80)
        return 1;
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
        code = b & 0x1Fu;
        least = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        code = b & 0x0Fu;
        least = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        code = b & 0x07u;
        least = 0x10000;
    } else {
        return 0;
    }
    if (i + length > s.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3Fu);
    }
    // Overlong forms, surrogates and code points past Unicode are not text.
    if (code < least || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
}

void escape(std::string& out, unsigned char b)
{
    const char* digits = "0123456789abcdef";
    switch (b) {
    case '\a': out += "\\a"; return;
    case '\b': out += "\\b"; return;
    case '\t': out += "\\t"; return;
    case '\n': out += "\\n"; return;
    case '\v': out += "\\v"; return;
    case '\f': out += "\\f"; return;
    case '\r': out += "\\r"; return;
    default:
        out += "\\x";
        out += digits[b >> 4];
        out += digits[b & 15];
    }
}

} // namespace

std::string printableName(const std::string& bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        const std::size_t length = characterLength(bytes, i);
        const bool c1 = length == 2 && b == 0xC2 && static_cast<unsigned char>(bytes[i + 1]) < 0xA0;
        if (length == 0 || c1 || b < 0x20 || b == 0x7F) {
            for (std::size_t k = 0; k < (c1 ? 2 : 1); ++k)
                escape(out, static_cast<unsigned char>(bytes[i + k]));
            i += c1 ? 2 : 1;
            continue;
        }
        out.append(bytes, i, length);
        i += length;
    }
    return out;
}

} // namespace quiltpix
