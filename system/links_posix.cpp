#include "links_posix.h"

#include <fcntl.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/vfs.h>
#endif

#include <cerrno>
#include <deque>
#include <system_error>
#include <vector>

namespace quiltpix {

const char* const plantedLink = "a link another user put in this shared folder; it is not followed";

namespace {

#ifdef O_PATH
constexpr int folderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

std::string systemWords(int error)
{
    return std::generic_category().message(error);
}

// The components of a path, "/" first when it is absolute.
void pushFront(std::deque<std::string>& pending, const std::filesystem::path& path)
{
    std::vector<std::string> parts;
    for (const auto& part : path) {
        const std::string& text = part.native();
        if (!text.empty() && text != ".")
            parts.push_back(text == "/" || part == path.root_directory() ? std::string("/") : text);
    }
    pending.insert(pending.begin(), parts.begin(), parts.end());
}

} // namespace

bool mayFollow(const struct stat& folder, const struct stat& link)
{
    const bool shared = (folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH);
    return !shared || link.st_uid == ::geteuid() || link.st_uid == folder.st_uid;
}

bool readLink(int dir, const std::string& name, std::string& target)
{
    for (std::size_t size = 256; size <= 65536; size *= 4) {
        std::vector<char> buffer(size);
        const ssize_t n = ::readlinkat(dir, name.c_str(), buffer.data(), buffer.size());
        if (n < 0)
            return false;
        if (static_cast<std::size_t>(n) < buffer.size()) {
            target.assign(buffer.data(), static_cast<std::size_t>(n));
            return true;
        }
    }
    errno = ENAMETOOLONG;
    return false;
}

bool isMagicLinkFolder(int dir)
{
#if defined(__linux__)
    struct statfs where {};
    return ::fstatfs(dir, &where) == 0 && where.f_type == 0x9fa0; // PROC_SUPER_MAGIC
#else
    (void)dir;
    return false;
#endif
}

int openFolderSafely(int at, const std::filesystem::path& folder, std::string& why, bool create)
{
    int dir = ::openat(at, ".", folderFlags);
    if (dir < 0) {
        why = systemWords(errno);
        return -1;
    }
    std::deque<std::string> pending;
    pushFront(pending, folder);
    int hops = 0, made = 0;
    auto fail = [&dir, &why](const std::string& reason) {
        ::close(dir);
        why = reason;
        return -1;
    };
    while (!pending.empty()) {
        const std::string part = pending.front();
        pending.pop_front();
        if (part == "/") {
            const int root = ::open("/", folderFlags);
            if (root < 0)
                return fail(systemWords(errno));
            ::close(dir);
            dir = root;
            continue;
        }
        struct stat link {};
        if (part != ".." && ::fstatat(dir, part.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode)) {
            struct stat here {};
            if (++hops > 40 || ::fstat(dir, &here) != 0)
                return fail(systemWords(ELOOP));
            if (!mayFollow(here, link))
                return fail(plantedLink);
            if (!isMagicLinkFolder(dir)) {
                std::string target;
                if (!readLink(dir, part, target))
                    return fail(systemWords(errno));
                pushFront(pending, std::filesystem::path(target));
                continue;
            }
            // A link of /proc is the kernel's to follow.
        }
        // What was judged is what is opened: a link swapped in since the
        // look above is refused by the open and judged on the next round.
        const bool magic = part == ".." || isMagicLinkFolder(dir);
        const int next = ::openat(dir, part.c_str(), folderFlags | (magic ? 0 : O_NOFOLLOW));
        if (next < 0) {
            const int error = errno;
            if ((error == ELOOP || error == ENOTDIR) && !magic &&
                ::fstatat(dir, part.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode)) {
                pending.push_front(part);
                continue;
            }
            // A folder made here is opened like any other on the next round,
            // so one that someone swaps for a link meanwhile is judged too.
            if (error == ENOENT && create && ++made <= 40 &&
                (::mkdirat(dir, part.c_str(), 0777) == 0 || errno == EEXIST)) {
                pending.push_front(part);
                continue;
            }
            return fail(systemWords(error));
        }
        ::close(dir);
        dir = next;
    }
    return dir;
}

} // namespace quiltpix
