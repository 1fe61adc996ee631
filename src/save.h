// Saving the picture as PNG without ever losing a file, and writing only what opening the output
// for writing would let us write.
#pragma once

#include <FreeImage.h>

// Writes bitmap to path as PNG with the encoder's defaults, following symbolic links.
// - A new file, or an existing one of ours with one link and no extended attributes (ACLs), is
//   replaced atomically: the PNG goes to a new file in the same directory, which is synced,
//   renamed over the path and the directory synced. A replaced file keeps its mode, owner and
//   group; a new one gets 0666 less the umask.
// - Otherwise (more links, another owner or group, a directory that refuses the new file or the
//   rename) the existing file is written in place, keeping its inode: the PNG is encoded in full
//   first, into an unnamed file (beside it, in /tmp, or in memory), and copied over it once its
//   space is claimed.
// - A file that open(2) would not let us write is refused (EACCES); devices, FIFOs and pipes are
//   written directly.
// - SIGHUP, SIGINT, SIGTERM and SIGXFSZ, unless ignored, remove the temporary file and then end
//   the process by the same signal; they are held off while the old file is being overwritten.
// Returns nothing: a failure leaves errno set, or errorlevel if the library reported it, for the
// check that follows; success leaves errno 0.
void save_png(FIBITMAP *bitmap, const char *path);
