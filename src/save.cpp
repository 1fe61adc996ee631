#include "save.h"

#include "check.h"
#include "memory.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

// ---- A temporary name, and the signals that must not leave it behind ----

// The name our picture's file has while it is not yet the output's: only on file systems without
// unnamed files, or for the instant between linking a replacement and renaming it. The signal
// handler reads it, so it changes only while the signals are held.
int temp_dir = -1;
char temp_name[32];
volatile sig_atomic_t armed = 0;

// Whether sig ends a process by default and can be caught: every signal but those that stop it,
// those ignored by default, and SIGKILL and SIGSTOP. Real-time signals end it too.
bool fatal(int sig)
{
    switch (sig) {
    case SIGKILL:
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGCHLD:
    case SIGCONT:
    case SIGURG:
    case SIGWINCH:
        return false;
    }
    return true;
}

extern "C" void on_fatal(int sig)
{
    // Async-signal-safe calls only. The action is back to the default (SA_RESETHAND), so raising
    // the signal again ends the process by it, and a shell sees the usual status.
    if (armed)
        unlinkat(temp_dir, temp_name, 0);
    raise(sig);
}

void remove_at_exit()
{
    if (armed)
        unlinkat(temp_dir, temp_name, 0);
}

// Makes every fatal signal, and exit, remove the temporary name. An ignored signal (nohup, a
// background job) stays ignored: it ends nothing; one that has a handler (a sanitizer's) keeps it.
bool catch_fatal()
{
    static bool caught = false;
    if (caught)
        return true;
    if (std::atexit(remove_at_exit) != 0) {
        errno = ENOMEM;
        return false;
    }
    caught = true;
    // The C library keeps a few real-time signals for itself and refuses them here.
    for (int sig = 1; sig <= SIGRTMAX; sig++) {
        struct sigaction was;
        if (!fatal(sig) || sigaction(sig, nullptr, &was) != 0 || was.sa_handler != SIG_DFL)
            continue;
        struct sigaction sa = {};
        sa.sa_handler = on_fatal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESETHAND | SA_NODEFER;
        sigaction(sig, &sa, nullptr);
    }
    return true;
}

// Holds the fatal signals back around a step that must not be cut in half; release lets them in.
sigset_t hold()
{
    sigset_t set, was;
    sigemptyset(&set);
    for (int sig = 1; sig <= SIGRTMAX; sig++)
        if (fatal(sig))
            sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &was);
    return was;
}

void release(const sigset_t &was)
{
    sigprocmask(SIG_SETMASK, &was, nullptr);
}

// Picks the next candidate temporary name; a name that is taken is simply tried again.
void next_temp_name()
{
    static std::uint64_t seed = 0;
    if (seed == 0)
        seed = static_cast<std::uint64_t>(getpid()) << 32 ^ reinterpret_cast<std::uintptr_t>(&seed);
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::memcpy(temp_name, ".vozk-render-", 13);
    std::uint64_t v = seed >> 16;
    for (int i = 13; i < 19; i++, v /= 62)
        temp_name[i] = digits[v % 62];
    temp_name[19] = '\0';
}

// Gives the unnamed file fd the name in dir: through /proc, or without it where the kernel lets
// us. linkat never follows a link at the name, and never replaces an entry (EEXIST).
bool link_unnamed(int fd, int dir, const char *name)
{
    char proc[32];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    if (linkat(AT_FDCWD, proc, dir, name, AT_SYMLINK_FOLLOW) == 0)
        return true;
    return errno == ENOENT && linkat(fd, "", dir, name, AT_EMPTY_PATH) == 0;
}

// Gives a temporary name in dir: to the unnamed file fd, or, with fd -1, to a new file made with
// mode, less the umask, as a create makes it (returned). Call with the signals held.
int arm(int dir, int fd, mode_t mode)
{
    if (!catch_fatal())
        return -1;
    for (int tries = 0; tries < 100; tries++) {
        next_temp_name();
        const int made =
            fd >= 0 ? (link_unnamed(fd, dir, temp_name) ? fd : -1)
                    : openat(dir, temp_name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (made >= 0) {
            temp_dir = dir;
            armed = 1;
            return made;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

// Forgets the temporary name, removing it unless it has become the output's; keeps errno.
void disarm(bool remove)
{
    const int err = errno;
    const sigset_t was = hold();
    if (remove && armed)
        unlinkat(temp_dir, temp_name, 0);
    armed = 0;
    release(was);
    errno = err;
}

// ---- The encoder's stream ----

// Buffered writes to a descriptor, every byte checked. The PNG writer does not look at what a
// write returns, so the first failure is kept here: it ends all writing, and the save with it.
struct sink {
    int fd;
    int err; // errno of the first failure
    std::size_t used;
    unsigned char buf[1 << 16];
};

bool drain(sink &s)
{
    for (std::size_t done = 0; done < s.used;) {
        const ssize_t n = write(s.fd, s.buf + done, s.used - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            s.err = n < 0 ? errno : EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    s.used = 0;
    return true;
}

unsigned write_proc(void *buf, unsigned size, unsigned count, fi_handle handle)
{
    sink &s = *static_cast<sink *>(handle);
    const unsigned char *from = static_cast<const unsigned char *>(buf);
    for (std::size_t left = std::size_t{size} * count; left > 0 && s.err == 0;) {
        if (s.used == sizeof s.buf && !drain(s))
            break;
        const std::size_t n = std::min(left, sizeof s.buf - s.used);
        std::memcpy(s.buf + s.used, from, n);
        s.used += n;
        from += n;
        left -= n;
    }
    return s.err == 0 ? count : 0;
}

// The PNG writer only writes, front to back.
unsigned read_proc(void *, unsigned, unsigned, fi_handle)
{
    return 0;
}

int seek_proc(fi_handle handle, long, int)
{
    static_cast<sink *>(handle)->err = ESPIPE;
    return -1;
}

long tell_proc(fi_handle handle)
{
    static_cast<sink *>(handle)->err = ESPIPE;
    return -1;
}

// Encodes the picture as PNG into fd, from its offset. On failure errno, or errorlevel if the
// library reported it, says why.
bool encode(FIBITMAP *bitmap, int fd)
{
    sink s = {fd, 0, 0, {}};
    FreeImageIO io = {read_proc, write_proc, seek_proc, tell_proc};
    errno = 0;
    const BOOL saved = FreeImage_SaveToHandle(FIF_PNG, bitmap, &io, &s, 0);
    if (s.err == 0)
        drain(s);
    if (s.err != 0) {
        errno = s.err;
        return false;
    }
    if (errorlevel != 0)
        return false;
    if (!saved && errno == 0)
        errno = EIO; // the encoder gave up without a word
    return saved;
}

// ---- Files and names ----

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Space ran out: another place may still have room.
bool full(int err)
{
    return err == ENOSPC || err == EDQUOT;
}

// The entry at the name is no longer the one we decided on: errno says what is there now.
bool moved(const output &out)
{
    struct stat now;
    if (fstatat(out.dir, out.name, &now, AT_SYMLINK_NOFOLLOW) == 0)
        errno = S_ISDIR(now.st_mode) ? EISDIR : EEXIST;
    return false;
}

// The path still leads to the file we hold (through the link, where it was one): the picture is
// found where the user asked for it.
bool still_there(const output &out)
{
    const int follow = out.way == via_link || out.way == dangling ? 0 : AT_SYMLINK_NOFOLLOW;
    struct stat now, ours;
    if (fstatat(out.dir, out.name, &now, follow) != 0 || fstat(out.file, &ours) != 0)
        return false;
    return same_file(now, ours) || moved(out);
}

// The directory we write in is still the one the path names, for a directory on the way may have
// been moved since we looked. Asked before the picture takes the name or the old bytes, so that
// a run that must fail leaves the moved directory as it was, and again once it is in place. (The
// name itself may since have been taken by another run, as after any rename.)
bool reachable(const output &out)
{
    if (out.way == device)
        return true; // a device or a pipe keeps what it was given under no name of ours
    const std::string dir = out.name == out.path ? "." : std::string(out.path, out.name);
    struct stat there, ours;
    if (fstat(out.dir, &ours) != 0 || stat(dir.c_str(), &there) != 0)
        return false;
    if (same_file(there, ours))
        return true;
    errno = ENOENT; // the picture is in a directory that is no longer there
    return false;
}

// The directory, open for syncing; one we may search but not read still serves for the rest.
int open_directory(const char *dir)
{
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 || errno != EACCES)
        return fd;
    return open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// A new name must survive a power cut as the data does. A directory we may not read cannot be
// synced, and some file systems cannot sync one at all; neither undoes the save.
bool sync_directory(int dir)
{
    return fsync(dir) == 0 || errno == EINVAL || errno == EBADF;
}

// An unnamed file can be named later through /proc, or without it with linkat(AT_EMPTY_PATH)
// where the kernel lets us: aiming that at "." asks, and makes nothing (EEXIST: it would).
bool linkable(int fd, int dir)
{
    char proc[32];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    struct stat named, held;
    if (stat(proc, &named) == 0 && fstat(fd, &held) == 0 && same_file(named, held))
        return true;
    return linkat(fd, "", dir, ".", AT_EMPTY_PATH) != 0 && errno == EEXIST;
}

// A directory whose entries can be added but never renamed or removed (chattr +a): a replacement
// would be refused, and its temporary name would stay there for good.
bool append_only(int dir)
{
    int flags = 0;
    return ioctl(dir, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL) != 0;
}

// A file beside the output that can take its name once the picture is complete: an unnamed file
// with mode 0666, which the kernel gives the umask and default ACLs of a create, where the file
// system has them and we can link them; a named temporary one otherwise.
bool publishable(output *out)
{
    out->place = 0;
    out->scratch = openat(out->dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (out->scratch >= 0 && linkable(out->scratch, out->dir))
        return true;
    if (out->scratch >= 0) {
        close(out->scratch);
    } else if (errno != EOPNOTSUPP && errno != EISDIR) { // EISDIR: a kernel without them
        return false;
    }
    if (append_only(out->dir)) {
        errno = EPERM; // as the rename would say, after all the work
        return false;
    }
    // A replacement is to get the old file's mode and owner: until then it is the caller's alone,
    // so that no one the old file kept out can open the name that will hold the new picture.
    const mode_t mode = out->file >= 0 ? out->seen.st_mode & 0600 : 0666;
    const sigset_t was = hold();
    out->scratch = arm(out->dir, -1, mode);
    out->named = out->scratch >= 0;
    release(was);
    return out->named;
}

// Opens where a picture waits to be copied in place: place 0 beside the output, 1 in /tmp, 2 in
// memory. Unnamed, so that it vanishes with the process, however that ends.
int open_place(const output &out, int place)
{
    if (place == 0)
        return openat(out.dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (place == 1)
        return open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    return memfd_create("vozk-render", MFD_CLOEXEC);
}

// A picture of width x height pixels as PNG, at most: its rows uncompressed (a filter byte and
// three bytes a pixel), and what deflate's stored blocks and the chunks add, well under 0.1 %.
std::int64_t png_bound(std::int64_t width, std::int64_t height)
{
    const std::int64_t raw = height * (3 * width + 1);
    return raw + raw / 1024 + (1 << 16);
}

// Whether memory can still hold the picture of bitmap, encoded, beside all the run holds.
bool memory_holds(FIBITMAP *bitmap)
{
    const std::int64_t bytes = png_bound(FreeImage_GetWidth(bitmap), FreeImage_GetHeight(bitmap));
    return check_memory(0, 0, 0, bytes).name == nullptr;
}

// Closes the scratch file, and removes its temporary name if it has one; keeps errno.
void drop_scratch(output *out)
{
    const int err = errno;
    if (out->scratch >= 0)
        close(out->scratch);
    out->scratch = -1;
    if (out->named)
        disarm(true);
    out->named = false;
    errno = err;
}

// The first place, from out->place on, that takes a scratch file.
bool aside(output *out)
{
    int first = 0;
    for (; out->place <= 2; out->place++) {
        if ((out->scratch = open_place(*out, out->place)) >= 0)
            return true;
        first = first ? first : errno;
    }
    errno = first;
    return false;
}

// Extended attributes, name and value, sorted: ACLs and security labels among them. False when
// they cannot be read; none at all where the file system has none.
bool attributes_of(int fd, std::vector<std::string> *all)
{
    const ssize_t size = flistxattr(fd, nullptr, 0);
    if (size <= 0)
        return size == 0 || errno == ENOTSUP;
    std::string names(static_cast<size_t>(size), '\0');
    const ssize_t len = flistxattr(fd, &names[0], names.size());
    if (len < 0)
        return false; // ERANGE: more came since; compare nothing
    for (ssize_t at = 0; at < len; at += static_cast<ssize_t>(std::strlen(&names[at])) + 1) {
        const char *name = &names[at];
        const ssize_t need = fgetxattr(fd, name, nullptr, 0);
        std::string value(need > 0 ? static_cast<size_t>(need) : 0, '\0');
        if (need < 0 || fgetxattr(fd, name, &value[0], value.size()) != need)
            return false;
        all->push_back(std::string(name) + '=' + value);
    }
    std::sort(all->begin(), all->end());
    return true;
}

bool same_attributes(int a, int b)
{
    std::vector<std::string> in_a, in_b;
    return attributes_of(a, &in_a) && attributes_of(b, &in_b) && in_a == in_b;
}

// Inode flags (chattr): the same on both, or none on this file system. How the file system stores
// a file (extents, inline data) is no flag of the user's.
bool same_flags(int a, int b)
{
    const int layout = FS_EXTENT_FL | FS_HUGE_FILE_FL | FS_INDEX_FL | FS_INLINE_DATA_FL;
    int fa = 0, fb = 0;
    const bool got_a = ioctl(a, FS_IOC_GETFLAGS, &fa) == 0;
    const bool got_b = ioctl(b, FS_IOC_GETFLAGS, &fb) == 0;
    if (!got_a || !got_b)
        return !got_a && !got_b;
    return (fa & ~layout) == (fb & ~layout);
}

// Whether the new file (scratch) stands in for the old one exactly, once given its owner, group
// and mode: what the kernel gave it besides (a default ACL, a label, inherited flags) must match
// what the old one has.
bool stand_in(const output &out)
{
    const struct stat &old = out.seen;
    struct stat now;
    if (fstat(out.scratch, &now) != 0)
        return false;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
        fchown(out.scratch, old.st_uid, old.st_gid) != 0)
        return false;
    // After the chown, which clears set-id bits.
    if (fchmod(out.scratch, old.st_mode & 07777) != 0 || fstat(out.scratch, &now) != 0)
        return false;
    return now.st_uid == old.st_uid && now.st_gid == old.st_gid && now.st_mode == old.st_mode &&
           same_attributes(out.scratch, out.file) && same_flags(out.scratch, out.file);
}

// ---- Deciding ----

// No file at the name: the picture goes into a new file beside it, linked into place when
// complete. One that cannot be made here fails as a plain create would.
bool plan_fresh(output *out)
{
    out->way = fresh;
    // A directory that has been removed takes no new name, and a create there says so (ENOENT);
    // an unnamed file there is refused for other reasons (ext4 says EPERM), or made for nothing.
    struct stat dir;
    if (fstat(out->dir, &dir) != 0)
        return false;
    if (dir.st_nlink == 0) {
        errno = ENOENT;
        return false;
    }
    return publishable(out);
}

// An existing regular file at the name, open for writing: replaced when a new file can stand in
// for it exactly, written in place otherwise.
bool plan_existing(output *out)
{
    out->way = in_place;
    if (out->seen.st_nlink == 1 && !append_only(out->dir) && publishable(out)) {
        if (stand_in(*out)) {
            out->way = replaced;
            return true;
        }
        if (out->named)
            drop_scratch(out);
    }
    return out->scratch >= 0 || aside(out);
}

// The name is a symbolic link, which the kernel follows as a create would, under its rules
// (fs.protected_symlinks, and for what it leads to fs.protected_regular and protected_fifos).
// What it leads to is written in place; a link that leads to no file has its target made when
// the picture is complete.
bool plan_link(output *out)
{
    out->way = dangling;
    struct stat target;
    if (fstatat(out->dir, out->name, &target, 0) != 0)
        return errno == ENOENT && aside(out);
    out->file = openat(out->dir, out->name, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    if (out->file < 0 || fstat(out->file, &out->seen) != 0)
        return false;
    if (!S_ISREG(out->seen.st_mode)) {
        out->way = device;
        return true;
    }
    out->way = via_link;
    return aside(out);
}

// The file was gone between the look and the open, which then made an empty one: ours, with one
// link, still at the name. It goes again, so that a refused run leaves nothing behind.
bool unmake(const output &out)
{
    struct stat now;
    if (out.seen.st_size == 0 && out.seen.st_nlink == 1 && out.seen.st_uid == geteuid() &&
        fstatat(out.dir, out.name, &now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(now, out.seen))
        unlinkat(out.dir, out.name, 0);
    return true;
}

// A path that ends in a slash names a directory: whatever it is, open says why it cannot be
// written, and it makes nothing.
bool refuse_directory(const char *path)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd >= 0) {
        close(fd);
        errno = EISDIR;
    }
    return false;
}

// What is at the name, and then that very entry opened for writing as a create opens it (so that
// fs.protected_regular and protected_fifos hold for another user's file in a sticky directory):
// a directory, a file we may not write and a read-only file system are refused. *changed: the
// entry was another when opened (a link by then, or another file). Looking again, a link is not
// followed: one that appeared since the first look is no path of the user's.
bool look(output *out, bool again, bool *changed)
{
    struct stat entry;
    if (fstatat(out->dir, out->name, &entry, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT && plan_fresh(out);
    out->seen = entry;
    if (S_ISLNK(entry.st_mode))
        return !again ? plan_link(out) : moved(*out);
    out->file =
        openat(out->dir, out->name, O_WRONLY | O_CREAT | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (out->file < 0) {
        *changed = errno == ELOOP; // it has become a link since
        return false;
    }
    if (fstat(out->file, &out->seen) != 0)
        return false;
    if (!same_file(out->seen, entry)) {
        *changed = unmake(*out);
        return false;
    }
    if (!S_ISREG(out->seen.st_mode))
        return true; // a device or a FIFO, written directly
    return plan_existing(out);
}

bool decide(const char *path, output *out)
{
    if (*path == '\0') {
        errno = ENOENT;
        return false;
    }
    if (std::strlen(path) >= PATH_MAX) {
        errno = ENAMETOOLONG; // as open would say, though a name relative to the directory fits
        return false;
    }
    const char *slash = std::strrchr(path, '/');
    if (slash && slash[1] == '\0')
        return refuse_directory(path);
    out->name = slash ? slash + 1 : path;
    const std::string dir = !slash ? "." : slash == path ? "/" : std::string(path, slash);
    if ((out->dir = open_directory(dir.c_str())) < 0)
        return false;

    // Another run replacing the file between our look and our open is no reason to fail: look
    // again, a few times. Nothing has been acted on until the look and the open agree.
    for (int tries = 1;; tries++) {
        bool changed = false;
        if (look(out, tries > 1, &changed))
            return true;
        if (!changed)
            return false;
        if (tries == 3)
            return moved(*out);
        if (out->file >= 0)
            close(out->file);
        out->file = -1;
    }
}

// ---- Writing ----

bool copy_bytes(int from, int to, off_t size)
{
    std::vector<char> buf(1 << 16);
    for (off_t at = 0; at < size;) {
        const ssize_t got =
            pread(from, buf.data(), static_cast<size_t>(std::min<off_t>(buf.size(), size - at)), at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0)
                errno = EIO; // the picture got shorter under us
            return false;
        }
        for (ssize_t put = 0; put < got;) {
            const ssize_t n = pwrite(to, buf.data() + put, static_cast<size_t>(got - put), at + put);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (n == 0)
                    errno = EIO;
                return false;
            }
            put += n;
        }
        at += got;
    }
    return true;
}

// Encodes the picture in full into a scratch file, from out->place on: a place that cannot take
// the file, or that fills up during the encode, gives way to the next, as a plain write would
// not fail there. The first failure is the one reported.
bool encode_aside(FIBITMAP *bitmap, output *out)
{
    int first = 0;
    for (;; out->place++) {
        if (out->scratch < 0 && out->place == 2 && !memory_holds(bitmap)) {
            errno = first ? first : ENOMEM; // memory was not counted on for it
            return false;
        }
        if (out->scratch < 0)
            out->scratch = open_place(*out, out->place);
        const bool opened = out->scratch >= 0;
        if (opened && encode(bitmap, out->scratch))
            return true;
        first = first ? first : errno;
        drop_scratch(out);
        if (errorlevel != 0 || out->place == 2 || (opened && !full(errno))) {
            errno = first;
            return false;
        }
    }
}

// Copies the complete picture over the file we hold, which keeps its inode, owner, group, mode,
// links and attributes. Its space is claimed first, where the file system can, so that a full
// disk or quota leaves the old picture whole; the copy starts only while the path still leads to
// the file, and an interrupt waits until it is done; runs of this tool onto one file take turns.
// *crowded: the space could not be claimed while the picture's copy takes up room beside it.
bool write_in_place(const output &out, bool *crowded)
{
    struct stat st, file;
    if (fstat(out.scratch, &st) != 0 || fstat(out.file, &file) != 0)
        return false;
    // Advisory, and not on every file system: a courtesy, not a condition.
    while (flock(out.file, LOCK_EX) != 0)
        if (errno != EINTR) {
            if (errno != ENOLCK && errno != EINVAL && errno != EOPNOTSUPP)
                return false;
            break;
        }
    if (fallocate(out.file, FALLOC_FL_KEEP_SIZE, 0, st.st_size) != 0 && errno != EOPNOTSUPP &&
        errno != ENOSYS) {
        *crowded = full(errno) && st.st_dev == file.st_dev;
        return false;
    }
    const sigset_t was = hold();
    const bool ok = still_there(out) && reachable(out) &&
                    copy_bytes(out.scratch, out.file, st.st_size) &&
                    ftruncate(out.file, st.st_size) == 0 && fsync(out.file) == 0;
    const int err = errno;
    release(was);
    errno = err;
    return ok;
}

// Copies the complete picture over the file we hold. Where the file's space cannot be claimed
// because the picture's own copy takes up room on that file system, the picture moves to the
// next place and tries again: a plain write, which makes no copy, would not fail there.
bool copy_over(FIBITMAP *bitmap, output *out)
{
    bool crowded = false;
    while (!write_in_place(*out, &crowded)) {
        if (!crowded || out->place == 2)
            return false;
        drop_scratch(out);
        out->place++;
        crowded = false;
        if (!encode_aside(bitmap, out))
            return false;
    }
    return true;
}

// Whether the entry at the name by now may be renamed over: none, the file we hold, a link
// (replaced, never followed), or a file we could have opened for writing. A file of someone
// else's that we may not write has taken the name (EEXIST), and a plain write would leave it be.
bool may_take(const output &out)
{
    struct stat now, ours;
    if (fstatat(out.dir, out.name, &now, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISREG(now.st_mode) ||
        (out.file >= 0 && fstat(out.file, &ours) == 0 && same_file(now, ours)))
        return true;
    if (faccessat(out.dir, out.name, W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    errno = EEXIST;
    return false;
}

// Renames the complete scratch file over the name, whatever entry is there by now: a file we may
// write, or a link, which is replaced and not followed. An unnamed file gets a temporary name
// first, which exists only while the signals are held. *refused: the directory would not let us
// (another user's file in a sticky directory, a mount point) or had no room for the temporary
// name, and nothing changed.
bool rename_over(output *out, bool *refused)
{
    const sigset_t was = hold();
    const bool named = out->named || arm(out->dir, out->scratch, 0) >= 0;
    const bool ok =
        named && may_take(*out) && renameat(out->dir, temp_name, out->dir, out->name) == 0;
    const int err = errno;
    if (ok) {
        armed = 0; // the name is the output's now
    } else if (named && !out->named) {
        unlinkat(out->dir, temp_name, 0);
        armed = 0;
    }
    release(was);
    *refused = !ok && (err == EPERM || err == EACCES || err == EBUSY || err == EXDEV || full(err));
    errno = err;
    return ok;
}

// A new file: the unnamed one linked to the name, which never follows a link or replaces an
// entry. A name taken since we looked (another run, a planted link) is replaced as an entry, if
// what took it is no file we may not write.
bool publish_fresh(output *out)
{
    if (fsync(out->scratch) != 0 || !reachable(*out))
        return false;
    if (!out->named && link_unnamed(out->scratch, out->dir, out->name))
        return sync_directory(out->dir);
    bool refused = false;
    if (!out->named && errno != EEXIST)
        return false;
    return rename_over(out, &refused) && sync_directory(out->dir);
}

// An existing file of ours: the new one renamed over it. Where the directory refuses the rename,
// the picture, already complete, is copied in place; where the new file cannot hold the picture
// but the old one may (its own blocks, and what can be claimed), it is written in place too.
bool publish_replacement(FIBITMAP *bitmap, output *out)
{
    if (!encode(bitmap, out->scratch)) {
        if (errorlevel != 0 || !full(errno))
            return false;
        drop_scratch(out);
        out->way = in_place;
        out->place = 1;
        return encode_aside(bitmap, out) && copy_over(bitmap, out);
    }
    bool refused = false;
    if (fsync(out->scratch) == 0 && reachable(*out) && rename_over(out, &refused))
        return sync_directory(out->dir);
    if (!refused)
        return false;
    out->way = in_place;
    return copy_over(bitmap, out);
}

// The target of a link that led to no file: made now by the kernel, through the link, as a plain
// create would make it, if the link is still the one we saw.
bool make_target(output *out)
{
    struct stat now;
    if (fstatat(out->dir, out->name, &now, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (!same_file(now, out->seen))
        return moved(*out);
    if (!reachable(*out))
        return false;
    out->file = openat(out->dir, out->name, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    return out->file >= 0;
}

bool write_picture(FIBITMAP *bitmap, output *out)
{
    switch (out->way) {
    case device:
        return encode(bitmap, out->file);
    case fresh:
        return encode(bitmap, out->scratch) && publish_fresh(out);
    case replaced:
        return publish_replacement(bitmap, out);
    case in_place:
    case via_link:
        return encode_aside(bitmap, out) && copy_over(bitmap, out);
    case dangling:
        return encode_aside(bitmap, out) && make_target(out) && copy_over(bitmap, out);
    }
    return false;
}

bool save(FIBITMAP *bitmap, output *out)
{
    return write_picture(bitmap, out) && reachable(*out);
}

// Closes what the save opened. The file that was written can still report a failed write when
// it is closed (NFS does), which fails the save; the rest only needs closing.
bool finish(output *out, bool ok)
{
    if (out->named)
        disarm(true); // nothing is removed once the name has become the output's
    const bool new_file = out->way == fresh || out->way == replaced;
    const int written = new_file ? out->scratch : out->file;
    for (int *fd : {&out->scratch, &out->file, &out->dir}) {
        const int err = errno;
        if (*fd >= 0 && close(*fd) != 0 && ok && *fd == written)
            ok = false;
        else
            errno = err;
        *fd = -1;
    }
    return ok;
}

} // namespace

std::int64_t save_memory(const output &out, std::int64_t width, std::int64_t height)
{
    return out.scratch >= 0 && out.place == 2 ? png_bound(width, height) : 0;
}

void open_output(const char *path, output *out)
{
    *out = output{};
    out->path = out->name = path;
    out->dir = out->file = out->scratch = -1;
    out->way = device;
    if (decide(path, out))
        errno = 0; // what the look-ups met on the way is no failure
    else if (errno == 0)
        errno = EIO; // a refusal must never pass for success
}

void save_png(FIBITMAP *bitmap, output *out)
{
    if (finish(out, save(bitmap, out)))
        errno = 0;
    else if (errorlevel == 0 && errno == 0)
        errno = EIO;
}
