// Microbenchmarks of the tool's own work on the input (counting text lines, reading standard
// input; bytes per second as bytes_per_second) and of the library call it makes per ink pixel.
#include "driver.h"
#include "render.h"
#include "text.h"

#include <FreeImage.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace
{

const unsigned char *bytes(const std::string &s)
{
    return reinterpret_cast<const unsigned char *>(s.data());
}

void count_text(benchmark::State &state, const std::string &text, int columns)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(
            count_lines(bytes(text), static_cast<std::int64_t>(text.size()), columns));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_count_lines_english(benchmark::State &state)
{
    static const std::string text = english_text(8000000);
    count_text(state, text, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_count_lines_english)->Arg(80)->Arg(1)->Arg(100000);

// The hardest case for any scheme that works line by line.
void BM_count_lines_newlines(benchmark::State &state)
{
    static const std::string text(8000000, '\n');
    count_text(state, text, 80);
}
BENCHMARK(BM_count_lines_newlines);

// Reading a file of the given size from the page cache and counting its lines, as the tool reads
// its standard input.
void BM_read_input(benchmark::State &state)
{
    const std::string text = english_text(static_cast<std::size_t>(state.range(0)));
    char path[] = "/tmp/vozk-bench-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        state.SkipWithError("cannot write the input file");
        return;
    }
    for (auto _ : state) {
        lseek(fd, 0, SEEK_SET);
        unsigned char *buf = nullptr;
        std::size_t cap = 0;
        benchmark::DoNotOptimize(read_input(fd, 80, &buf, &cap, max_input).n);
        std::free(buf);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
    close(fd);
    unlink(path);
}
BENCHMARK(BM_read_input)->Arg(1000000)->Arg(8000000)->Arg(64000000);

// The library call that the tool makes for every ink pixel, in the order it makes them: the
// six rows of one glyph after another along a text line. It sets the floor under the tool's
// drawing cost.
void BM_set_pixel_color(benchmark::State &state)
{
    FIBITMAP *bm = FreeImage_Allocate(320, 600, 24, 0xFF0000, 0x00FF00, 0x0000FF);
    RGBQUAD white = {0xFF, 0xFF, 0xFF, 0xFF};
    unsigned k = 0;
    for (auto _ : state) {
        const unsigned glyph = k / 24 % 80;
        const unsigned line = k / (24 * 80) % 100;
        FreeImage_SetPixelColor(bm, 4 * glyph + k % 4, 599 - 6 * line - k / 4 % 6, &white);
        k++;
    }
    FreeImage_Unload(bm);
}
BENCHMARK(BM_set_pixel_color);

} // namespace

BENCHMARK_MAIN();
