// Folders through the standard library alone: on Windows, where a link in a
// shared folder is no one else's to plant, and on systems without POSIX.
#include "folders.h"

#include <system_error>

namespace quiltpix {

std::string makeFolders(const std::filesystem::path& folder)
{
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error && !std::filesystem::is_directory(folder))
        return error.message();
    return "";
}

} // namespace quiltpix
