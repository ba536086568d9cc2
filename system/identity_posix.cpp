// Identity on POSIX systems: the file's device and inode, or its folder's,
// reached under the link rule every other path follows.
#include "identity.h"
#include "fold_case.h"
#include "links_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <utility>

namespace quiltpix {

namespace {

// The names a folder lists, read once a run.
const std::set<std::string>& listing(int dir, const struct stat& folder)
{
    static std::map<std::pair<dev_t, ino_t>, std::set<std::string>> listed;
    const auto key = std::make_pair(folder.st_dev, folder.st_ino);
    const auto known = listed.find(key);
    if (known != listed.end())
        return known->second;
    std::set<std::string>& names = listed[key];
    const int fd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (DIR* d = fd >= 0 ? ::fdopendir(fd) : nullptr) {
        while (const dirent* entry = ::readdir(d))
            names.insert(entry->d_name);
        ::closedir(d);
    } else if (fd >= 0) {
        ::close(fd);
    }
    return names;
}

// A name with the case of its ASCII letters swapped, or "" when it has none.
std::string swapped(const std::string& name)
{
    std::string s = name;
    bool letters = false;
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 32);
            letters = true;
        } else if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c + 32);
            letters = true;
        }
    }
    return letters ? s : "";
}

// Whether names in this folder are looked up without regard to case, asked
// of the folder itself: a name of it with its case swapped opens, though the
// folder does not list it. (A list of file-system kinds misses some, and
// FUSE file systems give one file other inodes under other cases.) A folder
// with no name to ask by is taken not to fold.
bool foldsCase(int dir, const struct stat& folder)
{
    static std::map<std::pair<dev_t, ino_t>, bool> known;
    const auto key = std::make_pair(folder.st_dev, folder.st_ino);
    const auto it = known.find(key);
    if (it != known.end())
        return it->second;
    bool folds = false;
    const std::set<std::string>& names = listing(dir, folder);
    for (const std::string& name : names) {
        const std::string other = swapped(name);
        if (other.empty() || names.count(other))
            continue;
        struct stat info {};
        folds = ::fstatat(dir, other.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
        break;
    }
    known[key] = folds;
    return folds;
}

} // namespace

std::optional<FileKey> identify(const std::filesystem::path& path)
{
    std::string why;
    const int dir = openFolderSafely(AT_FDCWD, path.has_parent_path() ? path.parent_path() : std::filesystem::path("."), why);
    if (dir < 0)
        return std::nullopt;
    std::string name = path.filename().native();
    if (name.empty())
        name = ".";
    FileKey key;
    struct stat info {}, link {}, folder {};
    if (::fstat(dir, &folder) != 0) {
        ::close(dir);
        return std::nullopt;
    }
    const bool isLink = ::fstatat(dir, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode);
    if (isLink) {
        // A link is the file it names, known from that file's own folder.
        ::close(dir);
        std::error_code error;
        const std::filesystem::path target = std::filesystem::canonical(path, error);
        if (error || target == path)
            return std::nullopt;
        return identify(target);
    }
    const bool folds = foldsCase(dir, folder);
    if (!folds && ::fstatat(dir, name.c_str(), &info, 0) == 0) {
        key.device = static_cast<std::uint64_t>(info.st_dev);
        key.inode = static_cast<std::uint64_t>(info.st_ino);
        // Two names of one file (hard links) are two inputs with two
        // outputs: each is known by its folder and name as well.
        if (info.st_nlink > 1 && !S_ISDIR(info.st_mode))
            key.name = std::to_string(folder.st_dev) + ":" + std::to_string(folder.st_ino) + "/" + name;
    } else {
        // A name yet to be made, or any name in a folder that folds case:
        // its folder and the name as the folder compares it.
        key.device = static_cast<std::uint64_t>(folder.st_dev);
        key.inode = static_cast<std::uint64_t>(folder.st_ino);
        key.name = folds ? foldCase(name) : name;
        key.byFolder = true;
    }
    ::close(dir);
    return key;
}

} // namespace quiltpix
