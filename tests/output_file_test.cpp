// The output file against other users and odd situations: links planted in a
// shared folder, a path as long as the system allows, every fatal signal on
// the named fallback, and an old output that a failed run must not touch.
// Tests that need a second user run only as root, and say so otherwise.
#include "picture.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

using namespace quiltpix::testkit;
namespace fs = std::filesystem;

namespace {

constexpr uid_t nobody = 65534;

struct Outcome {
    int status = -1; // as waitpid gives it
    std::string out;
};

// Runs a program in `dir` as `uid` (when root), its output in a pipe.
pid_t start(const char* exe, const fs::path& dir, const std::vector<std::string>& args, int out, uid_t uid = ::geteuid(),
            int ignored = 0)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out, 1);
        if (ignored != 0) // as a shell starts a background job with SIGINT ignored
            ::signal(ignored, SIG_IGN);
        if (uid != ::geteuid() && (::setgid(uid) != 0 || ::setuid(uid) != 0))
            ::_exit(125);
        if (::chdir(dir.c_str()) != 0)
            ::_exit(126);
        // On a cross build the emulator runs the program.
        std::vector<char*> argv;
        if (*QUILTPIX_RUNNER)
            argv.push_back(const_cast<char*>(QUILTPIX_RUNNER));
        argv.push_back(const_cast<char*>(exe));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// The program where another user can reach it: the build folder may lie in a
// private home (a clone in a 0700 folder), so a second user runs a copy from a
// folder of its own in the temporary folder, removed when the tests end.
class ReachableCopies {
public:
    const char* of(const char* exe)
    {
        auto found = copies_.find(exe);
        if (found != copies_.end())
            return found->second.c_str();
        if (folder_.empty()) {
            folder_ = fs::temp_directory_path() / ("quiltpix-programs-" + std::to_string(::getpid()));
            fs::create_directories(folder_);
            fs::permissions(folder_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                         fs::perms::others_read | fs::perms::others_exec);
        }
        const fs::path copy = folder_ / (std::to_string(copies_.size()) + "-" + fs::path(exe).filename().string());
        fs::copy_file(exe, copy, fs::copy_options::overwrite_existing);
        fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
        return copies_.emplace(exe, copy.string()).first->second.c_str();
    }
    ~ReachableCopies()
    {
        std::error_code ignored;
        if (!folder_.empty())
            fs::remove_all(folder_, ignored);
    }

private:
    fs::path folder_;
    std::map<std::string, std::string> copies_;
};

ReachableCopies reachable;

Outcome run(const char* exe, const fs::path& dir, const std::vector<std::string>& args, uid_t uid = ::geteuid())
{
    if (uid != ::geteuid())
        exe = reachable.of(exe);
    int ends[2];
    if (::pipe(ends) != 0)
        return {};
    const pid_t pid = start(exe, dir, args, ends[1], uid);
    ::close(ends[1]);
    Outcome r;
    char buffer[4096];
    for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;)
        r.out.append(buffer, static_cast<std::size_t>(n));
    ::close(ends[0]);
    ::waitpid(pid, &r.status, 0);
    return r;
}

Bytes smallMos()
{
    return writeMos(indexPicture(noisePicture(70, 67, 3)));
}

const std::string banner = "Quiltpix v1.0 by Wenderby\n";

class OutputFileTest : public ScratchDir {};

} // namespace

// Another user's link in a sticky folder everybody may write to is never
// followed, whatever fs.protected_symlinks says, whether it points at a file
// or at nothing; the user's own link still is.
TEST_F(OutputFileTest, ALinkAnotherUserPlantedInASharedFolderIsRefused)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to plant a link as a second user";
    const fs::path shared = dir_ / "shared";
    const fs::path elsewhere = dir_ / "elsewhere";
    fs::create_directories(shared);
    fs::create_directories(elsewhere);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    fs::permissions(elsewhere, fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::others_exec);
    const Bytes secret = {'s', 'e', 'c', 'r', 'e', 't'};
    ASSERT_TRUE(writeFile((elsewhere / "secret").string(), secret));
    ASSERT_TRUE(writeFile((shared / "pic.mos").string(), smallMos()));
    fs::permissions(shared / "pic.mos", fs::perms::owner_read | fs::perms::others_read);

    const auto plant = [&](const fs::path& to, uid_t owner) {
        fs::remove(shared / "pic.bmp");
        fs::create_symlink(to, shared / "pic.bmp");
        ASSERT_EQ(::lchown((shared / "pic.bmp").c_str(), owner, owner), 0);
    };
    const std::string refused = "pic.bmp: a link another user put in this shared folder; it is not followed\n"
                                "Can't open output file: pic.bmp\n";
    for (const fs::path& to : {elsewhere / "secret", elsewhere / "new"}) {
        SCOPED_TRACE(to);
        plant(to, nobody);
        Outcome r = run(QUILTPIX_EXE, shared, {"pic.mos"});
        EXPECT_EQ(r.out, banner + refused);
        // A second user, not the folder's owner, meets another's link too.
        plant(to, 12345);
        r = run(QUILTPIX_EXE, shared, {"pic.mos"}, nobody);
        EXPECT_EQ(r.out, banner + refused);
        EXPECT_EQ(readFile((elsewhere / "secret").string()), secret);
        EXPECT_FALSE(fs::exists(elsewhere / "new"));
    }

    // The user's own link, and the folder owner's, are followed as before.
    plant(elsewhere / "mine", 0);
    EXPECT_EQ(run(QUILTPIX_EXE, shared, {"pic.mos"}).status, 0);
    EXPECT_TRUE(fs::is_symlink(shared / "pic.bmp"));
    EXPECT_TRUE(readBitmap(readFile((elsewhere / "mine").string())));
    EXPECT_EQ(namesIn(shared), (std::vector<std::string>{"pic.bmp", "pic.mos"}));
}

// In a sticky folder, another user's old output cannot be renamed over, and an
// append-only one cannot be replaced at all: both are refused before any work.
TEST_F(OutputFileTest, WhatTheRenameWouldRefuseIsRefusedFirst)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to act as a second user and set file attributes";
    const fs::path shared = dir_ / "shared";
    fs::create_directories(shared);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::others_exec);
    ASSERT_TRUE(writeFile((shared / "pic.mos").string(), smallMos()));
    fs::permissions(shared / "pic.mos", fs::perms::owner_read | fs::perms::others_read);
    const Bytes old = {'o', 'l', 'd'};
    ASSERT_TRUE(writeFile((shared / "pic.bmp").string(), old));
    makeOlder(shared / "pic.bmp");
    fs::permissions(shared / "pic.bmp", fs::perms::all); // writable, yet not ours to replace

    const std::string notOurs = "pic.bmp: it belongs to another user, and this shared folder lets only its owner replace it\n"
                                "Can't open output file: pic.bmp\n";
    Outcome r = run(QUILTPIX_EXE, shared, {"pic.mos"}, nobody);
    EXPECT_EQ(r.out, banner + notOurs);
    // Root too, for another user's file in a folder everybody may write to:
    // the new file would be root's, with the other user's permissions.
    ASSERT_EQ(::chown((shared / "pic.bmp").c_str(), nobody, nobody), 0);
    r = run(QUILTPIX_EXE, shared, {"pic.mos"});
    EXPECT_EQ(r.out, banner + notOurs);
    ASSERT_EQ(::chown((shared / "pic.bmp").c_str(), 0, 0), 0);

    const int fd = ::open((shared / "pic.bmp").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags |= FS_APPEND_FL;
        if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0) {
            r = run(QUILTPIX_EXE, shared, {"pic.mos"});
            EXPECT_EQ(r.out, banner + "pic.bmp: the file is append-only or immutable\nCan't open output file: pic.bmp\n");
            flags &= ~FS_APPEND_FL;
            ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        } else {
            std::cout << "[ skipped  ] this file system takes no append-only flag\n";
        }
    }
    ::close(fd);
    EXPECT_EQ(readFile((shared / "pic.bmp").string()), old);
    EXPECT_EQ(namesIn(shared), (std::vector<std::string>{"pic.bmp", "pic.mos"}));
}

// Paths up to the system's limit convert: everything after the folder is
// opened works relative to it, so the hidden name adds nothing to the path.
TEST_F(OutputFileTest, APathAsLongAsTheSystemAllowsConverts)
{
    std::string path;
    int folder = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    while (path.size() < 4090 - 200 - 8) {
        const std::string name(200, static_cast<char>('a' + path.size() / 201 % 26));
        ASSERT_EQ(::mkdirat(folder, name.c_str(), 0700), 0);
        const int next = ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(folder);
        folder = next;
        path += name + "/";
    }
    const std::string file = std::string(4090 - path.size() - 4, 'p') + ".mos";
    path += file;
    ASSERT_EQ(path.size(), 4090u);
    const Bytes mos = smallMos();
    const int in = ::openat(folder, file.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(in, 0);
    ASSERT_EQ(::write(in, mos.data(), mos.size()), static_cast<ssize_t>(mos.size()));
    ::close(in);

    for (const char* exe : {QUILTPIX_EXE, QUILTPIX_NAMED_TEMP_EXE}) {
        SCOPED_TRACE(exe);
        const Outcome r = run(exe, dir_, {path});
        EXPECT_EQ(r.status, 0) << r.out;
        const std::string bmp = file.substr(0, file.size() - 4) + ".bmp";
        struct stat written {};
        EXPECT_EQ(::fstatat(folder, bmp.c_str(), &written, 0), 0);
        EXPECT_EQ(written.st_size, 54 + 212 * 67);
        ::unlinkat(folder, bmp.c_str(), 0);
    }
    ::close(folder);
}

// On the named fallback, every catchable signal that would end the run
// removes the hidden file on its way out, and the exit status names it.
TEST_F(OutputFileTest, EveryFatalSignalRemovesTheNamedTemporary)
{
    ASSERT_TRUE(writeFile((dir_ / "k.mos").string(), writeMos(noiseIndexedPicture(4096, 2048, 5))));
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(run(QUILTPIX_NAMED_TEMP_EXE, dir_, {"k.mos"}).status, 0);
    const auto whole = std::chrono::steady_clock::now() - begin;
    fs::remove(dir_ / "k.bmp");

    std::vector<int> signals = {SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGABRT,
                                SIGXCPU, SIGSYS,  SIGTRAP, SIGPWR,    SIGSTKFLT, SIGRTMIN, SIGRTMAX};
    int hit = 0;
    for (int signal : signals) {
        SCOPED_TRACE("signal " + std::to_string(signal));
        const int null = ::open("/dev/null", O_WRONLY);
        const pid_t pid = start(QUILTPIX_NAMED_TEMP_EXE, dir_, {"k.mos"}, null);
        ::close(null);
        std::this_thread::sleep_for(whole / 2);
        ::kill(pid, signal);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (WIFSIGNALED(status)) {
            ++hit;
            EXPECT_EQ(WTERMSIG(status), signal);
        }
        fs::remove(dir_ / "k.bmp"); // in case it finished first
        EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"k.mos"});
    }
    std::cout << "[ signals  ] " << hit << " of " << signals.size() << " runs ended by their signal\n";
    EXPECT_GT(hit, 0);
}

// A failed conversion does not open, write or change the old output: a
// watcher sees no event on it at all.
TEST_F(OutputFileTest, AFailedConversionDoesNotTouchTheOldOutput)
{
    Bytes cut = smallMos();
    cut.pop_back();
    ASSERT_TRUE(writeFile((dir_ / "cut.mos").string(), cut));
    ASSERT_TRUE(writeFile((dir_ / "cut.bmp").string(), {'o', 'l', 'd'}));
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, (dir_ / "cut.bmp").c_str(), IN_ALL_EVENTS), 0);
    for (const char* exe : {QUILTPIX_EXE, QUILTPIX_NAMED_TEMP_EXE}) {
        const Outcome r = run(exe, dir_, {"cut.mos"});
        EXPECT_EQ(WEXITSTATUS(r.status), 1);
    }
    alignas(inotify_event) char events[4096];
    pollfd ready{watch, POLLIN, 0};
    const int pending = ::poll(&ready, 1, 100);
    ssize_t n = pending > 0 ? ::read(watch, events, sizeof events) : 0;
    EXPECT_LE(n, 0) << "the old output saw events, the first with mask "
                    << (n > 0 ? reinterpret_cast<const inotify_event*>(events)->mask : 0);
    ::close(watch);
}

// Replacing keeps the old owner and group where the system lets it, and drops
// the bits of whoever no longer holds them: nobody may read or write the new
// output who could not the old.
TEST_F(OutputFileTest, ReplacingNeverWidensWhoMayReadOrWrite)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to own files as other users";
    fs::permissions(dir_, fs::perms::all);
    ASSERT_EQ(::chown(dir_.c_str(), nobody, nobody), 0); // nobody may write here too
    ASSERT_TRUE(writeFile((dir_ / "pic.mos").string(), smallMos()));
    fs::permissions(dir_ / "pic.mos", fs::perms::owner_read | fs::perms::others_read);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const struct {
        const char* who;
        uid_t runner, oldOwner;
        gid_t oldGroup;
        mode_t oldMode;
        uid_t newOwner;
        gid_t newGroup;
        mode_t newMode;
    } cases[] = {
        {"root keeps another user's owner and group", 0, nobody, 12345, 0640, nobody, 12345, 0640},
        {"a user who is not in the old group loses its bits", nobody, 0, 0, 0666, nobody, nobody,
         static_cast<mode_t>(0606 & ~mask)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.who);
        ASSERT_TRUE(writeFile((dir_ / "pic.bmp").string(), {'o', 'l', 'd'}));
        makeOlder(dir_ / "pic.bmp");
        ASSERT_EQ(::chown((dir_ / "pic.bmp").c_str(), c.oldOwner, c.oldGroup), 0);
        ASSERT_EQ(::chmod((dir_ / "pic.bmp").c_str(), c.oldMode), 0);
        const Outcome r = run(QUILTPIX_EXE, dir_, {"-q", "pic.mos"}, c.runner);
        EXPECT_EQ(r.out, "");
        struct stat now {};
        ASSERT_EQ(::stat((dir_ / "pic.bmp").c_str(), &now), 0);
        EXPECT_EQ(now.st_uid, c.newOwner);
        EXPECT_EQ(now.st_gid, c.newGroup);
        EXPECT_EQ(now.st_mode & 07777, c.newMode);
        EXPECT_TRUE(readBitmap(readFile((dir_ / "pic.bmp").string())));
    }
}

// An append-only folder takes new files but lets nothing be renamed or
// removed: a run that would have to (replacing an output; the named fallback
// always) is refused before any work, and leaves nothing.
TEST_F(OutputFileTest, AnAppendOnlyFolderIsRefusedBeforeAnyWork)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to make a folder append-only";
    const fs::path folder = dir_ / "log";
    fs::create_directories(folder);
    ASSERT_TRUE(writeFile((folder / "pic.mos").string(), smallMos()));
    ASSERT_TRUE(writeFile((folder / "old.bmp").string(), {'o', 'l', 'd'}));
    makeOlder(folder / "old.bmp");
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0 || ::ioctl(fd, FS_IOC_SETFLAGS, &(flags |= FS_APPEND_FL)) != 0) {
        ::close(fd);
        GTEST_SKIP() << "this file system takes no append-only flag";
    }
    const std::string refused = ": the folder is append-only, so the output cannot be put in place there\n";
    Outcome r = run(QUILTPIX_EXE, folder, {"-q", "-o", "old.bmp", "pic.mos"});
    EXPECT_EQ(r.out, "old.bmp" + refused);
    r = run(QUILTPIX_NAMED_TEMP_EXE, folder, {"-q", "pic.mos"});
    EXPECT_EQ(r.out, "pic.bmp" + refused);
    const auto listing = namesIn(folder);
    // A new output through an unnamed file needs no rename: it is made.
    r = run(QUILTPIX_EXE, folder, {"-q", "pic.mos"});
    const bool unnamed = r.out.empty();
    flags &= ~FS_APPEND_FL;
    ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    ::close(fd);
    EXPECT_EQ(listing, (std::vector<std::string>{"old.bmp", "pic.mos"}));
    EXPECT_EQ(readFile((folder / "old.bmp").string()), (Bytes{'o', 'l', 'd'}));
    if (unnamed) {
        EXPECT_TRUE(readBitmap(readFile((folder / "pic.bmp").string())));
    }
}

// Names that are not paths of files get a plain reason and create nothing:
// an empty path, standard output that is a pipe, and /proc's link to an open
// file that has no name any more.
TEST_F(OutputFileTest, MagicPathsGetAPlainReason)
{
    ASSERT_TRUE(writeFile((dir_ / "pic.mos").string(), smallMos()));
    const int gone = ::open((dir_ / "gone.txt").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(gone, 0);
    fs::remove(dir_ / "gone.txt");
    const std::string procLink = "/proc/self/fd/" + std::to_string(gone);
    const struct {
        std::string output, reason;
    } cases[] = {
        {"", ": an empty path\n"},
        {"/dev/stdout", "/dev/stdout: not a regular file\n"},
        {procLink, procLink + ": a link that names no file\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        const Outcome r = run(QUILTPIX_EXE, dir_, {"-q", "-o", c.output, "pic.mos"});
        EXPECT_EQ(r.out, c.reason);
        EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"pic.mos"});
    }
    ::close(gone);
}

// The shared-folder rule holds for every link on every path the program
// opens: the output's folder and the input, not only the output's own name.
TEST_F(OutputFileTest, LinksPlantedAnywhereOnAPathAreRefused)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to plant links as a second user";
    const fs::path pub = dir_ / "pub", secret = dir_ / "secret";
    fs::create_directories(pub);
    fs::create_directories(secret);
    fs::permissions(pub, fs::perms::all | fs::perms::sticky_bit);
    fs::permissions(secret, fs::perms::owner_all);
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::others_exec);
    ASSERT_TRUE(writeFile((dir_ / "pic.mos").string(), smallMos()));
    ASSERT_TRUE(writeFile((secret / "key.mos").string(), smallMos()));
    const auto plant = [](const fs::path& link, const fs::path& to, uid_t owner) {
        fs::remove(link);
        fs::create_symlink(to, link);
        ASSERT_EQ(::lchown(link.c_str(), owner, owner), 0);
    };
    const std::string planted = ": a link another user put in this shared folder; it is not followed\n";
    plant(pub / "ws", secret, nobody);
    plant(pub / "evil.mos", secret / "key.mos", nobody);
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"-q", "-o", "pub/ws/result", "pic.mos"}, "pub/ws/result" + planted},
        {{"-q", "pub/evil.mos"}, "pub/evil.mos" + planted},
        {{"-q", "--check", "pub/evil.mos"}, "pub/evil.mos" + planted},
        {{"-q", "-o", "out.bmp", "pub/ws/key.mos"}, "pub/ws/key.mos" + planted},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        EXPECT_EQ(run(QUILTPIX_EXE, dir_, c.args).out, c.out);
    }
    EXPECT_EQ(namesIn(secret), std::vector<std::string>{"key.mos"});
    EXPECT_FALSE(fs::exists(dir_ / "out.bmp"));

    // Root's own links there are followed as before.
    plant(pub / "ws", secret, 0);
    plant(pub / "evil.mos", secret / "key.mos", 0);
    EXPECT_EQ(run(QUILTPIX_EXE, dir_, {"-q", "-o", "pub/ws/result.bmp", "pub/evil.mos"}).out, "");
    EXPECT_TRUE(readBitmap(readFile((secret / "result.bmp").string())));
}

// A signal ignored at start (a background job's SIGINT, nohup's SIGHUP) stays
// ignored: the run goes on to the whole bitmap, on both builds.
TEST_F(OutputFileTest, ASignalIgnoredAtStartStaysIgnored)
{
    ASSERT_TRUE(writeFile((dir_ / "k.mos").string(), writeMos(noiseIndexedPicture(4096, 2048, 5))));
    for (const char* exe : {QUILTPIX_EXE, QUILTPIX_NAMED_TEMP_EXE})
        for (int signal : {SIGINT, SIGHUP}) {
            SCOPED_TRACE(std::string(exe) + " signal " + std::to_string(signal));
            fs::remove(dir_ / "k.bmp");
            const auto begin = std::chrono::steady_clock::now();
            ASSERT_EQ(run(exe, dir_, {"k.mos"}).status, 0);
            const auto whole = std::chrono::steady_clock::now() - begin;
            fs::remove(dir_ / "k.bmp");
            const int null = ::open("/dev/null", O_WRONLY);
            const pid_t pid = start(exe, dir_, {"k.mos"}, null, ::geteuid(), signal);
            ::close(null);
            std::this_thread::sleep_for(whole / 2);
            ::kill(pid, signal);
            int status = 0;
            ::waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
            EXPECT_TRUE(readBitmap(readFile((dir_ / "k.bmp").string())));
            EXPECT_EQ(namesIn(dir_), (std::vector<std::string>{"k.bmp", "k.mos"}));
        }
}

// The branches root passes by run as a second user: an old output they may
// not write, a folder they may not write to, their own link in a shared
// folder, which is followed, and another's file in a sticky folder of their
// own, which they may replace.
TEST_F(OutputFileTest, WhatAUserMayNotDoIsRefusedAndTheirOwnLinkIsFollowed)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to make a second user's files and run as that user";
    const fs::path theirs = dir_ / "theirs", locked = dir_ / "locked", pub = dir_ / "pub", away = dir_ / "away";
    const fs::path own = dir_ / "own";
    for (const fs::path& folder : {theirs, locked, pub, away, own})
        fs::create_directories(folder);
    ASSERT_EQ(::chown(own.c_str(), nobody, nobody), 0);
    fs::permissions(own, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                             fs::perms::others_exec | fs::perms::sticky_bit);
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::others_exec);
    ASSERT_EQ(::chown(theirs.c_str(), nobody, nobody), 0);
    ASSERT_EQ(::chown(away.c_str(), nobody, nobody), 0);
    fs::permissions(locked, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(pub, fs::perms::all | fs::perms::sticky_bit);
    for (const fs::path& folder : {theirs, locked, pub, own}) {
        ASSERT_TRUE(writeFile((folder / "pic.mos").string(), smallMos()));
        fs::permissions(folder / "pic.mos", fs::perms::owner_read | fs::perms::others_read);
    }
    const Bytes old = {'o', 'l', 'd'};
    ASSERT_TRUE(writeFile((theirs / "pic.bmp").string(), old)); // root's, 0644: not theirs to write
    makeOlder(theirs / "pic.bmp");
    fs::create_symlink(away / "mine.bmp", pub / "pic.bmp");
    ASSERT_EQ(::lchown((pub / "pic.bmp").c_str(), nobody, nobody), 0);

    for (const char* exe : {QUILTPIX_EXE, QUILTPIX_NAMED_TEMP_EXE}) {
        SCOPED_TRACE(exe);
        EXPECT_EQ(run(exe, theirs, {"-q", "pic.mos"}, nobody).out, "pic.bmp: Permission denied\n");
        EXPECT_EQ(readFile((theirs / "pic.bmp").string()), old);
        EXPECT_EQ(namesIn(theirs), (std::vector<std::string>{"pic.bmp", "pic.mos"}));
        EXPECT_EQ(run(exe, locked, {"-q", "pic.mos"}, nobody).out, "pic.bmp: Permission denied\n");
        EXPECT_EQ(namesIn(locked), std::vector<std::string>{"pic.mos"});
        fs::remove(away / "mine.bmp");
        EXPECT_EQ(run(exe, pub, {"-q", "pic.mos"}, nobody).out, "");
        EXPECT_TRUE(fs::is_symlink(pub / "pic.bmp"));
        EXPECT_TRUE(readBitmap(readFile((away / "mine.bmp").string())));
        ASSERT_TRUE(writeFile((own / "pic.bmp").string(), old));
        makeOlder(own / "pic.bmp");
        fs::permissions(own / "pic.bmp", fs::perms::all & ~fs::perms::owner_exec & ~fs::perms::group_exec & ~fs::perms::others_exec);
        EXPECT_EQ(run(exe, own, {"-q", "pic.mos"}, nobody).out, "");
        EXPECT_TRUE(readBitmap(readFile((own / "pic.bmp").string())));
    }
}
