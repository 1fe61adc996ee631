// Line counting, placement and glyph plotting, on real FreeImage bitmaps read back pixel by pixel.
// Every pixel call of the renderer passes through the wrapper below (the test binary is linked
// with --wrap), which records it and can make the library report a failure.
#include "check.h"
#include "render.h"
#include "support.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
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
    if (calls.size() == fail_at_call) {
        // Fail as the library does: a message through whatever callback is installed.
        FreeImage_OutputMessageProc(FIF_UNKNOWN, "pixel %d,%d refused", static_cast<int>(x),
                                    static_cast<int>(y));
        return FALSE;
    }
    return __real_FreeImage_SetPixelColor(dib, x, y, value);
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

// Texts cut into pieces anywhere, tallied piece by piece as a reader does: the count of the
// whole, at every cut.
TEST(CountLines, TalliedInPiecesAsAWhole)
{
    std::mt19937 rng(5);
    for (int round = 0; round < 3000; round++) {
        const int columns = 1 + static_cast<int>(rng() % 12);
        std::string text(2 + rng() % 200, 'x');
        for (char &ch : text)
            ch = "ab\n\0"[rng() % (round % 2 ? 4 : 3)];
        line_tally t;
        for (size_t at = 0; at < text.size();) {
            const size_t len = std::min<size_t>(text.size() - at, rng() % 19);
            tally_lines(t, bytes(text) + at, static_cast<std::int64_t>(len), columns);
            at += len;
            if (at < 2)
                continue;
            ASSERT_EQ(tallied_lines(t, columns), model_lines(text.substr(0, at), columns))
                << "round " << round << " columns " << columns << " after " << at;
        }
    }
}

// 2^31 - 1 newlines: one 1 MiB page of them, mapped again and again, so that the count reads
// 2 GiB of address space while holding 1 MiB of memory.
TEST(CountLines, SaturatesInsteadOfOverflowing)
{
    const std::int64_t n = INT_MAX;
    const size_t piece = 1 << 20;
    const size_t span = (static_cast<size_t>(n) + piece - 1) / piece * piece;
    const int fd = memfd_create("newlines", MFD_CLOEXEC);
    if (fd < 0)
        GTEST_SKIP() << "no memfd_create here: " << std::strerror(errno);
    ASSERT_EQ(ftruncate(fd, piece), 0);
    void *one = mmap(nullptr, piece, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(one, MAP_FAILED);
    std::memset(one, '\n', piece);
    munmap(one, piece);
    void *all = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (all == MAP_FAILED) {
        close(fd);
        GTEST_SKIP() << "2 GiB of address space cannot be had here: " << std::strerror(errno);
    }
    for (size_t at = 0; at < span; at += piece)
        ASSERT_NE(mmap(static_cast<char *>(all) + at, piece, PROT_READ, MAP_SHARED | MAP_FIXED, fd,
                       0),
                  MAP_FAILED)
            << std::strerror(errno);
    close(fd);
    const auto *text = static_cast<const unsigned char *>(all);
    // One column, a leading newline: n + 1 lines; five columns: 1 + n. Neither fits 32 bits.
    EXPECT_EQ(count_lines(text, n, 1), INT_MAX);
    EXPECT_EQ(count_lines(text, n, 5), INT_MAX);
    munmap(all, span);
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
    // The third pixel call fails, reported through the tool's own message callback: the A stops
    // there, and every later glyph after its first pixel.
    FreeImage_SetOutputMessage(FreeImageErrorHandler);
    FIBITMAP *bm = FreeImage_Allocate(16, 6, 24, 0xFF0000, 0x00FF00, 0x0000FF);
    fail_at_call = 3;
    const std::string text = "A B\x01";
    testing::internal::CaptureStderr();
    render_text(bm, bytes(text), 4, 4, 16, 6, white);
    const std::string err = testing::internal::GetCapturedStderr();
    FreeImage_SetOutputMessage(nullptr);
    const std::vector<std::pair<unsigned, unsigned>> want = {{1, 5},
                                                             {0, 4},
                                                             {2, 4},   // A
                                                             {8, 5},   // B
                                                             {13, 5}}; // 0x01
    EXPECT_EQ(calls, want);
    EXPECT_EQ(errorlevel, 1);
    EXPECT_EQ(err, "\n*** pixel 2,4 refused ***\n");
    FreeImage_Unload(bm);
}

} // namespace
