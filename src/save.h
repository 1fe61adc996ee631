// Saving the picture as PNG without ever losing a file, and writing only what opening the output
// for writing would let us write. The way is decided once, on descriptors, before the picture is
// drawn: open_output looks at the path, decides, and opens all that the save will need; save_png
// then encodes and publishes through those descriptors and never looks the name up again.
//
// - A new file is encoded into an unnamed file in its directory, made with mode 0666 so that the
//   kernel applies the umask and default ACLs as for any create, and linked into place whole.
// - An existing file of ours that a new file can stand in for exactly (one link, and the same
//   owner, group, mode, extended attributes, ACLs, security label and inode flags) is replaced:
//   the new file is linked to a temporary name and renamed over it, with the signals held.
// - Any other existing regular file, and one named through a symbolic link, is written in place
//   and keeps its inode: the picture is encoded in full elsewhere (beside it, else in /tmp, else
//   in memory), the space it needs is claimed, and only then is it copied over the old bytes.
// - Devices, FIFOs and pipes (/dev/stdout) are written directly.
// - What open(2) would refuse is refused, for the same reason. Links are followed, and files
//   opened, only by the kernel and as a create opens them, so its rules for sticky directories
//   (fs.protected_symlinks, protected_regular, protected_fifos) hold.
// - Where unnamed files are not supported, or cannot be linked (no /proc), a named temporary
//   file .vozk-render-XXXXXX takes their place; catchable signals and exit remove it.
#pragma once

#include <FreeImage.h>
#include <sys/stat.h>

#include <cstdint>

// How a picture reaches the output path.
enum output_way {
    device,   // a device, FIFO or pipe: encoded straight into it
    fresh,    // no file yet: an unnamed file, linked into place
    replaced, // an existing file of ours, replaced by a new one renamed over it
    in_place, // an existing file that a new one could not stand in for
    via_link, // the file a symbolic link leads to, written in place
    dangling, // a symbolic link to no file yet: the kernel creates its target
};

// What open_output decided and opened for save_png.
struct output {
    const char *path;   // as the user gave it
    const char *name;   // its last component
    int dir;            // the directory that holds the name
    int file;           // the existing file, open for writing; -1 if none
    struct stat seen;   // the entry or file as it was when we looked
    output_way way;
    int scratch;        // the file the picture is encoded into, unless written directly
    int place;          // where scratch is: 0 beside the output, 1 in /tmp, 2 in memory
    bool named;         // scratch has a temporary name, to be removed if the run fails
};

// Decides how path will be written and opens what that needs. Refuses, with errno set as opening
// path for writing would set it, what the save would refuse; nothing visible is created or
// changed. Leaves errno 0 on success.
void open_output(const char *path, output *out);

// What the save will hold in memory besides the encoder's working memory, for a picture of
// width x height pixels: the whole PNG when it is to be encoded into memory, at most the rows
// uncompressed and the framing; else 0.
std::int64_t save_memory(const output &out, std::int64_t width, std::int64_t height);

// Writes bitmap as PNG with the encoder's defaults, the way open_output decided. Returns nothing:
// a failure leaves errno set, or errorlevel if the library reported it, for the check that
// follows; success leaves errno 0.
void save_png(FIBITMAP *bitmap, output *out);
