// The input on POSIX systems: one descriptor, opened without waiting (a FIFO
// would block an ordinary open), judged with fstat, then read as a file.
#include "input_file.h"
#include "read_buffer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return std::generic_category().message(errno);
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

} // namespace quiltpix
