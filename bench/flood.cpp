// The quantiser on colours chosen to collide in its colour hash, against
// noise of as many colours: the time of a tile of each, paired and
// alternated, median of the runs. "fixed" draws the hash as it was before it
// was seeded (the multiplier such a picture is made for); "seeded" as every
// run now draws it.
//   bench_flood [RUNS]
#include "quantise.h"
#include "picture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace quiltpix;

namespace {

constexpr std::uint64_t fixedMultiplier = 0x9E3779B1ull << 32; // the old hash's bits 19..31 of c x 0x9E3779B1

// 4096 colours whose old slot is 0 or 1: every probe walks the whole cluster.
std::vector<std::uint32_t> floodTile()
{
    std::vector<std::uint32_t> tile;
    for (std::uint32_t c = 0; c < (1u << 24) && tile.size() < std::size_t{tilePixels}; ++c)
        if (((std::uint64_t{c} * 0x9E3779B1u) >> 19 & 8191) < 2)
            tile.push_back(c);
    return tile;
}

std::vector<std::uint32_t> noiseTile()
{
    testkit::Noise noise(7);
    std::vector<std::uint32_t> tile(tilePixels);
    for (std::uint32_t& c : tile)
        c = static_cast<std::uint32_t>(noise.byte()) << 16 | static_cast<std::uint32_t>(noise.byte()) << 8 | noise.byte();
    return tile;
}

double seconds(TileQuantiser& q, const std::vector<std::uint32_t>& tile, int repeat)
{
    unsigned char palette[1024], indices[tilePixels];
    const auto start = std::chrono::steady_clock::now();
    for (int k = 0; k < repeat; ++k)
        q.quantise(tile.data(), 64, 64, false, palette, indices);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / repeat;
}

} // namespace

int main(int argc, char* argv[])
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const std::vector<std::uint32_t> flood = floodTile(), noise = noiseTile();
    std::vector<double> fixedRatio, seededRatio;
    for (int run = 0; run < runs; ++run) {
        TileQuantiser fixed, seeded;
        fixed.seedHash(fixedMultiplier);
        const double n1 = seconds(seeded, noise, 20), f1 = seconds(fixed, flood, 20);
        const double s1 = seconds(seeded, flood, 20), n2 = seconds(seeded, noise, 20);
        fixedRatio.push_back(f1 / ((n1 + n2) / 2));
        seededRatio.push_back(s1 / ((n1 + n2) / 2));
    }
    std::sort(fixedRatio.begin(), fixedRatio.end());
    std::sort(seededRatio.begin(), seededRatio.end());
    std::printf("colours chosen to collide, time against noise (median of %d): fixed hash %.2f x, seeded hash %.2f x\n",
                runs, fixedRatio[fixedRatio.size() / 2], seededRatio[seededRatio.size() / 2]);
    return 0;
}
