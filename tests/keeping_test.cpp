// No edit is lost: what stands under an output name is judged by its pixels
// and by the record of what runs wrote there, never by file times; the file
// replaced is the very one judged; the way back takes only what the user
// edited, and refuses what would damage a picture.
#include "bitmaps.h"
#include "pngs.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

namespace {

class Keeping : public Driver {
protected:
    static constexpr int columns = 3; // 130 x 70 pixels: 3 x 2 tiles

    static IndexedPicture picture(std::uint64_t seed) { return indexPicture(noisePicture(130, 70, seed), seed); }
    static Bytes bmp(const Picture& p) { return writeBitmapVariant(p, {}).bytes; }

    // The picture with one pixel of tile (row, column) given another colour
    // of that tile, so that the tile stays exact on the way back.
    static Picture editTile(Picture p, int row, int column)
    {
        const int x0 = column * 64, y0 = row * 64;
        for (int k = 1; k < 6; ++k)
            if (p.at(x0 + k, y0 + 1) != p.at(x0, y0)) {
                p.at(x0, y0) = p.at(x0 + k, y0 + 1);
                return p;
            }
        ADD_FAILURE() << "no second colour in the tile";
        return p;
    }

    // The MOS picture with every colour of one tile changed, as another
    // program's edit of the MOS file would.
    static IndexedPicture recolourTile(IndexedPicture p, int tile)
    {
        for (std::size_t k = 0; k < 1024; k += 4)
            p.palettes[static_cast<std::size_t>(tile)][k] ^= 0x55;
        return p;
    }

    // The pixels of one tile.
    static Picture tileOf(const Picture& p, int row, int column)
    {
        Picture t;
        const int x0 = column * 64, y0 = row * 64;
        t.width = std::min(64, p.width - x0);
        t.height = std::min(64, p.height - y0);
        for (int y = 0; y < t.height; ++y)
            for (int x = 0; x < t.width; ++x)
                t.pixels.push_back(p.at(x0 + x, y0 + y));
        return t;
    }

    Picture shown(const std::string& mos) { return *referenceDecode(readFile((dir_ / mos).string())); }


    std::string shim() const { return QUILTPIX_SHIM; }
};

const std::string keptEdit = "a.bmp: edited since quiltpix wrote it, so it is kept as an edit; put it back first "
                             "(quiltpix a.bmp), or use --force to replace it\n";
const std::string keptUnvouched = "a.bmp: its pixels differ from what quiltpix would write, and no record says quiltpix "
                                  "wrote them, so it is kept as an edit; put it back first (quiltpix a.bmp), or use "
                                  "--force to replace it\n";

// The review's ways of losing an edit through file times: equal times, an
// edit older than a refreshed input, a checkout that dates the picture just
// before its MOS file, an archive extracted with old times. The edit is kept
// in every one, and only the pixels the record vouches for are replaced.
TEST_F(Keeping, TheTimesOfFilesDecideNothing)
{
    struct Case {
        const char* name;
        bool extracted; // a run wrote a.bmp first (its record is there)
        std::function<void(const fs::path&)> times;
        const std::string& line;
    };
    const auto now = fs::file_time_type::clock::now();
    const std::vector<Case> cases = {
        {"equal times", true, [&](const fs::path& d) { fs::last_write_time(d / "a.bmp", now); fs::last_write_time(d / "a.mos", now); }, keptEdit},
        {"an edit older than its refreshed input", true,
         [&](const fs::path& d) { fs::last_write_time(d / "a.bmp", now - std::chrono::hours(2)); fs::last_write_time(d / "a.mos", now); }, keptEdit},
        {"a checkout: the edit 8 ms before its MOS file", false,
         [&](const fs::path& d) { fs::last_write_time(d / "a.mos", now); fs::last_write_time(d / "a.bmp", now - std::chrono::milliseconds(8)); },
         keptUnvouched},
        {"an archive extracted with old times", false,
         [&](const fs::path& d) { fs::last_write_time(d / "a.bmp", now - std::chrono::hours(24 * 400)); fs::last_write_time(d / "a.mos", now - std::chrono::hours(14)); },
         keptUnvouched},
    };
    const IndexedPicture p = picture(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        put("a.mos", writeMos(p));
        if (c.extracted) {
            ASSERT_EQ(run({"-q", "a.mos"}).status, 0);
        }
        const Bytes edit = bmp(editTile(colours(p), 0, 0));
        put("a.bmp", edit);
        c.times(dir_);
        const Outcome r = run({"-q", "--all", "a.mos"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.line + "0 converted, 0 unchanged, 1 failed\n");
        EXPECT_EQ(readFile((dir_ / "a.bmp").string()), edit);
    }

    // What the record vouches for is replaced when the input changes, even
    // where the output is dated after it.
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    put("a.mos", writeMos(p));
    ASSERT_EQ(run({"-q", "a.mos"}).status, 0);
    put("a.mos", writeMos(picture(2)));
    fs::last_write_time(dir_ / "a.mos", now - std::chrono::hours(1));
    EXPECT_EQ(run({"-q", "a.mos"}).status, 0);
    EXPECT_EQ(firstDifference(colours(picture(2)), *readBitmap(readFile((dir_ / "a.bmp").string()))), "");
}

// An edit saved while a run works is judged, never renamed over: one saved
// just after the output was judged (a new file under its name), one written
// in place at the moment of the commit, and an output that appears during
// the run; and the way back's original replaced during the run.
TEST_F(Keeping, ASaveDuringTheRunIsNotLost)
{
    if (shim().empty())
        GTEST_SKIP() << "needs a program that loads the system's C library, for the shim";
    struct Case {
        const char* name;
        bool extracted;
        std::string hook;
    };
    const std::vector<Case> cases = {
        {"a save just after the output was judged", true, "QUILTPIX_SHIM_SWAP=a.bmp:edit.bmp"},
        {"a save in place at the commit", true, "QUILTPIX_SHIM_SAVE=commit:a.bmp:edit.bmp"},
        {"an output that appears during the run", false, "QUILTPIX_SHIM_SAVE=commit:a.bmp:edit.bmp"},
    };
    const IndexedPicture p = picture(3);
    const Bytes edit = bmp(editTile(colours(p), 1, 1));
    for (const char* exe : {QUILTPIX_EXE, QUILTPIX_NAMED_TEMP_EXE})
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(exe) + ": " + c.name);
            fs::remove_all(dir_);
            fs::create_directories(dir_);
            put("a.mos", writeMos(p));
            if (c.extracted) {
                ASSERT_EQ(run({"-q", "a.mos"}, "", exe).status, 0);
                put("a.mos", writeMos(picture(4))); // so that the run replaces what it wrote
            }
            put("edit.bmp", edit);
            const Outcome r = run({"-q", "a.mos"}, "LD_PRELOAD=" + quote(shim()) + " " + c.hook + " ASAN_OPTIONS=verify_asan_link_order=0", exe);
            EXPECT_EQ(r.status, 1) << r.out;
            EXPECT_NE(r.out.find("a.bmp: "), std::string::npos) << r.out;
            EXPECT_EQ(readFile((dir_ / "a.bmp").string()), edit);
            fs::remove(dir_ / "edit.bmp");
            EXPECT_EQ(namesIn(dir_), (std::vector<std::string>{"a.bmp", "a.mos"}));
        }

    // The way back: the original is replaced by a newer one while it is
    // read, or just before it is replaced, or written in place while it is
    // read; the newer one stays.
    const std::string torn = "x.mos: the file changed while it was being read (is a program still saving it?); nothing was written\n";
    const std::string meanwhile = "x.mos: it changed while this run worked, so it was left as it is; run again to judge it anew\n";
    const std::vector<std::pair<std::string, std::string>> backCases = {
        {"QUILTPIX_SHIM_MOVE=.quiltpix-record:x.mos:newer.mos", torn},
        {"QUILTPIX_SHIM_MOVE=commit:x.mos:newer.mos", meanwhile},
        {"QUILTPIX_SHIM_SAVE=.quiltpix-record:x.mos:newer.mos", torn},
    };
    for (const auto& [hook, line] : backCases) {
        SCOPED_TRACE(hook);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        put("x.mos", writeMos(p));
        ASSERT_EQ(run({"-q", "x.mos"}).status, 0);
        put("x.bmp", edit);
        const Bytes newer = writeMos(picture(4));
        put("newer.mos", newer);
        const Outcome r = run({"-q", "x.bmp"}, "LD_PRELOAD=" + quote(shim()) + " " + hook + " ASAN_OPTIONS=verify_asan_link_order=0");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, line);
        EXPECT_EQ(readFile((dir_ / "x.mos").string()), newer);
    }
}

// An input written to while it is read would give half one save and half
// the other: refused, nothing written, in both directions.
TEST_F(Keeping, AnInputWrittenWhileReadIsRefused)
{
    if (shim().empty())
        GTEST_SKIP() << "needs a program that loads the system's C library, for the shim";
    const IndexedPicture p = picture(5);
    put("a.mos", writeMos(p));
    put("other.mos", writeMos(picture(6)));
    const std::string torn = "the file changed while it was being read (is a program still saving it?); nothing was written\n";
    Outcome r = run({"-q", "a.mos"}, "LD_PRELOAD=" + quote(shim()) + " QUILTPIX_SHIM_SAVE=.quiltpix-record:a.mos:other.mos ASAN_OPTIONS=verify_asan_link_order=0");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "a.mos: " + torn);
    EXPECT_FALSE(fs::exists(dir_ / "a.bmp"));

    put("b.bmp", bmp(colours(p)));
    put("other.bmp", bmp(colours(picture(6))));
    r = run({"-q", "b.bmp"}, "LD_PRELOAD=" + quote(shim()) + " QUILTPIX_SHIM_SAVE=b.mos:b.bmp:other.bmp ASAN_OPTIONS=verify_asan_link_order=0");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "b.bmp: " + torn);
    EXPECT_FALSE(fs::exists(dir_ / "b.mos"));
}

// An editor that opens and saves a picture without a change writes other
// bytes with the same pixels: that is no edit. The next extraction replaces
// it, the way back says unchanged, and other options' output replaces it too.
TEST_F(Keeping, AReSaveIsJudgedByItsPixels)
{
    const IndexedPicture p = picture(7);
    put("a.mos", writeMos(p));
    ASSERT_EQ(run({"-q", "a.mos"}).status, 0);
    const Bytes ours = readFile((dir_ / "a.bmp").string());
    BitmapVariant topDown;
    topDown.topDown = true;
    BitmapVariant wide;
    wide.bits = 32;
    for (const BitmapVariant& v : {topDown, wide}) {
        put("a.bmp", writeBitmapVariant(colours(p), v).bytes);
        ASSERT_NE(readFile((dir_ / "a.bmp").string()), ours);
        EXPECT_EQ(run({"-q", "a.mos"}).status, 0);
        EXPECT_EQ(readFile((dir_ / "a.bmp").string()), ours);
    }
#ifdef QUILTPIX_HAVE_ZLIB
    ASSERT_EQ(run({"-q", "--png", "a.mos"}).status, 0);
    PngVariant resaved;
    resaved.filter = 4;
    put("a.png", writePngVariant(colours(p), resaved).bytes);
    const Outcome back = run({"a.png"});
    EXPECT_EQ(back.status, 0);
    EXPECT_NE(back.out.find("a.mos: unchanged\n"), std::string::npos) << back.out;
    EXPECT_EQ(run({"-q", "--png", "a.mos"}).status, 0);
    EXPECT_EQ(run({"-q", "--png", "--small", "a.mos"}).status, 0);
#endif
}

// The record is believed only when it is sound and the user's own: missing,
// damaged, another user's, a link or writable by others, it vouches for
// nothing, and an output whose input changed is then kept.
TEST_F(Keeping, TheRecordIsBelievedOnlyWhenItIsSound)
{
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> spoil;
        bool needsRoot;
    };
    const std::vector<Case> cases = {
        {"sound", [](const fs::path&) {}, false},
        {"missing", [](const fs::path& r) { fs::remove(r); }, false},
        {"damaged",
         [](const fs::path& r) {
             Bytes b = readFile(r.string());
             b[b.size() - 30] = b[b.size() - 30] == '0' ? '1' : '0';
             writeFile(r.string(), b);
         },
         false},
        {"torn", [](const fs::path& r) { fs::resize_file(r, fs::file_size(r) - 1); }, false},
        {"writable by others", [](const fs::path& r) { fs::permissions(r, fs::perms::others_write, fs::perm_options::add); }, false},
        {"a link to a sound one",
         [](const fs::path& r) {
             fs::rename(r, r.parent_path() / "elsewhere");
             fs::create_symlink("elsewhere", r);
         },
         false},
        {"another user's", [](const fs::path& r) { EXPECT_EQ(::chown(r.c_str(), 65534, 65534), 0); }, true},
    };
    const IndexedPicture p = picture(8), q = picture(9);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0)
            continue;
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        put("a.mos", writeMos(p));
        ASSERT_EQ(run({"-q", "a.mos"}).status, 0);
        c.spoil(dir_ / ".quiltpix-record");
        put("a.mos", writeMos(q));
        const Outcome r = run({"-q", "a.mos"});
        const bool believed = std::string(c.name) == "sound";
        EXPECT_EQ(r.status, believed ? 0 : 1);
        EXPECT_EQ(r.out, believed ? "" : keptUnvouched);
        EXPECT_EQ(firstDifference(colours(believed ? q : p), *readBitmap(readFile((dir_ / "a.bmp").string()))), "");
    }
}

// With the record of the picture's extraction, the way back takes only the
// tiles the user edited: a tile the MOS file changed since keeps its new
// bytes, and one changed on both sides is refused unless --force.
TEST_F(Keeping, ThePutBackTakesOnlyTheEditedTiles)
{
    const IndexedPicture p = picture(10);
    const IndexedPicture changed = recolourTile(p, 4); // row 2, column 2
    const Picture edit = editTile(colours(p), 0, 0);

    put("a.mos", writeMos(p));
    ASSERT_EQ(run({"-q", "a.mos"}).status, 0);
    put("a.bmp", bmp(edit));
    put("a.mos", writeMos(changed));
    Outcome r = run({"a.bmp"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("a.mos: 1 tile changed there since the extraction, and not in the picture, kept\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("6 tiles, 1 taken from the picture"), std::string::npos) << r.out;
    Picture now = shown("a.mos");
    EXPECT_EQ(firstDifference(tileOf(edit, 0, 0), tileOf(now, 0, 0)), "");
    EXPECT_EQ(firstDifference(tileOf(colours(changed), 1, 1), tileOf(now, 1, 1)), "");
    // The two sides agree now, as the records say: extracting again replaces
    // the picture with nothing lost.
    EXPECT_EQ(run({"-q", "a.mos"}).status, 0);
    EXPECT_EQ(firstDifference(now, *readBitmap(readFile((dir_ / "a.bmp").string()))), "");

    // The same tile edited on both sides.
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    put("a.mos", writeMos(p));
    ASSERT_EQ(run({"-q", "a.mos"}).status, 0);
    const Picture both = editTile(colours(p), 1, 1);
    put("a.bmp", bmp(both));
    const Bytes theirs = writeMos(changed);
    put("a.mos", theirs);
    for (const char* quiet : {"-q", "-v"}) {
        std::vector<std::string> args = {"a.bmp"};
        if (std::string(quiet) == "-q")
            args.insert(args.begin(), quiet);
        r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("a.bmp: 1 tile was changed both here and in a.mos since it was extracted (row 2 column 2); "
                             "keep one side's change, or use --force to take the picture's\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(readFile((dir_ / "a.mos").string()), theirs);
    }
    r = run({"--force", "a.bmp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(firstDifference(tileOf(both, 1, 1), tileOf(shown("a.mos"), 1, 1)), "");
}

// A put-back that would damage its original is refused before anything is
// written, with -q too: a picture resized in an editor, or the wrong
// original (most tiles differ). --fresh and --force say otherwise.
TEST_F(Keeping, APutBackThatWouldDamageThePictureIsRefused)
{
    const IndexedPicture p = picture(11);
    const Bytes original = writeMos(p);
    put("a.mos", original);
    Picture cropped = colours(p);
    cropped.width = 120;
    cropped.pixels.clear();
    for (int y = 0; y < 70; ++y)
        for (int x = 0; x < 120; ++x)
            cropped.pixels.push_back(colours(p).at(x, y));
    put("a.bmp", bmp(cropped));
    const std::string resized = "a.bmp: it is 120 x 70 pixels and its original a.mos 130 x 70 (resized in an editor?); "
                                "use --fresh to write it as a new picture, or --force\n";
    EXPECT_EQ(run({"a.bmp"}).out, banner + resized + "Conversion failed!\n");
    EXPECT_EQ(run({"-q", "a.bmp"}).out, resized);
    EXPECT_EQ(readFile((dir_ / "a.mos").string()), original);
    EXPECT_EQ(run({"-q", "--fresh", "a.bmp"}).status, 0);
    EXPECT_EQ(shown("a.mos").width, 120);

    put("a.mos", original);
    put("b.bmp", bmp(colours(picture(12))));
    const std::string wrong = "b.bmp: 6 of 6 tiles differ from its original a.mos: is that the right original? Name it "
                              "with --like, write a new picture with --fresh, or use --force\n";
    EXPECT_EQ(run({"-q", "--like", "a.mos", "-o", "b.mos", "b.bmp"}).out, wrong);
    EXPECT_FALSE(fs::exists(dir_ / "b.mos"));
    EXPECT_EQ(run({"-q", "--force", "--like", "a.mos", "-o", "b.mos", "b.bmp"}).status, 0);
    EXPECT_EQ(firstDifference(colours(picture(12)), shown("b.mos")), "");
}

// The output's format follows its name: a name that says another format is
// refused before any work, and a refused file is not first announced as a
// very large output.
TEST_F(Keeping, AnOutputNameMustSayTheFormatWritten)
{
    put("a.mos", writeMos(picture(13)));
    put("b.bmp", bmp(colours(picture(13))));
    struct Case {
        std::vector<std::string> args;
        std::string line;
    };
    const std::vector<Case> cases = {
        {{"-q", "-o", "z.jpg", "a.mos"}, "z.jpg: a MOS file becomes a bitmap (.bmp) or a PNG (.png), so its name must end in one of them\n"},
        {{"-q", "--png", "-o", "x.bmp", "a.mos"}, "x.bmp: --png writes a PNG, so its name must end in .png\n"},
        {{"-q", "-o", "x.mos", "a.mos"}, "x.mos: a MOS file becomes a bitmap (.bmp) or a PNG (.png), so its name must end in one of them\n"},
        {{"-q", "-o", "y.bmp", "b.bmp"}, "y.bmp: the way back writes a MOS file, so its name must end in .mos\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[2]);
        const Outcome r = run(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.line);
        EXPECT_FALSE(fs::exists(dir_ / c.args[c.args.size() - 2]));
    }
    EXPECT_EQ(run({"-q", "-o", "X.BMP", "a.mos"}).status, 0);
    EXPECT_EQ(run({"-q", "-o", "noextension", "a.mos"}).status, 0);
    EXPECT_EQ(run({"-q", "-o", "Y.MOS", "b.bmp"}).status, 0);

    // A 24-byte file whose header promises a large picture.
    Bytes header(24, 0);
    const std::string magic = "MOS V2  ";
    std::copy(magic.begin(), magic.end(), header.begin());
    put16(header, 8, 130);
    put16(header, 10, 130);
    put16(header, 12, 3);
    put16(header, 14, 3);
    put32(header, 16, 64);
    put32(header, 20, 24);
    put("p.mos", header);
    const Outcome r = run({"p.mos"});
    EXPECT_EQ(r.out.find("bytes will be written"), std::string::npos) << r.out;
}

} // namespace
