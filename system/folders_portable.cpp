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

std::optional<std::uint64_t> freeBytes(const std::filesystem::path& folder)
{
    std::error_code error;
    const std::filesystem::space_info space =
        std::filesystem::space(folder.empty() ? std::filesystem::path(".") : folder, error);
    if (error || space.available == static_cast<std::uintmax_t>(-1))
        return std::nullopt;
    return static_cast<std::uint64_t>(space.available);
}

} // namespace quiltpix
