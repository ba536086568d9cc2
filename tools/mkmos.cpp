// Makes MOS files with the project's own writer:
//   mkmos sample OUT.mos [OUT.ppm]   the bundled harbour picture (200 x 150), and
//                                    optionally the same picture as a plain PPM
//   mkmos noise W H OUT.mos [SEED [OUT.ppm]]
//                                    random palettes and pixels, any size up to
//                                    32767, and optionally the picture as a PPM
//   mkmos far W H OUT.mos [SEED]     the same picture as noise, with its tables
//                                    and tile data moved past 4 GiB into a
//                                    sparse file: it must convert identically
//   mkmos photo W H OUT.bmp [SEED]   a photo-like 24-bit bitmap, for the way back
//   mkmos seeds DIR                  the fuzzer's seed files: MOS layouts and
//                                    one small bitmap and PNG of every variant read
#include "bitmaps.h"
#ifdef QUILTPIX_HAVE_ZLIB
#include "pngs.h"
#endif
#include "picture.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

using namespace quiltpix::testkit;

namespace {

// A harbour at dusk, drawn with few enough shades that no tile needs more than
// 256 colours. Its 200 x 150 size leaves a partial last tile column (8 wide)
// and row (22 high), so a seam error shows.
Picture harbour()
{
    const int width = 200, height = 150;
    Picture p{width, height, std::vector<Bgr>(width * height)};
    const int horizon = 92;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            Bgr c;
            if (y < horizon) {
                // Sky: deep blue at the top to orange at the horizon, in bands.
                const int t = (y * 16 / horizon) * 16;
                c = {static_cast<unsigned char>(150 - t / 2), static_cast<unsigned char>(60 + t / 2),
                     static_cast<unsigned char>(40 + t * 3 / 4)};
                const int dx = x - 140, dy = y - 70;
                if (dx * dx + dy * dy < 15 * 15)
                    c = {60, 210, 255}; // sun
            } else {
                // Sea: darker with depth, lighter wave crests.
                const int depth = (y - horizon) * 6 / (height - horizon);
                const bool crest = std::sin(x * 0.35 + y * 1.7) + std::sin(x * 0.11 - y * 0.5) > 1.3;
                c = {static_cast<unsigned char>(120 - depth * 12), static_cast<unsigned char>(80 - depth * 8),
                     static_cast<unsigned char>(30 - depth * 3)};
                if (crest)
                    c = {200, 190, 170};
                if (std::abs(x - 140) < 3 + (y - horizon) / 2 && y < horizon + 40 && (x + y) % 3 == 0)
                    c = {80, 170, 230}; // the sun's reflection
            }
            // A pier on the left and a red-hulled boat with a white sail.
            if (x < 40 && y > horizon - 6 && y < horizon)
                c = {30, 50, 70};
            if (x < 40 && x % 10 < 2 && y >= horizon && y < horizon + 20)
                c = {20, 35, 50};
            if (y >= horizon - 8 && y < horizon && x > 70 + (y - horizon + 8) / 2 && x < 110 - (y - horizon + 8) / 2)
                c = {30, 30, 180};
            if (y >= horizon - 40 && y < horizon - 8 && x > 88 && x < 90 + (y - horizon + 40) / 2)
                c = {235, 240, 240};
            if (y >= horizon - 44 && y < horizon - 8 && x == 88)
                c = {40, 40, 40};
            p.at(x, y) = c;
        }
    return p;
}

bool writePpm(const std::string& path, const Picture& p)
{
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << p.width << " " << p.height << "\n255\n";
    for (const Bgr& c : p.pixels) {
        const char rgb[3] = {static_cast<char>(c.r), static_cast<char>(c.g), static_cast<char>(c.b)};
        out.write(rgb, 3);
    }
    return static_cast<bool>(out);
}

bool seeds(const std::string& dir)
{
    struct Seed {
        const char* name;
        int width, height;
        MosLayout layout;
    };
    const Seed list[] = {
        {"one-pixel.mos", 1, 1, {}},
        {"partial-tiles.mos", 70, 67, {}},
        {"one-tile.mos", 64, 64, {}},
        {"rows-out-of-order.mos", 10, 140, MosLayout{24, {2, 0, 1}, 5, true, true, 3, 7}},
        {"palettes-in-header.mos", 3, 2, MosLayout{4, {}, 0, false, false, 0, 7}},
    };
    for (const Seed& s : list) {
        const Bytes file = writeMos(indexPicture(noisePicture(s.width, s.height, 11)), s.layout);
        if (!writeFile(dir + "/" + s.name, file))
            return false;
    }
    // Small bitmaps with few colours, so that RLE has runs to find.
    Picture few{9, 5, std::vector<Bgr>(45)};
    for (std::size_t i = 0; i < few.pixels.size(); ++i)
        few.pixels[i] = {static_cast<unsigned char>(i / 7 * 40), static_cast<unsigned char>(i % 3 * 90), 200};
    // A variant's name as a file name.
    const auto seedName = [](std::string name) {
        for (char& c : name)
            if (c == ' ' || c == '/' || c == ',')
                c = '-';
        return name;
    };
    for (const BitmapVariant& v : bitmapVariants()) {
        if (!writeFile(dir + "/" + seedName("bitmap-" + v.name + ".bmp"), writeBitmapVariant(few, v).bytes))
            return false;
    }
#ifdef QUILTPIX_HAVE_ZLIB
    for (const PngVariant& v : pngVariants()) {
        if (!writeFile(dir + "/" + seedName("png-" + v.name + ".png"), writePngVariant(few, v).bytes))
            return false;
    }
#endif
    return true;
}

// Moves everything after the header to `to`: tile offsets count from the tile
// data base, so they stay right. The bytes skipped are never written, so the
// file takes almost no disk.
bool writeFar(const std::string& path, const Bytes& near, std::uint32_t to)
{
    Bytes header(near.begin(), near.begin() + 24);
    for (int i = 0; i < 4; ++i)
        header[20 + static_cast<std::size_t>(i)] = static_cast<unsigned char>(to >> (8 * i));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(header.data()), 24);
    out.seekp(static_cast<std::streamoff>(to));
    out.write(reinterpret_cast<const char*>(near.data() + 24), static_cast<std::streamsize>(near.size() - 24));
    return static_cast<bool>(out.flush());
}

int usage()
{
    std::fputs("usage: mkmos sample OUT.mos [OUT.ppm] | noise W H OUT.mos [SEED [OUT.ppm]] | far W H OUT.mos [SEED]"
               " | photo W H OUT.bmp [SEED] | seeds DIR\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "sample" && argc >= 3) {
        const Picture picture = harbour();
        if (!writeFile(argv[2], writeMos(indexPicture(picture))))
            return 1;
        return argc >= 4 && !writePpm(argv[3], picture) ? 1 : 0;
    }
    if ((what == "noise" || what == "far") && argc >= 5) {
        const int width = std::atoi(argv[2]), height = std::atoi(argv[3]);
        if (width < 1 || width > 32767 || height < 1 || height > 32767)
            return usage();
        const std::uint64_t seed = argc >= 6 ? std::strtoull(argv[5], nullptr, 10) : 1;
        const IndexedPicture picture = noiseIndexedPicture(width, height, seed);
        if (what == "far") // 4 GiB less a page: the tile data lies past 4 GiB
            return writeFar(argv[4], writeMos(picture), 0xFFFFF000u) ? 0 : 1;
        if (!writeFile(argv[4], writeMos(picture)))
            return 1;
        return argc >= 7 && !writePpm(argv[6], colours(picture)) ? 1 : 0;
    }
    if (what == "photo" && argc >= 5) {
        const int width = std::atoi(argv[2]), height = std::atoi(argv[3]);
        if (width < 1 || width > 32767 || height < 1 || height > 32767)
            return usage();
        const std::uint64_t seed = argc >= 6 ? std::strtoull(argv[5], nullptr, 10) : 1;
        return writeFile(argv[4], writeBitmapVariant(photoPicture(width, height, seed), {}).bytes) ? 0 : 1;
    }
    if (what == "seeds" && argc >= 3)
        return seeds(argv[2]) ? 0 : 1;
    return usage();
}
