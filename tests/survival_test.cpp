// The user's files when the run does not end the ordinary way: a reader that
// stops early, a signal at any moment, another user swapping names in the
// folder. Each case runs both the program and its build with the named
// temporary file (used where a file system refuses unnamed files).
#include "picture.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

using namespace quiltpix::testkit;
namespace fs = std::filesystem;

namespace {

const char* const programs[] = {QUILTPIX_EXE, QUILTPIX_NAMED_TEMP_EXE};

// Starts a program on `input` in `dir`, with standard output on `out` (or
// /dev/null when it is -1).
pid_t start(const char* exe, const fs::path& dir, const std::string& input, int out = -1)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int sink = out >= 0 ? out : ::open("/dev/null", O_WRONLY);
        ::dup2(sink, 1);
        if (::chdir(dir.c_str()) != 0)
            ::_exit(126);
        // On a cross build the emulator runs the program.
        if (*QUILTPIX_RUNNER)
            ::execl(QUILTPIX_RUNNER, QUILTPIX_RUNNER, exe, input.c_str(), static_cast<char*>(nullptr));
        else
            ::execl(exe, exe, input.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

int waitFor(pid_t pid)
{
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

class Survival : public ScratchDir {};

} // namespace

TEST_F(Survival, AReaderThatClosesEarlyStillGetsTheBitmap)
{
    const Picture picture = noisePicture(300, 200, 3);
    ASSERT_TRUE(writeFile((dir_ / "p.mos").string(), writeMos(indexPicture(picture))));
    for (const char* exe : programs) {
        SCOPED_TRACE(exe);
        fs::remove(dir_ / "p.bmp");
        // The reader is gone before the program writes its first line.
        int pipeEnds[2];
        ASSERT_EQ(::pipe(pipeEnds), 0);
        ::close(pipeEnds[0]);
        const pid_t pid = start(exe, dir_, "p.mos", pipeEnds[1]);
        ::close(pipeEnds[1]);
        const int status = waitFor(pid);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
        const auto written = readBitmap(readFile((dir_ / "p.bmp").string()));
        ASSERT_TRUE(written);
        EXPECT_EQ(firstDifference(picture, *written), "");
        EXPECT_EQ(namesIn(dir_), (std::vector<std::string>{"p.bmp", "p.mos"}));
    }
}

// Killed at moments spread over the whole run, from before the first write to
// after the rename: the folder holds the input and either the old output,
// byte for byte, or the whole new one. A caught signal leaves nothing else;
// SIGKILL, which no program can catch, may leave one hidden temporary, and
// the next run to that output removes it.
TEST_F(Survival, AKilledRunLeavesTheOldOutputOrTheNewOneAndTheNextRunSweepsUp)
{
    ASSERT_TRUE(writeFile((dir_ / "k.mos").string(), writeMos(noiseIndexedPicture(4096, 1024, 5))));
    ASSERT_EQ(waitFor(start(QUILTPIX_EXE, dir_, "k.mos")), 0);
    const Bytes fresh = readFile((dir_ / "k.bmp").string());
    const Bytes old = {'o', 'l', 'd'};

    // One whole run's time, to spread the kills over. Only where the kill
    // falls depends on it; what is checked after it does not.
    ASSERT_TRUE(writeFile((dir_ / "k.bmp").string(), old));
    makeOlder(dir_ / "k.bmp");
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(waitFor(start(QUILTPIX_EXE, dir_, "k.mos")), 0);
    const auto whole = std::chrono::steady_clock::now() - begin;

    auto hiddenIn = [this] {
        std::vector<std::string> hidden;
        for (const std::string& name : namesIn(dir_))
            if (name[0] == '.')
                hidden.push_back(name);
        return hidden;
    };
    int completed = 0, killed = 0, leftBehind = 0;
    for (const char* exe : programs) {
        const std::vector<int> signals = {SIGKILL, SIGINT, SIGTERM, SIGHUP, SIGQUIT};
        for (int signal : signals)
            for (int step = 0; step <= 6; ++step) {
                SCOPED_TRACE(std::string(exe) + ", signal " + std::to_string(signal) + ", step " + std::to_string(step));
                // Each case starts from the input alone, and every other one
                // has an old output: the new one must then appear whole or
                // not at all.
                for (const std::string& name : namesIn(dir_))
                    if (name != "k.mos")
                        fs::remove(dir_ / name);
                const bool hadOld = step % 2 == 0;
                if (hadOld) {
                    ASSERT_TRUE(writeFile((dir_ / "k.bmp").string(), old));
                    makeOlder(dir_ / "k.bmp");
                }
                const pid_t pid = start(exe, dir_, "k.mos");
                std::this_thread::sleep_for(whole * step / 5);
                ::kill(pid, signal);
                const int status = waitFor(pid);
                if (WIFSIGNALED(status)) {
                    ++killed;
                    EXPECT_EQ(WTERMSIG(status), signal); // the exit status still names the signal
                } else {
                    ++completed;
                    EXPECT_EQ(WEXITSTATUS(status), 0);
                }
                const std::vector<std::string> hidden = hiddenIn();
                EXPECT_LE(hidden.size(), signal == SIGKILL ? 1u : 0u);
                leftBehind += static_cast<int>(hidden.size());
                std::vector<std::string> names = namesIn(dir_);
                names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& n) { return n[0] == '.'; }),
                            names.end());
                if (names.size() == 1) {
                    EXPECT_FALSE(hadOld);
                    EXPECT_EQ(names, std::vector<std::string>{"k.mos"});
                } else {
                    EXPECT_EQ(names, (std::vector<std::string>{"k.bmp", "k.mos"}));
                    const Bytes now = readFile((dir_ / "k.bmp").string());
                    EXPECT_TRUE((hadOld && now == old) || now == fresh) << "output of " << now.size() << " bytes";
                }
                if (!hidden.empty()) {
                    EXPECT_EQ(waitFor(start(exe, dir_, "k.mos")), 0);
                    EXPECT_EQ(hiddenIn(), std::vector<std::string>{}) << "the next run left the temporary";
                }
            }
    }
    std::cout << "[ kills    ] " << killed << " runs killed, " << completed << " finished first, " << leftBehind
              << " temporaries left by SIGKILL and swept by the next run\n";
    EXPECT_GT(killed, 0);
}

// A temporary whose run is still alive is never swept: its lock is held.
TEST_F(Survival, ALiveRunsTemporaryIsNotSweptButADeadOnesIs)
{
    ASSERT_TRUE(writeFile((dir_ / "t.mos").string(), writeMos(noiseIndexedPicture(300, 200, 6))));
    const std::string dead = ".t.bmp.0123456789abcdef.part", live = ".t.bmp.fedcba9876543210.part",
                      otherName = ".u.bmp.0123456789abcdef.part", notOurs = ".t.bmp.0123456789abcdeg.part";
    for (const std::string& name : {dead, live, otherName, notOurs})
        ASSERT_TRUE(writeFile((dir_ / name).string(), Bytes{'x'}));
    const int held = ::open((dir_ / live).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    for (const char* exe : programs) {
        SCOPED_TRACE(exe);
        ASSERT_EQ(waitFor(start(exe, dir_, "t.mos")), 0);
        EXPECT_EQ(namesIn(dir_), (std::vector<std::string>{notOurs, live, otherName, "t.bmp", "t.mos"}));
        ASSERT_TRUE(writeFile((dir_ / dead).string(), Bytes{'x'}));
    }
    ::close(held);
}

// Another user who may write to the folder replaces every new name in it with
// a link to a file elsewhere, as soon as the name appears. Nothing is ever
// written through such a link.
TEST_F(Survival, TheBitmapIsNeverWrittenThroughANameSomeoneSwapped)
{
    const fs::path folder = dir_ / "shared";
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms::all);
    const Bytes precious = {'v', 'i', 'c', 't', 'i', 'm'};
    const fs::path victim = dir_ / "victim";
    ASSERT_TRUE(writeFile(victim.string(), precious));
    ASSERT_TRUE(writeFile((folder / "s.mos").string(), writeMos(noiseIndexedPicture(1000, 700, 8))));

    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, folder.c_str(), IN_CREATE), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> swapped{0};
    std::thread attacker([&] {
        alignas(inotify_event) char events[8192];
        std::set<std::string> done = {"s.mos", "s.bmp", ".swap"};
        const std::string swap = folder.string() + "/.swap";
        while (!stop) {
            pollfd ready{watch, POLLIN, 0};
            if (::poll(&ready, 1, 20) <= 0)
                continue;
            const ssize_t n = ::read(watch, events, sizeof events);
            if (n <= 0)
                continue;
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                const std::string name = event->len ? event->name : "";
                if (name.empty() || !done.insert(name).second)
                    continue;
                const std::string target = folder.string() + "/" + name;
                if (::symlink(victim.c_str(), swap.c_str()) == 0 && ::rename(swap.c_str(), target.c_str()) == 0)
                    ++swapped;
            }
        }
    });

    const Bytes old = {'o', 'l', 'd'};
    for (const char* exe : programs)
        for (int run = 0; run < 30; ++run) {
            // Every other run replaces an old output, which a refused run
            // must leave as it was.
            const bool hadOld = run % 2 == 1;
            fs::remove(folder / "s.bmp");
            if (hadOld) {
                ASSERT_TRUE(writeFile((folder / "s.bmp").string(), old));
                makeOlder(folder / "s.bmp");
            }
            waitFor(start(exe, folder, "s.mos"));
            EXPECT_EQ(readFile(victim.string()), precious) << exe << ", run " << run;
            // The output is the old one or absent (the run refused a name it
            // no longer owned), or the whole bitmap; never the attacker's link.
            // Where names can be exchanged, the old output is never lost; the
            // named build renames, and a swap in the instant between its
            // last look and the rename can cost it (a deterministic swap is
            // tested below).
            EXPECT_FALSE(fs::is_symlink(folder / "s.bmp")) << exe << ", run " << run;
            if (fs::exists(folder / "s.bmp")) {
                const Bytes now = readFile((folder / "s.bmp").string());
                EXPECT_TRUE((hadOld && now == old) || readBitmap(now)) << exe << ", run " << run;
            } else if (exe == programs[0]) {
                EXPECT_FALSE(hadOld) << exe << ", run " << run << ": the old output is gone";
            }
        }
    stop = true;
    attacker.join();
    ::close(watch);
    std::cout << "[ swaps    ] " << swapped << " names swapped for links\n";
    EXPECT_GT(swapped, 0);
}

// The hidden name swapped for a link to another file just before the file
// is put in place: the look before the rename sees it, the run is refused,
// and the old output stays as it was; nothing is written through the link.
TEST_F(Survival, AHiddenNameSwappedBeforeTheCommitCostsNothing)
{
    const std::string shim = QUILTPIX_SHIM;
    if (shim.empty())
        GTEST_SKIP() << "needs a program that loads the system's C library, for the shim that swaps names";
    ASSERT_TRUE(writeFile((dir_ / "s.mos").string(), writeMos(noiseIndexedPicture(300, 200, 8))));
    const Bytes precious = {'v', 'i', 'c', 't', 'i', 'm'}, old = {'o', 'l', 'd'};
    ASSERT_TRUE(writeFile((dir_ / "victim").string(), precious));
    for (const char* exe : programs) {
        SCOPED_TRACE(exe);
        ASSERT_TRUE(writeFile((dir_ / "s.bmp").string(), old));
        makeOlder(dir_ / "s.bmp");
        const std::string command = "cd '" + dir_.string() + "' && LD_PRELOAD='" + shim +
                                    "' QUILTPIX_SHIM_SWAP_PART='" + (dir_ / "victim").string() +
                                    "' ASAN_OPTIONS=verify_asan_link_order=0 '" + exe + "' -q s.mos >/dev/null";
        ASSERT_GE(std::system(command.c_str()), 0);
        EXPECT_EQ(readFile((dir_ / "victim").string()), precious);
        ASSERT_TRUE(fs::exists(dir_ / "s.bmp")) << "the old output is gone";
        EXPECT_FALSE(fs::is_symlink(dir_ / "s.bmp"));
        const Bytes now = readFile((dir_ / "s.bmp").string());
        EXPECT_TRUE(now == old || readBitmap(now));
        for (const std::string& name : namesIn(dir_))
            if (name[0] == '.')
                fs::remove(dir_ / name);
    }
}

