#include "save.h"

#include "check.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

// The name that the picture's file has beside the output while it is not yet the output's, made of
// the process's number and the clock's nanoseconds: one taken all the same fails (EEXIST), with no
// retry. While it is armed (a named stand-in, in temp_dir), a signal that ends the run, and exit,
// remove it.
int temp_dir = -1;
char temp_name[32];
volatile sig_atomic_t armed = 0;

// Async-signal-safe; a failure leaves nothing more to do, and the errno that the run reports.
void remove_temp()
{
    const int err = errno;
    if (armed)
        unlinkat(temp_dir, temp_name, 0);
    armed = 0;
    errno = err;
}

extern "C" void on_signal(int sig)
{
    // Back to the default action (SA_RESETHAND), the signal raised again ends the process as usual.
    remove_temp();
    raise(sig);
}

// Makes every signal that would end the run, and exit, remove the temporary name first. A signal
// that is ignored (nohup) stays ignored, and one with a handler (a sanitizer's) keeps it; the C
// library keeps a few real-time signals for itself, and refuses to tell about them.
bool catch_signals()
{
    if (std::atexit(remove_temp) != 0) {
        errno = ENOMEM;
        return false;
    }
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    // Those that cannot be caught, and those that stop, go on or are ignored by default.
    const int harmless[] = {SIGKILL, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU,
                            SIGCHLD, SIGCONT, SIGURG,  SIGWINCH};
    for (int sig = 1; sig <= SIGRTMAX; sig++) {
        struct sigaction was;
        if (std::count(std::begin(harmless), std::end(harmless), sig) == 0 &&
            sigaction(sig, nullptr, &was) == 0 && was.sa_handler == SIG_DFL &&
            sigaction(sig, &sa, nullptr) != 0)
            return false;
    }
    return true;
}

// Holds every signal back around a step that must not be cut in half, until the mask it returns
// is set again. sigprocmask cannot fail with these arguments, nor change errno.
sigset_t hold()
{
    sigset_t all, was;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &was);
    return was;
}

// Writes to a descriptor, every byte checked. The PNG writer does not look at what a write
// returns, so the first failure is kept here: it ends all writing, and the save with it.
struct sink {
    int fd;
    int err; // errno of the first failure
};

unsigned write_proc(void *buf, unsigned size, unsigned count, fi_handle handle)
{
    sink &s = *static_cast<sink *>(handle);
    const char *from = static_cast<const char *>(buf);
    for (std::size_t done = 0, len = std::size_t{size} * count; done < len && s.err == 0;) {
        const ssize_t n = write(s.fd, from + done, len - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n == 0 || errno != EINTR)
            s.err = n < 0 ? errno : EIO;
    }
    return s.err == 0 ? count : 0;
}

// Encodes the picture as PNG into fd, from its offset. On failure errno, or errorlevel if the
// library reported it, says why.
bool encode(FIBITMAP *bitmap, int fd)
{
    sink s = {fd, 0};
    // The PNG writer only writes, front to back: a read finds nothing, and a seek fails the save.
    const auto no_read = [](void *, unsigned, unsigned, fi_handle) -> unsigned { return 0; };
    const auto no_seek = [](fi_handle h, long, int) {
        static_cast<sink *>(h)->err = ESPIPE;
        return -1;
    };
    const auto no_tell = [](fi_handle h) {
        static_cast<sink *>(h)->err = ESPIPE;
        return -1L;
    };
    FreeImageIO io = {no_read, write_proc, no_seek, no_tell};
    errno = 0;
    const BOOL saved = FreeImage_SaveToHandle(FIF_PNG, bitmap, &io, &s, 0);
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

// An unnamed file is given a name through /proc: linkat never follows a link at the name, nor
// replaces an entry (EEXIST).
std::string proc_path(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

bool link_unnamed(int fd, int dir, const char *name)
{
    return linkat(AT_FDCWD, proc_path(fd).c_str(), dir, name, AT_SYMLINK_FOLLOW) == 0;
}

// A directory whose entries can be added but never renamed or removed (chattr +a).
bool append_only(int dir)
{
    int flags = 0;
    return ioctl(dir, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL) != 0;
}

// Where the file system has no unnamed files, or no /proc to link them, a file with a temporary
// name stands in, made with mode as a create makes a file. Not in an append-only directory, where
// the name could never be removed.
bool named_file(output *out, mode_t mode)
{
    if (append_only(out->dir)) {
        errno = EPERM; // as the rename would say, after all the work
        return false;
    }
    const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    const sigset_t was = hold();
    out->scratch = catch_signals() ? openat(out->dir, temp_name, flags, mode) : -1;
    out->named = out->scratch >= 0;
    temp_dir = out->dir;
    armed = out->named;
    sigprocmask(SIG_SETMASK, &was, nullptr);
    return out->named;
}

// A new file beside the output, to take its name once the picture is complete: unnamed, with mode
// 0666, which the kernel gives the umask and default ACL of a create; or the named stand-in.
bool new_file(output *out, mode_t mode)
{
    out->scratch = openat(out->dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (out->scratch >= 0 && access(proc_path(out->scratch).c_str(), F_OK) == 0)
        return true;
    if (out->scratch >= 0)
        close(out->scratch);                         // nothing was written to it
    else if (errno != EOPNOTSUPP && errno != EISDIR) // EISDIR: a kernel without unnamed files
        return false;
    return named_file(out, mode);
}

// Where a picture to be copied in place is encoded first: an unnamed file beside it, or memory
// where the directory takes none (one we may not write, or no unnamed files there). Either goes
// with the process, however that ends.
bool scratch_aside(output *out)
{
    out->scratch = openat(out->dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (out->scratch >= 0 || errno == ENOSPC || errno == EDQUOT) // a full disk fails the save
        return out->scratch >= 0;
    out->in_memory = true;
    out->scratch = memfd_create("vozk-render", MFD_CLOEXEC);
    return out->scratch >= 0;
}

// What a new file must have of the old one besides owner, group and mode, sorted: the inode
// flags (chattr), but for how the file system stores it (extents, inline data), and the extended
// attributes, ACLs and security labels among them. False when they cannot be read.
bool attributes_of(int fd, std::vector<std::string> *all)
{
    const int layout = FS_EXTENT_FL | FS_HUGE_FILE_FL | FS_INDEX_FL | FS_INLINE_DATA_FL;
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) // not on every file system
        all->push_back("flags " + std::to_string(flags & ~layout));
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

// Whether the new file stands in for the old one exactly, once given its owner, group and mode:
// what the kernel gave it besides (a default ACL, a label, inherited flags) must be what the old
// one has, and no more.
bool stand_in(const output &out, const struct stat &old)
{
    struct stat now;
    if (fstat(out.scratch, &now) != 0)
        return false;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
        fchown(out.scratch, old.st_uid, old.st_gid) != 0)
        return false;
    // After the chown, which clears set-id bits.
    if (fchmod(out.scratch, old.st_mode & 07777) != 0 || fstat(out.scratch, &now) != 0)
        return false;
    std::vector<std::string> theirs, ours;
    return now.st_uid == old.st_uid && now.st_gid == old.st_gid && now.st_mode == old.st_mode &&
           attributes_of(out.file, &theirs) && attributes_of(out.scratch, &ours) && theirs == ours;
}

// Whether the directory lets a new file be renamed over the old one: it is neither sticky nor
// append-only, and the file is no mount point of its own (a bind mount), as its device or mount
// id tells.
bool renamable(const output &out)
{
    struct statx dir, file;
    const unsigned what = STATX_MODE | STATX_MNT_ID;
    if (statx(out.dir, "", AT_EMPTY_PATH, what, &dir) != 0 ||
        statx(out.file, "", AT_EMPTY_PATH, what, &file) != 0)
        return false;
    const bool mounted =
        dir.stx_dev_major != file.stx_dev_major || dir.stx_dev_minor != file.stx_dev_minor ||
        (dir.stx_mask & file.stx_mask & STATX_MNT_ID && dir.stx_mnt_id != file.stx_mnt_id);
    return !mounted && !(dir.stx_mode & S_ISVTX) && !append_only(out.dir);
}

// No file at the name: the picture goes into a new file beside it. A directory that has been
// removed takes no new name, and a create there says so (ENOENT).
bool plan_fresh(output *out)
{
    out->way = fresh;
    struct stat dir;
    if (fstat(out->dir, &dir) != 0)
        return false;
    if (dir.st_nlink == 0) {
        errno = ENOENT;
        return false;
    }
    return new_file(out, 0666);
}

// What open returned for the name: a device or a FIFO, written directly; a regular file, replaced
// where a new one can stand in for it exactly and the name is no link, else written in place. A
// named stand-in is the caller's alone until it has the old file's mode.
bool opened(output *out, bool replaceable)
{
    struct stat old;
    if (out->file < 0 || fstat(out->file, &old) != 0)
        return false;
    if (!S_ISREG(old.st_mode)) {
        out->way = device;
        return true;
    }
    if (replaceable && old.st_nlink == 1 && renamable(*out) && new_file(out, old.st_mode & 0600)) {
        if (stand_in(*out, old)) {
            out->way = replaced;
            return true;
        }
        remove_temp();
        close(out->scratch); // nothing was written to it
        out->named = false;
    }
    out->way = in_place;
    return scratch_aside(out);
}

// A symbolic link, which the kernel follows as a create would, under its rules (protected_symlinks,
// and for what it leads to protected_regular and protected_fifos). What it leads to is written in
// place; a link to no file has its target made once the picture is complete, and only then tried.
bool plan_link(output *out)
{
    struct stat st;
    if (fstatat(out->dir, out->name, &st, 0) != 0) {
        out->way = dangling;
        return errno == ENOENT && scratch_aside(out);
    }
    out->file = openat(out->dir, out->name, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    return opened(out, false);
}

// The directory, open for syncing; one we may search but not read still serves for the rest.
int open_directory(const std::string &dir)
{
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 || errno != EACCES)
        return fd;
    return open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

bool decide(const char *path, output *out)
{
    const std::size_t length = std::strlen(path);
    if (length == 0 || length >= PATH_MAX) {
        // As open would say, though a name relative to the directory would fit.
        errno = length == 0 ? ENOENT : ENAMETOOLONG;
        return false;
    }
    const char *slash = std::strrchr(path, '/');
    if (slash && slash[1] == '\0') {
        // A directory, whatever is there: open says why it cannot be written, and makes nothing.
        const int fd = open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd >= 0 && close(fd) == 0)
            errno = EISDIR;
        return false;
    }
    out->name = slash ? slash + 1 : path;
    if ((out->dir = open_directory(!slash          ? "."
                                   : slash == path ? "/"
                                                   : std::string(path, slash))) < 0)
        return false;
    struct stat st;
    if (fstatat(out->dir, out->name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT && plan_fresh(out);
    if (S_ISLNK(st.st_mode))
        return plan_link(out);
    // The entry opened for writing as a create opens it, so that fs.protected_regular and
    // protected_fifos hold. What open returned is what is decided on: another run may have
    // replaced the file since the look.
    out->file =
        openat(out->dir, out->name, O_WRONLY | O_CREAT | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC, 0666);
    return opened(out, true);
}

// Copies the complete picture over the file, which keeps its inode and all it has. Its space is
// claimed first, so that a full disk leaves the old picture whole where a claim holds (not
// without fallocate, nor where the file system copies on write); then signals wait for the copy.
bool copy_in_place(int scratch, int file)
{
    struct stat st;
    if (fstat(scratch, &st) != 0)
        return false;
    if (fallocate(file, FALLOC_FL_KEEP_SIZE, 0, st.st_size) != 0 && errno != EOPNOTSUPP &&
        errno != ENOSYS)
        return false;
    const sigset_t was = hold();
    bool ok = true;
    for (off_t at = 0; ok && at < st.st_size;) {
        const ssize_t n = sendfile(file, scratch, &at, static_cast<size_t>(st.st_size - at));
        ok = n > 0;                   // every signal is held, so none interrupts it
        errno = n == 0 ? EIO : errno; // the picture got shorter under us
    }
    ok = ok && ftruncate(file, st.st_size) == 0 && fsync(file) == 0;
    sigprocmask(SIG_SETMASK, &was, nullptr);
    return ok;
}

// Renames the complete new file over the name, whatever entry the directory lets us replace
// there: a file, or a link, which is replaced and not followed. An unnamed file gets a temporary
// name for that, which exists only while the signals are held.
bool rename_over(const output &out)
{
    const sigset_t was = hold();
    const bool linked = out.named || link_unnamed(out.scratch, out.dir, temp_name);
    const bool renamed = linked && renameat(out.dir, temp_name, out.dir, out.name) == 0;
    const int err = errno;
    if (renamed)
        armed = 0; // the name is the output's now
    else if (linked && !out.named)
        unlinkat(out.dir, temp_name, 0);
    sigprocmask(SIG_SETMASK, &was, nullptr);
    errno = err;
    return renamed;
}

// The complete new file takes the name. Fresh and unnamed, it is linked there, which neither
// follows a link nor replaces an entry; else (a replacement, or a named stand-in) it is renamed
// over whatever is there, as mv would. The directory is synced too, where it can be (not one we
// may not read, nor on some file systems).
bool take_name(const output &out)
{
    if (fsync(out.scratch) != 0)
        return false;
    if (out.way == fresh && !out.named) {
        // A name that came since our look (EEXIST) is renamed over after all.
        if (!link_unnamed(out.scratch, out.dir, out.name) && (errno != EEXIST || !rename_over(out)))
            return false;
    } else if (!rename_over(out)) {
        return false;
    }
    return fsync(out.dir) == 0 || errno == EINVAL || errno == EBADF;
}

bool write_picture(FIBITMAP *bitmap, output *out)
{
    if (out->way == device)
        return encode(bitmap, out->file);
    if (!encode(bitmap, out->scratch))
        return false;
    if (out->way == fresh || out->way == replaced)
        return take_name(*out);
    if (out->way == dangling) // the link's target, made now as a create through the link would
        out->file = openat(out->dir, out->name, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    return out->file >= 0 && copy_in_place(out->scratch, out->file);
}

// Closes what the save opened, marking each closed (-1) so that no number left in out can stand
// for a file that later takes it. The file written can still report a failed write when it is
// closed (NFS does), which fails the save; a temporary name that a failure left goes.
bool finish(output *out, bool ok)
{
    if (!ok)
        remove_temp();
    const int written = out->way == fresh || out->way == replaced ? out->scratch : out->file;
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
    // The rows, a filter byte and three bytes a pixel, and what the chunks (12 bytes in 8 KiB)
    // and deflate's stored blocks would add at worst: under 0.4 %.
    const std::int64_t rows = height * (3 * width + 1);
    return out.in_memory ? rows + rows / 256 + (1 << 16) : 0;
}

void open_output(const char *path, output *out)
{
    *out = output{fresh, -1, path, -1, -1, false, false};
    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now); // cannot fail with these arguments
    std::snprintf(temp_name, sizeof temp_name, ".vozk-render-%d-%09ld", static_cast<int>(getpid()),
                  now.tv_nsec);
    if (decide(path, out))
        errno = 0; // what the look-ups met on the way is no failure
    else if (errno == 0)
        errno = EIO; // a refusal must never pass for success
}

void save_png(FIBITMAP *bitmap, output *out)
{
    if (finish(out, write_picture(bitmap, out)))
        errno = 0;
    else if (errorlevel == 0 && errno == 0)
        errno = EIO;
}
