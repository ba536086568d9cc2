// The lookup with AVX-512 VBMI byte permutes: one channel of the 256-entry
// palette fills four 64-byte registers, so two two-table permutes and a blend
// on each index's top bit look up 64 pixels of that channel at once; three
// channels, then two permutes per 64 output bytes interleave them into
// blue-green-red. Compiled with its own target flags and run only where the
// processor and the system support the instructions (see lookup.cpp).
#include "lookup.h"

#include <immintrin.h>

#include <array>
#include <cstdint>

namespace quiltpix {

namespace {

using Table = std::array<unsigned char, 64>;

// Picks byte `channel` of 16 palette entries from each of two registers
// into the low 32 bytes: entry j's byte from a (j < 16) or b.
constexpr Table channelPicker(int channel)
{
    Table t{};
    for (int j = 0; j < 32; ++j)
        t[static_cast<std::size_t>(j)] = static_cast<unsigned char>(j < 16 ? 4 * j + channel : 64 + 4 * (j - 16) + channel);
    return t;
}

// Output byte j of the k-th 64-byte block of a row belongs to pixel
// (64k + j) / 3 and is its channel (64k + j) % 3. The first permute takes
// blue or green from two registers; the second puts red where it belongs.
constexpr Table blueGreen(int k)
{
    Table t{};
    for (int j = 0; j < 64; ++j) {
        const int pixel = (64 * k + j) / 3, channel = (64 * k + j) % 3;
        t[static_cast<std::size_t>(j)] = static_cast<unsigned char>(channel == 1 ? 64 + pixel : pixel);
    }
    return t;
}

constexpr Table redPixel(int k)
{
    Table t{};
    for (int j = 0; j < 64; ++j)
        t[static_cast<std::size_t>(j)] = static_cast<unsigned char>((64 * k + j) / 3);
    return t;
}

constexpr std::uint64_t redBytes(int k)
{
    std::uint64_t m = 0;
    for (int j = 0; j < 64; ++j)
        if ((64 * k + j) % 3 == 2)
            m |= std::uint64_t{1} << j;
    return m;
}

alignas(64) constexpr Table pickers[3] = {channelPicker(0), channelPicker(1), channelPicker(2)};
alignas(64) constexpr Table blueGreens[3] = {blueGreen(0), blueGreen(1), blueGreen(2)};
alignas(64) constexpr Table reds[3] = {redPixel(0), redPixel(1), redPixel(2)};
constexpr std::uint64_t redMasks[3] = {redBytes(0), redBytes(1), redBytes(2)};

__m512i load(const Table& t)
{
    return _mm512_load_si512(t.data());
}

// The first n bits set, for n from 0 to 64.
__mmask64 firstBits(std::size_t n)
{
    return n >= 64 ? ~__mmask64{0} : (__mmask64{1} << n) - 1;
}

// One channel of the palette as four registers of 64 entries each.
struct Channel {
    __m512i t[4];

    __m512i look(__m512i index, __mmask64 high) const
    {
        const __m512i low = _mm512_permutex2var_epi8(t[0], index, t[1]);
        const __m512i top = _mm512_permutex2var_epi8(t[2], index, t[3]);
        return _mm512_mask_blend_epi8(high, low, top);
    }
};

} // namespace

void lookupAvx512(const unsigned char* palette, const unsigned char* index, std::ptrdiff_t indexStep,
                  std::size_t width, std::size_t rows, unsigned char* out, std::size_t outStep)
{
    // The palette, 16 entries a register, sorted into its three channels.
    __m512i entries[16];
    for (int i = 0; i < 16; ++i)
        entries[i] = _mm512_loadu_si512(palette + 64 * i);
    Channel channels[3];
    for (int c = 0; c < 3; ++c) {
        const __m512i picker = load(pickers[c]);
        for (int q = 0; q < 4; ++q) {
            const __m512i first = _mm512_permutex2var_epi8(entries[4 * q], picker, entries[4 * q + 1]);
            const __m512i second = _mm512_permutex2var_epi8(entries[4 * q + 2], picker, entries[4 * q + 3]);
            // The low halves of both: entries 64q to 64q + 63.
            channels[c].t[q] = _mm512_mask_shuffle_i64x2(first, 0xFF, first, second, 0x44);
        }
    }
    const __m512i blueGreen0 = load(blueGreens[0]), blueGreen1 = load(blueGreens[1]), blueGreen2 = load(blueGreens[2]);
    const __m512i red0 = load(reds[0]), red1 = load(reds[1]), red2 = load(reds[2]);

    // A narrow last tile column reads and writes under masks, so nothing
    // past the row's index bytes or its 3 x width output bytes is touched.
    const __mmask64 indexMask = firstBits(width);
    const std::size_t outBytes = 3 * width;
    const __mmask64 store0 = firstBits(outBytes);
    const __mmask64 store1 = outBytes > 64 ? firstBits(outBytes - 64) : 0;
    const __mmask64 store2 = outBytes > 128 ? firstBits(outBytes - 128) : 0;

    for (std::size_t k = 0; k < rows; ++k) {
        const unsigned char* in = index + static_cast<std::ptrdiff_t>(k) * indexStep;
        unsigned char* dst = out + k * outStep;
        const __m512i x = _mm512_maskz_loadu_epi8(indexMask, in);
        const __mmask64 high = _mm512_movepi8_mask(x);
        const __m512i blue = channels[0].look(x, high);
        const __m512i green = channels[1].look(x, high);
        const __m512i red = channels[2].look(x, high);
        const __m512i o0 = _mm512_mask_permutexvar_epi8(_mm512_permutex2var_epi8(blue, blueGreen0, green), redMasks[0], red0, red);
        const __m512i o1 = _mm512_mask_permutexvar_epi8(_mm512_permutex2var_epi8(blue, blueGreen1, green), redMasks[1], red1, red);
        const __m512i o2 = _mm512_mask_permutexvar_epi8(_mm512_permutex2var_epi8(blue, blueGreen2, green), redMasks[2], red2, red);
        _mm512_mask_storeu_epi8(dst, store0, o0);
        _mm512_mask_storeu_epi8(dst + 64, store1, o1);
        _mm512_mask_storeu_epi8(dst + 128, store2, o2);
    }
}

} // namespace quiltpix
