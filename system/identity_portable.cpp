// Identity with the standard library alone: the path made absolute, with
// links and ".." resolved as far as it exists.
#include "identity.h"

#include <system_error>

namespace quiltpix {

std::optional<FileKey> identify(const std::filesystem::path& path)
{
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(path, error);
    if (error)
        return std::nullopt;
    FileKey key;
    key.name = resolved.string();
    key.byFolder = true;
    return key;
}

} // namespace quiltpix
