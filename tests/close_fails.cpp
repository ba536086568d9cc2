// A shim for the tests, loaded with LD_PRELOAD: closing a regular file that
// is open for writing only closes it, then reports a late write error (EIO),
// as a network file system may; every other close is left alone.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

extern "C" int close(int fd)
{
    using Close = int (*)(int);
    static const Close real = reinterpret_cast<Close>(::dlsym(RTLD_NEXT, "close"));
    const int flags = ::fcntl(fd, F_GETFL);
    struct stat info {};
    const bool written = flags >= 0 && (flags & O_ACCMODE) == O_WRONLY && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    const int result = real(fd);
    if (written && result == 0) {
        errno = EIO;
        return -1;
    }
    return result;
}
