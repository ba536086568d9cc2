// A folder brought up to date: both sides of a pair in one run, decided by
// the record; --all FOLDER; the dry run; one line a file; the interruption;
// and the plan's care with names.
#include "bitmaps.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <regex>

namespace {

class Folder : public Driver {
protected:
    static IndexedPicture picture(std::uint64_t seed) { return indexPicture(noisePicture(130, 70, seed), seed); }
    static Bytes bmp(const Picture& p) { return writeBitmapVariant(p, {}).bytes; }

    // One pixel of the first tile given another colour of that tile.
    static Picture touched(Picture p)
    {
        for (int k = 1; k < 6; ++k)
            if (p.at(k, 1) != p.at(0, 0)) {
                p.at(0, 0) = p.at(k, 1);
                break;
            }
        return p;
    }

    Bytes bytesOf(const std::string& name) { return readFile((dir_ / name).string()); }

    // Every file of the folder, by name, with its bytes.
    std::map<std::string, Bytes> contents(const fs::path& folder)
    {
        std::map<std::string, Bytes> all;
        for (const auto& entry : fs::directory_iterator(folder))
            all[entry.path().filename().string()] = readFile(entry.path().string());
        return all;
    }

    // A folder of pairs in each state, made with the program itself.
    void makeArchive()
    {
        for (const char* name : {"AGREE", "MOSNEW", "EDITED", "OLDEDIT", "BOTH"})
            put(std::string("a/") + name + ".mos", writeMos(picture(std::hash<std::string>()(name) % 1000)));
        ASSERT_EQ(run({"-q", "--all", "a/"}).status, 0);
        const auto now = fs::file_time_type::clock::now();
        // The MOS file changed since its extraction.
        put("a/MOSNEW.mos", writeMos(picture(501)));
        // The picture edited; and one edited with a time from long ago.
        put("a/EDITED.bmp", bmp(touched(colours(picture(std::hash<std::string>()("EDITED") % 1000)))));
        put("a/OLDEDIT.bmp", bmp(touched(colours(picture(std::hash<std::string>()("OLDEDIT") % 1000)))));
        fs::last_write_time(dir_ / "a/OLDEDIT.bmp", now - std::chrono::hours(24 * 300));
        // Both sides changed.
        put("a/BOTH.mos", writeMos(picture(502)));
        put("a/BOTH.bmp", bmp(touched(colours(picture(std::hash<std::string>()("BOTH") % 1000)))));
        // Never extracted here: no record, and pixels that differ.
        put("a/NEWPAIR.mos", writeMos(picture(503)));
        put("a/NEWPAIR.bmp", bmp(colours(picture(504))));
        // A third file whose output is one of the pair's: refused.
        put("a/AGREE.png", bmp(colours(picture(505))));
    }
};

// Each pair goes the way of the side that changed since they last agreed,
// whatever the files' times; both changed, or no record and different
// pixels, is refused naming both; a third file colliding is refused as ever.
TEST_F(Folder, EachPairGoesTheWayOfTheSideThatChanged)
{
    makeArchive();
    const Bytes both = bytesOf("a/BOTH.bmp"), bothMos = bytesOf("a/BOTH.mos");
    const Outcome r = run({"--all", "a"});
    EXPECT_EQ(r.status, 1);
    const std::string ways = "; convert the one that holds the change alone (quiltpix a/%P puts the picture back; "
                             "quiltpix --force a/%M extracts it again)";
    const auto refusal = [&](const std::string& m, const std::string& p, const std::string& why) {
        std::string w = ways;
        w.replace(w.find("%P"), 2, p);
        w.replace(w.find("%M"), 2, m);
        return "a/" + m + " <-> a/" + p + ": a/" + m + " and a/" + p + why + w + "\n";
    };
    EXPECT_EQ(r.out, banner + "a/AGREE.png: its output a/AGREE.mos is a/AGREE.mos, another file of this run, which "
                              "would be read after it was replaced; convert them in separate runs\n" +
                         "[1/6] a/AGREE.mos <-> a/AGREE.bmp: unchanged\n" +
                         refusal("BOTH.mos", "BOTH.bmp", " both changed since they last agreed").replace(0, 0, "[2/6] ") +
                         "[3/6] a/EDITED.bmp -> a/EDITED.mos: converted (1 of 6 tiles changed: 1 exact, 0 quantised)\n" +
                         "[4/6] a/MOSNEW.mos -> a/MOSNEW.bmp: converted\n" +
                         refusal("NEWPAIR.mos", "NEWPAIR.bmp",
                                 " differ, and no record says which of them changed since they agreed")
                             .replace(0, 0, "[5/6] ") +
                         "[6/6] a/OLDEDIT.bmp -> a/OLDEDIT.mos: converted (1 of 6 tiles changed: 1 exact, 0 quantised)\n" +
                         "3 converted, 1 unchanged, 3 failed\n");
    EXPECT_EQ(firstDifference(colours(picture(501)), *readBitmap(bytesOf("a/MOSNEW.bmp"))), "");
    EXPECT_EQ(firstDifference(*readBitmap(bytesOf("a/OLDEDIT.bmp")), *referenceDecode(bytesOf("a/OLDEDIT.mos"))), "");
    EXPECT_EQ(bytesOf("a/BOTH.bmp"), both);
    EXPECT_EQ(bytesOf("a/BOTH.mos"), bothMos);
    // Brought up to date, a second run finds nothing to do but the refusals.
    const Outcome again = run({"-q", "--all", "a"});
    EXPECT_EQ(again.out.substr(again.out.rfind('\n', again.out.size() - 2) + 1), "0 converted, 4 unchanged, 3 failed\n");
}

// The record names files relative to its folder: a folder copied or moved
// whole still knows which side of each pair changed.
TEST_F(Folder, ACopiedFolderKeepsItsRecord)
{
    put("a/P.mos", writeMos(picture(21)));
    ASSERT_EQ(run({"-q", "--all", "a"}).status, 0);
    put("a/P.bmp", bmp(touched(colours(picture(21)))));
    fs::copy(dir_ / "a", dir_ / "b", fs::copy_options::recursive);
    fs::remove_all(dir_ / "a");
    const Outcome r = run({"--all", "b"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, banner + "[1/1] b/P.bmp -> b/P.mos: converted (1 of 6 tiles changed: 1 exact, 0 quantised)\n"
                              "1 converted, 0 unchanged, 0 failed\n");
}

// A picture from a folder that holds no record of ours (a system's samples,
// say) gets none beside it when it is converted elsewhere; the record goes
// with the output.
TEST_F(Folder, ARecordIsKeptWhereTheOutputsGo)
{
    put("samples/s.bmp", bmp(colours(picture(31))));
    ASSERT_EQ(run({"-q", "-o", "out/", "samples/s.bmp"}).status, 0);
    EXPECT_FALSE(fs::exists(dir_ / "samples/.quiltpix-record"));
    EXPECT_TRUE(fs::exists(dir_ / "out/.quiltpix-record"));
}

// The dry run judges the plan as the run would, one line a file, with the
// run's exit status, and writes nothing, not even the record.
TEST_F(Folder, ADryRunSaysWhatTheRunWouldDoAndWritesNothing)
{
    makeArchive();
    const auto before = contents(dir_ / "a"); // the record too
    const Outcome dry = run({"--all", "-n", "a"});
    EXPECT_EQ(contents(dir_ / "a"), before);
    const Outcome real = run({"--all", "a"});
    EXPECT_EQ(dry.status, real.status);
    std::string expected = real.out;
    for (std::size_t at = 0; (at = expected.find(": converted", at)) != std::string::npos;)
        expected.replace(at, 11, ": would be converted");
    expected.replace(expected.rfind("3 converted"), 11, "dry run, nothing written: 3 would be converted");
    EXPECT_EQ(dry.out, expected);
    // One file alone: one line too.
    put("b.mos", writeMos(picture(9)));
    EXPECT_EQ(run({"-n", "b.mos"}).out, banner + "b.mos -> b.bmp: would be converted\n");
    EXPECT_FALSE(fs::exists(dir_ / "b.bmp"));
}

// --all FOLDER takes the pictures in it by their endings in any case, and
// nothing else: not other files, not hidden temporaries, not its folders.
TEST_F(Folder, AFolderStandsForThePicturesInIt)
{
    put("f/UPPER.MOS", writeMos(picture(1)));
    put("f/lower.mos", writeMos(picture(2)));
    put("f/Mixed.Png.MoS", writeMos(picture(3)));
    put("f/notes.txt", {'h', 'i'});
    put("f/inner/deep.mos", writeMos(picture(4)));
    const Outcome r = run({"--all", "f/"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, banner + "[1/3] f/Mixed.Png.MoS -> f/Mixed.Png.bmp: converted\n"
                              "[2/3] f/UPPER.MOS -> f/UPPER.bmp: converted\n"
                              "[3/3] f/lower.mos -> f/lower.bmp: converted\n3 converted, 0 unchanged, 0 failed\n");
    EXPECT_FALSE(fs::exists(dir_ / "f/inner/deep.bmp"));
    // A picture already there in another case is the one written.
    put("g/pic.mos", writeMos(picture(5)));
    BitmapVariant topDown;
    topDown.topDown = true;
    put("g/pic.BMP", writeBitmapVariant(colours(picture(5)), topDown).bytes); // a re-save
    EXPECT_EQ(run({"--all", "-q", "g/pic.mos"}).out, "");
    EXPECT_EQ(readFile((dir_ / "g/pic.BMP").string()), bmp(colours(picture(5))));
    EXPECT_EQ(namesIn(dir_ / "g"), (std::vector<std::string>{"pic.BMP", "pic.mos"}));
}

// --like FOLDER: a folder that is not there is refused before any work; a
// file without an original there gets a fresh layout, and says so.
TEST_F(Folder, LikeSaysWhatItDidNotFind)
{
    put("e/pic.bmp", bmp(colours(picture(6))));
    Outcome r = run({"--all", "--like", "nowhere", "e/pic.bmp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, banner + "nowhere: no such folder (with --all, --like names a folder of originals)\n" + usage);
    fs::create_directories(dir_ / "originals");
    r = run({"--all", "--like", "originals", "e/pic.bmp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner + "[1/1] e/pic.bmp -> e/pic.mos: converted (no original in originals: a fresh layout; 6 "
                              "tiles: 6 exact, 0 quantised)\n1 converted, 0 unchanged, 0 failed\n");
}

// Ctrl-C mid-run: the line says how far the run got, the status is the
// signal's, and the file being made is not left behind.
TEST_F(Folder, AnInterruptedRunSaysHowFarItGot)
{
    if (!runner.empty())
        GTEST_SKIP() << "the program runs under an emulator here, which stands between it and the signal";
    put("i/a.mos", writeMos(picture(7)));
    const std::string big = (dir_ / "i/b.mos").string(), huge = (dir_ / "i/c.mos").string();
    ASSERT_EQ(std::system(("'" + std::string(QUILTPIX_MKMOS) + "' noise 4096 4096 '" + big + "' 3 >/dev/null").c_str()), 0);
    ASSERT_EQ(std::system(("'" + std::string(QUILTPIX_MKMOS) + "' noise 4096 4096 '" + huge + "' 4 >/dev/null").c_str()), 0);
    const int watch = ::inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, (dir_ / "i").c_str(), IN_CREATE | IN_MOVED_TO), 0);
    const std::string out = (dir_ / "out.txt").string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 1);
        if (::chdir(dir_.c_str()) != 0)
            ::_exit(126);
        ::execl(QUILTPIX_EXE, QUILTPIX_EXE, "--all", "i", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Waits for the first output to appear (an event, not a time), then
    // interrupts.
    alignas(inotify_event) char events[4096];
    bool first = false;
    while (!first) {
        pollfd ready{watch, POLLIN, 0};
        ASSERT_GT(::poll(&ready, 1, 20000), 0) << "no output appeared";
        const ssize_t n = ::read(watch, events, sizeof events);
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(events + at);
            if (e->len > 0 && std::string(e->name) == "a.bmp")
                first = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    ::kill(pid, SIGINT);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(watch);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    const std::string printed = slurp(out);
    EXPECT_TRUE(std::regex_search(printed, std::regex("\ninterrupted after [12] of 3: [12] converted, 0 unchanged\n$")))
        << printed;
    for (const std::string& name : namesIn(dir_ / "i"))
        EXPECT_TRUE(name == "a.mos" || name == "b.mos" || name == "c.mos" || name == "a.bmp" || name == "b.bmp") << name;
}

// Names: a folder that folds case is known by asking it (here a stand-in
// that finds names in any case); two hard-linked names are two inputs; a
// refusal of thousands names a few; a name that would read as a line of
// the program's is quoted.
TEST_F(Folder, NamesAreJudgedAsTheFolderKnowsThem)
{
    const std::string shim = QUILTPIX_SHIM;
    const Bytes mos = writeMos(picture(8));
    put("c/Pic.mos", mos);
    put("c/pic.x", mos);
    if (!shim.empty()) {
        const Outcome r = run({"--all", "-q", "c/Pic.mos", "c/pic.x"},
                              "LD_PRELOAD=" + quote(shim) + " QUILTPIX_SHIM_FOLD=1 ASAN_OPTIONS=verify_asan_link_order=0");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "c/Pic.mos: c/Pic.bmp would also be written from c/pic.x; neither is converted\n"
                         "c/pic.x: c/pic.bmp would also be written from c/Pic.mos; neither is converted\n"
                         "0 converted, 0 unchanged, 2 failed\n");
    }
    put("h/one.mos", mos);
    fs::create_hard_link(dir_ / "h/one.mos", dir_ / "h/two.mos");
    EXPECT_EQ(run({"--all", "-q", "h/one.mos", "h/two.mos"}).status, 0);
    EXPECT_TRUE(fs::exists(dir_ / "h/one.bmp"));
    EXPECT_TRUE(fs::exists(dir_ / "h/two.bmp"));

    // 500 inputs sharing one output: each refusal names three and counts
    // the rest, so the output stays small.
    std::vector<std::string> many = {"--all", "-q", "-o", "out/"};
    for (int k = 0; k < 500; ++k) {
        const std::string name = "m/" + std::to_string(k) + "/x.mos";
        put(name, {'x'});
        many.push_back(name);
    }
    const Outcome r = run(many);
    EXPECT_EQ(r.status, 1);
    EXPECT_LT(r.out.size(), 500u * 160);
    EXPECT_NE(r.out.find("m/0/x.mos: out/x.bmp would also be written from m/1/x.mos, m/2/x.mos, m/3/x.mos and 496 "
                         "more; neither is converted\n"),
              std::string::npos);

    put("q/a -> b.mos", mos);
    EXPECT_EQ(run({"--all", "q"}).out,
              banner + "[1/1] 'q/a -> b.mos' -> 'q/a -> b.bmp': converted\n1 converted, 0 unchanged, 0 failed\n");
}

} // namespace
