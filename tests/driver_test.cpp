// The command-line program end to end: messages, exit statuses, output names,
// and what happens to the user's files when things go wrong.
#include "bitmaps.h"
#include "picture.h"
#include "run_program.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <fstream>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <algorithm>
#include <cstdlib>


using namespace quiltpix::testkit;
namespace fs = std::filesystem;

namespace {

// The program, and its build that writes under a hidden name from the start
// (as it does where a file system refuses unnamed files): every failure must
// leave the folder as it was with either.
const char* const programs[] = {QUILTPIX_EXE, QUILTPIX_NAMED_TEMP_EXE};

Bytes validMos(std::uint64_t seed = 1)
{
    return writeMos(indexPicture(noisePicture(70, 67, seed)));
}

// A file whose last run is cut short: the converter refuses it after printing
// the tile data base.
Bytes truncatedMos()
{
    Bytes b = validMos();
    b.resize(b.size() - 1);
    return b;
}

const std::string truncatedReason = "tile row 1 needs bytes 8616 to 8826; the file ends at 8825";


} // namespace

TEST_F(Driver, ASuccessfulRunPrintsFourLinesAndWritesThePicture)
{
    const Picture picture = noisePicture(70, 67, 5);
    put("harbour.MOS", writeMos(indexPicture(picture)));
    const Outcome r = run({"harbour.MOS"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner + "4136\nDone\nMos file converted successfully!\n");
    EXPECT_EQ(r.err, "");
    const auto written = readBitmap(readFile((dir_ / "harbour.bmp").string()));
    ASSERT_TRUE(written);
    EXPECT_EQ(firstDifference(picture, *written), "");
    EXPECT_EQ(listing(), (std::vector<std::string>{"harbour.MOS", "harbour.bmp"}));
}

TEST_F(Driver, NoArgumentPrintsUsage)
{
    const Outcome r = run({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, banner + usage);
    EXPECT_TRUE(listing().empty());
}

TEST_F(Driver, AnEmptyArgumentVectorPrintsUsage)
{
    if (!runner.empty())
        GTEST_SKIP() << "an emulator cannot start a program with no arguments at all";
    const fs::path out = dir_ / "out";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char* argv[] = {nullptr};
    char* envp[] = {nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, QUILTPIX_EXE, &actions, nullptr, argv, envp), 0);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(slurp(out), banner + usage);
}

TEST_F(Driver, InputsThatAreNotReadableFilesCannotBeOpened)
{
    fs::create_directory(dir_ / "pictures.d");
    ASSERT_EQ(::mkfifo((dir_ / "pipe.mos").c_str(), 0600), 0);
    const std::pair<std::string, std::string> cases[] = {
        {"missing.mos", "No such file or directory"}, {"pictures.d", "Is a directory"}, {".", "Is a directory"},
        {"pipe.mos", "not a regular file"}, {"/dev/zero", "not a regular file"}, {"", "No such file or directory"}};
    for (const auto& [arg, reason] : cases) {
        SCOPED_TRACE(arg);
        const Outcome r = run({arg});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, banner + arg + ": " + reason + "\n" + arg + " cannot be opened!\n");
        EXPECT_EQ(r.err, "");
    }
    if (::geteuid() != 0) { // root reads anything
        put("locked.mos", validMos());
        fs::permissions(dir_ / "locked.mos", fs::perms::none);
        EXPECT_EQ(run({"locked.mos"}).out, banner + "locked.mos: Permission denied\nlocked.mos cannot be opened!\n");
        fs::remove(dir_ / "locked.mos");
    }
    EXPECT_EQ(listing(), (std::vector<std::string>{"pictures.d", "pipe.mos"}));
}

TEST_F(Driver, AnOutputThatWouldBeTheInputIsRefused)
{
    const Bytes mos = validMos();
    put("pic.bmp", mos);
    const auto refusal = [](const std::string& name) {
        return banner + name + ": that is the input file itself\nOutput file would overwrite the input: " + name + "\n";
    };
    Outcome r = run({"pic.bmp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, refusal("pic.bmp"));

    put("linked.mos", mos);
    fs::create_symlink("linked.mos", dir_ / "linked.bmp");
    r = run({"linked.mos"});
    EXPECT_EQ(r.out, refusal("linked.bmp"));

    put("hard.mos", mos);
    fs::create_hard_link(dir_ / "hard.mos", dir_ / "hard.bmp");
    r = run({"hard.mos"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, refusal("hard.bmp"));

    r = run({"-o", "./hard.mos", "hard.mos"});
    EXPECT_EQ(r.out, refusal("./hard.mos"));

    for (const char* name : {"pic.bmp", "linked.mos", "hard.mos"})
        EXPECT_EQ(readFile((dir_ / name).string()), mos) << name;
}

TEST_F(Driver, AnOutputNameThatCannotTakeAFileIsRefused)
{
    put("shots.mos", validMos());
    fs::create_directory(dir_ / "shots.bmp");
    put("lost.mos", validMos());
    fs::create_symlink("no/such/dir/lost.bmp", dir_ / "lost.bmp");
    for (const auto& [name, reason] : {std::pair<std::string, std::string>{"shots", "Is a directory"},
                                       {"lost", "No such file or directory"}}) {
        const Outcome r = run({name + ".mos"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, banner + name + ".bmp: " + reason + "\nCan't open output file: " + name + ".bmp\n");
    }
    EXPECT_EQ(listing(), (std::vector<std::string>{"lost.bmp", "lost.mos", "shots.bmp", "shots.mos"}));

    // A folder the user may not write to; root may write anywhere.
    if (::geteuid() != 0) {
        fs::create_directory(dir_ / "ro");
        put("ro/pic.mos", validMos());
        fs::permissions(dir_ / "ro", fs::perms::owner_read | fs::perms::owner_exec);
        const Outcome r = run({"ro/pic.mos"});
        EXPECT_EQ(r.out, banner + "ro/pic.bmp: Permission denied\nCan't open output file: ro/pic.bmp\n");
        fs::permissions(dir_ / "ro", fs::perms::owner_all);
    }
}

// Failures found before, during and after the writing, in both directions,
// with and without an old output, on both builds: the folder afterwards
// holds exactly what it held before, the old output's bytes included.
TEST_F(Driver, AFailureLeavesTheFolderAsItWas)
{
    put("broken.mos", truncatedMos());
    put("big.mos", validMos());
    // An RLE bitmap whose data ends in its third tile row: tile rows are
    // written before the fault is met.
    BitmapVariant rle;
    rle.bits = 8;
    rle.compression = 1;
    Bytes cut = writeBitmapVariant(noisePicture(70, 200, 4), rle).bytes;
    cut.resize(cut.size() - 3000);
    put("cut.bmp", cut);
    put("big.bmp.src", writeBitmapVariant(noisePicture(70, 67, 5), {}).bytes);
    fs::rename(dir_ / "big.bmp.src", dir_ / "pic.bmp");
    const struct {
        std::vector<std::string> args;
        std::string prefix, output, reason;
    } failures[] = {
        {{"-q", "broken.mos"}, "", "broken.bmp", "broken.mos: " + truncatedReason},
        {{"-q", "cut.bmp"}, "", "cut.mos", "cut.bmp: the RLE data ends at byte"},
        // A file size limit of 8 KiB: the output (14 KiB) cannot be written.
        // The program ignores the limit's signal, so the write fails as on a
        // full disk instead of killing it.
        {{"-q", "big.mos"}, "ulimit -f 16;", "big.bmp", "big.bmp: File too large"},
        {{"-q", "pic.bmp"}, "ulimit -f 16;", "pic.mos", "pic.mos: File too large"},
    };
    const Bytes precious = {'k', 'e', 'e', 'p'};
    for (const char* exe : programs)
        for (const auto& f : failures)
            for (const bool old : {false, true}) {
                SCOPED_TRACE(std::string(exe) + " " + f.args.back() + (old ? " over an old output" : ""));
                if (old)
                    put(f.output, precious);
                const std::vector<std::string> before = listing();
                const Outcome r = run(f.args, f.prefix, exe);
                EXPECT_EQ(r.status, 1);
                EXPECT_EQ(r.out.rfind(f.reason, 0), 0u) << r.out;
                EXPECT_EQ(listing(), before);
                if (old) {
                    EXPECT_EQ(readFile((dir_ / f.output).string()), precious);
                }
                fs::remove(dir_ / f.output);
            }
}

// What stands at the output name and is not a regular file stays as it is.
TEST_F(Driver, AFifoAtTheOutputNameIsLeftInPlace)
{
    put("pic.mos", validMos());
    ASSERT_EQ(::mkfifo((dir_ / "pic.bmp").c_str(), 0644), 0);
    for (const char* exe : programs) {
        SCOPED_TRACE(exe);
        const Outcome r = run({"-q", "pic.mos"}, "", exe);
        EXPECT_EQ(r.out, "pic.bmp: not a regular file\n");
        EXPECT_TRUE(fs::is_fifo(dir_ / "pic.bmp"));
        EXPECT_EQ(listing(), (std::vector<std::string>{"pic.bmp", "pic.mos"}));
    }
}

TEST_F(Driver, ASuccessReplacesAnExistingOutputAndWritesThroughALink)
{
    const Picture picture = noisePicture(70, 67, 9);
    put("a.mos", writeMos(indexPicture(picture)));
    makeOlder(put("a.bmp", {'o', 'l', 'd'}));
    fs::permissions(dir_ / "a.bmp", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(run({"a.mos"}).status, 0);
    auto written = readBitmap(readFile((dir_ / "a.bmp").string()));
    ASSERT_TRUE(written);
    EXPECT_EQ(firstDifference(picture, *written), "");
    EXPECT_EQ(fs::status(dir_ / "a.bmp").permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    // A new file gets what a plain create would give it.
    put("n.mos", writeMos(indexPicture(picture)));
    EXPECT_EQ(run({"n.mos"}, "umask 027;").status, 0);
    EXPECT_EQ(fs::status(dir_ / "n.bmp").permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    // The link stays a link; the file it points to gets the picture.
    put("b.mos", writeMos(indexPicture(picture)));
    fs::create_directory(dir_ / "out");
    fs::create_symlink("out/real.bmp", dir_ / "b.bmp");
    EXPECT_EQ(run({"b.mos"}).status, 0);
    EXPECT_TRUE(fs::is_symlink(dir_ / "b.bmp"));
    written = readBitmap(readFile((dir_ / "out" / "real.bmp").string()));
    ASSERT_TRUE(written);
    EXPECT_EQ(firstDifference(picture, *written), "");
}

TEST_F(Driver, TheOutputIsNamedAfterTheWholePathAndLongPathsWork)
{
    // The naming cases themselves are tested above; here, that the program
    // uses them: the cut falls in the directory name.
    put("maps.old/tiles", validMos());
    EXPECT_EQ(run({"maps.old/tiles"}).status, 0);
    EXPECT_TRUE(fs::is_regular_file(dir_ / "maps.bmp"));

    // Far past 500 bytes: nested directories, each name within the system's limit.
    std::string deep;
    for (int i = 0; i < 12; ++i)
        deep += std::string(60, static_cast<char>('a' + i)) + "/";
    put(deep + "long.mos", validMos());
    const Outcome r = run({deep + "long.mos"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::is_regular_file(dir_ / (deep + "long.bmp")));
}

TEST_F(Driver, OptionsComeFirstCombineAndEndAtADoubleDash)
{
    for (const std::string option : {"--help", "-h"}) {
        const Outcome r = run({option});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind(banner + "Usage: quiltpix [-q] [--force] [--png [--small]] [-o PATH] <mosfile>\n", 0), 0u) << r.out;
    }
    Outcome r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner + "quiltpix " QUILTPIX_VERSION ", MIT licence\n");

    // Unknown options and a missing value are refused before anything else.
    for (const std::string option : {"-x", "--frobnicate", "-qo"}) {
        r = run({option, "whatever.mos"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, banner + "Unknown option: " + option + "\n" + usage);
    }
    r = run({"-o"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, banner + "Option -o needs a path\n" + usage);

    // A file named like an option, after "--" or through its folder.
    put("-x", validMos());
    put("--help", validMos());
    EXPECT_EQ(run({"--", "-x"}).status, 0);
    EXPECT_TRUE(fs::is_regular_file(dir_ / "-x.bmp"));
    EXPECT_EQ(run({"-q", "./--help"}).out, "");
    EXPECT_TRUE(fs::is_regular_file(dir_ / "--help.bmp"));
    // A lone "-" is a file name, not an option.
    put("-", validMos());
    EXPECT_EQ(run({"-q", "-"}).out, "");
    EXPECT_TRUE(fs::is_regular_file(dir_ / "-.bmp"));

    // After the file, an option is just another ignored argument.
    r = run({"whatever.mos", "--help", "-q"});
    EXPECT_EQ(r.out, banner + "2 more arguments ignored: one file is converted a run. To convert them all, use "
                              "--all: quiltpix --all FILE...\n"
                              "whatever.mos: No such file or directory\nwhatever.mos cannot be opened!\n");
    EXPECT_TRUE(r.err.empty());
}

TEST_F(Driver, QuietRunsPrintOnlyWhatWentWrong)
{
    put("good.mos", validMos());
    put("cut.mos", truncatedMos());
    Outcome r = run({"-q", "good.mos"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(fs::is_regular_file(dir_ / "good.bmp"));

    r = run({"--quiet", "cut.mos"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "cut.mos: " + truncatedReason + "\n");
    EXPECT_EQ(run({"-q", "gone.mos"}).out, "gone.mos: No such file or directory\n");

    // The ignored arguments are said even so.
    r = run({"-q", "good.mos", "cut.mos"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("1 more argument ignored: "), 0u) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);

    r = run({"-q", "--check", "good.mos", "cut.mos"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "cut.mos: " + truncatedReason + "\n");
    EXPECT_EQ(run({"--check", "-q", "good.mos"}).out, "");
}

TEST_F(Driver, TheOutputGoesWhereMinusOSays)
{
    const Picture picture = noisePicture(70, 67, 4);
    put("scans.2019/tile_a", writeMos(indexPicture(picture)));
    put("scans.2019/tile_b", validMos(2));
    fs::create_directory(dir_ / "out");

    // Into a folder, by its name or by a trailing separator: named after the
    // input's own file name, so that two inputs do not land on one output.
    EXPECT_EQ(run({"-o", "out", "scans.2019/tile_a"}).status, 0);
    // A folder that does not exist yet is made, parents too.
    EXPECT_EQ(run({"-q", "--output", "new/deeper/", "scans.2019/tile_b"}).out, "");
    EXPECT_TRUE(fs::is_regular_file(dir_ / "new/deeper/tile_b.bmp"));
    fs::remove_all(dir_ / "new");
    // A file in the way is the reason.
    put("blocked", {'x'});
    EXPECT_EQ(run({"-o", "blocked/", "scans.2019/tile_b"}).out,
              banner + "blocked/: Not a directory\nCan't open output folder: blocked/\n");
    fs::remove(dir_ / "blocked");
    EXPECT_EQ(run({"-q", "--output=out/", "scans.2019/tile_b"}).out, "");
    auto written = readBitmap(readFile((dir_ / "out/tile_a.bmp").string()));
    ASSERT_TRUE(written);
    EXPECT_EQ(firstDifference(picture, *written), "");
    EXPECT_TRUE(fs::is_regular_file(dir_ / "out/tile_b.bmp"));

    // To a file name, taken as it is, replacing what stood there.
    makeOlder(put("out/any name", {'o', 'l', 'd'}));
    EXPECT_EQ(run({"-o", "out/any name", "scans.2019/tile_a"}).status, 0);
    written = readBitmap(readFile((dir_ / "out/any name").string()));
    ASSERT_TRUE(written);
    EXPECT_EQ(firstDifference(picture, *written), "");
    EXPECT_EQ(listing(), (std::vector<std::string>{"out", "out/any name", "out/tile_a.bmp", "out/tile_b.bmp",
                                                   "scans.2019", "scans.2019/tile_a", "scans.2019/tile_b"}));
}

TEST_F(Driver, CheckGivesALinePerFileAndWritesNothing)
{
    put("good.mos", validMos());
    put("cut.mos", truncatedMos());
    fs::create_directory(dir_ / "folder.mos");
    const std::vector<std::string> before = listing();

    Outcome r = run({"--check", "good.mos"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner + "good.mos: 70 x 67 pixels, 2 x 2 tiles, palettes at 24, tile data at 4136: whole\n");

    r = run({"--check", "good.mos", "cut.mos", "folder.mos", "missing.mos"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, banner + "good.mos: 70 x 67 pixels, 2 x 2 tiles, palettes at 24, tile data at 4136: whole\n" +
                         "cut.mos: " + truncatedReason + "\n" + "folder.mos: Is a directory\n" +
                         "missing.mos: No such file or directory\n");

    r = run({"--check"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, banner + "Usage: quiltpix --check <mosfile>...\n");
    EXPECT_EQ(listing(), before);
}

// The way back from the command line: the lines a user reads, the file
// written, and nothing left where a conversion fails.
TEST_F(Driver, TheWayBackSaysWhatItKeptAndLeavesNothingOnFailure)
{
    const Picture picture = noisePicture(70, 67, 5);
    put("pic.bmp", writeBitmapVariant(picture, {}).bytes);
    Outcome r = run({"pic.bmp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner + "pic.bmp: 70 x 67 pixels, 4 tiles: 4 exact, 0 quantised\nDone\nBitmap converted successfully!\n");
    const auto written = referenceDecode(readFile((dir_ / "pic.mos").string()));
    ASSERT_TRUE(written);
    EXPECT_EQ(firstDifference(picture, *written), "");

    // Photo tiles are quantised, and the line says how well; a translucent
    // bitmap is said to be one.
    BitmapVariant alpha;
    alpha.headerSize = 124;
    alpha.bits = 32;
    alpha.compression = 3;
    alpha.masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000u};
    alpha.alpha = 7;
    put("photo.bmp", writeBitmapVariant(photoPicture(64, 64, 3), alpha).bytes);
    r = run({"-o", "out.mos", "photo.bmp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("photo.bmp: 4096 pixels are not fully opaque; MOS has no transparency, so it is dropped\n"
                         "photo.bmp: 64 x 64 pixels, 1 tile: 0 exact, 1 quantised (PSNR mean "),
              std::string::npos)
        << r.out;

    // With the original: byte for byte, and the line says nothing changed.
    put("orig.mos", readFile((dir_ / "pic.mos").string()));
    r = run({"-q", "--like", "orig.mos", "-o", "again.mos", "pic.bmp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(readFile((dir_ / "again.mos").string()), readFile((dir_ / "orig.mos").string()));
    // The original may be the output itself: it is read before it is replaced.
    r = run({"--like", "orig.mos", "-o", "orig.mos", "pic.bmp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner + "pic.bmp: its original is orig.mos; what still agrees with it keeps its bytes\n"
                              "pic.bmp: 70 x 67 pixels, 4 tiles, 0 taken from the picture: 4 exact, 0 quantised\nDone\n"
                              "orig.mos: unchanged\nBitmap converted successfully!\n");

    Bytes cut = writeBitmapVariant(picture, {}).bytes;
    cut.resize(cut.size() - 1);
    put("cut.bmp", cut);
    const std::vector<std::string> before = listing();
    const std::string cutReason = "cut.bmp: the pixel data needs bytes 54 to 14258; the file ends at 14257\n";
    const struct {
        std::vector<std::string> args;
        std::string out;
    } failures[] = {
        {{"cut.bmp"}, banner + cutReason + "Conversion failed!\n"},
        {{"--like", "missing.mos", "pic.bmp"}, banner + "missing.mos: No such file or directory\nConversion failed!\n"},
        {{"--like", "pic.bmp", "-o", "x.mos", "pic.bmp"},
         banner + "pic.bmp: a bitmap file, not a MOS picture (width 0 is not positive)\nConversion failed!\n"},
        {{"--dither", "orig.mos"}, banner + "orig.mos: --dither is for bitmaps, and this is read as a MOS file\nConversion failed!\n"},
        {{"-q", "--check", "pic.bmp", "cut.bmp"}, cutReason},
        {{"--check", "pic.bmp"}, banner + "pic.bmp: 70 x 67 pixels, 24 bits per pixel, uncompressed, bottom-up: whole\n"},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.args.front() + " " + f.args.back());
        r = run(f.args);
        EXPECT_EQ(r.out, f.out);
        EXPECT_EQ(r.status, f.args.back() == "pic.bmp" && f.args.front() == "--check" ? 0 : 1);
        EXPECT_EQ(listing(), before);
    }
}

// --all: every file as a run of its own, on after failures, one count line;
// -o a folder it makes; two inputs with one output both refused first.
TEST_F(Driver, AllConvertsEveryFileAndTellsTheTruthInItsStatus)
{
    put("a.mos", validMos(1));
    put("x.mos", validMos(2));
    put("x.MOS", validMos(3));
    put("broken.mos", truncatedMos());
    put("pic.bmp", writeBitmapVariant(noisePicture(70, 67, 5), {}).bytes);
    Outcome r = run({"--all", "-q", "-o", "out", "x.mos", "a.mos", "broken.mos", "x.MOS", "pic.bmp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "x.mos: out/x.bmp would also be written from x.MOS; neither is converted\n"
                     "x.MOS: out/x.bmp would also be written from x.mos; neither is converted\n"
                     "broken.mos: " + truncatedReason + "\n2 converted, 0 unchanged, 3 failed\n");
    EXPECT_EQ(listing(), (std::vector<std::string>{"a.mos", "broken.mos", "out", "out/a.bmp", "out/pic.mos", "pic.bmp",
                                                   "x.MOS", "x.mos"}));

    // Without -q: the banner once, one line a file, then the count.
    r = run({"--all", "a.mos", "pic.bmp", "broken.mos"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, banner + "[1/3] a.mos -> a.bmp: converted\n" +
                         "[2/3] pic.bmp -> pic.mos: converted (4 tiles: 4 exact, 0 quantised)\n" +
                         "[3/3] broken.mos -> broken.bmp: broken.mos: " + truncatedReason + "\n" +
                         "2 converted, 0 unchanged, 1 failed\n");
    r = run({"--all", "a.mos"});
    EXPECT_EQ(r.out, banner + "[1/1] a.mos -> a.bmp: unchanged\n0 converted, 1 unchanged, 0 failed\n");
    EXPECT_EQ(run({"--all", "-q", "a.mos"}).out, "");
    EXPECT_EQ(run({"--all", "--like", "a.mos", "pic.bmp"}).status, 1);
}

// A file of another kind is named for what it is when its header is refused.
// (A PNG goes the way back, as a bitmap does.)
TEST_F(Driver, AWrongKindOfFileIsNamedForWhatItIs)
{
    const struct {
        const char* kind;
        std::string head;
    } kinds[] = {
        {"JPEG", "\xff\xd8\xff\xe0"}, {"GIF", "GIF89a"}, {"TIFF", "II*"},
        {"WebP", std::string("RIFF\x10\0\0\0WEBP", 12)}, {"ZIP", "PK\x03\x04"}, {"PDF", "%PDF-1.7"}, {"gzip", "\x1f\x8b\x08"},
    };
    for (const auto& k : kinds) {
        Bytes file(k.head.begin(), k.head.end());
        file.push_back(0); // TIFF's "II*\0"
        file.resize(40, 0);
        put("photo.mos", file);
        const std::string out = run({"-q", "photo.mos"}).out;
        EXPECT_EQ(out.rfind(std::string("photo.mos: a ") + k.kind + " file, not a MOS picture (", 0), 0u) << out;
    }
    put("short.mos", Bytes{0x1f, 0x8b, 8, 0});
    EXPECT_EQ(run({"-q", "--check", "short.mos"}).out,
              "short.mos: a gzip file, not a MOS picture (the header needs bytes 0 to 24; the file ends at 4)\n");
}

// A late write error that only closing the output reports (as a network
// file system may): the bitmap may be incomplete, so nothing of it stays,
// and an old output keeps its bytes.
TEST_F(Driver, ALateWriteErrorAtTheCloseLeavesNothing)
{
    const std::string shim = QUILTPIX_SHIM;
    if (shim.empty())
        GTEST_SKIP() << "needs a program that loads the system's C library, for the shim that makes close fail";
    put("pic.mos", validMos());
    const Bytes precious = {'o', 'l', 'd'};
    for (const char* exe : programs)
        for (const bool old : {false, true}) {
            SCOPED_TRACE(std::string(exe) + (old ? " over an old output" : ""));
            if (old)
                makeOlder(put("pic.bmp", precious));
            const std::vector<std::string> before = listing();
            const Outcome r = run({"-q", "pic.mos"},
                                  "LD_PRELOAD=" + quote(shim) + " QUILTPIX_SHIM_CLOSE_FAILS=1 ASAN_OPTIONS=verify_asan_link_order=0", exe);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "pic.bmp: Input/output error\n");
            EXPECT_EQ(listing(), before);
            if (old) {
                EXPECT_EQ(readFile((dir_ / "pic.bmp").string()), precious);
            }
            fs::remove(dir_ / "pic.bmp");
        }
}

// The input is opened once and read through what was opened: a FIFO renamed
// over its name the moment it is opened (by the shim, as a racing process
// would) neither blocks the run nor changes what it reads. The same for
// --check and for --like's original.
TEST_F(Driver, TheInputIsReadThroughWhatWasOpened)
{
    const std::string shim = QUILTPIX_SHIM;
    if (shim.empty())
        GTEST_SKIP() << "needs a program that loads the system's C library, for the shim that swaps names";
    const Picture picture = noisePicture(70, 67, 5);
    const struct {
        std::vector<std::string> args;
        std::string swapped, out;
    } cases[] = {
        {{"-q", "pic.mos"}, "pic.mos", ""},
        {{"-q", "--check", "pic.mos"}, "pic.mos", ""},
        {{"-q", "-o", "back.mos", "--like", "pic.mos", "pic.bmp"}, "pic.mos", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1]);
        put("pic.mos", writeMos(indexPicture(picture)));
        put("pic.bmp", writeBitmapVariant(picture, {}).bytes);
        fs::remove(dir_ / "fifo");
        ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0644), 0);
        const Outcome r = run(c.args, "LD_PRELOAD=" + quote(shim) + " QUILTPIX_SHIM_SWAP=" + c.swapped +
                                          ":fifo ASAN_OPTIONS=verify_asan_link_order=0");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.out);
        EXPECT_TRUE(fs::is_fifo(dir_ / c.swapped)); // the swap did happen
        fs::remove(dir_ / c.swapped);
    }
    const auto written = readBitmap(readFile((dir_ / "pic.bmp").string()));
    EXPECT_TRUE(fs::exists(dir_ / "back.mos"));
}

// Another user's link swapped in between the look at a name and its open, in
// a shared sticky folder: the open itself refuses to follow it, and the name
// is judged again, so the link rule holds however the moments fall.
TEST_F(Driver, ALinkSwappedInJustBeforeTheOpenIsJudgedNotFollowed)
{
    const std::string shim = QUILTPIX_SHIM;
    if (shim.empty())
        GTEST_SKIP() << "needs a program that loads the system's C library, for the shim that swaps names";
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to give the planted link another owner";
    const Picture picture = noisePicture(70, 67, 5);
    const Bytes secret = {'s', 'e', 'c', 'r', 'e', 't', ' ', 'h', 'e', 'a', 'd', 'e', 'r', ' ', 'b', 'y', 't', 'e', 's',
                          ' ', 'a', 'n', 'd', ' ', 'm', 'o', 'r', 'e'};
    const std::string planted = "a link another user put in this shared folder; it is not followed";
    const struct {
        std::vector<std::string> args;
        std::string swapped, target, blamed;
    } cases[] = {
        {{"--check", "pic.mos"}, "pic.mos", "private/pic.mos", "pic.mos"},
        {{"--check", "sub/pic.mos"}, "sub", "private", "sub/pic.mos"},
        {{"-o", "back.mos", "--like", "orig.mos", "pic.bmp"}, "orig.mos", "private/pic.mos", "orig.mos"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.swapped);
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "sub");
        fs::permissions(dir_, fs::perms::all | fs::perms::sticky_bit);
        put("private/pic.mos", secret);
        fs::permissions(dir_ / "private/pic.mos", fs::perms::owner_read | fs::perms::owner_write);
        put("pic.mos", writeMos(indexPicture(picture)));
        put("sub/pic.mos", writeMos(indexPicture(picture)));
        put("orig.mos", writeMos(indexPicture(picture)));
        put("pic.bmp", writeBitmapVariant(picture, {}).bytes);
        ASSERT_EQ(::symlink((dir_ / c.target).c_str(), (dir_ / "swap").c_str()), 0);
        ASSERT_EQ(::lchown((dir_ / "swap").c_str(), 4321, 4321), 0);
        const Outcome r = run(c.args, "LD_PRELOAD=" + quote(shim) + " QUILTPIX_SHIM_SWAP_BEFORE=" + c.swapped +
                                          ":swap ASAN_OPTIONS=verify_asan_link_order=0");
        EXPECT_TRUE(fs::is_symlink(dir_ / c.swapped)); // the swap did happen
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find(c.blamed + ": " + planted), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("secret"), std::string::npos);
        EXPECT_FALSE(fs::exists(dir_ / "back.mos"));
    }
}


// Folders that -o asks for are made one at a time, never through another
// user's link in a shared folder, with --all or without.
TEST_F(Driver, MinusOMakesNoFolderThroughAPlantedLink)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to give the planted link another owner";
    fs::permissions(dir_, fs::perms::all | fs::perms::sticky_bit);
    put("pic.mos", validMos());
    fs::create_directory(dir_ / "elsewhere");
    ASSERT_EQ(::symlink("elsewhere", (dir_ / "l").c_str()), 0);
    ASSERT_EQ(::lchown((dir_ / "l").c_str(), 4321, 4321), 0);
    const std::string planted = "a link another user put in this shared folder; it is not followed";
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-q", "--all", "-o", "l/new/", "pic.mos"},
                                                 std::vector<std::string>{"-q", "-o", "l/new/", "pic.mos"}}) {
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "l/new/: " + planted + "\n");
        EXPECT_TRUE(fs::is_empty(dir_ / "elsewhere"));
    }
}

// --like copies what the original's reading depends on, with its holes left
// holes, and no more than 1 MiB of whatever follows the picture.
TEST_F(Driver, ASparseOriginalStaysSparseAndItsFarTailIsDropped)
{
    const Picture picture = noisePicture(70, 67, 5);
    const Bytes plain = writeMos(indexPicture(picture));
    // The tables 16 MiB after the header, in a hole; 4 GiB of hole after
    // the picture.
    const std::uint32_t gap = 16u << 20;
    Bytes head(plain.begin(), plain.begin() + 24u);
    const std::uint32_t tables = 24 + gap;
    for (unsigned k = 0; k < 4; ++k)
        head[20 + k] = static_cast<unsigned char>(tables >> (8 * k));
    const fs::path original = dir_ / "orig.mos";
    const int fd = ::open(original.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, head.data(), head.size(), 0), 24);
    const auto rest = static_cast<ssize_t>(plain.size() - 24);
    ASSERT_EQ(::pwrite(fd, plain.data() + 24, static_cast<std::size_t>(rest), tables), rest);
    const std::uint64_t pictureEnd = tables + static_cast<std::uint64_t>(rest);
    if (::ftruncate(fd, static_cast<off_t>(pictureEnd + (4ull << 30))) != 0) {
        ::close(fd);
        GTEST_SKIP() << "this file system holds no 4 GiB file";
    }
    ::close(fd);
    put("pic.bmp", writeBitmapVariant(picture, {}).bytes);

    const Outcome r = run({"-o", "back.mos", "--like", "orig.mos", "pic.bmp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("orig.mos: the " + std::to_string((4ull << 30) - (1u << 20)) +
                         " bytes it holds more than 1 MiB past the picture's last byte were not copied"),
              std::string::npos)
        << r.out;
    struct stat back {};
    ASSERT_EQ(::stat((dir_ / "back.mos").c_str(), &back), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(back.st_size), pictureEnd + (1u << 20));
    EXPECT_LT(static_cast<std::uint64_t>(back.st_blocks) * 512, 1u << 20) << "the holes were filled";
    // What it holds reads as the original does.
    const Bytes copy = readFile((dir_ / "back.mos").string());
    std::ifstream in(original, std::ios::binary);
    std::vector<char> first(copy.size());
    ASSERT_TRUE(in.read(first.data(), static_cast<std::streamsize>(first.size())));
    EXPECT_TRUE(std::equal(copy.begin(), copy.end(), first.begin(),
                           [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); }));
}

namespace {

// A bitmap that holds nothing but "end of bitmap": 62 bytes that make, at
// the largest size, a MOS file of over a gigabyte.
Bytes tinyHugeBitmap(std::uint32_t width = 32767, std::uint32_t height = 32767)
{
    Bytes b(62, 0);
    auto u32 = [&b](std::size_t at, std::uint32_t v) {
        for (unsigned k = 0; k < 4; ++k)
            b[at + k] = static_cast<unsigned char>(v >> (8 * k));
    };
    b[0] = 'B';
    b[1] = 'M';
    u32(2, 62);
    u32(10, 58);    // the pixels after one colour of table
    u32(14, 40);
    u32(18, width);
    u32(22, height);
    b[26] = 1;      // planes
    b[28] = 8;      // bits
    u32(30, 1);     // RLE8
    u32(46, 1);     // one colour
    b[60] = 0;
    b[61] = 1;      // end of bitmap
    return b;
}

} // namespace

// Both directions know their output's size before any work: one that does
// not fit is refused at once with both numbers, and one over a thousand
// times its input is said first (and by --check).
TEST_F(Driver, AnOutputThatCannotFitIsRefusedBeforeAnyWork)
{
    put("huge.bmp", tinyHugeBitmap());
    const std::uint64_t hugeMos = 24 + 1028ull * 512 * 512 + 32767ull * 32767;
    // (The check reads every pixel: a smaller picture, for the sanitizer builds.)
    put("wide.bmp", tinyHugeBitmap(2000, 2000));
    const std::uint64_t wideMos = 24 + 1028 * 32 * 32 + 2000 * 2000;
    Outcome r = run({"--check", "wide.bmp"});
    EXPECT_EQ(r.out, banner + "wide.bmp: 2000 x 2000 pixels, 8 bits per pixel, RLE8, 1 colour, bottom-up, makes " +
                         std::to_string(wideMos) + " bytes: whole\n");

    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to mount a small file system";
    fs::create_directory(dir_ / "small");
    if (std::system(("mount -t tmpfs -o size=1m quiltpix-test " + quote((dir_ / "small").string()) + " 2>/dev/null")
                        .c_str()) != 0)
        GTEST_SKIP() << "no small file system could be mounted here";
    struct Unmount {
        fs::path at;
        ~Unmount()
        {
            if (std::system(("umount " + quote(at.string())).c_str()) != 0)
                ADD_FAILURE() << "could not unmount " << at;
        }
    } unmount{dir_ / "small"};

    const Picture picture = noisePicture(1100, 1100, 3); // 1.2 MB as a MOS file, 3.6 MB as a bitmap
    put("pic.mos", writeMos(indexPicture(picture)));
    put("pic.bmp", writeBitmapVariant(picture, {}).bytes);
    const struct {
        std::vector<std::string> args;
        std::string output;
        std::uint64_t need;
    } cases[] = {
        {{"-o", "small/", "pic.mos"}, "small/pic.bmp", 54 + 3300ull * 1100},
        {{"-o", "small/", "pic.bmp"}, "small/pic.mos", 24 + 1028ull * 18 * 18 + 1100ull * 1100},
        {{"-o", "small/", "huge.bmp"}, "small/huge.mos", hugeMos},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        r = run(c.args);
        EXPECT_EQ(r.status, 1);
        const std::string said = c.output + ": needs " + std::to_string(c.need) + " bytes; the disk has ";
        EXPECT_EQ(r.out.rfind(banner + said, 0), 0u) << r.out;
        EXPECT_NE(r.out.find(" free\nConversion failed!\n"), std::string::npos) << r.out;
        EXPECT_TRUE(fs::is_empty(dir_ / "small"));
    }
    // What fits is converted, a large output said first.
    r = run({"-o", "out.mos", "wide.bmp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind(banner + "out.mos: " + std::to_string(wideMos) +
                              " bytes will be written, over 1000 times the input's 62\n",
                          0),
              0u)
        << r.out;
}
