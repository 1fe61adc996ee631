// Fuzzes the layout. The first byte picks the column count (1 to 64), the rest is the text (up to
// 512 bytes, so that a bitmap stays small and the fuzzer looks for bugs, not for memory). Every
// pixel call must land inside the bitmap, the line count must be the model's, and the picture
// must be exactly the one that a plain model of eager wrapping predicts.
#include "render.h"
#include "support.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" BOOL __real_FreeImage_SetPixelColor(FIBITMAP *, unsigned, unsigned, RGBQUAD *);
extern "C" BOOL __wrap_FreeImage_SetPixelColor(FIBITMAP *dib, unsigned x, unsigned y,
                                               RGBQUAD *value)
{
    if (x >= FreeImage_GetWidth(dib) || y >= FreeImage_GetHeight(dib)) {
        std::fprintf(stderr, "pixel (%u, %u) outside the %u x %u bitmap\n", x, y,
                     FreeImage_GetWidth(dib), FreeImage_GetHeight(dib));
        std::abort();
    }
    return __real_FreeImage_SetPixelColor(dib, x, y, value);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 3 || size > 513)
        return 0;
    const int columns = 1 + data[0] % 64;
    const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    const auto n = static_cast<std::int64_t>(text.size());

    const int lines = count_lines(bytes, n, columns);
    if (lines != model_lines(text, columns)) {
        std::fprintf(stderr, "count_lines says %d, the model %lld\n", lines,
                     model_lines(text, columns));
        std::abort();
    }
    const int width = 4 * columns;
    const int height = 6 * lines;
    FIBITMAP *bm = FreeImage_Allocate(width, height, 24, 0xFF0000, 0x00FF00, 0x0000FF);
    const RGBQUAD ink = {0xFF, 0xFF, 0xFF, 0xFF};
    render_text(bm, bytes, n, columns, width, height, ink);
    const picture got = read_bitmap(bm);
    FreeImage_Unload(bm);
    const std::string diff = compare(got, expected_picture(text, columns));
    if (!diff.empty()) {
        std::fprintf(stderr, "picture differs from the model: %s\n", diff.c_str());
        std::abort();
    }
    return 0;
}
