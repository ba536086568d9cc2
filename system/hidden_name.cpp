#include "hidden_name.h"

#include <algorithm>
#include <string>

namespace quiltpix {
namespace fs = std::filesystem;

namespace {

// Where a cut may fall: not before a UTF-8 continuation byte (10xxxxxx), and
// not before the second half of a UTF-16 surrogate pair.
[[maybe_unused]] bool startsCharacter(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
}
[[maybe_unused]] bool startsCharacter(wchar_t c)
{
    return c < 0xDC00 || c > 0xDFFF;
}

} // namespace

fs::path hiddenName(const fs::path& fileName, std::uint64_t random, std::size_t nameMax)
{
    using String = fs::path::string_type;
    // Short enough for any name limit met in practice, long enough to tell
    // the file apart in a listing.
    constexpr std::size_t longest = 100;
    constexpr std::size_t extra = 1 + 1 + 16 + 5; // ".", ".", the digits, ".part"
    const String name = fileName.native();
    std::size_t cut = std::min({name.size(), longest, nameMax > extra ? nameMax - extra : 0});
    while (cut > 0 && cut < name.size() && !startsCharacter(name[cut]))
        --cut;

    String hidden(1, '.');
    hidden.append(name, 0, cut);
    hidden.push_back('.');
    for (int shift = 60; shift >= 0; shift -= 4)
        hidden.push_back(static_cast<fs::path::value_type>("0123456789abcdef"[(random >> shift) & 15]));
    for (char c : std::string(".part"))
        hidden.push_back(static_cast<fs::path::value_type>(c));
    return fs::path(hidden);
}

bool isHiddenNameOf(const fs::path& candidate, const fs::path& fileName, std::size_t nameMax)
{
    const auto pattern = hiddenName(fileName, 0, nameMax).native();
    const auto& name = candidate.native();
    if (name.size() != pattern.size())
        return false;
    const std::size_t digits = pattern.size() - 5 - 16;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = name[i];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        if (i >= digits && i < digits + 16 ? !hex : c != pattern[i])
            return false;
    }
    return true;
}

} // namespace quiltpix
