// Runs every fuzz property over files, for compilers without libFuzzer: each
// argument is a file, or a folder whose *.mos, *.bmp and *.png files are taken in
// name order.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "properties.h"

namespace fs = std::filesystem;

int main(int argc, char* argv[])
{
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_directory(argv[i])) {
            std::vector<fs::path> found;
            for (const auto& entry : fs::directory_iterator(argv[i]))
                if (entry.is_regular_file() && (entry.path().extension() == ".mos" || entry.path().extension() == ".bmp" ||
                                           entry.path().extension() == ".png"))
                    found.push_back(entry.path());
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        } else {
            files.emplace_back(argv[i]);
        }
    }
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", file.u8string().c_str());
            return 1;
        }
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::printf("%s\n", file.u8string().c_str()); // UTF-8 on every system
        const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
        fuzzMos(data, bytes.size());
        fuzzPictureReader(data, bytes.size());
        fuzzWayBack(data, bytes.size());
        fuzzLibrary(data, bytes.size());
    }
    std::printf("replayed %zu files\n", files.size());
    return files.empty() ? 1 : 0;
}
