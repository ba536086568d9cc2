// The record of what runs wrote, read as the hostile input it may be: a line
// reads back as written, and a damaged, torn or forged one as nothing.
#include "record.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using quiltpix::RecordEntry;

RecordEntry entry(std::uint64_t seed, std::size_t tiles)
{
    RecordEntry e;
    e.source = "/home/someone/maps/AR0100.MOS";
    e.pixels = seed * 0x9E3779B97F4A7C15ull;
    e.input = ~seed;
    for (std::size_t t = 0; t < tiles; ++t)
        e.tiles.push_back(seed + t * 977);
    e.sourceTiles = e.tiles;
    return e;
}

TEST(Record, ALineReadsBackAsWrittenAndTheLastForANameWins)
{
    RecordEntry other = entry(3, 4);
    other.sourceTiles[2] ^= 1; // a put-back: the two sides' tiles differ
    for (const RecordEntry& e : {entry(1, 0), entry(2, 6), other}) {
        const std::string line = quiltpix::recordLine("pic 1.bmp", e);
        ASSERT_EQ(line.back(), '\n');
        const auto parsed = quiltpix::parseRecordLine(line.substr(0, line.size() - 1));
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->first, "pic 1.bmp");
        EXPECT_TRUE(parsed->second == e);
    }
    const auto all = quiltpix::parseRecord("quiltpix record 1\n" + quiltpix::recordLine("a.bmp", entry(1, 2)) +
                                           quiltpix::recordLine("b.bmp", entry(2, 2)) +
                                           quiltpix::recordLine("a.bmp", entry(3, 2)));
    ASSERT_EQ(all.size(), 2u);
    EXPECT_TRUE(all.at("a.bmp") == entry(3, 2));
}

TEST(Record, ADamagedTornOrForgedLineReadsAsNothing)
{
    const std::string line = quiltpix::recordLine("a.bmp", entry(5, 3));
    const std::string body = line.substr(0, line.size() - 1);
    // Every byte changed, one at a time.
    for (std::size_t i = 0; i < body.size(); ++i) {
        std::string damaged = body;
        damaged[i] = damaged[i] == '0' ? '1' : '0';
        EXPECT_FALSE(quiltpix::parseRecordLine(damaged)) << i;
    }
    // Cut anywhere: a torn last line has no end, and a shortened one fails
    // its check.
    for (std::size_t n = 0; n < line.size(); ++n)
        EXPECT_TRUE(quiltpix::parseRecord(line.substr(0, n)).empty()) << n;
    // Fields that a hand could write without the check, odd hex, too many
    // fields, a tile list of the wrong length.
    for (const std::string& forged :
         {std::string("612e626d70 - 0000000000000001 0000000000000001 - - 0000000000000000"), std::string(""),
          std::string("zz - 1 1 - - 1"), body + " extra", std::string(1000, ' ')})
        EXPECT_FALSE(quiltpix::parseRecordLine(forged)) << forged;
    EXPECT_TRUE(quiltpix::parseRecord(std::string(100000, '\n') + "junk\n\x01\x02\n").empty());
}

} // namespace
