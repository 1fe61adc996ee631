// Saving the picture as PNG, without ever losing a file. The rule: a save either leaves the
// complete picture where the path leads, or fails with the usual message and its reason
// ("Error saving bitmap -- aborting..." and ": No space left on device"), exit 1, the old file
// exactly as it was and nothing left behind.
//
// How is decided once, up front, on descriptors, before the bitmap is made (open_output); then
// save_png takes the one path decided, and never decides again. It goes by the name only where
// that path does: link and rename give the new file its name, and a dangling link's target is
// opened through it at the end. Each way (output_way) leads its row:
//
//   at the path                  how it is written
//   fresh: nothing               an unnamed file in the directory (O_TMPFILE, mode 0666: the
//                                umask and default ACL apply as for a create), encoded, synced,
//                                linked into place, the directory synced; a name taken meanwhile
//                                is replaced as an entry, as mv would
//   replaced: our own file (root: any) with one link, where a new file would be identical (owner,
//   group, mode, extended attributes, inode flags), in a directory that allows the rename
//                                a new file, synced, renamed over it with the signals held
//                                across link and rename; the directory synced
//   in_place: any other regular file, also one reached through a symbolic link
//                                the complete picture is encoded into an unnamed file beside it
//                                (beside the link, for a file reached through one; in memory
//                                where that directory takes none), its space is claimed, and it
//                                is copied over the old bytes with the signals held, truncated
//                                and synced
//   dangling: a symbolic link to no file
//                                its target is made, and so tried, once the picture is complete
//   device: a device, FIFO or pipe
//                                encoded straight into it
//   what open(2) refuses         refused before drawing, with open's errno
//
// Where the file system has no unnamed files, or no /proc to link them, a named file
// .vozk-render-PID-NS beside the output stands in; only then are handlers installed, so that the
// signals that end a run, and exit, remove it. SIGKILL can leave it, or a temporary name in the
// instant between linking a replacement and renaming it.
//
// Rare situations fail cleanly rather than be worked around: a full disk or quota anywhere, a
// rename the directory refuses at the end, a link put at the name between our look and our open.
//
// The exceptions to the rule. Refused before drawing, though open(2) would allow the file: a new
// file in an append-only directory where no unnamed file can serve (EPERM: the temporary name
// could never be removed), a full disk or quota as the file to encode into is made (ENOSPC,
// EDQUOT), a new file's temporary name that is taken (EEXIST), and no memory for the exit
// handler that removes it (ENOMEM). A failing sync of the directory, or close of the file
// written, comes when the new picture already has the name, or has been copied in place: the
// save fails with the picture there. A failed save leaves empty a link's new target, and a file
// that our open made where one was removed after our look. Like cp, the save writes into the
// directory it opened and the file it holds, even if they are moved meanwhile; runs writing one
// file in place at once are not kept apart; an I/O error or a power cut during a copy in place
// can leave it part-written, and so can a full disk where fallocate is not supported or the file
// system copies on write, as claiming the space does not guarantee it there.
//
// Costs: one encode, one more copy in place, and the whole PNG in memory where it is encoded there.
#pragma once

#include <FreeImage.h>

#include <cstdint>

// In the order of the table's rows.
enum output_way {
    fresh,    // no file yet
    replaced, // our own file, which a new one stands in for
    in_place, // any other file
    dangling, // a symbolic link to no file yet
    device,   // a device, FIFO or pipe
};

// What open_output decided and opened for save_png.
struct output {
    output_way way;   // set where it is decided: plan_fresh, plan_link or opened
    int dir;          // the directory that holds the name
    const char *name; // the last component of the path
    int file;         // the file at the path, open for writing; -1 if none yet
    int scratch;      // the file the picture is encoded into, unless straight into file
    bool named;       // scratch has a temporary name, which a failure removes
    bool in_memory;   // scratch is in memory
};

// Decides how path will be written and opens what that needs. Refuses, with errno set as opening
// path for writing would set it (or as the exceptions above say), what the save would refuse;
// nothing visible is created or changed, but for the temporary file where one stands in. Leaves
// errno 0 on success.
void open_output(const char *path, output *out);

// What the save will hold in memory besides the encoder's working memory, for a picture of
// width x height pixels: the whole PNG when it is to be encoded into memory, at most its rows
// uncompressed and the framing; else 0.
std::int64_t save_memory(const output &out, std::int64_t width, std::int64_t height);

// Writes bitmap as PNG with the encoder's defaults, the way open_output decided. A failure leaves
// errno set, or errorlevel if the library reported it, for the check that follows; success
// leaves errno 0.
void save_png(FIBITMAP *bitmap, output *out);
