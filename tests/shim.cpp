// A shim for the tests, loaded with LD_PRELOAD, that does to the program what
// only another process or a failing system could:
//  - QUILTPIX_SHIM_CLOSE_FAILS: closing a regular file that is open for
//    writing closes it, then reports a late write error (EIO), as a
//    network file system may;
//  - QUILTPIX_SHIM_SWAP=NAME:OTHER: the first time NAME is opened, OTHER is
//    renamed over it at once, as someone racing the program would;
//  - QUILTPIX_SHIM_SWAP_BEFORE=NAME:OTHER: the same just before the open;
//  - QUILTPIX_SHIM_SWAP_PART=TARGET: the first time the program sets the
//    mode of a file named ".part" (as it does just before it puts the file
//    in place), a link to TARGET is renamed over that name, as another user
//    who may write to the folder could.
//  - QUILTPIX_SHIM_SAVE=WHEN:TARGET:SOURCE: once, SOURCE's bytes are
//    written into TARGET in place (made if missing), as an editor saving
//    while the program works would; WHEN is "commit" (the first time the
//    program sets a file's mode, just before it puts its output in place)
//    or a file name (the first time a file of that name is opened);
//  - QUILTPIX_SHIM_MOVE=WHEN:TARGET:SOURCE: the same moment, SOURCE is
//    renamed over TARGET, as an editor that saves by renaming would.
//  - QUILTPIX_SHIM_FOLD=1: a name that is not found is looked up again
//    without regard to ASCII case, as a folder that folds case (a FAT or
//    exFAT volume, one through FUSE) would find it.
// Both the plain and the 64-bit names are defined here, so the headers must
// not rename one to the other.
#undef _FILE_OFFSET_BITS
#include <dirent.h>
#include <dlfcn.h>
#include <strings.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

template <typename F>
F real(const char* name)
{
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

} // namespace

template <typename F>
F quiltpix_real(const char* name)
{
    return real<F>(name);
}

namespace {

// QUILTPIX_SHIM_SWAP (after) or QUILTPIX_SHIM_SWAP_BEFORE (before), as
// NAME:OTHER: the first time NAME is opened, OTHER is renamed over it; before
// the open, NAME is first moved aside (to NAME.gone), which is the moment
// between a look at a name and its open.
void swapOnOpening(const char* path, bool before)
{
    static bool done[2] = {false, false};
    const char* swap = std::getenv(before ? "QUILTPIX_SHIM_SWAP_BEFORE" : "QUILTPIX_SHIM_SWAP");
    if (done[before] || !swap || !path)
        return;
    const std::string pair = swap;
    const std::size_t colon = pair.find(':');
    if (colon == std::string::npos || pair.compare(0, colon, path) != 0)
        return;
    done[before] = true;
    if (before)
        std::rename(path, (std::string(path) + ".gone").c_str());
    std::rename(pair.substr(colon + 1).c_str(), path);
}

void swapAfterOpening(const char* path)
{
    swapOnOpening(path, false);
}

void swapBeforeOpening(const char* path)
{
    swapOnOpening(path, true);
}

void swapPartOf(int fd)
{
    static bool done = false;
    const char* target = std::getenv("QUILTPIX_SHIM_SWAP_PART");
    if (done || !target)
        return;
    char path[4096];
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(self.c_str(), path, sizeof path - 1);
    if (n < 5)
        return;
    path[n] = 0;
    if (std::strcmp(path + n - 5, ".part") != 0)
        return;
    done = true;
    const std::string swap = std::string(path) + ".swap";
    if (::symlink(target, swap.c_str()) == 0)
        std::rename(swap.c_str(), path);
}

// QUILTPIX_SHIM_SAVE, when `moment` ("commit", or the base name of a file
// being opened) is its WHEN.
void atMoment(const char* variable, const char* moment, bool move)
{
    static bool done[2] = {false, false};
    const char* setting = std::getenv(variable);
    if (done[move] || !setting || !moment)
        return;
    const std::string all = setting;
    const std::size_t first = all.find(':'), second = all.find(':', first + 1);
    if (second == std::string::npos)
        return;
    std::string name = moment;
    if (name != "commit" && name.find('/') != std::string::npos)
        name = name.substr(name.rfind('/') + 1);
    if (all.compare(0, first, name) != 0)
        return;
    done[move] = true;
    const std::string target = all.substr(first + 1, second - first - 1), source = all.substr(second + 1);
    if (move) {
        std::rename(source.c_str(), target.c_str());
        return;
    }
    std::FILE* from = std::fopen(source.c_str(), "rb");
    std::FILE* to = std::fopen(target.c_str(), "wb");
    char buffer[1 << 16];
    for (std::size_t n; from && to && (n = std::fread(buffer, 1, sizeof buffer, from)) > 0;)
        std::fwrite(buffer, 1, n, to);
    if (from)
        std::fclose(from);
    if (to)
        std::fclose(to);
}

// QUILTPIX_SHIM_SAVE and QUILTPIX_SHIM_MOVE, when `moment` ("commit", or
// the base name of a file being opened) is their WHEN.
void saveDuringRun(const char* moment)
{
    atMoment("QUILTPIX_SHIM_SAVE", moment, false);
    atMoment("QUILTPIX_SHIM_MOVE", moment, true);
}

} // namespace

extern "C" {

#define QUILTPIX_FSTATAT(name, Stat)                                                                             \
    int name(int dir, const char* path, Stat* info, int flags)                                                   \
    {                                                                                                            \
        static const auto real = ::quiltpix_real<int (*)(int, const char*, Stat*, int)>(#name);                 \
        const int result = real(dir, path, info, flags);                                                         \
        if (result == 0 || errno != ENOENT || !std::getenv("QUILTPIX_SHIM_FOLD") || !path || std::strchr(path, '/')) \
            return result;                                                                                       \
        const int listing = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);                              \
        DIR* folder = listing >= 0 ? ::fdopendir(listing) : nullptr;                                             \
        int found = result;                                                                                      \
        while (const dirent* entry = folder ? ::readdir(folder) : nullptr)                                       \
            if (::strcasecmp(entry->d_name, path) == 0) {                                                        \
                found = real(dir, entry->d_name, info, flags);                                                   \
                break;                                                                                           \
            }                                                                                                    \
        if (folder)                                                                                              \
            ::closedir(folder);                                                                                  \
        if (found != 0)                                                                                          \
            errno = ENOENT;                                                                                      \
        return found;                                                                                            \
    }

QUILTPIX_FSTATAT(fstatat, struct stat)
QUILTPIX_FSTATAT(fstatat64, struct stat64)

int fchmod(int fd, mode_t mode)
{
    static const auto setMode = real<int (*)(int, mode_t)>("fchmod");
    swapPartOf(fd);
    saveDuringRun("commit");
    return setMode(fd, mode);
}

int close(int fd)
{
    static const auto closeFile = real<int (*)(int)>("close");
    const int flags = ::fcntl(fd, F_GETFL);
    struct stat info {};
    const bool written = std::getenv("QUILTPIX_SHIM_CLOSE_FAILS") && flags >= 0 && (flags & O_ACCMODE) != O_RDONLY &&
                         ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    const int result = closeFile(fd);
    if (written && result == 0) {
        errno = EIO;
        return -1;
    }
    return result;
}

#define QUILTPIX_OPEN(name, ...)                                                                 \
    {                                                                                            \
        mode_t mode = 0;                                                                         \
        if (flags & (O_CREAT | O_TMPFILE)) {                                                     \
            va_list more;                                                                        \
            va_start(more, flags);                                                               \
            mode = static_cast<mode_t>(va_arg(more, int));                                       \
            va_end(more);                                                                        \
        }                                                                                        \
        static const auto openFile = real<decltype(&name)>(#name);                               \
        swapBeforeOpening(path);                                                                 \
        saveDuringRun(path);                                                                     \
        const int fd = openFile(__VA_ARGS__, flags, mode);                                       \
        swapAfterOpening(path);                                                                  \
        return fd;                                                                               \
    }

int open(const char* path, int flags, ...) QUILTPIX_OPEN(open, path)
int open64(const char* path, int flags, ...) QUILTPIX_OPEN(open64, path)
int openat(int dir, const char* path, int flags, ...) QUILTPIX_OPEN(openat, dir, path)
int openat64(int dir, const char* path, int flags, ...) QUILTPIX_OPEN(openat64, dir, path)

// What a fortified build calls when the flags are not known at compile time.
int __open_2(const char* path, int flags)
{
    static const auto openFile = real<int (*)(const char*, int)>("__open_2");
    swapBeforeOpening(path);
    saveDuringRun(path);
    const int fd = openFile(path, flags);
    swapAfterOpening(path);
    return fd;
}
int __open64_2(const char* path, int flags)
{
    static const auto openFile = real<int (*)(const char*, int)>("__open64_2");
    swapBeforeOpening(path);
    saveDuringRun(path);
    const int fd = openFile(path, flags);
    swapAfterOpening(path);
    return fd;
}
int __openat_2(int dir, const char* path, int flags)
{
    static const auto openFile = real<int (*)(int, const char*, int)>("__openat_2");
    swapBeforeOpening(path);
    saveDuringRun(path);
    const int fd = openFile(dir, path, flags);
    swapAfterOpening(path);
    return fd;
}
int __openat64_2(int dir, const char* path, int flags)
{
    static const auto openFile = real<int (*)(int, const char*, int)>("__openat64_2");
    swapBeforeOpening(path);
    saveDuringRun(path);
    const int fd = openFile(dir, path, flags);
    swapAfterOpening(path);
    return fd;
}

std::FILE* fopen(const char* path, const char* mode)
{
    static const auto openStream = real<std::FILE* (*)(const char*, const char*)>("fopen");
    std::FILE* file = openStream(path, mode);
    swapAfterOpening(path);
    return file;
}

std::FILE* fopen64(const char* path, const char* mode)
{
    static const auto openStream = real<std::FILE* (*)(const char*, const char*)>("fopen64");
    std::FILE* file = openStream(path, mode);
    swapAfterOpening(path);
    return file;
}

} // extern "C"
