// Identity on POSIX systems: the file's device and inode, or its folder's,
// reached under the link rule every other path follows.
#include "identity.h"
#include "links_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#endif

#include <cctype>

namespace quiltpix {

namespace {

// Whether names in this folder are looked up without regard to case.
bool foldsCase(int dir)
{
#if defined(__linux__)
    struct statfs where {};
    if (::fstatfs(dir, &where) == 0) {
        const auto type = static_cast<unsigned long>(where.f_type);
        if (type == 0x4d44 || type == 0x2011BAB0 || type == 0x5346544e || type == 0x7366746e) // FAT, exFAT, NTFS
            return true;
    }
#ifdef FS_CASEFOLD_FL
    const int listing = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing >= 0) {
        int flags = 0;
        const bool folded = ::ioctl(listing, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_CASEFOLD_FL);
        ::close(listing);
        return folded;
    }
#endif
#else
    (void)dir;
#endif
    return false;
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
    struct stat info {};
    if (::fstatat(dir, name.c_str(), &info, 0) == 0) {
        key.device = static_cast<std::uint64_t>(info.st_dev);
        key.inode = static_cast<std::uint64_t>(info.st_ino);
    } else if (::fstat(dir, &info) == 0) {
        key.device = static_cast<std::uint64_t>(info.st_dev);
        key.inode = static_cast<std::uint64_t>(info.st_ino);
        key.name = name;
        if (foldsCase(dir))
            for (char& c : key.name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else {
        ::close(dir);
        return std::nullopt;
    }
    ::close(dir);
    return key;
}

} // namespace quiltpix
