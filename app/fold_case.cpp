#include "fold_case.h"

#include <cstdint>
#include <locale>

namespace quiltpix {

namespace {

// The C library's Unicode tables, through the standard locale, where the
// system has a UTF-8 locale; else ASCII alone.
const std::ctype<wchar_t>* unicodeCase()
{
    static const std::locale* found = []() -> const std::locale* {
        for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
            try {
                return new std::locale(name); // kept for the run
            } catch (const std::exception&) {
            }
        }
        return nullptr;
    }();
    return found ? &std::use_facet<std::ctype<wchar_t>>(*found) : nullptr;
}

void append(std::string& out, std::uint32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

std::string foldCase(const std::string& utf8)
{
    const std::ctype<wchar_t>* facet = unicodeCase();
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        std::size_t length = b < 0x80 ? 1 : b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
        std::uint32_t c = length == 1 ? b : length == 2 ? b & 0x1Fu : length == 3 ? b & 0x0Fu : b & 0x07u;
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned next = i + k < utf8.size() ? static_cast<unsigned char>(utf8[i + k]) : 0u;
            if ((next & 0xC0) != 0x80) {
                length = 0;
                break;
            }
            c = (c << 6) | (next & 0x3Fu);
        }
        if (length == 0) {
            out += utf8[i++]; // not UTF-8: as it is
            continue;
        }
        if (c < 0x80)
            c = c >= 'A' && c <= 'Z' ? c + 32 : c;
        else if (facet && (sizeof(wchar_t) >= 4 || c < 0x10000))
            c = static_cast<std::uint32_t>(facet->tolower(static_cast<wchar_t>(c)));
        append(out, c);
        i += length;
    }
    return out;
}

} // namespace quiltpix
