// Times the converter against the I/O floor (bench_iofloor) on pictures made
// by the project's own MOS writer, alternating the two run by run so that both
// see the same machine, and reports the converter's peak resident memory.
//   quiltpix_bench MEASURE QUILTPIX IOFLOOR [--runs N] [--dir DIR] [WxH ...]
#include "picture.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace quiltpix::testkit;
namespace fs = std::filesystem;

namespace {

struct Sample {
    double seconds = 0;
    long peakKiB = 0;
};

// Runs a command through bench_measure; its wall time and peak RSS.
Sample measure(const std::string& launcher, const std::vector<std::string>& command)
{
    std::string line = launcher;
    for (const std::string& a : command)
        line += " '" + a + "'";
    std::FILE* pipe = popen(line.c_str(), "r");
    Sample s;
    if (!pipe || std::fscanf(pipe, "%lf %ld", &s.seconds, &s.peakKiB) != 2 || pclose(pipe) != 0) {
        std::fprintf(stderr, "failed: %s\n", line.c_str());
        std::exit(1);
    }
    return s;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::uintmax_t bitmapBytes(int width, int height)
{
    return 54 + (3 * static_cast<std::uintmax_t>(width) + 3) / 4 * 4 * static_cast<std::uintmax_t>(height);
}

// tmpfs keeps writeback out of the timings; fall back to the system's
// temporary folder when it has no room.
fs::path pickDirectory(std::uintmax_t needed)
{
    struct statvfs shm {};
    if (statvfs("/dev/shm", &shm) == 0 && static_cast<std::uintmax_t>(shm.f_bavail) * shm.f_frsize > needed + (1u << 30))
        return "/dev/shm";
    return fs::temp_directory_path();
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: quiltpix_bench MEASURE QUILTPIX IOFLOOR [--runs N] [--dir DIR] [WxH ...]\n");
        return 2;
    }
    const std::string launcher = fs::absolute(argv[1]).string();
    const std::string converter = fs::absolute(argv[2]).string();
    const std::string floor = fs::absolute(argv[3]).string();
    int runs = 7;
    fs::path dirOption;
    std::vector<std::pair<int, int>> sizes;
    for (int i = 4; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--dir" && i + 1 < argc)
            dirOption = argv[++i];
        else {
            int w = 0, h = 0;
            if (std::sscanf(a.c_str(), "%dx%d", &w, &h) != 2 || w < 1 || h < 1 || w > 32767 || h > 32767) {
                std::fprintf(stderr, "bad size %s\n", a.c_str());
                return 2;
            }
            sizes.emplace_back(w, h);
        }
    }
    if (sizes.empty())
        sizes = {{64, 64}, {4096, 4096}, {16384, 16384}, {32767, 64}, {64, 32767}};

    std::uintmax_t largest = 0;
    for (const auto& s : sizes)
        largest = std::max(largest, bitmapBytes(s.first, s.second) * 3);
    const fs::path root = (dirOption.empty() ? pickDirectory(largest) : dirOption) / ("quiltpix-bench-" + std::to_string(getpid()));
    fs::create_directories(root);
    std::printf("files in %s; %d runs of each, alternating\n\n", root.parent_path().c_str(), runs);
    std::printf("%-13s %12s %12s %12s %10s %10s %12s\n", "picture", "quiltpix s", "I/O floor s", "paired ratio",
                "Mpixel/s", "peak MiB", "limit MiB");

    for (const auto& [width, height] : sizes) {
        const std::string name = std::to_string(width) + "x" + std::to_string(height);
        const fs::path mos = root / (name + ".mos");
        const fs::path bmp = root / (name + ".bmp");
        const fs::path copy = root / (name + ".floor");
        if (!writeFile(mos.string(), writeMos(noiseIndexedPicture(width, height, 1)))) {
            std::fprintf(stderr, "cannot write %s\n", mos.c_str());
            return 1;
        }
        const std::string outputBytes = std::to_string(bitmapBytes(width, height));
        std::vector<double> ours, floors, ratios;
        long peak = 0;
        for (int run = 0; run < runs; ++run) {
            fs::remove(bmp);
            const Sample q = measure(launcher, {converter, mos.string()});
            fs::remove(copy);
            const Sample f = measure(launcher, {floor, mos.string(), copy.string(), outputBytes});
            ours.push_back(q.seconds);
            floors.push_back(f.seconds);
            ratios.push_back(q.seconds / f.seconds);
            peak = std::max(peak, q.peakKiB);
        }
        const double pixels = static_cast<double>(width) * height;
        const double limitMiB = 8 + 4.1 * 64 * width / (1024.0 * 1024.0);
        std::printf("%-13s %12.4f %12.4f %12.2f %10.0f %10.2f %12.2f\n", name.c_str(), median(ours), median(floors),
                    median(ratios), pixels / median(ours) / 1e6, static_cast<double>(peak) / 1024.0, limitMiB);
        std::fflush(stdout);
        fs::remove(mos);
        fs::remove(bmp);
        fs::remove(copy);
    }
    fs::remove_all(root);
    return 0;
}
