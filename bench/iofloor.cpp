// The least any converter must do: read the input once and write a file of
// the bitmap's size, in large sequential blocks.
//   bench_iofloor INPUT OUTPUT OUTPUT_BYTES
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char* argv[])
{
    if (argc != 4)
        return 2;
    const unsigned long long outputBytes = std::strtoull(argv[3], nullptr, 10);
    std::vector<char> block(1 << 20);
    std::FILE* in = std::fopen(argv[1], "rb");
    std::FILE* out = std::fopen(argv[2], "wb");
    if (!in || !out)
        return 1;
    std::setvbuf(in, nullptr, _IONBF, 0);
    std::setvbuf(out, nullptr, _IONBF, 0);
    while (std::fread(block.data(), 1, block.size(), in) > 0) {
    }
    for (unsigned long long left = outputBytes; left > 0;) {
        const std::size_t n = left < block.size() ? static_cast<std::size_t>(left) : block.size();
        if (std::fwrite(block.data(), 1, n, out) != n)
            return 1;
        left -= n;
    }
    return std::fclose(out) == 0 && std::fclose(in) == 0 ? 0 : 1;
}
