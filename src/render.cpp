#include "render.h"

#include "check.h"
#include "font/vozk.h"

#include <limits>

std::int32_t count_lines(const unsigned char *buf, std::int64_t n, std::int32_t columns)
{
    std::int64_t lines = 1;
    if (columns == 1) {
        lines = n + (buf[0] == '\n');
    } else {
        std::int32_t m = 1; // 1-based column of buf[i] within its line
        for (std::int64_t i = 0; i < n; i++) {
            if (m == columns && i + 1 < n) {
                lines++;
                m = 1;
            } else if (buf[i] == '\n') {
                lines++;
                m = 1;
            } else {
                m++;
            }
        }
    }
    const std::int64_t most = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(lines < most ? lines : most);
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
    const vozk_glyph &glyph = vozk[ch];
    const unsigned x = 4 * static_cast<unsigned>(col);
    unsigned y = static_cast<unsigned>(height - 1 - 6 * line);
    for (int r = 0; r < 6; r++, y--)
        for (int i = 0; i < 4; i++)
            if (glyph[4 * r + i]) {
                FreeImage_SetPixelColor(bitmap, x + i, y, &color);
                if (errorlevel != 0)
                    return;
            }
}

std::int32_t foo(std::int32_t a, std::int32_t b)
{
    return a / b + (a % b != 0);
}
