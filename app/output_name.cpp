#include "output_name.h"

#include <system_error>

namespace quiltpix {
namespace fs = std::filesystem;

fs::path makeOutputName(const fs::path& inputPath, const char* extension)
{
    // The search deliberately does not stop at a path separator: names like
    // "maps.old/tiles" become "maps.bmp", as users of earlier versions know.
    // It works on the system's own string, so that no character is lost in
    // a conversion on the way.
    fs::path::string_type name = inputPath.native();
    const auto dot = name.rfind(fs::path::value_type('.'));
    if (dot != fs::path::string_type::npos && dot > 0)
        name.erase(dot);
    return fs::path(name) += extension;
}

fs::path outputNameInFolder(const fs::path& folder, const fs::path& inputPath, const char* extension)
{
    return folder / makeOutputName(inputPath.filename(), extension);
}

bool namesFolder(const fs::path& path)
{
    const fs::path::string_type& name = path.native();
    if (!name.empty() && (name.back() == '/' || name.back() == fs::path::preferred_separator))
        return true;
    std::error_code error;
    return fs::is_directory(path, error);
}

} // namespace quiltpix
