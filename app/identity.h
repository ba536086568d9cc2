#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>

namespace quiltpix {

// Which file a path names, whatever text reaches it: through a link, "..",
// a folder named twice, or a name in another case where the folder folds
// case. A file that exists is known by its device and inode (on Windows,
// its volume and file index); a name that does not exist yet by its
// folder's and the name itself, folded for case where the folder folds case
// (always on Windows; on Linux in FAT, exFAT, NTFS and casefolded folders).
struct FileKey {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::string name; // empty for a file that exists (but one of several hard links to it)
    bool byFolder = false; // device and inode are the folder's, and the name tells

    bool operator==(const FileKey& o) const { return device == o.device && inode == o.inode && name == o.name; }
    // The very same bytes on disk, under whatever name.
    bool sameFileAs(const FileKey& o) const
    {
        return *this == o || (!byFolder && !o.byFolder && device == o.device && inode == o.inode);
    }
    bool operator<(const FileKey& o) const
    {
        return std::tie(device, inode, name) < std::tie(o.device, o.inode, o.name);
    }
};

// Nothing when the path's folder cannot be reached.
std::optional<FileKey> identify(const std::filesystem::path& path);

} // namespace quiltpix
