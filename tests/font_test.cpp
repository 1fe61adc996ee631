// The glyph table is the likeliest place for a slip; these facts about it do not depend on how it
// was typed in.
#include "font/vozk.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace
{

// A glyph as six strings of '#' (ink) and '.' (blank), top row first.
std::string rows_of(const vozk_glyph &g)
{
    std::string s;
    for (int r = 0; r < 6; r++) {
        for (int i = 0; i < 4; i++)
            s += g[4 * r + i] ? '#' : '.';
        s += r < 5 ? "|" : "";
    }
    return s;
}

bool has_ink(const vozk_glyph &g)
{
    for (unsigned char b : g)
        if (b)
            return true;
    return false;
}

TEST(Font, EveryByteIsInkOrBlank)
{
    for (int g = 0; g < 256; g++)
        for (unsigned char b : vozk[g])
            ASSERT_TRUE(b == 0x00 || b == 0xFF) << "glyph " << g;
}

TEST(Font, KnownShapes)
{
    const struct {
        int code;
        const char *rows;
    } cases[] = {
        {'A', ".#..|#.#.|###.|#.#.|#.#.|...."},
        {0xFF, ".#..|#.#.|###.|#.#.|#.#.|...."}, // the last glyph repeats the A
        {0xA0, "####|####|####|####|####|####"}, // solid block
        {'\t', "....|....|....|....|....|...."},
        {' ', "....|....|....|....|....|...."},
    };
    for (const auto &c : cases)
        EXPECT_EQ(rows_of(vozk[c.code]), c.rows) << "glyph 0x" << std::hex << c.code;
}

TEST(Font, OnlyTabAndSpaceLackInkAmongPrintables)
{
    for (int g = 0x21; g < 0x7F; g++)
        EXPECT_TRUE(has_ink(vozk[g])) << "glyph 0x" << std::hex << g;
    EXPECT_TRUE(has_ink(vozk[0x00])) << "the zero byte is drawn";
    EXPECT_TRUE(has_ink(vozk['\r']));
}

TEST(Font, PrintableGlyphsAreAllDifferent)
{
    std::set<std::string> seen;
    for (int g = 0x21; g < 0x7F; g++)
        EXPECT_TRUE(seen.insert(rows_of(vozk[g])).second) << "glyph '" << char(g) << "'";
}

TEST(Font, BottomRowOnlyForDescendersAmongPrintables)
{
    std::string descenders;
    for (int g = 0x20; g < 0x7F; g++)
        if (vozk[g][20] || vozk[g][21] || vozk[g][22] || vozk[g][23])
            descenders += char(g);
    EXPECT_EQ(descenders, "$,;gjpqy");
}

} // namespace
