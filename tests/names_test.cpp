// The names the program makes: the output's, from the input's, and the
// hidden one the bitmap stands under until it is complete.
#include "hidden_name.h"
#include "output_name.h"
#include "printable.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace fs = std::filesystem;

TEST(OutputName, CutAtTheLastDotOfTheWholePath)
{
    const auto name = [](const std::string& input) { return quiltpix::makeOutputName(fs::u8path(input)); };
    EXPECT_EQ(name("harbour.mos"), fs::path("harbour.bmp"));
    EXPECT_EQ(name("harbour.MOS"), fs::path("harbour.bmp"));
    EXPECT_EQ(name("a.b.mos"), fs::path("a.b.bmp"));
    EXPECT_EQ(name("tiles"), fs::path("tiles.bmp"));
    EXPECT_EQ(name(".mos"), fs::path(".mos.bmp"));
    EXPECT_EQ(name("maps.old/tiles"), fs::path("maps.bmp"));
    EXPECT_EQ(name("../tiles"), fs::path("..bmp"));
    EXPECT_EQ(name("x."), fs::path("x.bmp"));
    EXPECT_EQ(name("."), fs::path("..bmp"));
    EXPECT_EQ(name(""), fs::path(".bmp"));
    EXPECT_EQ(name(std::string(2000, 'a') + ".mos"), fs::path(std::string(2000, 'a') + ".bmp"));
    EXPECT_EQ(name(u8"caf\u00e9.mos"), fs::u8path(u8"caf\u00e9.bmp"));

    // Into a folder: the input's file name alone, by the same rule.
    EXPECT_EQ(quiltpix::outputNameInFolder("out", "scans.2019/tile_a"), fs::path("out/tile_a.bmp"));
    EXPECT_EQ(quiltpix::outputNameInFolder("out/", "pics/a.b.mos"), fs::path("out/a.b.bmp"));
    EXPECT_EQ(quiltpix::outputNameInFolder("out", ".mos"), fs::path("out/.mos.bmp"));
    EXPECT_TRUE(quiltpix::namesFolder("no/such/folder/"));
    EXPECT_FALSE(quiltpix::namesFolder("no/such/file.bmp"));
}

TEST(HiddenName, HiddenUniqueWithinTheLimitAndWholeCharacters)
{
    // Names of one-byte and two-byte characters, and limits that cut them.
    std::string twoByte;
    for (int i = 0; i < 200; ++i)
        twoByte += u8"\u00e9";
    for (const std::string& name : {std::string("pic.bmp"), std::string(300, 'a'), twoByte})
        for (std::size_t limit : {255u, 80u, 31u, 24u}) {
            std::set<fs::path> seen;
            for (std::uint64_t random : {std::uint64_t{0}, std::uint64_t{1}, ~std::uint64_t{0}}) {
                SCOPED_TRACE(std::to_string(limit) + " " + std::to_string(random));
                const fs::path hidden = quiltpix::hiddenName(fs::u8path(name), random, limit);
                const std::string text = hidden.u8string();
                EXPECT_EQ(text[0], '.');                        // hidden
                EXPECT_LE(hidden.native().size(), limit);       // bytes, or UTF-16 units on Windows
                EXPECT_EQ(quiltpix::printableName(text), text); // whole UTF-8 characters: none cut
                EXPECT_TRUE(seen.insert(hidden).second);        // another random, another name
                EXPECT_NE(hidden.filename(), fs::u8path(name)); // never the output's own name
            }
        }
}

// Names are printed so that none can end a line or drive the terminal:
// control characters and invalid UTF-8 escaped, whole characters kept.
TEST(PrintableName, EscapesWhatATerminalWouldObey)
{
    const struct {
        std::string name, shown;
    } cases[] = {
        {"harbour.mos", "harbour.mos"},
        {u8"caf\u00e9 \u65e5\u672c \U0001F600.mos", u8"caf\u00e9 \u65e5\u672c \U0001F600.mos"},
        // A name that would read as a line of the program's is quoted.
        {"bad\nok.mos: 200 x 150 pixels: whole\nz.mos", "'bad\\nok.mos: 200 x 150 pixels: whole\\nz.mos'"},
        {"a.mos -> b.bmp: converted", "'a.mos -> b.bmp: converted'"},
        {"it's: here", "'it\\'s: here'"},
        {"a->b:c.mos", "a->b:c.mos"},
        {"\x1b]0;title\a\x1b[2J.mos", "\\x1b]0;title\\a\\x1b[2J.mos"},
        {"tab\there\rdel\x7f", "tab\\there\\rdel\\x7f"},
        {"latin1 \xe9t\xe9", "latin1 \\xe9t\\xe9"},                 // not UTF-8
        {"overlong \xc0\xaf surrogate \xed\xa0\x80", "overlong \\xc0\\xaf surrogate \\xed\\xa0\\x80"},
        {"cut \xe6\x97", "cut \\xe6\\x97"},                         // a character cut short
        {"c1 \xc2\x9b" "31m", "c1 \\xc2\\x9b31m"},                  // the 8-bit control introducer
        {"back\\slash \\n", "back\\\\slash \\\\n"}, // not to be read as an escape
        // Seen as a line break by many readers, or reordering or hiding
        // what the terminal shows.
        {u8"bad\u2028ok.mos: whole\u2029", "'bad\\u2028ok.mos: whole\\u2029'"},
        {u8"\u202eecnalab\u202c \u2066x\u2069 \u200e\u200f\u061c", "\\u202eecnalab\\u202c \\u2066x\\u2069 \\u200e\\u200f\\u061c"},
        {u8"zero\u200bwidth\u200d\ufeff soft\u00ad", "zero\\u200bwidth\\u200d\\ufeff soft\\u00ad"},
        {u8"tag \U000E0041", "tag \\U000e0041"},
        {u8"non-joiner \u200c\u00e9", u8"non-joiner \\u200c\u00e9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(quiltpix::printableName(c.name), c.shown) << c.shown;
}
