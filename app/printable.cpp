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

// The code point of the valid character of `length` bytes at s[i].
std::uint32_t codePoint(const std::string& s, std::size_t i, std::size_t length)
{
    const auto byte = [&s](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    if (length == 1)
        return byte(i);
    std::uint32_t code = byte(i) & (0xFFu >> (length + 1));
    for (std::size_t k = 1; k < length; ++k)
        code = (code << 6) | (byte(i + k) & 0x3Fu);
    return code;
}

// Characters that are not drawn but change how a line reads: the line and
// paragraph separators (a line break to many readers) and the format
// characters, among them the bidi controls that reorder what a terminal
// shows and the zero-width ones that hide a difference between two names.
bool invisible(std::uint32_t c)
{
    static const std::uint32_t ranges[][2] = {
        {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
        {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x2028, 0x202E},
        {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
        {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
        {0xE0020, 0xE007F},
    };
    for (const auto& r : ranges)
        if (c >= r[0] && c <= r[1])
            return true;
    return false;
}

void escapeCodePoint(std::string& out, std::uint32_t c)
{
    const char* digits = "0123456789abcdef";
    const int width = c > 0xFFFF ? 8 : 4;
    out += width == 8 ? "\\U" : "\\u";
    for (int shift = 4 * (width - 1); shift >= 0; shift -= 4)
        out += digits[(c >> shift) & 15];
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

std::string printableName(const std::string& bytes, bool backslashIsText)
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
        if (length > 1 && invisible(codePoint(bytes, i, length)))
            escapeCodePoint(out, codePoint(bytes, i, length));
        else if (b == '\\' && backslashIsText)
            out += "\\\\";
        else
            out.append(bytes, i, length);
        i += length;
    }
    if (out.find(" -> ") == std::string::npos && out.find(": ") == std::string::npos)
        return out;
    std::string quoted = "'";
    for (char c : out)
        quoted += c == '\'' ? std::string("\\'") : std::string(1, c);
    return quoted + "'";
}

} // namespace quiltpix
