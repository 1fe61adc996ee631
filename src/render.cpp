#include "render.h"

#include "check.h"
#include "font/vozk.h"

#include <algorithm>

std::int32_t count_lines(const unsigned char *buf, std::int64_t n, std::int32_t columns)
{
    line_tally t;
    tally_lines(t, buf, n, columns);
    return static_cast<std::int32_t>(std::min<std::int64_t>(tallied_lines(t, columns), INT32_MAX));
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
    for (std::int64_t i = 0; i < len; i++)
        if (p[i] == '\n') {
            t.lines += 1 + (base + i - t.start) / columns;
            t.start = base + i + 1;
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
    for (int r = 0; r < 6; r++, y--)
        for (unsigned i = 0; i < 4; i++) {
            if (!glyph[4 * r + i])
                continue;
            FreeImage_SetPixelColor(bitmap, x + i, y, &color);
            if (errorlevel != 0)
                return;
        }
}

std::int32_t foo(std::int32_t a, std::int32_t b)
{
    return a / b + (a % b != 0);
}
