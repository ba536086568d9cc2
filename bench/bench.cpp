// Times converters against the I/O floor (bench_iofloor) on pictures made by
// the project's own MOS writer, alternating them run by run so that all see
// the same machine, and reports each converter's peak resident memory.
//   quiltpix_bench MEASURE IOFLOOR LABEL=QUILTPIX... [--runs N] [--dir DIR] [WxH ...]
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
        std::fprintf(stderr, "usage: quiltpix_bench MEASURE IOFLOOR LABEL=QUILTPIX... [--runs N] [--dir DIR] [WxH ...]\n");
        return 2;
    }
    const std::string launcher = fs::absolute(argv[1]).string();
    const std::string floor = fs::absolute(argv[2]).string();
    std::vector<std::pair<std::string, std::string>> converters;
    int runs = 7;
    fs::path dirOption;
    std::vector<std::pair<int, int>> sizes;
    for (int i = 3; i < argc; ++i) {
        const std::string a = argv[i];
        const std::string::size_type equals = a.find('=');
        if (a == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--dir" && i + 1 < argc)
            dirOption = argv[++i];
        else if (equals != std::string::npos)
            converters.emplace_back(a.substr(0, equals), fs::absolute(a.substr(equals + 1)).string());
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
    std::printf("%-13s %-8s %12s %12s %12s %10s %10s %12s\n", "picture", "kernel", "quiltpix s", "I/O floor s",
                "paired ratio", "Mpixel/s", "peak MiB", "limit MiB");

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
        // Each converter, then the floor, in every run: a ratio is taken
        // between runs that saw the same moment of the machine.
        std::vector<std::vector<double>> ours(converters.size()), ratios(converters.size());
        std::vector<long> peak(converters.size(), 0);
        std::vector<double> floors;
        for (int run = 0; run < runs; ++run) {
            std::vector<double> times;
            for (std::size_t c = 0; c < converters.size(); ++c) {
                fs::remove(bmp);
                const Sample q = measure(launcher, {converters[c].second, mos.string()});
                times.push_back(q.seconds);
                peak[c] = std::max(peak[c], q.peakKiB);
            }
            fs::remove(copy);
            const Sample f = measure(launcher, {floor, mos.string(), copy.string(), outputBytes});
            floors.push_back(f.seconds);
            for (std::size_t c = 0; c < converters.size(); ++c) {
                ours[c].push_back(times[c]);
                ratios[c].push_back(times[c] / f.seconds);
            }
        }
        const double pixels = static_cast<double>(width) * height;
        const double limitMiB = 8 + 4.1 * 64 * width / (1024.0 * 1024.0);
        for (std::size_t c = 0; c < converters.size(); ++c)
            std::printf("%-13s %-8s %12.4f %12.4f %12.2f %10.0f %10.2f %12.2f\n", name.c_str(), converters[c].first.c_str(),
                        median(ours[c]), median(floors), median(ratios[c]), pixels / median(ours[c]) / 1e6,
                        static_cast<double>(peak[c]) / 1024.0, limitMiB);
        std::fflush(stdout);
        fs::remove(mos);
        fs::remove(bmp);
        fs::remove(copy);
    }
    fs::remove_all(root);
    return 0;
}
