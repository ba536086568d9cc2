// The round trip of an archive: extracted, some pictures edited, put back in
// place. Only the edited files are rewritten, nothing is lost, and each file
// is one file whatever path names it.
#include "bitmaps.h"
#include "png_writer.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

namespace {

struct Stamp {
    ino_t inode = 0;
    struct timespec modified {};
    bool operator==(const Stamp& o) const
    {
        return inode == o.inode && modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
    }
};

Stamp stampOf(const fs::path& path)
{
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return {info.st_ino, info.st_mtim};
}

class RoundTrip : public Driver {
protected:
    // A picture whose tiles each have their own colours, as MOS files hold.
    static IndexedPicture picture(std::uint64_t seed) { return indexPicture(noisePicture(130, 70, seed), seed); }

    // The picture with one pixel given another colour of its tile, saved
    // as 24-bit.
    Bytes edited(const IndexedPicture& p)
    {
        Picture shown = colours(p);
        shown.at(3, 2) = shown.at(40, 30);
        return writeBitmapVariant(shown, {}).bytes;
    }

    std::string lastLine(const std::string& out)
    {
        const std::size_t end = out.size() - 1, start = out.rfind('\n', end - 1);
        return out.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1));
    }
};

} // namespace

// Extracted, two edited, put back with one command: exactly those two MOS
// files are rewritten; every other keeps its inode and time, and the case of
// its name.
TEST_F(RoundTrip, AnArchivePutBackRewritesOnlyTheEditedFiles)
{
    std::vector<std::string> names;
    for (int k = 0; k < 8; ++k)
        names.push_back("p" + std::to_string(k) + ".mos");
    names.push_back("PIC010.MOS");
    std::map<std::string, IndexedPicture> pictures;
    std::vector<std::string> args = {"--all", "-q"};
    for (std::size_t k = 0; k < names.size(); ++k) {
        pictures[names[k]] = picture(k + 1);
        put(names[k], writeMos(pictures[names[k]]));
        args.push_back(names[k]);
    }
    ASSERT_EQ(run(args).status, 0);
    makeOlder(dir_ / "p3.mos"); // extracted a while ago, as archives are
    std::map<std::string, Stamp> before;
    for (const std::string& name : names)
        before[name] = stampOf(dir_ / name);

    put("p3.bmp", edited(pictures["p3.mos"]));
    put("PIC010.bmp", edited(pictures["PIC010.MOS"]));
    std::vector<std::string> back = {"--all"};
    for (const std::string& name : names)
        back.push_back(name.substr(0, name.size() - 4) + ".bmp");
    const Outcome r = run(back);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lastLine(r.out), "2 converted, 7 unchanged, 0 failed");
    EXPECT_NE(r.out.find("[9/9] PIC010.bmp -> PIC010.MOS: converted (1 of 6 tiles changed: 1 exact, 0 quantised)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("[1/9] p0.bmp -> p0.mos: unchanged\n"), std::string::npos);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const bool edit = name == "p3.mos" || name == "PIC010.MOS";
        EXPECT_EQ(stampOf(dir_ / name) == before[name], !edit);
        const auto shown = referenceDecode(readFile((dir_ / name).string()));
        ASSERT_TRUE(shown);
        const auto bitmap = readBitmap(readFile((dir_ / (name.substr(0, name.size() - 4) + ".bmp")).string()));
        ASSERT_TRUE(bitmap);
        EXPECT_EQ(firstDifference(*bitmap, *shown), "");
    }
    EXPECT_FALSE(fs::exists(dir_ / "PIC010.mos"));
    // The edited file kept every untouched byte: the edited pixel's colour
    // is in its tile's palette, so one index byte changed.
    const Bytes now = readFile((dir_ / "p3.mos").string()), was = writeMos(pictures["p3.mos"]);
    ASSERT_EQ(now.size(), was.size());
    std::size_t differing = 0;
    for (std::size_t i = 0; i < now.size(); ++i)
        differing += now[i] != was[i];
    EXPECT_EQ(differing, 1u);
}

// A MOS file and its own bitmap in one run are one job: the side that
// changed since they last agreed goes to the other, in either order, and
// nothing is lost.
TEST_F(RoundTrip, AMixedRunTakesTheSideThatChanged)
{
    const IndexedPicture p = picture(3);
    for (const std::vector<std::string>& order : {std::vector<std::string>{"harbour.mos", "harbour.bmp"},
                                                  std::vector<std::string>{"harbour.bmp", "harbour.mos"}}) {
        put("harbour.mos", writeMos(p));
        ASSERT_EQ(run({"-q", "harbour.mos"}).status, 0);
        put("harbour.bmp", edited(p));
        std::vector<std::string> args = {"--all"};
        args.insert(args.end(), order.begin(), order.end());
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, banner + "[1/1] harbour.bmp -> harbour.mos: converted (1 of 6 tiles changed: 1 exact, 0 "
                                  "quantised)\n1 converted, 0 unchanged, 0 failed\n");
        EXPECT_EQ(firstDifference(*readBitmap(edited(p)), *referenceDecode(readFile((dir_ / "harbour.mos").string()))), "");
        EXPECT_EQ(readFile((dir_ / "harbour.bmp").string()), edited(p));
    }
}

// A file is known by what it is, not by the text that names it.
TEST_F(RoundTrip, TheSameFileByAnyPathIsOneFile)
{
    put("d/x.mos", writeMos(picture(1)));
    put("e/x.mos", writeMos(picture(2)));
    put("z.mos", writeMos(picture(3)));
    fs::create_directory(dir_ / "sub");
    fs::create_directory_symlink("d", dir_ / "l");
    const struct {
        std::vector<std::string> args;
        std::string last;
    } cases[] = {
        {{"d/x.mos", "l/x.mos"}, "1 converted, 0 unchanged, 0 failed"},
        {{"d/x.mos", "d/x.mos", "./d/x.mos"}, "0 converted, 1 unchanged, 0 failed"},
        {{"sub/../z.mos", "./z.mos"}, "1 converted, 0 unchanged, 0 failed"},
        {{"-o", "out/", "d/x.mos", "e/x.mos"}, "0 converted, 0 unchanged, 2 failed"},
        {{"-o", "out/", "l/x.mos", "sub/../d/x.mos", "e/x.mos"}, "0 converted, 0 unchanged, 2 failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        std::vector<std::string> args = {"--all"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome r = run(args);
        EXPECT_EQ(lastLine(r.out), c.last) << r.out;
        EXPECT_EQ(r.out.find("[2/"), std::string::npos) << "converted twice: " << r.out;
    }
    const Outcome shared = run({"--all", "-q", "-o", "out/", "d/x.mos", "e/x.mos"});
    EXPECT_EQ(shared.out, "d/x.mos: out/x.bmp would also be written from e/x.mos; neither is converted\n"
                          "e/x.mos: out/x.bmp would also be written from d/x.mos; neither is converted\n"
                          "0 converted, 0 unchanged, 2 failed\n");
    // --check names a file once however often it is named.
    EXPECT_EQ(run({"-q", "--check", "z.mos", "sub/../z.mos", "z.mos"}).status, 0);
    EXPECT_EQ(run({"--check", "z.mos", "./z.mos"}).out,
              banner + "z.mos: 130 x 70 pixels, 3 x 2 tiles, palettes at 24, tile data at 6192: whole\n");
}

// An output whose pixels differ from what the run would write, and from what
// the record says it wrote, is an edit: kept unless --force, however old.
// An identical one is left alone.
TEST_F(RoundTrip, AnEditIsKeptUnlessForcedWhateverItsTime)
{
    const IndexedPicture p = picture(4);
    put("a.mos", writeMos(p));
    ASSERT_EQ(run({"-q", "a.mos"}).status, 0);
    const Stamp first = stampOf(dir_ / "a.bmp");
    Outcome r = run({"a.mos"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner + "6192\nDone\na.bmp: unchanged\nMos file converted successfully!\n");
    EXPECT_TRUE(stampOf(dir_ / "a.bmp") == first);

    const Bytes edit = edited(p);
    put("a.bmp", edit);
    r = run({"a.mos"});
    EXPECT_EQ(r.status, 1);
    const std::string kept = "a.bmp: edited since quiltpix wrote it, so it is kept as an edit; put it back first "
                             "(quiltpix a.bmp), or use --force to replace it\n";
    EXPECT_EQ(r.out, banner + "6192\nDone\n" + kept + "Conversion failed!\n");
    EXPECT_EQ(readFile((dir_ / "a.bmp").string()), edit);
    EXPECT_EQ(namesIn(dir_), (std::vector<std::string>{"a.bmp", "a.mos"}));
    EXPECT_EQ(run({"-q", "--all", "a.mos"}).out, kept + "0 converted, 0 unchanged, 1 failed\n");

    r = run({"-q", "--force", "a.mos"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(readFile((dir_ / "a.bmp").string()), edit);

    put("a.bmp", edit);
    makeOlder(dir_ / "a.bmp");
    EXPECT_EQ(run({"-q", "a.mos"}).status, 1);
    EXPECT_EQ(readFile((dir_ / "a.bmp").string()), edit);
}

// The way back finds the MOS file the picture came from under its output
// name (in any case), or --like names it (a folder of them with --all);
// what is not a whole MOS file there is replaced by a fresh layout, and
// --fresh asks for one.
TEST_F(RoundTrip, TheWayBackFindsItsOriginal)
{
    MosLayout spaced;
    spaced.paletteOffset = 100;
    const IndexedPicture p = picture(5);
    const Bytes original = writeMos(p, spaced);
    put("PIC.MOS", original);
    ASSERT_EQ(run({"-q", "PIC.MOS"}).status, 0);
    Outcome r = run({"PIC.bmp"});
    EXPECT_EQ(r.out, banner + "PIC.bmp: its original is PIC.MOS; only the tiles edited since it was extracted are taken\n"
                              "PIC.bmp: 130 x 70 pixels, 6 tiles, 0 taken from the picture: 6 exact, 0 quantised\nDone\n"
                              "PIC.MOS: unchanged\nBitmap converted successfully!\n");
    EXPECT_EQ(namesIn(dir_), (std::vector<std::string>{"PIC.MOS", "PIC.bmp"}));

    // --fresh: the layout this program writes, whatever stands there.
    r = run({"-q", "--fresh", "-o", "fresh.mos", "PIC.bmp"});
    EXPECT_EQ(r.status, 0);
    const Bytes fresh = readFile((dir_ / "fresh.mos").string());
    ASSERT_GT(fresh.size(), 24u);
    EXPECT_EQ(Bytes(fresh.begin() + 20, fresh.begin() + 24), (Bytes{24, 0, 0, 0})); // the palettes right after the header
    EXPECT_EQ(firstDifference(colours(p), *referenceDecode(fresh)), "");
    EXPECT_NE(readFile((dir_ / "fresh.mos").string()), original);

    // An upper-case name with no MOS file beside it gets an upper-case one.
    put("NEW.BMP", writeBitmapVariant(colours(p), {}).bytes);
    EXPECT_EQ(run({"-q", "NEW.BMP"}).status, 0);
    EXPECT_TRUE(fs::exists(dir_ / "NEW.MOS"));

    // Not a MOS file under the output name: another program's file or a
    // damaged original, kept; with --force, a fresh layout, and why.
    const Bytes junk = {'j', 'u', 'n', 'k'};
    put("junk.mos", junk);
    put("junk.bmp", writeBitmapVariant(colours(p), {}).bytes);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"junk.bmp"}, {"-q", "junk.bmp"}}) {
        r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("junk.mos: not a whole MOS file (the header needs bytes 0 to 24; the file ends at 4): "
                             "another program's file or a damaged original, so it is kept; use --force to replace it\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(readFile((dir_ / "junk.mos").string()), junk);
    }
    r = run({"--force", "junk.bmp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("junk.mos: not a whole MOS file (the header needs bytes 0 to 24; the file ends at 4), so a "
                         "fresh layout replaces it\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(referenceDecode(readFile((dir_ / "junk.mos").string())));

    // A folder of originals: into them in place with -o, or named by --like.
    put("archive/PIC.MOS", original);
    put("originals/pic.mos", original);
    put("edited/pic.bmp", edited(p));
    r = run({"--all", "-o", "archive/", "edited/pic.bmp"});
    EXPECT_NE(r.out.find("[1/1] edited/pic.bmp -> archive/PIC.MOS: converted (1 of 6 tiles changed: 1 exact, 0 "
                         "quantised)\n"),
              std::string::npos)
        << r.out;
    r = run({"--all", "-q", "--like", "originals", "-o", "out/", "edited/pic.bmp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFile((dir_ / "out/pic.mos").string()), readFile((dir_ / "archive/PIC.MOS").string()));
    EXPECT_EQ(run({"--all", "--like", "PIC.MOS", "PIC.bmp"}).out,
              banner + "With --all, --like names a folder of originals, matched to the bitmaps by name\n" + usage);
}

// An editor's 8-bit save has one palette for the whole picture: most tiles
// change against the original, so the put-back is refused (with -q too)
// and a line says what to do instead; --force writes it all the same.
TEST_F(RoundTrip, AnEightBitSaveIsSaidToLoseTheTilesColours)
{
    const IndexedPicture p = picture(6);
    put("orig.mos", writeMos(p));
    BitmapVariant eight;
    eight.bits = 8;
    put("pic.bmp", writeBitmapVariant(colours(p), eight).bytes);
    for (const char* quiet : {"-v", "-q"}) {
        std::vector<std::string> args = {"--like", "orig.mos", "-o", "out.mos", "pic.bmp"};
        if (std::string(quiet) == "-q")
            args.insert(args.begin(), quiet);
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("pic.bmp: 6 of 6 tiles differ from its original orig.mos: the editor saved it with one "
                             "palette for the whole picture; save it as 24-bit to keep each tile's colours, or use "
                             "--force\n"),
                  std::string::npos)
            << r.out;
        EXPECT_FALSE(fs::exists(dir_ / "out.mos"));
    }
    const Outcome r = run({"--force", "--like", "orig.mos", "-o", "out.mos", "pic.bmp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("pic.bmp: most tiles differ from the original: the editor saved it with one palette for the "
                         "whole picture; save it as 24-bit to keep each tile's colours\n"),
              std::string::npos)
        << r.out;
    put("ok.bmp", writeBitmapVariant(colours(p), {}).bytes);
    EXPECT_EQ(run({"--like", "orig.mos", "-o", "ok.mos", "ok.bmp"}).out.find("one palette"), std::string::npos);
}

namespace {

// Runs the program with its standard output on a pseudo-terminal, as in a
// terminal window, and gives back all it wrote there.
std::string onTerminal(const fs::path& dir, const std::vector<std::string>& args)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        return "no pseudo-terminal";
    const std::string slave = ::ptsname(master);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        const int terminal = ::open(slave.c_str(), O_RDWR);
        ::dup2(terminal, 1);
        ::close(master);
        if (::chdir(dir.c_str()) != 0)
            ::_exit(126);
        ::setenv("QUILTPIX_PROGRESS_AFTER", "0", 1);
        std::vector<std::string> command;
        if (!runner.empty())
            command.push_back(std::string(QUILTPIX_RUNNER));
        command.push_back(QUILTPIX_EXE);
        command.insert(command.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : command)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    std::string got;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0)
            break; // EIO once the program has closed the terminal
        got.append(buffer, static_cast<std::size_t>(n));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(master);
    return got;
}

// What stays on a screen after a carriage return has moved back over a line.
std::string screen(const std::string& written)
{
    std::vector<std::string> lines(1);
    std::size_t column = 0;
    for (char c : written) {
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            lines.emplace_back();
            column = 0;
        } else {
            std::string& line = lines.back();
            if (column < line.size())
                line[column] = c;
            else
                line.push_back(c);
            ++column;
        }
    }
    std::string shown;
    for (std::string& line : lines) {
        line.erase(line.find_last_not_of(' ') + 1);
        shown += line + "\n";
    }
    return shown.substr(0, shown.size() - 1);
}

} // namespace

// On a terminal a long conversion shows one line of progress, updated in
// place and erased before the final lines; a pipe gets none of it, nor -q.
TEST_F(RoundTrip, ProgressShowsOnATerminalOnlyAndLeavesNoTrace)
{
    const IndexedPicture p = picture(7);
    put("a.mos", writeMos(p));
    put("b.bmp", writeBitmapVariant(colours(picture(8)), {}).bytes);
    const struct {
        std::vector<std::string> args;
        std::string lines;
    } cases[] = {
        {{"a.mos"}, banner + "6192\nDone\nMos file converted successfully!\n"},
        {{"b.bmp"}, banner + "b.bmp: 130 x 70 pixels, 6 tiles: 6 exact, 0 quantised\nDone\n"
                             "Bitmap converted successfully!\n"},
        {{"--all", "-o", "out/", "a.mos"}, banner + "[1/1] a.mos -> out/a.bmp: converted\n1 converted, 0 unchanged, 0 failed\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        fs::remove_all(dir_ / "out");
        fs::remove(dir_ / "a.bmp");
        fs::remove(dir_ / "b.mos");
        const std::string written = onTerminal(dir_, c.args);
        EXPECT_NE(written.find("tile row 1 of 2"), std::string::npos) << written;
        if (c.args.front() == "--all") {
            EXPECT_NE(written.find("\r[1/1] tile row 1 of 2"), std::string::npos) << written;
        }
        std::string lines = c.lines;
        for (std::size_t at = 0; (at = lines.find('\n', at)) != std::string::npos; at += 2)
            lines.replace(at, 1, "\r\n"); // as the terminal shows a line's end
        EXPECT_EQ(screen(written), screen(lines));

        fs::remove_all(dir_ / "out");
        fs::remove(dir_ / "a.bmp");
        fs::remove(dir_ / "b.mos");
        const Outcome piped = run(c.args, "QUILTPIX_PROGRESS_AFTER=0");
        EXPECT_EQ(piped.out, c.lines);
    }
    fs::remove(dir_ / "a.bmp");
    std::vector<std::string> quiet = {"-q", "a.mos"};
    EXPECT_EQ(onTerminal(dir_, quiet), "");
}

// PNG from the command line: the format follows -o's name or --png; a PNG
// goes the way back like a bitmap, into its original; --check reads it.
TEST_F(RoundTrip, PngGoesBothWaysFromTheCommandLine)
{
    const IndexedPicture p = picture(9);
    put("pic.mos", writeMos(p));
    if (!quiltpix::pngAvailable()) {
        // A build without zlib converts BMP, and says what PNG needs.
        EXPECT_EQ(run({"-q", "-o", "x.png", "pic.mos"}).out, "x.png: PNG needs zlib, which this build lacks\n");
        put("x.png", {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'});
        EXPECT_EQ(run({"-q", "x.png"}).out, "x.png: PNG needs zlib, which this build lacks\n");
        EXPECT_EQ(namesIn(dir_), (std::vector<std::string>{"pic.mos", "x.png"}));
        return;
    }
    put("other.mos", writeMos(picture(10)));
    Outcome r = run({"-o", "x.PNG", "pic.mos"});
    EXPECT_EQ(r.out, banner + "6192\nDone\nMos file converted successfully!\n");
    const Bytes png = readFile((dir_ / "x.PNG").string());
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(Bytes(png.begin(), png.begin() + 4), (Bytes{0x89, 'P', 'N', 'G'}));
    EXPECT_EQ(run({"-q", "--png", "pic.mos"}).status, 0);
    EXPECT_EQ(readFile((dir_ / "pic.png").string()), png);
    EXPECT_EQ(run({"-q", "--small", "-o", "small.png", "pic.mos"}).status, 0);
    EXPECT_LE(readFile((dir_ / "small.png").string()).size(), png.size());
    EXPECT_EQ(run({"--all", "-q", "--png", "-o", "out/", "pic.mos", "other.mos"}).out, "");
    EXPECT_TRUE(fs::exists(dir_ / "out/pic.png") && fs::exists(dir_ / "out/other.png"));

    // Back: into the original, which an unedited PNG leaves as it was.
    r = run({"pic.png"});
    EXPECT_EQ(r.out, banner + "pic.png: its original is pic.mos; only the tiles edited since it was extracted are taken\n"
                              "pic.png: 130 x 70 pixels, 6 tiles, 0 taken from the picture: 6 exact, 0 quantised\nDone\n"
                              "pic.mos: unchanged\nBitmap converted successfully!\n");
    EXPECT_EQ(run({"--check", "pic.png"}).out,
              banner + "pic.png: 130 x 70 pixels, PNG, 8-bit RGB, not interlaced: whole\n");
    put("bad.png", Bytes(png.begin(), png.end() - 20));
    r = run({"bad.png"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("bad.png: the IDAT chunk needs bytes 33 to "), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(dir_ / "bad.mos"));
}
