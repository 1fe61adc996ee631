// vozk-render: draws the bytes of standard input in a built-in 4 x 6 pixel font, white on black,
// on a grid of a given number of columns, and saves the picture as a 24-bit PNG.
//
// Limits: at most 1,000,000 pixels wide and tall (libpng's limit), an input below 2^31 bytes, and
// the memory that the machine, the cgroup, ulimit -v and ulimit -d leave: the input (in a buffer
// that doubles as it fills), the bitmap at about 3 bytes a pixel, four rows for the encoder, and
// the PNG where it is encoded into memory. Time: mostly the PNG encoder, then one library call
// per ink pixel (about 6 per input byte).
#include "check.h"
#include "driver.h"
#include "memory.h"
#include "render.h"
#include "save.h"

#include <FreeImage.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace
{

// Ends a run that memory could not hold, naming the limit, with the figures of the text read.
[[noreturn]] void refuse_memory(std::int64_t width, std::int64_t height, const memory_limit &over,
                                unsigned char *buf)
{
    std::fprintf(stderr,
                 "Image too large for memory -- %lld by %lld pixels need %lld bytes, %s %lld -- "
                 "aborting...\n",
                 static_cast<long long>(width), static_cast<long long>(height),
                 static_cast<long long>(over.need), over.name, static_cast<long long>(over.limit));
    bail(buf);
}

} // namespace

int main(int argc, char **argv)
{
    // Whatever the loader and the libraries' constructors left in errno is no failure of ours:
    // from here on it holds only what the tool's own steps set.
    errno = 0;

    // A standard stream that was closed gets /dev/null in its place, so that no file we open
    // takes its number (an error message must never land in the picture). Standard output must
    // have been open: a closed one would first show as a stray errno in the banner's checks,
    // blamed on the wrong step. A closed standard input fails the read as it would have.
    const int closed = fill_std_streams();
    const char *noout = "Error writing to standard output -- aborting...\n";
    if (closed & (1 << STDOUT_FILENO)) {
        errno = EBADF;
        std::perror(noout);
        return 1;
    }

    // Bring the library up; plug-ins need not be local ones.
    FreeImage_Initialise(FALSE);
    ck_err(nullptr, nullptr, "Error initializing FreeImage library -- aborting...\n");

    // The banner: library version, its copyright, our credit.
    const char *version = FreeImage_GetVersion();
    ck_err(nullptr, nullptr, "Error getting version -- aborting...\n");
    std::printf("Using FreeImage library version %s\n\n", version);
    const char *copyright = FreeImage_GetCopyrightMessage();
    ck_err(nullptr, nullptr, "Error getting copyright message -- aborting...\n");
    std::printf("%s\n\nvozk-render draws text in its own 4 x 6 pixel font, white on black...\n\n",
                copyright);

    // From here on, library messages raise errorlevel.
    FreeImage_SetOutputMessage(FreeImageErrorHandler);
    ck_err(nullptr, nullptr, "Error setting FreeImage error handler -- aborting...\n");

    // The command line: columns and output-file.
    const std::int32_t columns = argc == 3 ? parse_columns(argv[1]) : 0;
    if (columns <= 0) {
        usage(stderr, argc > 0 ? argv[0] : "vozk-render");
        bail(nullptr);
    }
    const char *path = argv[2];

    // Prompt, and show it now: someone may be about to type the text. Output that cannot be
    // written (a full standard output, or one open only for reading) ends the run before any work.
    std::fputs("Enter characters :", stdout);
    const int saved = errno;
    if (std::fflush(stdout) != 0) {
        std::perror(noout);
        bail(nullptr);
    }
    errno = saved;

    // The text: every byte of standard input, none of them special here. It is counted as it
    // comes, and no more is read once it is too tall for a PNG, or once memory could not hold more
    // of it beside the bitmap of its lines, so that an endless stream is answered at once; a text
    // too wide for a PNG is counted to its end (2 GiB at most), for the figures of its message.
    unsigned char *buf = nullptr;
    std::size_t cap = 0;
    text_read text = {-1, 0, {0, 0, nullptr}};
    if (closed & (1 << STDIN_FILENO))
        errno = EBADF;
    else
        text = read_input(STDIN_FILENO, columns, &buf, &cap, max_input);
    const std::int64_t n = text.n;
    ck_err(nullptr, buf, "getdelim() error -- aborting...\n");
    const std::int64_t wide = std::int64_t{columns} * 4;
    const std::int64_t high = text.lines * 6;
    if (text.over.name)
        refuse_memory(wide, high, text.over, buf);
    if (n <= 1) {
        std::fputs("Input too short -- must be at least 1 character - aborting \n", stderr);
        bail(buf);
    }
    if (n >= max_input) {
        std::fprintf(stderr, "Input too long -- must be less than %lld bytes -- aborting...\n",
                     static_cast<long long>(max_input));
        bail(buf);
    }

    // Size the picture, in 64 bits, and refuse what libpng would refuse only after all the work.
    if (wide > max_side || high > max_side) {
        std::fprintf(stderr,
                     "Image too large -- %lld by %lld pixels needed, PNG allows at most %lld by "
                     "%lld -- aborting...\n",
                     static_cast<long long>(wide), static_cast<long long>(high),
                     static_cast<long long>(max_side), static_cast<long long>(max_side));
        bail(buf);
    }
    const std::int32_t width = static_cast<std::int32_t>(wide);
    const std::int32_t height = static_cast<std::int32_t>(high);

    // Decide now how the picture will be written, and open what that takes: a path that cannot
    // be written is refused before any drawing, with the reason the save would give.
    const char *nosave = "Error saving bitmap -- aborting...\n";
    output out;
    open_output(path, &out);
    ck_err(nullptr, buf, nosave);

    // A picture that cannot fit in memory is refused now, with a word, rather than by a failing
    // allocation or by the out-of-memory killer, which gives none. A picture to be encoded into
    // memory counts too.
    const memory_limit over = check_memory(width, height, 0, save_memory(out, width, height));
    if (over.name)
        refuse_memory(wide, high, over, buf);

    // A fresh 24-bit bitmap is all black. The library may also fail without a word.
    const char *nomem = "Error allocating memory for image -- aborting...\n";
    FIBITMAP *bitmap = FreeImage_Allocate(width, height, 24, 0xFF0000, 0x00FF00, 0x0000FF);
    ck_err(nullptr, buf, nomem);
    if (!bitmap) {
        std::fputs(nomem, stderr);
        bail(buf);
    }

    // Draw the text in white.
    const RGBQUAD ink = {0xFF, 0xFF, 0xFF, 0xFF};
    render_text(bitmap, buf, n, columns, width, height, ink);
    ck_err(bitmap, buf, "Error plotting pixel(s) -- aborting...\n");

    // Finish and save: PNG whatever the name says, with the encoder's defaults.
    RGBQUAD black = {0x00, 0x00, 0x00, 0x00};
    FreeImage_SetBackgroundColor(bitmap, &black);
    ck_err(bitmap, buf, "Error setting background color` -- aborting...\n");
    save_png(bitmap, &out);
    ck_err(bitmap, buf, nosave);

    // Release everything and report.
    FreeImage_Unload(bitmap);
    ck_err(nullptr, buf, "Error attempting to unload bitmap -- aborting...\n");
    FreeImage_DeInitialise();
    ck_err(nullptr, buf, "Error deinitializing FreeImage library -- aborting...\n");
    std::free(buf);
    std::printf("\nSuccessfully rendered %d by %d pixel bitmap %s! :)...\n", width, height, path);
    if (std::fflush(stdout) != 0) {
        std::perror(noout);
        return 1;
    }
    return 0;
}
