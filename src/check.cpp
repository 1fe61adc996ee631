#include "check.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

std::int32_t errorlevel = 0;

void FreeImageErrorHandler(FREE_IMAGE_FORMAT fif, const char *message)
{
    errorlevel = 1;
    std::fputs("\n*** ", stderr);
    if (fif != FIF_UNKNOWN) {
        const char *name = FreeImage_GetFormatFromFIF(fif);
        std::fprintf(stderr, "%s Format\n", name ? name : "Unknown");
    }
    // The text is the library's, already formatted: a % in it is just a character.
    std::fputs(message ? message : "", stderr);
    std::fputs(" ***\n", stderr);
}

void ck_err(FIBITMAP *bitmap, void *buffer, const char *message)
{
    if (errorlevel != 0) {
        std::fputs(message, stderr);
        FreeImage_Unload(bitmap);
    } else if (errno != 0) {
        // The message ends in a newline, so the system's reason lands on a line of its own.
        std::perror(message);
    } else {
        return;
    }
    bail(buffer);
}

void bail(void *buffer)
{
    std::free(buffer);
    FreeImage_DeInitialise();
    std::exit(1);
}
