// The quantiser on the quality set, tile by tile as the way back runs it:
// how close the tiles come (PSNR mean over the tiles, pooled over all their
// pixels, and the worst tile), how many were exact, and the time it took.
//   bench_quality [--dither] [--passes N] [--dump DIR]
// --dump writes every tile as a PPM (tile-NNN.ppm), for measuring another
// quantiser on the very same tiles.
#include "bitmaps.h"
#include "quantise.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

using namespace quiltpix;
using namespace quiltpix::testkit;

int main(int argc, char* argv[])
{
    bool dither = false;
    std::string dump;
    TileQuantiser quantiser;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--dither")
            dither = true;
        else if (a == "--passes" && i + 1 < argc)
            quantiser.refinePasses = std::atoi(argv[++i]);
        else if (a == "--dump" && i + 1 < argc)
            dump = argv[++i];
        else {
            std::fprintf(stderr, "usage: bench_quality [--dither] [--passes N] [--dump DIR]\n");
            return 2;
        }
    }
    const std::vector<Picture> set = qualitySet();
    std::vector<std::uint32_t> tile(tilePixels);
    unsigned char palette[1024], indices[tilePixels];
    int tiles = 0, exact = 0;
    double psnrSum = 0, worst = 1e9, pixels = 0, error = 0, seconds = 0;
    for (const Picture& p : set)
        for (int ty = 0; ty + 64 <= p.height; ty += 64)
            for (int tx = 0; tx + 64 <= p.width; tx += 64) {
                for (int y = 0; y < 64; ++y)
                    for (int x = 0; x < 64; ++x)
                        tile[static_cast<std::size_t>(y * 64 + x)] = packColour(&p.at(tx + x, ty + y).b);
                if (!dump.empty()) {
                    char name[64];
                    std::snprintf(name, sizeof name, "/tile-%03d.ppm", tiles);
                    std::ofstream out(dump + name, std::ios::binary);
                    out << "P6\n64 64\n255\n";
                    for (std::uint32_t c : tile) {
                        const char rgb[3] = {static_cast<char>(c >> 16), static_cast<char>(c >> 8), static_cast<char>(c)};
                        out.write(rgb, 3);
                    }
                }
                const auto start = std::chrono::steady_clock::now();
                const TileResult r = quantiser.quantise(tile.data(), 64, 64, dither, palette, indices);
                seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                ++tiles;
                pixels += tilePixels;
                if (r.exact) {
                    ++exact;
                    continue;
                }
                const double psnr = tilePsnr(r.squaredError, tilePixels);
                psnrSum += psnr;
                worst = std::min(worst, psnr);
                error += static_cast<double>(r.squaredError);
            }
    const int quantised = tiles - exact;
    const double pooled = 10 * std::log10(255.0 * 255.0 / (error / (3.0 * quantised * tilePixels)));
    std::printf("quality set: %d tiles, %d exact, %d quantised%s\n", tiles, exact, quantised, dither ? ", dithered" : "");
    std::printf("PSNR of the quantised tiles: mean %.2f dB, pooled %.2f dB, worst %.2f dB\n",
                quantised ? psnrSum / quantised : 0.0, pooled, quantised ? worst : 0.0);
    std::printf("time: %.3f s per megapixel (one thread)\n", seconds / (pixels / 1e6));
    return 0;
}
