// Saving the picture as PNG without ever losing the file that was at the output path.
#pragma once

#include <FreeImage.h>

// Writes bitmap to path as PNG with the encoder's defaults. A regular file (or a new one) is
// replaced atomically: the PNG goes to a new file in the same directory, which is synced and
// renamed over the path only when complete; a file behind a symbolic link is replaced and the
// link kept; a replaced file keeps its permission bits, a new one gets 0666 less the umask.
// Anything else (a device, a FIFO) is written directly, and so is an existing file in a
// directory where no new file can be made. Returns nothing: a failure leaves errno set, or
// errorlevel if the library reported it, for the check that follows; success leaves errno 0.
void save_png(FIBITMAP *bitmap, const char *path);
