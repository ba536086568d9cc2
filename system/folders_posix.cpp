// Folders on POSIX systems: made one at a time relative to the last, with
// the same link rule as every other path (links_posix.h).
#include "folders.h"
#include "links_posix.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace quiltpix {

std::string makeFolders(const std::filesystem::path& folder)
{
    std::string why;
    const int dir = openFolderSafely(AT_FDCWD, folder, why, true);
    if (dir < 0)
        return why;
    ::close(dir);
    return "";
}

std::optional<std::uint64_t> freeBytes(const std::filesystem::path& folder)
{
    std::string why;
    const int dir = openFolderSafely(AT_FDCWD, folder.empty() ? std::filesystem::path(".") : folder, why);
    if (dir < 0)
        return std::nullopt;
    struct statvfs space {};
    const int got = ::fstatvfs(dir, &space);
    ::close(dir);
    if (got != 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(space.f_bavail) * static_cast<std::uint64_t>(space.f_frsize);
}

} // namespace quiltpix
