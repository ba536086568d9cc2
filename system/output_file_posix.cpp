// The output file on POSIX systems: one descriptor from creation to commit,
// never reopened by name, and every step relative to the output's folder,
// opened once, so that nobody who can write to the folder can redirect the
// bitmap into another file by swapping a name for a link.
#include "output_file.h"
#include "direct_buffer.h"
#include "hidden_name.h"
#include "stamp_posix.h"
#include "links_posix.h"
#include "ready_line.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <random>
#include <system_error>
#include <vector>

namespace quiltpix {
namespace fs = std::filesystem;

namespace {

// The one name to remove if a signal ends the run while the bitmap has one,
// and the folder it is in. Set and cleared only with those signals blocked,
// so the handler never sees them half-written. Hidden names are far shorter
// than this (see hiddenName).
std::array<char, 256> pendingName{};
volatile sig_atomic_t pendingDir = -1;
volatile sig_atomic_t pendingSet = 0;

// Every catchable signal whose default action ends the process, but SIGPIPE
// and SIGXFSZ, which are ignored (see ignoreWriteSignals).
const std::vector<int>& endingSignals()
{
    static const std::vector<int> signals = [] {
        std::vector<int> list = {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP,   SIGABRT, SIGBUS, SIGFPE,
                                 SIGUSR1, SIGSEGV, SIGUSR2, SIGALRM, SIGTERM,   SIGXCPU, SIGVTALRM,
                                 SIGPROF, SIGSYS};
#ifdef SIGSTKFLT
        list.push_back(SIGSTKFLT);
#endif
#ifdef SIGPWR
        list.push_back(SIGPWR);
#endif
#if defined(SIGPOLL) && defined(__linux__)
        list.push_back(SIGPOLL); // SIGIO; elsewhere its default is to ignore it
#endif
#ifdef SIGRTMIN
        for (int s = SIGRTMIN; s <= SIGRTMAX; ++s)
            list.push_back(s);
#endif
        return list;
    }();
    return signals;
}

// The interruption line (setInterruptionLine).
ReadyLine<sig_atomic_t> interruption;

extern "C" void removePendingAndDie(int signal)
{
    if (pendingSet)
        ::unlinkat(pendingDir, pendingName.data(), 0);
    const char* line = nullptr;
    std::size_t length = 0;
    if ((signal == SIGINT || signal == SIGTERM || signal == SIGHUP) && interruption.get(line, length)) {
        const ssize_t written = ::write(STDOUT_FILENO, line, length);
        (void)written;
    }
    // SA_RESETHAND has put back the default action; the signal is delivered
    // again as the handler returns, so the exit status still names it.
    ::raise(signal);
}

// Installs the handler for each ending signal that has its default action:
// one ignored at start (a background job's SIGINT) stays ignored, and one
// that someone else handles (a sanitizer's SIGSEGV) stays theirs.
void installHandlers()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    for (int signal : endingSignals()) {
        struct sigaction old {};
        if (::sigaction(signal, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL)
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
        for (int signal : endingSignals())
            sigaddset(&set, signal);
        ::sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t old_;
};

class DescriptorBuffer : public DirectBuffer {
public:
    int fd = -1;
    int error = 0; // errno of the write that failed

protected:
    std::size_t writeSome(const char* data, std::size_t n) override
    {
        while (error == 0) {
            const ssize_t written = ::write(fd, data, n);
            if (written > 0)
                return static_cast<std::size_t>(written);
            if (written < 0 && errno == EINTR)
                continue;
            error = written < 0 ? errno : ENOSPC; // full disk, file size limit, I/O error
        }
        return 0;
    }
};

mode_t currentUmask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

// An append-only or immutable file cannot be replaced; statx tells without
// opening it. An empty name asks about the folder itself.
bool isAppendOnlyOrImmutable(int dir, const std::string& name)
{
#if defined(__linux__) && defined(STATX_ATTR_APPEND) && defined(STATX_ATTR_IMMUTABLE)
    struct statx attributes {};
    const int flags = AT_SYMLINK_NOFOLLOW | (name.empty() ? AT_EMPTY_PATH : 0);
    if (::statx(dir, name.c_str(), flags, STATX_BASIC_STATS, &attributes) != 0)
        return false;
    const auto refusing = static_cast<std::uint64_t>(STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE);
    return (attributes.stx_attributes_mask & attributes.stx_attributes & refusing) != 0;
#else
    (void)dir;
    (void)name;
    return false;
#endif
}

} // namespace

struct OutputFile::State {
    int dir = -1;          // the output's folder, once links are followed
    std::string name;      // the output's name in it
    bool replacing = false; // an output stands under that name
    std::string hidden;    // the hidden name the file has, if any
    mode_t mode = 0;
    std::int64_t oldModified = 0; // of the output replaced, in nanoseconds
    uid_t oldOwner = 0;    // of the output replaced
    gid_t oldGroup = 0;
    DescriptorBuffer buffer;
    std::ostream stream{&buffer};
    // A second descriptor of the file that holds its lock for the whole
    // run, also after the first is closed at the commit: a locked temporary
    // has a live writer, an unlocked one was left by a run that was killed.
    int lockFd = -1;
    bool committed = false;
    bool changedMeanwhile = false;
    std::string failure;
    std::mt19937_64 random{std::random_device{}()};

    int fd() const { return buffer.fd; }

    bool fail(const std::string& why)
    {
        failure = why;
        return false;
    }
    bool failWithErrno() { return fail(std::generic_category().message(errno)); }

    // Tries fresh hidden names until `make` puts the file under one (failing
    // with EEXIST while a name is taken), and remembers the name for the
    // signal handler in the same breath.
    template <typename Make>
    bool claimFreshName(Make make)
    {
        const long limit = ::fpathconf(dir, _PC_NAME_MAX);
        const std::size_t nameMax = limit > 0 ? static_cast<std::size_t>(limit) : 255;
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string candidate = hiddenName(name, random(), nameMax).native();
            SignalsHeld held;
            if (make(candidate)) {
                std::memcpy(pendingName.data(), candidate.c_str(), candidate.size() + 1);
                pendingDir = dir;
                pendingSet = 1;
                hidden = candidate;
                return true;
            }
            if (errno != EEXIST)
                return failWithErrno();
        }
        return fail("no fresh temporary name could be found");
    }

    // Locks the new file for as long as this run lives. A file system
    // without locks gets none, and then nobody sweeps the file either.
    void lock()
    {
        if (::flock(fd(), LOCK_EX | LOCK_NB) == 0)
            lockFd = ::fcntl(fd(), F_DUPFD_CLOEXEC, 0);
    }

    // Creates the file under a hidden name, exclusively, never through a link.
    bool createNamed()
    {
        return claimFreshName([this](const std::string& candidate) {
            buffer.fd = ::openat(dir, candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (buffer.fd < 0)
                return false;
            lock();
            // Another run's sweep may have taken the name away between the
            // creation and the lock: then try another.
            struct stat ours {}, named {};
            if (::fstat(fd(), &ours) == 0 && ::fstatat(dir, candidate.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                ours.st_dev == named.st_dev && ours.st_ino == named.st_ino)
                return true;
            ::close(buffer.fd);
            buffer.fd = -1;
            if (lockFd >= 0)
                ::close(lockFd);
            lockFd = -1;
            errno = EEXIST;
            return false;
        });
    }

    // Removes this output's temporaries that a killed run left: ours, and
    // with nobody holding their lock. Failing that changes nothing.
    // The hidden files in the output's folder, listed once a run however
    // many outputs go there: a folder of 20,000 files is read once, not once
    // an output.
    const std::vector<std::string>& hiddenFiles()
    {
        static std::map<std::pair<dev_t, ino_t>, std::vector<std::string>> listed;
        struct stat folderInfo {};
        if (::fstat(dir, &folderInfo) != 0) {
            static const std::vector<std::string> none;
            return none;
        }
        const auto key = std::make_pair(folderInfo.st_dev, folderInfo.st_ino);
        const auto known = listed.find(key);
        if (known != listed.end())
            return known->second;
        std::vector<std::string>& names = listed[key];
        const int listing = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* folder = listing >= 0 ? ::fdopendir(listing) : nullptr;
        if (!folder) {
            if (listing >= 0)
                ::close(listing);
            return names;
        }
        while (const dirent* entry = ::readdir(folder)) {
            const std::size_t length = std::strlen(entry->d_name);
            if (entry->d_name[0] == '.' && length > 5 && std::strcmp(entry->d_name + length - 5, ".part") == 0)
                names.emplace_back(entry->d_name);
        }
        ::closedir(folder);
        return names;
    }

    void sweepStale()
    {
        const long limit = ::fpathconf(dir, _PC_NAME_MAX);
        const std::size_t nameMax = limit > 0 ? static_cast<std::size_t>(limit) : 255;
        std::vector<std::string> stale;
        for (const std::string& hiddenName : hiddenFiles())
            if (isHiddenNameOf(hiddenName, name, nameMax))
                stale.push_back(hiddenName);
        for (const std::string& candidate : stale) {
            struct stat named {}, opened {};
            if (::fstatat(dir, candidate.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode) ||
                named.st_uid != ::geteuid())
                continue;
            const int file = ::openat(dir, candidate.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (file < 0)
                continue;
            if (::fstat(file, &opened) == 0 && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino &&
                ::flock(file, LOCK_EX | LOCK_NB) == 0 &&
                ::fstatat(dir, candidate.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                opened.st_dev == named.st_dev && opened.st_ino == named.st_ino)
                ::unlinkat(dir, candidate.c_str(), 0);
            ::close(file);
        }
    }

    // Gives the finished unnamed file a name in the folder; linkat fails if
    // the name exists, which makes it ours alone.
    bool linkAs(const std::string& linkName)
    {
        const std::string self = "/proc/self/fd/" + std::to_string(fd());
        int linked = ::linkat(AT_FDCWD, self.c_str(), dir, linkName.c_str(), AT_SYMLINK_FOLLOW);
#ifdef AT_EMPTY_PATH
        if (linked != 0 && errno == ENOENT) // no /proc mounted
            linked = ::linkat(fd(), "", dir, linkName.c_str(), AT_EMPTY_PATH);
#endif
        return linked == 0;
    }

    void removeHidden()
    {
        SignalsHeld held;
        ::unlinkat(dir, hidden.c_str(), 0);
        pendingSet = 0;
        hidden.clear();
    }

    // Follows links at the end of the output name, one at a time, as the
    // kernel would but with its protection for shared folders always on;
    // each link's folder is opened through the kernel, relative to the last.
    bool followLinks(struct stat& existing)
    {
        for (int hops = 0;; ++hops) {
            if (::fstatat(dir, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT)
                    return failWithErrno();
                replacing = false;
                return true;
            }
            if (!S_ISLNK(existing.st_mode)) {
                replacing = true;
                return true;
            }
            struct stat folder {};
            if (hops == 40 || ::fstat(dir, &folder) != 0)
                return fail(std::generic_category().message(ELOOP));
            if (!mayFollow(folder, existing))
                return fail(plantedLink);
            if (isMagicLinkFolder(dir)) {
                // /proc/self/fd/N and its kin name an open file, not a path:
                // their text may be "pipe:[123]" or "name (deleted)".
                // Their text is followed only where it names that very file.
                struct stat opened {}, named {};
                std::string text;
                if (::fstatat(dir, name.c_str(), &opened, 0) != 0)
                    return failWithErrno();
                if (!S_ISREG(opened.st_mode))
                    return fail("not a regular file");
                if (!readLink(dir, name, text) || text.empty() || text[0] != '/' ||
                    ::stat(text.c_str(), &named) != 0 || named.st_dev != opened.st_dev || named.st_ino != opened.st_ino)
                    return fail("a link that names no file");
            }
            std::string target;
            if (!readLink(dir, name, target))
                return failWithErrno();
            const fs::path to(target);
            const fs::path toFolder = to.has_parent_path() ? to.parent_path() : fs::path(".");
            name = to.filename().native();
            if (name.empty() || name == "." || name == "..")
                return fail(std::generic_category().message(EISDIR));
            std::string why;
            const int next = openFolderSafely(dir, toFolder, why);
            if (next < 0)
                return fail(why);
            ::close(dir);
            dir = next;
        }
    }

    // A replaced output keeps its owner and group where the system lets us
    // (root keeps both, a member of the old group keeps the group), and its
    // permission bits only for those who still hold them: the group's bits
    // go when the group changes, and the umask applies when the owner does.
    // So replacing never lets anyone read or write who could not before.
    bool keepOwnership()
    {
        mode_t bits = mode;
        if (replacing) {
            struct stat now {};
            if (::fstat(fd(), &now) != 0)
                return failWithErrno();
            if ((now.st_uid != oldOwner || now.st_gid != oldGroup) && ::fchown(fd(), oldOwner, oldGroup) != 0 &&
                ::fchown(fd(), static_cast<uid_t>(-1), oldGroup) != 0) {
                // Neither is ours to keep: the bits are narrowed below.
            }
            if (::fstat(fd(), &now) != 0)
                return failWithErrno();
            if (now.st_gid != oldGroup)
                bits &= static_cast<mode_t>(~070);
            if (now.st_uid != oldOwner)
                bits &= static_cast<mode_t>(~currentUmask());
        }
        if (::fchmod(fd(), bits) != 0)
            return failWithErrno();
        return true;
    }

    // After the output name was given to the hidden one: a swap of the
    // hidden name after the last look can have given it their link instead.
    // Then the name goes again, so that the output is ours or absent, never
    // theirs.
    bool keepIfOurs(const struct stat& ours)
    {
        struct stat named {};
        if (::fstatat(dir, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || ours.st_dev != named.st_dev ||
            ours.st_ino != named.st_ino) {
            ::unlinkat(dir, name.c_str(), 0);
            return fail("the temporary file was replaced by someone else");
        }
        committed = true;
        return true;
    }

    // Refuses, before any work, what the final rename would refuse.
    bool mayReplace(const struct stat& existing)
    {
        if (S_ISDIR(existing.st_mode))
            return fail(std::generic_category().message(EISDIR));
        if (!S_ISREG(existing.st_mode))
            return fail("not a regular file");
        // Asked of the kernel, not by opening the file: a failed conversion
        // must not so much as touch the old output.
        if (::faccessat(dir, name.c_str(), W_OK, AT_EACCESS) != 0)
            return failWithErrno();
        if (isAppendOnlyOrImmutable(dir, name))
            return fail("the file is append-only or immutable");
        struct stat folder {};
        if (::fstat(dir, &folder) != 0)
            return failWithErrno();
        // The sticky bit lets only the file's owner, the folder's owner or
        // root rename over it. And in a sticky folder everybody may write to,
        // nobody (root included) replaces another user's file there, as the
        // kernel's fs.protected_regular=1 would have it whatever the
        // system's setting: the new file would be ours with their
        // permissions, and theirs to overwrite.
        const uid_t user = ::geteuid();
        const bool sticky = (folder.st_mode & S_ISVTX) != 0;
        const bool shared = sticky && (folder.st_mode & S_IWOTH);
        const bool ownedHere = existing.st_uid == user || existing.st_uid == folder.st_uid;
        if ((shared && !ownedHere) || (sticky && user != 0 && existing.st_uid != user && folder.st_uid != user))
            return fail("it belongs to another user, and this shared folder lets only its owner replace it");
        return true;
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
    if (!s.committed && !s.hidden.empty())
        s.removeHidden();
    if (s.fd() >= 0)
        ::close(s.fd());
    if (s.lockFd >= 0)
        ::close(s.lockFd);
    if (s.dir >= 0)
        ::close(s.dir);
}

bool OutputFile::open(const fs::path& outputName)
{
    State& s = *state_;
    if (outputName.empty())
        return s.fail("an empty path");
    s.name = outputName.filename().native();
    if (s.name.empty() || s.name == "." || s.name == "..")
        return s.fail(std::generic_category().message(EISDIR));
    std::string why;
    s.dir = openFolderSafely(AT_FDCWD, outputName.has_parent_path() ? outputName.parent_path() : fs::path("."), why);
    if (s.dir < 0)
        return s.fail(why);
    struct stat existing {};
    if (!s.followLinks(existing))
        return false;
    if (s.replacing) {
        if (!s.mayReplace(existing))
            return false;
        s.mode = existing.st_mode & 0777;
        s.oldModified = static_cast<std::int64_t>(existing.st_mtim.tv_sec) * 1000000000 + existing.st_mtim.tv_nsec;
        s.oldOwner = existing.st_uid;
        s.oldGroup = existing.st_gid;
    } else {
        s.mode = 0666 & ~currentUmask();
    }

    // Nothing can be renamed or removed in an append-only folder: replacing
    // an output there, or a hidden name that must go again, would fail only
    // after all the work, leaving the hidden file behind.
    const bool appendOnlyFolder = isAppendOnlyOrImmutable(s.dir, "");
    const char* const appendOnly = "the folder is append-only, so the output cannot be put in place there";
    if (appendOnlyFolder && s.replacing)
        return s.fail(appendOnly);

    s.sweepStale();
    installHandlers();
    // An unnamed file is named through /proc/self/fd at the end (the other
    // way, AT_EMPTY_PATH, needs a privilege most users lack): without /proc,
    // take a named file from the start rather than fail after all the work.
    if (tryUnnamed && ::access("/proc/self/fd", X_OK) == 0) {
#ifdef O_TMPFILE
        s.buffer.fd = ::openat(s.dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (s.fd() >= 0) {
            s.lock();
            return true;
        }
        // Older kernels and some network and FUSE file systems refuse
        // unnamed files; anything else (no permission, a read-only file
        // system) is a refusal of the output name.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return s.failWithErrno();
#endif
    }
    if (appendOnlyFolder)
        return s.fail(appendOnly);
    return s.createNamed();
}

std::ostream& OutputFile::stream()
{
    return state_->stream;
}

bool OutputFile::writeAt(std::uint64_t pos, const unsigned char* data, std::size_t n)
{
    DescriptorBuffer& b = state_->buffer;
    while (n > 0 && b.error == 0) {
        const ssize_t written = ::pwrite(b.fd, data, n, static_cast<off_t>(pos));
        if (written > 0) {
            data += written;
            n -= static_cast<std::size_t>(written);
            pos += static_cast<std::uint64_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else {
            b.error = written < 0 ? errno : ENOSPC;
        }
    }
    return b.error == 0;
}

const std::string& OutputFile::failure() const
{
    State& s = *state_;
    if (s.failure.empty() && s.buffer.error != 0) // a write the converter saw fail
        s.failure = std::generic_category().message(s.buffer.error);
    return s.failure;
}

bool OutputFile::changedMeanwhile() const
{
    return state_->changedMeanwhile;
}

// `judged` null: replace whatever stands there. Otherwise only the file it
// says (or no file).
bool OutputFile::commitChecked(const std::optional<FileStamp>* judged)
{
    State& s = *state_;
    if (s.fd() < 0)
        return s.fail(std::generic_category().message(EBADF));
    if (!s.stream.flush() || s.buffer.error != 0)
        return s.fail(std::generic_category().message(s.buffer.error ? s.buffer.error : EIO));
    // No sync: like cp, the data reaches the disk when the system writes it
    // back, and a conversion does not wait for the disk.
    if (!s.keepOwnership())
        return false;
    const auto changed = [&s] {
        s.changedMeanwhile = true;
        return s.fail("it changed while this run worked, so it was left as it is; run again to judge it anew");
    };
    bool replacing = s.replacing;
    if (judged) {
        struct stat now {};
        const bool stands = ::fstatat(s.dir, s.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0;
        if (stands && (!*judged || stampOf(now) != **judged))
            return changed();
        replacing = stands;
    }
    if (!replacing) {
        // No output yet: the finished file takes the output name itself, in
        // one step that fails if the name has appeared meanwhile; so a kill
        // at any moment leaves nothing or the whole bitmap.
        if (s.hidden.empty() && s.linkAs(s.name)) {
            const int fd = s.fd();
            s.buffer.fd = -1;
            if (::close(fd) == 0) {
                s.committed = true;
                return true;
            }
            // A late write error (a network file system reports them
            // here): the bitmap may be incomplete, so it must not stay.
            const int error = errno;
            ::unlinkat(s.dir, s.name.c_str(), 0);
            errno = error;
            return s.failWithErrno();
        }
        if (s.hidden.empty() && errno != EEXIST)
            return s.failWithErrno();
        if (s.hidden.empty() && judged)
            return changed(); // it appeared: judged anew, never renamed over
    }
    if (s.hidden.empty() && !s.claimFreshName([&s](const std::string& candidate) { return s.linkAs(candidate); }))
        return false;
    // Someone who may write to the folder can swap the hidden name for a
    // link of their own; renaming that over the output would hand them the
    // output name. The name must still be this very file.
    struct stat ours {}, named {};
    if (::fstat(s.fd(), &ours) != 0 || ::fstatat(s.dir, s.hidden.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        ours.st_dev != named.st_dev || ours.st_ino != named.st_ino)
        return s.fail("the temporary file was replaced by someone else");
    const int fd = s.fd();
    s.buffer.fd = -1;
    if (::close(fd) != 0)
        return s.failWithErrno();
    SignalsHeld held;
    if (judged && !replacing) {
        // A second name that fails if the output name is taken, then the
        // hidden one goes.
        if (::linkat(s.dir, s.hidden.c_str(), s.dir, s.name.c_str(), 0) != 0)
            return errno == EEXIST ? changed() : s.failWithErrno();
        ::unlinkat(s.dir, s.hidden.c_str(), 0);
        pendingSet = 0;
        s.hidden.clear();
        return s.keepIfOurs(ours);
    }
#if defined(RENAME_EXCHANGE) && !defined(QUILTPIX_NO_EXCHANGE)
    // Exchanged rather than renamed over the old output, the old output is
    // never lost to a swap that falls after the check above: if the name
    // we put in place is not our file, or the file we took out is not the
    // one judged, the exchange is undone.
    if (replacing) {
        if (::renameat2(s.dir, s.hidden.c_str(), s.dir, s.name.c_str(), RENAME_EXCHANGE) == 0) {
            struct stat old {};
            const bool placed = ::fstatat(s.dir, s.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                                ours.st_dev == named.st_dev && ours.st_ino == named.st_ino;
            const bool taken = ::fstatat(s.dir, s.hidden.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
            // A file saved under the output name meanwhile goes back in
            // place; what someone else renamed over our hidden name (a link)
            // never does.
            const bool saved = taken && S_ISREG(old.st_mode) && old.st_nlink == 1;
            const bool asJudged = !judged || (taken && stampOf(old).sameContent(**judged)) || !saved;
            if (!placed || !asJudged)
                ::renameat2(s.dir, s.hidden.c_str(), s.dir, s.name.c_str(), RENAME_EXCHANGE);
            ::unlinkat(s.dir, s.hidden.c_str(), 0); // the old output, their link, or ours undone
            pendingSet = 0;
            s.hidden.clear();
            if (!placed)
                return s.fail("the temporary file was replaced by someone else");
            if (!asJudged)
                return changed();
            s.committed = true;
            return true;
        }
        // A file system that cannot exchange names (or an output that went
        // meanwhile): renamed as below.
        if (errno != EINVAL && errno != ENOSYS && errno != ENOENT && errno != EOPNOTSUPP)
            return s.failWithErrno();
    }
#endif
    if (judged && replacing) {
        // Without an exchange, the last look is just before the rename.
        struct stat now {};
        if (::fstatat(s.dir, s.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && stampOf(now) != **judged)
            return changed();
    }
    if (::renameat(s.dir, s.hidden.c_str(), s.dir, s.name.c_str()) != 0)
        return s.failWithErrno();
    pendingSet = 0;
    s.hidden.clear();
    return s.keepIfOurs(ours);
}

std::optional<std::uint64_t> OutputFile::freeSpace() const
{
    struct statvfs space {};
    if (state_->dir < 0 || ::fstatvfs(state_->dir, &space) != 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(space.f_bavail) * static_cast<std::uint64_t>(space.f_frsize);
}

OutputFile::Existing OutputFile::compareWithExisting()
{
    State& s = *state_;
    if (!s.replacing || s.fd() < 0 || !s.stream.flush() || s.buffer.error != 0)
        return Existing::none;
    const int old = ::openat(s.dir, s.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (old < 0)
        return Existing::differs;
    struct stat theirs {}, ours {};
    bool same = ::fstat(old, &theirs) == 0 && ::fstat(s.fd(), &ours) == 0 && S_ISREG(theirs.st_mode) &&
                theirs.st_size == ours.st_size;
    std::vector<char> a(1 << 20), b(1 << 20);
    for (off_t at = 0; same && at < ours.st_size;) {
        const ssize_t got = ::pread(s.fd(), a.data(), a.size(), at);
        if (got <= 0 || ::pread(old, b.data(), static_cast<std::size_t>(got), at) != got ||
            std::memcmp(a.data(), b.data(), static_cast<std::size_t>(got)) != 0)
            same = false;
        else
            at += got;
    }
    ::close(old);
    return same ? Existing::same : Existing::differs;
}

std::optional<std::int64_t> OutputFile::existingModified() const
{
    if (!state_->replacing)
        return std::nullopt;
    return state_->oldModified;
}

namespace {
sigset_t deferredFrom;
int deferredDepth = 0;
} // namespace

SignalsDeferred::SignalsDeferred()
{
    if (deferredDepth++ > 0)
        return;
    sigset_t set;
    sigemptyset(&set);
    for (int signal : endingSignals())
        sigaddset(&set, signal);
    ::sigprocmask(SIG_BLOCK, &set, &deferredFrom);
}

SignalsDeferred::~SignalsDeferred()
{
    if (--deferredDepth == 0)
        ::sigprocmask(SIG_SETMASK, &deferredFrom, nullptr);
}

void setInterruptionLine(const std::string& line)
{
    installHandlers();
    interruption.set(line);
}

void ignoreWriteSignals()
{
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
}

} // namespace quiltpix
