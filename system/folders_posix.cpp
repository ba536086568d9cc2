// Folders on POSIX systems: made one at a time relative to the last, with
// the same link rule as every other path (links_posix.h).
#include "folders.h"
#include "links_posix.h"

#include <fcntl.h>
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

} // namespace quiltpix
