// Every lookup kernel this machine can run, the scalar one included, writes
// each pixel's palette entry and nothing else, reading nothing outside its
// rows; the faster ones convert whole pictures as the scalar one does.
#include "conversions.h"
#include "to_bitmap.h"
#include "lookup.h"
#include "picture.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <sstream>

using namespace quiltpix;
using namespace quiltpix::testkit;

namespace {

// Memory whose last byte is followed by a page that may not be touched, so
// that any access past the end faults at once, sanitizers or not.
class Guarded {
public:
#ifdef _WIN32
    explicit Guarded(std::size_t size)
    {
        SYSTEM_INFO info;
        ::GetSystemInfo(&info);
        const std::size_t page = info.dwPageSize;
        pages_ = (size + page - 1) / page * page + page;
        base_ = static_cast<unsigned char*>(::VirtualAlloc(nullptr, pages_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        EXPECT_NE(base_, nullptr);
        DWORD old = 0;
        ::VirtualProtect(base_ + pages_ - page, page, PAGE_NOACCESS, &old);
        data_ = base_ + pages_ - page - size;
    }
    ~Guarded() { ::VirtualFree(base_, 0, MEM_RELEASE); }
#else
    explicit Guarded(std::size_t size)
    {
        const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        pages_ = (size + page - 1) / page * page + page;
        void* p = ::mmap(nullptr, pages_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(p, MAP_FAILED);
        base_ = static_cast<unsigned char*>(p);
        ::mprotect(base_ + pages_ - page, page, PROT_NONE);
        data_ = base_ + pages_ - page - size;
    }
    ~Guarded() { ::munmap(base_, pages_); }
#endif
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;
    unsigned char* data() { return data_; }

private:
    unsigned char* base_ = nullptr;
    unsigned char* data_ = nullptr;
    std::size_t pages_ = 0;
};

std::vector<NamedKernel> fasterKernels()
{
    std::vector<NamedKernel> kernels = availableLookupKernels();
    kernels.erase(kernels.begin()); // the scalar one, the reference
    return kernels;
}

void announceKernels()
{
    static bool said = false;
    if (said)
        return;
    said = true;
    std::cout << "[ kernels  ]";
    for (const NamedKernel& k : availableLookupKernels())
        std::cout << " " << k.name;
    if (availableLookupKernels().size() == 1)
        std::cout << " only: this machine runs no vector kernel, so only the scalar one is tested";
    std::cout << "\n";
}

Bytes convertWith(LookupKernel kernel, const Bytes& mos)
{
    setLookupKernel(kernel);
    std::istringstream in(std::string(mos.begin(), mos.end()));
    std::ostringstream out;
    const bool ok = convertMosStream(in, mos.size(), out, nullptr);
    setLookupKernel(availableLookupKernels().back().kernel);
    EXPECT_TRUE(ok);
    const std::string s = out.str();
    return Bytes(s.begin(), s.end());
}

} // namespace

// Every tile width, index rows at every offset from an alignment, rows read
// upwards and downwards, output rows packed or spaced; the index bytes and
// the output each end right at a guard page. Each kernel is held to a
// reading pixel by pixel: row k's pixel x is the three bytes of the palette
// entry its index names, and the bytes between rows stay as they were.
TEST(Lookup, EveryKernelWritesEachPixelsEntryAndNothingElse)
{
    announceKernels();
    Noise noise(77);
    std::array<unsigned char, 1024> palette;
    for (auto& b : palette)
        b = noise.byte();
    const std::size_t rows = 3;
    for (const NamedKernel& k : availableLookupKernels())
        for (std::size_t width = 1; width <= 64; ++width)
            for (std::size_t offset = 0; offset < 64; offset += (width < 8 ? 1 : 7))
                for (const bool upwards : {false, true})
                    for (const std::size_t gap : {std::size_t{0}, std::size_t{5}}) {
                        SCOPED_TRACE(std::string(k.name) + " width " + std::to_string(width) + " offset " +
                                     std::to_string(offset) + (upwards ? " upwards" : "") + " gap " + std::to_string(gap));
                        Guarded index(offset + rows * width);
                        for (std::size_t i = 0; i < offset + rows * width; ++i)
                            index.data()[i] = noise.byte();
                        const unsigned char* first = index.data() + offset + (upwards ? (rows - 1) * width : 0);
                        const std::ptrdiff_t step = upwards ? -static_cast<std::ptrdiff_t>(width) : static_cast<std::ptrdiff_t>(width);
                        const std::size_t outStep = 3 * width + gap;
                        const std::size_t outBytes = (rows - 1) * outStep + 3 * width;
                        std::vector<unsigned char> expected(outBytes, 0xA5);
                        for (std::size_t row = 0; row < rows; ++row)
                            for (std::size_t x = 0; x < width; ++x) {
                                const unsigned char* entry = palette.data() + 4 * first[static_cast<std::ptrdiff_t>(row) * step + static_cast<std::ptrdiff_t>(x)];
                                std::copy(entry, entry + 3, expected.begin() + static_cast<std::ptrdiff_t>(row * outStep + 3 * x));
                            }
                        Guarded actual(outBytes);
                        std::fill(actual.data(), actual.data() + outBytes, 0xA5);
                        k.kernel(palette.data(), first, step, width, rows, actual.data(), outStep);
                        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), actual.data()));
                    }
}

// Whole conversions: every picture width from 1 to 130 and a few large ones,
// so every partial last tile, over two tile rows with a partial one.
TEST(Lookup, FasterKernelsConvertPicturesByteForByteAsTheScalarOne)
{
    announceKernels();
    if (fasterKernels().empty())
        GTEST_SKIP() << "this machine runs no vector kernel: only the scalar one is tested, above";
    std::vector<int> widths;
    for (int w = 1; w <= 130; ++w)
        widths.push_back(w);
    for (int w : {255, 1000, 4097, 32767})
        widths.push_back(w);
    for (const NamedKernel& k : fasterKernels())
        for (int width : widths) {
            SCOPED_TRACE(std::string(k.name) + " width " + std::to_string(width));
            const int height = width > 1000 ? 65 : 67;
            const IndexedPicture picture = noiseIndexedPicture(width, height, static_cast<std::uint64_t>(width));
            const Bytes mos = writeMos(picture);
            const Bytes scalar = convertWith(lookupScalar, mos);
            ASSERT_EQ(convertWith(k.kernel, mos), scalar);
            if (width % 16 == 1) {
                const auto read = readBitmap(scalar);
                ASSERT_TRUE(read);
                ASSERT_EQ(firstDifference(colours(picture), *read), "");
            }
        }
}
