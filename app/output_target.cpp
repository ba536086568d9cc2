#include "output_target.h"

#include <cstdio>
#include <system_error>

namespace quiltpix {
namespace fs = std::filesystem;

fs::path resolveLinks(fs::path path)
{
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code error;
        if (!fs::is_symlink(path, error))
            return path;
        const fs::path target = fs::read_symlink(path, error);
        if (error)
            return path;
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    return path; // a loop; the caller refuses it as not a regular file
}

fs::path hiddenName(const fs::path& target, std::mt19937_64& random)
{
    // Cut a long name short so that the extra characters cannot push it past
    // the file system's name length limit.
    const std::string stem = "." + target.filename().string().substr(0, 100) + ".";
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "%016llx.part", static_cast<unsigned long long>(random()));
    return target.parent_path() / (stem + suffix);
}

} // namespace quiltpix
