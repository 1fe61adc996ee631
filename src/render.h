// Text rendering: how many text lines the input needs, which grid cell each byte takes, and the
// plotting of one glyph. Cell (column, line) covers pixel columns 4*column .. 4*column+3 and the
// six pixel rows from height-1-6*line downwards (FreeImage keeps the bottom scan line as row 0).
#pragma once

#include <FreeImage.h>

#include <cstdint>

// Text lines needed for n bytes (n >= 2) at columns cells a line (columns >= 1). Lines wrap
// eagerly: a newline ends a line, and so does an ordinary byte that fills the last column when
// more input follows it. One column counts differently: n lines, n+1 if the first byte is a
// newline. Saturates at INT32_MAX, which is far beyond any picture that can be drawn.
std::int32_t count_lines(const unsigned char *buf, std::int64_t n, std::int32_t columns);

// The same count kept as the text arrives, so that a reader knows how tall the picture is.
struct line_tally {
    std::int64_t n = 0;         // bytes so far
    std::int64_t lines = 1;     // 1 + newlines + the breaks of the runs that newlines ended
    std::int64_t start = 0;     // where the run of ordinary bytes now open began
    bool first_newline = false; // the first byte is a newline (one column counts it twice)
};

// Adds the len bytes at p to the tally.
void tally_lines(line_tally &t, const unsigned char *p, std::int64_t len, std::int32_t columns);

// count_lines of all the bytes tallied so far, without saturating.
std::int64_t tallied_lines(const line_tally &t, std::int32_t columns);

// a / b rounded up, for positive a and b. As place_text's bound on its row passes it is only a
// guard: every pass but the last takes at least columns bytes, so the text runs out first.
std::int32_t foo(std::int32_t a, std::int32_t b);

// Walks the text and calls draw(col, line, ch) for every byte but the newline, at its cell.
// A row pass fills one line of columns glyphs; newlines met on the way push later glyphs down by
// one line each, so the text line of a glyph is passes + breaks. Needs n < 2^31.
template <typename Draw>
void place_text(const unsigned char *buf, std::int64_t n, std::int32_t columns, Draw draw)
{
    const std::int32_t rows = foo(static_cast<std::int32_t>(n), columns);
    std::int32_t passes = 0;
    std::int32_t breaks = 0;
    std::int64_t cursor = 0;
    while (passes != rows && cursor < n) {
        std::int32_t col = 0;
        while (cursor < n) {
            const unsigned char ch = buf[cursor++];
            if (ch == '\n') {
                breaks++;
                col = 0;
                continue;
            }
            draw(col, passes + breaks, ch);
            if (++col == columns)
                break;
        }
        passes++;
    }
}

// Draws every byte but the newline at its cell. Needs a bitmap of columns*4 by
// count_lines(...)*6 pixels and n < 2^31.
void render_text(FIBITMAP *bitmap, const unsigned char *buf, std::int64_t n, std::int32_t columns,
                 std::int32_t width, std::int32_t height, RGBQUAD color);

// Plots the ink pixels of the glyph of ch at cell (col, line), one library call each, top-left
// first; stops as soon as the library has reported a failure. width is not used.
void vozk_render_char(FIBITMAP *bitmap, std::int32_t col, std::int32_t line, unsigned char ch,
                      std::int32_t width, std::int32_t height, RGBQUAD color);
