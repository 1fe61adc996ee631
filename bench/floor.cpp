// The floors: the very picture that vozk-render makes from the same input and column count, with
// the tool's own reading, line counting, placement, glyph table and save, and nothing else.
// - The lean floor (the default) writes the ink straight into the scan lines. It is below the
//   tool's design, which plots through the library: it prices that choice.
// - The design floor (--design) plots every ink pixel with one FreeImage_SetPixelColor call, as
//   the design does, and does nothing else: no check after a call. No implementation of the
//   design can be faster, so the tool should take about as long.
//
//     floor [--design] columns output-file < text
#include "check.h"
#include "driver.h"
#include "render.h"
#include "save.h"

#include "font/vozk.h"

#include <FreeImage.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    const bool design = argc > 1 && std::strcmp(argv[1], "--design") == 0;
    argc -= design;
    argv += design;
    if (argc != 3) {
        std::fprintf(stderr, "usage: floor [--design] columns output-file < text\n");
        return 1;
    }
    FreeImage_Initialise(FALSE);
    FreeImage_SetOutputMessage(FreeImageErrorHandler);
    const std::int32_t columns = parse_columns(argv[1]);
    if (columns <= 0) {
        std::fprintf(stderr, "floor: bad column count\n");
        return 1;
    }
    unsigned char *buf = nullptr;
    std::size_t cap = 0;
    const text_read text = read_input(STDIN_FILENO, columns, &buf, &cap, max_input);
    const std::int64_t n = text.n;
    if (n < 2 || text.over.name || 6 * text.lines > max_side) {
        std::fprintf(stderr, "floor: bad input\n");
        return 1;
    }
    const std::int32_t width = 4 * columns;
    const std::int32_t height = static_cast<std::int32_t>(6 * text.lines);
    output out;
    open_output(argv[2], &out);
    if (errno) {
        std::perror("floor: output");
        return 1;
    }
    FIBITMAP *bitmap = FreeImage_Allocate(width, height, 24, 0xFF0000, 0x00FF00, 0x0000FF);
    if (!bitmap) {
        std::fprintf(stderr, "floor: no bitmap\n");
        return 1;
    }
    // Scan line 0 is the bottom of the picture.
    BYTE *const bits = FreeImage_GetBits(bitmap);
    const std::size_t pitch = FreeImage_GetPitch(bitmap);
    RGBQUAD ink = {0xFF, 0xFF, 0xFF, 0xFF};
    place_text(buf, n, columns, [&](std::int32_t col, std::int32_t line, unsigned char ch) {
        const vozk_glyph &glyph = vozk[ch];
        const int top = height - 1 - 6 * line;
        for (int r = 0; r < 6; r++) {
            BYTE *px = bits + pitch * static_cast<std::size_t>(top - r) + 12 * col;
            for (int i = 0; i < 4; i++, px += 3) {
                if (!glyph[4 * r + i])
                    continue;
                if (design)
                    FreeImage_SetPixelColor(bitmap, 4 * col + i, top - r, &ink);
                else
                    std::memset(px, 0xFF, 3);
            }
        }
    });
    RGBQUAD black = {0, 0, 0, 0};
    FreeImage_SetBackgroundColor(bitmap, &black);
    save_png(bitmap, &out);
    if (errorlevel || errno) {
        std::perror("floor: save");
        return 1;
    }
    FreeImage_Unload(bitmap);
    FreeImage_DeInitialise();
    std::free(buf);
    return 0;
}
