// Broken and hostile files: a conversion either shows exactly what the bytes
// describe or fails having written nothing; never a crash, an overrun or a
// picture made of bytes that are not in the file.
#include "conversions.h"
#include "to_bitmap.h"
#include "picture.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace quiltpix;
using namespace quiltpix::testkit;

namespace {

struct Outcome {
    bool ok = false;
    Bytes bitmap;
};

Outcome convert(const Bytes& mos)
{
    std::istringstream in(std::string(mos.begin(), mos.end()));
    std::ostringstream out;
    Outcome o;
    o.ok = convertMosStream(in, mos.size(), out, nullptr);
    const std::string written = out.str();
    o.bitmap.assign(written.begin(), written.end());
    return o;
}

// The converter's verdict must match the independent reading of the bytes.
::testing::AssertionResult agreesWithReference(const Bytes& mos)
{
    const auto expected = referenceDecode(mos);
    const Outcome o = convert(mos);
    std::istringstream in(std::string(mos.begin(), mos.end()));
    const MosCheck check = checkMosStream(in, mos.size());
    if (check.whole != o.ok)
        return ::testing::AssertionFailure() << "the check says " << (check.whole ? "whole" : check.reason)
                                             << " but the conversion " << (o.ok ? "succeeded" : "failed");
    if (!expected) {
        if (o.ok)
            return ::testing::AssertionFailure() << "converted a file that is not whole";
        if (!o.bitmap.empty())
            return ::testing::AssertionFailure() << "failed but wrote " << o.bitmap.size() << " bytes";
        return ::testing::AssertionSuccess();
    }
    if (!o.ok)
        return ::testing::AssertionFailure() << "refused a whole file";
    std::string why;
    const auto actual = readBitmap(o.bitmap, &why);
    if (!actual)
        return ::testing::AssertionFailure() << "bad bitmap: " << why;
    const std::string difference = firstDifference(*expected, *actual);
    if (!difference.empty())
        return ::testing::AssertionFailure() << difference;
    return ::testing::AssertionSuccess();
}

void put(Bytes& b, std::size_t pos, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes && pos + static_cast<std::size_t>(i) < b.size(); ++i)
        b[pos + static_cast<std::size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
}

// 70 x 67: two tile columns and two tile rows, both partial.
Bytes smallFile()
{
    return writeMos(indexPicture(noisePicture(70, 67, 21)));
}

constexpr std::size_t smallOffsets = 24 + 4 * 1024;
constexpr std::size_t smallBase = smallOffsets + 4 * 4;

const std::uint64_t boundaryValues[] = {0,          1,          63,         64,         65,         0x7FFF,
                                        0x8000,     0xFFFF,     0x7FFFFFFF, 0x80000000, 0xFFFFFC00, 0xFFFFFFFF};

// A stream buffer that accepts `room` bytes and then reports a full device.
class FullDevice : public std::streambuf {
public:
    explicit FullDevice(std::size_t room) : room_(room) {}

protected:
    std::streamsize xsputn(const char*, std::streamsize n) override
    {
        const auto taken = std::min<std::streamsize>(n, static_cast<std::streamsize>(room_));
        room_ -= static_cast<std::size_t>(taken);
        return taken;
    }
    int_type overflow(int_type c) override
    {
        if (room_ == 0)
            return traits_type::eof();
        --room_;
        return traits_type::not_eof(c);
    }

private:
    std::size_t room_;
};

} // namespace

// Each change alone makes the small file (70 x 67, 2 x 2 tiles) unusable.
TEST(Hostile, BadHeadersAndPositionsPastTheEndAreRefused)
{
    struct Change {
        const char* what;
        std::size_t pos;
        std::uint64_t value;
        int bytes;
    };
    const Change changes[] = {
        {"width 0", 8, 0, 2},
        {"height 0", 10, 0, 2},
        {"width -1", 8, 0xFFFF, 2},
        {"height -32768", 10, 0x8000, 2},
        {"columns 3", 12, 3, 2},
        {"columns 1", 12, 1, 2},
        {"columns -2", 12, 0xFFFE, 2},
        {"rows 3", 14, 3, 2},
        {"rows 0", 14, 0, 2},
        {"width 129, columns still 2", 8, 129, 2},
        {"height 129, rows still 2", 10, 129, 2},
        {"palette table past the end", 20, 0xFFFFFFFF, 4},
        // In 32 bits 0xFFFFFC00 + 4 x 1028 wraps to a small, in-file position.
        {"palette table wrapping 32 bits", 20, 0xFFFFFC00, 4},
        {"palette table at 2^31", 20, 0x80000000, 4},
        {"first run past the end", smallOffsets, 0xFFFFFFFF, 4},
        {"second row's run past the end", smallOffsets + 8, 0x80000000, 4},
        {"second row's run one byte too late", smallOffsets + 8, 70 * 64 + 1, 4},
    };
    ASSERT_TRUE(convert(smallFile()).ok);
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        Bytes mos = smallFile();
        put(mos, c.pos, c.value, c.bytes);
        const Outcome o = convert(mos);
        EXPECT_FALSE(o.ok);
        EXPECT_TRUE(o.bitmap.empty());
    }
}

// Each kind of damage gets its own reason, precise enough to act on.
TEST(Hostile, TheCheckSaysWhatIsWrong)
{
    const Bytes whole = smallFile();
    auto reason = [](const Bytes& mos) {
        std::istringstream in(std::string(mos.begin(), mos.end()));
        const MosCheck check = checkMosStream(in, mos.size());
        return check.whole ? std::string("whole") : check.reason;
    };
    auto changed = [&whole](std::size_t pos, std::uint64_t value, int bytes) {
        Bytes mos = whole;
        put(mos, pos, value, bytes);
        return mos;
    };
    const std::size_t size = whole.size();
    const std::string ends = "; the file ends at " + std::to_string(size);
    EXPECT_EQ(reason(whole), "whole");
    EXPECT_EQ(reason(Bytes(whole.begin(), whole.begin() + 10)), "the header needs bytes 0 to 24; the file ends at 10");
    EXPECT_EQ(reason(changed(8, 0, 2)), "width 0 is not positive");
    EXPECT_EQ(reason(changed(10, 0x8000, 2)), "height -32768 is not positive");
    EXPECT_EQ(reason(changed(12, 3, 2)), "columns 3 does not match width 70: 2 expected");
    EXPECT_EQ(reason(changed(14, 1, 2)), "rows 1 does not match height 67: 2 expected");
    EXPECT_EQ(reason(changed(20, size - 4095, 4)),
              "the palette table needs bytes " + std::to_string(size - 4095) + " to " + std::to_string(size + 1) + ends);
    EXPECT_EQ(reason(changed(20, size - 4100, 4)), "the tile offset table needs bytes " + std::to_string(size - 4) +
                                                        " to " + std::to_string(size + 12) + ends);
    EXPECT_EQ(reason(changed(smallOffsets + 8, 0x80000000, 4)),
              "tile row 1 needs bytes " + std::to_string(smallBase + 0x80000000ull) + " to " +
                  std::to_string(smallBase + 0x80000000ull + 70 * 3) + ends);
}

TEST(Hostile, FilesThatEndEarlyAreRefusedAndExactFitsConvert)
{
    const Bytes whole = smallFile();
    ASSERT_TRUE(convert(whole).ok);
    // Inside the header, the first and last palettes, an offset entry, and
    // one byte short of the last run (stored last, it ends the file).
    for (std::size_t length : {std::size_t{0}, std::size_t{23}, std::size_t{24}, std::size_t{1000},
                               smallOffsets - 1, smallOffsets + 2, smallBase - 1, whole.size() - 1}) {
        SCOPED_TRACE(length);
        const Outcome o = convert(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length)));
        EXPECT_FALSE(o.ok);
        EXPECT_TRUE(o.bitmap.empty());
    }
    // A run that ends exactly at the end of the file is whole.
    Bytes padded = whole;
    padded.push_back(0);
    EXPECT_TRUE(agreesWithReference(padded));
}

TEST(Hostile, TheLargestHeaderOnATinyFileAllocatesNothingBig)
{
    // 32767 x 32767 would be a 3 GiB bitmap; the file holds none of it.
    Bytes mos(64, 0);
    put(mos, 8, 32767, 2);
    put(mos, 10, 32767, 2);
    put(mos, 12, 512, 2);
    put(mos, 14, 512, 2);
    put(mos, 20, 24, 4);
    const Outcome o = convert(mos);
    EXPECT_FALSE(o.ok);
    EXPECT_TRUE(o.bitmap.empty());
}

TEST(Hostile, AFullOutputDeviceFailsTheConversion)
{
    const Bytes mos = smallFile();
    const std::size_t whole = 54 + 212 * 67;
    for (std::size_t room : {std::size_t{0}, std::size_t{53}, std::size_t{54}, std::size_t{2000}, whole - 1}) {
        SCOPED_TRACE(room);
        std::istringstream in(std::string(mos.begin(), mos.end()));
        FullDevice device(room);
        std::ostream out(&device);
        EXPECT_FALSE(convertMosStream(in, mos.size(), out, nullptr));
    }
    std::istringstream in(std::string(mos.begin(), mos.end()));
    FullDevice device(whole);
    std::ostream out(&device);
    EXPECT_TRUE(convertMosStream(in, mos.size(), out, nullptr));
}

TEST(Hostile, AFileShorterThanItsStatedSizeFailsOnTheRead)
{
    // As if the file shrank after its size was taken.
    const Bytes mos = smallFile();
    std::istringstream in(std::string(mos.begin(), mos.end() - 100));
    std::ostringstream out;
    EXPECT_FALSE(convertMosStream(in, mos.size(), out, nullptr));
}

// Every truncation, every boundary value written over the header and offset
// table, and seeded bit flips anywhere: each variant either converts to what
// its bytes describe or fails having written nothing.
TEST(Hostile, SweepOfDamagedFiles)
{
    const Bytes whole = smallFile();
    std::size_t variants = 0;
    auto check = [&variants](const Bytes& mos, const std::string& what) {
        ++variants;
        EXPECT_TRUE(agreesWithReference(mos)) << what;
    };

    for (std::size_t length = 0; length <= whole.size(); ++length)
        check(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length)),
              "cut to " + std::to_string(length));

    for (std::size_t pos = 0; pos < smallBase; ++pos) {
        for (std::uint64_t value : boundaryValues)
            for (int width : {1, 2, 4}) {
                Bytes mos = whole;
                put(mos, pos, value, width);
                check(mos, std::to_string(value) + " as " + std::to_string(width) + " bytes at " + std::to_string(pos));
            }
        if (pos == 23)
            pos = smallOffsets - 1; // skip the palettes: any bytes are legal there
    }

    Noise noise(2024);
    for (int i = 0; i < 3000; ++i) {
        Bytes mos = whole;
        const std::size_t bit = noise.next() % (8 * mos.size());
        mos[bit / 8] = static_cast<unsigned char>(mos[bit / 8] ^ (1u << (bit % 8)));
        check(mos, "bit " + std::to_string(bit) + " flipped");
    }
    std::cout << "[ sweep    ] " << variants << " variants\n";
}
