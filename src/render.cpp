#include "render.h"

#include "check.h"
#include "font/vozk.h"

#include <cstring>
#include <limits>

namespace
{

// Takes the leftmost ink pixel (the lowest-addressed non-zero byte) out of a glyph row read as a
// word, and returns its pixel column.
int take_first_ink(std::uint32_t &row)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const int shift = __builtin_ctz(row) & ~7;
    row &= ~(0xFFu << shift);
    return shift / 8;
#else
    const int shift = (31 - __builtin_clz(row)) & ~7;
    row &= ~(0xFFu << shift);
    return 3 - shift / 8;
#endif
}

// Newline bytes in the 8 bytes at p, as the bit 0x80 of each byte that is one.
std::uint64_t newlines_in(const unsigned char *p)
{
    const std::uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL;
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    const std::uint64_t x = w ^ 0x0A0A0A0A0A0A0A0AULL; // zero where w holds a newline
    return ~(((x & low7) + low7) | x | low7);
}

} // namespace

std::int32_t count_lines(const unsigned char *buf, std::int64_t n, std::int32_t columns)
{
    line_tally t;
    tally_lines(t, buf, n, columns);
    const std::int64_t lines = tallied_lines(t, columns);
    const std::int64_t most = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(lines < most ? lines : most);
}

void tally_lines(line_tally &t, const unsigned char *p, std::int64_t len, std::int32_t columns)
{
    if (len <= 0)
        return;
    if (t.n == 0)
        t.first_newline = p[0] == '\n';
    const std::int64_t base = t.n; // where p stands in the text
    t.n += len;
    if (columns == 1)
        return; // the count and the first byte say it all
    // L = 1 + newlines + the line breaks inside runs of ordinary bytes: a run of len bytes ended
    // by a newline breaks len / columns times (a newline right after a full line still adds just
    // one line), the run at the end of the text (len - 1) / columns times.
    // The run ends at the newline at `at`; the next one begins after the newline at `last`.
    const auto end_run = [&](std::int64_t at, std::int64_t last) {
        const std::int64_t run = base + at - t.start;
        if (run >= columns)
            t.lines += run / columns;
        t.start = base + last + 1;
    };
    std::int64_t i = 0;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Eight bytes at a time. Runs that begin and end inside one word are shorter than 7 bytes,
    // so with 7 or more columns only the first and last newline of a word matter.
    if (columns >= 7) {
        for (; i + 8 <= len; i += 8) {
            const std::uint64_t m = newlines_in(p + i);
            if (m == 0)
                continue;
            t.lines += static_cast<std::int64_t>(((m >> 7) * 0x0101010101010101ULL) >> 56);
            end_run(i + __builtin_ctzll(m) / 8, i + (63 - __builtin_clzll(m)) / 8);
        }
    }
#endif
    for (; i < len; i++)
        if (p[i] == '\n') {
            end_run(i, i);
            t.lines++;
        }
}

std::int64_t tallied_lines(const line_tally &t, std::int32_t columns)
{
    if (columns == 1)
        return t.n + t.first_newline;
    return t.lines + (t.n > t.start ? (t.n - t.start - 1) / columns : 0);
}

void render_text(FIBITMAP *bitmap, const unsigned char *buf, std::int64_t n, std::int32_t columns,
                 std::int32_t width, std::int32_t height, RGBQUAD color)
{
    place_text(buf, n, columns, [&](std::int32_t col, std::int32_t line, unsigned char ch) {
        vozk_render_char(bitmap, col, line, ch, width, height, color);
    });
}

void vozk_render_char(FIBITMAP *bitmap, std::int32_t col, std::int32_t line, unsigned char ch,
                      std::int32_t width, std::int32_t height, RGBQUAD color)
{
    (void)width; // the layout keeps every cell inside the bitmap, so there is nothing to clip
    const unsigned char *glyph = vozk[ch].data();
    const unsigned x = 4 * static_cast<unsigned>(col);
    unsigned y = static_cast<unsigned>(height - 1 - 6 * line);
    for (int r = 0; r < 6; r++, y--) {
        // The row's four pixels in one word, so that blank pixels cost nothing: only the ink is
        // visited, left to right.
        std::uint32_t row;
        std::memcpy(&row, glyph + 4 * r, 4);
        while (row != 0) {
            const int i = take_first_ink(row);
            FreeImage_SetPixelColor(bitmap, x + i, y, &color);
            if (errorlevel != 0)
                return;
        }
    }
}

std::int32_t foo(std::int32_t a, std::int32_t b)
{
    return a / b + (a % b != 0);
}
