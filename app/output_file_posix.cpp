// The output file on POSIX systems: one descriptor from creation to commit,
// never reopened by name, so that nobody who can write to the folder can
// redirect the bitmap into another file by swapping a name for a link.
#include "output_file.h"
#include "output_target.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <streambuf>
#include <system_error>

namespace quiltpix {
namespace fs = std::filesystem;

namespace {

// The one name to remove if a signal ends the run while the bitmap has one.
// Set and cleared only with those signals blocked, so the handler never sees
// it half-written.
std::array<char, 4096> pendingName{};
volatile sig_atomic_t pendingSet = 0;

constexpr std::array<int, 4> endingSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void removePendingAndDie(int signal)
{
    if (pendingSet)
        ::unlink(pendingName.data());
    // SA_RESETHAND has put back the default action; the signal is delivered
    // again as the handler returns, so the exit status still names it.
    ::raise(signal);
}

// Installs the handler for each ending signal that is not ignored: a run
// started with SIGINT ignored (in the background) must stay immune to it.
void installHandlers()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    for (int signal : endingSignals) {
        struct sigaction old {};
        if (::sigaction(signal, nullptr, &old) != 0 || old.sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_handler = removePendingAndDie;
        action.sa_flags = static_cast<int>(SA_RESETHAND);
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
}

// Holds back the ending signals while the pending name changes together with
// the file system.
class SignalsHeld {
public:
    SignalsHeld()
    {
        sigset_t set;
        sigemptyset(&set);
        for (int signal : endingSignals)
            sigaddset(&set, signal);
        ::sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t old_;
};

bool setPending(const std::string& name)
{
    if (name.size() >= pendingName.size())
        return false;
    std::memcpy(pendingName.data(), name.c_str(), name.size() + 1);
    pendingSet = 1;
    return true;
}

// Writes straight to the descriptor: the converter hands over large blocks,
// so a buffer of our own would only add a copy.
class DescriptorBuffer : public std::streambuf {
public:
    int fd = -1;
    bool failed = false;

protected:
    std::streamsize xsputn(const char* data, std::streamsize n) override
    {
        std::streamsize done = 0;
        while (!failed && done < n) {
            const ssize_t written = ::write(fd, data + done, static_cast<std::size_t>(n - done));
            if (written > 0)
                done += written;
            else if (written < 0 && errno == EINTR)
                continue;
            else
                failed = true; // full disk, file size limit, I/O error
        }
        return done;
    }
    int_type overflow(int_type c) override
    {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        const char byte = traits_type::to_char_type(c);
        return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
    }
};

mode_t currentUmask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

} // namespace

struct OutputFile::State {
    fs::path target;
    std::string named; // the hidden name the file has, if any
    mode_t mode = 0;
    DescriptorBuffer buffer;
    std::ostream stream{&buffer};
    bool committed = false;
    std::mt19937_64 random{std::random_device{}()};

    int fd() const { return buffer.fd; }

    // Tries fresh hidden names until `make` puts the file under one (failing
    // with EEXIST while a name is taken), and remembers the name for the
    // signal handler in the same breath.
    template <typename Make>
    bool claimFreshName(Make make)
    {
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string name = hiddenName(target, random).string();
            SignalsHeld held;
            if (make(name)) {
                if (setPending(name)) {
                    named = name;
                    return true;
                }
                ::unlink(name.c_str());
                return false;
            }
            if (errno != EEXIST)
                return false;
        }
        return false;
    }

    // Creates the file under a hidden name, exclusively, never through a link.
    bool createNamed()
    {
        return claimFreshName([this](const std::string& name) {
            buffer.fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            return buffer.fd >= 0;
        });
    }

    // Gives the finished unnamed file a hidden name; linkat fails if the
    // name exists, which makes the name ours alone.
    bool linkNamed()
    {
        const std::string self = "/proc/self/fd/" + std::to_string(fd());
        return claimFreshName([this, &self](const std::string& name) {
            int linked = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
#ifdef AT_EMPTY_PATH
            if (linked != 0 && errno == ENOENT) // no /proc mounted
                linked = ::linkat(fd(), "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH);
#endif
            return linked == 0;
        });
    }

    void removeNamed()
    {
        SignalsHeld held;
        ::unlink(named.c_str());
        pendingSet = 0;
        named.clear();
    }
};

// A test build turns the unnamed file off, so that the named one, used where
// a file system refuses O_TMPFILE, is tested on this machine's file systems.
#if defined(O_TMPFILE) && !defined(QUILTPIX_NO_TMPFILE)
constexpr bool tryUnnamed = true;
#else
constexpr bool tryUnnamed = false;
#endif

OutputFile::OutputFile() : state_(std::make_unique<State>()) {}

OutputFile::~OutputFile()
{
    State& s = *state_;
    if (!s.committed && !s.named.empty())
        s.removeNamed();
    if (s.fd() >= 0)
        ::close(s.fd());
}

bool OutputFile::open(const std::string& outputName)
{
    State& s = *state_;
    s.target = resolveLinks(outputName);
    struct stat existing {};
    if (::lstat(s.target.c_str(), &existing) == 0) {
        // Only a regular file may be replaced, and only one we could have
        // written to: appending to it, without blocking or following a link,
        // changes nothing.
        if (!S_ISREG(existing.st_mode))
            return false;
        const int probe = ::open(s.target.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (probe < 0)
            return false;
        ::close(probe);
        s.mode = existing.st_mode & 0777;
    } else if (errno == ENOENT) {
        s.mode = 0666 & ~currentUmask();
    } else {
        return false;
    }

    installHandlers();
    // An unnamed file is named through /proc/self/fd at the end (the other
    // way, AT_EMPTY_PATH, needs a privilege most users lack): without /proc,
    // take a named file from the start rather than fail after all the work.
    if (tryUnnamed && ::access("/proc/self/fd", X_OK) == 0) {
#ifdef O_TMPFILE
        const fs::path folder = s.target.has_parent_path() ? s.target.parent_path() : fs::path(".");
        s.buffer.fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (s.fd() >= 0)
            return true;
        // Older kernels and some network and FUSE file systems refuse
        // unnamed files; anything else (no such folder, no permission) is
        // a refusal of the output name.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return false;
#endif
    }
    return s.createNamed();
}

std::ostream& OutputFile::stream()
{
    return state_->stream;
}

bool OutputFile::commit()
{
    State& s = *state_;
    if (s.fd() < 0 || !s.stream.flush() || s.buffer.failed)
        return false;
    // Synced before it takes the output's name, so that a crash soon after
    // cannot leave an empty file where the old one was. A file system that
    // cannot sync at all says EINVAL; that is no reason to fail.
    if (::fchmod(s.fd(), s.mode) != 0 || (::fsync(s.fd()) != 0 && errno != EINVAL))
        return false;
    if (s.named.empty() && !s.linkNamed())
        return false;
    // Someone who may write to the folder can swap the hidden name for a
    // link of their own; renaming that over the output would hand them the
    // output name. The name must still be this very file.
    struct stat ours {}, named {};
    if (::fstat(s.fd(), &ours) != 0 || ::lstat(s.named.c_str(), &named) != 0 || ours.st_dev != named.st_dev ||
        ours.st_ino != named.st_ino)
        return false;
    const int fd = s.fd();
    s.buffer.fd = -1;
    if (::close(fd) != 0)
        return false;
    SignalsHeld held;
    if (::rename(s.named.c_str(), s.target.c_str()) != 0)
        return false;
    pendingSet = 0;
    s.named.clear();
    s.committed = true;
    return true;
}

void ignoreWriteSignals()
{
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
}

} // namespace quiltpix
