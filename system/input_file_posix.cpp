// The input on POSIX systems: one descriptor, opened without waiting (a FIFO
// would block an ordinary open), judged with fstat, then read as a file.
#include "input_file.h"
#include "read_buffer.h"
#include "links_posix.h"
#include "stamp_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cerrno>
#include <system_error>

namespace quiltpix {

namespace {

class DescriptorReader : public ReadBuffer {
public:
    int fd = -1;

protected:
    std::size_t readSome(char* data, std::size_t n) override
    {
        for (;;) {
            const ssize_t got = ::read(fd, data, n);
            if (got >= 0)
                return static_cast<std::size_t>(got);
            if (errno != EINTR)
                return 0;
        }
    }
    bool seekTo(std::uint64_t pos) override
    {
        return ::lseek(fd, static_cast<off_t>(pos), SEEK_SET) >= 0;
    }
};

} // namespace

struct InputFile::State {
    DescriptorReader reader;
    std::istream stream{&reader};
    std::uint64_t size = 0;
    std::int64_t modified = 0; // nanoseconds
    FileStamp stamp;
};

InputFile::InputFile() : state_(std::make_unique<State>()) {}

InputFile::~InputFile()
{
    if (state_->reader.fd >= 0)
        ::close(state_->reader.fd);
}

std::string InputFile::open(const std::filesystem::path& path)
{
    State& s = *state_;
    // The links on the way are followed only under the shared-folder rule,
    // so a link planted in /tmp cannot make a run read another's file.
    if (path.empty())
        return std::generic_category().message(ENOENT);
    std::string why;
    int dir = openFolderSafely(AT_FDCWD, path.has_parent_path() ? path.parent_path() : std::filesystem::path("."), why);
    if (dir < 0)
        return why;
    std::string name = path.filename().native();
    if (name.empty())
        name = ".";
    int fd = -1, error = 0;
    for (int hops = 0; why.empty(); ++hops) {
        struct stat link {}, folder {};
        const bool magic = isMagicLinkFolder(dir); // a link of /proc is the kernel's to follow
        if (!magic && ::fstatat(dir, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode)) {
            if (hops == 40 || ::fstat(dir, &folder) != 0) {
                why = std::generic_category().message(ELOOP);
                break;
            }
            if (!mayFollow(folder, link)) {
                why = plantedLink;
                break;
            }
            std::string target;
            if (!readLink(dir, name, target)) {
                why = std::generic_category().message(errno);
                break;
            }
            const std::filesystem::path to(target);
            const int next = openFolderSafely(dir, to.has_parent_path() ? to.parent_path() : std::filesystem::path("."), why);
            if (next < 0)
                break;
            ::close(dir);
            dir = next;
            name = to.filename().native();
            if (name.empty())
                name = ".";
            continue;
        }
        // Opened without following a link, so a link swapped in after the
        // look above is refused here and judged on the next round.
        fd = ::openat(dir, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (magic ? 0 : O_NOFOLLOW));
        error = errno;
        if (fd >= 0 || error != ELOOP || hops == 40)
            break;
    }
    ::close(dir);
    if (!why.empty())
        return why;
    if (fd < 0)
        return std::generic_category().message(error);
    s.reader.fd = fd;
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return std::generic_category().message(errno);
    if (S_ISDIR(info.st_mode))
        return std::generic_category().message(EISDIR);
    if (!S_ISREG(info.st_mode))
        return "not a regular file";
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return std::generic_category().message(errno);
    s.size = static_cast<std::uint64_t>(info.st_size);
    s.modified = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    s.stamp = stampOf(info);
    return "";
}

std::istream& InputFile::stream()
{
    return state_->stream;
}

std::uint64_t InputFile::size() const
{
    return state_->size;
}

std::int64_t InputFile::modified() const
{
    return state_->modified;
}

const FileStamp& InputFile::stamp() const
{
    return state_->stamp;
}

std::optional<FileStamp> InputFile::stampNow() const
{
    struct stat info {};
    if (state_->reader.fd < 0 || ::fstat(state_->reader.fd, &info) != 0)
        return std::nullopt;
    return stampOf(info);
}

void InputFile::close()
{
    if (state_->reader.fd >= 0)
        ::close(state_->reader.fd);
    state_->reader.fd = -1;
}

bool InputFile::nextData(std::uint64_t from, std::uint64_t& start, std::uint64_t& end) const
{
    const std::uint64_t size = state_->size;
    start = from;
    end = size;
    if (from >= size)
        return false;
#if defined(SEEK_DATA) && defined(SEEK_HOLE)
    // The reads seek before each piece, so moving the offset here is safe;
    // it is put back all the same.
    const int fd = state_->reader.fd;
    const off_t here = ::lseek(fd, 0, SEEK_CUR);
    const off_t data = ::lseek(fd, static_cast<off_t>(from), SEEK_DATA);
    if (data < 0) {
        const bool onlyHoles = errno == ENXIO;
        ::lseek(fd, here, SEEK_SET);
        return !onlyHoles; // a file system that cannot tell: all of it is data
    }
    const off_t hole = ::lseek(fd, data, SEEK_HOLE);
    ::lseek(fd, here, SEEK_SET);
    start = std::min<std::uint64_t>(static_cast<std::uint64_t>(data), size);
    if (hole >= 0)
        end = std::min<std::uint64_t>(static_cast<std::uint64_t>(hole), size);
    return start < end;
#else
    return true;
#endif
}

std::int64_t fileTimeNow()
{
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::int64_t fileTicksPerSecond()
{
    return 1000000000;
}

} // namespace quiltpix
