// Line counting, placement and glyph plotting, on real FreeImage bitmaps read back pixel by pixel.
// Every pixel call of the renderer passes through the wrapper below (the test binary is linked
// with --wrap), which records it and can make the library report a failure.
#include "check.h"
#include "render.h"
#include "support.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace
{

std::vector<std::pair<unsigned, unsigned>> calls;
size_t fail_at_call = 0; // 0: never

} // namespace

extern "C" BOOL __real_FreeImage_SetPixelColor(FIBITMAP *, unsigned, unsigned, RGBQUAD *);
extern "C" BOOL __wrap_FreeImage_SetPixelColor(FIBITMAP *dib, unsigned x, unsigned y,
                                               RGBQUAD *value)
{
    calls.emplace_back(x, y);
    const BOOL ok = __real_FreeImage_SetPixelColor(dib, x, y, value);
    if (calls.size() == fail_at_call)
        errorlevel = 1; // as the message callback would
    return ok;
}

namespace
{

const RGBQUAD white = {0xFF, 0xFF, 0xFF, 0xFF};

const unsigned char *bytes(const std::string &s)
{
    return reinterpret_cast<const unsigned char *>(s.data());
}

// Draws text the way the tool does and reads the picture back.
picture render(const std::string &text, int columns)
{
    const int lines = count_lines(bytes(text), static_cast<std::int64_t>(text.size()), columns);
    FIBITMAP *bm = FreeImage_Allocate(4 * columns, 6 * lines, 24, 0xFF0000, 0x00FF00, 0x0000FF);
    render_text(bm, bytes(text), static_cast<std::int64_t>(text.size()), columns, 4 * columns,
                6 * lines, white);
    picture p = read_bitmap(bm);
    FreeImage_Unload(bm);
    return p;
}

class Render : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        calls.clear();
        fail_at_call = 0;
        errorlevel = 0;
    }
    void TearDown() override
    {
        errorlevel = 0;
        fail_at_call = 0;
    }
};

TEST(Foo, RoundsUp)
{
    const int cases[][3] = {{1, 1, 1},
                            {5, 3, 2},
                            {6, 3, 2},
                            {7, 3, 3},
                            {2, 5, 1},
                            {INT_MAX, 1, INT_MAX},
                            {1, INT_MAX, 1},
                            {INT_MAX, 2, 1073741824},
                            {INT_MAX, INT_MAX, 1}};
    for (const auto &c : cases)
        EXPECT_EQ(foo(c[0], c[1]), c[2]) << c[0] << " / " << c[1];
}

TEST(CountLines, Examples)
{
    const struct {
        std::string text;
        int columns;
        int lines;
    } cases[] = {
        {"ABC", 3, 1},                // a full line with nothing after it
        {"ABC\n", 3, 3},              // full line, the line the newline ends, the empty one after
        {"AB\nC", 3, 2},              // a newline in the last column adds one line only
        {"ABCDEFG\n", 3, 4},          //
        {"HELLO\n", 3, 3},            //
        {"ABC\nD", 3, 3},             //
        {"A\n", 5, 2},                //
        {"\n\n", 2, 3},               //
        {"AB", 1, 2},                 // one column: n lines ...
        {"A\nB", 1, 3},               //
        {"\nA", 1, 3},                // ... and one more after a leading newline
        {"A\n", 1, 2},                //
        {"\n\n", 1, 3},               //
        {"a\nbb\n\nccc", 1000000, 4}, // far more columns than input: 1 + newlines
        {"ABCDEF", 2, 3},             //
        {"ABCDEFG", 2, 4},            //
        {std::string("A\0B\0", 4), 2, 2}, // zero bytes are ordinary
    };
    for (const auto &c : cases)
        EXPECT_EQ(count_lines(bytes(c.text), static_cast<std::int64_t>(c.text.size()), c.columns),
                  c.lines)
            << '"' << c.text << "\" at " << c.columns;
}

// Random texts rich in newlines and full lines, against the plain model; long enough, and at
// enough columns, to cross many 8-byte words.
TEST(CountLines, MatchesModel)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 20000; round++) {
        const int columns = 1 + static_cast<int>(rng() % 20);
        std::string text(2 + rng() % 100, 'x');
        for (char &ch : text)
            ch = "ab\n\r\0\x8a\x0b"[rng() % (round % 2 ? 7 : 3)];
        ASSERT_EQ(count_lines(bytes(text), static_cast<std::int64_t>(text.size()), columns),
                  model_lines(text, columns))
            << "round " << round << " columns " << columns;
    }
}

TEST(CountLines, SaturatesInsteadOfOverflowing)
{
    // One column, a leading newline: n + 1 lines, which for n = 2^31 - 1 does not fit 32 bits.
    const std::int64_t n = INT_MAX;
    std::vector<unsigned char> text(static_cast<size_t>(n), '\n');
    EXPECT_EQ(count_lines(text.data(), n, 1), INT_MAX);
    EXPECT_EQ(count_lines(text.data(), n, 5), INT_MAX);
}

TEST_F(Render, PlacementExamples)
{
    const struct {
        std::string text;
        int columns;
        int lines;
        std::vector<cell> cells;
    } cases[] = {
        {"HELLO\n", 3, 3, {{0, 0, 'H'}, {1, 0, 'E'}, {2, 0, 'L'}, {0, 1, 'L'}, {1, 1, 'O'}}},
        {"AB\nC", 3, 2, {{0, 0, 'A'}, {1, 0, 'B'}, {0, 1, 'C'}}},
        {"ABC\nD", 3, 3, {{0, 0, 'A'}, {1, 0, 'B'}, {2, 0, 'C'}, {0, 2, 'D'}}},
        {"ABCDEFG\n",
         3,
         4,
         {{0, 0, 'A'},
          {1, 0, 'B'},
          {2, 0, 'C'},
          {0, 1, 'D'},
          {1, 1, 'E'},
          {2, 1, 'F'},
          {0, 2, 'G'}}},
        {"A\nB", 1, 3, {{0, 0, 'A'}, {0, 2, 'B'}}},
        {"\nA", 1, 3, {{0, 1, 'A'}}},
        {"\n\n", 2, 3, {}},
        {"A\r\nB\r\n", 4, 3, {{0, 0, 'A'}, {1, 0, '\r'}, {0, 1, 'B'}, {1, 1, '\r'}}},
        {std::string("\0\x80\xFF", 3), 2, 2, {{0, 0, 0x00}, {1, 0, 0x80}, {0, 1, 0xFF}}},
    };
    for (const auto &c : cases) {
        const picture got = render(c.text, c.columns);
        EXPECT_EQ(compare(got, picture_of(c.cells, c.columns, c.lines)), "")
            << '"' << c.text << "\" at " << c.columns;
    }
}

TEST_F(Render, MatchesModelOnRandomText)
{
    std::mt19937 rng(11);
    for (int round = 0; round < 300; round++) {
        const int columns = 1 + static_cast<int>(rng() % 9);
        std::string text(2 + rng() % 60, 'x');
        for (char &ch : text)
            ch = static_cast<char>(rng() % 3 == 0 ? '\n' : rng() % 256);
        ASSERT_EQ(compare(render(text, columns), expected_picture(text, columns)), "")
            << "round " << round << " columns " << columns;
    }
}

TEST_F(Render, LetterAPixelOrder)
{
    FIBITMAP *bm = FreeImage_Allocate(4, 6, 24, 0xFF0000, 0x00FF00, 0x0000FF);
    vozk_render_char(bm, 0, 0, 'A', 4, 6, white);
    const std::vector<std::pair<unsigned, unsigned>> want = {
        {1, 5}, {0, 4}, {2, 4}, {0, 3}, {1, 3}, {2, 3}, {0, 2}, {2, 2}, {0, 1}, {2, 1}};
    EXPECT_EQ(calls, want);
    RGBQUAD px;
    for (unsigned x = 0; x < 4; x++) {
        FreeImage_GetPixelColor(bm, x, 0, &px);
        EXPECT_EQ(px.rgbRed | px.rgbGreen | px.rgbBlue, 0) << "bottom row, x " << x;
    }
    FreeImage_Unload(bm);
}

TEST_F(Render, GlyphLandsInItsCellOnly)
{
    FIBITMAP *bm = FreeImage_Allocate(12, 18, 24, 0xFF0000, 0x00FF00, 0x0000FF);
    vozk_render_char(bm, 2, 1, 0xA0, 12, 18, white);
    const picture got = read_bitmap(bm);
    EXPECT_EQ(compare(got, picture_of({{2, 1, 0xA0}}, 3, 3)), "");
    FreeImage_Unload(bm);
}

TEST_F(Render, BlankGlyphsMakeNoCalls)
{
    FIBITMAP *bm = FreeImage_Allocate(8, 6, 24, 0xFF0000, 0x00FF00, 0x0000FF);
    vozk_render_char(bm, 0, 0, ' ', 8, 6, white);
    vozk_render_char(bm, 1, 0, '\t', 8, 6, white);
    EXPECT_TRUE(calls.empty());
    FreeImage_Unload(bm);
}

TEST_F(Render, StopsAtTheFirstLibraryFailure)
{
    // The third pixel call fails: the A stops there, and every later glyph after its first pixel.
    FIBITMAP *bm = FreeImage_Allocate(16, 6, 24, 0xFF0000, 0x00FF00, 0x0000FF);
    fail_at_call = 3;
    const std::string text = "A B\x01";
    render_text(bm, bytes(text), 4, 4, 16, 6, white);
    const std::vector<std::pair<unsigned, unsigned>> want = {{1, 5},
                                                             {0, 4},
                                                             {2, 4},   // A
                                                             {8, 5},   // B
                                                             {13, 5}}; // 0x01
    EXPECT_EQ(calls, want);
    FreeImage_Unload(bm);
}

} // namespace
